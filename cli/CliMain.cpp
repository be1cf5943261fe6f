// vostrel-cli: the data card commands from a terminal or a script, on one card or on every card at
// once. Plain lines by default, JSON with --json (one document, whatever ends the run); progress on
// standard error; exit status in cli/CliStatus.h. It never prompts.
//
// This is main() and its wiring: the command line (cli/CliOptions), the transcript, the listing of
// the cards and the choice of targets (cli/Targets), then list (cli/PortChoice) or a card command on
// its targets (cli/BenchCommand), and what the run leaves behind (cli/RunOutput).
#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "cli/BenchCommand.h"
#include "cli/CliOptions.h"
#include "cli/CliPlatform.h"
#include "cli/CliStatus.h"
#include "cli/History.h"
#include "cli/Interrupt.h"
#include "cli/PortChoice.h"
#include "cli/PortHold.h"
#include "cli/RunOutput.h"
#include "cli/Targets.h"
#include "cli/Transcript.h"
#include "cli/UdevRule.h"

#include "Version.h"   // generated: VOSTREL_VERSION

namespace {

// The report's status and standard output's fate make the exit status. Everything the run leaves
// is written then, which a closing console waits for.
int Finish(const CCliOptions& options, const CCliReport& report)
{
    const int nExit = FinishStandardOutput(report.nStatus, PrintReport(options, report));
    NoteRunFinished();
    return nExit;
}

// The cards and the run once the program may use ports: list, or the command on its targets.
// The cards are the caller's: list's report points at them.
CCliReport Run(const CCliOptions& options, const std::vector<std::string>& args, CTranscript& transcript,
               CRunShared& shared, std::vector<CInventoryCard>& cards)
{
    if (options.strCommand == kHoldCommandName)
        return RunHold(options.holdDevices, shared);
    const bool bUsesPorts = options.pCommand || options.bProbe;
    if (bUsesPorts && WindowIsRunning())
        return FailureReport(options, kCliPortFailed, "the Vostrel window is running and polls the card: close it first "
                                                      "(two programs on one port corrupt each other's exchanges)");
    // A named port needs no listing; only the transcript's header and --wait (the port's slot) need
    // the cards beside it. (Listing through udev is most of a probe's time.)
    if (options.strPort.empty() || transcript.IsOpen() || options.bWait)
        cards = ListPlatformCards();
    std::vector<CTarget> targets;
    std::optional<CCliReport> failure;
    if (options.pCommand) {
        const CTargetChoice choice{options.strPort, options.strCard, options.strSlot, options.bAll};
        const std::optional<CTargetFailure> none =
            SelectTargets(choice, options.labels, cards, WindowChoiceOfPort, targets);
        const std::optional<std::string> strCannot = !none && options.bWait ? CheckTargetsCanBeFollowed(targets)
                                                                             : std::nullopt;
        if (none)
            failure = FailureReport(options, none->nStatus, none->strMessage);
        else if (strCannot)
            failure = FailureReport(options, kCliUsage, *strCannot);
    }
    if (transcript.IsOpen())
        WriteTranscriptHeader(transcript, options, cards, targets, args);
    CCliReport report = failure ? *failure
                        : options.pCommand ? RunBench(options, targets, cards, shared)
                                           : RunList(options.bProbe, options.labels, cards, shared);
    std::vector<std::string> warnings = DuplicateSerialWarnings(cards);
    warnings.insert(warnings.end(), report.warnings.begin(), report.warnings.end());
    report.warnings = std::move(warnings);
    return report;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
    const CCommandLine line = ReadCommandLine(argc > 0 ? argv[0] : "vostrel-cli", args, std::cout, std::cerr);
    if (line.nExit)
        return *line.nExit;
    const CCliOptions& options = line.options;
    if (line.strUsage) {
        const CCliReport report = FailureReport(options, kCliUsage, *line.strUsage);
        const int nWriteError = PrintReport(options, report);
        if (!options.bJson)
            std::cerr << "Run with --help for more information." << std::endl;
        return FinishStandardOutput(report.nStatus, nWriteError);
    }
    if (options.strCommand == kHistoryCommandName)
        return RunHistoryCommand(options);

    if (options.strCommand == kUdevRuleCommandName) {
        std::string strRule;
        if (const std::optional<std::string> strProblem = UdevRuleText(options.labels, strRule))
            return Finish(options, FailureReport(options, kCliUsage, *strProblem));
        std::cout << strRule << std::flush;
        return std::cout ? kCliOk : kCliPortFailed;
    }

    InstallInterruptHandlers();
    CInterruptibleClock clock;
    CRunShared shared;
    shared.bProgress = !options.bQuiet;
    shared.bInhibit = !options.bNoInhibit;
    shared.pClock = &clock;
    CTranscript transcript;
    if (!options.strLog.empty()) {
        std::string strProblem;
        transcript.Attach(OpenTranscriptFile(options.strLog, strProblem));
        if (!transcript.IsOpen())
            return Finish(options, FailureReport(options, kCliPortFailed,
                                                 "cannot open the transcript " + PrintableText(options.strLog) + ": " +
                                                     PrintableText(strProblem)));
        shared.pTranscript = &transcript;
    }
    // A store that was named must take the records before any card is sent anything.
    CRunHistory history;
    std::vector<std::string> historyWarnings;
    if (options.pCommand) {
        const CHistoryPlace place = HistoryPlaceOf(options, std::getenv("VOSTREL_HISTORY"), DefaultHistoryPath());
        if (const std::optional<std::string> strProblem = history.Open(place, historyWarnings))
            return Finish(options, FailureReport(options, kCliUsage, *strProblem));
    }
    std::vector<CInventoryCard> cards;
    CCliReport report = Run(options, args, transcript, shared, cards);
    ReleaseModemManager();
    if (options.pCommand && !report.outcomes.empty()) {
        const CRecordContext context{options.strStation.empty() ? StationName() : options.strStation, options.strOperator,
                                     VOSTREL_VERSION};
        history.Record(report.outcomes, context, historyWarnings);
    }
    report.warnings.insert(report.warnings.end(), historyWarnings.begin(), historyWarnings.end());
    FinishTranscript(transcript, options.strLog, report);
    // The server is sent the records once the cards' results are out: a slow server delays nobody.
    const int nWriteError = PrintReport(options, report);
    history.Push(options.bQuiet);
    return FinishStandardOutput(report.nStatus, nWriteError);
}
