// The every-card listing of the drivers' registry entries in the command line's inventory form.
#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <set>

#include "discovery/Discovery.h"
#include "discovery/PortDiscovery.h"
#include "discovery/Slot.h"

namespace {

// The hex digits after strKey ("VID_", "MI_") in the instance path's first two segments, lower
// case; empty when strKey is not there or no digit follows.
std::string HexField(const std::string& strInstancePath, const std::string& strKey)
{
    const size_t nEnd = strInstancePath.rfind('\\');
    const std::string strHardwareId = nEnd == std::string::npos ? std::string() : strInstancePath.substr(0, nEnd);
    size_t nPos = strHardwareId.find(strKey);
    if (nPos == std::string::npos)
        return {};
    nPos += strKey.size();
    std::string strHex;
    while (nPos < strHardwareId.size() && std::isxdigit(static_cast<unsigned char>(strHardwareId[nPos])) && strHex.size() < 4)
        strHex += static_cast<char>(std::tolower(static_cast<unsigned char>(strHardwareId[nPos++])));
    return strHex;
}

CInventoryPort InventoryPort(const CRegistryPort& listed)
{
    CInventoryPort port;
    port.eRole = listed.eRole;
    port.strDevice = listed.nPort && *listed.nPort > 0 ? "COM" + std::to_string(*listed.nPort) : std::string();
    port.strPath = listed.strInstancePath;
    port.strDriver = listed.strService;
    const std::string strInterface = HexField(listed.strInstancePath, "MI_");
    if (!strInterface.empty())
        port.nInterface = std::stoi(strInterface, nullptr, 16);
    return port;
}

std::string EnumPath(const std::string& strDevice)
{
    return "SYSTEM\\CurrentControlSet\\Enum\\" + strDevice;
}

std::optional<std::string> ReadKeyString(IRegistry& registry, const std::string& strPath, const std::string& strName)
{
    RegKeyHolder holder(registry, EKeyAccess::kRead);
    if (!holder.Open(strPath))
        return std::nullopt;
    return ReadStringValue(registry, holder.Get(), strName);
}

bool SameText(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// The USB device an interface instance belongs to: the key under the interface's hardware id
// without its "&MI_xx" whose ParentIdPrefix is the card id. Its path below Enum, empty when none
// is found among the first kMaxDeviceKeys. An instance without "&MI_" is a device itself; one that
// is not on USB has none.
std::string ParentDevice(IRegistry& registry, const std::string& strInstancePath, const std::string& strCardId)
{
    const size_t nSlash = strInstancePath.rfind('\\');
    if (nSlash == std::string::npos)
        return {};
    std::string strHardwareId = strInstancePath.substr(0, nSlash);
    if (!SameText(strHardwareId.substr(0, 4), "USB\\"))
        return {};   // another bus's device: its key name is no USB serial number
    const size_t nMi = strHardwareId.rfind("&MI_");
    if (nMi == std::string::npos)
        return strInstancePath;
    strHardwareId.erase(nMi);
    std::vector<std::string> names;
    {
        RegKeyHolder holder(registry, EKeyAccess::kRead);
        if (!holder.Open(EnumPath(strHardwareId)))
            return {};
        std::string strName;
        for (uint32_t n = 0; n < kMaxDeviceKeys && registry.EnumSubkey(holder.Get(), n, &strName); ++n)
            names.push_back(strName);
    }
    for (const std::string& strName : names) {
        const std::string strDevice = strHardwareId + "\\" + strName;
        const std::optional<std::string> strPrefix = ReadKeyString(registry, EnumPath(strDevice), "ParentIdPrefix");
        if (strPrefix && SameText(*strPrefix, strCardId))
            return strDevice;
    }
    return {};
}

// The card's slot from its interfaces' topology addresses, else from its USB device's hub port;
// and its serial number, the device key's name when Windows named it by one (no '&' in it).
void ReadSlotAndSerial(IRegistry& registry, const CRegistryCard& listed, CInventoryCard& card)
{
    if (listed.ports.empty())
        return;
    for (const CRegistryPort& port : listed.ports) {
        if (std::optional<std::string> strLocation = ReadKeyString(registry, EnumPath(port.strInstancePath), "LocationInformation"))
            card.strSlot = SlotOfTopologyAddress(*strLocation);
        if (!card.strSlot.empty())
            break;
    }
    const std::string strDevice = ParentDevice(registry, listed.ports.front().strInstancePath, listed.strId);
    if (strDevice.empty())
        return;
    const std::string strName = strDevice.substr(strDevice.rfind('\\') + 1);
    if (strName.find('&') == std::string::npos)
        card.strSerial = strName;
    if (card.strSlot.empty()) {
        if (std::optional<std::string> strLocation = ReadKeyString(registry, EnumPath(strDevice), "LocationInformation"))
            card.strSlot = SlotOfHubPort(*strLocation);
    }
}

} // namespace

std::vector<CInventoryCard> RegistryInventory(IRegistry& registry)
{
    std::vector<CInventoryCard> cards;
    for (const CRegistryCard& listed : ListRegistryCards(registry)) {
        CInventoryCard card;
        card.strId = listed.strId;
        for (const CRegistryPort& port : listed.ports) {
            if (card.strVendorId.empty())
                card.strVendorId = HexField(port.strInstancePath, "VID_");
            if (card.strProductId.empty())
                card.strProductId = HexField(port.strInstancePath, "PID_");
            card.ports.push_back(InventoryPort(port));
        }
        ReadSlotAndSerial(registry, listed, card);
        cards.push_back(std::move(card));
    }
    return cards;
}

std::vector<CInventoryCard> LookAtRegistrySlots(IRegistry& registry, const std::vector<CInventoryCard>& followed)
{
    // Each followed driver's list, read once for all the cards it serves.
    std::map<std::string, std::vector<std::string>> listed;
    for (const CInventoryCard& card : followed)
        for (const CInventoryPort& port : card.ports)
            listed.emplace(port.strDriver, std::vector<std::string>());
    for (auto& [strService, instances] : listed) {
        RegKeyHolder holder(registry, EKeyAccess::kRead);
        const std::optional<uint32_t> nCount = ReadServiceCount(holder, registry, strService);
        for (uint32_t n = 0; nCount && n < std::min(*nCount, kMaxListedInstances); ++n)
            if (std::optional<std::string> strPath = ReadStringValue(registry, holder.Get(), std::to_string(n)))
                instances.push_back(std::move(*strPath));
    }
    std::vector<CInventoryCard> found;
    std::set<std::string> missing;
    for (const CInventoryCard& card : followed) {
        const bool bThere = !card.ports.empty() && std::all_of(card.ports.begin(), card.ports.end(), [&](const CInventoryPort& port) {
            const std::vector<std::string>& instances = listed[port.strDriver];
            return std::any_of(instances.begin(), instances.end(), [&](const std::string& str) { return SameText(str, port.strPath); });
        });
        if (bThere)
            found.push_back(card);
        else
            missing.insert(card.strSlot);
    }
    if (missing.empty())
        return found;
    for (CInventoryCard& card : RegistryInventory(registry))
        if (missing.count(card.strSlot))
            found.push_back(std::move(card));
    return found;
}
