// CSerialPort on POSIX terminals, against pseudo-terminals whose master side the test holds. The
// Port number reaches a pty through VOSTREL_COM<n> or a folder of links named by VOSTREL_COM_DIR.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/support/PollUntil.h"
#include "serial/SerialPort.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A pseudo-terminal played by the test: what it sends arrives at the port, and it reads what the
// port writes.
class CTestPty {
public:
    CTestPty()
    {
        m_fdMaster = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_fdMaster >= 0 && grantpt(m_fdMaster) == 0 && unlockpt(m_fdMaster) == 0)
            m_strSlave = ptsname(m_fdMaster);
    }
    ~CTestPty() { Unplug(); }
    CTestPty(const CTestPty&) = delete;
    CTestPty& operator=(const CTestPty&) = delete;

    const std::string& SlavePath() const { return m_strSlave; }
    int Master() const { return m_fdMaster; }

    void Send(const std::string& strBytes) const
    {
        ASSERT_EQ(write(m_fdMaster, strBytes.data(), strBytes.size()), static_cast<ssize_t>(strBytes.size()));
    }

    // Reads until nBytes have come or the time is up.
    std::string Receive(size_t nBytes, milliseconds timeout = milliseconds(2000)) const
    {
        std::string strGot;
        PollUntil([&] {
            char buffer[512];
            pollfd pfd{m_fdMaster, POLLIN, 0};
            if (poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN)) {
                const ssize_t n = read(m_fdMaster, buffer, sizeof buffer);
                if (n > 0)
                    strGot.append(buffer, static_cast<size_t>(n));
            }
            return strGot.size() >= nBytes;
        }, timeout);
        return strGot;
    }

    void Unplug()
    {
        if (m_fdMaster >= 0)
            close(m_fdMaster);
        m_fdMaster = -1;
    }

private:
    int m_fdMaster = -1;
    std::string m_strSlave;
};

void MapPort(int nPort, const std::string& strPath)
{
    setenv(("VOSTREL_COM" + std::to_string(nPort)).c_str(), strPath.c_str(), 1);
}

int Open115200(CSerialPort& port, int nPort)
{
    return port.Open(nPort, 115200, 8, 1);
}

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_pty.SlavePath().empty());
        MapPort(kPort, m_pty.SlavePath());
    }

    bool WaitQueued(CSerialPort& port, int nCount)
    {
        return PollUntil([&] { return port.GetInQueueCount() == nCount; });
    }

    static constexpr int kPort = 11;
    CTestPty m_pty;
};

// Open: an object that is open stays on its port whatever number a later Open names.
TEST_F(SerialPortTest, OpenOnOpenObjectKeepsFirstPort)
{
    CTestPty other;
    MapPort(12, other.SlavePath());
    CSerialPort port;
    ASSERT_TRUE(Open115200(port, kPort));
    EXPECT_TRUE(Open115200(port, 12));
    EXPECT_TRUE(port.IsOpen());

    CSerialPort second;
    EXPECT_TRUE(Open115200(second, 12)) << "the second device must not have been opened";
    ASSERT_EQ(port.Write("AT\r", 3), 3);
    EXPECT_EQ(m_pty.Receive(3), "AT\r");
}

// Close: always non-zero; a second Close and a Close of a never-opened object do nothing.
TEST_F(SerialPortTest, CloseIsAlwaysTrue)
{
    CSerialPort never;
    EXPECT_TRUE(never.Close());

    CSerialPort port;
    ASSERT_TRUE(Open115200(port, kPort));
    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(port.Close());
}

// Write, Read, GetInQueueCount: 0 on a closed object, before the first Open and after Close.
TEST_F(SerialPortTest, TransfersOnClosedObjectReturnZero)
{
    char buffer[8] = {};
    CSerialPort port;
    EXPECT_EQ(port.Write("AT\r", 3), 0);
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0);
    EXPECT_EQ(port.GetInQueueCount(), 0);

    ASSERT_TRUE(Open115200(port, kPort));
    m_pty.Send("queued");
    ASSERT_TRUE(WaitQueued(port, 6));
    port.Close();
    EXPECT_EQ(port.GetInQueueCount(), 0);
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0);
    EXPECT_EQ(port.Write("AT\r", 3), 0);
    EXPECT_EQ(m_pty.Receive(1, milliseconds(50)), "");
}

