// The window's side of the two device mode commands behind buttons 1012 and 1017: the pictures,
// the boxes, the threads and the waits around the sequences that commands/ runs.
#include <functional>
#include <system_error>
#include <thread>

#include "app/MainDlg.h"
#include "commands/Commands.h"
#include "serial/CardLine.h"

namespace {

constexpr uint32_t kBeforeWorkerWait = 2000;
constexpr uint32_t kAfterWorkerStartWait = 2000;
constexpr uint32_t kWorkerFirstWait = 2000;
constexpr uint32_t kBeforeOpenAutorunWait = 1000;
constexpr uint32_t kBeforeResumeWait = 1000;
constexpr unsigned short kBoxLanguage = 1;

struct CModeTexts {
    const char* pszSuccess;
    const char* pszFail;
};
constexpr CModeTexts kEnterDownloadTexts = {"Close autorun and enter download success!",
                                            "Close autorun and enter download fail!"};
constexpr CModeTexts kExitDownloadTexts = {"Open autorun and exit download success!",
                                           "Open autorun and exit download fail!"};

// The done (or failed) picture, then a box with no owner; returns once the user has closed it.
// Nothing is shown once the window has started closing (a worker may get there late).
void ReportModeRun(CMainDlg& dlg, bool bSucceeded, const CModeTexts& texts,
                   const std::function<bool()>& isClosing = [] { return false; })
{
    if (isClosing())
        return;
    dlg.ShowStatusPicture(bSucceeded ? IDB_PASS : IDB_FAIL);
    if (isClosing())
        return;
    if (bSucceeded)
        dlg.MessageBoxEx(false, texts.pszSuccess, "Success", ui::kMbOk | ui::kMbIconInformation, kBoxLanguage);
    else
        dlg.MessageBoxEx(false, texts.pszFail, "Error", ui::kMbIconHand, kBoxLanguage);
}

// std::thread reports a thread that cannot be created by throwing; the caller wants a result.
bool StartDetachedThread(std::function<void()> fn)
{
    try {
        std::thread(std::move(fn)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

} // namespace

CCommandContext CMainDlg::CommandContext()
{
    CCommandContext ctx;
    ctx.pChannel = m_pAtChannel.get();
    ctx.reopenPort = [this] { return OpenModemPort(m_nModemPort, kCardBaud); };
    ctx.pClock = &Clock();
    // Once the window is closing nothing more is sent: the window's destruction waits for the
    // close command's worker before it deletes the channel.
    ctx.stopNow = [this] { return m_bClosing.load(); };
    return ctx;
}

// A mode command run owns the channel from its suspension of the monitor to the matching resume;
// the count tells the hidden Exit not to lift that suspension.
void CMainDlg::BeginModeRun()
{
    SuspendMonitor();
    ++m_nModeRuns;
}

void CMainDlg::EndModeRun()
{
    --m_nModeRuns;
    ResumeMonitor();
}

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

// ---- close autorun and enter download: window's thread, then a worker ----------------------------

void CMainDlg::OnEnterDownload()
{
    if (!BeginCommand(IDC_ENTER_DOWNLOAD))
        return;
    EnableControl(IDC_ENTER_DOWNLOAD, false);
    EnableControl(IDC_EXIT_DOWNLOAD, false);
    ShowStatusPicture(IDB_RUNNING);
    // Suspended before the wait, not after it: a monitor pass that ends during the wait would enable
    // both buttons again and let a second command start on the same channel.
    BeginModeRun();
    Clock().Sleep(kBeforeWorkerWait);

    {
        std::lock_guard<std::mutex> lock(m_workerMutex);
        ++m_nWorkers;
    }
    std::function<void()> worker = [this] {
        EnterDownloadThreadProc(this);
        EndCommand();
        std::lock_guard<std::mutex> lock(m_workerMutex);
        --m_nWorkers;
        // Under the lock: once it is released the window's destruction may go on and free the dialog.
        m_workerDone.notify_all();
    };
    const bool bStarted = m_env.startWorker ? m_env.startWorker(worker) : StartDetachedThread(worker);
    if (!bStarted) {
        {
            std::lock_guard<std::mutex> lock(m_workerMutex);
            --m_nWorkers;
        }
        // Nothing else would ever take the busy picture down or resume the monitor.
        ReportModeRun(*this, false, kEnterDownloadTexts);
        Clock().Sleep(kBeforeResumeWait);
        EndModeRun();
        EndCommand();
        return;
    }
    Clock().Sleep(kAfterWorkerStartWait);
}

unsigned CMainDlg::EnterDownloadThreadProc(CMainDlg* pDlg)
{
    if (pDlg)
        pDlg->RunEnterDownload();
    return 1;
}

unsigned CMainDlg::RunEnterDownload()
{
    // Once the window is closing nothing more is sent or shown: the worker only hands the monitor
    // back and ends, so that the window's destruction can delete the channel.
    auto waitUnlessClosing = [this](uint32_t nMilliseconds) {
        if (!m_bClosing)
            Clock().Sleep(nMilliseconds);
    };

    waitUnlessClosing(kWorkerFirstWait);
    CCommandContext ctx = CommandContext();
    const CModeRunResult result = RunModeSequence(kCloseAutorunSequence, ctx);
    ReportModeRun(*this, ModeRunSucceeded(result), kEnterDownloadTexts, [this] { return m_bClosing.load(); });
    waitUnlessClosing(kBeforeResumeWait);
    EndModeRun();   // matches the BeginModeRun of OnEnterDownload
    return 1;
}

void CMainDlg::WaitForWorkers()
{
    m_bClosing = true;
    // Pumping, not blocking: the worker's picture and any other window call it makes are served by
    // this thread, and it would wait for them for ever otherwise.
    WaitPumping([this] {
        std::lock_guard<std::mutex> lock(m_workerMutex);
        return m_nWorkers == 0;
    });
}

// ---- open autorun and exit download: all on the window's thread -----------------------------------

void CMainDlg::OnExitDownload()
{
    if (!BeginCommand(IDC_EXIT_DOWNLOAD))
        return;
    EnableControl(IDC_ENTER_DOWNLOAD, false);
    EnableControl(IDC_EXIT_DOWNLOAD, false);
    ShowStatusPicture(IDB_RUNNING);
    BeginModeRun();
    Clock().Sleep(kBeforeOpenAutorunWait);
    CCommandContext ctx = CommandContext();
    const CModeRunResult result = RunModeSequence(kOpenAutorunSequence, ctx);
    ReportModeRun(*this, ModeRunSucceeded(result), kExitDownloadTexts);
    Clock().Sleep(kBeforeResumeWait);
    EndModeRun();
    EndCommand();
}
