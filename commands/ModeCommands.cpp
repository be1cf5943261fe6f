// The two device mode commands behind buttons 1012 and 1017: fixed sequences of the card's
// proprietary AT commands that switch its CD-ROM autorun and its download mode.
#include <functional>
#include <system_error>
#include <thread>

#include "app/MainDlg.h"
#include "commands/Commands.h"

namespace {

constexpr int kBaud = 115200;
constexpr int kTriesPerStep = 3;
constexpr int kModelPasses = 3;
constexpr uint32_t kReopenWait = 1000;
constexpr uint32_t kBeforeWorkerWait = 2000;
constexpr uint32_t kAfterWorkerStartWait = 2000;
constexpr uint32_t kWorkerFirstWait = 2000;
constexpr uint32_t kBetweenCommandsWait = 1000;
constexpr uint32_t kBeforeResumeWait = 1000;
constexpr unsigned short kBoxLanguage = 1;

const char* const kModels[] = {"R2281-Y", "R2280-Y", "R5515-Y"};

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

std::string ExchangeOrError(CAtChannel* pChannel, const std::string& strCommand)
{
    return pChannel ? pChannel->Exchange(strCommand) : std::string("error");
}

bool NamesSwitchableModel(const std::string& strModelAnswer)
{
    for (const char* pszModel : kModels) {
        if (strModelAnswer.find(pszModel) != std::string::npos)
            return true;
    }
    return false;
}

bool ModeRunSucceeded(const std::string& strFirst, const std::vector<std::string>& laterAnswers)
{
    if (strFirst.empty() || strFirst == "error" || strFirst == "ERROR")
        return false;
    for (const std::string& strAnswer : laterAnswers) {
        if (strAnswer == "ERROR")
            return false;
    }
    return true;
}

std::string CMainDlg::ExchangeInRun(const std::string& strCommand)
{
    const std::string strAnswer = ExchangeOrError(m_pAtChannel.get(), strCommand);
    if (!m_pAtChannel || !m_pAtChannel->WasSent())
        m_bRunUnsent = true;
    return strAnswer;
}

std::string CMainDlg::SendWithReopen(const std::string& strCommand)
{
    std::string strAnswer;
    for (int nTry = 0; nTry < kTriesPerStep && !m_bClosing; ++nTry) {
        strAnswer = ExchangeInRun(strCommand);
        // Only an empty line means the port needs reopening; "ERROR" and a silent card ("error")
        // are answers of their own and end the step.
        if (!strAnswer.empty())
            break;
        OpenModemPort(m_nModemPort, kBaud);
        Clock().Sleep(kReopenWait);
    }
    return strAnswer;
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

// ---- close autorun and enter download: window's thread, then a worker ----------------------------

void CMainDlg::OnEnterDownload()
{
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

    m_bRunUnsent = false;
    waitUnlessClosing(kWorkerFirstWait);
    const std::string strFirst = SendWithReopen("AT+YCDRUN=E");
    waitUnlessClosing(kBetweenCommandsWait);
    const std::string strSecond = SendWithReopen("AT+YCDRUN=8");
    // A silent card after its first command may be switching modes; a command that could not even be
    // written went nowhere, and the run did not do what it reports.
    ReportModeRun(*this, ModeRunSucceeded(strFirst, {strSecond}) && !m_bRunUnsent, kEnterDownloadTexts,
                  [this] { return m_bClosing.load(); });
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
    EnableControl(IDC_ENTER_DOWNLOAD, false);
    EnableControl(IDC_EXIT_DOWNLOAD, false);
    ShowStatusPicture(IDB_RUNNING);
    BeginModeRun();
    m_bRunUnsent = false;
    Clock().Sleep(kBetweenCommandsWait);
    const std::string strFirst = SendWithReopen("AT+YCDRUN=F");
    Clock().Sleep(kBetweenCommandsWait);
    std::vector<std::string> laterAnswers{SendWithReopen("AT+YCDRUN=9")};

    // Some models keep their autorun off until they also get "AT+YCDRUN=N". A model answer that
    // names none of them, or an "N" that the card rejects, leads to another pass.
    std::string strModel;
    std::string strModelSwitch;
    bool bModelSwitchSent = false;
    for (int nPass = 0; nPass < kModelPasses; ++nPass) {
        strModel = ExchangeInRun("AT+CGMM");
        if (!NamesSwitchableModel(strModel))
            continue;
        strModelSwitch = ExchangeInRun("AT+YCDRUN=N");
        bModelSwitchSent = true;
        if (strModelSwitch != "ERROR")
            break;
    }
    laterAnswers.push_back(strModel);
    if (bModelSwitchSent)
        laterAnswers.push_back(strModelSwitch);

    ReportModeRun(*this, ModeRunSucceeded(strFirst, laterAnswers) && !m_bRunUnsent, kExitDownloadTexts);
    Clock().Sleep(kBeforeResumeWait);
    EndModeRun();
}