// Read: takes at most nMax of the queued bytes; the rest stay queued for the next Read.
TEST_F(SerialPortTest, ReadTakesAtMostNMaxAndLeavesTheRest)
{
    CSerialPort port;
    ASSERT_TRUE(Open115200(port, kPort));
    m_pty.Send("0123456789");
    ASSERT_TRUE(WaitQueued(port, 10));

    char buffer[16] = {};
    ASSERT_EQ(port.Read(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    EXPECT_EQ(port.GetInQueueCount(), 6);
    ASSERT_EQ(port.Read(buffer, sizeof buffer), 6);
    EXPECT_EQ(std::string(buffer, 6), "456789");
    EXPECT_EQ(port.GetInQueueCount(), 0);
}

// Read: with nothing queued, or with no room, returns 0 at once and leaves the buffer alone.
TEST_F(SerialPortTest, ReadWithNothingToDoReturnsZeroAtOnce)
{
    CSerialPort port;
    ASSERT_TRUE(Open115200(port, kPort));
    char buffer[4] = {'x', 'x', 'x', 'x'};
    const auto start = Clock::now();
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0);
    EXPECT_LT(Clock::now() - start, milliseconds(100));

    m_pty.Send("ab");
    ASSERT_TRUE(WaitQueued(port, 2));
    EXPECT_EQ(port.Read(buffer, 0), 0);
    EXPECT_EQ(port.Read(buffer, -5), 0);
    EXPECT_EQ(port.Read(nullptr, 4), 0);
    EXPECT_EQ(std::string(buffer, 4), "xxxx");
    EXPECT_EQ(port.GetInQueueCount(), 2);
}

// Write: discards unread input before it sends, and sends the bytes unchanged.
TEST_F(SerialPortTest, WritePurgesUnreadInputFirst)
{
    CSerialPort port;
    ASSERT_TRUE(Open115200(port, kPort));
    m_pty.Send("\r\nstale\r\n");
    ASSERT_TRUE(WaitQueued(port, 9));

    ASSERT_EQ(port.Write("AT+CGMM\r", 8), 8);
    EXPECT_EQ(port.GetInQueueCount(), 0);
    EXPECT_EQ(m_pty.Receive(8), "AT+CGMM\r");
}

// Write: a negative length or a null buffer sends nothing and reports 0.
TEST_F(SerialPortTest, WriteRefusesBadArguments)
{
    CSerialPort port;
    ASSERT_TRUE(Open115200(port, kPort));
    EXPECT_EQ(port.Write("AT\r", -1), 0);
    EXPECT_EQ(port.Write(nullptr, 3), 0);
    EXPECT_EQ(port.Write("", 0), 0);
    EXPECT_EQ(m_pty.Receive(1, milliseconds(50)), "");
}

// Read and Write: every byte value crosses the line unchanged both ways (raw mode, no CR/LF mapping).
TEST_F(SerialPortTest, AllByteValuesPassUnchanged)
{
    std::string strAll;
    for (int n = 0; n < 256; ++n)
        strAll += static_cast<char>(n);
    CSerialPort port;
    ASSERT_TRUE(Open115200(port, kPort));

    ASSERT_EQ(port.Write(strAll.data(), 256), 256);
    EXPECT_EQ(m_pty.Receive(256), strAll);

    m_pty.Send(strAll);
    ASSERT_TRUE(WaitQueued(port, 256));
    char buffer[256] = {};
    ASSERT_EQ(port.Read(buffer, 256), 256);
    EXPECT_EQ(std::string(buffer, 256), strAll);
}

// Open: the line is raw at the given speed and stop bits with no flow control; a framing that the
// device can't take keeps its current speed and framing but still opens. Close: the terminal goes
// back as it was found, settings and exclusive flag (a terminal left raw or exclusive outlives the
// program while anyone else holds it). (A pty always reports 8 data bits, so the character size is
// not observable here.)
TEST_F(SerialPortTest, OpenSetsRawLineAndCloseRestoresTheTerminal)
{
    struct LineCase {
        int nBaud, nDataBits, nStopBits;
        speed_t expectSpeed;   // B0: the terminal's own speed, kept
        bool bTwoStops;
    };
    const LineCase cases[] = {
        {115200, 8, 1, B115200, false},
        {9600, 8, 2, B9600, true},
        {12345, 8, 1, B0, false},   // unknown speed: the terminal's settings stay
        {57600, 9, 1, B0, false},   // impossible data bits: likewise
        {57600, 8, 3, B0, false},   // impossible stop bits: likewise
    };
    termios found{};
    // Terminal ioctls on the master side act on the slave's settings.
    ASSERT_EQ(tcgetattr(m_pty.Master(), &found), 0);
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.nBaud);
        {
            CSerialPort port;
            ASSERT_TRUE(port.Open(kPort, c.nBaud, c.nDataBits, c.nStopBits));
            termios tio{};
            ASSERT_EQ(tcgetattr(m_pty.Master(), &tio), 0);
            EXPECT_EQ(cfgetospeed(&tio), c.expectSpeed == B0 ? cfgetospeed(&found) : c.expectSpeed);
            EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.expectSpeed == B0 ? (found.c_cflag & CSTOPB) != 0 : c.bTwoStops);
            EXPECT_EQ(tio.c_cflag & (PARENB | CRTSCTS), 0u);
            EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
            EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
            EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
            EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        }
        termios after{};
        ASSERT_EQ(tcgetattr(m_pty.Master(), &after), 0);
        EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&found));
        EXPECT_EQ(after.c_lflag, found.c_lflag);
        EXPECT_EQ(after.c_iflag, found.c_iflag);
        EXPECT_EQ(after.c_cflag, found.c_cflag);
