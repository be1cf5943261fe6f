// ModemManager steps aside the way a firmware updater makes it: InhibitDevice(uid, true) on its
// manager object, over the system bus through sd-bus. The inhibition lasts while our connection
// does, so it ends with the program whatever ends it. libsystemd is loaded only when ModemManager
// holds a card's port, so that a run on a free port costs no library load and no bus connection.
#include <dlfcn.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "cli/CliPlatform.h"

namespace {

constexpr const char* kManagerName = "org.freedesktop.ModemManager1";
constexpr const char* kManagerPath = "/org/freedesktop/ModemManager1";
constexpr const char* kModemInterface = "org.freedesktop.ModemManager1.Modem";
constexpr uint64_t kCallTimeoutUs = 5'000'000;

// The few sd-bus calls this needs, from libsystemd.so.0.
struct CSdBus {
    decltype(&sd_bus_open_system) open_system = nullptr;
    decltype(&sd_bus_set_method_call_timeout) set_timeout = nullptr;
    decltype(&sd_bus_call_method) call_method = nullptr;
    decltype(&sd_bus_message_read) read = nullptr;
    decltype(&sd_bus_message_enter_container) enter = nullptr;
    decltype(&sd_bus_message_exit_container) exit = nullptr;
    decltype(&sd_bus_message_skip) skip = nullptr;
    decltype(&sd_bus_message_unref) unref_message = nullptr;
    decltype(&sd_bus_error_free) error_free = nullptr;
    decltype(&sd_bus_error_has_name) error_has_name = nullptr;
    decltype(&sd_bus_flush_close_unref) close = nullptr;
    bool bLoaded = false;
};

template <typename Fn>
bool Resolve(void* pLibrary, const char* pszName, Fn& fn)
{
    fn = reinterpret_cast<Fn>(dlsym(pLibrary, pszName));
    return fn != nullptr;
}

const CSdBus& SdBus()
{
    static const CSdBus bus = [] {
        CSdBus b;
        void* p = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
        b.bLoaded = p && Resolve(p, "sd_bus_open_system", b.open_system) &&
                    Resolve(p, "sd_bus_set_method_call_timeout", b.set_timeout) &&
                    Resolve(p, "sd_bus_call_method", b.call_method) && Resolve(p, "sd_bus_message_read", b.read) &&
                    Resolve(p, "sd_bus_message_enter_container", b.enter) &&
                    Resolve(p, "sd_bus_message_exit_container", b.exit) && Resolve(p, "sd_bus_message_skip", b.skip) &&
                    Resolve(p, "sd_bus_message_unref", b.unref_message) && Resolve(p, "sd_bus_error_free", b.error_free) &&
                    Resolve(p, "sd_bus_error_has_name", b.error_has_name) &&
                    Resolve(p, "sd_bus_flush_close_unref", b.close);
        return b;
    }();
    return bus;
}

// A method call's reply and error, freed when it goes.
struct CCall {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* pReply = nullptr;
    int nResult = 0;
    ~CCall()
    {
        SdBus().error_free(&error);
        if (pReply)
            SdBus().unref_message(pReply);
    }
    bool Ok() const { return nResult >= 0; }
    std::string Why() const
    {
        if (error.message)
            return error.message;
        return error.name ? error.name : "no answer on the system bus";
    }
};

struct CModem {
    std::string strDevice;               // the USB device's sysfs path: ModemManager's uid for it
    std::vector<std::string> ports;      // "ttyUSB2"
};

// The card's device as ModemManager names a port: the node's path below /dev ("ttyUSB2", "pts/4"),
// links followed (/dev/serial/by-id/...).
std::string PortName(const std::string& strDevice)
{
    char* pszReal = realpath(strDevice.c_str(), nullptr);
    const std::string strReal = pszReal ? pszReal : strDevice;
    std::free(pszReal);
    const std::string strDev = "/dev/";
    return strReal.compare(0, strDev.size(), strDev) == 0 ? strReal.substr(strDev.size()) : strReal;
}

bool IsTheCard(const CModem& modem, const std::string& strSlot, const std::vector<std::string>& devices)
{
    const std::string strEnd = "/" + strSlot;
    if (!strSlot.empty() && modem.strDevice.size() >= strEnd.size() &&
        modem.strDevice.compare(modem.strDevice.size() - strEnd.size(), strEnd.size(), strEnd) == 0)
        return true;
    return std::any_of(devices.begin(), devices.end(), [&](const std::string& strDevice) {
        return std::find(modem.ports.begin(), modem.ports.end(), PortName(strDevice)) != modem.ports.end();
    });
}

// One Modem interface's properties: Device and Ports, the rest skipped.
void ReadModemProperties(sd_bus_message* m, CModem& modem)
{
    const CSdBus& b = SdBus();
    b.enter(m, 'a', "{sv}");
    while (b.enter(m, 'e', "sv") > 0) {
        const char* pszName = nullptr;
        b.read(m, "s", &pszName);
        const std::string strName = pszName ? pszName : "";
        if (strName == "Device" && b.enter(m, 'v', "s") > 0) {
            const char* pszDevice = nullptr;
            if (b.read(m, "s", &pszDevice) > 0 && pszDevice)
                modem.strDevice = pszDevice;
            b.exit(m);
        } else if (strName == "Ports" && b.enter(m, 'v', "a(su)") > 0) {
            b.enter(m, 'a', "(su)");
            const char* pszPort = nullptr;
            uint32_t nType = 0;
            while (b.read(m, "(su)", &pszPort, &nType) > 0)
                modem.ports.push_back(pszPort ? pszPort : "");
            b.exit(m);
            b.exit(m);
        } else {
            b.skip(m, "v");
        }
        b.exit(m);
    }
    b.exit(m);
}

// Every modem object of the manager (ObjectManager's GetManagedObjects: a{oa{sa{sv}}}).
std::vector<CModem> ReadModems(sd_bus_message* m)
{
    const CSdBus& b = SdBus();
    std::vector<CModem> modems;
    b.enter(m, 'a', "{oa{sa{sv}}}");
    while (b.enter(m, 'e', "oa{sa{sv}}") > 0) {
        const char* pszPath = nullptr;
        b.read(m, "o", &pszPath);
        b.enter(m, 'a', "{sa{sv}}");
        while (b.enter(m, 'e', "sa{sv}") > 0) {
            const char* pszInterface = nullptr;
            b.read(m, "s", &pszInterface);
            if (pszInterface && std::string(pszInterface) == kModemInterface) {
                modems.emplace_back();
                ReadModemProperties(m, modems.back());
            } else {
                b.skip(m, "a{sv}");
            }
            b.exit(m);
        }
        b.exit(m);
        b.exit(m);
    }
    b.exit(m);
    return modems;
}

struct CInhibited {
    std::string strSlot;
    std::vector<std::string> devices;
    std::string strUid;
};

// The one connection of the program and what it has inhibited. sd-bus objects are used by one
// thread at a time: every call holds the mutex.
class CModemManagerLink {
public:
    CInhibitAnswer Inhibit(const std::string& strSlot, const std::vector<std::string>& devices)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const CInhibited& done : m_inhibited) {
            if (SameCard(done, strSlot, devices))
                return {EInhibit::kInhibited, "", m_nManagerPid};
        }
        if (!Connect())
            return {};
        CCall owner;
        owner.nResult = SdBus().call_method(m_pBus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                            "org.freedesktop.DBus", "GetConnectionUnixProcessID", &owner.error,
                                            &owner.pReply, "s", kManagerName);
        uint32_t nPid = 0;
        if (!owner.Ok() || SdBus().read(owner.pReply, "u", &nPid) < 0)
            return {};
        m_nManagerPid = static_cast<long>(nPid);
        CCall objects;
        objects.nResult = SdBus().call_method(m_pBus, kManagerName, kManagerPath, "org.freedesktop.DBus.ObjectManager",
                                              "GetManagedObjects", &objects.error, &objects.pReply, "");
        if (!objects.Ok())
            return {EInhibit::kRefused, "ModemManager does not list its modems: " + objects.Why(), m_nManagerPid};
        for (const CModem& modem : ReadModems(objects.pReply)) {
            if (!modem.strDevice.empty() && IsTheCard(modem, strSlot, devices))
                return InhibitModem(modem, strSlot, devices);
        }
        return {EInhibit::kNoModem, "", m_nManagerPid};
    }

    void Release()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const CInhibited& done : m_inhibited) {
            CCall call;
            call.nResult = SdBus().call_method(m_pBus, kManagerName, kManagerPath, kManagerName, "InhibitDevice",
                                               &call.error, &call.pReply, "sb", done.strUid.c_str(), 0);
        }
        m_inhibited.clear();
        if (m_pBus)
            m_pBus = SdBus().close(m_pBus);
    }

    ~CModemManagerLink() { Release(); }

