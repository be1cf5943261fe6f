#include "cli/Output.h"

#include <algorithm>
#include <cstdio>

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
    if (!port.strProbeFailure.empty())
        str += "  cannot be asked: " + port.strProbeFailure;
    else if (port.bAnswersAt)
        str += *port.bAnswersAt ? "  answers AT" : "  no answer to AT";
    return str;
}

std::string KnownOr(const std::string& str, const char* pszUnknown)
{
    return str.empty() ? pszUnknown : PrintableText(str);
}

// Why a value is unknown, after "unknown": " (no answer)".
std::string ReasonText(const std::string& strValue, const std::string& strReason)
{
    return strValue.empty() && !strReason.empty() ? " (" + PrintableText(strReason) + ")" : "";
}

std::string LabelOf(const CSlotLabels* pLabels, const std::string& strSlot)
{
    return pLabels && !strSlot.empty() ? pLabels->LabelOf(strSlot) : std::string();
}

nlohmann::json ExchangeJson(const CExchange& x)
{
    // A card that sent no answer line has no answer: null, never a text a card could also send.
    // Each write is an exchange of its own: a resend has "attempt" 2.
    const CCardReply& reply = x.reply;
    return {{"command", x.strCommand},
            {"attempt", x.nAttempt},
            {"answer", reply.answerLine ? nlohmann::json(*reply.answerLine) : nlohmann::json(nullptr)},
            {"answered", reply.Answered()},
            {"result", reply.Answered() ? nlohmann::json(reply.strResult) : nlohmann::json(nullptr)},
            {"unsolicited", reply.unsolicited},
            {"stale", reply.strStale.empty() ? nlohmann::json(nullptr) : nlohmann::json(reply.strStale)},
            {"reply_bytes", x.nReplyBytes},
            {"sent", x.bSent}};
}

nlohmann::json SwitchJson(const CBenchRow& row)
{
    nlohmann::json j = {{"phase", SwitchPhaseName(row.ePhase)}, {"message", row.strSwitchMessage}};
    nlohmann::json jSeconds = nlohmann::json::object();
    for (size_t n = 0; n < kTimedPhases.size(); ++n)
        jSeconds[SwitchPhaseName(kTimedPhases[n])] = row.phaseSeconds[n] ? nlohmann::json(*row.phaseSeconds[n]) : nlohmann::json(nullptr);
    j["seconds"] = jSeconds;
    return j;
}

// A string that is not UTF-8 with its backslashes doubled and each stray byte as \xNN; one that is
// stays as it is.
std::string JsonSafeString(const std::string& str)
{
    bool bValid = true;
    for (size_t n = 0; n < str.size() && bValid; n += std::max<size_t>(Utf8Length(str, n), 1))
        bValid = Utf8Length(str, n) != 0;
    if (bValid)
        return str;
    std::string strText;
    for (size_t n = 0; n < str.size();) {
        const size_t nLength = Utf8Length(str, n);
        if (nLength == 0 || str[n] == '\\')
            strText += EscapeBytes(str.substr(n, 1));
        else
            strText.append(str, n, nLength);
        n += std::max<size_t>(nLength, 1);
    }
    return strText;
}

nlohmann::json JsonSafe(const nlohmann::json& j)
{
    if (j.is_string())
        return JsonSafeString(j.get_ref<const std::string&>());
    if (j.is_array()) {
        nlohmann::json jCopy = nlohmann::json::array();
        for (const nlohmann::json& jItem : j)
            jCopy.push_back(JsonSafe(jItem));
        return jCopy;
    }
    if (j.is_object()) {
        nlohmann::json jCopy = nlohmann::json::object();
        for (const auto& [strKey, jValue] : j.items())
            jCopy[JsonSafeString(strKey)] = JsonSafe(jValue);
        return jCopy;
    }
    return j;
}

} // namespace

