// vostrel-cli: the data card commands from a terminal or a script, on one card or on every card at
// once. Plain lines by default, JSON with --json (one document, whatever ends the run); progress on
// standard error; exit status in cli/CliStatus.h. It never prompts.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "cli/BenchReport.h"
#include "cli/BenchRun.h"
#include "cli/BenchView.h"
#include "cli/CardRun.h"
#include "cli/CliPlatform.h"
#include "cli/CliStatus.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "cli/SlotLabels.h"
#include "cli/Transcript.h"

#include "Version.h"   // generated: VOSTREL_VERSION

namespace {

// "list" is the command line's own; every other subcommand is a row of the card command table.
constexpr const char* kListName = "list";
constexpr const char* kListHelp = "list every card found, with its ports and their roles";

// The options that take a value, so that the word after them is not taken for a subcommand.
constexpr const char* kValueOptions[] = {"--port", "--card", "--slot", "--slots", "--log", "--leave-timeout",
                                         "--return-timeout", "--jobs", "--stagger", "--report"};

// How often a switched card's slot is looked at: well inside the second that a card's return may
// take to show.
constexpr uint32_t kListingPeriodMs = 250;

// A --slots file larger than this is no bench's list of labels.
constexpr std::uintmax_t kMaxSlotsFileSize = 1 << 20;

struct CCliOptions {
    std::string strCommand;                // the subcommand given: "list" or a card command's name
    const CCardCommand* pCommand = nullptr;   // its row; nullptr for list
    std::string strPort;
    std::string strCard;
    std::string strSlot;                   // a slot, or with --slots also a label
    std::string strSlotsFile;
    CSlotLabels labels;                    // read from strSlotsFile
    bool bAll = false;
    bool bJson = false;
    bool bProbe = false;
    bool bQuiet = false;
    std::string strLog;
    bool bWait = false;
    double dLeaveTimeout = 10;             // seconds
    double dReturnTimeout = 20;
    size_t nJobs = 0;                      // 0: every card at once
    uint32_t nStaggerMs = 0;
    std::string strReport;
};

struct CTarget {
    std::string strCard;
    std::string strPort;   // empty: to be chosen from the card's ports by probing
    CInventoryCard* pCard = nullptr;
    std::string strSlot;
    std::string strLabel;
};

std::string JsonText(const nlohmann::json& j)
{
    // Answers may hold any bytes: invalid UTF-8 becomes U+FFFD rather than an exception.
    return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

CCliReport Failure(const CCliOptions& options, int nStatus, const std::string& strMessage)
{
    CCliReport report;
    report.strCommand = options.strCommand;
    report.nStatus = nStatus;
    report.strMessage = strMessage;
    return report;
}

// ---- the command line ---------------------------------------------------------------------------

size_t EditDistance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t nDiagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t nAbove = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, nDiagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            nDiagonal = nAbove;
        }
    }
    return row[b.size()];
}

std::vector<std::string> SubcommandNames()
{
    std::vector<std::string> names = {kListName};
    for (const CCardCommand& command : CardCommands())
        names.push_back(command.pszName);
    return names;
}

std::string SubcommandList()
{
    std::string str;
    for (const std::string& strName : SubcommandNames())
        str += (str.empty() ? "" : ", ") + strName;
    return str;
}

std::string SwitchingCommandList()
{
    std::string str;
    for (const CCardCommand& command : CardCommands()) {
        if (command.eAfterRun != ECardAfterRun::kStays)
            str += (str.empty() ? "" : ", ") + std::string(command.pszName);
    }
    return str;
}

// The word where the subcommand should stand, when it names none: what to say about it.
std::optional<std::string> CheckSubcommandWord(const std::vector<std::string>& args)
{
    for (size_t n = 0; n < args.size(); ++n) {
        const std::string& strArg = args[n];
        if (strArg == "--help" || strArg == "-h" || strArg == "--version")
            return std::nullopt;   // answered before anything else
        if (std::find(std::begin(kValueOptions), std::end(kValueOptions), strArg) != std::end(kValueOptions)) {
            ++n;
            continue;
        }
        if (strArg.starts_with("-"))
            continue;
        std::string strNearest;
        size_t nBest = SIZE_MAX;
        for (const std::string& strName : SubcommandNames()) {
            if (strArg == strName)
                return std::nullopt;
            const size_t nDistance = EditDistance(strArg, strName);
            if (nDistance < nBest) {
                nBest = nDistance;
                strNearest = strName;
            }
        }
        std::string str = "unknown subcommand \"" + PrintableText(strArg) + "\"";
        if (nBest <= 3)
            return str + ": did you mean \"" + strNearest + "\"?";
        return str + " (the subcommands: " + SubcommandList() + ")";
    }
    return "no subcommand given (the subcommands: " + SubcommandList() + ")";
}

