// CSerialPort on the simulated back end: the port contract every back end keeps, over cards plugged
// at Port numbers and timed by a virtual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>

#include "serial/SerialPort.h"
#include "tests/support/VirtualClock.h"
#include "tests/support/sim/SimSerial.h"

namespace {

class SimSerialTest : public ::testing::Test {
protected:
    void TearDown() override { sim::UnplugAll(); }

    std::string ReadAll(CSerialPort& port)
    {
        char buffer[512] = {};
        const int n = port.Read(buffer, sizeof buffer);
        return std::string(buffer, static_cast<size_t>(n > 0 ? n : 0));
    }

    CVirtualClock m_clock;
};

// Open: on an open object returns non-zero at once and keeps the first port, whatever nPort says.
TEST_F(SimSerialTest, OpenOnOpenObjectKeepsTheFirstPort)
{
    auto pFirst = sim::Plug(5, m_clock);
    auto pSecond = sim::Plug(6, m_clock);
    CSerialPort port;
    ASSERT_NE(port.Open(5, 115200, 8, 1), 0);
    EXPECT_NE(port.Open(6, 9600, 7, 2), 0);
    EXPECT_TRUE(pFirst->IsOpen());
    EXPECT_FALSE(pSecond->IsOpen());
    EXPECT_EQ(pFirst->OpenCount(), 1);
    ASSERT_EQ(pFirst->Opens().size(), 1u);
    EXPECT_EQ(pFirst->Opens()[0].nBaud, 115200);
    EXPECT_EQ(pFirst->Opens()[0].nDataBits, 8);
    EXPECT_EQ(pFirst->Opens()[0].nStopBits, 1);
}

// Open: Port numbers outside 1..99999999 give 0, even where a card is plugged.
TEST_F(SimSerialTest, OpenRefusesPortNumbersOutOfRange)
{
    for (int nPort : {0, -1, 100000000, INT_MIN, INT_MAX}) {
        auto pCard = sim::Plug(nPort, m_clock);
        CSerialPort port;
        EXPECT_EQ(port.Open(nPort, 115200, 8, 1), 0) << nPort;
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ(pCard->OpenCount(), 0);
    }
    auto pHighest = sim::Plug(99999999, m_clock);
    CSerialPort port;
    EXPECT_NE(port.Open(99999999, 115200, 8, 1), 0);
}

// Open of a port with no card, or a card whose device fails, gives 0; Close then does nothing.
TEST_F(SimSerialTest, OpenFailsWithoutAUsableCard)
{
    CSerialPort port;
    EXPECT_EQ(port.Open(7, 115200, 8, 1), 0);
    EXPECT_NE(port.Close(), 0);

    auto pCard = sim::Plug(7, m_clock);
    pCard->SetFailOpen(true);
    EXPECT_EQ(port.Open(7, 115200, 8, 1), 0);
    pCard->SetFailOpen(false);
    EXPECT_NE(port.Open(7, 115200, 8, 1), 0);
    EXPECT_NE(port.Close(), 0);
    EXPECT_NE(port.Close(), 0);
    EXPECT_FALSE(pCard->IsOpen());
}

// Open is exclusive; closing or destroying the holder frees the card at once.
TEST_F(SimSerialTest, OpenIsExclusive)
{
    auto pCard = sim::Plug(3, m_clock);
    CSerialPort second;
    {
        CSerialPort first;
        ASSERT_NE(first.Open(3, 115200, 8, 1), 0);
        EXPECT_EQ(second.Open(3, 115200, 8, 1), 0);
    }
    EXPECT_NE(second.Open(3, 115200, 8, 1), 0);
}

// Write, Read and GetInQueueCount on a closed object return 0 and reach no card.
TEST_F(SimSerialTest, ClosedPortTransfersNothing)
{
    auto pCard = sim::Plug(1, m_clock);
    CSerialPort port;
    char buffer[8];
    EXPECT_EQ(port.Write("AT\r", 3), 0);
    EXPECT_EQ(port.GetInQueueCount(), 0);
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0);
    EXPECT_EQ(pCard->ReceivedBytes(), "");
    EXPECT_EQ(pCard->PurgeCount(), 0);
}

// Read takes at most min(queued, nMax); the rest stays queued until the next Write purges it.
TEST_F(SimSerialTest, ReadTakesAtMostNMaxAndWritePurgesTheRest)
{
    auto pCard = sim::Plug(2, m_clock);
    CSerialPort port;
    ASSERT_NE(port.Open(2, 115200, 8, 1), 0);
    char buffer[4];
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0);    // nothing queued: 0 at once
    EXPECT_EQ(m_clock.TotalWaited(), 0u);

    ASSERT_EQ(port.Write("AT\r", 3), 3);
    ASSERT_EQ(port.GetInQueueCount(), 9);              // AT CR CR LF OK CR LF
    EXPECT_EQ(port.Read(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "AT\r\r");
    EXPECT_EQ(port.GetInQueueCount(), 5);

    const int nPurges = pCard->PurgeCount();
    ASSERT_EQ(port.Write("AT+FOO\r", 7), 7);
    EXPECT_EQ(pCard->PurgeCount(), nPurges + 1);
    EXPECT_EQ(ReadAll(port), "AT+FOO\r\r\nERROR\r\n");
    EXPECT_EQ(pCard->ReceivedBytes(), "AT\rAT+FOO\r");
}

