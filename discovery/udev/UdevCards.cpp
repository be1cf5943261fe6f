#include "discovery/udev/UdevCards.h"

#include "discovery/Slot.h"

#include <libudev.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

namespace {

std::string_view Trimmed(std::string_view sv)
{
    while (!sv.empty() && std::isspace(static_cast<unsigned char>(sv.front())))
        sv.remove_prefix(1);
    while (!sv.empty() && std::isspace(static_cast<unsigned char>(sv.back())))
        sv.remove_suffix(1);
    return sv;
}

bool IsHex(std::string_view sv)
{
    return std::all_of(sv.begin(), sv.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

// sysfs writes bInterfaceNumber as two hex digits.
std::optional<int> ParseInterfaceNumber(const std::string& strText)
{
    const std::string_view sv = Trimmed(strText);
    if (sv.empty() || sv.size() > 2 || !IsHex(sv))
        return std::nullopt;
    int nValue = 0;
    std::from_chars(sv.data(), sv.data() + sv.size(), nValue, 16);
    return nValue;
}

// Four lower-case hex digits, or empty when the text is not a USB id.
std::string UsbId(const std::string& strText)
{
    const std::string_view sv = Trimmed(strText);
    if (sv.size() != 4 || !IsHex(sv))
        return {};
    std::string strId(sv);
    for (char& c : strId)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return strId;
}

struct CCardBuild {
    CInventoryCard card;
    std::set<std::string> interfaces;
};

void SortPorts(std::vector<CInventoryPort>& ports)
{
    std::sort(ports.begin(), ports.end(), [](const CInventoryPort& a, const CInventoryPort& b) {
        const int nA = a.nInterface.value_or(INT_MAX);
        const int nB = b.nInterface.value_or(INT_MAX);
        return nA != nB ? nA < nB : a.strDevice < b.strDevice;
    });
}

// ---- udev -----------------------------------------------------------------------------------------

struct CUdevUnref {
    void operator()(udev* p) const { udev_unref(p); }
    void operator()(udev_enumerate* p) const { udev_enumerate_unref(p); }
    void operator()(udev_device* p) const { udev_device_unref(p); }
};
template <typename T>
using CUdevPtr = std::unique_ptr<T, CUdevUnref>;

std::string Text(const char* psz)
{
    return psz ? psz : "";
}

std::string Attribute(udev_device* dev, const char* pszName)
{
    return Text(udev_device_get_sysattr_value(dev, pszName));
}

// The tty with its USB interface and device; nothing for a tty that is not on USB. The parents
// belong to the tty's udev_device and go with it.
std::optional<CUdevTty> ReadTty(udev_device* tty)
{
    udev_device* intf = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_interface");
    udev_device* usb = intf ? udev_device_get_parent_with_subsystem_devtype(intf, "usb", "usb_device") : nullptr;
    if (!usb)
        return std::nullopt;
    CUdevTty t;
    t.strDevice = Text(udev_device_get_devnode(tty));
    t.strPath = Text(udev_device_get_syspath(tty));
    // The interface's driver, not the tty's parent's: a USB serial driver puts a port device of its
    // own (driver "option1") between the interface and the tty.
    t.strDriver = Text(udev_device_get_driver(intf));
    t.strInterfacePath = Text(udev_device_get_syspath(intf));
    t.strInterfaceNumber = Attribute(intf, "bInterfaceNumber");
    t.strUsbPath = Text(udev_device_get_syspath(usb));
    t.strUsbName = Text(udev_device_get_sysname(usb));
    t.strVendorId = Attribute(usb, "idVendor");
    t.strProductId = Attribute(usb, "idProduct");
    t.strSerial = Attribute(usb, "serial");
    return t;
}

// The ttys of an enumeration that has been scanned, those on USB.
void ReadEnumeratedTtys(udev* context, udev_enumerate* enumerate, std::vector<CUdevTty>& ttys)
{
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
        const char* pszSyspath = udev_list_entry_get_name(entry);
        // A device unplugged since the scan is gone from sysfs: udev gives nothing for it.
        CUdevPtr<udev_device> tty(pszSyspath ? udev_device_new_from_syspath(context, pszSyspath) : nullptr);
        if (!tty)
            continue;
        if (std::optional<CUdevTty> t = ReadTty(tty.get()))
            ttys.push_back(std::move(*t));
    }
}

} // namespace

bool IsCardPortDriver(const std::string& strDriver)
{
    static const char* const kDrivers[] = {"option", "qcserial", "sierra", "cdc_acm"};
    return std::any_of(std::begin(kDrivers), std::end(kDrivers), [&](const char* psz) { return strDriver == psz; });
}

std::vector<CInventoryCard> GroupUdevTtys(std::vector<CUdevTty> ttys, size_t nMinPorts)
{
    std::map<std::string, CCardBuild> byUsbPath;
    for (CUdevTty& t : ttys) {
        if (!IsCardPortDriver(t.strDriver) || t.strDevice.empty() || t.strUsbPath.empty() || t.strUsbName.empty())
            continue;
        CCardBuild& build = byUsbPath[t.strUsbPath];
        if (build.card.strId.empty()) {
            build.card.strId = t.strUsbName;
            build.card.strVendorId = UsbId(t.strVendorId);
            build.card.strProductId = UsbId(t.strProductId);
            build.card.strSerial = t.strSerial;
            build.card.strSlot = SlotOfUsbName(t.strUsbName);
        }
        // A tty whose interface path is unknown counts as an interface of its own.
        build.interfaces.insert(t.strInterfacePath.empty() ? "tty:" + t.strPath : t.strInterfacePath);
        CInventoryPort port;
        port.strDevice = std::move(t.strDevice);
        port.strPath = std::move(t.strPath);
        port.strDriver = std::move(t.strDriver);
        port.nInterface = ParseInterfaceNumber(t.strInterfaceNumber);
        build.card.ports.push_back(std::move(port));
    }

    std::vector<CInventoryCard> cards;
    for (auto& [strUsbPath, build] : byUsbPath) {
        if (build.interfaces.size() < nMinPorts)
            continue;
        SortPorts(build.card.ports);
        cards.push_back(std::move(build.card));
    }
    std::sort(cards.begin(), cards.end(),
              [](const CInventoryCard& a, const CInventoryCard& b) { return a.strId < b.strId; });
    return cards;
}

std::vector<CInventoryCard> ListUdevCards(size_t nMinPorts)
{
    CUdevPtr<udev> context(udev_new());
    if (!context)
        return {};
    CUdevPtr<udev_enumerate> enumerate(udev_enumerate_new(context.get()));
    if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "tty") < 0 ||
        udev_enumerate_scan_devices(enumerate.get()) < 0)
        return {};

    std::vector<CUdevTty> ttys;
    ReadEnumeratedTtys(context.get(), enumerate.get(), ttys);
    return GroupUdevTtys(std::move(ttys), nMinPorts);
}

std::vector<CInventoryCard> LookAtUdevSlots(const std::vector<std::string>& slots)
{
    CUdevPtr<udev> context(udev_new());
    if (!context)
        return {};
    std::vector<CUdevTty> ttys;
    for (const std::string& strSlot : slots) {
        // On Linux a slot is the USB device's sysfs name: /sys/bus/usb/devices/<slot>.
        CUdevPtr<udev_device> usb(udev_device_new_from_subsystem_sysname(context.get(), "usb", strSlot.c_str()));
        if (!usb)
            continue;   // nothing plugged in there
        CUdevPtr<udev_enumerate> enumerate(udev_enumerate_new(context.get()));
        if (!enumerate || udev_enumerate_add_match_parent(enumerate.get(), usb.get()) < 0 ||
            udev_enumerate_add_match_subsystem(enumerate.get(), "tty") < 0 ||
            udev_enumerate_scan_devices(enumerate.get()) < 0)
            continue;
        ReadEnumeratedTtys(context.get(), enumerate.get(), ttys);
    }
    return GroupUdevTtys(std::move(ttys), 1);
}
