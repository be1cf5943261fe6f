// The headless dialog back end: keeps in memory what a window would show and logs every window
// operation in order, so the program's logic runs natively, fast and under the sanitizers.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "res/resource.h"
#include "tests/support/headless/HeadlessWindow.h"

namespace {

// A control as the resource script's dialog template makes it.
struct CTemplateControl {
    int nTemplate;
    int nId;
    const char* pszText;
    int nBitmap;
    bool bVisible;
    bool bEnabled;
};

// Read from res/Vostrel.rc when building, so the headless window starts as the real one does.
const CTemplateControl kTemplateControls[] = {
#include "headless/DialogTemplates.inc"
};

// The log names controls and resources as res/resource.h does.
#define VOSTREL_NAMED(id) {id, #id}
const std::map<int, const char*> kResourceNames = {
    VOSTREL_NAMED(IDR_MAINFRAME),      VOSTREL_NAMED(IDB_READY),          VOSTREL_NAMED(IDB_PASS),
    VOSTREL_NAMED(IDB_FAIL),           VOSTREL_NAMED(IDB_SEARCHING),      VOSTREL_NAMED(IDB_PORT_ERROR),
    VOSTREL_NAMED(IDB_RUNNING),        VOSTREL_NAMED(IDB_NOTICE_SIGN),    VOSTREL_NAMED(IDC_EXIT),
    VOSTREL_NAMED(IDC_PORT_LIST),      VOSTREL_NAMED(IDC_STATUS_PICTURE), VOSTREL_NAMED(IDC_ENTRY),
    VOSTREL_NAMED(IDC_READOUT),        VOSTREL_NAMED(IDC_HIDDEN_OK),      VOSTREL_NAMED(IDC_HELP_BUTTON),
    VOSTREL_NAMED(IDC_PORT_LABEL),     VOSTREL_NAMED(IDC_BARCODE_LABEL),  VOSTREL_NAMED(IDC_READ_LABEL),
    VOSTREL_NAMED(IDC_ENTER_DOWNLOAD), VOSTREL_NAMED(IDC_REVERSE_PORT),   VOSTREL_NAMED(IDC_HIDDEN_1014),
    VOSTREL_NAMED(IDC_SIM_STATUS),     VOSTREL_NAMED(IDC_CODE),           VOSTREL_NAMED(IDC_EXIT_DOWNLOAD),
    VOSTREL_NAMED(IDC_HIDDEN_1018),    VOSTREL_NAMED(IDC_STATUS_LINE),
};
#undef VOSTREL_NAMED

// The dialogs whose windows exist, for FindOpenDialog.
std::mutex g_openMutex;
std::vector<CDialog*> g_openDialogs;

void ForgetOpenDialog(CDialog* pDialog)
{
    std::lock_guard<std::mutex> lock(g_openMutex);
    g_openDialogs.erase(std::remove(g_openDialogs.begin(), g_openDialogs.end(), pDialog), g_openDialogs.end());
}

} // namespace

std::string ResourceName(int nId)
{
    const auto it = kResourceNames.find(nId);
    return it != kResourceNames.end() ? it->second : std::to_string(nId);
}

struct CDialogImpl {
    explicit CDialogImpl(CDialog& dlg) : dialog(dlg) {}

    CDialog& dialog;
    mutable std::recursive_mutex mutex;
    std::map<int, HeadlessControl> controls;
    std::vector<std::string> log;
    std::vector<HeadlessBox> boxes;
    std::function<int(const HeadlessBox&)> boxHandler;
    std::set<int> loadableBitmaps{IDB_READY, IDB_PASS, IDB_FAIL, IDB_SEARCHING, IDB_PORT_ERROR, IDB_RUNNING, IDB_NOTICE_SIGN};
    int nFocus = 0;
    bool bCreated = false;
    bool bEnded = false;
    bool bDestroyed = false;
    bool bMinimized = false;
    int nResult = 0;
    std::thread::id windowThread;

    // Calls queued by other threads in strict mode.
    bool bStrict = false;
    std::mutex queueMutex;
    std::condition_variable queueChanged;
    std::deque<std::function<void()>*> queue;

