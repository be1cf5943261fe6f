// CAtChannel over the simulated card on a virtual clock: the poll that decides when a reply has
// settled, the attempts, and the Response text that comes out.
#include <gtest/gtest.h>

#include "serial/AtChannel.h"
#include "tests/support/VirtualClock.h"
#include "tests/support/sim/SimSerial.h"

namespace {

constexpr int kPort = 5;

CardOptions Card(bool bEcho, CardFault fault = CardFault::None, uint32_t nPauseMs = 400)
{
    CardOptions options;
    options.bEcho = bEcho;
    options.fault = fault;
    options.nPauseMs = nPauseMs;
    return options;
}

class AtChannelTest : public ::testing::Test {
protected:
    void TearDown() override { sim::UnplugAll(); }

    // Plugs a card with these options and opens the channel's port on it.
    std::shared_ptr<CSimCard> Connect(CardOptions options = {})
    {
        auto pCard = sim::Plug(kPort, m_clock, std::move(options));
        EXPECT_NE(m_port.Open(kPort, 115200, 8, 1), 0);
        return pCard;
    }

    // Poll cycles run so far: each is a pair of 150 ms sleeps, and nothing else sleeps.
    size_t PollCycles() const
    {
        const auto waits = m_clock.Waits();
        for (uint32_t n : waits)
            EXPECT_EQ(n, 150u);
        EXPECT_EQ(waits.size() % 2, 0u);
        return waits.size() / 2;
    }

