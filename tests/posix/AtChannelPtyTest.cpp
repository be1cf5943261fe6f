// CAtChannel over the POSIX serial port against the simulated card on a real pseudo-terminal, on
// the real clock: the settle rule meets real byte timing here, which the unit tests only model.
#include <poll.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include "tests/support/PollUntil.h"
#include "serial/AtChannel.h"
#include "tools/cardsim/pty/PtyCard.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

CardOptions WithFault(CardFault fault, uint32_t nPauseMs = 400, int nCount = -1)
{
    CardOptions options;
    options.fault = fault;
    options.nPauseMs = nPauseMs;
    options.nFaultCount = nCount;
    return options;
}

// A card on a pty, reached as Port number 31, and a channel opened on it the way the port monitor
// opens it: 115200 8N1, 1000 ms, 2 attempts.
class AtChannelPtyTest : public ::testing::Test {
protected:
    static constexpr int kPort = 31;

    void SetUp() override
    {
        ASSERT_TRUE(m_card.Start());
        setenv(("VOSTREL_COM" + std::to_string(kPort)).c_str(), m_card.SlavePath().c_str(), 1);
        ASSERT_TRUE(m_port.Open(kPort, 115200, 8, 1));
        m_channel.SetTimeout(1000);
        m_channel.SetAttempts(2);
    }

    CPtyCard m_card;
    CSerialPort m_port;
    CAtChannel m_channel{m_port};
};

// Exchange: the card's first framed line, whether or not the card echoes the command.
TEST_F(AtChannelPtyTest, ExchangeWithAndWithoutEcho)
{
    struct ExchangeCase {
        const char* pszCommand;
        const char* pszAnswer;
    };
    const ExchangeCase cases[] = {
        {"AT", "OK"},
        {"AT+CGMM", "R2280-Y"},
        {"AT+ysec?", "+YSEC: 3,0"},
        {"AT+NOSUCH", "ERROR"},
    };
    for (bool bEcho : {true, false}) {
        CardOptions options;
        options.bEcho = bEcho;
        m_card.SetOptions(options);
        for (const ExchangeCase& c : cases) {
            SCOPED_TRACE(std::string(c.pszCommand) + (bEcho ? " echo" : " no echo"));
            EXPECT_EQ(m_channel.Exchange(c.pszCommand), c.pszAnswer);
        }
        EXPECT_TRUE(m_channel.Probe());
    }
}

// Exchange: the wire carries exactly the command's bytes and one CR, no LF.
TEST_F(AtChannelPtyTest, ExactBytesOnTheWire)
{
    const size_t nBefore = m_card.ReceivedBytes().size();
    ASSERT_EQ(m_channel.Exchange("AT+CGMM"), "R2280-Y");
    EXPECT_EQ(m_card.ReceivedBytes().substr(nBefore), "AT+CGMM\r");
}

// Transact: a reply that pauses for more than 150 ms after the echo settles at the pause and gives
// "error"; the rest, arriving later, is discarded by the next command's write.
TEST_F(AtChannelPtyTest, ReplyPausedAfterEchoGivesErrorAndIsDiscarded)
{
    m_card.SetOptions(WithFault(CardFault::PauseMidReply, 400, 1));
    EXPECT_EQ(m_channel.Exchange("AT"), "error");
    EXPECT_EQ(m_channel.GetReply(), "AT\r");
    ASSERT_TRUE(PollUntil([&] { return m_port.GetInQueueCount() == 6; })) << "the rest: CR LF OK CR LF";
    EXPECT_EQ(m_channel.Exchange("AT+CGMM"), "R2280-Y");
}

// Transact: bytes dribbled faster than the settle sleep keep the count moving; the reply is read
// whole once they stop.
TEST_F(AtChannelPtyTest, DribbledReplyIsReadWhole)
{
    // A byte every 15 ms is still far faster than the settle sleep. The whole dribble takes about
    // 400 ms: under ThreadSanitizer on a loaded machine a slower one outlasted the attempt's 1.2 s,
    // and its second half was read as the reply to the resend.
    m_card.SetOptions(WithFault(CardFault::Dribble, 15));
    m_channel.SetTimeout(5000);
    EXPECT_EQ(m_channel.Exchange("AT+CGMM"), "R2280-Y");
    EXPECT_EQ(m_channel.GetReply(), "AT+CGMM\r\r\nR2280-Y\r\n\r\nOK\r\n");
}

// Probe: a silent card with 1000 ms and 2 attempts gives false after about 2.4 s; the card hears
// the command twice, about 1.2 s apart. An attempt ends at the first settle check past its 1000 ms:
// with exact 150 ms sleeps that is 1200 ms, on a loaded machine whose sleeps overrun it comes a cycle
// earlier, so only "more than 1000 ms an attempt" holds on every machine.
TEST_F(AtChannelPtyTest, SilentCardCostsTwoAttempts)
{
    m_card.SetOptions(WithFault(CardFault::Silent));
    const size_t nBefore = m_card.Transcript().size();
    const auto start = Clock::now();
    EXPECT_FALSE(m_channel.Probe());
    const auto nElapsedMs = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
    EXPECT_GT(nElapsedMs, 2000);
    EXPECT_LE(nElapsedMs, 3000);

    const auto transcript = m_card.Transcript();
    ASSERT_EQ(transcript.size(), nBefore + 2);
    EXPECT_EQ(transcript[nBefore].strLine, "AT");
    EXPECT_EQ(transcript[nBefore + 1].strLine, "AT");
    const uint64_t nGapMs = transcript[nBefore + 1].nTimeMs - transcript[nBefore].nTimeMs;
    EXPECT_GT(nGapMs, 1000u);
    EXPECT_LE(nGapMs, 1450u);
}

