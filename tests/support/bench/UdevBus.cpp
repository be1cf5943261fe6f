#include "UdevBus.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <sstream>

namespace {

const char kRoot[] = "/devices/pci0000:00/0000:00:14.0/usb1";

// The preloaded library answers every ioctl() on a device node with the testbed's, which knows none
// of a terminal's: each one goes back to the program, which carries it out on its own descriptor.
// On the testbed's worker thread.
gboolean CarryOutInClient(UMockdevIoctlBase*, UMockdevIoctlClient* pClient, gpointer)
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

// A link in sysfs dir strDir (relative to /sys) to /sys/<strTarget>, as the kernel writes it.
std::string UpTo(const std::string& strDir, const std::string& strTarget)
{
    std::string str;
    for (char c : strDir)
        if (c == '/')
            str += "../";
    return str + strTarget;
}

std::string HubPath(int nHub)
{
    return std::string(kRoot) + "/1-" + std::to_string(nHub);
}

} // namespace

CUdevBus::CUdevBus(int nCards, std::vector<std::string> cardLinks)
    : m_pTestbed(umockdev_testbed_new()), m_nCards(nCards), m_cardLinks(std::move(cardLinks))
{
}

CUdevBus::~CUdevBus()
{
    g_object_unref(m_pTestbed);
    for (UMockdevIoctlBase* pHandler : m_handlers)
        g_object_unref(pHandler);
}

std::string CUdevBus::AddHubs()
{
    std::ostringstream os;
    for (int nHub = 1; nHub <= 2; ++nHub)
        os << "P: " << HubPath(nHub) << "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=hub\n"
           << "A: idVendor=05e3\nA: idProduct=0608\nA: bDeviceClass=09\n\n";
    GError* pError = nullptr;
    if (umockdev_testbed_add_from_string(m_pTestbed, os.str().c_str(), &pError))
        return {};
    const std::string strError = pError ? pError->message : "add_from_string failed";
    g_clear_error(&pError);
    return strError;
}

std::string CUdevBus::SlotName(int nSlot) const
{
    // Cards 0 .. n/2-1 behind the hub at root port 1, the rest behind the hub at root port 2; slots
    // past the cards' (where a moved card goes) on the first hub, after its cards.
    const int nFirstHalf = m_nCards / 2;
    if (nSlot < nFirstHalf)
        return "1-1." + std::to_string(nSlot + 1);
    if (nSlot < m_nCards)
        return "1-2." + std::to_string(nSlot - nFirstHalf + 1);
    return "1-1." + std::to_string(nFirstHalf + 1 + nSlot - m_nCards);
}

std::vector<std::string> CUdevBus::Nodes(int nCard, EBenchShape eShape) const
{
    std::vector<std::string> nodes = {"/dev/ttyUSB" + std::to_string(2 * nCard)};
    if (eShape == EBenchShape::kCard)
        nodes.push_back("/dev/ttyUSB" + std::to_string(2 * nCard + 1));
    return nodes;
}

std::string CUdevBus::Ports(int nCard, EBenchShape eShape) const
{
    std::string str;
    for (const std::string& strNode : Nodes(nCard, eShape))
        str += (str.empty() ? "" : ",") + strNode;
    return str;
}

// The device at slot nSlot in umockdev-record text: the USB device, and per serial interface the
// interface, the usb-serial port and its tty.
std::string CUdevBus::Records(int nCard, int nSlot, EBenchShape eShape, CPlugged& plugged) const
{
    const std::string strName = SlotName(nSlot);
    const std::string strUsb = HubPath(strName[2] - '0') + "/" + strName;
    char szSerial[16];
    std::snprintf(szSerial, sizeof szSerial, "VOSTREL%04d", nCard);
    std::ostringstream os;
    os << "P: " << strUsb << "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nA: idVendor=1209\nA: idProduct="
       << BenchProductId(eShape) << "\nA: serial=" << szSerial << "\n\n";
    plugged.strSysPath = "/sys" + strUsb;
    plugged.uevented = {plugged.strSysPath};
    const char* const kInterfaces[] = {"00", "02"};   // the diagnostic port, then the modem
    const std::vector<std::string> nodes = Nodes(nCard, eShape);
    for (size_t n = 0; n < nodes.size(); ++n) {
        const std::string strTty = nodes[n].substr(5);
        const std::string strIntf = strUsb + "/" + strName + ":1." + std::to_string(kInterfaces[n][1] - '0');
        const std::string strPort = strIntf + "/" + strTty;
        os << "P: " << strIntf << "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=option\nA: bInterfaceNumber="
           << kInterfaces[n] << "\nL: driver=" << UpTo(strIntf, "bus/usb/drivers/option") << "\n\n"
           << "P: " << strPort << "\nE: SUBSYSTEM=usb-serial\nL: driver=" << UpTo(strPort, "bus/usb-serial/drivers/option1")
           << "\n\n"
           << "P: " << strPort << "/tty/" << strTty << "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" << strTty
           << "\n\n";
        plugged.uevented.insert(plugged.uevented.end(),
                                {"/sys" + strIntf, "/sys" + strPort, "/sys" + strPort + "/tty/" + strTty});
    }
    plugged.nodes = nodes;
    return os.str();
}

