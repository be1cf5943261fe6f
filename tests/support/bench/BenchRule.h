#pragma once
// When a simulated card leaves the bus and what comes back. A real data card re-enumerates after
// the command that enters download mode (it comes back as a one-port download device) or leaves it
// (it comes back as a card), but only once the host has stopped talking to it: the tool sends more
// lines right after AT+YCDRUN=9, so the card waits for a quiet line before it drops off. Both bench
// harnesses (umockdev, Wine) run this one rule; times are milliseconds on the caller's clock.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class EBenchShape { kCard, kDownload };   // what the card shows on the bus

enum class EBenchFault { kNone, kStay, kGone, kMoved, kNewImei, kPull, kBlink };

// kBlink: a card that takes the command and stays, but drops off the bus for this long when it
// would have left, as a card does whose driver's list is rewritten while another card goes, or
// whose interface is unbound and bound again. Long enough for a look at the bus to catch (looks
// are a quarter second apart), too short for two looks a second apart (under Wine it lasts until
// the next regedit run has written the card back).
constexpr int64_t kBenchBlinkMs = 400;

struct CBenchFault {
    EBenchFault eKind = EBenchFault::kNone;
    int64_t nPullMs = 0;   // kPull: how long after the first line it hears it is pulled out
};

// "stay", "gone", "moved", "newimei", "blink", "pull@MS"; nothing for anything else.
std::optional<CBenchFault> ParseBenchFault(const std::string& strText);

struct CBenchAction {
    // kHide and kShow: the card drops off the bus and is there again, unchanged (kBlink).
    enum EKind { kLeave, kBack, kHide, kShow } eKind = kLeave;
    int nCard = 0;
    EBenchShape eShape = EBenchShape::kCard;   // kLeave: what left; kBack: what comes back
    bool bMoved = false;                       // kBack: at another, free slot
    bool bNewImei = false;                     // kBack: with another IMEI
};

class CReenumerationRule {
public:
    CReenumerationRule(int nCards, int64_t nQuietMs, int64_t nReturnMs);

    void SetFault(int nCard, CBenchFault fault) { m_cards.at(static_cast<size_t>(nCard)).fault = fault; }
    // A command line the card received at nNowMs.
    void OnLine(int nCard, const std::string& strLine, int64_t nNowMs);
    // What is due at nNowMs, each action once, in card order.
    std::vector<CBenchAction> Due(int64_t nNowMs);

private:
    enum class EPresence { kPresent, kAway, kHidden, kGoneForGood };
    struct CCard {
        CBenchFault fault;
        EPresence ePresence = EPresence::kPresent;
        EBenchShape eShape = EBenchShape::kCard;
        std::optional<EBenchShape> pendingSwitch;   // heard a mode command; leaves after the quiet time
        int64_t nLastLineMs = 0;
        std::optional<int64_t> nFirstLineMs;   // a pull counts from here, not from the bench's start
        int64_t nReturnAtMs = 0;
    };
    std::optional<CBenchAction> DueFor(int nCard, CCard& c, int64_t nNowMs) const;

    std::vector<CCard> m_cards;
    int64_t m_nQuietMs;
    int64_t m_nReturnMs;
};
