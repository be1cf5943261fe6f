// The close autorun / enter download command (OnEnterDownload and its worker) and the open autorun /
// exit download command (OnExitDownload), against a simulated card on COM5.
#include "commands/Commands.h"
#include "tests/support/CommandTestDialog.h"
#include "tests/support/ModeCommandTexts.h"

namespace {

const std::string CGMM = "AT+CGMM";

enum class Sequence { Close, Open };

struct ScriptStep {
    std::string strCommand;
    CardReply reply;
    int nTimes = -1;
};

// The window operations a command is judged by: buttons, pictures and boxes, in order.
std::vector<std::string> VisibleSteps(const std::vector<std::string>& log)
{
    std::vector<std::string> steps;
    for (const std::string& str : log) {
        if (str.rfind("enable IDC_ENTER_DOWNLOAD", 0) == 0 || str.rfind("enable IDC_EXIT_DOWNLOAD", 0) == 0
            || str.rfind("picture", 0) == 0 || str.rfind("box", 0) == 0)
            steps.push_back(str);
    }
    return steps;
}

// NamesSwitchableModel: any of the three model names anywhere in the answer, case-sensitive.
TEST(NamesSwitchableModelTest, MatchesTheThreeModelsOnlyAsWritten)
{
    const struct {
        const char* pszAnswer;
        bool bSwitchable;
    } kCases[] = {
        {"R2281-Y", true},       {"R2280-Y", true},       {"R5515-Y", true},
        {"HW R2281-Y V2", true}, {"R2282-Y", false},      {"R2280", false},
        {"r2280-y", false},      {"OK", false},           {"", false},
        {"error", false},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(NamesSwitchableModel(c.pszAnswer), c.bSwitchable) << c.pszAnswer;
}

// ---- transcripts and reports, one card behaviour per row ----------------------------------------

struct RunCase {
    const char* name;
    Sequence sequence;
    std::vector<ScriptStep> scripts;
    bool bSilentCard;
    std::vector<std::string> sent;   // a silent command appears twice: the channel's two attempts
    int nReopens;
    bool bSuccess;
};

class ModeRunTest : public CommandTest, public ::testing::WithParamInterface<RunCase> {};

// Each command step exchanges until a non-empty answer (at most three times, reopening COM5 at
// 115200 after each empty one); the report is failure when the first command went unanswered or any
// final answer was "ERROR".
TEST_P(ModeRunTest, SendsTheSequenceAndReportsItsOutcome)
{
    const RunCase& c = GetParam();
    if (c.bSilentCard) {
        CardOptions options;
        options.fault = CardFault::Silent;
        Card().SetOptions(options);
    }
    for (const ScriptStep& step : c.scripts)
        Card().Script(step.strCommand, step.reply, step.nTimes);

    if (c.sequence == Sequence::Close)
        RunEnterDownload();
    else
        m_pDlg->OnExitDownload();

    EXPECT_EQ(Sent(), c.sent);
    const std::vector<SimOpenRecord> reopens = ReopensSinceSetUp();
    ASSERT_EQ(static_cast<int>(reopens.size()), c.nReopens);
    for (const SimOpenRecord& open : reopens) {
        EXPECT_EQ(open.nPort, kCardPort);
        EXPECT_EQ(open.nBaud, 115200);
    }

    const bool bClose = c.sequence == Sequence::Close;
    const std::string strText = c.bSuccess
        ? (bClose ? "Close autorun and enter download success!" : "Open autorun and exit download success!")
        : (bClose ? "Close autorun and enter download fail!" : "Open autorun and exit download fail!");
    const std::vector<std::string> expectedSteps = {
        "enable IDC_ENTER_DOWNLOAD 0",
        "enable IDC_EXIT_DOWNLOAD 0",
        "picture IDC_STATUS_PICTURE IDB_RUNNING",
        c.bSuccess ? "picture IDC_STATUS_PICTURE IDB_PASS" : "picture IDC_STATUS_PICTURE IDB_FAIL",
        std::string("box ") + (c.bSuccess ? "Success" : "Error") + "|" + strText,
    };
    EXPECT_EQ(VisibleSteps(Window().Log()), expectedSteps);

    const std::vector<HeadlessBox> boxes = Window().Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_FALSE(boxes[0].bOwned);
    EXPECT_EQ(boxes[0].nType, c.bSuccess ? 0x40u : 0x10u);
    EXPECT_EQ(boxes[0].nLanguage, 0);
    EXPECT_EQ(m_pDlg->SuspendCount(), m_nSuspendsBefore);
}

const RunCase kRunCases[] = {
    // Close autorun and enter download.
    {"CloseOkCard", Sequence::Close, {}, false, {E, K8}, 0, true},
    {"CloseSilentCard", Sequence::Close, {}, true, {E, E, K8, K8}, 0, false},
    {"CloseEmptyToEveryTryOfFirst", Sequence::Close, {{E, CardReply::Empty()}}, false, {E, E, E, K8}, 3, false},
    {"CloseEmptyOnceThenOk", Sequence::Close, {{E, CardReply::Empty(), 1}}, false, {E, E, K8}, 1, true},
    {"CloseFirstRejected", Sequence::Close, {{E, CardReply::Text("ERROR")}}, false, {E, K8}, 0, false},
    {"CloseSecondUnanswered", Sequence::Close, {{K8, CardReply::None()}}, false, {E, K8, K8}, 0, true},
    {"CloseSecondEmpty", Sequence::Close, {{K8, CardReply::Empty()}}, false, {E, K8, K8, K8}, 3, true},
    {"CloseSecondRejected", Sequence::Close, {{K8, CardReply::Text("ERROR")}}, false, {E, K8}, 0, false},
    // Open autorun and exit download; the card's own model answer is "R2280-Y".
    {"OpenOkCard", Sequence::Open, {{CGMM, CardReply::Text("OK")}}, false, {F, K9, CGMM, CGMM, CGMM}, 0, true},
    {"OpenSilentCard", Sequence::Open, {}, true, {F, F, K9, K9, CGMM, CGMM, CGMM, CGMM, CGMM, CGMM}, 0, false},
    {"OpenModelNamed", Sequence::Open, {}, false, {F, K9, CGMM, N}, 0, true},
    {"OpenModelInsideLongerAnswer", Sequence::Open, {{CGMM, CardReply::Text("HW R5515-Y V1")}}, false,
     {F, K9, CGMM, N}, 0, true},
    {"OpenModelInLowerCase", Sequence::Open, {{CGMM, CardReply::Text("r2281-y")}}, false,
     {F, K9, CGMM, CGMM, CGMM}, 0, true},
    {"OpenModelSwitchRejectedEveryTime", Sequence::Open, {{N, CardReply::Text("ERROR")}}, false,
     {F, K9, CGMM, N, CGMM, N, CGMM, N}, 0, false},
    {"OpenModelSwitchRejectedTwice", Sequence::Open, {{N, CardReply::Text("ERROR"), 2}}, false,
     {F, K9, CGMM, N, CGMM, N, CGMM, N}, 0, true},
    {"OpenModelSwitchUnanswered", Sequence::Open, {{N, CardReply::None()}}, false, {F, K9, CGMM, N, N}, 0, true},
    {"OpenModelSwitchEmptyNoReopen", Sequence::Open, {{N, CardReply::Empty()}}, false, {F, K9, CGMM, N}, 0, true},
    {"OpenModelQueryRejected", Sequence::Open, {{CGMM, CardReply::Text("ERROR")}}, false,
     {F, K9, CGMM, CGMM, CGMM}, 0, false},
    {"OpenFirstUnanswered", Sequence::Open, {{F, CardReply::None()}}, false, {F, F, K9, CGMM, N}, 0, false},
    {"OpenEmptyToEveryTryOfFirst", Sequence::Open, {{F, CardReply::Empty()}}, false, {F, F, F, K9, CGMM, N}, 3,
     false},
    {"OpenSecondRejected", Sequence::Open, {{K9, CardReply::Text("ERROR")}}, false, {F, K9, CGMM, N}, 0, false},
    {"OpenSecondUnanswered", Sequence::Open, {{K9, CardReply::None()}}, false, {F, K9, K9, CGMM, N}, 0, true},
};

INSTANTIATE_TEST_SUITE_P(Cards, ModeRunTest, ::testing::ValuesIn(kRunCases),
                         [](const ::testing::TestParamInfo<RunCase>& info) { return info.param.name; });

// ---- fixed waits ----------------------------------------------------------------------------------

using ModeWaitTest = CommandTest;

// OnEnterDownload waits 2000 ms before and 2000 ms after starting the worker; the worker waits
// 2000 ms, 1000 ms between its commands and 1000 ms after the box; every empty answer adds 1000 ms.
TEST_F(ModeWaitTest, CloseWaitsOnTheWindowThreadAndOnTheWorker)
{
    Card().Script(E, CardReply::Empty(), 2);
    RunEnterDownload();
    EXPECT_EQ(CommandWaitsOf(m_clock, std::this_thread::get_id()), (std::vector<uint32_t>{2000, 2000}));
    ASSERT_EQ(m_workers.Started(), 1);
    EXPECT_EQ(CommandWaitsOf(m_clock, m_workers.IdOf(0)), (std::vector<uint32_t>{2000, 1000, 1000, 1000, 1000}));
}

// OnExitDownload waits 1000 ms before each of its first two commands, none in the model step, and
// 1000 ms after the box.
TEST_F(ModeWaitTest, OpenWaitsOnlyOnTheWindowThread)
{
    Card().Script(K9, CardReply::Empty(), 1);
    m_pDlg->OnExitDownload();
    EXPECT_EQ(CommandWaitsOf(m_clock, std::this_thread::get_id()), (std::vector<uint32_t>{1000, 1000, 1000, 1000}));
    EXPECT_EQ(m_workers.Started(), 0);
}

// ---- the window and the monitor through a run ------------------------------------------------------

struct WindowAtBox {
    int nPicture = 0;
    bool bEnterEnabled = true;
    bool bExitEnabled = true;
    unsigned nSuspends = 0;
    std::thread::id thread;
};

class ModeWindowTest : public CommandTest, public ::testing::WithParamInterface<Sequence> {};

// Both commands show their box with the done picture up, both buttons disabled and the monitor
// suspended (the close command from its worker, the open command from the window's thread); after
// the box the monitor is resumed and the buttons stay disabled until a monitor pass enables them.
TEST_P(ModeWindowTest, HoldsTheMonitorAndButtonsUntilAfterTheBox)
{
    WindowAtBox atBox;
    Window().SetBoxHandler([&](const HeadlessBox& box) {
        atBox = {Window().Control(IDC_STATUS_PICTURE).nBitmap, Window().Control(IDC_ENTER_DOWNLOAD).bEnabled,
                 Window().Control(IDC_EXIT_DOWNLOAD).bEnabled, m_pDlg->SuspendCount(), box.thread};
        return ui::kIdOk;
    });
    if (GetParam() == Sequence::Close)
        RunEnterDownload();
    else
        m_pDlg->OnExitDownload();

    EXPECT_EQ(atBox.nPicture, IDB_PASS);
    EXPECT_FALSE(atBox.bEnterEnabled);
    EXPECT_FALSE(atBox.bExitEnabled);
    EXPECT_EQ(atBox.nSuspends, m_nSuspendsBefore + 1);
    EXPECT_EQ(atBox.thread, GetParam() == Sequence::Close ? m_workers.IdOf(0) : std::this_thread::get_id());
    EXPECT_EQ(m_pDlg->SuspendCount(), m_nSuspendsBefore);
    EXPECT_FALSE(Window().Control(IDC_ENTER_DOWNLOAD).bEnabled);
    EXPECT_FALSE(Window().Control(IDC_EXIT_DOWNLOAD).bEnabled);
}

INSTANTIATE_TEST_SUITE_P(Sequences, ModeWindowTest, ::testing::Values(Sequence::Close, Sequence::Open),
                         [](const ::testing::TestParamInfo<Sequence>& info) {
                             return info.param == Sequence::Close ? "Close" : "Open";
                         });

using ModeStartTest = CommandTest;

// OnEnterDownload suspends the monitor before its first wait, so no monitor pass can enable the
// buttons while the click is being handled and let a second command start.
TEST_F(ModeStartTest, CloseSuspendsTheMonitorBeforeItsFirstWait)
{
    const std::thread::id windowThread = std::this_thread::get_id();
    std::vector<unsigned> suspendsAtWindowWaits;
    m_clock.OnSleep([&](uint32_t) {
        if (std::this_thread::get_id() == windowThread)
            suspendsAtWindowWaits.push_back(m_pDlg->SuspendCount());
    });
    RunEnterDownload();
    m_clock.OnSleep({});
    ASSERT_FALSE(suspendsAtWindowWaits.empty());
    EXPECT_EQ(suspendsAtWindowWaits.front(), m_nSuspendsBefore + 1);
}

// A worker that cannot be started: failure picture and box, 1000 ms, the monitor resumed, nothing
// sent to the card.
TEST_F(ModeStartTest, CloseReportsAWorkerThatCannotStart)
{
    m_workers.Refuse();
    m_pDlg->OnEnterDownload();
    const std::vector<std::string> expectedSteps = {
        "enable IDC_ENTER_DOWNLOAD 0",
        "enable IDC_EXIT_DOWNLOAD 0",
        "picture IDC_STATUS_PICTURE IDB_RUNNING",
        "picture IDC_STATUS_PICTURE IDB_FAIL",
        "box Error|Close autorun and enter download fail!",
    };
    EXPECT_EQ(VisibleSteps(Window().Log()), expectedSteps);
    ASSERT_EQ(Window().Boxes().size(), 1u);
    EXPECT_EQ(Window().Boxes()[0].nType, 0x10u);
    EXPECT_EQ(CommandWaitsOf(m_clock, std::this_thread::get_id()), (std::vector<uint32_t>{2000, 1000}));
    EXPECT_EQ(m_pDlg->SuspendCount(), m_nSuspendsBefore);
    EXPECT_TRUE(Sent().empty());
}

// ---- closing the window while the worker runs -------------------------------------------------------

// The hidden Exit (IDC_EXIT) while the close command's worker holds the channel: its resume leaves the
// command's suspension alone, and the window's end keeps the monitor stopped even after the
// worker's own resume, since the ports are deleted then.
TEST_F(CommandTest, ExitDuringTheCloseCommandKeepsTheMonitorStoppedForGood)
{
    m_pHeld.reset();   // only the command's own suspension from here on
    ASSERT_EQ(m_pDlg->SuspendCount(), 0u);
    ASSERT_TRUE(StartEnterDownloadWithWorkerHeld());
    EXPECT_EQ(m_pDlg->SuspendCount(), 1u);

    m_pDlg->OnExit();
    EXPECT_EQ(m_pDlg->SuspendCount(), 1u);

    DestroyWithWorkerHeldUntilSuspendCount(2);
    ASSERT_TRUE(m_workers.WaitFinished());
    EXPECT_EQ(m_pDlg->SuspendCount(), 1u);
}

// The production start (a detached std::thread) rather than the test's joinable workers.
class ModeClosingTest : public CommandTest {
protected:
    bool UseTestWorkers() const override { return false; }
};

// Destroying the window while the worker runs waits for it with messages flowing: the worker's
// window calls are served, it shows no box once the window is closing, and the channel is deleted
// only after it has ended.
TEST_F(ModeClosingTest, DestroyWaitsForTheWorkerWithoutHangingOrCrashing)
{
    // The worker is held in its first wait until the window's destruction has begun (the
    // destruction's own hold is the sign), so it is surely still running then.
    // Strict: the worker's window calls wait for this thread to pump, which only the destruction
    // does, so the worker cannot reach its report before the window starts closing.
    Window().SetStrictThreading(true);
    ASSERT_TRUE(StartEnterDownloadWithWorkerHeld());
    DestroyWithWorkerHeldUntilSuspendCount(m_nSuspendsBefore + 2);

    EXPECT_EQ(Monitor().OpenModemPort(kCardPort, 115200), 0) << "the channel outlived the window";
    EXPECT_TRUE(Window().Boxes().empty());
}

// WM_COMMAND for any command button while the close command's worker runs, whoever posts it and
// wherever the worker is held (each of its waits in turn, the settles inside its exchanges
// included: seven with an answering card), starts nothing: the card gets one "E" and one "8", one box shows, one worker ran.
class ForeignClickTest : public CommandTest, public ::testing::WithParamInterface<int> {};

TEST_P(ForeignClickTest, ClicksDuringTheCloseCommandStartNothing)
{
    const int nHoldAt = GetParam();
    std::atomic<int> nWorkerWaits{0};
    // Only the worker's waits count: a monitor wait that passed the gate just before the test's
    // hold may still reach the clock now.
    m_clock.OnSleep([&](uint32_t) {
        if (!m_workers.IsWorkerThread() || nWorkerWaits++ != nHoldAt)
            return;
        m_bWorkerHeld = true;
        PollUntil([this] { return m_bReleaseWorker.load(); });
    });
    m_pDlg->OnEnterDownload();
    ASSERT_TRUE(PollUntil([this] { return m_bWorkerHeld.load(); })) << "the worker has fewer waits";
    const std::vector<std::string> logBefore = Window().Log();

    for (int nId : {IDC_ENTER_DOWNLOAD, IDC_EXIT_DOWNLOAD, IDC_SIM_STATUS, IDC_REVERSE_PORT}) {
        const uintptr_t wParam = static_cast<uintptr_t>(nId) | (static_cast<uintptr_t>(ui::kBnClicked) << 16);
        m_pDlg->Dispatch(ui::kWmCommand, wParam, 0);
    }
    EXPECT_EQ(Window().Log(), logBefore) << "a refused click changed the window";
    m_bReleaseWorker = true;
    ASSERT_TRUE(m_workers.WaitFinished());
    m_clock.OnSleep({});

    EXPECT_EQ(Sent(), (std::vector<std::string>{E, K8}));
    EXPECT_EQ(Window().Boxes().size(), 1u);
    EXPECT_EQ(m_workers.Started(), 1);
    EXPECT_EQ(m_pDlg->SuspendCount(), m_nSuspendsBefore);
}

INSTANTIATE_TEST_SUITE_P(EveryWorkerWait, ForeignClickTest, ::testing::Range(0, 7));

// Once closing is asked for (WM_CLOSE, OK, Cancel, the hidden Exit) the window is on its way out:
// a click that reaches it before its destruction starts nothing, visible or hidden.
struct CloseRequest {
    const char* name;
    unsigned nMessage;
    int nId;   // WM_COMMAND's button; 0 for WM_CLOSE
};

class ClickAfterCloseTest : public CommandTest, public ::testing::WithParamInterface<CloseRequest> {};

TEST_P(ClickAfterCloseTest, StartsNothing)
{
    SetConnected(Monitor(), 1);
    const uintptr_t wRequest = static_cast<uintptr_t>(GetParam().nId) | (static_cast<uintptr_t>(ui::kBnClicked) << 16);
    m_pDlg->Dispatch(GetParam().nMessage, GetParam().nMessage == ui::kWmCommand ? wRequest : 0, 0);
    ASSERT_TRUE(Window().HasEnded());
    const unsigned nSuspends = m_pDlg->SuspendCount();
    for (int nId : {IDC_ENTER_DOWNLOAD, IDC_EXIT_DOWNLOAD, IDC_SIM_STATUS, IDC_REVERSE_PORT}) {
        const uintptr_t wParam = static_cast<uintptr_t>(nId) | (static_cast<uintptr_t>(ui::kBnClicked) << 16);
        m_pDlg->Dispatch(ui::kWmCommand, wParam, 0);
    }
    EXPECT_TRUE(Sent().empty());
    EXPECT_TRUE(Window().Boxes().empty());
    EXPECT_EQ(m_workers.Started(), 0);
    EXPECT_EQ(m_pDlg->SuspendCount(), nSuspends);
}

INSTANTIATE_TEST_SUITE_P(Requests, ClickAfterCloseTest,
                         ::testing::Values(CloseRequest{"WmClose", ui::kWmClose, 0},
                                           CloseRequest{"Ok", ui::kWmCommand, ui::kIdOk},
                                           CloseRequest{"Cancel", ui::kWmCommand, ui::kIdCancel},
                                           CloseRequest{"Exit", ui::kWmCommand, IDC_EXIT}),
                         [](const ::testing::TestParamInfo<CloseRequest>& info) { return info.param.name; });

// The same clicks after a command's box, with the buttons still disabled and nothing running:
// the visible commands stay refused until the monitor enables their buttons again.
TEST_F(CommandTest, ClicksOnDisabledButtonsStartNothing)
{
    RunEnterDownload();
    const size_t nSent = Sent().size();
    const size_t nBoxes = Window().Boxes().size();
    for (int nId : {IDC_ENTER_DOWNLOAD, IDC_EXIT_DOWNLOAD}) {
        const uintptr_t wParam = static_cast<uintptr_t>(nId) | (static_cast<uintptr_t>(ui::kBnClicked) << 16);
        m_pDlg->Dispatch(ui::kWmCommand, wParam, 0);
    }
    EXPECT_EQ(Sent().size(), nSent);
    EXPECT_EQ(Window().Boxes().size(), nBoxes);
    EXPECT_EQ(m_workers.Started(), 1);
}

} // namespace
