// The Win32 dialog back end: a modal dialog from a template, its messages routed through the
// dialog's message map, and control access that always runs on the window's thread, because a
// control must only be changed by the thread that owns it.
#include <windows.h>
// windows.h maps MessageBoxEx to its A or W form; the dialog layer's member keeps its own name.
#undef MessageBoxEx

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "ui/Dialog.h"

namespace {

// Carries a std::function<void()>* in LPARAM; run on the window's thread by the dialog procedure,
// and only when this dialog handed it out: any program can send this number to the window.
constexpr UINT kWmRunOnWindowThread = WM_APP + 1;

HINSTANCE ResourceModule()
{
    return GetModuleHandleA(nullptr);
}

} // namespace

struct CDialogImpl {
    std::atomic<HWND> hwnd{nullptr};
    std::atomic<DWORD> nWindowThread{0};
    std::atomic<bool> bDestroyed{false};
    std::vector<HFONT> fonts;   // fonts set on controls; a control only borrows its font
    // Calls that CallOnWindowThread has sent and not yet seen return.
    std::mutex callsMutex;
    std::vector<const std::function<void()>*> pendingCalls;

    ~CDialogImpl()
    {
        for (HFONT hFont : fonts)
            DeleteObject(hFont);
    }

    HWND Control(int nId) const { return GetDlgItem(hwnd.load(), nId); }
    LRESULT SendToControl(int nId, UINT nMsg, WPARAM wParam, LPARAM lParam) const
    {
        return SendDlgItemMessageA(hwnd.load(), nId, nMsg, wParam, lParam);
    }

    void AddPendingCall(const std::function<void()>* pCall)
    {
        std::lock_guard<std::mutex> lock(callsMutex);
        pendingCalls.push_back(pCall);
    }
    void RemovePendingCall(const std::function<void()>* pCall)
    {
        std::lock_guard<std::mutex> lock(callsMutex);
        pendingCalls.erase(std::find(pendingCalls.begin(), pendingCalls.end(), pCall));
    }
    // Its sender waits in SendMessage until the call has run, so a pending call stays valid here.
    const std::function<void()>* FindPendingCall(LPARAM lParam)
    {
        std::lock_guard<std::mutex> lock(callsMutex);
        for (const std::function<void()>* pCall : pendingCalls) {
            if (reinterpret_cast<LPARAM>(pCall) == lParam)
                return pCall;
        }
        return nullptr;
    }

    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT nMsg, WPARAM wParam, LPARAM lParam);
};

namespace {

// Messages whose result a dialog procedure returns itself instead of through DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT nMsg)
{
    switch (nMsg) {
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
        return true;
    default:
        return false;
    }
}

} // namespace

INT_PTR CALLBACK CDialogImpl::DialogProc(HWND hwnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    if (nMsg == WM_INITDIALOG) {
        CDialog* pDialog = reinterpret_cast<CDialog*>(lParam);
        SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
        pDialog->Impl()->hwnd = hwnd;
        pDialog->Impl()->nWindowThread = GetCurrentThreadId();
        return pDialog->OnInitDialog() ? TRUE : FALSE;
    }
    CDialog* pDialog = reinterpret_cast<CDialog*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    if (!pDialog)
        return FALSE;   // messages before WM_INITDIALOG (WM_SETFONT and the like)
    if (nMsg == kWmRunOnWindowThread) {
        if (const std::function<void()>* pCall = pDialog->Impl()->FindPendingCall(lParam))
            (*pCall)();
        return TRUE;
    }
    if (nMsg == WM_NCDESTROY) {
        // From here on, calls from other threads find no window and do nothing.
        pDialog->Impl()->bDestroyed = true;
        pDialog->Impl()->hwnd = nullptr;
        SetWindowLongPtrA(hwnd, DWLP_USER, 0);
        return FALSE;
    }
    intptr_t nResult = 0;
    if (!pDialog->Dispatch(nMsg, wParam, lParam, &nResult))
        return FALSE;
    if (ReturnsResultDirectly(nMsg))
        return static_cast<INT_PTR>(nResult);
    // A WM_PAINT handler that did not paint (the window is not minimised) asks for the default
    // painting; answering TRUE would leave the update region invalid and WM_PAINT would repeat.
    if (nMsg == WM_PAINT && GetUpdateRect(hwnd, nullptr, FALSE))
        return FALSE;
    SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, static_cast<LONG_PTR>(nResult));
    return TRUE;
}

CDialog::CDialog(int nTemplateId, CDialog* pParent)
    : m_nTemplateId(nTemplateId), m_pParent(pParent), m_pImpl(std::make_unique<CDialogImpl>())
{
}

