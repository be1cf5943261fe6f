#pragma once
// A umockdev testbed for one test, and the sysfs tree of a USB device with serial interfaces in
// umockdev-record text. libudev sees the testbed only in a program started by umockdev-wrapper,
// and so do the programs that such a program starts: they inherit its environment.
#include <umockdev.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include "discovery/CardInventory.h"

class CUdevTestbed {
public:
    CUdevTestbed() : m_pTestbed(umockdev_testbed_new()) {}
    ~CUdevTestbed()
    {
        g_object_unref(m_pTestbed);
        for (UMockdevIoctlBase* pHandler : m_handlers)
            g_object_unref(pHandler);
    }
    CUdevTestbed(const CUdevTestbed&) = delete;
    CUdevTestbed& operator=(const CUdevTestbed&) = delete;

    // Whether libudev sees the testbed; umockdev can tell only once a testbed exists, and keeps its
    // first answer.
    bool InMockEnvironment() const { return umockdev_in_mock_environment(); }

    // Adds the devices that strRecords describes; the error text, empty when they were added.
    std::string Add(const std::string& strRecords)
    {
        GError* pError = nullptr;
        if (umockdev_testbed_add_from_string(m_pTestbed, strRecords.c_str(), &pError))
            return {};
        std::string strError = pError ? pError->message : "add_from_string failed";
        g_clear_error(&pError);
        return strError;
    }

    // Where a device node of the testbed is: the preloaded library sends an open of /dev/ttyUSB0
    // to <root>/dev/ttyUSB0, which may be replaced by a link to any terminal.
    std::string NodePath(const std::string& strDevice) const
    {
        gchar* pszRoot = umockdev_testbed_get_root_dir(m_pTestbed);
        std::string strPath = std::string(pszRoot) + strDevice;
        g_free(pszRoot);
        return strPath;
    }

    // The preloaded library answers every ioctl() on a device node with the testbed's, and the
    // testbed answers those it has no record of with ENOTTY: FIONREAD, TIOCEXCL and TIOCGEXCL fail
    // on a node that leads to a real terminal (tcgetattr and tcsetattr get through: glibc makes
    // their system calls itself). This hands each ioctl on strDevice back to the program, which
    // carries it out on its own descriptor. The error text, empty when done.
    std::string PassIoctlsThrough(const std::string& strDevice)
    {
        UMockdevIoctlBase* pHandler = umockdev_ioctl_base_new();
        g_signal_connect(pHandler, "handle-ioctl", G_CALLBACK(CarryOutInClient), nullptr);
        m_handlers.push_back(pHandler);
        GError* pError = nullptr;
        if (umockdev_testbed_attach_ioctl(m_pTestbed, strDevice.c_str(), pHandler, &pError))
            return {};
        std::string strError = pError ? pError->message : "attach_ioctl failed";
        g_clear_error(&pError);
        return strError;
    }

private:
    // On the testbed's worker thread.
    static gboolean CarryOutInClient(UMockdevIoctlBase*, UMockdevIoctlClient* pClient, gpointer)
    {
        int nErrno = 0;
        GError* pError = nullptr;
        int nResult = umockdev_ioctl_client_execute(pClient, &nErrno, &pError);
        if (pError) {   // the program is gone
            nResult = -1;
            nErrno = EIO;
            g_clear_error(&pError);
        }
        umockdev_ioctl_client_complete(pClient, nResult, nErrno);
        return TRUE;
    }

    UMockdevTestbed* m_pTestbed;
    std::vector<UMockdevIoctlBase*> m_handlers;
};

// One interface of a USB device and the tty its driver made for it. A USB serial driver's tty hangs
// under a port device of the driver's own (ttyUSB0/tty/ttyUSB0); cdc_acm's directly under the
// interface (tty/ttyACM0).
struct CUsbSerialInterface {
    const char* pszNumber;   // bInterfaceNumber as sysfs writes it
    const char* pszDriver;   // bound to the interface; nullptr for none
    const char* pszTty;      // ttyUSB0, ttyACM0
};

