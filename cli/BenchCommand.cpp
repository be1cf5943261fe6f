#include "cli/BenchCommand.h"

#include <algorithm>
#include <iostream>
#include <memory>
#include <optional>

#include "cli/BenchReport.h"
#include "cli/BenchRun.h"
#include "cli/BenchView.h"
#include "cli/CliPlatform.h"
#include "cli/CliStatus.h"
#include "cli/Interrupt.h"
#include "cli/PortChoice.h"
#include "serial/SerialPort.h"

namespace {

// How often a switched card's slot is looked at: well inside the second that a card's return may
// take to show.
constexpr uint32_t kListingPeriodMs = 250;

double Seconds(uint32_t nFrom, uint32_t nTo)
{
    return static_cast<int32_t>(nTo - nFrom) / 1000.0;
}

CSwitchOutcome SwitchOutcome(const CSwitchWatch& watch, double dSentSeconds)
{
    CSwitchOutcome result;
    result.ePhase = watch.Phase();
    for (size_t n = 0; n < kTimedPhases.size(); ++n) {
        if (std::optional<uint32_t> nMs = watch.PhaseMs(kTimedPhases[n]))
            result.seconds[n] = dSentSeconds + *nMs / 1000.0;
    }
    result.strMessage = watch.Message();
    return result;
}

// One switched card through the listings, its row kept up to date; the outcome takes the verdict.
void FollowCard(const CCliOptions& options, const CInventoryCard& card, CCardOutcome& outcome, CRunShared& shared,
                CListingPoller& poller, const CBenchCardAccess& access, CBenchBoard& board, size_t nRow,
                double dSentSeconds)
{
    CFollowContext ctx;
    ctx.pPoller = &poller;
    ctx.pClock = shared.pClock;
    ctx.times = {static_cast<uint32_t>(options.dLeaveTimeout * 1000), static_cast<uint32_t>(options.dReturnTimeout * 1000)};
    ctx.askCard = access.askReturned;
    ctx.pTranscript = shared.pTranscript;
    ESwitchPhase eShown = ESwitchPhase::kSent;
    ctx.onStep = [&](const CSwitchWatch& watch) {
        board.Update(nRow, [&](CBenchRow& row) {
            row.ePhase = watch.Phase();
            for (size_t n = 1; n < kTimedPhases.size(); ++n) {
                const std::optional<uint32_t> nMs = watch.PhaseMs(kTimedPhases[n]);
                row.phaseSeconds[n] = nMs ? std::optional<double>(dSentSeconds + *nMs / 1000.0) : std::nullopt;
            }
        });
        if (watch.Phase() != eShown && shared.bProgress) {
            eShown = watch.Phase();
            std::lock_guard<std::mutex> lock(shared.errMutex);
            std::cerr << outcome.strPort << ": " << SwitchPhaseName(eShown) << std::endl;
        }
    };
    const ESwitchProof eProof = options.pCommand->eAfterRun == ECardAfterRun::kReturnsAsCard
                                    ? ESwitchProof::kReturnsAnswering : ESwitchProof::kLeaves;
    const CSwitchWatch watch = FollowSwitch(eProof, card, ctx);
    ctx.onStep(watch);
    outcome.switchOutcome = SwitchOutcome(watch, dSentSeconds);
    if (!watch.IsFinished()) {
        outcome.nStatus = InterruptStatus();
        outcome.strMessage = std::string("interrupted while waiting for the card (") + SwitchPhaseName(watch.Phase()) + ")";
    } else {
        outcome.nStatus = watch.Status();
        outcome.strMessage = watch.Status() == kCliOk ? "ok: " + watch.Message() : watch.Message();
    }
}

CBenchRow FirstRow(const CCliOptions& options, const CTarget& target, const CInventoryCard* pCard)
{
    CBenchRow row;
    row.strCommand = options.strCommand;
    row.strTranscript = options.strLog;
    row.strLabel = target.strLabel;
    if (pCard) {
        row.strSlot = pCard->strSlot;
        row.strModel = pCard->strModel;
        row.strImei = pCard->strImei;
        for (const CInventoryPort& port : pCard->ports)
            row.ports.push_back(port.strDevice);
    } else {
        row.ports.push_back(SerialDeviceOfName(target.strPort));
    }
    return row;
}

// The card's run from start to verdict, its row on the board kept with it.
CCardOutcome RunCardRow(const CCliOptions& options, CTarget& target, const std::vector<CInventoryCard>& cards,
                        CRunShared& shared, CListingPoller* pPoller, const CBenchCardAccess& access, CBenchBoard& board,
                        size_t nRow)
{
    const uint32_t nStart = shared.pClock->GetTickCount();
    board.Update(nRow, [nStart](CBenchRow& row) {
        row.ePhase = ESwitchPhase::kRunning;
        row.nStartTick = nStart;
    });
    CCardOutcome outcome = access.runTarget(target);
    board.Update(nRow, [&](CBenchRow& row) {
        row.strModel = outcome.strModel.empty() ? row.strModel : outcome.strModel;
        row.strImei = outcome.strImei.empty() ? row.strImei : outcome.strImei;
    });
    const CInventoryCard* pCard = CardOfTarget(target, cards);
    if (pPoller && outcome.nStatus == kCliOk) {
        const double dSent = Seconds(nStart, shared.pClock->GetTickCount());
        board.Update(nRow, [&](CBenchRow& row) {
            row.ePhase = ESwitchPhase::kSent;
            row.phaseSeconds[0] = dSent;
        });
        CInventoryCard card = pCard ? *pCard : CInventoryCard{};
        card.strImei = outcome.strImei;
        FollowCard(options, card, outcome, shared, *pPoller, access, board, nRow, dSent);
    }
    const double dEnd = Seconds(nStart, shared.pClock->GetTickCount());
    board.Update(nRow, [&](CBenchRow& row) {
        if (!outcome.switchOutcome)
            row.ePhase = ESwitchPhase::kDone;
        row.dSeconds = dEnd;
        row.bFinished = true;
        row.nStatus = outcome.nStatus;
        row.strMessage = outcome.strMessage;
        row.bModemManagerInhibited = outcome.bModemManagerInhibited;
    });
    return outcome;
}

} // namespace