#ifdef TIOCGEXCL
        const int fdSlave = open(m_pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fdSlave, 0);
        int nExclusive = -1;
        EXPECT_EQ(ioctl(fdSlave, TIOCGEXCL, &nExclusive), 0);
        EXPECT_EQ(nExclusive, 0);
        close(fdSlave);
#endif
    }
}

// Open: only one object, in any process, holds a device; a second opener is refused, also when it
// reaches the same device through a link under another number.
TEST_F(SerialPortTest, SecondOpenerIsRefusedWhileOpen)
{
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("vostrel-com-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::create_symlink(m_pty.SlavePath(), dir / "com13");
    setenv("VOSTREL_COM_DIR", dir.c_str(), 1);

    CSerialPort first;
    ASSERT_TRUE(Open115200(first, kPort));
    CSerialPort second;
    EXPECT_FALSE(Open115200(second, kPort));
    EXPECT_FALSE(Open115200(second, 13));
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(second.LastError().strCall, "flock");
    EXPECT_EQ(second.LastError().nCode, EWOULDBLOCK);

    // The refused opener must not have disturbed the holder.
    m_pty.Send("OK");
    EXPECT_TRUE(WaitQueued(first, 2));

    first.Close();
    EXPECT_TRUE(Open115200(second, 13));

    unsetenv("VOSTREL_COM_DIR");
    std::filesystem::remove_all(dir);
}

// ~CSerialPort: closes the device, which another object (or the same one, reopened) gets at once.
TEST_F(SerialPortTest, DestructionFreesTheDevice)
{
    {
        CSerialPort port;
        ASSERT_TRUE(Open115200(port, kPort));
    }
    CSerialPort next;
    ASSERT_TRUE(Open115200(next, kPort));
    ASSERT_TRUE(next.Close());
    EXPECT_TRUE(Open115200(next, kPort));
}

// Open: Port numbers outside 1..99999999 give 0 without touching the device they would map to.
TEST_F(SerialPortTest, OpenRefusesPortNumbersOutOfRange)
{
    for (int nPort : {0, -1, 100000000, INT_MAX, INT_MIN}) {
        SCOPED_TRACE(nPort);
        MapPort(nPort, m_pty.SlavePath());
        CSerialPort port;
        EXPECT_FALSE(Open115200(port, nPort));
        EXPECT_FALSE(port.IsOpen());
    }
    MapPort(99999999, m_pty.SlavePath());
    CSerialPort highest;
    EXPECT_TRUE(Open115200(highest, 99999999));
}

// Open: a missing device or a file that is not a terminal gives 0, and LastError names the call
// that refused it; Close afterwards does nothing.
TEST_F(SerialPortTest, OpenFailsOnMissingOrNonTerminalDevice)
{
    const struct {
        const char* pszPath;
        const char* pszCall;
        int nCode;
    } kCases[] = {{"/nonexistent/vostrel-tty", "open", ENOENT}, {"/dev/null", "tcgetattr", ENOTTY}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszPath);
        MapPort(21, c.pszPath);
        CSerialPort port;
        EXPECT_FALSE(Open115200(port, 21));
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ(port.LastError().strCall, c.pszCall);
        EXPECT_EQ(port.LastError().nCode, c.nCode);
        EXPECT_TRUE(port.Close());
        EXPECT_EQ(port.Write("AT\r", 3), 0);
    }
}

