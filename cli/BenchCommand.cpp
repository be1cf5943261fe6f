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

// The seconds from the card's start at which each timed phase was reached, as far as the watch got.
std::array<std::optional<double>, kTimedPhases.size()> PhaseSeconds(const CSwitchWatch& watch, double dSentSeconds)
{
    std::array<std::optional<double>, kTimedPhases.size()> seconds;
    for (size_t n = 0; n < kTimedPhases.size(); ++n) {
        if (std::optional<uint32_t> nMs = watch.PhaseMs(kTimedPhases[n]))
            seconds[n] = dSentSeconds + *nMs / 1000.0;
    }
    return seconds;
}

// One switched card through the listings, its row kept up to date, until the verdict.
void FollowCard(const CCliOptions& options, const CInventoryCard& card, CRunShared& shared, CListingPoller& poller,
                const CBenchCardAccess& access, CBenchBoard& board, size_t nRow, const std::string& strPort,
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
            row.phaseSeconds = PhaseSeconds(watch, dSentSeconds);
        });
        if (watch.Phase() != eShown && shared.bProgress) {
            eShown = watch.Phase();
            std::lock_guard<std::mutex> lock(shared.errMutex);
            std::cerr << strPort << ": " << SwitchPhaseName(eShown) << std::endl;
        }
    };
    const ESwitchProof eProof = options.pCommand->eAfterRun == ECardAfterRun::kReturnsAsCard
                                    ? ESwitchProof::kReturnsAnswering : ESwitchProof::kLeaves;
    const CSwitchWatch watch = FollowSwitch(eProof, card, ctx);
    ctx.onStep(watch);
    board.Update(nRow, [&](CBenchRow& row) {
        row.strSwitchMessage = watch.Message();
        if (!watch.IsFinished()) {
            row.nStatus = InterruptStatus();
            row.strMessage = std::string("interrupted while waiting for the card (") + SwitchPhaseName(watch.Phase()) + ")";
        } else {
            row.nStatus = watch.Status();
            row.strMessage = watch.Status() == kCliOk ? "ok: " + watch.Message() : watch.Message();
        }
    });
}

CBenchRow FirstRow(const CCliOptions& options, const CTarget& target, const CInventoryCard* pCard)
{
    CBenchRow row;
    row.strCommand = options.strCommand;
    row.strTranscript = options.strLog;
    row.strCard = target.strCard;
    row.strLabel = target.strLabel;
    row.strSlot = target.strSlot;
    if (pCard) {
        row.strModel = pCard->strModel;
        row.strImei = pCard->strImei;
        for (const CInventoryPort& port : pCard->ports)
            row.ports.push_back(port.strDevice);
    } else {
        row.ports.push_back(SerialDeviceOfName(target.strPort));
    }
    return row;
}

// What the run on the port found goes into the card's row; the listing's model and IMEI stay
// where the card did not tell its own.
void TakeRun(CBenchRow& row, CBenchRow&& run)
{
    row.strCard = std::move(run.strCard);
    row.strPort = std::move(run.strPort);
    if (!run.strModel.empty())
        row.strModel = std::move(run.strModel);
    if (!run.strImei.empty())
        row.strImei = std::move(run.strImei);
    row.identityExchanges = std::move(run.identityExchanges);
    row.exchanges = std::move(run.exchanges);
    row.nStatus = run.nStatus;
    row.strMessage = std::move(run.strMessage);
    row.strModelUnknown = std::move(run.strModelUnknown);
    row.strImeiUnknown = std::move(run.strImeiUnknown);
    row.holders = std::move(run.holders);
    row.bModemManagerInhibited = run.bModemManagerInhibited;
}

// The card's run from start to verdict, its row on the board kept with it.
void RunCardRow(const CCliOptions& options, CTarget& target, const std::vector<CInventoryCard>& cards, CRunShared& shared,
                CListingPoller* pPoller, const CBenchCardAccess& access, CBenchBoard& board, size_t nRow)
{
    const uint32_t nStart = shared.pClock->GetTickCount();
    board.Update(nRow, [nStart](CBenchRow& row) {
        row.ePhase = ESwitchPhase::kRunning;
        row.nStartTick = nStart;
        row.started = std::chrono::system_clock::now();
    });
    CBenchRow run = access.runTarget(target);
    const bool bFollow = pPoller && run.nStatus == kCliOk;
    const std::string strPort = run.strPort, strImei = run.strImei;
    board.Update(nRow, [&](CBenchRow& row) { TakeRun(row, std::move(run)); });
    if (bFollow) {
        const double dSent = Seconds(nStart, shared.pClock->GetTickCount());
        board.Update(nRow, [&](CBenchRow& row) {
            row.ePhase = ESwitchPhase::kSent;
            row.bFollowed = true;
            row.phaseSeconds[0] = dSent;
        });
        const CInventoryCard* pCard = CardOfTarget(target, cards);
        CInventoryCard card = pCard ? *pCard : CInventoryCard{};
        card.strImei = strImei;
        FollowCard(options, card, shared, *pPoller, access, board, nRow, strPort, dSent);
    }
    const double dEnd = Seconds(nStart, shared.pClock->GetTickCount());
    board.Update(nRow, [&](CBenchRow& row) {
        if (!row.bFollowed)
            row.ePhase = ESwitchPhase::kDone;
        row.dSeconds = dEnd;
        row.ended = std::chrono::system_clock::now();
        row.bFinished = true;
    });
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
        const CBenchRow probe =
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
    std::unique_ptr<CListingPoller> pPoller;
    if (options.bWait)
        pPoller = std::make_unique<CListingPoller>(access.lookAtSlots, *shared.pClock, kListingPeriodMs);
    RunLimited(targets.size(), options.nJobs, options.nStaggerMs, *shared.pClock, [&](size_t n) {
        RunCardRow(options, targets[n], cards, shared, pPoller.get(), access, board, n);
    });
    pPoller.reset();
    report.outcomes = board.Snapshot();

    for (const CBenchRow& outcome : report.outcomes)
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
    if (std::optional<std::string> strProblem = WriteBenchReport(options.strReport, report.outcomes)) {
        report.nStatus = std::max<int>(report.nStatus, kCliPortFailed);
        report.strMessage += "; " + *strProblem;
        std::cerr << "vostrel-cli: " << *strProblem << std::endl;
    }
    return report;
}