// GetInQueueCount counts the bytes whose arrival time has come, across the tick counter's wrap.
TEST_F(SimSerialTest, QueueFollowsTheArrivalTimes)
{
    for (uint32_t nStart : {1000u, 0xFFFFFF00u}) {
        CVirtualClock clock(nStart);
        CardOptions options;
        options.fault = CardFault::PauseMidReply;
        options.nPauseMs = 400;
        auto pCard = sim::Plug(4, clock, options);
        CSerialPort port;
        ASSERT_NE(port.Open(4, 115200, 8, 1), 0);
        ASSERT_EQ(port.Write("AT\r", 3), 3);
        EXPECT_EQ(port.GetInQueueCount(), 3);   // the echo
        clock.Advance(399);
        EXPECT_EQ(port.GetInQueueCount(), 3);
        clock.Advance(1);
        EXPECT_EQ(port.GetInQueueCount(), 9);
        EXPECT_EQ(ReadAll(port), "AT\r\r\nOK\r\n");
    }
}

// Bytes still on their way when the host purges arrive after it, as on a real line.
TEST_F(SimSerialTest, PurgeDiscardsOnlyWhatHasArrived)
{
    CardOptions options;
    options.fault = CardFault::PauseMidReply;
    options.nFaultCount = 1;
    options.nPauseMs = 400;
    auto pCard = sim::Plug(4, m_clock, options);
    CSerialPort port;
    ASSERT_NE(port.Open(4, 115200, 8, 1), 0);
    ASSERT_EQ(port.Write("AT\r", 3), 3);
    m_clock.Advance(100);
    ASSERT_EQ(port.Write("AT\r", 3), 3);   // the card is still sending the first reply
    m_clock.Advance(300);
    EXPECT_EQ(ReadAll(port), "\r\nOK\r\nAT\r\r\nOK\r\n");
}

// A babbling card's unsolicited lines become queued while the port is open.
TEST_F(SimSerialTest, BabbleArrivesWhileOpen)
{
    CardOptions options;
    options.fault = CardFault::Babble;
    options.nPauseMs = 100;
    auto pCard = sim::Plug(8, m_clock, options);
    CSerialPort port;
    ASSERT_NE(port.Open(8, 115200, 8, 1), 0);
    m_clock.Advance(250);
    EXPECT_GT(port.GetInQueueCount(), 0);
}

// A port left open on an unplugged card fails its transfers; a new card at the number opens.
TEST_F(SimSerialTest, UnpluggedCardFailsTransfersUntilReplugged)
{
    auto pCard = sim::Plug(9, m_clock);
    CSerialPort port;
    ASSERT_NE(port.Open(9, 115200, 8, 1), 0);
    ASSERT_EQ(port.Write("AT\r", 3), 3);
    sim::Unplug(9);
    char buffer[16];
    EXPECT_EQ(port.GetInQueueCount(), 0);
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0);
    EXPECT_EQ(port.Write("AT\r", 3), 0);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_NE(port.Close(), 0);
    EXPECT_EQ(port.Open(9, 115200, 8, 1), 0);

    auto pNew = sim::Plug(9, m_clock);
    EXPECT_NE(port.Open(9, 115200, 8, 1), 0);
    EXPECT_EQ(port.Write("AT\r", 3), 3);
    EXPECT_EQ(pNew->CountOf("AT"), 1);
    EXPECT_EQ(pCard->CountOf("AT"), 1);
}

// The registry of cards may change while another thread uses ports (run under TSan).
TEST_F(SimSerialTest, PlugAndUnplugWhileAnotherThreadUsesThePort)
{
    std::atomic<bool> bStop{false};
    sim::Plug(11, m_clock);
    std::thread user([&] {
        CSerialPort port;
        char buffer[64];
        while (!bStop.load()) {
            if (!port.IsOpen())
                port.Open(11, 115200, 8, 1);
            if (port.Write("AT\r", 3) == 0)
                port.Close();
            port.GetInQueueCount();
            port.Read(buffer, sizeof buffer);
        }
    });
    for (int i = 0; i < 50; ++i) {
        if (i % 2)
            sim::Plug(11, m_clock)->Script("AT", CardReply::Text("ERROR"), 1);
        else
            sim::Unplug(11);
        std::this_thread::yield();
    }
    bStop = true;
    user.join();
}

} // namespace
