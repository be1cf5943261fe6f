#pragma once
// The cards on a Linux machine, from udev: every tty whose USB interface is bound to one of the
// drivers that serve a data card's serial interfaces, grouped by the USB device it belongs to.
#include <string>
#include <vector>

#include "discovery/CardInventory.h"

// What udev says of one tty and of the USB interface and device above it; a field is empty where
// udev had nothing to say.
struct CUdevTty {
    std::string strDevice;             // its device node, /dev/ttyUSB2
    std::string strPath;               // its sysfs path
    std::string strDriver;             // the kernel driver bound to its USB interface
    std::string strInterfacePath;      // the USB interface's sysfs path
    std::string strInterfaceNumber;    // the interface's bInterfaceNumber as sysfs writes it: hex, "02"
    std::string strUsbPath;            // the USB device's sysfs path
    std::string strUsbName;            // its sysfs name, "1-1.2"
    std::string strVendorId;           // its idVendor and idProduct as sysfs writes them
    std::string strProductId;
    std::string strSerial;             // its serial, empty when it has none
};

// option, qcserial, sierra, cdc_acm.
bool IsCardPortDriver(const std::string& strDriver);

// The ttys of card port drivers that have a device node, grouped by USB device; a USB device is a
// card only with two or more such interfaces. Ports in interface order (unknown numbers last),
// cards in order of strId. Every port's role is kUnknown.
// nMinPorts 1 keeps one-port devices too: a card that switched into download mode comes back as
// one, and a switch is followed by whatever comes back.
std::vector<CInventoryCard> GroupUdevTtys(std::vector<CUdevTty> ttys, size_t nMinPorts = 2);

// Every tty that udev lists now, through GroupUdevTtys. Empty when udev cannot be reached.
std::vector<CInventoryCard> ListUdevCards(size_t nMinPorts = 2);

// What is at each of these slots (USB devices' sysfs names, "1-1.2") now, through GroupUdevTtys with
// one-port devices kept: each slot's USB device and the ttys below it are looked at directly, not
// through a listing of every tty, so following a few slots costs the same however many cards there are.
std::vector<CInventoryCard> LookAtUdevSlots(const std::vector<std::string>& slots);
