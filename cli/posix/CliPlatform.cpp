// vostrel-cli on Linux: cards from udev, causes from errno, signals for interruption.
#include "cli/CliPlatform.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli/CliStatus.h"
#include "cli/Interrupt.h"
#include "cli/posix/DescriptorLook.h"
#include "discovery/udev/UdevCards.h"

namespace {

bool IsCharacterDevice(const std::string& strPath)
{
    struct stat st {};
    return stat(strPath.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

bool Exists(const std::string& strPath)
{
    struct stat st {};
    return stat(strPath.c_str(), &st) == 0;
}

// Every signal whose default would end the program (beside the real-time ones), apart from those
// that report a fault of the program itself (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP,
// SIGSYS): ended by one of these, a run would leave its ports locked and raw and print nothing.
struct CStopSignal {
    int nSignal;
    const char* pszName;
    const char* pszWhen;
};
constexpr CStopSignal kStopSignals[] = {
    {SIGINT, "SIGINT", "Ctrl-C"},
    {SIGTERM, "SIGTERM", "kill, or a service manager stopping the program"},
    {SIGHUP, "SIGHUP", "the terminal was closed, the ssh session dropped, tmux was killed"},
    {SIGQUIT, "SIGQUIT", "Ctrl-\\"},
    {SIGPIPE, "SIGPIPE", "standard output or error went into a pipe whose reader has left"},
    {SIGALRM, "SIGALRM", "a timer, e.g. of timeout(1) -s ALRM"},
    {SIGUSR1, "SIGUSR1", "sent by another program"},
    {SIGUSR2, "SIGUSR2", "sent by another program"},
    {SIGIO, "SIGIO", "sent by another program"},
    {SIGPROF, "SIGPROF", "a profiling timer"},
    {SIGVTALRM, "SIGVTALRM", "a virtual timer"},
    {SIGXCPU, "SIGXCPU", "the CPU time limit (ulimit -t) was reached"},
    {SIGXFSZ, "SIGXFSZ", "a file reached the size limit (ulimit -f); the file's write fails too"},
    {SIGPWR, "SIGPWR", "the power is failing"},
    {SIGSTKFLT, "SIGSTKFLT", "sent by another program"},
};

// The signals that the program's own writes bring (a pipe's reader gone, a file at its size
// limit) come again with every write: they never count as a second one.
bool ComesFromOwnWrites(int nSignal)
{
    return nSignal == SIGPIPE || nSignal == SIGXFSZ;
}

void OnSignal(int nSignal)
{
    const int nStatus = 128 + nSignal;
    if (Interrupted() && !ComesFromOwnWrites(nSignal)) {
        // A second one: the user will not wait for the runs to wind down.
        RestoreSerialPortsForExit();
        _exit(nStatus);
    }
    NoteInterrupt(nStatus);
}

} // namespace

const char* CliPlatformName()
{
    return "linux";
}

std::vector<CInventoryCard> ListPlatformCards()
{
    return ListUdevCards();
}

std::vector<CInventoryCard> LookAtPlatformSlots(const std::vector<CInventoryCard>& followed)
{
    std::vector<std::string> slots;
    for (const CInventoryCard& card : followed)
        slots.push_back(card.strSlot);
    std::lock_guard<std::mutex> lock(DescriptorLookMutex());
    return LookAtUdevSlots(slots);
}

std::optional<std::string> WindowChoiceOfPort()
{
    return std::nullopt;   // udev says nothing of roles: the listed cards are probed instead
}

bool MayProbeRole(EPortRole)
{
    return true;
}

bool WindowIsRunning()
{
    return false;   // the window is a Windows program
}

std::string DescribeSystemError(const CSerialError& error, const std::string& strDevice)
{
    // open() answers ENXIO for a socket and EISDIR for a folder: something is there, but no serial device.
    if ((error.nCode == ENXIO || error.nCode == EISDIR || error.nCode == ENOTTY) && Exists(strDevice) &&
        !IsCharacterDevice(strDevice))
        return "not a serial device";
    switch (error.nCode) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "no such device: is the card plugged in?";
    case EACCES:
    case EPERM:
        return "permission denied: add your user to the dialout group";
    case EBUSY:
    case EWOULDBLOCK:
        return "device busy: another program holds the port";
    case ENOTTY:
        return "not a serial device";
    case EIO:
        return "input/output error: the card may have been pulled out";
    case ETIMEDOUT:
        return "timed out: the port takes no more bytes";
    default:
        return DescribeFileError(error, strDevice);
    }
}

std::string DescribeFileError(const CSerialError& error, const std::string& strPath)
{
    struct stat st {};
    if (error.nCode == ENXIO && stat(strPath.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
        return "a pipe that nobody reads";
    // open() answers ENXIO for a socket: "no such device or address" would send the user looking
    // for a device.
    if (error.nCode == ENXIO && stat(strPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        return "a socket, not a file";
    std::string strText = std::strerror(error.nCode);
    if (!strText.empty() && strText[0] >= 'A' && strText[0] <= 'Z' && (strText.size() < 2 || strText[1] > 'Z'))
        strText[0] = static_cast<char>(strText[0] - 'A' + 'a');
    return strText;
}

namespace {

std::optional<dev_t> DeviceNumber(const std::string& strPath)
{
    struct stat st {};
    if (stat(strPath.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return std::nullopt;
    return st.st_rdev;
}

// The terminals that are the program's controlling terminal or the system console: /dev/tty and
// what it is now, /dev/console and /dev/tty0 and the devices the kernel writes its console to.
std::vector<dev_t> ConsoleDevices()
{
    std::vector<dev_t> devices = {makedev(5, 0), makedev(5, 1), makedev(4, 0)};
    const int fd = open("/dev/tty", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st {};
        if (fstat(fd, &st) == 0)
            devices.push_back(st.st_rdev);
        close(fd);
    }
    if (FILE* pActive = std::fopen("/sys/class/tty/console/active", "re")) {
        char szName[64];
        while (std::fscanf(pActive, "%63s", szName) == 1) {
            if (const std::optional<dev_t> device = DeviceNumber(std::string("/dev/") + szName))
                devices.push_back(*device);
        }
        std::fclose(pActive);
    }
    return devices;
}

} // namespace

std::optional<std::string> RefusedPort(const std::string& strDevice)
{
    const std::optional<dev_t> device = DeviceNumber(strDevice);
    if (!device)
        return std::nullopt;   // the open says what is wrong with it
    for (const dev_t console : ConsoleDevices()) {
        if (*device == console)
            return "refused: this is the controlling terminal or the system console, not a card's port";
    }
    return std::nullopt;
}

FILE* OpenTranscriptFile(const std::string& strPath, std::string& strProblem)
{
    COutputProblem problem;
    const int fd = OpenOutputForAppend(strPath, 0600, problem);
    if (fd < 0) {
        strProblem = DescribeOutputProblem(problem, strPath);
        return nullptr;
    }
    FILE* pFile = fdopen(fd, "ab");
    if (!pFile) {
        strProblem = DescribeOutputProblem({"fdopen", errno, ""}, strPath);
        close(fd);
    }
    return pFile;
}

void InstallInterruptHandlers()
{
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const CStopSignal& stop : kStopSignals)
        sigaction(stop.nSignal, &action, nullptr);
    for (int nSignal = SIGRTMIN; nSignal <= SIGRTMAX; ++nSignal)
        sigaction(nSignal, &action, nullptr);
}

std::string InterruptHelp()
{
    std::string str = "Signals (each stops the run as Ctrl-C does: nothing more is sent, every port is handed back "
                      "as it was found, the results still print; the exit status is 128 + its number):\n";
    for (const CStopSignal& stop : kStopSignals)
        str += std::string("  ") + stop.pszName + " (" + std::to_string(128 + stop.nSignal) + ")  " + stop.pszWhen + "\n";
    str += "  SIGRTMIN to SIGRTMAX (" + std::to_string(128 + SIGRTMIN) + " to " + std::to_string(128 + SIGRTMAX) +
           ")  real-time signals\n";
    return str;
}

namespace {

size_t ColumnsVariable()
{
    const char* pszColumns = std::getenv("COLUMNS");
    if (!pszColumns || !*pszColumns)
        return 0;
    char* pszEnd = nullptr;
    const unsigned long nColumns = std::strtoul(pszColumns, &pszEnd, 10);
    return *pszEnd == '\0' && nColumns < 10000 ? nColumns : 0;
}

} // namespace

bool PrepareLiveTerminal(FILE* pStream)
{
    // A "dumb" terminal (an editor's shell buffer) is a tty that ignores cursor movement.
    const char* pszTerm = std::getenv("TERM");
    return isatty(fileno(pStream)) && !(pszTerm && std::strcmp(pszTerm, "dumb") == 0);
}

size_t TerminalWidth(FILE* pStream)
{
    struct winsize size {};
    if (ioctl(fileno(pStream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    const size_t nColumns = ColumnsVariable();
    return nColumns ? nColumns : 80;
}

std::string StationName()
{
    char szName[256] = {};
    if (gethostname(szName, sizeof szName - 1) != 0)
        return "unknown";
    return szName;
}

std::optional<std::string> DefaultHistoryPath()
{
    const char* pszData = std::getenv("XDG_DATA_HOME");
    // The XDG rule: a relative value is to be ignored.
    if (pszData && pszData[0] == '/')
        return std::string(pszData) + "/vostrel/history.db";
    // sudo may keep the caller's HOME: the records of a run as root go to root's own home.
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* pEntry = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &pEntry) != 0 || !pEntry || !pEntry->pw_dir ||
        pEntry->pw_dir[0] != '/')
        return std::nullopt;
    return std::string(pEntry->pw_dir) + "/.local/share/vostrel/history.db";
}