// An option given an empty value, or the next option's name because its own value was left out
// ("--port $PORT" with PORT unset): never "any card".
std::optional<std::string> CheckValue(const CLI::Option* pOption, const std::string& strValue, const char* pszWhat)
{
    if (pOption->count() == 0)
        return std::nullopt;
    const std::string strName = pOption->get_name();
    if (strValue.find_first_not_of(" \t\r\n") == std::string::npos)
        return strName + " needs " + pszWhat + ", but its value is empty";
    if (strValue.starts_with("-"))
        return strName + " needs " + pszWhat + ", but got \"" + PrintableText(strValue) + "\", which is an option";
    return std::nullopt;
}

std::optional<std::string> CheckOptions(const CCliOptions& options, const CLI::App& app)
{
    const std::pair<const char*, std::pair<const std::string*, const char*>> kValues[] = {
        {"--port", {&options.strPort, "a port name (COM5, 5 or /dev/ttyUSB2)"}},
        {"--card", {&options.strCard, "a card id as list shows it"}},
        {"--slot", {&options.strSlot, "a slot as list shows it (or a label of the --slots file)"}},
        {"--slots", {&options.strSlotsFile, "a file name"}},
        {"--log", {&options.strLog, "a file name"}},
        {"--report", {&options.strReport, "a file name ending in .csv or .json"}},
    };
    for (const auto& [pszOption, value] : kValues) {
        if (auto strProblem = CheckValue(app.get_option(pszOption), *value.first, value.second))
            return strProblem;
    }
    if (!options.pCommand && (app.get_option("--port")->count() || app.get_option("--card")->count() ||
                              app.get_option("--slot")->count() || options.bAll))
        return std::string("list lists every card: --port, --card, --slot and --all choose the card of a command that uses one");
    if (options.bWait && (!options.pCommand || options.pCommand->eAfterRun == ECardAfterRun::kStays))
        return "--wait follows a card through its switch: only the commands that switch it take it (" + SwitchingCommandList() + ")";
    if (!options.strReport.empty() && !options.pCommand)
        return std::string("--report keeps the rows of a card command's run; list has none");
    if (!options.strReport.empty() && !ReportFormatOfPath(options.strReport))
        return "--report needs a file name ending in .csv or .json, not \"" + PrintableText(options.strReport) + "\"";
    if (!options.bWait && (app.get_option("--leave-timeout")->count() || app.get_option("--return-timeout")->count()))
        return std::string("--leave-timeout and --return-timeout are the times of --wait, which is not given");
    return std::nullopt;
}

// The system's text for a failed file call, lower case first, as the other causes are written.
std::string CauseText(const std::error_code& error)
{
    std::string str = error.message();
    if (!str.empty())
        str[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(str[0])));
    return str;
}

// Reads the --slots file into options.labels; what is wrong with it, naming the file and the line.
std::optional<std::string> LoadSlotLabels(CCliOptions& options)
{
    if (options.strSlotsFile.empty())
        return std::nullopt;
    const std::string strShown = "--slots " + PrintableText(options.strSlotsFile);
    std::error_code error;
    // Only a regular file: a pipe nobody writes would block the open, a device may never end.
    const std::filesystem::file_status status = std::filesystem::status(options.strSlotsFile, error);
    if (error)
        return strShown + ": cannot be read: " + CauseText(error);
    if (!std::filesystem::is_regular_file(status))
        return strShown + ": cannot be read: not a regular file";
    const std::uintmax_t nSize = std::filesystem::file_size(options.strSlotsFile, error);
    if (error || nSize > kMaxSlotsFileSize)
        return strShown + ": cannot be read: " + (error ? CauseText(error) : std::string("larger than 1 MiB"));
    errno = 0;
    std::ifstream in(options.strSlotsFile, std::ios::binary);
    if (!in)
        return strShown + ": cannot be read: " +
               (errno ? CauseText(std::error_code(errno, std::generic_category())) : std::string("open failed"));
    std::ostringstream text;
    text << in.rdbuf();
    if (const std::optional<CSlotLabelsError> bad = ParseSlotLabels(text.str(), options.labels))
        return strShown + ": line " + std::to_string(bad->nLine) + ": " + bad->strProblem;
    return std::nullopt;
}

