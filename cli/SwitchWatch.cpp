#include "cli/SwitchWatch.h"

#include <algorithm>
#include <cstdio>

#include "cli/CliStatus.h"
#include "cli/Transcript.h"

namespace {

// A device back at the slot counts as settled once two looks this far apart show it unchanged:
// a re-enumerating card adds its interfaces one by one.
constexpr uint32_t kSettleMs = 1000;

// A card has left when two looks this far apart both lack it. Longer than a driver's list stays
// half written while another card comes or goes: udev unbinds and binds an interface within
// milliseconds, but a list rewritten by separate registry writes (a regedit run under Wine) can
// lack a card for a few hundred ms on a busy machine. Far shorter than a switching card stays away
// (seconds), so a real departure is never missed, and it costs no time: a departing card's
// verdict waits for what comes back anyway.
constexpr uint32_t kLeftConfirmMs = 1000;

// A device is back when two looks see it, the second begun at least this long after the first was
// done: any later look, as the row should show a return at once (a device caught while it is being
// removed again is missed by a later look, which takes the back time away again).
constexpr uint32_t kBackConfirmMs = 1;

// While a card is away its slot is looked at this often, sooner than the usual pace: with the
// second look above, a return shows in the card's row within a third of a second.
constexpr uint32_t kAwayLookMs = 100;

std::vector<std::string> PortDevices(const CInventoryCard& card)
{
    std::vector<std::string> ports;
    for (const CInventoryPort& port : card.ports)
        ports.push_back(port.strDevice);
    std::sort(ports.begin(), ports.end());
    return ports;
}

bool SameDevice(const CInventoryCard& a, const CInventoryCard& b)
{
    return a.strVendorId == b.strVendorId && a.strProductId == b.strProductId && PortDevices(a) == PortDevices(b);
}

// "1 s", "0.5 s": tenths only where there are some.
std::string Seconds(uint32_t nMs)
{
    char sz[32];
    if (nMs % 1000 >= 100)
        std::snprintf(sz, sizeof sz, "%u.%u s", static_cast<unsigned>(nMs / 1000), static_cast<unsigned>(nMs % 1000 / 100));
    else
        std::snprintf(sz, sizeof sz, "%u s", static_cast<unsigned>(nMs / 1000));
    return sz;
}

} // namespace

std::string DeviceText(const CInventoryCard& card)
{
    std::string str = card.strVendorId + ":" + card.strProductId;
    std::string strPorts;
    for (const std::string& strPort : PortDevices(card))
        strPorts += (strPorts.empty() ? "" : " ") + (strPort.empty() ? std::string("(no port name)") : strPort);
    return PrintableText(str + (strPorts.empty() ? " with no port" : " with " + strPorts));
}

CSwitchWatch::CSwitchWatch(ESwitchProof eProof, const CInventoryCard& card, const CSwitchTimes& times)
    : m_eProof(eProof), m_card(card), m_times(times)
{
    if (m_card.strSlot.empty())
        Finish(kCliNotConfirmed, "stalled in sent: the card's slot is unknown, so it cannot be followed");
}

std::optional<uint32_t> CSwitchWatch::PhaseMs(ESwitchPhase ePhase) const
{
    switch (ePhase) {
    case ESwitchPhase::kSent: return 0u;
    case ESwitchPhase::kLeft: return m_nLeftMs;
    case ESwitchPhase::kBack: return m_nBackMs;
    case ESwitchPhase::kSettled: return m_nSettledMs;
    default: return std::nullopt;
    }
}

const CInventoryCard* CSwitchWatch::AtSlot(const std::vector<CInventoryCard>& cards) const
{
    auto it = std::find_if(cards.begin(), cards.end(), [&](const CInventoryCard& c) { return c.strSlot == m_card.strSlot; });
    return it == cards.end() ? nullptr : &*it;
}

bool CSwitchWatch::IsOriginal(const CInventoryCard& card) const
{
    return SameDevice(card, m_card);
}

void CSwitchWatch::Enter(ESwitchPhase ePhase, uint32_t nMs)
{
    m_ePhase = ePhase;
    if (ePhase == ESwitchPhase::kLeft)
        m_nLeftMs = nMs;
    else if (ePhase == ESwitchPhase::kBack)
        m_nBackMs = nMs;
    else if (ePhase == ESwitchPhase::kSettled)
        m_nSettledMs = nMs;
}

void CSwitchWatch::Finish(int nStatus, const std::string& strMessage)
{
    m_bFinished = true;
    m_nStatus = nStatus;
    m_strMessage = strMessage;
}

void CSwitchWatch::Stall(const std::string& strWhy)
{
    Finish(kCliNotConfirmed, std::string("stalled in ") + SwitchPhaseName(m_ePhase) + ": " + strWhy);
}

std::string CSwitchWatch::ReturnedText() const
{
    return m_back ? DeviceText(*m_back) : std::string("nothing");
}

std::string CSwitchWatch::LeftText() const
{
    return m_nLeftMs ? "left after " + Seconds(*m_nLeftMs) : "did not leave";
}

void CSwitchWatch::SeeBack(const CInventoryCard& atSlot, uint32_t nMs)
{
    if (!m_back || !SameDevice(atSlot, *m_back)) {
        m_back = atSlot;
        m_nSameSinceMs = nMs;
    }
}

