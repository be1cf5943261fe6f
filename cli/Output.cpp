#include "cli/Output.h"

#include "cli/CliStatus.h"
#include "cli/Transcript.h"

namespace {

std::string PortLine(const CInventoryPort& port)
{
    std::string str = "  " + (port.strDevice.empty() ? std::string("(no port name)") : port.strDevice) + "  " +
                      PortRoleName(port.eRole);
    if (port.nInterface)
        str += "  interface " + std::to_string(*port.nInterface);
    if (!port.strDriver.empty())
        str += "  " + port.strDriver;
    if (!port.strPath.empty())
        str += "  " + port.strPath;
    if (port.bAnswersAt)
        str += *port.bAnswersAt ? "  answers AT" : "  no answer to AT";
    return str;
}

// Text from the outside (registry values, USB descriptors) with control bytes made visible, so
// that a value cannot break or forge a line of the listing.
std::string Printable(const std::string& str)
{
    std::string strText;
    for (unsigned char ch : str) {
        if (ch >= 0x20 && ch != 0x7F)
            strText += static_cast<char>(ch);
        else
            strText += EscapeBytes(std::string(1, static_cast<char>(ch)));
    }
    return strText;
}

} // namespace

std::vector<std::string> ListLines(const std::vector<CInventoryCard>& cards)
{
    std::vector<std::string> lines;
    for (const CInventoryCard& card : cards) {
        std::string str = "card " + Printable(card.strId);
        if (!card.strVendorId.empty() || !card.strProductId.empty())
            str += "  usb " + card.strVendorId + ":" + card.strProductId;
        if (!card.strSerial.empty())
            str += "  serial " + Printable(card.strSerial);
        lines.push_back(str);
        for (const CInventoryPort& port : card.ports)
            lines.push_back(Printable(PortLine(port)));
    }
    return lines;
}

nlohmann::json ListJson(const std::vector<CInventoryCard>& cards)
{
    nlohmann::json jCards = nlohmann::json::array();
    for (const CInventoryCard& card : cards) {
        nlohmann::json jPorts = nlohmann::json::array();
        for (const CInventoryPort& port : card.ports) {
            nlohmann::json jPort = {{"device", port.strDevice}, {"role", PortRoleName(port.eRole)},
                                    {"path", port.strPath}, {"driver", port.strDriver}};
            jPort["interface"] = port.nInterface ? nlohmann::json(*port.nInterface) : nlohmann::json(nullptr);
            if (port.bAnswersAt)
                jPort["answers_at"] = *port.bAnswersAt;
            jPorts.push_back(jPort);
        }
        jCards.push_back({{"id", card.strId}, {"vendor_id", card.strVendorId}, {"product_id", card.strProductId},
                          {"serial", card.strSerial}, {"ports", jPorts}});
    }
    return {{"cards", jCards}};
}

std::string OutcomeLine(ECliCommand eCommand, const CCardOutcome& outcome)
{
    std::string str = outcome.strPort.empty() ? std::string("(no port)") : outcome.strPort;
    if (!outcome.strCard.empty())
        str += " (card " + Printable(outcome.strCard) + ")";
    str += std::string(": ") + CliCommandName(eCommand) + ": ";
    if (outcome.nStatus == kCliOk)
        return str + outcome.strMessage;
    return str + "failed (" + std::to_string(outcome.nStatus) + "): " + outcome.strMessage;
}

std::string SummaryLine(const std::vector<CCardOutcome>& outcomes)
{
    size_t nOk = 0;
    for (const CCardOutcome& outcome : outcomes)
        nOk += outcome.nStatus == kCliOk ? 1 : 0;
    return std::to_string(outcomes.size()) + (outcomes.size() == 1 ? " card: " : " cards: ") + std::to_string(nOk) +
           " ok, " + std::to_string(outcomes.size() - nOk) + " failed";
}

nlohmann::json OutcomesJson(ECliCommand eCommand, const std::vector<CCardOutcome>& outcomes, int nStatus)
{
    nlohmann::json jResults = nlohmann::json::array();
    for (const CCardOutcome& outcome : outcomes) {
        nlohmann::json jExchanges = nlohmann::json::array();
        for (const CExchange& x : outcome.exchanges)
            jExchanges.push_back({{"command", x.strCommand}, {"answer", x.strAnswer}, {"sent", x.bSent}});
        jResults.push_back({{"card", outcome.strCard}, {"port", outcome.strPort}, {"status", outcome.nStatus},
                            {"ok", outcome.nStatus == kCliOk}, {"message", outcome.strMessage},
                            {"exchanges", jExchanges}});
    }
    return {{"command", CliCommandName(eCommand)}, {"status", nStatus}, {"results", jResults}};
}
