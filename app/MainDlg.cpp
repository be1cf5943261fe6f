// The main dialog's own behaviour: construction, initialisation, data exchange, the English texts,
// painting, the message map, closing and the window's destruction. The port monitor and the command
// handlers live in their own files.
#include "app/MainDlg.h"

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

} // namespace

CMainDlg::CMainDlg(CPortMonitor& monitor, CToolEnv env, CDialog* pParent)
    : CDialog(IDD_MAIN, pParent), m_env(env), m_window(*this), m_monitor(monitor)
{
    m_monitor.AttachWindow(&m_window);
    m_hIcon = GetIconHandle(IDR_MAINFRAME);
}

CMainDlg::~CMainDlg()
{
    m_monitor.ShutdownMonitor();
    m_monitor.AttachWindow(nullptr);
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
        MessageBoxEx(true, "UI is running, Please close it and re-run this program!", kErrorCaption, ui::kMbIconHand, 0);
        CloseInstanceLock(m_hMutex);
        m_hMutex = 0;
        ExitProcessNow(0);
    }

    // The list is unsorted, so an entry's index is its Port number.
    for (const std::string& strEntry : PortListEntries())
        AddListEntry(IDC_PORT_LIST, strEntry);
    CDialog::OnInitDialog();
    m_monitor.CreateChannel();
    SetBigIcon(IDR_MAINFRAME);
    CaptureWorkingDirectory(m_szWorkDir, kWorkDirRequest);
    SetControlText(IDC_HIDDEN_1018, "");
    LoadPortSettings();
    m_window.EnableCommandButtons(false);
    SetEnglishTexts();
    UpdateData(false);
    SetControlText(IDC_READOUT, "");
    m_monitor.StartMonitor();
    SetControlFocus(IDC_CODE);
    SetControlFont(IDC_STATUS_LINE, StatusLineFont());
    return true;
}

// The port list's index, the label and the status line are the monitor's state; they are read
// before the exchange and stored after it, never with the state's lock held across a window call.
void CMainDlg::DoDataExchange(bool bSave)
{
    const CPortState state = m_monitor.State();
    int nModemPort = state.m_nModemPort;
    std::string strPortLabel = state.m_strPortLabel;
    std::string strStatus = state.m_strStatus;
    DdxListIndex(bSave, IDC_PORT_LIST, nModemPort);
    DdxText(bSave, IDC_ENTRY, m_strEntry, kEntryMaxChars);
    DdxText(bSave, IDC_HIDDEN_1014, m_strHidden1014);
    DdxText(bSave, IDC_CODE, m_strCode, kCodeMaxChars);
    DdxText(bSave, IDC_PORT_LABEL, strPortLabel);
    DdxText(bSave, IDC_STATUS_LINE, strStatus);
    if (!bSave)
        return;
    m_monitor.UpdateState([&](CPortState& stored) {
        stored.m_nModemPort = nModemPort;
        stored.m_strPortLabel = std::move(strPortLabel);
        stored.m_strStatus = std::move(strStatus);
    });
}

const MsgMapEntry* CMainDlg::GetMessageMap() const
{
    return kMessageMap;
}

void CMainDlg::OnOK()
{
    m_bClosing = true;
    CDialog::OnOK();
}

void CMainDlg::OnCancel()
{
    m_bClosing = true;
    CDialog::OnCancel();
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
    m_monitor.ResumeMonitor();
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
    m_monitor.HoldMonitor();
    WaitForWorkers();
    m_monitor.DeletePorts();
}

// Buttons, label and status line stay as they are.
intptr_t CMainDlg::OnStatusRefresh(uintptr_t, intptr_t)
{
    const CPortState state = m_monitor.State();
    m_window.ShowPort(state.m_nModemPort);
    ShowStatusPicture(state.m_bConnected ? IDB_READY : IDB_SEARCHING);
    SetControlText(IDC_READOUT, m_strReadout);
    return 0;
}