    void LoadTemplate();
    HeadlessControl& At(int nId) { return controls[nId]; }
    void Log(const std::string& str) { log.push_back(str); }
    bool OnWindowThread() const { return !bCreated || std::this_thread::get_id() == windowThread; }
    int RunQueued();
};

void CDialogImpl::LoadTemplate()
{
    for (const CTemplateControl& entry : kTemplateControls) {
        if (entry.nTemplate != dialog.TemplateId())
            continue;
        HeadlessControl& control = At(entry.nId);
        control.strText = entry.pszText;
        control.nBitmap = entry.nBitmap;
        control.bVisible = entry.bVisible;
        control.bEnabled = entry.bEnabled;
    }
}

int CDialogImpl::RunQueued()
{
    int nRan = 0;
    for (;;) {
        std::function<void()>* pCall = nullptr;
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            if (queue.empty())
                return nRan;
            pCall = queue.front();
            queue.pop_front();
        }
        (*pCall)();
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            *pCall = nullptr;   // marks it done for the waiting caller
        }
        queueChanged.notify_all();
        ++nRan;
    }
}

CDialog::CDialog(int nTemplateId, CDialog* pParent)
    : m_nTemplateId(nTemplateId), m_pParent(pParent), m_pImpl(std::make_unique<CDialogImpl>(*this))
{
}

CDialog::~CDialog()
{
    ForgetOpenDialog(this);
}

intptr_t CDialog::DoModal()
{
    CHeadlessWindow window = HeadlessWindowOf(*this);
    window.Create();
    WaitPumping([this] {
        std::lock_guard<std::recursive_mutex> lock(m_pImpl->mutex);
        return m_pImpl->bEnded;
    });
    window.Destroy();
    return window.Result();
}

void CDialog::EndDialog(int nResult)
{
    std::lock_guard<std::recursive_mutex> lock(m_pImpl->mutex);
    m_pImpl->bEnded = true;
    m_pImpl->nResult = nResult;
    m_pImpl->Log("end " + std::to_string(nResult));
    m_pImpl->queueChanged.notify_all();
}

void CDialog::EnableControl(int nId, bool bEnable)
{
    CallOnWindowThread([&] {
        m_pImpl->At(nId).bEnabled = bEnable;
        m_pImpl->Log("enable " + ResourceName(nId) + (bEnable ? " 1" : " 0"));
    });
}

bool CDialog::IsControlEnabled(int nId)
{
    bool bEnabled = false;
    CallOnWindowThread([&] { bEnabled = m_pImpl->At(nId).bEnabled; });
    return bEnabled;
}

void CDialog::SetControlText(int nId, const std::string& strText)
{
    CallOnWindowThread([&] {
        m_pImpl->At(nId).strText = strText;
        m_pImpl->Log("text " + ResourceName(nId) + " " + strText);
    });
}

std::string CDialog::GetControlText(int nId)
{
    std::string strText;
    CallOnWindowThread([&] {
        const HeadlessControl& control = m_pImpl->At(nId);
        if (!control.items.empty())
            strText = control.nSelection >= 0 ? control.items[control.nSelection] : std::string();
        else
            strText = control.strText;
    });
    return strText;
}

// Not logged: filling a list is part of making the window, like the template's own controls.
void CDialog::AddListEntry(int nId, const std::string& strEntry)
{
    CallOnWindowThread([&] { m_pImpl->At(nId).items.push_back(strEntry); });
}

void CDialog::SelectListEntry(int nId, int nIndex)
{
    CallOnWindowThread([&] {
        HeadlessControl& control = m_pImpl->At(nId);
        const bool bInRange = nIndex >= 0 && nIndex < static_cast<int>(control.items.size());
        control.nSelection = bInRange ? nIndex : -1;
        m_pImpl->Log("select " + ResourceName(nId) + " " + std::to_string(nIndex));
    });
}

int CDialog::GetListSelection(int nId)
{
    int nSelection = -1;
    CallOnWindowThread([&] { nSelection = m_pImpl->At(nId).nSelection; });
    return nSelection;
}

void CDialog::SetControlFocus(int nId)
{
    CallOnWindowThread([&] {
        m_pImpl->nFocus = nId;
        m_pImpl->Log("focus " + ResourceName(nId));
    });
}

