// A card that misbehaves on the wire, met by the AT channel, the port monitor and the mode commands
// over the simulated serial back end on a virtual clock. Every case states the answer, the commands
// the card heard, the time taken, and that the next exchange with a sound card works as usual.
#include <atomic>
#include <string>
#include <vector>

#include "tests/support/CommandTestDialog.h"
#include "tests/support/MonitorHarness.h"
#include "tests/support/ModeCommandTexts.h"

using namespace std::string_literals;

namespace {

constexpr int kCardPort = 5;
constexpr uint64_t kSettledAtOnce = 300;   // one poll cycle: the reply was all there at its first count

// ---- the AT channel ------------------------------------------------------------------------------

struct Outcome {
    std::string strAnswer;
    int nHeard;       // command lines the card received
    uint64_t nMs;     // virtual time the exchange took
};

// The channel as the monitor leaves it: COM5 open at 115200 8N1, 1000 ms answer wait, 2 attempts.
class CardInputTest : public ::testing::Test {
protected:
    void SetUp() override { Connect(); }
    void TearDown() override
    {
        m_clock.OnSleep({});
        sim::UnplugAll();
    }

    void Connect(CardOptions options = {})
    {
        m_pCard = sim::Plug(kCardPort, m_clock, std::move(options));
        m_port.Close();
        ASSERT_NE(m_port.Open(kCardPort, 115200, 8, 1), 0);
        m_channel.SetTimeout(1000);
        m_channel.SetAttempts(2);
    }

    Outcome Run(const std::string& strCommand)
    {
        const int nBefore = m_pCard->CountOf(strCommand);
        const uint64_t nStart = m_clock.Elapsed();
        std::string strAnswer = m_channel.Exchange(strCommand);
        return {std::move(strAnswer), m_pCard->CountOf(strCommand) - nBefore, m_clock.Elapsed() - nStart};
    }

    // Once the card behaves again and has finished whatever it was sending, an exchange is as usual:
    // its Write discarded every leftover byte.
    void ExpectNextExchangeWorks()
    {
        m_pCard->SetOptions(CardOptions{});
        m_clock.Advance(2000);
        const Outcome next = Run("AT+CGMM");
        EXPECT_EQ(next.strAnswer, "R2280-Y");
        EXPECT_EQ(next.nHeard, 1);
        EXPECT_EQ(next.nMs, kSettledAtOnce);
    }

