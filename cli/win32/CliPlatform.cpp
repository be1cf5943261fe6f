// vostrel-cli on Windows: cards from the drivers' registry entries, causes from GetLastError codes.
#include "cli/CliPlatform.h"

#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "cli/CliStatus.h"
#include "cli/Interrupt.h"
#include "discovery/Discovery.h"
#include "platform/InstanceLock.h"

const char* CliPlatformName()
{
    return "windows";
}

std::vector<CInventoryCard> ListPlatformCards()
{
    return RegistryInventory(SystemRegistry());
}

std::vector<CInventoryCard> LookAtPlatformSlots(const std::vector<CInventoryCard>& followed)
{
    return LookAtRegistrySlots(SystemRegistry(), followed);
}

// As the window's monitor searches: the modem driver's port when the modem search succeeds, else
// the AT driver's port, else a modem port found without its diagnostic port. Read access only: the
// command line runs without administrator rights, and finds the port the window finds all the same.
std::optional<std::string> WindowChoiceOfPort()
{
    const CPortSearch modem = SearchModemPort(SystemRegistry(), EKeyAccess::kRead);
    if (modem.bFound && modem.nCommandPort && *modem.nCommandPort > 0)
        return "COM" + std::to_string(*modem.nCommandPort);
    const CPortSearch at = SearchAtPort(SystemRegistry(), EKeyAccess::kRead);
    if (at.nCommandPort && *at.nCommandPort > 0)
        return "COM" + std::to_string(*at.nCommandPort);
    if (modem.nCommandPort && *modem.nCommandPort > 0)
        return "COM" + std::to_string(*modem.nCommandPort);
    return std::nullopt;
}

bool MayProbeRole(EPortRole eRole)
{
    return eRole != EPortRole::kDiagnostic;
}

bool WindowIsRunning()
{
    const HANDLE hMutex = OpenMutexA(SYNCHRONIZE, FALSE, kWindowInstanceName);
    // The window runs elevated; a program without administrator rights may be refused the mutex,
    // which still tells that it exists.
    if (!hMutex)
        return GetLastError() == ERROR_ACCESS_DENIED;
    CloseHandle(hMutex);
    return true;
}

namespace {

// A pulled card's port stays open; the driver then fails every call on its handle, with
// ERROR_BAD_COMMAND or ERROR_ACCESS_DENIED among others. Only an open that is refused means that
// another program holds the port.
std::optional<std::string> PulledCardText(const CSerialError& error)
{
    if (error.strCall == "CreateFileA")
        return std::nullopt;
    switch (error.nCode) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
        return "the card went away (error " + std::to_string(error.nCode) + " on the open port)";
    default:
        return std::nullopt;
    }
}

} // namespace

// "COM5" of the device path "\\.\COM5".
std::string PortOfDevice(const std::string& strDevice)
{
    const std::string strPrefix = "\\\\.\\";
    return strDevice.compare(0, strPrefix.size(), strPrefix) == 0 ? strDevice.substr(strPrefix.size()) : strDevice;
}

std::string DescribeSystemError(const CSerialError& error, const std::string& strDevice)
{
    if (std::optional<std::string> strPulled = PulledCardText(error))
        return *strPulled;
    switch (error.nCode) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "no such port: is the card plugged in?";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        // Windows opens a COM port for one program at a time.
        return "another program has " + PortOfDevice(strDevice) + " open (the card's connection manager, a terminal)";
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_BAD_COMMAND:
        return "the device does not respond: the card may have been pulled out";
    case ERROR_TIMEOUT:
        return "timed out";
    default:
        break;
    }
    char szText[256] = {};
    const DWORD nLength = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                         static_cast<DWORD>(error.nCode), 0, szText, sizeof szText, nullptr);
    std::string strText(szText, nLength);
    while (!strText.empty() && (strText.back() == '\n' || strText.back() == '\r' || strText.back() == '.'))
        strText.pop_back();
    return strText.empty() ? "error " + std::to_string(error.nCode) : strText;
}

std::string DescribeFileError(const CSerialError& error, const std::string&)
{
    std::string strText = std::strerror(error.nCode);
    if (!strText.empty() && strText[0] >= 'A' && strText[0] <= 'Z' && (strText.size() < 2 || strText[1] > 'Z'))
        strText[0] = static_cast<char>(strText[0] - 'A' + 'a');
    return strText;
}

std::optional<std::string> RefusedPort(const std::string&)
{
    return std::nullopt;   // COM ports are never a console
}

