// A misbehaving card on a real pseudo-terminal, through the POSIX serial port on the real clock:
// the cases where the kernel's buffering and a hang-up matter, which the simulated back end only
// models. Times are wall time with a tolerance for a loaded machine.
#include <poll.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "serial/AtChannel.h"
#include "tools/cardsim/pty/PtyCard.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kPort = 32;

struct Timed {
    std::string strAnswer;
    long long nMs;
};

// A card on a pty reached as COM32, and a channel opened on it as the port monitor opens it:
// 115200 8N1, 1000 ms answer wait, 2 attempts.
class CardInputPtyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_card.Start());
        Reopen();
    }

    void Reopen()
    {
        setenv(("VOSTREL_COM" + std::to_string(kPort)).c_str(), m_card.SlavePath().c_str(), 1);
        m_port.Close();
        ASSERT_TRUE(m_port.Open(kPort, 115200, 8, 1));
        m_channel.SetTimeout(1000);
        m_channel.SetAttempts(2);
    }

    Timed Run(const std::string& strCommand)
    {
        const auto start = Clock::now();
        std::string strAnswer = m_channel.Exchange(strCommand);
        return {std::move(strAnswer), std::chrono::duration_cast<milliseconds>(Clock::now() - start).count()};
    }

    // With a sound card again, the next exchange answers within one poll cycle and a little.
    void ExpectNextExchangeWorks()
    {
        m_card.SetOptions(CardOptions{});
        const int nBefore = m_card.CountOf("AT+CGMM");
        const Timed next = Run("AT+CGMM");
        EXPECT_EQ(next.strAnswer, "R2280-Y");
        EXPECT_EQ(m_card.CountOf("AT+CGMM") - nBefore, 1);
        EXPECT_LT(next.nMs, 1000);
    }

    CPtyCard m_card;
    CSerialPort m_port;
    CAtChannel m_channel{m_port};
};

// A 10,000-byte reply goes through the kernel at once; only its first 256 bytes are read, and the
// next exchange's Write discards the rest before it sends.
TEST_F(CardInputPtyTest, TenThousandByteReply)
{
    struct Case {
        const char* pszName;
        std::string strBytes;
        const char* pszAnswer;
    };
    // Appended in place: GCC 12 at -O2 warns (-Warray-bounds) of operator+ on a long temporary.
    const auto joined = [](std::string strFirst, const std::string& strSecond) { return strFirst += strSecond; };
    const Case cases[] = {
        {"answer first", joined("AT\r\r\nOK\r\n", std::string(9991, 'x')), "OK"},
        {"answer last", joined(std::string(9994, 'x'), "\r\nOK\r\n"), "error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        m_card.Script("AT", CardReply::Bytes(c.strBytes), 1);
        const int nBefore = m_card.CountOf("AT");
        const Timed timed = Run("AT");
        EXPECT_EQ(timed.strAnswer, c.pszAnswer);
        EXPECT_EQ(m_card.CountOf("AT") - nBefore, 1);
        EXPECT_EQ(m_channel.GetReply().size(), 256u);
        EXPECT_LT(timed.nMs, 1300);
        ExpectNextExchangeWorks();
    }
}

// A card that never stops sending: each exchange still ends within the answer wait and a poll
// cycle, and once the card is quiet the next exchange is clean, as the stream it could not deliver
// was lost rather than held back.
TEST_F(CardInputPtyTest, CardThatNeverStopsSending)
{
    CardOptions options;
    options.fault = CardFault::Flood;
    m_card.SetOptions(options);
    const Timed first = Run("AT");
    EXPECT_EQ(first.strAnswer, "OK");
    EXPECT_LE(first.nMs, 1300 + 500);
    EXPECT_EQ(m_channel.GetReply().size(), 256u);

    // The stream has had time to fill every buffer on the way: the next exchange is bounded too.
    const Timed second = Run("AT");
    EXPECT_LE(second.nMs, 1300 + 500);
    EXPECT_EQ(m_card.CountOf("AT"), 2);
    ExpectNextExchangeWorks();
}

// Pulled out while the answer is on its way: the exchange ends in "error" within one answer wait;
// the port left open on the vanished device then fails at once; the card plugged in again on a new
// device is reached after a reopen.
TEST_F(CardInputPtyTest, UnplugMidReply)
{
    CardOptions options;
    options.fault = CardFault::PauseMidReply;   // the echo at once, the answer 400 ms later
    options.nFaultCount = 1;
    m_card.SetOptions(options);
    const size_t nLines = m_card.Transcript().size();
    std::thread puller([&] {
        if (m_card.WaitForLines(nLines + 1, 5000))
            m_card.Unplug();
    });
    const Timed pulled = Run("AT");
    puller.join();
    EXPECT_EQ(pulled.strAnswer, "error");
    EXPECT_EQ(m_card.CountOf("AT"), 1);
    EXPECT_LE(pulled.nMs, 1300 + 500);

    const Timed vanished = Run("AT");
    EXPECT_EQ(vanished.strAnswer, "error");
    EXPECT_LT(vanished.nMs, 100);
    EXPECT_EQ(m_card.CountOf("AT"), 1);

    ASSERT_TRUE(m_card.Replug());
    Reopen();
    ExpectNextExchangeWorks();
}

} // namespace