    CVirtualClock m_clock;
    CSerialPort m_port;
    CAtChannel m_channel{m_port, m_clock};
    std::shared_ptr<CSimCard> m_pCard;
};

// Probe over a reply of these exact bytes: a reply that is there at once settles in one poll cycle
// and is read once; its answer is what its first 256 bytes, up to the first NUL, frame first after
// the echo, past unsolicited lines; the probe holds when its final result is OK.
struct BadReplyCase {
    const char* name;
    std::string strBytes;
    std::string strAnswer;
    int bProbe;
};

class CardBadReplyTest : public CardInputTest, public ::testing::WithParamInterface<BadReplyCase> {};

TEST_P(CardBadReplyTest, ProbeSettlesOnceAndGivesTheFramedAnswer)
{
    m_pCard->Script("AT", CardReply::Bytes(GetParam().strBytes), 1);
    const int nBefore = m_pCard->CountOf("AT");
    EXPECT_EQ(m_channel.Probe(), GetParam().bProbe);
    EXPECT_EQ(m_channel.ExtractAnswer(), GetParam().strAnswer);
    EXPECT_EQ(m_pCard->CountOf("AT") - nBefore, 1);
    EXPECT_EQ(m_clock.Elapsed(), kSettledAtOnce);
    ExpectNextExchangeWorks();
}

const BadReplyCase kBadReplies[] = {
    {"Garbage", "\xfe\x7f#@!%&*?~\xff"s, "error", 0},
    {"NulBeforeEcho", "\0AT\r\r\nOK\r\n"s, "error", 0},
    {"NulBetweenEchoAndAnswer", "AT\r\0\r\nOK\r\n"s, "error", 0},
    {"NulAtStartOfAnswerLine", "AT\r\r\n\0OK\r\n"s, "error", 0},
    {"NulsAfterAnswer", "AT\r\r\nOK\r\n\0\0\0"s, "OK", 1},
    {"NoCrLfAtAll", "AT\rOK"s, "error", 0},
    {"LineFeedsOnly", "AT\n\nOK\n"s, "error", 0},
    {"AnswerNeverClosed", "AT\r\r\nOK"s, "error", 0},
    {"TenThousandBytesAnswerFirst", "AT\r\r\nOK\r\n"s + std::string(9991, 'x'), "OK", 1},
    {"TenThousandBytesAnswerLast", std::string(9994, 'x') + "\r\nOK\r\n"s, "error", 0},
    // An unsolicited line is never the answer, wherever it comes; the verdict is the final result's.
    {"UnsolicitedBeforeEcho", "\r\n^RSSI:12\r\nAT\r\r\nOK\r\n"s, "OK", 1},
    {"UnsolicitedBetweenEchoAndAnswer", "AT\r\r\nRING\r\n\r\nOK\r\n"s, "OK", 1},
    {"UnsolicitedAfterAnswer", "AT\r\r\nOK\r\n\r\n^RSSI:12\r\n\r\nRING\r\n"s, "OK", 1},
    {"UnsolicitedThenError", "AT\r\r\n+CREG: 1\r\n\r\nERROR\r\n"s, "ERROR", 0},
    // An earlier command's late answer before this command's echo is stale, never the answer.
    {"LateAnswerBeforeEcho", "\r\nR2280-Y\r\n\r\nOK\r\nAT\r\r\nERROR\r\n"s, "ERROR", 0},
};

INSTANTIATE_TEST_SUITE_P(Replies, CardBadReplyTest, ::testing::ValuesIn(kBadReplies),
                         [](const ::testing::TestParamInfo<BadReplyCase>& info) { return info.param.name; });

// A card that never stops sending keeps the queued count moving: the attempt still ends, when the
// answer wait is over or when the input queue is full and the count stands still, and the bytes
// read then start with the answer.
struct EndlessCase {
    const char* name;
    CardFault fault;
    uint32_t nPauseMs;
    uint32_t nTimeout;
    uint64_t nMs;
};

class CardEndlessTest : public CardInputTest, public ::testing::WithParamInterface<EndlessCase> {};

TEST_P(CardEndlessTest, ExchangeEndsWithinItsBounds)
{
    CardOptions options;
    options.fault = GetParam().fault;
    options.nPauseMs = GetParam().nPauseMs;
    m_pCard->SetOptions(options);
    m_channel.SetTimeout(GetParam().nTimeout);

    const Outcome outcome = Run("AT");
    EXPECT_EQ(outcome.strAnswer, "OK");
    EXPECT_EQ(outcome.nHeard, 1);
    EXPECT_EQ(outcome.nMs, GetParam().nMs);
    EXPECT_EQ(m_channel.GetReply().substr(0, 9), "AT\r\r\nOK\r\n");
    m_channel.SetTimeout(1000);
    ExpectNextExchangeWorks();
}

INSTANTIATE_TEST_SUITE_P(
    Senders, CardEndlessTest,
    ::testing::Values(
        // A line every 100 ms: the queue grows across every 150 ms window; the answer wait ends it.
        EndlessCase{"LinesNoWait", CardFault::Babble, 100, 0, 300},
        EndlessCase{"LinesMonitorWait", CardFault::Babble, 100, 1000, 1200},
        EndlessCase{"LinesLongestWait", CardFault::Babble, 100, 5000, 5100},
        // Line rate: the 4096-byte input queue is full within half a second and then stands still.
        EndlessCase{"FloodNoWait", CardFault::Flood, 0, 0, 300},
        EndlessCase{"FloodMonitorWait", CardFault::Flood, 0, 1000, 600},
        EndlessCase{"FloodLongestWait", CardFault::Flood, 0, 5000, 600}),
    [](const ::testing::TestParamInfo<EndlessCase>& info) { return info.param.name; });

// A reply split in two at one byte: a gap shorter than the 150 ms settle window joins the parts;
// a longer one ends the attempt with the first part alone, whose answer is there only when it
// already holds the whole first framed line. The second part, arriving later, is discarded by the
// next exchange's Write.
struct SplitReply {
    const char* name;
    std::string strCommand;
    std::string strWhole;     // echo and reply
    std::string strAnswer;
    size_t nAnswerComplete;   // bytes of strWhole that hold the answer line with its closing pair
};

const SplitReply kSplitReplies[] = {
    {"Ok", "AT", "AT\r\r\nOK\r\n", "OK", 9},
    {"SimStatus", "AT+ysec?", "AT+ysec?\r\r\n+YSEC: 3,0\r\n\r\nOK\r\n", "+YSEC: 3,0", 23},
};

struct SplitCase {
    std::string strName;
    SplitReply reply;
    size_t nAt;
    uint32_t nGapMs;
    std::string strAnswer;
};

std::vector<SplitCase> SplitCases()
{
    std::vector<SplitCase> cases;
    for (const SplitReply& reply : kSplitReplies) {
        for (size_t nAt = 1; nAt < reply.strWhole.size(); ++nAt) {
            for (uint32_t nGapMs : {100u, 400u}) {
                const bool bJoined = nGapMs < 150 || nAt >= reply.nAnswerComplete;
                cases.push_back({std::string(reply.name) + "At" + std::to_string(nAt) + "Gap" + std::to_string(nGapMs),
                                 reply, nAt, nGapMs, bJoined ? reply.strAnswer : "error"});
            }
        }
    }
    return cases;
}

class CardSplitTest : public CardInputTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(CardSplitTest, AnswerDependsOnTheGapOnly)
{
    const SplitCase& c = GetParam();
    CardOptions options;
    options.fault = CardFault::PauseMidReply;
    options.nFaultCount = 1;
    options.nPauseMs = c.nGapMs;
    options.nPauseAt = c.nAt;
    m_pCard->SetOptions(options);

