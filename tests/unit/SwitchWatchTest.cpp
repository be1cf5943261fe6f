// CSwitchWatch: a switched card is followed by its slot through sent -> left -> back -> settled,
// and the switch is confirmed or stalls in the phase where the card stopped.
#include <gtest/gtest.h>

#include <string>

#include "cli/CliStatus.h"
#include "cli/SwitchWatch.h"

namespace {

CInventoryCard Card(const std::string& strSlot, const std::string& strProduct, std::vector<std::string> devices,
                    const std::string& strImei = "")
{
    CInventoryCard card;
    card.strId = strSlot;
    card.strSlot = strSlot;
    card.strVendorId = "1209";
    card.strProductId = strProduct;
    card.strImei = strImei;
    for (const std::string& strDevice : devices)
        card.ports.push_back({EPortRole::kUnknown, strDevice, "", "", std::nullopt, std::nullopt, ""});
    return card;
}

const CInventoryCard kOriginal = Card("1-1.2", "0001", {"/dev/ttyUSB0", "/dev/ttyUSB1"}, "356938035643809");
const CInventoryCard kDownload = Card("1-1.2", "0002", {"/dev/ttyUSB5"});
const CInventoryCard kNeighbour = Card("1-1.3", "0001", {"/dev/ttyUSB2", "/dev/ttyUSB3"});
const CInventoryCard kMoved = Card("1-2.1", "0002", {"/dev/ttyUSB5"});

// What the slot holds at a listing: 'o' the original card, 'd' the download device, '-' nothing,
// 'm' nothing here but the card at another slot.
std::vector<CInventoryCard> Listing(char cAtSlot)
{
    std::vector<CInventoryCard> cards = {kNeighbour};
    if (cAtSlot == 'o')
        cards.push_back(kOriginal);
    else if (cAtSlot == 'd')
        cards.push_back(kDownload);
    else if (cAtSlot == 'm')
        cards.push_back(kMoved);
    return cards;
}

struct CScenario {
    const char* pszName;
    ESwitchProof eProof;
    const char* pszListings;   // one listing every 500 ms, from 500 ms after the last command
    ESwitchPhase eEndPhase;
    int nStatus;
    const char* pszMessageStart;
};

// 10 s to leave, 20 s to come back: 20 listings to leave, 40 to come back. A card has left once
// listings a second apart lack it, and is back once two listings see it; one listing never decides.
const CScenario kCloseScenarios[] = {
    {"leaves and comes back in download mode", ESwitchProof::kLeaves, "o---ddd", ESwitchPhase::kSettled, kCliOk,
     "left after 2 s; back at slot 1-1.2 as 1209:0002 with /dev/ttyUSB5"},
    {"re-enumerates between two listings", ESwitchProof::kLeaves, "oddddd", ESwitchPhase::kSettled, kCliOk,
     "left after 2 s; back"},
    {"never leaves", ESwitchProof::kLeaves, "oooooooooooooooooooo", ESwitchPhase::kSent, kCliNotConfirmed,
     "stalled in sent: the card's ports are still listed after 10 s"},
    {"hidden from two listings half a second apart, never leaves", ESwitchProof::kLeaves, "o--ooooooooooooooooo",
     ESwitchPhase::kSent, kCliNotConfirmed, "stalled in sent"},
    {"hidden from one listing once back", ESwitchProof::kLeaves, "o---dd-ddd", ESwitchPhase::kSettled, kCliOk,
     "left after 2 s; back at slot 1-1.2 as 1209:0002"},
    {"seen back in one listing only", ESwitchProof::kLeaves, "o---d-----------------------------------",
     ESwitchPhase::kLeft, kCliOk, "left after 2 s; nothing came back at slot 1-1.2 within 20 s"},
    {"caught half removed, then gone for good", ESwitchProof::kReturnsAnswering, "d---------------------------------------",
     ESwitchPhase::kLeft, kCliNotConfirmed, "stalled in left: nothing came back"},
    {"leaves and never comes back", ESwitchProof::kLeaves, "----------------------------------------",
     ESwitchPhase::kLeft, kCliOk, "left after 1.5 s; nothing came back at slot 1-1.2 within 20 s"},
    {"comes back at another slot", ESwitchProof::kLeaves, "-mmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmm",
     ESwitchPhase::kLeft, kCliOk, "left after 1.5 s; nothing came back"},
    {"open: nothing comes back", ESwitchProof::kReturnsAnswering, "o---------------------------------------",
     ESwitchPhase::kLeft, kCliNotConfirmed, "stalled in left: nothing came back at slot 1-1.2 within 20 s"},
};

TEST(SwitchWatchTest, FollowsTheSlotThroughTheListings)
{
    for (const CScenario& scenario : kCloseScenarios) {
        SCOPED_TRACE(scenario.pszName);
        CSwitchWatch watch(scenario.eProof, kOriginal, {});
        uint32_t nMs = 0;
        for (const char* p = scenario.pszListings; *p && !watch.IsFinished(); ++p)
            watch.Observe(Listing(*p), nMs += 500);
        EXPECT_TRUE(watch.IsFinished());
        EXPECT_EQ(watch.Phase(), scenario.eEndPhase);
        // The times kept are those of the path it took in the end: no "back" for a card not back.
        EXPECT_EQ(watch.PhaseMs(ESwitchPhase::kBack).has_value(), scenario.eEndPhase >= ESwitchPhase::kBack);
        EXPECT_EQ(watch.Status(), scenario.nStatus);
        EXPECT_EQ(watch.Message().rfind(scenario.pszMessageStart, 0), 0u) << watch.Message();
    }
}

// A slow look read the slot somewhere between its start and its end: two slow looks that missed a
// card may have read it well under a second apart, however far apart they ended.
TEST(SwitchWatchTest, TwoLooksAreAsFarApartAsTheFirstEndAndTheSecondStart)
{
    CSwitchWatch watch(ESwitchProof::kLeaves, kOriginal, {});
    watch.Observe(Listing('-'), 500, 900);
    watch.Observe(Listing('-'), 1300, 1900);
    EXPECT_EQ(watch.Phase(), ESwitchPhase::kSent);
    EXPECT_EQ(watch.DueMs(), 1900u);
    watch.Observe(Listing('-'), 1900, 2000);
    EXPECT_EQ(watch.PhaseMs(ESwitchPhase::kLeft), 2000u);
}

// open-autorun: the card back at the slot must answer AT, with the same IMEI where both are known.
TEST(SwitchWatchTest, OpenIsConfirmedByTheCardAnsweringAtItsSlot)
{
    struct CAnswer {
        const char* pszName;
        bool bAnswers;
        const char* pszImei;
        int nStatus;
        const char* pszMessageStart;
    };
    const CAnswer answers[] = {
        {"same card", true, "356938035643809", kCliOk, "left after 1.5 s; back at slot 1-1.2, answers AT, same IMEI"},
        {"IMEI unknown", true, "", kCliOk, "left after 1.5 s; back at slot 1-1.2, answers AT"},
        {"another card", true, "490154203237518", kCliNotConfirmed,
         "stalled in back: another card answers at slot 1-1.2: IMEI 490154203237518, not 356938035643809"},
    };
    for (const CAnswer& answer : answers) {
        SCOPED_TRACE(answer.pszName);
        CSwitchWatch watch(ESwitchProof::kReturnsAnswering, kOriginal, {});
        uint32_t nMs = 0;
        for (char c : std::string("---o"))
            watch.Observe(Listing(c), nMs += 500);
        EXPECT_FALSE(watch.CardToAsk());
        watch.Observe(Listing('o'), 2500);
        ASSERT_TRUE(watch.CardToAsk());
        EXPECT_EQ(watch.CardToAsk()->strSlot, "1-1.2");
        watch.NoteAnswer(answer.bAnswers, answer.pszImei, 2700);
        EXPECT_TRUE(watch.IsFinished());
        EXPECT_EQ(watch.Status(), answer.nStatus);
        EXPECT_EQ(watch.Message().rfind(answer.pszMessageStart, 0), 0u) << watch.Message();
    }
}

TEST(SwitchWatchTest, OpenStallsInBackWhenTheDeviceThereNeverAnswers)
{
    CSwitchWatch watch(ESwitchProof::kReturnsAnswering, kOriginal, {});
    watch.Observe(Listing('d'), 500);
    for (uint32_t nMs = 1000; nMs <= 20000 && !watch.IsFinished(); nMs += 1000) {
        watch.NoteAnswer(false, "", nMs);
        watch.Observe(Listing('d'), nMs);
    }
    EXPECT_EQ(watch.Status(), kCliNotConfirmed);
    EXPECT_EQ(watch.Message(), "stalled in back: the device at slot 1-1.2 (1209:0002 with /dev/ttyUSB5) does not answer AT");
    EXPECT_EQ(watch.PhaseMs(ESwitchPhase::kBack), 3000u);
}

// A card that stays listed through the leave time may have switched in place: it is asked, and
// the message says it did not leave.
TEST(SwitchWatchTest, OpenAsksACardThatNeverLeft)
{
    CSwitchWatch watch(ESwitchProof::kReturnsAnswering, kOriginal, {2000, 20000});
    watch.Observe(Listing('o'), 1000);
    EXPECT_FALSE(watch.CardToAsk());
    watch.Observe(Listing('o'), 2000);
    ASSERT_TRUE(watch.CardToAsk());
    watch.NoteAnswer(true, "", 2100);
    EXPECT_EQ(watch.Status(), kCliOk);
    EXPECT_EQ(watch.Message(), "did not leave; back at slot 1-1.2, answers AT");
}

TEST(SwitchWatchTest, ACardWithoutASlotCannotBeFollowed)
{
    CInventoryCard card = kOriginal;
    card.strSlot.clear();
    CSwitchWatch watch(ESwitchProof::kLeaves, card, {});
    EXPECT_TRUE(watch.IsFinished());
    EXPECT_EQ(watch.Status(), kCliNotConfirmed);
}

} // namespace
