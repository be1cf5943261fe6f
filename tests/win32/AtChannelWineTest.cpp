// CAtChannel over the Win32 serial port, against simulated cards linked into the Wine prefix as COM
// ports by scripts/with-cardsim.sh. Under Wine a read of a COM port goes pending even with bytes
// queued, so these runs also cover the channel taking its reply from the buffer.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "tests/support/PollUntil.h"
#include "serial/AtChannel.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int CardComNumber(const std::string& strName)
{
    const char* pszValue = std::getenv(("VOSTREL_CARD_" + strName).c_str());
    return pszValue ? std::atoi(pszValue) : 0;
}

// The card's transcript ("<ms> <line>" per command it received), read through Wine's Z: drive.
int TranscriptCount(const std::string& strName, const std::string& strLine)
{
    const char* pszPath = std::getenv(("VOSTREL_CARD_" + strName + "_TRANSCRIPT").c_str());
    if (!pszPath)
        return -1;
    std::ifstream file(std::string("Z:") + pszPath);
    int nCount = 0;
    for (std::string strEntry; std::getline(file, strEntry);) {
        const size_t nSpace = strEntry.find(' ');
        if (nSpace != std::string::npos && strEntry.substr(nSpace + 1) == strLine)
            ++nCount;
    }
    return nCount;
}

// The channel's port, made before the channel that runs over it.
struct CPortOf {
    CSerialPort m_cardPort;
};

// A channel opened the way the port monitor opens it: 115200 8N1, 1000 ms, 2 attempts.
class CMonitorChannel : private CPortOf, public CAtChannel {
public:
    explicit CMonitorChannel(const std::string& strCard) : CAtChannel(m_cardPort)
    {
        const int nPort = CardComNumber(strCard);
        m_bReady = nPort != 0 && OpenCardPort(nPort) != 0;
    }
    CSerialPort& Port() { return m_cardPort; }
    bool m_bReady = false;
};

// Exchange and Probe: the answer line comes out the same whether or not the card echoes.
TEST(AtChannelWineTest, ExchangeWithAndWithoutEcho)
{
    for (const char* pszCard : {"ECHO", "NOECHO"}) {
        SCOPED_TRACE(pszCard);
        CMonitorChannel channel(pszCard);
        ASSERT_TRUE(channel.m_bReady) << "run through scripts/with-cardsim.sh (ctest does)";
        EXPECT_EQ(channel.Exchange("AT+CGMM"), "R2280-Y");
        EXPECT_TRUE(channel.Probe());
        EXPECT_EQ(channel.Exchange("AT+NOSUCH"), "ERROR");
    }
}

// Exchange: the card receives the command as one line, once.
TEST(AtChannelWineTest, CardReceivesTheCommandLine)
{
    CMonitorChannel channel("NOECHO");
    ASSERT_TRUE(channel.m_bReady);
    const int nBefore = TranscriptCount("NOECHO", "AT+CGMM");
    ASSERT_GE(nBefore, 0);
    ASSERT_EQ(channel.Exchange("AT+CGMM"), "R2280-Y");
    EXPECT_TRUE(PollUntil([&] { return TranscriptCount("NOECHO", "AT+CGMM") == nBefore + 1; }));
}

// Transact: a reply that pauses after the echo settles at the pause, giving "error"; the rest that
// comes later is discarded by the next command's write.
TEST(AtChannelWineTest, ReplyPausedAfterEchoGivesErrorAndIsDiscarded)
{
    CMonitorChannel channel("PAUSE");
    ASSERT_TRUE(channel.m_bReady);
    EXPECT_EQ(channel.Exchange("AT"), "error");
    EXPECT_EQ(channel.GetReply(), "AT\r");
    // The rest of the paused reply: "\r\nOK\r\n".
    ASSERT_TRUE(PollUntil([&] { return channel.Port().GetInQueueCount() == 6; }));
    EXPECT_EQ(channel.Exchange("AT+CGMM"), "R2280-Y");
}

// Transact: a reply sent one byte at a time, faster than the settle sleep, is read whole.
TEST(AtChannelWineTest, DribbledReplyIsReadWhole)
{
    CMonitorChannel channel("DRIBBLE");
    ASSERT_TRUE(channel.m_bReady);
    EXPECT_EQ(channel.Exchange("AT+CGMM"), "R2280-Y");
}

// Transact: only the first 256 bytes of a long reply are read; the answer is its first line.
TEST(AtChannelWineTest, LongReplyIsCutAt256Bytes)
{
    CMonitorChannel channel("LONG");
    ASSERT_TRUE(channel.m_bReady);
    EXPECT_EQ(channel.Exchange("AT"), "OK");
    EXPECT_EQ(channel.GetReply().size(), 256u);
}

// Probe: a silent card with 1000 ms and 2 attempts gives false after about 2.4 s and hears "AT"
// twice.
TEST(AtChannelWineTest, SilentCardCostsTwoAttempts)
{
    CMonitorChannel channel("SILENT");
    ASSERT_TRUE(channel.m_bReady);
    const int nBefore = TranscriptCount("SILENT", "AT");
    const auto start = Clock::now();
    EXPECT_FALSE(channel.Probe());
    const auto elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    EXPECT_GE(elapsed.count(), 2350);
    EXPECT_LE(elapsed.count(), 3200);
    EXPECT_TRUE(PollUntil([&] { return TranscriptCount("SILENT", "AT") == nBefore + 2; }));
}

} // namespace
