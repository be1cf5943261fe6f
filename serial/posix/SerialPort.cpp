// CSerialPort on a POSIX terminal device (termios). Transfers are non-blocking system calls, so a
// request never outlives the call that made it; only Write ever waits, in poll(), for room to send.
//
// Port number n names a device by this mapping, the first that applies:
//   1. the environment variable VOSTREL_COM<n> (e.g. VOSTREL_COM5=/dev/pts/3) holds its path;
//   2. "$VOSTREL_COM_DIR/com<n>" when VOSTREL_COM_DIR is set (a folder of links, like Wine's
//      dosdevices folder);
//   3. /dev/ttyS<n-1>, as COM1 is the first serial port.
#include "serial/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

namespace {

constexpr int kWriteTimeoutMs = 10000;

std::string EnvValue(const std::string& strName)
{
    const char* pszValue = std::getenv(strName.c_str());
    return pszValue ? std::string(pszValue) : std::string();
}

std::string DevicePathForPort(int nPort)
{
    const std::string strNumber = std::to_string(nPort);
    std::string strPath = EnvValue("VOSTREL_COM" + strNumber);
    if (!strPath.empty())
        return strPath;
    const std::string strDir = EnvValue("VOSTREL_COM_DIR");
    if (!strDir.empty())
        return strDir + "/com" + strNumber;
    return "/dev/ttyS" + std::to_string(nPort - 1);
}

struct SpeedEntry {
    int nBaud;
    speed_t speed;
};

const SpeedEntry kSpeeds[] = {
    {110, B110},       {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800}, {921600, B921600},
#endif
};

bool FindSpeed(int nBaud, speed_t& speed)
{
    const auto it = std::find_if(std::begin(kSpeeds), std::end(kSpeeds),
                                 [nBaud](const SpeedEntry& entry) { return entry.nBaud == nBaud; });
    if (it == std::end(kSpeeds))
        return false;
    speed = it->speed;
    return true;
}

bool FindCharacterSize(int nDataBits, tcflag_t& size)
{
    switch (nDataBits) {
    case 5: size = CS5; return true;
    case 6: size = CS6; return true;
    case 7: size = CS7; return true;
    case 8: size = CS8; return true;
    default: return false;
    }
}

// Raw bytes both ways, no flow control, modem lines ignored. Speed and framing are applied only
// when all three are valid; otherwise the device keeps its current ones, as a mode string that
// Windows rejects leaves a port's line settings alone. The failing call's name, or nullptr.
const char* ApplyLineSettings(int fd, const termios& before, int nBaud, int nDataBits, int nStopBits)
{
    termios tio = before;
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~PARENB;
#ifdef CRTSCTS
    tio.c_cflag &= ~CRTSCTS;
#endif
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;

    speed_t speed = B0;
    tcflag_t size = CS8;
    if (FindSpeed(nBaud, speed) && FindCharacterSize(nDataBits, size) && (nStopBits == 1 || nStopBits == 2)) {
        tio.c_cflag = (tio.c_cflag & ~(CSIZE | CSTOPB)) | size | (nStopBits == 2 ? CSTOPB : 0);
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
    }
    return tcsetattr(fd, TCSANOW, &tio) == 0 ? nullptr : "tcsetattr";
}

// Raises DTR and RTS, whatever the last program left: many cards answer AT only while DTR is up.
// A device without modem lines (a pseudo-terminal has none) refuses the request, and then there is
// nothing to raise. The failing call's name (errno set), or nullptr.
const char* RaiseModemLines(int fd)
{
#ifdef TIOCMBIS
    int nLines = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd, TIOCMBIS, &nLines) != 0 && errno != ENOTTY && errno != EINVAL)
        return "ioctl(TIOCMBIS)";
#else
    (void)fd;
#endif
    return nullptr;
}

