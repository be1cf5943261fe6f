#pragma once
// Running a command on many cards at once: how many run together and how far apart they start,
// and, after a switch, following each card through the listings that all of them share.
#include <condition_variable>
#include <functional>
#include <string>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "cli/SwitchWatch.h"
#include "cli/Transcript.h"
#include "discovery/CardInventory.h"
#include "platform/Clock.h"

// Runs work(n) for every n below nCount, each on a thread of its own: at most nJobs at once (0: no
// limit), and each start at least nStaggerMs after the one before, in order. Waits go through the
// clock, so an interruption ends them; work that starts after it is expected to see it and stop.
void RunLimited(size_t nCount, size_t nJobs, uint32_t nStaggerMs, IClock& clock, const std::function<void(size_t)>& work);

// The followed cards' slots, looked at together for all of them: every nPeriodMs while anybody is
// followed, and sooner when a follower wants a look at a given time. Each look is at the followed
// slots only, so that following 32 cards costs a look at 32 slots, not a listing of every device.
class CListingPoller {
public:
    struct CListing {
        unsigned long nVersion = 0;
        uint32_t nTick = 0;                  // the clock's tick when the look began
        uint32_t nDoneTick = 0;              // and when it was done: when what it shows was known
        std::vector<std::string> slots;      // the slots looked at
        std::vector<CInventoryCard> cards;   // what was at them
    };
    // What is at the followed cards' slots (LookAtPlatformSlots).
    using Look = std::function<std::vector<CInventoryCard>(const std::vector<CInventoryCard>&)>;

    CListingPoller(Look look, IClock& clock, uint32_t nPeriodMs);
    ~CListingPoller();
    CListingPoller(const CListingPoller&) = delete;
    CListingPoller& operator=(const CListingPoller&) = delete;

    // The card's slot is looked at from the next look on, until Unfollow.
    void Follow(const CInventoryCard& card);
    void Unfollow(const CInventoryCard& card);
    // The first look begun at or after nTick; waits for it. Returns at once, with the last look,
    // once the program is interrupted.
    CListing NextAfter(uint32_t nTick);
    // Asks for a look to begin at nTick (or soon after), sooner than the usual pace would.
    void Want(uint32_t nTick);

private:
    void Poll();

    Look m_look;
    IClock& m_clock;
    uint32_t m_nPeriodMs;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<CInventoryCard> m_followed;
    CListing m_last;
    bool m_bHaveListing = false;
    bool m_bStop = false;
    std::optional<uint32_t> m_nWanted;   // the earliest tick a look is wanted at
    std::thread m_thread;
};

// What following one card needs: the shared looks, the clock, the times, a way to ask the card
// found back at the slot (whether it answers "AT", and its IMEI), and who to tell of each step.
struct CFollowContext {
    CListingPoller* pPoller = nullptr;
    IClock* pClock = nullptr;
    CSwitchTimes times;
    std::function<std::pair<bool, std::string>(const CInventoryCard&)> askCard;
    std::function<void(const CSwitchWatch&)> onStep;
    // Each look at the card's slot is noted here, when it began and was done (may be null).
    CTranscript* pTranscript = nullptr;
};

// Follows the card from now (its last command just answered) until its switch is confirmed or has
// stalled, or the program is interrupted (the watch is then unfinished).
CSwitchWatch FollowSwitch(ESwitchProof eProof, const CInventoryCard& card, const CFollowContext& ctx);
