#include "cli/PortChoice.h"

#include <thread>

#include "cli/CliPlatform.h"
#include "cli/CliStatus.h"
#include "cli/Interrupt.h"

namespace {

// Which failure explains best why no port of a card could be used: an interruption, then a port
// that could not be opened (permissions, busy), then one that sent bytes without an answer line,
// then silence.
int FailureRank(int nStatus)
{
    if (IsInterruptStatus(nStatus))
        return 3;
    switch (nStatus) {
    case kCliPortFailed: return 2;
    case kCliRejected: return 1;
    default: return 0;
    }
}

template <typename Item, typename Work>
void RunEachOnAThread(std::vector<Item>& items, Work work)
{
    std::vector<std::thread> threads;
    for (Item& item : items)
        threads.emplace_back([&item, &work] { work(item); });
    for (std::thread& thread : threads)
        thread.join();
}

} // namespace

std::optional<CBenchRow> ProbePort(CInventoryPort& port, CRunShared& shared)
{
    if (port.strDevice.empty() || !MayProbeRole(port.eRole))
        return std::nullopt;
    CBenchRow outcome = RunOnPort(*FindCardCommand("probe"), "", port.strDevice, shared, false, false);
    if (outcome.nStatus == kCliPortFailed)
        port.strProbeFailure = outcome.strMessage;
    else if (!IsInterruptStatus(outcome.nStatus))
        port.bAnswersAt = outcome.nStatus == kCliOk;
    if (outcome.nStatus == kCliOk && port.eRole == EPortRole::kUnknown)
        port.eRole = EPortRole::kAt;
    return outcome;
}

std::optional<CBenchRow> ChoosePort(CTarget& target, CRunShared& shared)
{
    for (EPortRole eRole : {EPortRole::kModem, EPortRole::kAt}) {
        for (const CInventoryPort& port : target.pCard->ports) {
            if (port.eRole == eRole && !port.strDevice.empty()) {
                target.strPort = port.strDevice;
                return std::nullopt;
            }
        }
    }
    CBenchRow best;
    best.nStatus = kCliSilent;
    best.strMessage = "no port of the card answers AT";
    for (CInventoryPort& port : target.pCard->ports) {
        const std::optional<CBenchRow> probe = ProbePort(port, shared);
        if (!probe)
            continue;
        if (probe->nStatus == kCliOk) {
            target.strPort = port.strDevice;
            return std::nullopt;
        }
        if (FailureRank(probe->nStatus) > FailureRank(best.nStatus))
            best = *probe;
        if (Interrupted())
            break;
    }
    best.strCard = target.strCard;
    return best;
}

CBenchRow RunTarget(const CCardCommand& command, CTarget& target, CRunShared& shared)
{
    std::optional<CBenchRow> failure;
    if (target.strPort.empty() && target.pCard) {
        // Choosing a port sends "AT": nobody else may have any of the card's ports before that either.
        const CPortClaim claim = ClaimCardPorts(PortsOfCard(target.pCard, target.strSlot, ""), shared, true);
        if (claim.Refused()) {
            failure = CBenchRow{};
            failure->nStatus = kCliPortFailed;
            failure->strMessage = claim.strRefusal;
            failure->holders = claim.holders;
            failure->strCard = target.strCard;
        } else {
            failure = ChoosePort(target, shared);
        }
    }
    const CCardPorts ports = PortsOfCard(target.pCard, target.strSlot, target.strPort);
    CBenchRow outcome = failure ? *failure : RunOnPort(command, target.strCard, target.strPort, shared, true, true, &ports);
    outcome.strSlot = target.strSlot;
    outcome.strLabel = target.strLabel;
    return outcome;
}

CCliReport RunList(bool bProbe, const CSlotLabels& labels, std::vector<CInventoryCard>& cards, CRunShared& shared)
{
    if (bProbe)
        RunEachOnAThread(cards, [&shared](CInventoryCard& card) {
            for (CInventoryPort& port : card.ports)
                ProbePort(port, shared);
            // Who the card is, asked on its first port that answered.
            for (const CInventoryPort& port : card.ports) {
                if (port.bAnswersAt.value_or(false)) {
                    const CBenchRow identity = ReadIdentityOnPort(port.strDevice, shared);
                    card.strModel = identity.strModel;
                    card.strImei = identity.strImei;
                    break;
                }
            }
        });
    CCliReport report;
    report.strCommand = kListCommandName;
    report.pCards = &cards;
    report.pLabels = &labels;
    report.bIdentity = bProbe;
    report.strMessage = std::to_string(cards.size()) + (cards.size() == 1 ? " card found" : " cards found");
    if (cards.empty()) {
        report.nStatus = kCliNoCard;
        report.strMessage = "no card found";
    }
    for (const CInventoryCard& card : cards) {
        for (const CInventoryPort& port : card.ports) {
            if (!port.strProbeFailure.empty() && report.nStatus == kCliOk) {
                report.nStatus = kCliPortFailed;
                report.strMessage = port.strDevice + ": " + port.strProbeFailure;
            }
        }
    }
    if (Interrupted()) {
        report.nStatus = InterruptStatus();
        report.strMessage = "interrupted";
    }
    report.warnings = DuplicateImeiWarnings(cards);
    return report;
}
