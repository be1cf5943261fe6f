// vostrel-cli: the data card commands from a terminal or a script, on one card or on every card at
// once. Plain lines by default, JSON with --json; progress on standard error; exit status in
// cli/CliStatus.h. It never prompts.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <iostream>
#include <thread>

#include "cli/CardRun.h"
#include "cli/CliPlatform.h"
#include "cli/CliStatus.h"
#include "cli/Output.h"
#include "cli/Transcript.h"

#include "Version.h"   // generated: VOSTREL_VERSION

namespace {

struct CCliOptions {
    ECliCommand eCommand = ECliCommand::kList;
    std::string strPort;
    std::string strCard;
    bool bAll = false;
    bool bJson = false;
    bool bProbe = false;
    bool bQuiet = false;
    std::string strLog;
};

struct CTarget {
    std::string strCard;
    std::string strPort;   // empty: to be chosen from the card's ports by probing
    CInventoryCard* pCard = nullptr;
};

std::string JsonText(const nlohmann::json& j)
{
    // Answers may hold any bytes: invalid UTF-8 becomes U+FFFD rather than an exception.
    return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Sends "AT" to the port when it may take it and notes whether it answered; on a platform without
// roles an answering port becomes the card's AT port. False for a port that was not asked.
bool ProbePort(CInventoryPort& port, CRunShared& shared)
{
    if (port.strDevice.empty() || !MayProbeRole(port.eRole))
        return false;
    port.bAnswersAt = PortAnswersAt(port.strDevice, shared);
    if (*port.bAnswersAt && port.eRole == EPortRole::kUnknown)
        port.eRole = EPortRole::kAt;
    return *port.bAnswersAt;
}

void ProbeCard(CInventoryCard& card, CRunShared& shared)
{
    for (CInventoryPort& port : card.ports)
        ProbePort(port, shared);
}

// The port of a card that commands go to: its modem port, else its AT port, where roles are
// known; else the lowest interface that answers "AT" (ports are in interface order).
std::string ChoosePort(CInventoryCard& card, CRunShared& shared)
{
    for (EPortRole eRole : {EPortRole::kModem, EPortRole::kAt}) {
        for (const CInventoryPort& port : card.ports) {
            if (port.eRole == eRole && !port.strDevice.empty())
                return port.strDevice;
        }
    }
    for (CInventoryPort& port : card.ports) {
        if (ProbePort(port, shared))
            return port.strDevice;
    }
    return {};
}

CCardOutcome RunTarget(const CCliOptions& options, CTarget& target, CRunShared& shared)
{
    if (target.strPort.empty() && target.pCard)
        target.strPort = ChoosePort(*target.pCard, shared);
    if (target.strPort.empty()) {
        CCardOutcome outcome;
        outcome.strCard = target.strCard;
        outcome.nStatus = kCliSilent;
        outcome.strMessage = "no port of the card answers AT";
        return outcome;
    }
    return RunOnPort(options.eCommand, target.strCard, target.strPort, shared);
}

int Fail(int nStatus, const std::string& strMessage)
{
    std::cerr << "vostrel-cli: " << strMessage << std::endl;
    return nStatus;
}

int RunList(const CCliOptions& options, std::vector<CInventoryCard>& cards, CRunShared& shared)
{
    if (options.bProbe) {
        std::vector<std::thread> threads;
        for (CInventoryCard& card : cards)
            threads.emplace_back([&card, &shared] { ProbeCard(card, shared); });
        for (std::thread& thread : threads)
            thread.join();
    }
    if (options.bJson)
        std::cout << JsonText(ListJson(cards)) << std::endl;
    else
        for (const std::string& strLine : ListLines(cards))
            std::cout << strLine << "\n";
    if (cards.empty())
        return Fail(kCliNoCard, "no card found");
    return kCliOk;
}

// The cards the command runs on: the named port, the named card, every card, or the one the window
// would pick.
int SelectTargets(const CCliOptions& options, std::vector<CInventoryCard>& cards, std::vector<CTarget>& targets)
{
    if (!options.strPort.empty()) {
        targets.push_back({"", options.strPort, nullptr});
        return kCliOk;
    }
    if (!options.strCard.empty()) {
        auto it = std::find_if(cards.begin(), cards.end(), [&](const CInventoryCard& c) { return c.strId == options.strCard; });
        if (it == cards.end())
            return Fail(kCliNoCard, "no card " + options.strCard + " (vostrel-cli list shows the cards found)");
        targets.push_back({it->strId, "", &*it});
        return kCliOk;
    }
    if (options.bAll) {
        for (CInventoryCard& card : cards)
            targets.push_back({card.strId, "", &card});
    } else if (const std::optional<std::string> strPort = WindowChoiceOfPort()) {
        targets.push_back({"", *strPort, nullptr});
    } else if (!cards.empty()) {
        targets.push_back({cards.front().strId, "", &cards.front()});
    }
    if (targets.empty())
        return Fail(kCliNoCard, "no card found");
    return kCliOk;
}

int RunCommand(const CCliOptions& options, std::vector<CInventoryCard>& cards, CRunShared& shared)
{
    std::vector<CTarget> targets;
    if (const int nStatus = SelectTargets(options, cards, targets); nStatus != kCliOk)
        return nStatus;

    std::vector<CCardOutcome> outcomes(targets.size());
    std::vector<std::thread> threads;
    for (size_t n = 0; n < targets.size(); ++n)
        threads.emplace_back([&, n] { outcomes[n] = RunTarget(options, targets[n], shared); });
    for (std::thread& thread : threads)
        thread.join();

    int nStatus = kCliOk;
    for (const CCardOutcome& outcome : outcomes) {
        nStatus = std::max(nStatus, outcome.nStatus);
        if (shared.pTranscript)
            shared.pTranscript->Note("outcome " + OutcomeLine(options.eCommand, outcome));
    }
    if (options.bJson) {
        std::cout << JsonText(OutcomesJson(options.eCommand, outcomes, nStatus)) << std::endl;
    } else {
        for (const CCardOutcome& outcome : outcomes)
            std::cout << OutcomeLine(options.eCommand, outcome) << "\n";
        if (options.bAll)
            std::cout << SummaryLine(outcomes) << "\n";
    }
    return nStatus;
}

void WriteTranscriptHeader(CTranscript& transcript, const std::vector<CInventoryCard>& cards, int argc, char** argv)
{
    std::string strCommandLine;
    for (int n = 0; n < argc; ++n)
        strCommandLine += (n ? " " : "") + std::string(argv[n]);
    transcript.Note(std::string("vostrel-cli ") + VOSTREL_VERSION + " " + CliPlatformName());
    transcript.Note("command line: " + strCommandLine);
    transcript.Note(cards.empty() ? "no card found" : "cards:");
    for (const std::string& strLine : ListLines(cards))
        transcript.Note(strLine);
}

void AddCommand(CLI::App& app, CCliOptions& options, const char* pszName, ECliCommand eCommand, const char* pszHelp)
{
    CLI::App* pSub = app.add_subcommand(pszName, pszHelp);
    pSub->callback([&options, eCommand] { options.eCommand = eCommand; });
    if (eCommand == ECliCommand::kList)
        pSub->add_flag("--probe", options.bProbe, "also send \"AT\" to each port that may take it and show whether it answers");
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"vostrel-cli: switch the CD-ROM autorun and download mode of USB data cards, from scripts"};
    app.set_version_flag("--version", std::string("vostrel-cli ") + VOSTREL_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    CCliOptions options;
    AddCommand(app, options, "list", ECliCommand::kList, "list every card found, with its ports and their roles");
    AddCommand(app, options, "probe", ECliCommand::kProbe, "send \"AT\" to the card; success when it answers OK");
    AddCommand(app, options, "close-autorun", ECliCommand::kCloseAutorun, "close autorun and enter download mode");
    AddCommand(app, options, "open-autorun", ECliCommand::kOpenAutorun, "open autorun and exit download mode");
    AddCommand(app, options, "sim-status", ECliCommand::kSimStatus, "ask the card for its SIM status");
    CLI::Option* pPort = app.add_option("--port", options.strPort, "the port to use: COM5, 5 or /dev/ttyUSB2");
    CLI::Option* pCard = app.add_option("--card", options.strCard, "the card to use, by the id that list shows");
    CLI::Option* pAll = app.add_flag("--all", options.bAll, "run on every card found, each on its own thread");
    pPort->excludes(pCard)->excludes(pAll);
    pCard->excludes(pAll);
    app.add_flag("--json", options.bJson, "print JSON instead of plain lines");
    app.add_flag("--quiet", options.bQuiet, "no progress on standard error");
    app.add_option("--log", options.strLog, "append a transcript of every byte to FILE");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "vostrel-cli: " << e.what() << "\n" << "Run with --help for more information." << std::endl;
        return kCliUsage;
    }

    CRunShared shared;
    shared.bProgress = !options.bQuiet;
    CTranscript transcript;
    if (!options.strLog.empty()) {
        if (!transcript.Open(options.strLog))
            return Fail(kCliUsage, options.strLog + ": cannot open the log file for appending");
        shared.pTranscript = &transcript;
    }

    const bool bUsesPorts = options.eCommand != ECliCommand::kList || options.bProbe;
    if (bUsesPorts && WindowIsRunning())
        return Fail(kCliPortFailed, "the Vostrel window is running and polls the card: close it first "
                                    "(two programs on one port corrupt each other's exchanges)");

    std::vector<CInventoryCard> cards = ListPlatformCards();
    if (transcript.IsOpen())
        WriteTranscriptHeader(transcript, cards, argc, argv);
    if (options.eCommand == ECliCommand::kList)
        return RunList(options, cards, shared);
    return RunCommand(options, cards, shared);
}