std::string CUdevBus::NodePath(const std::string& strNode) const
{
    gchar* pszRoot = umockdev_testbed_get_root_dir(m_pTestbed);
    const std::string strPath = std::string(pszRoot) + strNode;
    g_free(pszRoot);
    return strPath;
}

// The node is a link to the card's link, so that an open reaches the card's pty whatever pty a
// replug gave it. It is ours, not umockdev's (no "N:" record): umockdev keeps a node it made in a
// table that outlives the device, and refuses it when the device comes back.
bool CUdevBus::LeadToCard(int nCard, const std::string& strNode)
{
    const std::string strPath = NodePath(strNode);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(strPath).parent_path(), ec);
    unlink(strPath.c_str());
    if (symlink(m_cardLinks.at(static_cast<size_t>(nCard)).c_str(), strPath.c_str()) != 0)
        return false;
    UMockdevIoctlBase* pHandler = umockdev_ioctl_base_new();
    g_signal_connect(pHandler, "handle-ioctl", G_CALLBACK(CarryOutInClient), nullptr);
    m_handlers.push_back(pHandler);
    GError* pError = nullptr;
    const bool bOk = umockdev_testbed_attach_ioctl(m_pTestbed, strNode.c_str(), pHandler, &pError);
    g_clear_error(&pError);
    return bOk;
}

// umockdev removes a device's directory but keeps the links that list it (sys/bus/usb/devices/1-1.2,
// sys/class/tty/ttyUSB0), and stops at them when the device comes back.
void CUdevBus::RemoveDanglingLinks()
{
    gchar* pszSys = umockdev_testbed_get_sys_dir(m_pTestbed);
    const std::filesystem::path sys(pszSys);
    g_free(pszSys);
    std::error_code ec;
    for (const char* pszListing : {"bus", "class"})
        for (auto it = std::filesystem::recursive_directory_iterator(sys / pszListing, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            if (it->is_symlink(ec) && !std::filesystem::exists(it->path(), ec))
                std::filesystem::remove(it->path(), ec);
}

bool CUdevBus::Plug(int nCard, int nSlot, EBenchShape eShape, Done done)
{
    if (m_plugged.count(nCard))
        return false;
    CPlugged plugged;
    GError* pError = nullptr;
    if (!umockdev_testbed_add_from_string(m_pTestbed, Records(nCard, nSlot, eShape, plugged).c_str(), &pError)) {
        std::fprintf(stderr, "bench-testbed: card %d: %s\n", nCard, pError ? pError->message : "add failed");
        g_clear_error(&pError);
        return false;
    }
    bool bOk = true;
    for (const std::string& strNode : plugged.nodes)
        bOk = LeadToCard(nCard, strNode) && bOk;
    for (const std::string& strDevice : plugged.uevented)
        umockdev_testbed_uevent(m_pTestbed, strDevice.c_str(), "add");
    m_plugged[nCard] = plugged;
    if (done)
        done();
    return bOk;
}

bool CUdevBus::Unplug(int nCard, Done done)
{
    auto it = m_plugged.find(nCard);
    if (it == m_plugged.end())
        return false;
    // The kernel reports the children before their parents; the uevent needs the device still there.
    for (auto itDevice = it->second.uevented.rbegin(); itDevice != it->second.uevented.rend(); ++itDevice)
        umockdev_testbed_uevent(m_pTestbed, itDevice->c_str(), "remove");
    for (const std::string& strNode : it->second.nodes) {
        GError* pError = nullptr;
        umockdev_testbed_detach_ioctl(m_pTestbed, strNode.c_str(), &pError);
        g_clear_error(&pError);
        unlink(NodePath(strNode).c_str());
    }
    umockdev_testbed_remove_device(m_pTestbed, it->second.strSysPath.c_str());
    RemoveDanglingLinks();
    m_plugged.erase(it);
    if (done)
        done();
    return true;
}
