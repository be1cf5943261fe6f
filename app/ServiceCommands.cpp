// The hidden service commands: Reverse Port (button 1013) and the SIM status query (button 1015).
// Their buttons are never shown; the handlers run only on a click notification for their ids.
#include "app/MainDlg.h"
#include "app/ToolApp.h"
#include "commands/Commands.h"

namespace {

constexpr int kReverseMode = 6;
constexpr uint32_t kBeforeSimQueryWait = 200;
constexpr unsigned short kBoxLanguage = 1;

void ShowErrorBox(CMainDlg& dlg, const char* pszText)
{
    dlg.MessageBoxEx(false, pszText, "Error", ui::kMbIconHand, kBoxLanguage);
}

} // namespace

void CMainDlg::OnReversePort()
{
    if (!BeginCommand(0))
        return;
    RunReversePort();
    EndCommand();
}

void CMainDlg::RunReversePort()
{
    const CReversePortTexts texts = ReversePortTexts(theApp.m_bEnglish);
    if (!m_bConnected) {
        ShowErrorBox(*this, texts.pszNoCard);
        return;
    }
    // Never resumed: the monitor stays stopped for the rest of the run.
    SuspendMonitor();
    if (!CommandContext().reopenPort()) {
        ShowErrorBox(*this, texts.pszPortError);
        EnableControl(IDC_REVERSE_PORT, true);
        EnableControl(IDC_ENTER_DOWNLOAD, true);
        return;
    }
    if (!ReversePort(kReverseMode))
        ShowErrorBox(*this, texts.pszFail);
}

int CMainDlg::ReversePort(int /*nMode*/)
{
    // Nothing stands behind the reverse step: it has no effect and reports failure every time.
    return 0;
}

void CMainDlg::OnSimStatus()
{
    if (!BeginCommand(0))
        return;
    SuspendMonitor();
    Clock().Sleep(kBeforeSimQueryWait);
    CCommandContext ctx = CommandContext();
    AppMessageBox(RunSimStatusQuery(ctx));
    ResumeMonitor();
    EndCommand();
}
