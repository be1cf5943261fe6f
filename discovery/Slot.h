#pragma once
// A card's slot: where it is plugged in, as "<controller>-<port chain>", the chain being the root
// port and then each hub port down to the card, joined by dots. One form on both platforms, so that
// a bench's labels and a switched card's return are matched the same way everywhere.
#include <string>

// Linux: the USB device's sysfs name ("1-4.2": bus 1, root port 4, hub port 2) is already a slot;
// anything else (a root hub "usb1", an interface "1-4:1.0") is unknown (empty).
std::string SlotOfUsbName(const std::string& strSysName);

// Windows: a device's LocationInformation when it is the nine-field topology address
// "0000.0014.0000.016.003.004.003.000.000" (PCI bus, device, function, the root port, then up to five
// hub ports, 0 for none) gives "0:14.0-16.3.4.3". Empty for anything else: another field count, a
// field that is not decimal digits, a zero root port, or a port after a zero.
std::string SlotOfTopologyAddress(const std::string& strLocation);

// Windows, when the interface has no topology address: its parent device's LocationInformation
// "Port_#0003.Hub_#0004" gives "hub4-3". Empty for anything else.
std::string SlotOfHubPort(const std::string& strLocation);