// ---- choosing ports and running ---------------------------------------------------------------

// Sends "AT" to the port when it may take it and notes how it answered; on a platform without
// roles an answering port becomes the card's AT port. Nothing for a port that was not asked.
std::optional<CCardOutcome> ProbePort(CInventoryPort& port, CRunShared& shared)
{
    if (port.strDevice.empty() || !MayProbeRole(port.eRole))
        return std::nullopt;
    CCardOutcome outcome = RunOnPort(*FindCardCommand("probe"), "", port.strDevice, shared, false, false);
    if (outcome.nStatus == kCliPortFailed)
        port.strProbeFailure = outcome.strMessage;
    else if (outcome.nStatus < kCliInterrupted)
        port.bAnswersAt = outcome.nStatus == kCliOk;
    if (outcome.nStatus == kCliOk && port.eRole == EPortRole::kUnknown)
        port.eRole = EPortRole::kAt;
    return outcome;
}

// Which failure explains best why no port of a card could be used: one that could not be opened
// (permissions, busy), then one that sent bytes without an answer line, then silence.
int FailureRank(int nStatus)
{
    switch (nStatus) {
    case kCliInterrupted:
    case kCliTerminated: return 3;
    case kCliPortFailed: return 2;
    case kCliRejected: return 1;
    default: return 0;
    }
}