std::string JsonDumpText(const nlohmann::json& j, int nIndent)
{
    const std::string strDump = JsonSafe(j).dump(nIndent);
    // The dump is UTF-8 now, and these characters occur only inside its strings.
    std::string strText;
    for (size_t n = 0; n < strDump.size();) {
        const size_t nLength = std::max<size_t>(Utf8Length(strDump, n), 1);
        if (nLength > 1 && IsHiddenControl(strDump, n, nLength)) {
            const unsigned char c0 = static_cast<unsigned char>(strDump[n]);
            const unsigned char c1 = static_cast<unsigned char>(strDump[n + 1]);
            const unsigned nCode = nLength == 2 ? ((c0 & 0x1Fu) << 6) | (c1 & 0x3Fu)
                                                : ((c0 & 0x0Fu) << 12) | ((c1 & 0x3Fu) << 6) |
                                                      (static_cast<unsigned char>(strDump[n + 2]) & 0x3Fu);
            char sz[8];
            std::snprintf(sz, sizeof sz, "\\u%04x", nCode);
            strText += sz;
        } else {
            strText.append(strDump, n, nLength);
        }
        n += nLength;
    }
    return strText;
}

std::vector<std::string> ListLines(const std::vector<CInventoryCard>& cards, const CSlotLabels* pLabels, bool bIdentity)
{
    std::vector<std::string> lines;
    for (const CInventoryCard& card : cards) {
        std::string str = "card " + PrintableText(card.strId);
        if (!card.strSlot.empty())
            str += "  slot " + PrintableText(card.strSlot);
        if (const std::string strLabel = LabelOf(pLabels, card.strSlot); !strLabel.empty())
            str += " (" + PrintableText(strLabel) + ")";
        if (!card.strVendorId.empty() || !card.strProductId.empty())
            str += "  usb " + card.strVendorId + ":" + card.strProductId;
        if (!card.strSerial.empty())
            str += "  serial " + PrintableText(card.strSerial);
        if (bIdentity)
            str += "  model " + KnownOr(card.strModel, "unknown") + "  imei " + KnownOr(card.strImei, "unknown");
        lines.push_back(str);
        for (const CInventoryPort& port : card.ports)
            lines.push_back(PrintableText(PortLine(port)));
    }
    return lines;
}

nlohmann::json ListJson(const std::vector<CInventoryCard>& cards, const CSlotLabels* pLabels)
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
            if (!port.strProbeFailure.empty())
                jPort["probe_error"] = port.strProbeFailure;
            jPorts.push_back(jPort);
        }
        jCards.push_back({{"id", card.strId}, {"slot", TextOrNull(card.strSlot)},
                          {"label", TextOrNull(LabelOf(pLabels, card.strSlot))}, {"vendor_id", card.strVendorId},
                          {"product_id", card.strProductId}, {"serial", card.strSerial},
                          {"model", TextOrNull(card.strModel)}, {"imei", TextOrNull(card.strImei)}, {"ports", jPorts}});
    }
    return jCards;
}

std::string OutcomeLine(const std::string& strCommand, const CBenchRow& outcome)
{
    std::string str = outcome.strPort.empty() ? std::string("(no port)") : outcome.strPort;
    std::vector<std::string> about;
    if (!outcome.strCard.empty())
        about.push_back("card " + PrintableText(outcome.strCard));
    if (!outcome.strSlot.empty())
        about.push_back("slot " + PrintableText(outcome.strSlot) +
                        (outcome.strLabel.empty() ? "" : " " + PrintableText(outcome.strLabel)));
    if (!outcome.identityExchanges.empty()) {
        about.push_back("model " + KnownOr(outcome.strModel, "unknown") + ReasonText(outcome.strModel, outcome.strModelUnknown));
        about.push_back("imei " + KnownOr(outcome.strImei, "unknown") + ReasonText(outcome.strImei, outcome.strImeiUnknown));
    }
    for (size_t n = 0; n < about.size(); ++n)
        str += (n == 0 ? " (" : ", ") + about[n] + (n + 1 == about.size() ? ")" : "");
    str += ": " + strCommand + ": ";
    if (outcome.nStatus == kCliOk)
        return str + outcome.strMessage;
    return str + "failed (" + std::to_string(outcome.nStatus) + "): " + outcome.strMessage;
}

namespace {

// For each value that more than one of the named items has: "cards A and B and C give the same
// <what> <value>: tell them apart by their slots". Items with no value are left out.
std::vector<std::string> SharedValueWarnings(const std::vector<std::pair<std::string, std::string>>& named,
                                             const std::string& strWhat)
{
    std::vector<std::string> warnings;
    for (size_t n = 0; n < named.size(); ++n) {
        const std::string& strValue = named[n].second;
        if (strValue.empty())
            continue;
        bool bSeenBefore = false;
        size_t nSharing = 0;
        std::string strNames;
        for (size_t m = 0; m < named.size(); ++m) {
            if (named[m].second != strValue)
                continue;
            bSeenBefore = bSeenBefore || m < n;
            ++nSharing;
            strNames += (strNames.empty() ? "" : " and ") + PrintableText(named[m].first);
        }
        if (!bSeenBefore && nSharing > 1)
            warnings.push_back("cards " + strNames + " give the same " + strWhat + " " + PrintableText(strValue) +
                               ": tell them apart by their slots");
    }
    return warnings;
}

} // namespace

