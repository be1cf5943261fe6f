// The window's side of the commands: the handlers of IDC_ENTER_DOWNLOAD and IDC_EXIT_DOWNLOAD (the
// two device mode commands) and of the hidden IDC_REVERSE_PORT and IDC_SIM_STATUS, with their
// pictures, boxes, threads and waits around the sequences that commands/ runs.
#include <functional>
#include <memory>
#include <system_error>
#include <thread>

#include "app/MainDlg.h"
#include "commands/CommandTable.h"

namespace {

constexpr uint32_t kBeforeWorkerWait = 2000;
constexpr uint32_t kAfterWorkerStartWait = 2000;
constexpr uint32_t kWorkerFirstWait = 2000;
constexpr uint32_t kBeforeOpenAutorunWait = 1000;
constexpr uint32_t kBeforeResumeWait = 1000;
constexpr int kReverseMode = 6;
constexpr uint32_t kBeforeSimQueryWait = 200;
// The command boxes have no owner and ask for language 0, the user's own. (1 would be Arabic,
// LANG_ARABIC with SUBLANG_NEUTRAL: Wine lays such a box out right to left with an Arabic button.)
constexpr unsigned short kBoxLanguage = 0;

// The two buttons' rows of the card command table: their steps and their boxes' texts.
const CCardCommand& CloseAutorunCommand()
{
    static const CCardCommand& command = *FindCardCommand("close-autorun");
    return command;
}

const CCardCommand& OpenAutorunCommand()
{
    static const CCardCommand& command = *FindCardCommand("open-autorun");
    return command;
}

void ShowErrorBox(CMainDlg& dlg, const char* pszText)
{
    dlg.MessageBoxEx(false, pszText, kErrorCaption, ui::kMbIconHand, kBoxLanguage);
}

// The done (or failed) picture, then a box with no owner; returns once the user has closed it.
// Nothing is shown once the window has started closing (a worker may get there late).
void ReportModeRun(CMainDlg& dlg, bool bSucceeded, const CCardCommand& command,
                   const std::function<bool()>& isClosing = [] { return false; })
{
    if (isClosing())
        return;
    dlg.ShowStatusPicture(bSucceeded ? IDB_PASS : IDB_FAIL);
    if (isClosing())
        return;
    if (bSucceeded)
        dlg.MessageBoxEx(false, command.pszSuccessText, "Success", ui::kMbOk | ui::kMbIconInformation, kBoxLanguage);
    else
        ShowErrorBox(dlg, command.pszFailText);
}

} // namespace

bool CMainDlg::BeginCommand(int nButton)
{
    if (m_bClosing.load() || m_nCommands.load() != 0)
        return false;
    if (nButton != 0 && !IsControlEnabled(nButton))
        return false;
    ++m_nCommands;
    return true;
}

void CMainDlg::EndCommand()
{
    --m_nCommands;
}