// Exclusive use. TIOCEXCL makes the kernel refuse further opens of the terminal, but not to
// privileged processes, and the tests run as root. So the refusal that counts is flock(LOCK_EX |
// LOCK_NB): the lock belongs to this open of the device, so a second opener, in this process or
// another, is refused while it is held, and it goes away with the descriptor even after a crash.
// A terminal that some other program already made exclusive is refused too, which a root open
// would otherwise slip past. The failing call's name (errno set), or nullptr.
const char* TakeExclusive(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return "flock";
#ifdef TIOCGEXCL
    int nExclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &nExclusive) == 0 && nExclusive != 0) {
        errno = EBUSY;
        return "ioctl(TIOCGEXCL)";
    }
#endif
    return nullptr;
}


// Empties both queues: 0, or the errno of the failed flush (EIO once the other side hung up).
int FlushQueues(int fd)
{
    return tcflush(fd, TCIOFLUSH) == 0 ? 0 : errno;
}

// Waits until fd can take more bytes or the deadline passes; false on time-out (errno ETIMEDOUT)
// or error.
bool WaitWritable(int fd, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd pfd{fd, POLLOUT, 0};
        const int nReady = poll(&pfd, 1, static_cast<int>(remaining.count()));
        if (nReady > 0)
            return true;   // writable, or an error that the next write() reports
        if (nReady < 0 && errno != EINTR)
            return false;
    }
}

// The ports open in this process with their line settings from before the open, kept where a
// signal handler may reach them: a program ended at once by a second Ctrl-C still hands each
// terminal back as it found it (a terminal left raw or exclusive outlives its process while anyone
// else holds it open). Slots are claimed by compare-and-swap; a port that finds none free is simply
// not covered.
struct COpenTerminal {
    std::atomic<int> fd{-1};
    termios before{};
};
COpenTerminal g_openTerminals[64];

COpenTerminal* Remember(int fd, const termios& before)
{
    for (COpenTerminal& slot : g_openTerminals) {
        int nFree = -1;
        if (slot.fd.load() == -1 && slot.fd.compare_exchange_strong(nFree, -2)) {
            slot.before = before;
            slot.fd.store(fd);
            return &slot;
        }
    }
    return nullptr;
}

// While it lives, the terminal's job control cannot stop this thread: a terminal call (tcsetattr,
// tcflush) from a background process group on the port's terminal would raise SIGTTOU, which stops
// the process, and a SIGTERM would only restart the call to be stopped again. Blocked, the kernel
// lets the call go ahead instead.
class CNoTerminalStop {
public:
    CNoTerminalStop()
    {
        sigset_t stops;
        sigemptyset(&stops);
        sigaddset(&stops, SIGTTOU);
        sigaddset(&stops, SIGTTIN);
        pthread_sigmask(SIG_BLOCK, &stops, &m_before);
    }
    ~CNoTerminalStop() { pthread_sigmask(SIG_SETMASK, &m_before, nullptr); }
    CNoTerminalStop(const CNoTerminalStop&) = delete;
    CNoTerminalStop& operator=(const CNoTerminalStop&) = delete;

private:
    sigset_t m_before;
};

// Clears the exclusive flag and puts the settings back; only async-signal-safe calls.
void HandBack(int fd, const termios& before)
{
    ioctl(fd, TIOCNXCL);
    tcsetattr(fd, TCSANOW, &before);
}

} // namespace

struct CSerialDevice {
    int fd = -1;
    termios before{};
    COpenTerminal* pSlot = nullptr;
};

void RestoreSerialPortsForExit()
{
    for (COpenTerminal& slot : g_openTerminals) {
        const int fd = slot.fd.load();
        if (fd >= 0)
            HandBack(fd, slot.before);
    }
}

std::string SerialDeviceOfName(const std::string& strName)
{
    if (const std::optional<int> nPort = PortNumberOfName(strName))
        return DevicePathForPort(*nPort);
    return strName;
}

int CSerialPort::OpenDevice(int nPort, int nBaud, int nDataBits, int nStopBits)
{
    return OpenDevicePath(DevicePathForPort(nPort), nBaud, nDataBits, nStopBits);
}