private:
    static bool SameCard(const CInhibited& done, const std::string& strSlot, const std::vector<std::string>& devices)
    {
        if (!strSlot.empty() && done.strSlot == strSlot)
            return true;
        return std::any_of(devices.begin(), devices.end(), [&](const std::string& strDevice) {
            return std::find(done.devices.begin(), done.devices.end(), strDevice) != done.devices.end();
        });
    }

    bool Connect()
    {
        if (m_pBus)
            return true;
        if (!SdBus().bLoaded || SdBus().open_system(&m_pBus) < 0) {
            m_pBus = nullptr;
            return false;
        }
        SdBus().set_timeout(m_pBus, kCallTimeoutUs);
        return true;
    }

    CInhibitAnswer InhibitModem(const CModem& modem, const std::string& strSlot, const std::vector<std::string>& devices)
    {
        CCall call;
        call.nResult = SdBus().call_method(m_pBus, kManagerName, kManagerPath, kManagerName, "InhibitDevice",
                                           &call.error, &call.pReply, "sb", modem.strDevice.c_str(), 1);
        if (!call.Ok())
            return {EInhibit::kRefused, "ModemManager would not let go of the card: " + call.Why(), m_nManagerPid};
        m_inhibited.push_back({strSlot, devices, modem.strDevice});
        return {EInhibit::kInhibited, "", m_nManagerPid};
    }

    std::mutex m_mutex;
    sd_bus* m_pBus = nullptr;
    long m_nManagerPid = 0;
    std::vector<CInhibited> m_inhibited;
};

CModemManagerLink& Link()
{
    static CModemManagerLink link;
    return link;
}

} // namespace

CInhibitAnswer InhibitModemManager(const std::string& strSlot, const std::vector<std::string>& devices)
{
    return Link().Inhibit(strSlot, devices);
}

void ReleaseModemManager()
{
    Link().Release();
}