CBenchCardAccess PortCardAccess(const CCardCommand& command, CRunShared& shared)
{
    CBenchCardAccess access;
    access.runTarget = [&command, &shared](CTarget& target) { return RunTarget(command, target, shared); };
    // Whether the device back at a slot answers "AT" on the port that commands would go to.
    access.askReturned = [&shared](const CInventoryCard& card) -> std::pair<bool, std::string> {
        CInventoryCard copy = card;
        CTarget target{copy.strId, "", &copy, copy.strSlot, ""};
        if (ChoosePort(target, shared))
            return {false, ""};
        const CCardPorts ports = PortsOfCard(&copy, copy.strSlot, target.strPort);
        const CCardOutcome probe =
            RunOnPort(*FindCardCommand("probe"), copy.strId, target.strPort, shared, false, true, &ports);
        return {probe.nStatus == kCliOk, probe.strImei};
    };
    access.lookAtSlots = LookAtPlatformSlots;
    return access;
}

std::vector<CBenchRow> FirstRows(const CCliOptions& options, const std::vector<CTarget>& targets,
                                 const std::vector<CInventoryCard>& cards)
{
    std::vector<CBenchRow> rows;
    for (const CTarget& target : targets)
        rows.push_back(FirstRow(options, target, CardOfTarget(target, cards)));
    return rows;
}

CCliReport RunCommand(const CCliOptions& options, std::vector<CTarget>& targets, const std::vector<CInventoryCard>& cards,
                      CRunShared& shared, CBenchBoard& board, const CBenchCardAccess& access)
{
    CCliReport report;
    report.strCommand = options.strCommand;
    report.outcomes.resize(targets.size());
    std::unique_ptr<CListingPoller> pPoller;
    if (options.bWait)
        pPoller = std::make_unique<CListingPoller>(access.lookAtSlots, *shared.pClock, kListingPeriodMs);
    RunLimited(targets.size(), options.nJobs, options.nStaggerMs, *shared.pClock, [&](size_t n) {
        report.outcomes[n] = RunCardRow(options, targets[n], cards, shared, pPoller.get(), access, board, n);
    });

    for (const CCardOutcome& outcome : report.outcomes)
        report.nStatus = std::max(report.nStatus, outcome.nStatus);
    if (report.outcomes.size() == 1)
        report.strMessage = report.outcomes.front().strMessage;
    else
        report.strMessage = SummaryLine(report.outcomes);
    if (Interrupted()) {
        report.nStatus = InterruptStatus();
        if (report.outcomes.size() != 1)
            report.strMessage = "interrupted: " + report.strMessage;
    }
    report.warnings = DuplicateImeiWarnings(report.outcomes);
    return report;
}

CCliReport RunBench(const CCliOptions& options, std::vector<CTarget>& targets, const std::vector<CInventoryCard>& cards,
                    CRunShared& shared)
{
    CBenchBoard board(FirstRows(options, targets, cards));
    std::optional<CBenchView> view;
    if (options.bAll && !options.bQuiet && PrepareLiveTerminal(stderr)) {
        shared.bProgress = false;
        view.emplace(board, stderr, *shared.pClock);
    }
    CCliReport report = RunCommand(options, targets, cards, shared, board, PortCardAccess(*options.pCommand, shared));
    if (view)
        view->Finish();
    if (options.strReport.empty())
        return report;
    if (std::optional<std::string> strProblem = WriteBenchReport(options.strReport, board.Snapshot())) {
        report.nStatus = std::max<int>(report.nStatus, kCliPortFailed);
        report.strMessage += "; " + *strProblem;
        std::cerr << "vostrel-cli: " << *strProblem << std::endl;
    }
    return report;
}
