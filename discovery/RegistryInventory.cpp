// The every-card listing of the drivers' registry entries in the command line's inventory form.
#include <cctype>

#include "discovery/Discovery.h"

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

CInventoryPort InventoryPort(const CListedPort& listed)
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

} // namespace

std::vector<CInventoryCard> RegistryInventory(IRegistry& registry)
{
    std::vector<CInventoryCard> cards;
    for (const CListedCard& listed : ListCards(registry)) {
        CInventoryCard card;
        card.strId = listed.strId;
        for (const CListedPort& port : listed.ports) {
            if (card.strVendorId.empty())
                card.strVendorId = HexField(port.strInstancePath, "VID_");
            if (card.strProductId.empty())
                card.strProductId = HexField(port.strInstancePath, "PID_");
            card.ports.push_back(InventoryPort(port));
        }
        cards.push_back(std::move(card));
    }
    return cards;
}