void CDialog::SetControlFont(int nId, const FontSpec& font)
{
    CallOnWindowThread([&] {
        HeadlessControl& control = m_pImpl->At(nId);
        control.font = font;
        control.bHasFont = true;
        m_pImpl->Log("font " + ResourceName(nId) + " " + font.strFace + " " + std::to_string(font.nWeight));
    });
}

bool CDialog::ShowBitmap(int nId, int nBitmapId)
{
    bool bShown = false;
    CallOnWindowThread([&] {
        if (!m_pImpl->loadableBitmaps.count(nBitmapId))
            return;
        m_pImpl->At(nId).nBitmap = nBitmapId;
        m_pImpl->Log("picture " + ResourceName(nId) + " " + ResourceName(nBitmapId));
        bShown = true;
    });
    return bShown;
}

void CDialog::SetBigIcon(int nIconId)
{
    CallOnWindowThread([&] { m_pImpl->Log("icon " + ResourceName(nIconId)); });
}

void CDialog::PaintMinimizedIcon(int nIconId)
{
    CallOnWindowThread([&] { m_pImpl->Log("paint-icon " + ResourceName(nIconId)); });
}

bool CDialog::IsMinimized()
{
    std::lock_guard<std::recursive_mutex> lock(m_pImpl->mutex);
    return m_pImpl->bMinimized;
}

intptr_t CDialog::GetIconHandle(int nIconId)
{
    return nIconId;
}