std::vector<std::string> DuplicateSerialWarnings(const std::vector<CInventoryCard>& cards)
{
    std::vector<std::pair<std::string, std::string>> named;
    for (const CInventoryCard& card : cards)
        named.emplace_back(card.strId, card.strSerial);
    return SharedValueWarnings(named, "USB serial number");
}

std::vector<std::string> DuplicateImeiWarnings(const std::vector<CInventoryCard>& cards)
{
    std::vector<std::pair<std::string, std::string>> named;
    for (const CInventoryCard& card : cards)
        named.emplace_back(card.strId, card.strImei);
    return SharedValueWarnings(named, "IMEI");
}

std::vector<std::string> DuplicateImeiWarnings(const std::vector<CBenchRow>& outcomes)
{
    std::vector<std::pair<std::string, std::string>> named;
    for (const CBenchRow& outcome : outcomes)
        named.emplace_back(outcome.strCard.empty() ? outcome.strPort : outcome.strCard, outcome.strImei);
    return SharedValueWarnings(named, "IMEI");
}

std::string SummaryLine(const std::vector<CBenchRow>& outcomes)
{
    size_t nOk = 0;
    for (const CBenchRow& outcome : outcomes)
        nOk += outcome.nStatus == kCliOk ? 1 : 0;
    return std::to_string(outcomes.size()) + (outcomes.size() == 1 ? " card: " : " cards: ") + std::to_string(nOk) +
           " ok, " + std::to_string(outcomes.size() - nOk) + " failed";
}

nlohmann::json ReportJson(const CCliReport& report)
{
    nlohmann::json jResults = nlohmann::json::array();
    for (const CBenchRow& outcome : report.outcomes) {
        nlohmann::json jExchanges = nlohmann::json::array();
        for (const CExchange& x : outcome.exchanges)
            jExchanges.push_back(ExchangeJson(x));
        nlohmann::json jResult = {{"card", outcome.strCard}, {"port", outcome.strPort},
                                  {"slot", TextOrNull(outcome.strSlot)}, {"label", TextOrNull(outcome.strLabel)},
                                  {"status", outcome.nStatus}, {"ok", outcome.nStatus == kCliOk},
                                  {"message", outcome.strMessage}, {"exchanges", jExchanges}};
        if (!outcome.identityExchanges.empty()) {
            nlohmann::json jAsked = nlohmann::json::array();
            for (const CExchange& x : outcome.identityExchanges)
                jAsked.push_back(ExchangeJson(x));
            jResult["identity"] = {{"model", TextOrNull(outcome.strModel)}, {"imei", TextOrNull(outcome.strImei)},
                                   {"model_unknown", TextOrNull(outcome.strModel.empty() ? outcome.strModelUnknown : "")},
                                   {"imei_unknown", TextOrNull(outcome.strImei.empty() ? outcome.strImeiUnknown : "")},
                                   {"exchanges", jAsked}};
        }
        if (outcome.bFollowed)
            jResult["switch"] = SwitchJson(outcome);
        nlohmann::json jHolders = nlohmann::json::array();
        for (const CPortHolder& holder : outcome.holders)
            jHolders.push_back({{"pid", holder.nPid}, {"name", holder.strName}, {"port", holder.strDevice}});
        jResult["holders"] = jHolders;
        jResult["modem_manager_inhibited"] = outcome.bModemManagerInhibited;
        jResults.push_back(jResult);
    }
    nlohmann::json j = {{"command", report.strCommand.empty() ? nlohmann::json(nullptr) : nlohmann::json(report.strCommand)},
                        {"status", report.nStatus},
                        {"message", report.strMessage},
                        {"results", jResults},
                        {"warnings", report.warnings}};
    if (report.pCards)
        j["cards"] = ListJson(*report.pCards, report.pLabels);
    return j;
}