int CSerialPort::OpenDevicePath(const std::string& strPath, int nBaud, int nDataBits, int nStopBits)
{
    const CNoTerminalStop noStop;
    // Non-blocking: the open must not wait for a modem's carrier line, and no transfer may block.
    const int fd = open(strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Fail("open", errno);
    // The lock comes before the settings, so a port in use by someone else is left untouched.
    termios before{};
    const char* pszFailed = TakeExclusive(fd);
    if (!pszFailed && tcgetattr(fd, &before) != 0)
        pszFailed = "tcgetattr";   // not a terminal device
    if (!pszFailed)
        pszFailed = ApplyLineSettings(fd, before, nBaud, nDataBits, nStopBits);
    if (!pszFailed)
        pszFailed = RaiseModemLines(fd);
    if (pszFailed) {
        const int nError = errno;
        close(fd);
        return Fail(pszFailed, nError);
    }
    ioctl(fd, TIOCEXCL);

    m_pDevice = new CSerialDevice{fd, before, Remember(fd, before)};
    m_bOpen = 1;
    if (const int nError = FlushQueues(fd))
        Fail("tcflush", nError);
    return 1;
}

int CSerialPort::Close()
{
    if (!m_bOpen || !m_pDevice)
        return 1;
    const CNoTerminalStop noStop;
    const int fd = m_pDevice->fd;
    if (const int nError = FlushQueues(fd))
        Fail("tcflush", nError);
    // The exclusive flag and the line settings belong to the terminal, not to this descriptor: they
    // would outlive the close, so the terminal goes back as it was found.
    HandBack(fd, m_pDevice->before);
    if (m_pDevice->pSlot)
        m_pDevice->pSlot->fd.store(-1);
    close(fd);
    delete m_pDevice;
    m_pDevice = nullptr;
    m_bOpen = 0;
    return 1;
}

int CSerialPort::Write(const void* pData, int nLength)
{
    if (!m_bOpen || !m_pDevice)
        return 0;
    if (nLength < 0 || (pData == nullptr && nLength > 0))
        return 0;
    const int fd = m_pDevice->fd;
    // A flush that fails is recorded, and the write goes ahead: the card may still take it.
    if (const int nError = [fd] {
            const CNoTerminalStop noStop;
            return FlushQueues(fd);
        }())
        Fail("tcflush", nError);

    const char* pBytes = static_cast<const char*>(pData);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
    int nDone = 0;
    while (nDone < nLength) {
        const ssize_t nWritten = write(fd, pBytes + nDone, static_cast<size_t>(nLength - nDone));
        if (nWritten > 0) {
            nDone += static_cast<int>(nWritten);
            continue;
        }
        if (nWritten < 0 && errno == EINTR)
            continue;
        if (nWritten < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return Fail("write", errno);   // the device failed or went away
        // A write that does not finish in time reports 0, even when part of it went out.
        if (!WaitWritable(fd, deadline))
            return Fail("poll", errno);
    }
    return nDone;
}

// A terminal whose other side hung up (a card pulled out) fails FIONREAD with EIO: nothing to read.
int CSerialPort::GetInQueueCount()
{
    if (!m_bOpen || !m_pDevice)
        return 0;
    int nQueued = 0;
    if (ioctl(m_pDevice->fd, FIONREAD, &nQueued) != 0)
        return Fail("ioctl(FIONREAD)", errno);
    return std::max(nQueued, 0);
}


int CSerialPort::Read(void* pBuffer, int nMax)
{
    if (!m_bOpen || !m_pDevice)
        return 0;
    const int nQueued = GetInQueueCount();
    if (nQueued == 0 || nMax <= 0 || pBuffer == nullptr)
        return 0;
    const size_t nWanted = static_cast<size_t>(std::min(nQueued, nMax));
    ssize_t nRead = 0;
    do {
        nRead = read(m_pDevice->fd, pBuffer, nWanted);
    } while (nRead < 0 && errno == EINTR);
    if (nRead < 0)
        return Fail("read", errno);
    return static_cast<int>(nRead);
}