// Transact: of a reply over 256 bytes only the first 256 are read; the rest is discarded by the
// next write, so the next exchange is clean.
TEST_F(AtChannelPtyTest, LongReplyIsCutAt256Bytes)
{
    m_card.SetOptions(WithFault(CardFault::LongReply, 400, 1));
    EXPECT_EQ(m_channel.Exchange("AT"), "OK");
    EXPECT_EQ(m_channel.GetReply().size(), 256u);
    EXPECT_EQ(m_channel.Exchange("AT+CGMM"), "R2280-Y");
}

// Exchange: bytes that hold no framed line give "error"; a card that went away gives "error" at
// once, without the reply wait.
TEST_F(AtChannelPtyTest, NoFramedLineOrNoDeviceGivesError)
{
    m_card.SetOptions(WithFault(CardFault::Garbage));
    EXPECT_EQ(m_channel.Exchange("AT"), "error");

    m_card.Unplug();
    // The hang-up reaches the slave side once the card's thread lets go of the master; an empty
    // line is ignored by a card that is still there.
    ASSERT_TRUE(PollUntil([&] { return m_port.Write("\r", 1) == 0; }));
    const auto start = Clock::now();
    EXPECT_EQ(m_channel.Exchange("AT"), "error");
    EXPECT_FALSE(m_channel.Probe());
    EXPECT_LT(Clock::now() - start, milliseconds(100));
}

// Finishing on the result over real byte timing: the settle rule's replies, each taken within a
// fraction of the settle rule's least 300 ms.
TEST_F(AtChannelPtyTest, FinishOnResultGivesTheSettledReplies)
{
    const char* const commands[] = {"AT", "AT+CGMM", "AT+ysec?", "AT+NOSUCH"};
    for (bool bEcho : {true, false}) {
        CardOptions options;
        options.bEcho = bEcho;
        m_card.SetOptions(options);
        for (const char* pszCommand : commands) {
            SCOPED_TRACE(std::string(pszCommand) + (bEcho ? " echo" : " no echo"));
            m_channel.SetFinishOnResult(false);
            const std::string settledAnswer = m_channel.Exchange(pszCommand);
            const std::string settledReply = m_channel.GetReply();
            m_channel.SetFinishOnResult(true);
            const auto start = Clock::now();
            EXPECT_EQ(m_channel.Exchange(pszCommand), settledAnswer);
            EXPECT_LT(Clock::now() - start, milliseconds(150));
            EXPECT_EQ(m_channel.GetReply(), settledReply);
        }
    }
}

// The fast exchange against a card that thinks 250 or 700 ms between its echo and its answer: each
// command gets its own answer, none is shifted onto the next, and one that answered is the last.
TEST_F(AtChannelPtyTest, FastExchangeWaitsForASlowCard)
{
    const std::pair<const char*, const char*> kExchanges[] = {
        {"AT", "OK"}, {"AT+ysec?", "+YSEC: 3,0"}, {"AT+CGMM", "R2280-Y"}};
    m_channel.SetFinishOnResult(true);
    for (uint32_t nDelayMs : {250u, 700u}) {
        CardOptions options;
        options.nReplyDelayMs = nDelayMs;
        m_card.SetOptions(options);
        for (const auto& [pszCommand, pszAnswer] : kExchanges) {
            SCOPED_TRACE(std::string(pszCommand) + " after " + std::to_string(nDelayMs) + " ms");
            EXPECT_EQ(m_channel.Exchange(pszCommand), pszAnswer);
        }
    }
    EXPECT_EQ(m_card.CountOf("AT"), 2);
}

// An answer later than the attempt's time gives no answer, and is not taken for the next command's.
TEST_F(AtChannelPtyTest, FastExchangeLateAnswerIsNotTheNextOnes)
{
    m_channel.SetFinishOnResult(true);
    m_channel.SetAttempts(1);
    CardOptions options;
    options.nReplyDelayMs = 1500;
    m_card.SetOptions(options);
    EXPECT_EQ(m_channel.Exchange("AT"), "error");
    EXPECT_FALSE(m_channel.Attempts().back().reply.Answered());
    EXPECT_EQ(m_channel.Attempts().back().nReplyBytes, 0);
    m_card.SetOptions({});   // its "OK" is on its way
    EXPECT_EQ(m_channel.Exchange("AT+CGMM"), "R2280-Y");
    EXPECT_EQ(m_channel.Exchange("AT+ysec?"), "+YSEC: 3,0");
}

} // namespace