CDialog::~CDialog() = default;

intptr_t CDialog::DoModal()
{
    HWND hwndParent = m_pParent ? m_pParent->Impl()->hwnd.load() : nullptr;
    return DialogBoxParamA(ResourceModule(), MAKEINTRESOURCEA(m_nTemplateId), hwndParent, CDialogImpl::DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

void CDialog::EndDialog(int nResult)
{
    CallOnWindowThread([&] { ::EndDialog(m_pImpl->hwnd.load(), nResult); });
}

void CDialog::EnableControl(int nId, bool bEnable)
{
    CallOnWindowThread([&] { EnableWindow(m_pImpl->Control(nId), bEnable ? TRUE : FALSE); });
}

bool CDialog::IsControlEnabled(int nId)
{
    bool bEnabled = false;
    CallOnWindowThread([&] {
        HWND hControl = m_pImpl->Control(nId);
        bEnabled = hControl && IsWindowEnabled(hControl);
    });
    return bEnabled;
}

void CDialog::SetControlText(int nId, const std::string& strText)
{
    CallOnWindowThread([&] { SetDlgItemTextA(m_pImpl->hwnd.load(), nId, strText.c_str()); });
}

std::string CDialog::GetControlText(int nId)
{
    std::string strText;
    CallOnWindowThread([&] {
        HWND hControl = m_pImpl->Control(nId);
        if (!hControl)
            return;
        // A drop-down list answers with its selected entry.
        const int nLength = GetWindowTextLengthA(hControl);
        std::vector<char> buffer(static_cast<size_t>(nLength) + 1);
        const int nCopied = GetWindowTextA(hControl, buffer.data(), nLength + 1);
        strText.assign(buffer.data(), static_cast<size_t>(nCopied > 0 ? nCopied : 0));
    });
    return strText;
}

void CDialog::AddListEntry(int nId, const std::string& strEntry)
{
    CallOnWindowThread(
        [&] { m_pImpl->SendToControl(nId, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(strEntry.c_str())); });
}

void CDialog::SelectListEntry(int nId, int nIndex)
{
    CallOnWindowThread([&] {
        // Windows clears the selection for an index beyond the list, Wine keeps the old one; -1
        // clears it on both.
        const LRESULT nCount = m_pImpl->SendToControl(nId, CB_GETCOUNT, 0, 0);
        const bool bInRange = nIndex >= 0 && nIndex < nCount;
        m_pImpl->SendToControl(nId, CB_SETCURSEL, bInRange ? static_cast<WPARAM>(nIndex) : static_cast<WPARAM>(-1), 0);
    });
}

int CDialog::GetListSelection(int nId)
{
    int nSelection = -1;
    CallOnWindowThread([&] {
        if (m_pImpl->Control(nId))
            nSelection = static_cast<int>(m_pImpl->SendToControl(nId, CB_GETCURSEL, 0, 0));
    });
    return nSelection < 0 ? -1 : nSelection;
}

void CDialog::SetControlFocus(int nId)
{
    CallOnWindowThread([&] {
        if (HWND hControl = m_pImpl->Control(nId))
            SetFocus(hControl);
    });
}

void CDialog::SetControlFont(int nId, const FontSpec& font)
{
    CallOnWindowThread([&] {
        HFONT hFont = CreateFontA(font.nHeight, font.nWidth, 0, 0, font.nWeight, font.bItalic, font.bUnderline,
                                  font.bStrikeOut, font.nCharSet, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                  DEFAULT_QUALITY, font.nPitchAndFamily, font.strFace.c_str());
        if (!hFont)
            return;
        m_pImpl->fonts.push_back(hFont);
        m_pImpl->SendToControl(nId, WM_SETFONT, reinterpret_cast<WPARAM>(hFont), TRUE);
    });
}

bool CDialog::ShowBitmap(int nId, int nBitmapId)
{
    bool bShown = false;
    CallOnWindowThread([&] {
        // LR_LOADMAP3DCOLORS maps the palette's greys to the user's 3-D colours.
        HANDLE hBitmap = LoadImageA(ResourceModule(), MAKEINTRESOURCEA(nBitmapId), IMAGE_BITMAP, 0, 0,
                                    LR_LOADMAP3DCOLORS);
        if (!hBitmap)
            return;
        if (!m_pImpl->Control(nId)) {
            DeleteObject(hBitmap);
            return;
        }
        // The control hands back the bitmap it showed before; that one is ours to delete.
        LRESULT hPrevious = m_pImpl->SendToControl(nId, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(hBitmap));
        if (hPrevious && reinterpret_cast<HANDLE>(hPrevious) != hBitmap)
            DeleteObject(reinterpret_cast<HGDIOBJ>(hPrevious));
        bShown = true;
    });
    return bShown;
}

intptr_t CDialog::GetIconHandle(int nIconId)
{
    // LoadIcon hands out a shared icon, which nobody destroys.
    return reinterpret_cast<intptr_t>(LoadIconA(ResourceModule(), MAKEINTRESOURCEA(nIconId)));
}

void CDialog::SetBigIcon(int nIconId)
{
    const intptr_t hIcon = GetIconHandle(nIconId);
    CallOnWindowThread([&] { SendMessageA(m_pImpl->hwnd.load(), WM_SETICON, ICON_BIG, static_cast<LPARAM>(hIcon)); });
}

void CDialog::PaintMinimizedIcon(int nIconId)
{
    const HICON hIcon = reinterpret_cast<HICON>(GetIconHandle(nIconId));
    CallOnWindowThread([&] {
        HWND hwnd = m_pImpl->hwnd.load();
        PAINTSTRUCT ps;
        HDC hdc = BeginPaint(hwnd, &ps);
        if (!hdc)
            return;
        SendMessageA(hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0);
        RECT rect;
        GetClientRect(hwnd, &rect);
        const int x = (rect.right - rect.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
        const int y = (rect.bottom - rect.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
        DrawIcon(hdc, x, y, hIcon);
        EndPaint(hwnd, &ps);
    });
}

bool CDialog::IsMinimized()
{
    HWND hwnd = m_pImpl->hwnd.load();
    return hwnd && IsIconic(hwnd);
}

void CDialog::CallOnWindowThread(const std::function<void()>& fn)
{
    // Once the window is gone nothing runs: the state fn would touch may have gone with it.
    if (m_pImpl->bDestroyed.load())
        return;
    HWND hwnd = m_pImpl->hwnd.load();
    if (!hwnd || GetCurrentThreadId() == m_pImpl->nWindowThread.load()) {
        fn();   // before the window exists the calls find no control
        return;
    }
    // Blocks until the window's thread has run fn; a window destroyed meanwhile runs nothing
    // and SendMessage returns 0.
    m_pImpl->AddPendingCall(&fn);
    SendMessageA(hwnd, kWmRunOnWindowThread, 0, reinterpret_cast<LPARAM>(&fn));
    m_pImpl->RemovePendingCall(&fn);
}

void CDialog::SendClose()
{
    HWND hwnd = m_pImpl->hwnd.load();
    if (hwnd)
        SendMessageA(hwnd, WM_CLOSE, 0, 0);
}

int CDialog::MessageBoxEx(bool bOwned, const std::string& strText, const std::string& strCaption, unsigned nType,
                          unsigned short nLanguage)
{
    HWND hwndOwner = bOwned ? m_pImpl->hwnd.load() : nullptr;
    return ::MessageBoxExA(hwndOwner, strText.c_str(), strCaption.c_str(), nType, nLanguage);
}

int CDialog::AppMessageBox(const std::string& strText, unsigned nType)
{
    if ((nType & MB_ICONMASK) == 0)
        nType |= MB_ICONEXCLAMATION;
    char szPath[MAX_PATH] = {};
    const DWORD nLength = GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    std::string strCaption(szPath, nLength < MAX_PATH ? nLength : 0);
    const size_t nSlash = strCaption.find_last_of("\\/");
    if (nSlash != std::string::npos)
        strCaption.erase(0, nSlash + 1);
    const size_t nDot = strCaption.rfind('.');
    if (nDot != std::string::npos)
        strCaption.erase(nDot);
    return ::MessageBoxA(m_pImpl->hwnd.load(), strText.c_str(), strCaption.c_str(), nType);
}

void CDialog::WaitPumping(const std::function<bool()>& done)
{
    // done() may turn true without a message (another thread ends), so the wait is bounded.
    constexpr DWORD kPollMilliseconds = 10;
    // A quit that arrives meanwhile does not cut the wait short: the callers wait for threads that
    // still use the dialog's objects. It is posted again for the outer loop once the wait is over.
    bool bQuit = false;
    WPARAM nQuitCode = 0;
    while (!done()) {
        MsgWaitForMultipleObjectsEx(0, nullptr, kPollMilliseconds, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        // done() is asked after every message, so a steady stream of messages cannot hold the
        // wait open.
        MSG msg;
        while (!done() && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                bQuit = true;
                nQuitCode = msg.wParam;
                continue;
            }
            HWND hwnd = m_pImpl->hwnd.load();
            if (hwnd && IsDialogMessageA(hwnd, &msg))
                continue;
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    if (bQuit)
        PostQuitMessage(static_cast<int>(nQuitCode));
}
