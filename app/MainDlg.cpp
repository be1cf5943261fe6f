// The main dialog's own behaviour: construction, initialisation, data exchange, the English texts,
// the status picture, painting, the message map and the window's destruction. The monitor loop,
// discovery, the settings file and the commands live in their own files.
#include "app/MainDlg.h"

#include <functional>

#include "app/AboutDlg.h"
#include "platform/InstanceLock.h"
#include "platform/System.h"
#include "res/PortList.h"

namespace {

constexpr unsigned kWorkDirRequest = 250;
constexpr size_t kEntryMaxChars = 20;
constexpr size_t kCodeMaxChars = 16;

FontSpec StatusLineFont()
{
    FontSpec font;
    font.nHeight = 15;
    font.nWeight = 700;      // bold
    font.nCharSet = 0;       // ANSI
    font.nPitchAndFamily = 32;   // swiss
    font.strFace = "Arial";
    return font;
}

CMainDlg& Self(CDialog& dialog) { return static_cast<CMainDlg&>(dialog); }

// Message map handlers: each forwards to the dialog's member.
intptr_t HandlePaint(CDialog& d, uintptr_t, intptr_t) { Self(d).OnPaint(); return 0; }
intptr_t HandleQueryDragIcon(CDialog& d, uintptr_t, intptr_t) { return Self(d).OnQueryDragIcon(); }
intptr_t HandleExit(CDialog& d, uintptr_t, intptr_t) { Self(d).OnExit(); return 0; }
intptr_t HandleAbout(CDialog& d, uintptr_t, intptr_t) { Self(d).OnAbout(); return 0; }
intptr_t HandleDestroy(CDialog& d, uintptr_t, intptr_t) { Self(d).OnDestroy(); return 0; }
intptr_t HandleEnterDownload(CDialog& d, uintptr_t, intptr_t) { Self(d).OnEnterDownload(); return 0; }
intptr_t HandleReversePort(CDialog& d, uintptr_t, intptr_t) { Self(d).OnReversePort(); return 0; }
intptr_t HandleSimStatus(CDialog& d, uintptr_t, intptr_t) { Self(d).OnSimStatus(); return 0; }
intptr_t HandleExitDownload(CDialog& d, uintptr_t, intptr_t) { Self(d).OnExitDownload(); return 0; }
intptr_t HandleStatusRefresh(CDialog& d, uintptr_t wParam, intptr_t lParam) { return Self(d).OnStatusRefresh(wParam, lParam); }

const MsgMapEntry kMessageMap[] = {
    {ui::kWmPaint, 0, 0, HandlePaint},
    {ui::kWmQueryDragIcon, 0, 0, HandleQueryDragIcon},
    {ui::kWmCommand, ui::kBnClicked, IDC_EXIT, HandleExit},
    {ui::kWmCommand, ui::kBnClicked, IDC_HELP_BUTTON, HandleAbout},
    {ui::kWmDestroy, 0, 0, HandleDestroy},
    {ui::kWmCommand, ui::kBnClicked, IDC_ENTER_DOWNLOAD, HandleEnterDownload},
    {ui::kWmCommand, ui::kBnClicked, IDC_REVERSE_PORT, HandleReversePort},
    {ui::kWmCommand, ui::kBnClicked, IDC_SIM_STATUS, HandleSimStatus},
    {ui::kWmCommand, ui::kBnClicked, IDC_EXIT_DOWNLOAD, HandleExitDownload},
    {WM_STATUS_REFRESH, 0, 0, HandleStatusRefresh},
    {0, 0, 0, nullptr},
};

// Data exchange for a field that other threads write too: read it once, exchange, store it back.
void ExchangeShared(bool bSave, CSharedString& field, const std::function<void(std::string&)>& exchange)
{
    std::string str = field.Get();
    exchange(str);
    if (bSave)
        field.Set(str);
}

} // namespace

CMainDlg::CMainDlg(CDialog* pParent, CToolEnv env) : CDialog(IDD_MAIN, pParent), m_env(std::move(env))
{
    m_hIcon = GetIconHandle(IDR_MAINFRAME);
    m_pSecondPort = std::make_unique<CDiagPort>();
}

CMainDlg::~CMainDlg()
{
    ShutdownMonitor();
    // The process ends right after the dialog; releasing the name here rather than at process end
    // lets one process run the dialog more than once.
    CloseInstanceLock(m_hMutex);
    m_hMutex = 0;
}