// std::thread reports a thread that cannot be created by throwing; the caller wants a result.
bool CMainDlg::StartWorker(std::function<void()> fn)
{
    try {
        std::thread(std::move(fn)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

// ---- close autorun and enter download: window's thread, then a worker ----------------------------

void CMainDlg::OnEnterDownload()
{
    if (!BeginCommand(IDC_ENTER_DOWNLOAD))
        return;
    m_window.EnableCommandButtons(false);
    ShowStatusPicture(IDB_RUNNING);
    // Taken before the wait, not after it: a monitor pass that ends during the wait would enable
    // both buttons again and let a second command start on the same channel.
    auto pLease = std::make_shared<CChannelLease>(m_monitor);
    Clock().Sleep(kBeforeWorkerWait);

    {
        std::lock_guard<std::mutex> lock(m_workerMutex);
        ++m_nWorkers;
    }
    std::function<void()> worker = [this, pLease] {
        EnterDownloadThreadProc(this, pLease.get());
        EndCommand();
        std::lock_guard<std::mutex> lock(m_workerMutex);
        // Last: once the count is down the window's destruction may go on and free the dialog.
        --m_nWorkers;
    };
    if (!StartWorker(std::move(worker))) {
        {
            std::lock_guard<std::mutex> lock(m_workerMutex);
            --m_nWorkers;
        }
        // Nothing else would ever take the busy picture down or resume the monitor.
        ReportModeRun(*this, false, CloseAutorunCommand());
        Clock().Sleep(kBeforeResumeWait);
        pLease->Release();
        EndCommand();
        return;
    }
    Clock().Sleep(kAfterWorkerStartWait);
}

unsigned CMainDlg::EnterDownloadThreadProc(CMainDlg* pDlg, CChannelLease* pLease)
{
    if (pDlg && pLease)
        pDlg->RunEnterDownload(*pLease);
    return 1;
}

// Ends by releasing the lease that OnEnterDownload took.
unsigned CMainDlg::RunEnterDownload(CChannelLease& lease)
{
    // Once the window is closing nothing more is sent or shown: the worker only hands the monitor
    // back and ends, so that the window's destruction can delete the channel.
    auto isClosing = [this] { return m_bClosing.load(); };
    auto waitUnlessClosing = [&](uint32_t nMilliseconds) {
        if (!isClosing())
            Clock().Sleep(nMilliseconds);
    };

    waitUnlessClosing(kWorkerFirstWait);
    CCommandContext ctx = lease.Context(isClosing);
    const CModeRunResult result = RunModeSequence(*CloseAutorunCommand().pSequence, ctx);
    ReportModeRun(*this, JudgeModeRun(result).eOutcome == EModeOutcome::kDone, CloseAutorunCommand(), isClosing);
    waitUnlessClosing(kBeforeResumeWait);
    lease.Release();
    return 1;
}

void CMainDlg::WaitForWorkers()
{
    m_bClosing = true;
    // Pumping, not blocking: the worker's picture and any other window call it makes are served by
    // this thread, and it would wait for them for ever otherwise.
    m_window.WaitPumping([this] {
        std::lock_guard<std::mutex> lock(m_workerMutex);
        return m_nWorkers == 0;
    });
}

// ---- open autorun and exit download: all on the window's thread -----------------------------------

void CMainDlg::OnExitDownload()
{
    if (!BeginCommand(IDC_EXIT_DOWNLOAD))
        return;
    m_window.EnableCommandButtons(false);
    ShowStatusPicture(IDB_RUNNING);
    CChannelLease lease(m_monitor);
    Clock().Sleep(kBeforeOpenAutorunWait);
    CCommandContext ctx = lease.Context([this] { return m_bClosing.load(); });
    const CModeRunResult result = RunModeSequence(*OpenAutorunCommand().pSequence, ctx);
    ReportModeRun(*this, JudgeModeRun(result).eOutcome == EModeOutcome::kDone, OpenAutorunCommand());
    Clock().Sleep(kBeforeResumeWait);
    lease.Release();
    EndCommand();
}

// ---- hidden service commands: their buttons are never shown; the handlers run only on a click
// notification for their ids ------------------------------------------------------------------------

void CMainDlg::OnReversePort()
{
    if (!BeginCommand(0))
        return;
    RunReversePort();
    EndCommand();
}

void CMainDlg::RunReversePort()
{
    const CReversePortTexts texts = ReversePortTexts(m_env.pEnglish ? *m_env.pEnglish : 1);
    if (!m_monitor.State().m_bConnected) {
        ShowErrorBox(*this, texts.pszNoCard);
        return;
    }
    // Kept: the monitor stays stopped for the rest of the run.
    CChannelLease lease(m_monitor);
    const int bReopened = lease.ReopenModemPort();
    lease.Keep();
    if (!bReopened) {
        ShowErrorBox(*this, texts.pszPortError);
        EnableControl(IDC_REVERSE_PORT, true);
        m_window.EnableButton(ECommandButton::kEnterDownload, true);
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
    CChannelLease lease(m_monitor);
    Clock().Sleep(kBeforeSimQueryWait);
    CCommandContext ctx = lease.Context([this] { return m_bClosing.load(); });
    AppMessageBox(RunSimStatusQuery(ctx));
    lease.Release();
    EndCommand();
}
