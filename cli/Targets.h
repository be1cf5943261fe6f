#pragma once
// Which cards a card command runs on: the named port, the named card or slot, every card, or the
// one the window would pick; and the card, as listed at the start, that a target's port belongs to.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/SlotLabels.h"
#include "discovery/CardInventory.h"

struct CTarget {
    std::string strCard;
    std::string strPort;   // empty: to be chosen from the card's ports by probing
    CInventoryCard* pCard = nullptr;
    std::string strSlot;
    std::string strLabel;
};

// What the command line names as the target: at most one of port, card and slot, or every card.
struct CTargetChoice {
    std::string strPort;
    std::string strCard;
    std::string strSlot;   // a slot, or with labels also a label
    bool bAll = false;
};

// The listed card that has the port a user named (COM5, com5, 5, /dev/ttyUSB2), or nullptr: both
// names are compared as the device they open, so "5" finds the card that lists COM5.
const CInventoryCard* CardOfPort(const std::vector<CInventoryCard>& cards, const std::string& strName);

// The card a target's port belongs to, as listed at the start: its own card, or the card that
// lists the named port.
const CInventoryCard* CardOfTarget(const CTarget& target, const std::vector<CInventoryCard>& cards);

// The targets of a command, each with its slot and label where the listing knows them. When there
// is none: the exit status (no card) and what to say. windowChoice gives the port the window would
// pick, when the platform picks one without probing; asked only when nothing else is named.
struct CTargetFailure {
    int nStatus = 0;
    std::string strMessage;
};
std::optional<CTargetFailure> SelectTargets(const CTargetChoice& choice, const CSlotLabels& labels,
                                            std::vector<CInventoryCard>& cards,
                                            const std::function<std::optional<std::string>()>& windowChoice,
                                            std::vector<CTarget>& targets);

// --wait follows each card by its slot: what is wrong when a target's slot is not known, so that
// nothing is sent to a card that could not be followed.
std::optional<std::string> CheckTargetsCanBeFollowed(const std::vector<CTarget>& targets);