struct CUsbDeviceRecord {
    std::string strName;     // 1-1.2: on bus 1, behind the hub 1-1 (added with UdevHubRecordText)
    const char* pszVendor;
    const char* pszProduct;
    const char* pszSerial;   // nullptr: no serial attribute
    std::vector<CUsbSerialInterface> interfaces;
};

// Where the USB device of that sysfs name sits: behind the hubs its name passes through
// ("1-2.3" is port 3 of hub 1-2 on bus 1's root port 2).
inline std::string UsbDevicePath(const std::string& strName)
{
    std::string strPath = "/devices/pci0000:00/0000:00:14.0/usb" + strName.substr(0, strName.find('-'));
    for (size_t nDot = strName.find('.'); nDot != std::string::npos; nDot = strName.find('.', nDot + 1))
        strPath += "/" + strName.substr(0, nDot);
    return strPath + "/" + strName;
}

// A hub: a USB device without serial interfaces, which the devices behind it sit under.
inline std::string UdevHubRecordText(const std::string& strName)
{
    return "P: " + UsbDevicePath(strName) + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=1d6b\n"
           "A: idProduct=0002\nA: bDeviceClass=09\n\n";
}

inline std::string UdevRecordText(const CUsbDeviceRecord& d)
{
    const std::string strUsb = UsbDevicePath(d.strName);
    std::ostringstream os;
    os << "P: " << strUsb << "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=" << d.pszVendor
       << "\nA: idProduct=" << d.pszProduct << "\n";
    if (d.pszSerial)
        os << "A: serial=" << d.pszSerial << "\n";
    os << "\n";
    for (const CUsbSerialInterface& i : d.interfaces) {
        const std::string strTty = i.pszTty;
        const bool bUsbSerial = strTty.rfind("ttyUSB", 0) == 0;
        const int nNumber = std::stoi(i.pszNumber, nullptr, 16);
        std::string strPath = strUsb + "/" + d.strName + ":1." + std::to_string(nNumber);
        os << "P: " << strPath << "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=" << i.pszNumber
           << "\n";
        if (i.pszDriver)
            os << "E: DRIVER=" << i.pszDriver << "\nL: driver=../../../../../../bus/usb/drivers/" << i.pszDriver
               << "\n";
        os << "\n";
        if (bUsbSerial) {
            strPath += "/" + strTty;
            os << "P: " << strPath << "\nE: SUBSYSTEM=usb-serial\n";
            if (i.pszDriver)
                os << "L: driver=../../../../../../../bus/usb-serial/drivers/" << i.pszDriver << "1\n";
            os << "\n";
        }
        // N: gives the tty a device node in the testbed (a pty of umockdev's own until replaced).
        os << "P: " << strPath << "/tty/" << strTty << "\nN: " << strTty << "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/"
           << strTty << "\n\n";
    }
    return os.str();
}

// A listing as one line per card, "1-1.2 12d1:1001 SN: 00 /dev/ttyUSB0 option, ..." (with "slot S"
// after the id where the slot is not the id, as udev makes it), so that a
// test compares whole listings and a failure shows all of it.
inline std::string InventoryText(const std::vector<CInventoryCard>& cards)
{
    std::ostringstream os;
    for (const CInventoryCard& c : cards) {
        os << c.strId << (c.strSlot == c.strId ? "" : " slot " + c.strSlot) << " " << c.strVendorId << ":" << c.strProductId << " " << c.strSerial << ":";
        for (const CInventoryPort& p : c.ports) {
            os << (&p == &c.ports.front() ? " " : ", ")
               << (p.nInterface ? std::to_string(*p.nInterface) : "?") << " " << p.strDevice << " " << p.strDriver;
            if (p.eRole != EPortRole::kUnknown)
                os << " " << PortRoleName(p.eRole);
        }
        os << "\n";
    }
    return os.str();
}