void CSwitchWatch::Observe(const std::vector<CInventoryCard>& cards, uint32_t nBeganMs, uint32_t nMs)
{
    if (m_bFinished)
        return;
    m_nLastLookMs = nMs;
    const CInventoryCard* pAtSlot = AtSlot(cards);
    const std::string strSlot = "slot " + PrintableText(m_card.strSlot);
    switch (m_ePhase) {
    case ESwitchPhase::kSent:
        if (!pAtSlot || !IsOriginal(*pAtSlot)) {
            // Gone, or already another device there; left once a later look agrees.
            if (!m_nMissedSinceMs)
                m_nMissedSinceMs = nMs;
            if (static_cast<int32_t>(nBeganMs - *m_nMissedSinceMs) < static_cast<int32_t>(kLeftConfirmMs))
                return;
            m_nMissedSinceMs.reset();
            Enter(ESwitchPhase::kLeft, nMs);
            return Observe(cards, nBeganMs, nMs);
        }
        m_nMissedSinceMs.reset();
        if (nMs < m_times.nLeaveMs)
            return;
        if (m_eProof == ESwitchProof::kLeaves)
            return Stall("the card's ports are still listed after " + Seconds(m_times.nLeaveMs));
        // A card that stays may have switched without leaving: it proves itself by answering.
        SeeBack(*pAtSlot, nMs);
        Enter(ESwitchPhase::kBack, nMs);
        return;
    case ESwitchPhase::kLeft:
        if (pAtSlot) {
            SeeBack(*pAtSlot, nMs);
            if (!m_nSeenSinceMs)
                m_nSeenSinceMs = nMs;
            if (static_cast<int32_t>(nBeganMs - *m_nSeenSinceMs) < static_cast<int32_t>(kBackConfirmMs))
                return;
            m_nSeenSinceMs.reset();
            Enter(ESwitchPhase::kBack, nMs);
            return Observe(cards, nBeganMs, nMs);
        }
        m_nSeenSinceMs.reset();
        m_back.reset();
        if (nMs < m_times.nReturnMs)
            return;
        if (m_eProof == ESwitchProof::kLeaves)
            return Finish(kCliOk, LeftText() + "; nothing came back at " + strSlot + " within " + Seconds(m_times.nReturnMs));
        return Stall("nothing came back at " + strSlot + " within " + Seconds(m_times.nReturnMs));
    case ESwitchPhase::kBack:
        if (!pAtSlot) {
            // Gone again: a card may re-enumerate more than once. It is back only once it is there
            // to stay, so a second look without it takes the back time away.
            if (!m_nMissedSinceMs)
                m_nMissedSinceMs = nMs;
            if (static_cast<int32_t>(nBeganMs - *m_nMissedSinceMs) < static_cast<int32_t>(kLeftConfirmMs))
                return;
            m_nMissedSinceMs.reset();
            m_back.reset();
            m_nBackMs.reset();
            m_ePhase = ESwitchPhase::kLeft;
            return Observe(cards, nBeganMs, nMs);
        }
        m_nMissedSinceMs.reset();
        SeeBack(*pAtSlot, nMs);
        if (m_eProof == ESwitchProof::kLeaves) {
            if (nMs - m_nSameSinceMs >= kSettleMs || nMs >= m_times.nReturnMs) {
                Enter(ESwitchPhase::kSettled, nMs);
                Finish(kCliOk, LeftText() + "; back at " + strSlot + " as " + ReturnedText());
            }
            return;
        }
        if (nMs >= m_times.nReturnMs)
            return Stall("the device at " + strSlot + " (" + ReturnedText() + ") does not answer AT");
        return;
    default:
        return;
    }
}

std::optional<uint32_t> CSwitchWatch::DueMs() const
{
    if (m_bFinished)
        return std::nullopt;
    if (m_nMissedSinceMs)
        return *m_nMissedSinceMs + kLeftConfirmMs;
    if (m_nSeenSinceMs)
        return *m_nSeenSinceMs + kBackConfirmMs;
    if (m_ePhase == ESwitchPhase::kLeft)
        return m_nLastLookMs + kAwayLookMs;
    if (m_eProof != ESwitchProof::kLeaves || m_ePhase != ESwitchPhase::kBack)
        return std::nullopt;
    return m_nSameSinceMs + kSettleMs;
}

std::optional<CInventoryCard> CSwitchWatch::CardToAsk() const
{
    // Not while the last look missed it: nothing is there to ask until a look sees it again.
    if (m_bFinished || m_eProof != ESwitchProof::kReturnsAnswering || m_ePhase != ESwitchPhase::kBack || m_nMissedSinceMs)
        return std::nullopt;
    return m_back;
}

void CSwitchWatch::NoteAnswer(bool bAnswersAt, const std::string& strImei, uint32_t nMs)
{
    if (!CardToAsk())
        return;
    const std::string strSlot = "slot " + PrintableText(m_card.strSlot);
    if (!bAnswersAt) {
        if (nMs >= m_times.nReturnMs)
            Stall("the device at " + strSlot + " (" + ReturnedText() + ") does not answer AT");
        return;
    }
    if (!strImei.empty() && !m_card.strImei.empty() && strImei != m_card.strImei)
        return Stall("another card answers at " + strSlot + ": IMEI " + PrintableText(strImei) + ", not " +
                     PrintableText(m_card.strImei));
    Enter(ESwitchPhase::kSettled, nMs);
    std::string strMessage = LeftText() + "; back at " + strSlot + ", answers AT";
    if (!strImei.empty() && !m_card.strImei.empty())
        strMessage += ", same IMEI";
    Finish(kCliOk, strMessage);
}
