// vostrel-cli on Linux: cards from udev, causes from errno.
#include "cli/CliPlatform.h"

#include <cerrno>
#include <cstring>

#include "discovery/udev/UdevCards.h"

const char* CliPlatformName()
{
    return "linux";
}

std::vector<CInventoryCard> ListPlatformCards()
{
    return ListUdevCards();
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

std::string DescribeSystemError(const CSerialError& error)
{
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
        return std::strerror(error.nCode);
    }
}
