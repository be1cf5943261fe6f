#include "cli/Targets.h"

#include <algorithm>

#include "cli/CliStatus.h"
#include "cli/Transcript.h"
#include "serial/SerialPort.h"

const CInventoryCard* CardOfPort(const std::vector<CInventoryCard>& cards, const std::string& strName)
{
    if (strName.empty())
        return nullptr;
    const std::string strDevice = SerialDeviceOfName(strName);
    for (const CInventoryCard& card : cards) {
        for (const CInventoryPort& port : card.ports) {
            if (!port.strDevice.empty() && SerialDeviceOfName(port.strDevice) == strDevice)
                return &card;
        }
    }
    return nullptr;
}

const CInventoryCard* CardOfTarget(const CTarget& target, const std::vector<CInventoryCard>& cards)
{
    return target.pCard ? target.pCard : CardOfPort(cards, target.strPort);
}

std::optional<CTargetFailure> SelectTargets(const CTargetChoice& choice, const CSlotLabels& labels,
                                            std::vector<CInventoryCard>& cards,
                                            const std::function<std::optional<std::string>()>& windowChoice,
                                            std::vector<CTarget>& targets)
{
    if (!choice.strPort.empty()) {
        targets.push_back({"", choice.strPort, nullptr, {}, {}});
    } else if (!choice.strCard.empty()) {
        auto it = std::find_if(cards.begin(), cards.end(),
                               [&](const CInventoryCard& c) { return c.strId == choice.strCard; });
        if (it == cards.end())
            return CTargetFailure{kCliNoCard,
                                  "no card " + PrintableText(choice.strCard) + " (vostrel-cli list shows the cards found)"};
        targets.push_back({it->strId, "", &*it, {}, {}});
    } else if (!choice.strSlot.empty()) {
        // A slot as list shows it, else a label of the --slots file.
        std::string strSlot = choice.strSlot;
        if (!labels.labelOfSlot.count(strSlot) && labels.slotOfLabel.count(strSlot))
            strSlot = labels.slotOfLabel.at(strSlot);
        auto it = std::find_if(cards.begin(), cards.end(), [&](const CInventoryCard& c) { return c.strSlot == strSlot; });
        if (it == cards.end())
            return CTargetFailure{kCliNoCard, "no card in slot " + PrintableText(choice.strSlot) +
                                                  " (vostrel-cli list shows the cards found)"};
        targets.push_back({it->strId, "", &*it, {}, {}});
    } else if (choice.bAll) {
        for (CInventoryCard& card : cards)
            targets.push_back({card.strId, "", &card, {}, {}});
    } else if (const std::optional<std::string> strPort = windowChoice()) {
        targets.push_back({"", *strPort, nullptr, {}, {}});
    } else if (!cards.empty()) {
        targets.push_back({cards.front().strId, "", &cards.front(), {}, {}});
    }
    if (targets.empty())
        return CTargetFailure{kCliNoCard, "no card found"};
    for (CTarget& target : targets) {
        // A port named by itself has a slot only when the listing is at hand and holds it.
        const CInventoryCard* pCard = CardOfTarget(target, cards);
        target.strSlot = pCard ? pCard->strSlot : std::string();
        target.strLabel = target.strSlot.empty() ? std::string() : labels.LabelOf(target.strSlot);
    }
    return std::nullopt;
}

std::optional<std::string> CheckTargetsCanBeFollowed(const std::vector<CTarget>& targets)
{
    std::string strUnknown;
    for (const CTarget& target : targets) {
        if (!target.strSlot.empty())
            continue;
        const std::string strName = target.strPort.empty() ? "card " + PrintableText(target.strCard)
                                                           : PrintableText(SerialDeviceOfName(target.strPort));
        strUnknown += (strUnknown.empty() ? "" : ", ") + strName;
    }
    if (strUnknown.empty())
        return std::nullopt;
    return "--wait follows a card by its slot, and the slot of " + strUnknown +
           " is unknown (vostrel-cli list shows the cards and slots found): nothing was sent";
}