void CDialog::CallOnWindowThread(const std::function<void()>& fn)
{
    CDialogImpl& impl = *m_pImpl;
    if (impl.bStrict && !impl.OnWindowThread()) {
        std::function<void()> call = [&] {
            std::lock_guard<std::recursive_mutex> lock(impl.mutex);
            fn();
        };
        std::function<void()>* pCall = &call;
        std::unique_lock<std::mutex> lock(impl.queueMutex);
        impl.queue.push_back(pCall);
        impl.queueChanged.notify_all();
        // Done when RunQueued has cleared the function (it then holds no target).
        impl.queueChanged.wait(lock, [&] { return !call || impl.bDestroyed; });
        if (impl.bDestroyed && call) {
            // The window went away first: like SendMessage to a destroyed window, nothing runs.
            impl.queue.erase(std::remove(impl.queue.begin(), impl.queue.end(), pCall), impl.queue.end());
        }
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(impl.mutex);
    fn();
}

void CDialog::SendClose()
{
    CallOnWindowThread([&] { Dispatch(ui::kWmClose, 0, 0); });
}

int CDialog::MessageBoxEx(bool bOwned, const std::string& strText, const std::string& strCaption, unsigned nType,
                          unsigned short nLanguage)
{
    HeadlessBox box;
    box.bOwned = bOwned;
    box.strText = strText;
    box.strCaption = strCaption;
    box.nType = nType;
    box.nLanguage = nLanguage;
    box.thread = std::this_thread::get_id();
    std::function<int(const HeadlessBox&)> handler;
    {
        std::lock_guard<std::recursive_mutex> lock(m_pImpl->mutex);
        m_pImpl->boxes.push_back(box);
        m_pImpl->Log("box " + strCaption + "|" + strText);
        handler = m_pImpl->boxHandler;
    }
    return handler ? handler(box) : ui::kIdOk;
}

int CDialog::AppMessageBox(const std::string& strText, unsigned nType)
{
    if ((nType & 0xF0) == 0)
        nType |= ui::kMbIconExclamation;
    HeadlessBox box;
    box.bOwned = true;
    box.bAppBox = true;
    box.strText = strText;
    box.strCaption = "Vostrel";
    box.nType = nType;
    box.thread = std::this_thread::get_id();
    std::function<int(const HeadlessBox&)> handler;
    {
        std::lock_guard<std::recursive_mutex> lock(m_pImpl->mutex);
        m_pImpl->boxes.push_back(box);
        m_pImpl->Log("box " + box.strCaption + "|" + strText);
        handler = m_pImpl->boxHandler;
    }
    return handler ? handler(box) : ui::kIdOk;
}

void CDialog::WaitPumping(const std::function<bool()>& done)
{
    CDialogImpl& impl = *m_pImpl;
    while (!done()) {
        if (impl.RunQueued() > 0)
            continue;
        std::unique_lock<std::mutex> lock(impl.queueMutex);
        impl.queueChanged.wait_for(lock, std::chrono::milliseconds(2), [&] { return !impl.queue.empty(); });
    }
    impl.RunQueued();
}

// ---- inspection ---------------------------------------------------------------------------------

CHeadlessWindow HeadlessWindowOf(CDialog& dialog)
{
    return CHeadlessWindow(*dialog.Impl());
}

void CHeadlessWindow::Create()
{
    {
        std::lock_guard<std::recursive_mutex> lock(m_impl.mutex);
        m_impl.LoadTemplate();
        m_impl.windowThread = std::this_thread::get_id();
        m_impl.bCreated = true;
    }
    {
        std::lock_guard<std::mutex> lock(g_openMutex);
        g_openDialogs.push_back(&m_impl.dialog);
    }
    m_impl.dialog.OnInitDialog();
}

void CHeadlessWindow::Destroy()
{
    m_impl.dialog.Dispatch(ui::kWmDestroy, 0, 0);
    ForgetOpenDialog(&m_impl.dialog);
    {
        std::lock_guard<std::mutex> lock(m_impl.queueMutex);
        m_impl.bDestroyed = true;
    }
    m_impl.queueChanged.notify_all();
}

CDialog* FindOpenDialog(int nTemplateId)
{
    std::lock_guard<std::mutex> lock(g_openMutex);
    for (CDialog* pDialog : g_openDialogs) {
        if (pDialog->TemplateId() == nTemplateId)
            return pDialog;
    }
    return nullptr;
}

bool CHeadlessWindow::IsCreated() const
{
    std::lock_guard<std::recursive_mutex> lock(m_impl.mutex);
    return m_impl.bCreated;
}

bool CHeadlessWindow::HasEnded() const
{
    std::lock_guard<std::recursive_mutex> lock(m_impl.mutex);
    return m_impl.bEnded;
}

int CHeadlessWindow::Result() const
{
    std::lock_guard<std::recursive_mutex> lock(m_impl.mutex);
    return m_impl.nResult;
}

HeadlessControl CHeadlessWindow::Control(int nId) const
{
    std::lock_guard<std::recursive_mutex> lock(m_impl.mutex);
    auto it = m_impl.controls.find(nId);
    return it == m_impl.controls.end() ? HeadlessControl{} : it->second;
}

std::vector<std::string> CHeadlessWindow::Log() const
{
    std::lock_guard<std::recursive_mutex> lock(m_impl.mutex);
    return m_impl.log;
}

void CHeadlessWindow::ClearLog()
{
    std::lock_guard<std::recursive_mutex> lock(m_impl.mutex);
    m_impl.log.clear();
}

std::vector<HeadlessBox> CHeadlessWindow::Boxes() const
{
    std::lock_guard<std::recursive_mutex> lock(m_impl.mutex);
    return m_impl.boxes;
}

int CHeadlessWindow::Focus() const
{
    std::lock_guard<std::recursive_mutex> lock(m_impl.mutex);
    return m_impl.nFocus;
}

void CHeadlessWindow::SetBoxHandler(std::function<int(const HeadlessBox&)> handler)
{
    std::lock_guard<std::recursive_mutex> lock(m_impl.mutex);
    m_impl.boxHandler = std::move(handler);
}

void CHeadlessWindow::SetLoadableBitmaps(std::vector<int> ids)
{
    std::lock_guard<std::recursive_mutex> lock(m_impl.mutex);
    m_impl.loadableBitmaps = std::set<int>(ids.begin(), ids.end());
}

void CHeadlessWindow::SetMinimized(bool bMinimized)
{
    std::lock_guard<std::recursive_mutex> lock(m_impl.mutex);
    m_impl.bMinimized = bMinimized;
}

void CHeadlessWindow::SetStrictThreading(bool bStrict)
{
    m_impl.bStrict = bStrict;
}

int CHeadlessWindow::Pump()
{
    return m_impl.RunQueued();
}

int CHeadlessWindow::QueuedCalls() const
{
    std::lock_guard<std::mutex> lock(m_impl.queueMutex);
    return static_cast<int>(m_impl.queue.size());
}
