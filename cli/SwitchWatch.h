#pragma once
// Following one card after a switch: a card that changes mode drops off the bus and comes back as
// another device. It is followed by its slot (where it is plugged in), the one thing that stays
// when ports, instance ids and product ids change; never by counts of devices or product ids.
// Pure: fed with observations of the slot and times, it tells the phase and the verdict.
// One observation never decides: a driver's list being rewritten, or a device being unbound and
// bound again, hides a card that never moved from whoever looks just then. So a card has left only
// when two observations far enough apart both lack it, and is back only when two see it.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/BenchRow.h"
#include "discovery/CardInventory.h"

// What confirms the switch: close-autorun sends the card into download mode, where it comes back
// as another device, so leaving is the proof; open-autorun brings it back as a card, so a card
// that answers "AT" at the same slot is.
enum class ESwitchProof { kLeaves, kReturnsAnswering };

struct CSwitchTimes {
    uint32_t nLeaveMs = 10000;    // from the last command to the card's ports being gone
    uint32_t nReturnMs = 20000;   // from the last command to something back at its slot
};

// A device that came back to the slot, as the listing shows it.
struct CReturnedDevice {
    std::string strVendorId;
    std::string strProductId;
    std::vector<std::string> ports;
};

class CSwitchWatch {
public:
    CSwitchWatch(ESwitchProof eProof, const CInventoryCard& card, const CSwitchTimes& times);

    // What a look begun nBeganMs and done nDoneMs after the last command saw: the devices at the
    // card's slot (a listing of every card will do; only the slot's entry counts). Somewhere in
    // between it read the slot: two looks are as far apart as the first one's end is from the
    // second one's beginning. Phases are timed when the look was done.
    void Observe(const std::vector<CInventoryCard>& cards, uint32_t nBeganMs, uint32_t nDoneMs);
    // A look that took no time.
    void Observe(const std::vector<CInventoryCard>& cards, uint32_t nMs) { Observe(cards, nMs, nMs); }
    // The card back at the slot was asked (CardToAsk): whether it answered "AT", and its IMEI
    // (empty when unknown).
    void NoteAnswer(bool bAnswersAt, const std::string& strImei, uint32_t nMs);

    // When, in ms after the last command, an observation would decide something that the next one
    // at the usual pace might only see later: a second sighting, the device back having been
    // unchanged long enough, or (while the card is away) its return.
    std::optional<uint32_t> DueMs() const;

    // While it is back and must prove itself: the card at the slot as last listed.
    std::optional<CInventoryCard> CardToAsk() const;

    ESwitchPhase Phase() const { return m_ePhase; }
    bool IsFinished() const { return m_bFinished; }
    int Status() const { return m_nStatus; }            // ECliStatus: 0 or kCliNotConfirmed
    const std::string& Message() const { return m_strMessage; }
    // When each of kTimedPhases after "sent" was reached, in ms after the last command.
    std::optional<uint32_t> PhaseMs(ESwitchPhase ePhase) const;

private:
    const CInventoryCard* AtSlot(const std::vector<CInventoryCard>& cards) const;
    // Notes a sighting of the device back (or coming back) at the slot.
    void SeeBack(const CInventoryCard& atSlot, uint32_t nMs);
    bool IsOriginal(const CInventoryCard& card) const;
    void Enter(ESwitchPhase ePhase, uint32_t nMs);
    void Finish(int nStatus, const std::string& strMessage);
    void Stall(const std::string& strWhy);
    std::string ReturnedText() const;
    std::string LeftText() const;

    ESwitchProof m_eProof;
    CInventoryCard m_card;
    CSwitchTimes m_times;
    ESwitchPhase m_ePhase = ESwitchPhase::kSent;
    std::optional<uint32_t> m_nLeftMs, m_nBackMs, m_nSettledMs;
    std::optional<CInventoryCard> m_back;     // the device at the slot once back
    uint32_t m_nLastLookMs = 0;               // when it was last observed
    uint32_t m_nSameSinceMs = 0;              // since when the device back has been seen unchanged
    std::optional<uint32_t> m_nMissedSinceMs; // the end of the first of the looks since that lacked it
    std::optional<uint32_t> m_nSeenSinceMs;   // while left: the end of the first of the looks since that saw a device
    bool m_bFinished = false;
    int m_nStatus = 0;
    std::string m_strMessage;
};

// "1209:0002 with /dev/ttyUSB4": what a listing shows of a device.
std::string DeviceText(const CInventoryCard& card);
