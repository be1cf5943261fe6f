// vostrel-cli on Windows: cards from the drivers' registry entries, causes from GetLastError codes.
#include "cli/CliPlatform.h"

#include <windows.h>

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

// As the window's monitor searches: the modem driver's port when the modem search succeeds, else
// the AT driver's port, else a modem port found without its diagnostic port.
std::optional<std::string> WindowChoiceOfPort()
{
    const CPortSearch modem = SearchModemPort(SystemRegistry());
    if (modem.bFound && modem.nCommandPort && *modem.nCommandPort > 0)
        return "COM" + std::to_string(*modem.nCommandPort);
    const CPortSearch at = SearchAtPort(SystemRegistry());
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

std::string DescribeSystemError(const CSerialError& error)
{
    switch (error.nCode) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "no such port: is the card plugged in?";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return "access denied: another program holds the port";
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