// The port of a card that commands go to: its modem port, else its AT port, where roles are
// known; else the lowest interface that answers "AT" (ports are in interface order). When none
// does, the outcome that says why.
std::optional<CCardOutcome> ChoosePort(CTarget& target, CRunShared& shared)
{
    for (EPortRole eRole : {EPortRole::kModem, EPortRole::kAt}) {
        for (const CInventoryPort& port : target.pCard->ports) {
            if (port.eRole == eRole && !port.strDevice.empty()) {
                target.strPort = port.strDevice;
                return std::nullopt;
            }
        }
    }
    CCardOutcome best;
    best.nStatus = kCliSilent;
    best.strMessage = "no port of the card answers AT";
    for (CInventoryPort& port : target.pCard->ports) {
        const std::optional<CCardOutcome> probe = ProbePort(port, shared);
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

CCardOutcome RunTarget(const CCardCommand& command, CTarget& target, CRunShared& shared)
{
    std::optional<CCardOutcome> failure;
    if (target.strPort.empty() && target.pCard)
        failure = ChoosePort(target, shared);
    CCardOutcome outcome = failure ? *failure : RunOnPort(command, target.strCard, target.strPort, shared);
    outcome.strSlot = target.strSlot;
    outcome.strLabel = target.strLabel;
    return outcome;
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

CCliReport RunList(const CCliOptions& options, std::vector<CInventoryCard>& cards, CRunShared& shared)
{
    if (options.bProbe)
        RunEachOnAThread(cards, [&shared](CInventoryCard& card) {
            for (CInventoryPort& port : card.ports)
                ProbePort(port, shared);
            // Who the card is, asked on its first port that answered.
            for (const CInventoryPort& port : card.ports) {
                if (port.bAnswersAt.value_or(false)) {
                    const CCardOutcome identity = ReadIdentityOnPort(port.strDevice, shared);
                    card.strModel = identity.strModel;
                    card.strImei = identity.strImei;
                    break;
                }
            }
        });
    CCliReport report;
    report.strCommand = kListName;
    report.pCards = &cards;
    report.pLabels = &options.labels;
    report.bIdentity = options.bProbe;
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
    return report;
}

// The listed card that has the port of that device name, or nullptr.
const CInventoryCard* CardOfPort(const std::vector<CInventoryCard>& cards, const std::string& strDevice)
{
    for (const CInventoryCard& card : cards) {
        for (const CInventoryPort& port : card.ports) {
            if (!strDevice.empty() && port.strDevice == strDevice)
                return &card;
        }
    }
    return nullptr;
}

// The cards the command runs on: the named port, the named card, every card, or the one the window
// would pick. A failure when there is none.
std::optional<CCliReport> SelectTargets(const CCliOptions& options, std::vector<CInventoryCard>& cards,
                                        std::vector<CTarget>& targets)
{
    if (!options.strPort.empty()) {
        targets.push_back({"", options.strPort, nullptr, {}, {}});
    } else if (!options.strCard.empty()) {
        auto it = std::find_if(cards.begin(), cards.end(), [&](const CInventoryCard& c) { return c.strId == options.strCard; });
        if (it == cards.end())
            return Failure(options, kCliNoCard,
                           "no card " + PrintableText(options.strCard) + " (vostrel-cli list shows the cards found)");
        targets.push_back({it->strId, "", &*it, {}, {}});
    } else if (!options.strSlot.empty()) {
        // A slot as list shows it, else a label of the --slots file.
        std::string strSlot = options.strSlot;
        if (!options.labels.labelOfSlot.count(strSlot) && options.labels.slotOfLabel.count(strSlot))
            strSlot = options.labels.slotOfLabel.at(strSlot);
        auto it = std::find_if(cards.begin(), cards.end(), [&](const CInventoryCard& c) { return c.strSlot == strSlot; });
        if (it == cards.end())
            return Failure(options, kCliNoCard,
                           "no card in slot " + PrintableText(options.strSlot) + " (vostrel-cli list shows the cards found)");
        targets.push_back({it->strId, "", &*it, {}, {}});
    } else if (options.bAll) {
        for (CInventoryCard& card : cards)
            targets.push_back({card.strId, "", &card, {}, {}});
    } else if (const std::optional<std::string> strPort = WindowChoiceOfPort()) {
        targets.push_back({"", *strPort, nullptr, {}, {}});
    } else if (!cards.empty()) {
        targets.push_back({cards.front().strId, "", &cards.front(), {}, {}});
    }
    if (targets.empty())
        return Failure(options, kCliNoCard, "no card found");
    for (CTarget& target : targets) {
        // A port named by itself has a slot only when the listing is at hand and holds it.
        const CInventoryCard* pCard = target.pCard ? target.pCard : CardOfPort(cards, target.strPort);
        target.strSlot = pCard ? pCard->strSlot : std::string();
        target.strLabel = target.strSlot.empty() ? std::string() : options.labels.LabelOf(target.strSlot);
    }
    return std::nullopt;
}

// ---- following a switch ----------------------------------------------------------------------------

// The card a target's port belongs to, as listed at the start: its own card, or the card that
// lists the named port.
const CInventoryCard* CardOfTarget(const CTarget& target, const std::vector<CInventoryCard>& cards)
{
    if (target.pCard)
        return target.pCard;
    const std::string strDevice = SerialDeviceOfName(target.strPort);
    for (const CInventoryCard& card : cards) {
        for (const CInventoryPort& port : card.ports) {
            if (!port.strDevice.empty() && SerialDeviceOfName(port.strDevice) == strDevice)
                return &card;
        }
    }
    return nullptr;
}

// Whether the device back at a slot answers "AT" on the port that commands would go to.
std::pair<bool, std::string> AskReturnedCard(const CInventoryCard& card, CRunShared& shared)
{
    CInventoryCard copy = card;
    CTarget target{copy.strId, "", &copy, copy.strSlot, ""};
    if (ChoosePort(target, shared))
        return {false, ""};
    const CCardOutcome probe = RunOnPort(*FindCardCommand("probe"), copy.strId, target.strPort, shared, false, true);
    return {probe.nStatus == kCliOk, probe.strImei};
}

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
                CListingPoller& poller, CBenchBoard& board, size_t nRow, double dSentSeconds)
{
    CFollowContext ctx;
    ctx.pPoller = &poller;
    ctx.pClock = shared.pClock;
    ctx.times = {static_cast<uint32_t>(options.dLeaveTimeout * 1000), static_cast<uint32_t>(options.dReturnTimeout * 1000)};
    ctx.askCard = [&shared](const CInventoryCard& back) { return AskReturnedCard(back, shared); };
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
                        CRunShared& shared, CListingPoller* pPoller, CBenchBoard& board, size_t nRow)
{
    const uint32_t nStart = shared.pClock->GetTickCount();
    board.Update(nRow, [](CBenchRow& row) { row.ePhase = ESwitchPhase::kRunning; });
    CCardOutcome outcome = RunTarget(*options.pCommand, target, shared);
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
        FollowCard(options, card, outcome, shared, *pPoller, board, nRow, dSent);
    }
    const double dEnd = Seconds(nStart, shared.pClock->GetTickCount());
    board.Update(nRow, [&](CBenchRow& row) {
        if (!outcome.switchOutcome)
            row.ePhase = ESwitchPhase::kDone;
        row.dSeconds = dEnd;
        row.bFinished = true;
        row.nStatus = outcome.nStatus;
        row.strMessage = outcome.strMessage;
    });
    return outcome;
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
                      CRunShared& shared, CBenchBoard& board)
{
    CCliReport report;
    report.strCommand = options.strCommand;
    report.outcomes.resize(targets.size());
    std::unique_ptr<CListingPoller> pPoller;
    if (options.bWait)
        pPoller = std::make_unique<CListingPoller>(LookAtPlatformSlots, *shared.pClock, kListingPeriodMs);
    RunLimited(targets.size(), options.nJobs, options.nStaggerMs, *shared.pClock, [&](size_t n) {
        report.outcomes[n] = RunCardRow(options, targets[n], cards, shared, pPoller.get(), board, n);
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
    return report;
}

// A card command's run as the bench shows it: with --all on a terminal, a live table in place of the
// progress lines; with --report, the rows kept in a file, whatever ended the run.
CCliReport RunBench(const CCliOptions& options, std::vector<CTarget>& targets, const std::vector<CInventoryCard>& cards,
                    CRunShared& shared)
{
    CBenchBoard board(FirstRows(options, targets, cards));
    std::optional<CBenchView> view;
    if (options.bAll && !options.bQuiet && PrepareLiveTerminal(stderr)) {
        shared.bProgress = false;
        view.emplace(board, stderr);
    }
    CCliReport report = RunCommand(options, targets, cards, shared, board);
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

// ---- the transcript and the report ----------------------------------------------------------------

// The ports and cards a run goes to, as the transcript's header names them.
std::string TargetText(const std::vector<CTarget>& targets)
{
    if (targets.empty())
        return "none";
    std::string str;
    for (const CTarget& target : targets) {
        str += str.empty() ? "" : ", ";
        str += target.strPort.empty() ? "card " + PrintableText(target.strCard)
                                      : "port " + PrintableText(SerialDeviceOfName(target.strPort));
    }
    return str;
}

void WriteTranscriptHeader(CTranscript& transcript, const CCliOptions& options, const std::vector<CInventoryCard>& cards,
                           const std::vector<CTarget>& targets, const std::vector<std::string>& args)
{
    std::string strCommandLine = "vostrel-cli";
    for (const std::string& strArg : args)
        strCommandLine += " " + PrintableText(strArg);
    transcript.Note(std::string("vostrel-cli ") + VOSTREL_VERSION + " " + CliPlatformName());
    transcript.Note("command line: " + strCommandLine);
    if (options.pCommand)
        transcript.Note("target: " + TargetText(targets));
    transcript.Note(cards.empty() ? "cards: none found" : "cards:");
    for (const std::string& strLine : ListLines(cards, &options.labels))
        transcript.Note(strLine);
}

// Ends the transcript: an outcome line per card, or the reason the run did not start; a transcript
// that lost lines turns a success into a failure, since its record is what the user keeps.
void FinishTranscript(CTranscript& transcript, const std::string& strPath, CCliReport& report)
{
    if (!transcript.IsOpen())
        return;
    if (report.outcomes.empty() && report.nStatus != kCliOk)
        transcript.Note("outcome " + report.strMessage);
    for (const CCardOutcome& outcome : report.outcomes)
        transcript.Note("outcome " + OutcomeLine(report.strCommand, outcome));
    const auto [strCall, nCode] = transcript.Finish();
    if (strCall.empty())
        return;
    const std::string strProblem = "the transcript " + PrintableText(strPath) + " is incomplete: " + strCall + ": " +
                                   DescribeFileError({strCall, nCode}, strPath);
    report.nStatus = std::max<int>(report.nStatus, kCliPortFailed);
    report.strMessage = report.strMessage.empty() ? strProblem : report.strMessage + "; " + strProblem;
    std::cerr << "vostrel-cli: " << strProblem << std::endl;
}

// The report on standard output, written at once so that a failure to write it is caught with its
// cause: the errno of the failed write, or 0 when all went out.
int PrintReport(const CCliOptions& options, const CCliReport& report)
{
    const bool bFailedOutsideResults = report.nStatus != kCliOk && report.outcomes.empty() &&
                                       !(report.pCards && report.nStatus == kCliPortFailed);
    std::string strOut;
    if (options.bJson) {
        strOut = JsonText(ReportJson(report)) + "\n";
    } else if (report.pCards) {
        for (const std::string& strLine : ListLines(*report.pCards, report.pLabels, report.bIdentity))
            strOut += strLine + "\n";
    } else {
        for (const CCardOutcome& outcome : report.outcomes)
            strOut += OutcomeLine(report.strCommand, outcome) + "\n";
        if (options.bAll && !report.outcomes.empty())
            strOut += SummaryLine(report.outcomes) + "\n";
    }
    if (bFailedOutsideResults || (report.pCards && report.nStatus != kCliOk))
        std::cerr << "vostrel-cli: " << report.strMessage << std::endl;
    if (!options.bJson) {
        for (const std::string& strWarning : report.warnings)
            std::cerr << "vostrel-cli: warning: " << strWarning << std::endl;
    }
    errno = 0;
    if (std::fwrite(strOut.data(), 1, strOut.size(), stdout) != strOut.size() || std::fflush(stdout) != 0)
        return errno ? errno : EIO;
    return 0;
}

// Standard output that could not take the whole report (a full disk, a closed pipe) fails the run.
int FinishStandardOutput(int nStatus, int nWriteError)
{
    const char* pszCall = "write";
    if (nWriteError == 0) {
        errno = 0;
        if (std::fclose(stdout) == 0)
            return nStatus;
        pszCall = "close";
        nWriteError = errno ? errno : EIO;
    }
    std::cerr << "vostrel-cli: standard output: " << pszCall << ": " << DescribeFileError({pszCall, nWriteError}, "")
              << std::endl;
    return nStatus == kCliOk ? kCliPortFailed : nStatus;
}

void AddSubcommands(CLI::App& app, CCliOptions& options)
{
    CLI::App* pList = app.add_subcommand(kListName, kListHelp);
    pList->callback([&options] { options.strCommand = kListName; });
    pList->add_flag("--probe", options.bProbe, "also send \"AT\" to each port that may take it and show whether it answers");
    for (const CCardCommand& command : CardCommands()) {
        app.add_subcommand(command.pszName, command.pszHelp)->callback([&options, &command] {
            options.strCommand = command.pszName;
            options.pCommand = &command;
        });
    }
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
    CCliOptions options;
    options.bJson = std::find(args.begin(), args.end(), "--json") != args.end();

    CLI::App app{"vostrel-cli: switch the CD-ROM autorun and download mode of USB data cards, from scripts"};
    app.set_version_flag("--version", std::string("vostrel-cli ") + VOSTREL_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    AddSubcommands(app, options);
    CLI::Option* pPort = app.add_option("--port", options.strPort, "the port to use: COM5, 5 or /dev/ttyUSB2");
    CLI::Option* pCard = app.add_option("--card", options.strCard, "the card to use, by the id that list shows");
    CLI::Option* pAll = app.add_flag("--all", options.bAll, "run on every card found, each on its own thread");
    CLI::Option* pSlot = app.add_option("--slot", options.strSlot,
                                        "the card to use, by the slot that list shows (or, with --slots, its label)");
    pPort->type_name("PORT")->excludes(pCard)->excludes(pAll);
    pCard->type_name("ID")->excludes(pAll);
    pSlot->type_name("SLOT")->excludes(pPort)->excludes(pCard)->excludes(pAll);
    app.add_option("--slots", options.strSlotsFile, "label the slots: one \"LABEL SLOT\" per line of FILE (A1 1-4.1)")
        ->type_name("FILE");
    app.add_flag("--json", options.bJson, "print one JSON document instead of plain lines");
    app.add_flag("--quiet", options.bQuiet, "no progress on standard error");
    app.add_option("--log", options.strLog, "append a transcript of every byte to FILE")->type_name("FILE");
    app.add_flag("--wait", options.bWait, "after a switch, follow each card by its slot until it has left (close-autorun) "
                                          "or come back answering AT (open-autorun); status 6 when it does not");
    app.add_option("--leave-timeout", options.dLeaveTimeout, "seconds a switched card has to leave the bus (default 10)")
        ->type_name("S")->check(CLI::Range(0.5, 3600.0));
    app.add_option("--return-timeout", options.dReturnTimeout, "seconds a switched card has to come back (default 20)")
        ->type_name("S")->check(CLI::Range(0.5, 3600.0));
    app.add_option("--report", options.strReport, "write one row per card to FILE: CSV or JSON by its extension")
        ->type_name("FILE");
    app.add_option("--jobs", options.nJobs, "run at most N cards at once (default: all)")->type_name("N")->check(CLI::Range(1, 1024));
    app.add_option("--stagger", options.nStaggerMs, "start each card MS milliseconds after the one before")
        ->type_name("MS")->check(CLI::Range(0, 600000));

    CCliReport report;
    std::optional<std::string> strUsage = CheckSubcommandWord(args);
    if (!strUsage) {
        try {
            app.parse(argc, argv);
            strUsage = CheckOptions(options, app);
            if (!strUsage)
                strUsage = LoadSlotLabels(options);
        } catch (const CLI::CallForHelp& e) {
            return app.exit(e);
        } catch (const CLI::CallForAllHelp& e) {
            return app.exit(e);
        } catch (const CLI::CallForVersion& e) {
            return app.exit(e);
        } catch (const CLI::ParseError& e) {
            strUsage = e.what();
        }
    }
    if (strUsage) {
        report = Failure(options, kCliUsage, *strUsage);
        const int nWriteError = PrintReport(options, report);
        if (!options.bJson)
            std::cerr << "Run with --help for more information." << std::endl;
        return FinishStandardOutput(report.nStatus, nWriteError);
    }

    InstallInterruptHandlers();
    CInterruptibleClock clock;
    CRunShared shared;
    shared.bProgress = !options.bQuiet;
    shared.pClock = &clock;
    CTranscript transcript;
    if (!options.strLog.empty()) {
        CSerialError error;
        transcript.Attach(OpenTranscriptFile(options.strLog, error));
        if (!transcript.IsOpen()) {
            report = Failure(options, kCliPortFailed, "cannot open the transcript " + PrintableText(options.strLog) +
                                                          ": " + error.strCall + ": " + DescribeFileError(error, options.strLog));
            return FinishStandardOutput(report.nStatus, PrintReport(options, report));
        }
        shared.pTranscript = &transcript;
    }

    std::vector<CInventoryCard> cards;
    std::vector<CTarget> targets;
    const bool bUsesPorts = options.pCommand || options.bProbe;
    if (bUsesPorts && WindowIsRunning()) {
        report = Failure(options, kCliPortFailed, "the Vostrel window is running and polls the card: close it first "
                                                  "(two programs on one port corrupt each other's exchanges)");
    } else {
        // A named port needs no listing; only the transcript's header shows the cards beside it.
        // (Listing through udev is most of a probe's time.)
        if (options.strPort.empty() || transcript.IsOpen() || options.bWait)
            cards = ListPlatformCards();
        const std::vector<std::string> warnings = DuplicateSerialWarnings(cards);
        std::optional<CCliReport> failure;
        if (options.pCommand)
            failure = SelectTargets(options, cards, targets);
        if (transcript.IsOpen())
            WriteTranscriptHeader(transcript, options, cards, targets, args);
        if (failure)
            report = *failure;
        else if (!options.pCommand)
            report = RunList(options, cards, shared);
        else
            report = RunBench(options, targets, cards, shared);
        report.warnings = warnings;
    }
    FinishTranscript(transcript, options.strLog, report);
    return FinishStandardOutput(report.nStatus, PrintReport(options, report));
}