    CVirtualClock m_clock;
    CSerialPort m_port;   // the channel's port, opened by the tests with settings of their own
    CAtChannel m_channel{m_port, m_clock};
};

// Constructor: 5000 ms and 3 attempts until the monitor sets its own.
TEST_F(AtChannelTest, ConstructorDefaults)
{
    EXPECT_EQ(m_channel.GetTimeout(), 5000u);
    EXPECT_EQ(m_channel.GetAttempts(), 3);
    EXPECT_FALSE(m_port.IsOpen());
    EXPECT_EQ(m_channel.GetReply(), "");
}

// SetTimeout: stores the smaller of the value and 5000, always true.
TEST_F(AtChannelTest, SetTimeoutCapsAt5000)
{
    for (auto [nSet, nStored] : {std::pair<uint32_t, uint32_t>{6000, 5000}, {0, 0}, {5000, 5000},
                                 {4999, 4999}, {0xFFFFFFFF, 5000}}) {
        EXPECT_NE(m_channel.SetTimeout(nSet), 0);
        EXPECT_EQ(m_channel.GetTimeout(), nStored) << nSet;
    }
}

// SetAttempts: 1..9 stored and true; anything else false and the old value kept.
TEST_F(AtChannelTest, SetAttemptsAcceptsOneToNine)
{
    ASSERT_NE(m_channel.SetAttempts(4), 0);
    for (int n : {0, 10, -1, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(m_channel.SetAttempts(n), 0) << n;
        EXPECT_EQ(m_channel.GetAttempts(), 4);
    }
    EXPECT_NE(m_channel.SetAttempts(1), 0);
    EXPECT_EQ(m_channel.GetAttempts(), 1);
    EXPECT_NE(m_channel.SetAttempts(9), 0);
    EXPECT_EQ(m_channel.GetAttempts(), 9);
}

// Transact on a silent card: poll cycles per attempt run until their total exceeds the timeout.
struct SilentCase {
    uint32_t nTimeout;
    int nAttempts;
    size_t nCyclesPerAttempt;
};

class AtChannelSilentTest : public AtChannelTest, public ::testing::WithParamInterface<SilentCase> {};

TEST_P(AtChannelSilentTest, RunsTheExactPollCycles)
{
    auto pCard = Connect(Card(true, CardFault::Silent));
    m_channel.SetTimeout(GetParam().nTimeout);
    m_channel.SetAttempts(GetParam().nAttempts);
    EXPECT_EQ(m_channel.Exchange("AT"), "error");
    EXPECT_EQ(PollCycles(), GetParam().nCyclesPerAttempt * GetParam().nAttempts);
    EXPECT_EQ(pCard->CountOf("AT"), GetParam().nAttempts);
}

INSTANTIATE_TEST_SUITE_P(Timeouts, AtChannelSilentTest,
                         ::testing::Values(SilentCase{0, 1, 1}, SilentCase{0, 3, 1}, SilentCase{299, 1, 1},
                                           SilentCase{300, 1, 2}, SilentCase{1000, 2, 4},
                                           SilentCase{1200, 1, 5}, SilentCase{5000, 3, 17}));

// With the monitor's settings a silent card costs 2.4 s and two sends of the probe.
TEST_F(AtChannelTest, ProbeOfSilentCardWithMonitorSettings)
{
    auto pCard = Connect(Card(true, CardFault::Silent));
    m_channel.SetTimeout(1000);
    m_channel.SetAttempts(2);
    EXPECT_EQ(m_channel.Probe(), 0);
    EXPECT_EQ(m_clock.TotalWaited(), 2400u);
    EXPECT_EQ(pCard->ReceivedBytes(), "AT\rAT\r");
}

// The time since the start is an unsigned 32-bit difference: the tick counter's wrap changes nothing.
TEST_F(AtChannelTest, PollCountsAcrossTheTickWrap)
{
    for (uint32_t nStart : {0xFFFFFFFFu, 0xFFFFFF00u, 0xFFFFFC00u}) {
        CVirtualClock clock(nStart);
        CSerialPort port;
        CAtChannel channel(port, clock);
        sim::Plug(kPort, clock, Card(true, CardFault::Silent));
        ASSERT_NE(port.Open(kPort, 115200, 8, 1), 0);
        channel.SetTimeout(1000);
        channel.SetAttempts(1);
        EXPECT_EQ(channel.Exchange("AT"), "error");
        EXPECT_EQ(clock.Waits().size(), 8u) << std::hex << nStart;
    }
}

// An immediate answer settles in the first poll cycle.
TEST_F(AtChannelTest, ImmediateAnswerTakesOnePollCycle)
{
    Connect(Card(true));
    EXPECT_EQ(m_channel.Exchange("AT+CGMM"), "R2280-Y");
    EXPECT_EQ(PollCycles(), 1u);
    EXPECT_EQ(m_channel.GetReply(), "AT+CGMM\r\r\nR2280-Y\r\n\r\nOK\r\n");
}

// Success needs the first count of the last cycle: bytes first seen by its second count, after the
// time is up, do not count, and the next attempt's Write discards them.
TEST_F(AtChannelTest, BytesSeenOnlyAfterTimeUpDoNotCount)
{
    CardOptions options = Card(false);
    options.nReplyDelayMs = 200;   // lands between the two counts of the first cycle
    auto pCard = Connect(options);
    m_channel.SetTimeout(0);
    m_channel.SetAttempts(2);
    EXPECT_EQ(m_channel.Exchange("AT"), "error");
    EXPECT_EQ(PollCycles(), 2u);
    EXPECT_EQ(pCard->CountOf("AT"), 2);
    // Only the second attempt's reply is left: the first was purged before the resend.
    EXPECT_EQ(m_port.GetInQueueCount(), 6);
}

TEST_F(AtChannelTest, LateBytesCountWhenTimeRemains)
{
    CardOptions options = Card(false);
    options.nReplyDelayMs = 200;
    Connect(options);
    m_channel.SetTimeout(300);
    EXPECT_EQ(m_channel.Exchange("AT"), "OK");
    EXPECT_EQ(PollCycles(), 2u);
}

// A reply still growing when the time is up is accepted as far as it has arrived.
TEST_F(AtChannelTest, GrowingReplyIsCutAtTheTimeout)
{
    auto pCard = Connect(Card(false, CardFault::Dribble, 100));
    m_channel.SetTimeout(1000);
    EXPECT_EQ(m_channel.Exchange("AT+CGMM"), "R2280-Y");
    EXPECT_EQ(PollCycles(), 4u);
    EXPECT_EQ(m_channel.GetReply(), "\r\nR2280-Y\r\n\r\n");
    EXPECT_EQ(pCard->CountOf("AT+CGMM"), 1);
}

// A pause after the echo that spans a whole 150 ms window ends the attempt with the echo alone.
struct PauseCase {
    uint32_t nPauseMs;
    std::string answer;
};

class AtChannelPauseTest : public AtChannelTest, public ::testing::WithParamInterface<PauseCase> {};

TEST_P(AtChannelPauseTest, SettlesOnWhatArrivedBeforeTheQuietWindow)
{
    Connect(Card(true, CardFault::PauseMidReply, GetParam().nPauseMs));
    m_channel.SetTimeout(1000);
    EXPECT_EQ(m_channel.Exchange("AT"), GetParam().answer);
}

INSTANTIATE_TEST_SUITE_P(Pauses, AtChannelPauseTest,
                         ::testing::Values(PauseCase{100, "OK"}, PauseCase{200, "OK"}, PauseCase{400, "error"},
                                           PauseCase{2000, "error"}));

// Only the first 256 bytes of a reply are read and searched.
TEST_F(AtChannelTest, OverlongReplyUsesTheFirst256Bytes)
{
    auto pCard = Connect(Card(true, CardFault::LongReply));
    EXPECT_EQ(m_channel.Exchange("AT+CGMM"), "R2280-Y");
    EXPECT_EQ(m_channel.GetReply().size(), 256u);
    EXPECT_GT(m_port.GetInQueueCount(), 0);   // the rest waits for the next Write's purge

    pCard->SetOptions(Card(false));
    pCard->Script("AT+CGMM", CardReply::Text(std::string(300, 'y')));
    EXPECT_EQ(m_channel.Exchange("AT+CGMM"), "error");   // its closing pair lies past byte 256
    EXPECT_EQ(m_channel.GetReply(), "\r\n" + std::string(254, 'y'));
}

// A NUL byte ends the reply text, as the receive buffer is read as a C string.
TEST_F(AtChannelTest, ReplyTextEndsAtNul)
{
    auto pCard = Connect(Card(false));
    pCard->Script("AT", CardReply::Text(std::string("O\0K", 3)));
    EXPECT_EQ(m_channel.Exchange("AT"), "error");
    EXPECT_EQ(m_channel.GetReply(), "\r\nO");
}

// A card that floods its line with unsolicited lines: whatever the channel leaves out of the flood,
// no line is made of the two ends of a gap, and the bytes still count as sent.
TEST_F(AtChannelTest, FloodOfLinesIsNeverSpliced)
{
    std::string strFlood = "\r\n";
    for (int n = 0; n < 4000; ++n)
        strFlood += "+CREG: 1\r\n";
    auto pCard = Connect(Card(false));
    pCard->Script("AT", CardReply::Bytes(strFlood));
    pCard->Script("AT+CGMM", CardReply::Bytes(strFlood));
    m_channel.SetFinishOnResult(true);
    m_channel.SetTimeout(1000);
    m_channel.SetAttempts(2);
    for (const char* pszCommand : {"AT", "AT+CGMM"}) {
        SCOPED_TRACE(pszCommand);
        m_channel.Exchange(pszCommand);
        for (const CAtAttempt& attempt : m_channel.Attempts()) {
            EXPECT_FALSE(attempt.reply.Answered());
            EXPECT_FALSE(attempt.reply.unsolicited.empty());
            for (const std::string& strLine : attempt.reply.unsolicited)
                ASSERT_EQ(strLine, "+CREG: 1");
            EXPECT_GT(attempt.nReplyBytes + attempt.reply.strStale.size(), 0u);
        }
    }
}

// Exchange sends exactly the command and one CR, no LF.
TEST_F(AtChannelTest, ExchangeSendsCommandAndOneCarriageReturn)
{
    auto pCard = Connect(Card(true));
    for (const char* command : {"AT", "AT+YCDRUN=E", "AT+ysec?"})
        m_channel.Exchange(command);
    EXPECT_EQ(pCard->ReceivedBytes(), "AT\rAT+YCDRUN=E\rAT+ysec?\r");
}

// Probe: true when the answer to "AT" contains "OK"; the card's ERROR and silence are false.
struct ProbeCase {
    const char* name;
    CardOptions options;
    int bExpected;
};

class AtChannelProbeTest : public AtChannelTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(AtChannelProbeTest, RecognisesOk)
{
    Connect(GetParam().options);
    m_channel.SetTimeout(1000);
    m_channel.SetAttempts(2);
    EXPECT_EQ(m_channel.Probe(), GetParam().bExpected);
}

INSTANTIATE_TEST_SUITE_P(Cards, AtChannelProbeTest,
                         ::testing::Values(ProbeCase{"Ok", Card(false), 1},
                                           ProbeCase{"EchoedOk", Card(true), 1},
                                           ProbeCase{"Error", Card(false, CardFault::Error), 0},
                                           ProbeCase{"Silence", Card(true, CardFault::Silent), 0},
                                           ProbeCase{"EmptyLine", Card(true, CardFault::EmptyLine), 0},
                                           ProbeCase{"Garbage", Card(true, CardFault::Garbage), 0},
                                           ProbeCase{"Babble", Card(true, CardFault::Babble, 1000), 1}),
                         [](const ::testing::TestParamInfo<ProbeCase>& info) { return info.param.name; });

// A failed transaction gives "error" even though the last good reply is still held.
TEST_F(AtChannelTest, FailedTransactionKeepsTheEarlierReply)
{
    auto pCard = Connect(Card(true));
    ASSERT_EQ(m_channel.Exchange("AT"), "OK");
    pCard->SetOptions(Card(true, CardFault::Silent));
    m_channel.SetTimeout(0);
    EXPECT_EQ(m_channel.Exchange("AT"), "error");
    EXPECT_EQ(m_channel.GetReply(), "AT\r\r\nOK\r\n");
    EXPECT_EQ(m_channel.ExtractAnswer(), "OK");
}

// The card's own ERROR is an answer line; the channel's "error" means no framed line came.
TEST_F(AtChannelTest, CardErrorDiffersFromChannelError)
{
    auto pCard = Connect(Card(true));
    EXPECT_EQ(m_channel.Exchange("AT+UNKNOWN"), "ERROR");
    pCard->SetOptions(Card(true, CardFault::EmptyLine));
    EXPECT_EQ(m_channel.Exchange("AT+YCDRUN=E"), "");
}

// A closed port, or one whose card went away, fails every attempt without any waiting.
TEST_F(AtChannelTest, ClosedOrVanishedPortCostsNoWaiting)
{
    EXPECT_EQ(m_channel.Exchange("AT"), "error");
    EXPECT_EQ(m_channel.Probe(), 0);
    EXPECT_TRUE(m_clock.Waits().empty());

    auto pCard = Connect(Card(true));
    sim::Unplug(kPort);
    EXPECT_EQ(m_channel.Exchange("AT"), "error");
    EXPECT_TRUE(m_clock.Waits().empty());
    EXPECT_EQ(pCard->CountOf("AT"), 0);
}

// Finishing on the result, against the settle rule on the same card: the same answer, and a card
// that sends its final result is done within a few polls instead of a whole 300 ms cycle; one that
// never does waits as long as the settle rule listens.
struct ExchangeOutcome {
    std::string answer;
    uint64_t nWaited;
};

struct FastCase {
    const char* name;
    CardOptions options;
    const char* command;
    std::string scripted;        // raw bytes in place of the card's reply; empty: the card's own
    uint64_t nFastAtLeastMs;
    uint64_t nFastAtMostMs;
};

ExchangeOutcome RunExchange(const FastCase& c, bool bFinishOnResult)
{
    CVirtualClock clock;
    auto pCard = sim::Plug(kPort, clock, c.options);
    if (!c.scripted.empty())
        pCard->Script(c.command, CardReply::Bytes(c.scripted));
    CSerialPort port;
    CAtChannel channel(port, clock);
    channel.SetFinishOnResult(bFinishOnResult);
    channel.SetTimeout(1000);
    channel.SetAttempts(1);
    EXPECT_NE(port.Open(kPort, 115200, 8, 1), 0);
    const std::string answer = channel.Exchange(c.command);
    if (bFinishOnResult) {
        // Every ms for the first 10 ms, then every 5 ms.
        const auto waits = clock.Waits();
        for (size_t i = 0; i < waits.size(); ++i)
            EXPECT_EQ(waits[i], i < 10 ? 1u : 5u) << i;
    }
    sim::UnplugAll();
    return {answer, clock.TotalWaited()};
}

class AtChannelFastTest : public ::testing::TestWithParam<FastCase> {};

TEST_P(AtChannelFastTest, SameAnswerAsTheSettleRule)
{
    const ExchangeOutcome settled = RunExchange(GetParam(), false);
    const ExchangeOutcome fast = RunExchange(GetParam(), true);
    EXPECT_EQ(fast.answer, settled.answer);
    EXPECT_GE(settled.nWaited, 300u);
    EXPECT_GE(fast.nWaited, GetParam().nFastAtLeastMs);
    EXPECT_LE(fast.nWaited, GetParam().nFastAtMostMs);
}

CardOptions Babbling(uint32_t nPeriodMs)
{
    return Card(true, CardFault::Babble, nPeriodMs);
}

INSTANTIATE_TEST_SUITE_P(
    Cards, AtChannelFastTest,
    ::testing::Values(FastCase{"Ok", Card(true), "AT", "", 0, 49},
                      FastCase{"InformationNoEcho", Card(false), "AT+CGMM", "", 0, 49},
                      FastCase{"CmeError", Card(false), "AT+CGMM", "\r\n+CME ERROR: 10\r\n", 0, 49},
                      FastCase{"BabbleAfterOk", Babbling(100), "AT", "", 0, 49},
                      FastCase{"LongAfterOk", Card(true, CardFault::LongReply), "AT+CGMM", "", 0, 49},
                      FastCase{"FloodAfterOk", Card(true, CardFault::Flood), "AT", "", 0, 49},
                      FastCase{"PauseBeforeOk", Card(true, CardFault::PauseMidReply, 100), "AT", "", 100, 149},
                      FastCase{"DribbledOk", Card(true, CardFault::Dribble, 100), "AT", "", 800, 849},
                      // A final result past the reply text's 256 bytes, or past a NUL, still ends it.
                      FastCase{"ResultPastTheBuffer", Card(false), "AT+CGMM",
                               "\r\nR2280-Y\r\n\r\n+PAD: " + std::string(300, 'x') + "\r\n\r\nOK\r\n", 0, 49},
                      FastCase{"ResultPastNul", Card(false), "AT", std::string("\r\nX\0\r\n\r\nOK\r\n", 12), 0, 49},
                      // No final result: the reply is what arrived when the attempt's time is up.
                      FastCase{"NoResultLine", Card(false), "AT", "\r\nR2280-Y\r\n", 1200, 1200},
                      FastCase{"NulInsideResult", Card(false), "AT", std::string("\r\nO\0K\r\n", 7), 1200, 1200},
                      FastCase{"GarbageOnly", Card(false, CardFault::Garbage), "AT", "", 1200, 1200},
                      FastCase{"BabbleWithoutResult", Babbling(100), "AT", "\r\nR2280-Y\r\n", 1200, 1200},
                      FastCase{"Silent", Card(true, CardFault::Silent), "AT", "", 1200, 1200}),
    [](const ::testing::TestParamInfo<FastCase>& info) { return info.param.name; });

// The fast exchange reads a reply whole across any pause within the attempt's time, wherever it
// falls, and ends a poll after the final result.
TEST_F(AtChannelTest, FastExchangeWaitsThroughPauses)
{
    struct Position {
        const char* name;
        bool bEcho;
        size_t nPauseAt;   // PauseMidReply's split; SIZE_MAX: the whole reply delayed instead
    };
    const Position kPositions[] = {{"before the reply", false, SIZE_MAX},
                                   {"inside the echo", true, 1},
                                   {"after the echo", true, 0},
                                   {"before the result code", true, std::string("AT+CGMM\r\r\nR2280-Y\r\n").size()}};
    auto pCard = Connect();
    m_channel.SetFinishOnResult(true);
    m_channel.SetTimeout(1000);
    m_channel.SetAttempts(1);
    for (const Position& position : kPositions) {
        for (uint32_t nPauseMs : {50u, 150u, 300u, 600u, 900u}) {
            SCOPED_TRACE(std::string(position.name) + ", " + std::to_string(nPauseMs) + " ms");
            CardOptions options = Card(position.bEcho, CardFault::PauseMidReply, nPauseMs);
            if (position.nPauseAt == SIZE_MAX) {
                options.fault = CardFault::None;
                options.nReplyDelayMs = nPauseMs;
            }
            options.nPauseAt = position.nPauseAt;
            pCard->SetOptions(options);
            const uint64_t nBefore = m_clock.TotalWaited();
            EXPECT_EQ(m_channel.Exchange("AT+CGMM"), "R2280-Y");
            EXPECT_EQ(m_channel.GetReply(), (position.bEcho ? "AT+CGMM\r" : "") + std::string("\r\nR2280-Y\r\n\r\nOK\r\n"));
            EXPECT_GE(m_clock.TotalWaited() - nBefore, nPauseMs);
            EXPECT_LE(m_clock.TotalWaited() - nBefore, nPauseMs + 5);
        }
    }
}

// An answer that comes after its exchange gave up answers neither that command nor the next ones.
// A card that stops echoing meanwhile cannot have its reply told from the late one: that command
// gets no answer, and the next ones are taken without an echo.
TEST_F(AtChannelTest, FastExchangeLateAnswerIsNobodys)
{
    for (bool bEchoAfter : {true, false}) {
        SCOPED_TRACE(bEchoAfter ? "echo after" : "no echo after");
        CardOptions options = Card(true);
        options.nReplyDelayMs = 1500;
        auto pCard = sim::Plug(kPort, m_clock, options);
        CSerialPort port;
        CAtChannel channel(port, m_clock);
        ASSERT_NE(port.Open(kPort, 115200, 8, 1), 0);
        channel.SetFinishOnResult(true);
        channel.SetTimeout(1000);
        channel.SetAttempts(1);
        EXPECT_EQ(channel.Exchange("AT"), "error");
        EXPECT_EQ(channel.GetReply(), "AT\r");
        EXPECT_FALSE(channel.Attempts().back().reply.Answered());
        pCard->SetOptions(Card(bEchoAfter));   // its "OK" is already on its way
        EXPECT_EQ(channel.Exchange("AT+CGMM"), bEchoAfter ? "R2280-Y" : "error");
        EXPECT_EQ(channel.Exchange("AT+ysec?"), "+YSEC: 3,0");
        EXPECT_EQ(channel.Exchange("AT"), "OK");
    }
}

// After a give-up the next command goes out only once the line has been quiet for 150 ms: the rest
// of a card's old answer (no echo to tell it apart) is not taken for the new command's.
TEST_F(AtChannelTest, FastExchangeWritesOnlyOnAQuietLineAfterAGiveUp)
{
    CardOptions options = Card(false, CardFault::Dribble, 100);   // 17 bytes, the last at 1600 ms
    options.nFaultCount = 1;
    auto pCard = Connect(options);
    m_channel.SetFinishOnResult(true);
    m_channel.SetTimeout(1000);
    m_channel.SetAttempts(1);
    EXPECT_EQ(m_channel.Exchange("AT+CGMM"), "R2280-Y");   // time up with "OK" still to come
    EXPECT_FALSE(m_channel.Attempts().back().reply.Answered());
    EXPECT_EQ(m_channel.Exchange("AT"), "OK");
    const auto transcript = pCard->Transcript();
    ASSERT_EQ(transcript.size(), 2u);
    EXPECT_GE(transcript[1].nTimeMs, 1600u + 150u);
    EXPECT_LE(transcript[1].nTimeMs, 1600u + 155u);
    // An exchange that ended on its final result leaves nothing to wait for: a probe takes one poll.
    const uint64_t nBefore = m_clock.TotalWaited();
    EXPECT_EQ(m_channel.Probe(), 1);
    EXPECT_EQ(m_clock.TotalWaited() - nBefore, 1u);
}

// The last attempt says what the transaction's reply held, in both exchanges:
// answered is a final result (an empty framed line is not one).
TEST_F(AtChannelTest, AnsweredAndReplyBytes)
{
    struct ReplyCase {
        const char* name;
        CardOptions options;
        const char* command;
        const char* answer;
        int bAnswered;
        int nBytes;   // after the echo
    };
    const ReplyCase kCases[] = {
        {"Ok", Card(true), "AT", "OK", 1, 6},
        {"CardError", Card(true, CardFault::Error), "AT", "ERROR", 1, 9},
        {"InformationNoEcho", Card(false), "AT+CGMM", "R2280-Y", 1, 17},
        {"EmptyLine", Card(true, CardFault::EmptyLine), "AT", "", 0, 4},
        {"Garbage", Card(true, CardFault::Garbage), "AT", "error", 0, 11},
        {"GarbageNoEcho", Card(false, CardFault::Garbage), "AT", "error", 0, 11},
        {"Silent", Card(true, CardFault::Silent), "AT", "error", 0, 0},
    };
    // A channel of its own for each: what one reply leaves behind does not change the next.
    for (bool bFast : {false, true}) {
        for (const ReplyCase& c : kCases) {
            SCOPED_TRACE(std::string(c.name) + (bFast ? " fast" : " settled"));
            auto pCard = sim::Plug(kPort, m_clock, c.options);
            CSerialPort port;
            CAtChannel channel(port, m_clock);
            ASSERT_NE(port.Open(kPort, 115200, 8, 1), 0);
            channel.SetFinishOnResult(bFast);
            channel.SetTimeout(0);
            channel.SetAttempts(1);
            EXPECT_EQ(channel.Exchange(c.command), c.answer);
            EXPECT_EQ(channel.Attempts().back().reply.Answered(), c.bAnswered);
            EXPECT_EQ(channel.Attempts().back().nReplyBytes, c.nBytes);
        }
    }
}

// Abandoning writes nothing more: the fast exchange returns within a poll with what it has, the
// settle rule after its attempt; once abandoned, nothing is written at all.
TEST_F(AtChannelTest, AbandonWritesNothingMore)
{
    auto pCard = Connect(Card(true, CardFault::PauseMidReply, 2000));
    m_channel.SetTimeout(1000);
    const uint64_t nStart = m_clock.Elapsed();
    m_channel.SetAbandon([&] { return m_clock.Elapsed() - nStart >= 100; });
    m_channel.SetFinishOnResult(true);
    EXPECT_EQ(m_channel.Exchange("AT"), "error");
    EXPECT_EQ(m_channel.GetReply(), "AT\r");
    EXPECT_EQ(m_clock.TotalWaited(), 100u);
    EXPECT_EQ(pCard->CountOf("AT"), 1);

    m_channel.SetAbandon({});
    pCard->SetOptions(Card(true, CardFault::Silent));
    int nAsked = 0;
    m_channel.SetAbandon([&] { return ++nAsked > 1; });
    m_channel.SetFinishOnResult(false);
    EXPECT_EQ(m_channel.Exchange("AT"), "error");
    EXPECT_EQ(pCard->CountOf("AT"), 2);
    EXPECT_EQ(m_channel.Exchange("AT"), "error");
    EXPECT_EQ(pCard->CountOf("AT"), 2);
    EXPECT_TRUE(m_channel.Attempts().empty()) << "an attempt was written";
}

} // namespace
