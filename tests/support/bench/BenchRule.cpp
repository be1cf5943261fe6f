#include "BenchRule.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace {

std::string UpperTrimmed(const std::string& str)
{
    size_t nBegin = 0;
    size_t nEnd = str.size();
    while (nBegin < nEnd && std::isspace(static_cast<unsigned char>(str[nBegin])))
        ++nBegin;
    while (nEnd > nBegin && std::isspace(static_cast<unsigned char>(str[nEnd - 1])))
        --nEnd;
    std::string strUpper = str.substr(nBegin, nEnd - nBegin);
    for (char& c : strUpper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return strUpper;
}

// The shape a mode command sends the card off to, if it is one.
std::optional<EBenchShape> SwitchTarget(const std::string& strLine)
{
    const std::string str = UpperTrimmed(strLine);
    if (str == "AT+YCDRUN=8")
        return EBenchShape::kDownload;
    if (str == "AT+YCDRUN=9" || str == "AT+YCDRUN=N")
        return EBenchShape::kCard;
    return std::nullopt;
}

} // namespace

std::optional<CBenchFault> ParseBenchFault(const std::string& strText)
{
    static const std::pair<const char*, EBenchFault> kNames[] = {
        {"stay", EBenchFault::kStay}, {"gone", EBenchFault::kGone}, {"moved", EBenchFault::kMoved},
        {"newimei", EBenchFault::kNewImei}, {"blink", EBenchFault::kBlink}};
    for (const auto& [pszName, eKind] : kNames)
        if (strText == pszName)
            return CBenchFault{eKind, 0};
    const std::string strPull = "pull@";
    if (strText.rfind(strPull, 0) != 0 || strText.size() == strPull.size())
        return std::nullopt;
    CBenchFault fault{EBenchFault::kPull, 0};
    const char* pEnd = strText.data() + strText.size();
    const auto [p, ec] = std::from_chars(strText.data() + strPull.size(), pEnd, fault.nPullMs);
    if (ec != std::errc() || p != pEnd || fault.nPullMs < 0)
        return std::nullopt;
    return fault;
}

CReenumerationRule::CReenumerationRule(int nCards, int64_t nQuietMs, int64_t nReturnMs)
    : m_cards(static_cast<size_t>(std::max(nCards, 0))), m_nQuietMs(nQuietMs), m_nReturnMs(nReturnMs)
{
}

void CReenumerationRule::OnLine(int nCard, const std::string& strLine, int64_t nNowMs)
{
    CCard& c = m_cards.at(static_cast<size_t>(nCard));
    // A download device takes no AT commands, and a card off the bus hears nothing.
    if (c.ePresence != EPresence::kPresent || c.eShape != EBenchShape::kCard)
        return;
    c.nLastLineMs = nNowMs;
    if (!c.nFirstLineMs)
        c.nFirstLineMs = nNowMs;
    if (std::optional<EBenchShape> target = SwitchTarget(strLine))
        c.pendingSwitch = target;
}

std::vector<CBenchAction> CReenumerationRule::Due(int64_t nNowMs)
{
    std::vector<CBenchAction> actions;
    for (size_t n = 0; n < m_cards.size(); ++n)
        if (std::optional<CBenchAction> action = DueFor(static_cast<int>(n), m_cards[n], nNowMs))
            actions.push_back(*action);
    return actions;
}

std::optional<CBenchAction> CReenumerationRule::DueFor(int nCard, CCard& c, int64_t nNowMs) const
{
    const CBenchFault& fault = c.fault;
    if (c.ePresence == EPresence::kGoneForGood)
        return std::nullopt;
    // Counted from the card's first line, so that a slow start of the program under test (a loaded
    // machine, a sanitizer) still finds the card listed and pulls it during its commands or while
    // it is followed, as the scenario means, never before the program has seen it.
    if (fault.eKind == EBenchFault::kPull && c.nFirstLineMs && nNowMs >= *c.nFirstLineMs + fault.nPullMs) {
        const bool bOnBus = c.ePresence == EPresence::kPresent;
        c.ePresence = EPresence::kGoneForGood;
        if (!bOnBus)
            return std::nullopt;   // pulled while away: it simply never comes back
        return CBenchAction{CBenchAction::kLeave, nCard, c.eShape, false, false};
    }
    if (c.ePresence == EPresence::kHidden) {
        if (nNowMs < c.nReturnAtMs)
            return std::nullopt;
        c.ePresence = EPresence::kPresent;
        return CBenchAction{CBenchAction::kShow, nCard, c.eShape, false, false};
    }
    if (c.ePresence == EPresence::kAway) {
        if (nNowMs < c.nReturnAtMs)
            return std::nullopt;
        c.ePresence = EPresence::kPresent;
        return CBenchAction{CBenchAction::kBack, nCard, c.eShape, fault.eKind == EBenchFault::kMoved,
                            fault.eKind == EBenchFault::kNewImei};
    }
    if (!c.pendingSwitch || nNowMs - c.nLastLineMs < m_nQuietMs)
        return std::nullopt;
    const EBenchShape eLeaving = c.eShape;
    c.eShape = *c.pendingSwitch;
    c.pendingSwitch.reset();
    if (fault.eKind == EBenchFault::kStay || fault.eKind == EBenchFault::kBlink) {
        c.eShape = eLeaving;   // takes the command, never leaves the bus (a blink is no departure)
        if (fault.eKind == EBenchFault::kStay)
            return std::nullopt;
        c.ePresence = EPresence::kHidden;
        c.nReturnAtMs = nNowMs + kBenchBlinkMs;
        return CBenchAction{CBenchAction::kHide, nCard, c.eShape, false, false};
    }
    c.ePresence = fault.eKind == EBenchFault::kGone ? EPresence::kGoneForGood : EPresence::kAway;
    c.nReturnAtMs = nNowMs + m_nReturnMs;
    return CBenchAction{CBenchAction::kLeave, nCard, eLeaving, false, false};
}