// GetInQueueCount and Close on a terminal whose card was pulled out (its other side hung up):
// nothing is queued, the close still succeeds, and LastError names the call that failed.
TEST_F(SerialPortTest, CallsOnAHungUpTerminalRecordTheirErrors)
{
    CSerialPort port;
    ASSERT_TRUE(Open115200(port, kPort));
    m_pty.Unplug();
    EXPECT_EQ(port.GetInQueueCount(), 0);
    EXPECT_EQ(port.LastError().strCall, "ioctl(FIONREAD)");
    EXPECT_EQ(port.LastError().nCode, EIO);
    port.ClearLastError();
    EXPECT_TRUE(port.Close());
    EXPECT_EQ(port.LastError().strCall, "tcflush");
    EXPECT_EQ(port.LastError().nCode, EIO);
}

// Port number mapping: VOSTREL_COM<n> wins over VOSTREL_COM_DIR/com<n>.
TEST_F(SerialPortTest, PortNumberMapping)
{
    CTestPty linked;
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("vostrel-map-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::create_symlink(linked.SlavePath(), dir / "com22");
    std::filesystem::create_symlink(linked.SlavePath(), dir / "com23");
    setenv("VOSTREL_COM_DIR", dir.c_str(), 1);
    MapPort(23, m_pty.SlavePath());
    unsetenv("VOSTREL_COM22");

    CSerialPort viaDir;
    ASSERT_TRUE(Open115200(viaDir, 22));
    ASSERT_EQ(viaDir.Write("A", 1), 1);
    EXPECT_EQ(linked.Receive(1), "A");
    viaDir.Close();

    CSerialPort viaVariable;
    ASSERT_TRUE(Open115200(viaVariable, 23));
    ASSERT_EQ(viaVariable.Write("B", 1), 1);
    EXPECT_EQ(m_pty.Receive(1), "B");

    unsetenv("VOSTREL_COM_DIR");
    std::filesystem::remove_all(dir);
}

// A device that goes away while open: transfers return 0, the object stays open until Close.
TEST_F(SerialPortTest, UnpluggedDeviceFailsTransfers)
{
    CSerialPort port;
    ASSERT_TRUE(Open115200(port, kPort));
    m_pty.Unplug();
    char buffer[8];
    EXPECT_EQ(port.Write("AT\r", 3), 0);
    EXPECT_EQ(port.GetInQueueCount(), 0);
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_TRUE(port.Close());
}

} // namespace
