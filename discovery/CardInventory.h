#pragma once
// The cards found on this machine, as the command line lists them: one entry per USB device, with
// its serial ports. Filled from the drivers' registry entries on Windows and from udev on Linux.
#include <optional>
#include <string>
#include <vector>

enum class EPortRole { kModem, kDiagnostic, kAt, kUnknown };
// "modem", "diagnostic", "AT", "unknown"
const char* PortRoleName(EPortRole eRole);

struct CInventoryPort {
    EPortRole eRole = EPortRole::kUnknown;
    std::string strDevice;           // what a user names it by: "COM5", "/dev/ttyUSB2"
    std::string strPath;             // the registry instance path, or the tty's sysfs device path
    std::string strDriver;           // the driver service, or the kernel driver bound to it
    std::optional<int> nInterface;   // its USB interface number, where known
    std::optional<bool> bAnswersAt;  // whether it answered "AT", once somebody has asked
    std::string strProbeFailure;     // why it could not be asked ("open: permission denied: ..."), else empty
};

struct CInventoryCard {
    std::string strId;               // stable for one plugging: the registry's parent prefix, the USB device's sysfs name
    std::string strVendorId;         // four lower-case hex digits, empty when unknown
    std::string strProductId;
    std::string strSerial;           // the USB serial number, empty when unknown
    std::string strSlot;             // where it is plugged in: the controller, then the port chain ("1-4.2"); empty when unknown
    std::string strModel;            // AT+CGMM's answer, once asked and answered
    std::string strImei;             // AT+CGSN's answer, once asked and answered
    std::vector<CInventoryPort> ports;
};