FILE* OpenTranscriptFile(const std::string& strPath, std::string& strProblem)
{
    FILE* pFile = std::fopen(strPath.c_str(), "ab");
    if (!pFile)
        strProblem = DescribeOutputProblem({"fopen", errno, ""}, strPath);
    return pFile;
}

namespace {

// Windows ends the process as soon as the handler of a closing console (or of a logoff or a
// shutdown) returns, and after about five seconds in any case: the wait stays under that.
constexpr uint32_t kEndingWaitMs = 4500;

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD nEvent)
{
    return HandleConsoleEvent(nEvent) ? TRUE : FALSE;
}

} // namespace

bool HandleConsoleEvent(unsigned long nEvent)
{
    const int nStatus = nEvent == CTRL_C_EVENT ? kCliInterrupted : kCliTerminated;
    if (nEvent == CTRL_CLOSE_EVENT || nEvent == CTRL_LOGOFF_EVENT || nEvent == CTRL_SHUTDOWN_EVENT) {
        NoteInterrupt(nStatus);
        AwaitRunFinished(kEndingWaitMs);
        return true;
    }
    if (Interrupted())
        ExitProcess(static_cast<UINT>(nStatus));   // a second one: handles close with the process
    NoteInterrupt(nStatus);
    return true;
}

void InstallInterruptHandlers()
{
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

std::string InterruptHelp()
{
    return "Signals (each stops the run as Ctrl-C does: nothing more is sent, every port is handed back, the "
           "results still print):\n"
           "  Ctrl-C (130)  interrupted\n"
           "  Ctrl-Break, closing the console (143)  stopped; Windows gives a closing console about 5 s, so a "
           "command still waiting on a card is cut short\n"
           "  Logging off, shutting down (143)  the same where Windows tells the program: one started by a "
           "service is told, one started from the desktop is ended without notice\n";
}

namespace {

HANDLE HandleOfStream(FILE* pStream)
{
    const int fd = _fileno(pStream);
    return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

size_t ColumnsVariable()
{
    const char* pszColumns = std::getenv("COLUMNS");
    if (!pszColumns || !*pszColumns)
        return 0;
    char* pszEnd = nullptr;
    const unsigned long nColumns = std::strtoul(pszColumns, &pszEnd, 10);
    return *pszEnd == '\0' && nColumns < 10000 ? nColumns : 0;
}

// Wine's console on a Unix terminal (8.0) takes the flag but writes the sequences as text, ESC
// dropped: a live table would come out as a column of "[5A[2K".
bool IsWine()
{
    const HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
    return hNtdll && GetProcAddress(hNtdll, "wine_get_version");
}

} // namespace

bool PrepareLiveTerminal(FILE* pStream)
{
    // GetConsoleMode fails on a pipe or a file. Consoles before Windows 10 refuse the flag.
    if (IsWine())
        return false;
    const HANDLE hStream = HandleOfStream(pStream);
    DWORD nMode = 0;
    if (hStream == INVALID_HANDLE_VALUE || !GetConsoleMode(hStream, &nMode))
        return false;
    if (nMode & ENABLE_VIRTUAL_TERMINAL_PROCESSING)
        return true;
    return SetConsoleMode(hStream, nMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

size_t TerminalWidth(FILE* pStream)
{
    CONSOLE_SCREEN_BUFFER_INFO info {};
    const HANDLE hStream = HandleOfStream(pStream);
    if (hStream != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(hStream, &info) &&
        info.srWindow.Right > info.srWindow.Left)
        return static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
    const size_t nColumns = ColumnsVariable();
    return nColumns ? nColumns : 80;
}

std::string StationName()
{
    char szName[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD nSize = sizeof szName;
    if (!GetComputerNameA(szName, &nSize))
        return "unknown";
    return szName;
}

std::optional<std::string> DefaultHistoryPath()
{
    const char* pszLocal = std::getenv("LOCALAPPDATA");
    if (!pszLocal || !pszLocal[0])
        return std::nullopt;
    return std::string(pszLocal) + "\\Vostrel\\history.db";
}
// Windows refuses a second open of a COM port: the open itself names a port another program holds.
std::optional<uint64_t> CharacterDeviceNumber(const std::string&)
{
    return std::nullopt;
}

CHolderLook LookAtOpenDevices()
{
    return {};
}

std::string ProcessName(long)
{
    return "";
}

std::unique_ptr<IDeviceOpenSource> NewDeviceOpenSource()
{
    return nullptr;
}

CInhibitAnswer InhibitModemManager(const std::string&, const std::vector<std::string>&)
{
    return {};
}

void ReleaseModemManager() {}