bool CMainDlg::OnInitDialog()
{
    // A second copy stops here, before its window has shown anything.
    bool bAlreadyExists = false;
    m_hMutex = CreateInstanceLock(kWindowInstanceName, &bAlreadyExists);
    if (bAlreadyExists) {
        MessageBoxEx(true, "UI is running, Please close it and re-run this program!", "Error", ui::kMbIconHand, 0);
        CloseInstanceLock(m_hMutex);
        m_hMutex = 0;
        ExitProcessNow(0);
    }

    // The list is unsorted, so an entry's index is its Port number.
    for (const std::string& strEntry : PortListEntries())
        AddListEntry(IDC_PORT_LIST, strEntry);
    CDialog::OnInitDialog();
    m_pAtChannel = std::make_unique<CAtChannel>(Clock());
    SetBigIcon(IDR_MAINFRAME);
    CaptureWorkingDirectory(m_szWorkDir, kWorkDirRequest);
    SetControlText(IDC_HIDDEN_1018, "");
    LoadPortSettings();
    EnableControl(IDC_ENTER_DOWNLOAD, false);
    EnableControl(IDC_EXIT_DOWNLOAD, false);
    SetEnglishTexts();
    UpdateData(false);
    StartMonitor();
    SetControlFocus(IDC_CODE);
    SetControlFont(IDC_STATUS_LINE, StatusLineFont());
    return true;
}

void CMainDlg::DoDataExchange(bool bSave)
{
    int nModemPort = m_nModemPort.load();
    DdxListIndex(bSave, IDC_PORT_LIST, nModemPort);
    if (bSave)
        m_nModemPort.store(nModemPort);
    DdxText(bSave, IDC_ENTRY, m_strEntry, kEntryMaxChars);
    DdxText(bSave, IDC_HIDDEN_1014, m_strHidden1014);
    DdxText(bSave, IDC_CODE, m_strCode, kCodeMaxChars);
    ExchangeShared(bSave, m_strPortLabel, [&](std::string& str) { DdxText(bSave, IDC_PORT_LABEL, str); });
    ExchangeShared(bSave, m_strStatus, [&](std::string& str) { DdxText(bSave, IDC_STATUS_LINE, str); });
}

const MsgMapEntry* CMainDlg::GetMessageMap() const
{
    return kMessageMap;
}

void CMainDlg::SetEnglishTexts()
{
    SetControlText(IDC_PORT_LABEL, "COM");
    SetControlText(IDC_BARCODE_LABEL, "Barcode");
    SetControlText(IDC_READ_LABEL, "Read");
    SetControlText(IDC_HELP_BUTTON, "Help");
    SetControlText(IDC_HIDDEN_OK, "OK");
    SetControlText(IDC_EXIT, "Exit");
    SetControlText(IDC_PORT_LABEL, "Modem Port");
    SetControlText(IDC_ENTER_DOWNLOAD, "Close autorun && Enter download");
    SetControlText(IDC_REVERSE_PORT, "Reverse Port");
    SetControlText(IDC_SIM_STATUS, "Uninstall Network");
}

void CMainDlg::ShowStatusPicture(int nId)
{
    if (!ShowBitmap(IDC_STATUS_PICTURE, nId))
        return;
    SetControlFocus(IDC_CODE);
}

void CMainDlg::OnPaint()
{
    // Restored, the window paints itself; only the minimised window draws the icon.
    if (IsMinimized())
        PaintMinimizedIcon(IDR_MAINFRAME);
}

intptr_t CMainDlg::OnQueryDragIcon()
{
    return m_hIcon;
}

void CMainDlg::OnExit()
{
    SendClose();
    // A mode command's own suspension is not this resume's to lift: the monitor would reopen the
    // port under the command's exchanges.
    if (m_nModeRuns.load() == 0)
        ResumeMonitor();
}

void CMainDlg::OnAbout()
{
    CAboutDlg dlg(this);
    dlg.DoModal();
}

void CMainDlg::OnDestroy()
{
    // The monitor stays stopped for good, whatever resumes come later (a close-command worker
    // resumes at its end); that worker needs the window's thread to finish, so it is waited for
    // while messages flow, before the ports go.
    HoldMonitor();
    WaitForWorkers();
    m_pSecondPort.reset();
    m_pAtChannel.reset();
}

// ---- port discovery: the searches store what they found in the dialog's fields -------------------

void CMainDlg::StoreCommandPort(const CPortSearch& search)
{
    if (!search.nCommandPort)
        return;
    m_nModemPort = *search.nCommandPort;
    m_strPortLabel.Set(PortLabelText(search.eSource));
    m_strStatus.Set(PortStatusText(search.eSource));
}

// Modem port first, then the diagnostic port; 1 only when a diagnostic instance was found.
int CMainDlg::FindModemPort()
{
    const CPortSearch search = SearchModemPort(Registry());
    StoreCommandPort(search);
    if (search.nSecondPort)
        m_nSecondPort = *search.nSecondPort;
    return search.bFound;
}

// The AT port, the fallback when no diagnostic port turns up; 1 whenever an AT driver lists an
// instance, even when its port name cannot be read.
int CMainDlg::FindAtPort()
{
    const CPortSearch search = SearchAtPort(Registry());
    StoreCommandPort(search);
    return search.bFound;
}