    const Outcome outcome = Run(c.reply.strCommand);
    EXPECT_EQ(outcome.strAnswer, c.strAnswer);
    EXPECT_EQ(outcome.nHeard, 1);
    EXPECT_EQ(outcome.nMs, kSettledAtOnce);
    EXPECT_EQ(m_channel.GetReply(), c.nGapMs < 150 ? c.reply.strWhole : c.reply.strWhole.substr(0, c.nAt));
    ExpectNextExchangeWorks();
}

INSTANTIATE_TEST_SUITE_P(EveryByte, CardSplitTest, ::testing::ValuesIn(SplitCases()),
                         [](const ::testing::TestParamInfo<SplitCase>& info) { return info.param.strName; });

// Unplugged while its reply is on the way (before any byte is counted, or after the echo was): the
// queue reads empty from then on, the attempt runs to its answer wait, and the second attempt's
// Write fails at once. The port left open on the vanished card costs nothing further; a card
// plugged in again at the number is reached once the port is reopened.
TEST_F(CardInputTest, UnplugMidReplyEndsInErrorWithinOneAnswerWait)
{
    for (int nPullAtSleep : {1, 2}) {
        SCOPED_TRACE(nPullAtSleep);
        CardOptions options;
        options.fault = CardFault::PauseMidReply;   // the echo at once, the answer 400 ms later
        Connect(options);
        int nSleeps = 0;
        m_clock.OnSleep([&](uint32_t) {
            if (++nSleeps == nPullAtSleep)
                sim::Unplug(kCardPort);
        });
        const Outcome outcome = Run("AT");
        m_clock.OnSleep({});
        EXPECT_EQ(outcome.strAnswer, "error");
        EXPECT_EQ(outcome.nHeard, 1);
        EXPECT_EQ(outcome.nMs, 1200u);

        const Outcome vanished = Run("AT");
        EXPECT_EQ(vanished.strAnswer, "error");
        EXPECT_EQ(vanished.nHeard, 0);
        EXPECT_EQ(vanished.nMs, 0u);

        Connect();
        ExpectNextExchangeWorks();
    }
}

// Pulled out while the command is being written: the Write reports 0, so both attempts fail at
// once and no time is spent waiting for a reply; the card never heard a whole line.
TEST_F(CardInputTest, UnplugMidWriteFailsAtOnce)
{
    m_pCard->PullDuringNextWrite();
    const Outcome outcome = Run("AT+CGMM");
    EXPECT_EQ(outcome.strAnswer, "error");
    EXPECT_EQ(outcome.nHeard, 0);
    EXPECT_EQ(outcome.nMs, 0u);
    EXPECT_EQ(m_pCard->ReceivedBytes(), "AT+C");
    EXPECT_EQ(m_channel.Probe(), 0);
    EXPECT_EQ(m_clock.Elapsed(), 0u);

    Connect();
    ExpectNextExchangeWorks();
}

// ---- the port monitor ----------------------------------------------------------------------------

struct PullCase {
    const char* name;
    // Arranges for the card at COM5 to go away during (or before) the next pass.
    void (*pfnPull)(CVirtualClock& clock, CSimCard& card);
    std::vector<uint32_t> waits;   // of the pass in which the card goes away
};

std::vector<uint32_t> WaitsWithFirstProbe(std::vector<uint32_t> firstProbe)
{
    std::vector<uint32_t> waits = {200, 200};
    waits.insert(waits.end(), firstProbe.begin(), firstProbe.end());
    // Every retry reopens a port with no card behind it and fails at once.
    for (uint32_t n : {500u, 500u, 500u, 1000u})
        waits.push_back(n);
    return waits;
}

const PullCase kPulls[] = {
    {"BetweenPasses", [](CVirtualClock&, CSimCard&) { sim::Unplug(kCardPort); }, WaitsWithFirstProbe({})},
    {"MidWrite", [](CVirtualClock&, CSimCard& card) { card.PullDuringNextWrite(); },
     WaitsWithFirstProbe({})},
    // The first probe's first attempt finds an empty queue until its answer wait is over.
    {"MidReply",
     [](CVirtualClock& clock, CSimCard&) {
         clock.OnSleep([](uint32_t nMs) {
             if (nMs == 150 && sim::Find(kCardPort))
                 sim::Unplug(kCardPort);
         });
     },
     WaitsWithFirstProbe(std::vector<uint32_t>(8, 150))},
};

class CardMonitorTest : public monitor_test::MonitorTestBase, public ::testing::WithParamInterface<PullCase> {
protected:
    void SetUp() override { CreateDialog(); }
};

// Connected on COM5; the card goes away while the drivers still list it: the pass ends searching,
// the buttons disabled, the list still at COM5. Plugged in again on COM9 (with its diagnostic port
// on COM10): the next pass follows it there and shows it ready.
TEST_P(CardMonitorTest, FollowsTheCardToItsNewPort)
{
    monitor_test::AddModemCard(m_registry);
    std::shared_ptr<CSimCard> pCard = sim::Plug(kCardPort, m_clock);
    sim::Plug(6, m_clock);
    ASSERT_TRUE(Monitor().RunMonitorPass());
    ASSERT_EQ(Window().Control(IDC_STATUS_PICTURE).nBitmap, IDB_READY);

    GetParam().pfnPull(m_clock, *pCard);
    m_clock.ClearWaits();
    ASSERT_TRUE(Monitor().RunMonitorPass());
    m_clock.OnSleep({});
    EXPECT_EQ(m_clock.Waits(), GetParam().waits);
    EXPECT_EQ(Monitor().State().m_bConnected, 0);
    EXPECT_EQ(Window().Control(IDC_STATUS_PICTURE).nBitmap, IDB_SEARCHING);
    EXPECT_EQ(Window().Control(IDC_STATUS_LINE).strText, "Searching...");
    EXPECT_EQ(Window().Control(IDC_PORT_LIST).nSelection, kCardPort);
    EXPECT_FALSE(Window().Control(IDC_ENTER_DOWNLOAD).bEnabled);
    EXPECT_FALSE(Window().Control(IDC_EXIT_DOWNLOAD).bEnabled);

    m_registry.Clear();
    monitor_test::AddDriver(m_registry, "YARLOusbmdm6k", "USB\\VID_X&PID_Y\\7", "COM9");
    monitor_test::AddDriver(m_registry, "YARLOusbser6k", "USB\\VID_X&PID_Y\\8", "COM10");
    std::shared_ptr<CSimCard> pMoved = sim::Plug(9, m_clock);
    std::shared_ptr<CSimCard> pMovedDiag = sim::Plug(10, m_clock);
    ASSERT_TRUE(Monitor().RunMonitorPass());
    EXPECT_EQ(Monitor().State().m_bConnected, 1);
    EXPECT_EQ(pMoved->CountOf("AT"), 2);
    EXPECT_TRUE(pMovedDiag->IsOpen());
    EXPECT_EQ(Window().Control(IDC_STATUS_PICTURE).nBitmap, IDB_READY);
    EXPECT_EQ(Window().Control(IDC_PORT_LIST).nSelection, 9);
    EXPECT_EQ(Dlg().GetControlText(IDC_PORT_LIST), "COM 9");
    EXPECT_EQ(Window().Control(IDC_STATUS_LINE).strText, "Setting using Modem port.");
    EXPECT_EQ(Window().Control(IDC_PORT_LABEL).strText, "Modem port:");
    EXPECT_TRUE(Window().Control(IDC_ENTER_DOWNLOAD).bEnabled);
    EXPECT_TRUE(Window().Control(IDC_EXIT_DOWNLOAD).bEnabled);
}

INSTANTIATE_TEST_SUITE_P(Pulls, CardMonitorTest, ::testing::ValuesIn(kPulls),
                         [](const ::testing::TestParamInfo<PullCase>& info) { return info.param.name; });

// ---- the mode commands ---------------------------------------------------------------------------


struct CommandPullCase {
    const char* name;
    bool bClose;                   // the close command (worker) or the open command (window's thread)
    std::string strPulledAfter;    // pulled at the first wait after the card heard this; "": before the run
    bool bMidWrite;                // pulled during the next write rather than at once
    bool bFirstAnswerEmpty;
    std::vector<std::string> heard;
    int nReopens;
    bool bSuccess;
    std::vector<uint32_t> waits;   // of the thread that sends the commands
};

class CardCommandTest : public CommandTest, public ::testing::WithParamInterface<CommandPullCase> {};

// A card pulled out during a command: every later exchange fails at once ("error"), nothing hangs,
// the command ends with its report box, the monitor is resumed and the buttons stay disabled.
TEST_P(CardCommandTest, EndsWithItsReportWithoutHanging)
{
    const CommandPullCase& c = GetParam();
    if (c.bFirstAnswerEmpty)
        m_pCard->Script(c.bClose ? E : F, CardReply::Empty(), 1);
    auto pull = [this, &c] {
        if (c.bMidWrite)
            m_pCard->PullDuringNextWrite();
        else
            sim::Unplug(kCardPort);
    };
    std::atomic<bool> bPulled{false};
    if (c.strPulledAfter.empty()) {
        pull();
        bPulled = true;
    } else {
        // Only the thread that sends the commands pulls the card, between two of its own steps.
        const std::thread::id windowThread = std::this_thread::get_id();
        m_clock.OnSleep([&, windowThread](uint32_t nMs) {
            const bool bSender = c.bClose ? m_workers.IsWorkerThread() : std::this_thread::get_id() == windowThread;
            if (bSender && nMs != 150 && m_pCard->CountOf(c.strPulledAfter) > 0 && !bPulled.exchange(true))
                pull();
        });
    }
    if (c.bClose)
        RunEnterDownload();
    else
        m_pDlg->OnExitDownload();
    m_clock.OnSleep({});

    EXPECT_TRUE(bPulled.load());
    EXPECT_EQ(Sent(), c.heard);
    EXPECT_EQ(static_cast<int>(ReopensSinceSetUp().size()), c.nReopens);
    const std::thread::id sender = c.bClose ? m_workers.IdOf(0) : std::this_thread::get_id();
    EXPECT_EQ(CommandWaitsOf(m_clock, sender), c.waits);
    ASSERT_EQ(Window().Boxes().size(), 1u);
    EXPECT_EQ(Window().Boxes()[0].strCaption, c.bSuccess ? "Success" : "Error");
    EXPECT_EQ(Window().Control(IDC_STATUS_PICTURE).nBitmap, c.bSuccess ? IDB_PASS : IDB_FAIL);
    EXPECT_EQ(m_pDlg->SuspendCount(), m_nSuspendsBefore);
    EXPECT_FALSE(Window().Control(IDC_ENTER_DOWNLOAD).bEnabled);
    EXPECT_FALSE(Window().Control(IDC_EXIT_DOWNLOAD).bEnabled);
}

const CommandPullCase kCommandPulls[] = {
    // The card took the first command; the second finds no device and cannot be written. Unlike a
    // card that goes quiet on entering download mode, this run switched nothing: it fails.
    {"CloseAfterFirstCommand", true, E, false, false, {E}, 0, false, {2000, 1000, 1000}},
    {"CloseMidWriteOfSecond", true, E, true, false, {E}, 0, false, {2000, 1000, 1000}},
    {"CloseMidWriteOfFirst", true, "", true, false, {}, 0, false, {2000, 1000, 1000}},
    // Pulled during the wait after the reopen that an empty answer asked for.
    {"CloseAfterEmptyAnswer", true, E, false, true, {E}, 1, false, {2000, 1000, 1000, 1000}},
    {"OpenAfterFirstCommand", false, F, false, false, {F}, 0, false, {1000, 1000, 1000}},
    {"OpenMidWriteOfFirst", false, "", true, false, {}, 0, false, {1000, 1000, 1000}},
};

INSTANTIATE_TEST_SUITE_P(Pulls, CardCommandTest, ::testing::ValuesIn(kCommandPulls),
                         [](const ::testing::TestParamInfo<CommandPullCase>& info) { return info.param.name; });

} // namespace
