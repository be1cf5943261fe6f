#include "cli/CliOptions.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <sstream>

#include "cli/BenchReport.h"
#include "cli/CliPlatform.h"
#include "cli/OptionChecks.h"
#include "cli/Output.h"
#include "cli/PortHold.h"
#include "cli/UdevRule.h"
#include "cli/Transcript.h"

#include "Version.h"   // generated: VOSTREL_VERSION

namespace {

constexpr const char* kDescription =
    "vostrel-cli: switch the CD-ROM autorun and download mode of USB data cards, from scripts";
constexpr const char* kListHelp = "list every card found, with its ports and their roles";
constexpr const char* kHistoryHelp = "show the runs kept in the history, newest first (push, export, import: see below)";
constexpr const char* kHoldHelp =
    "keep the ports DEVICE... for another program (the window): refused while anybody else has one open, "
    "ModemManager asked to let go of them, until a signal ends it";
constexpr const char* kUdevRuleHelp =
    "print a udev rule that keeps ModemManager off the bench's slots (--slots FILE) for good and gives the "
    "group dialout their ports";

std::string SwitchingCommandList()
{
    std::string str;
    for (const CCardCommand& command : CardCommands()) {
        if (command.eAfterRun != ECardAfterRun::kStays)
            str += (str.empty() ? "" : ", ") + std::string(command.pszName);
    }
    return str;
}

// "10", "0.5": a default in the help as a person writes it.
std::string SecondsText(uint32_t nMs)
{
    std::ostringstream text;
    text << nMs / 1000.0;
    return text.str();
}

std::optional<std::string> CheckReportName(const std::string& strValue)
{
    if (!ReportFormatOfPath(strValue))
        return "--report needs a file name ending in .csv or .json, not \"" + PrintableText(strValue) + "\"";
    return std::nullopt;
}

std::optional<std::string> CheckResultWord(const std::string& strValue)
{
    if (strValue != "ok" && strValue != "failed")
        return "--result needs ok or failed, not \"" + PrintableText(strValue) + "\"";
    return std::nullopt;
}

// A UTC date or time as the records write them: 2026-12-10, or 2026-12-10T08:00 and more of it.
std::optional<std::string> CheckTimeText(const std::string& strValue)
{
    const std::string strForm = "dddd-dd-ddTdd:dd:dd.dddZ";
    bool bFits = strValue.size() == 10 || (strValue.size() >= 16 && strValue.size() <= strForm.size());
    for (size_t n = 0; bFits && n < strValue.size(); ++n)
        bFits = strForm[n] == 'd' ? std::isdigit(static_cast<unsigned char>(strValue[n])) != 0 : strValue[n] == strForm[n];
    if (!bFits)
        return "--since and --until need a UTC date or time (2026-12-10 or 2026-12-10T08:30), not \"" +
               PrintableText(strValue) + "\"";
    return std::nullopt;
}

std::vector<COptionRow> MakeOptionTable()
{
    using O = CCliOptions;
    const std::string strChooseCard =
        "list lists every card: --port, --card, --slot and --all choose the card of a command that uses one";
    const std::string strTimes = "--leave-timeout and --return-timeout are the times of --wait, which is not given";
    const CSwitchTimes defaults;
    // clang-format off
    return {
        {"--port", &O::strPort, "PORT", "the port to use: COM5, 5 or /dev/ttyUSB2", EOptionScope::kCardCommands,
         strChooseCard, "a port name (COM5, 5 or /dev/ttyUSB2)"},
        {"--card", &O::strCard, "ID", "the card to use, by the id that list shows", EOptionScope::kCardCommands,
         strChooseCard, "a card id as list shows it", 0, 0, {"--port"}},
        {"--all", &O::bAll, nullptr, "run on every card found, each on its own thread", EOptionScope::kCardCommands,
         strChooseCard, nullptr, 0, 0, {"--port", "--card"}},
        {"--slot", &O::strSlot, "SLOT", "the card to use, by the slot that list shows (or, with --slots, its label)",
         EOptionScope::kCardCommandsAndHistory, strChooseCard, "a slot as list shows it (or a label of the --slots file)", 0, 0,
         {"--port", "--card", "--all"}},
        {"--slots", &O::strSlotsFile, "FILE", "label the slots: one \"LABEL SLOT\" per line of FILE (A1 1-4.1)",
         EOptionScope::kEvery, "", "a file name"},
        {"--json", &O::bJson, nullptr, "print one JSON document instead of plain lines", EOptionScope::kEvery, "", nullptr},
        {"--quiet", &O::bQuiet, nullptr, "no progress on standard error", EOptionScope::kEvery, "", nullptr},
        {"--log", &O::strLog, "FILE", "append a transcript of every byte to FILE", EOptionScope::kEvery, "", "a file name"},
        {"--wait", &O::bWait, nullptr, "after a switch, follow each card by its slot until it has left (close-autorun) "
         "or come back answering AT (open-autorun); status 6 when it does not", EOptionScope::kSwitchingCommands,
         "--wait follows a card through its switch: only the commands that switch it take it (" + SwitchingCommandList() + ")",
         nullptr},
        {"--leave-timeout", &O::dLeaveTimeout, "S",
         "seconds a switched card has to leave the bus (default " + SecondsText(defaults.nLeaveMs) + ")",
         EOptionScope::kSwitchingCommands, "", nullptr, 0.5, 3600.0, {}, "--wait", strTimes},
        {"--return-timeout", &O::dReturnTimeout, "S",
         "seconds a switched card has to come back (default " + SecondsText(defaults.nReturnMs) + ")",
         EOptionScope::kSwitchingCommands, "", nullptr, 0.5, 3600.0, {}, "--wait", strTimes},
        {"--report", &O::strReport, "FILE", "write one row per card to FILE: CSV or JSON by its extension",
         EOptionScope::kCardCommands, "--report keeps the rows of a card command's run; list has none",
         "a file name ending in .csv or .json", 0, 0, {}, nullptr, "", CheckReportName},
        {"--jobs", &O::nJobs, "N", "run at most N cards at once (default: all)", EOptionScope::kCardCommands, "", nullptr,
         1, 1024},
        {"--stagger", &O::nStaggerMs, "MS", "start each card MS milliseconds after the one before",
         EOptionScope::kCardCommands, "", nullptr, 0, 600000},
        {"--no-inhibit", &O::bNoInhibit, nullptr, "do not ask ModemManager to let go of a card whose port it has open: "
         "refuse the card like any other program's", EOptionScope::kEvery, "", nullptr},
        {"--probe", &O::bProbe, nullptr, "also send \"AT\" to each port that may take it and show whether it answers",
         EOptionScope::kList, "", nullptr},
        {"--history", &O::strHistory, "STORE", "keep each card's run in STORE: an SQLite file, or postgresql://... for a "
         "fleet of benches (default: $VOSTREL_HISTORY, else the user's own history.db)",
         EOptionScope::kCardCommandsAndHistory, "", "a file name or a postgresql:// address"},
        {"--no-history", &O::bNoHistory, nullptr, "keep no record of this run", EOptionScope::kCardCommands, "", nullptr,
         0, 0, {"--history"}},
        {"--station", &O::strStation, "NAME", "the bench's name in the records (default: the host name); history: only "
         "this bench's", EOptionScope::kCardCommandsAndHistory, "", "a station name"},
        {"--operator", &O::strOperator, "NAME", "who works the bench, for the records", EOptionScope::kCardCommands, "",
         "a name"},
        {"--imei", &O::strImei, "IMEI", "only the records of this IMEI", EOptionScope::kHistory, "", "an IMEI"},
        {"--since", &O::strSince, "UTC", "only the runs started at or after this UTC date or time (2026-12-10T08:00)",
         EOptionScope::kHistory, "", "a date or time", 0, 0, {}, nullptr, "", CheckTimeText},
        {"--until", &O::strUntil, "UTC", "only the runs started at or before this UTC date or time",
         EOptionScope::kHistory, "", "a date or time", 0, 0, {}, nullptr, "", CheckTimeText},
        {"--result", &O::strResult, "ok|failed", "only the runs that succeeded, or those that failed",
         EOptionScope::kHistory, "", "ok or failed", 0, 0, {}, nullptr, "", CheckResultWord},
        {"--command", &O::strFilterCommand, "NAME", "only the runs of this subcommand", EOptionScope::kHistory, "",
         "a subcommand's name"},
        {"--limit", &O::nLimit, "N", "at most N records", EOptionScope::kHistory, "", nullptr, 1, 100000000},
        {"--csv", &O::bCsv, nullptr, "print the records as CSV, with the columns of --report's",
         EOptionScope::kHistory, "", nullptr},
        {"--summary", &O::bSummary, nullptr, "per day and station: the ok and failed runs and the median seconds",
         EOptionScope::kHistory, "", nullptr, 0, 0, {"--csv"}},
    };
    // clang-format on
}

// A subcommand's help lists, besides its own options, those of the program that it takes: the
// options stand before or after the subcommand alike.
class CHelpFormatter : public CLI::Formatter {
public:
    std::string make_help(const CLI::App* pApp, std::string strName, CLI::AppFormatMode eMode) const override
    {
        const CLI::App* pParent = pApp->get_parent();
        if (!pParent || eMode == CLI::AppFormatMode::Sub)
            return CLI::Formatter::make_help(pApp, strName, eMode);
        const CCardCommand* pCommand = FindCardCommand(pApp->get_name().c_str());
        std::vector<const CLI::Option*> options = pApp->get_options([](const CLI::Option* p) { return p->nonpositional(); });
        for (const COptionRow& row : OptionTable()) {
            const CLI::Option* pOption = pParent->get_option_no_throw(row.pszName);
            if (pOption && TakesOption(row, pCommand, pApp->get_name() == kHistoryCommandName))
                options.push_back(pOption);
        }
        return make_description(pApp) + make_usage(pApp, strName) + make_positionals(pApp) +
               make_group("Options", false, options) + "\n" +
               make_subcommands(pApp, eMode) + make_footer(pApp);
    }
};

// CLI11's option for a row, on the program or (a subcommand's own option) on the subcommand.
void AddOption(CLI::App& app, const COptionRow& row, CCliOptions& options)
{
    CLI::Option* pOption = std::visit(
        [&](auto field) -> CLI::Option* {
            using T = std::remove_reference_t<decltype(options.*field)>;
            if constexpr (std::is_same_v<T, bool>)
                return app.add_flag(row.pszName, options.*field, row.strHelp);
            else
                return app.add_option(row.pszName, options.*field, row.strHelp)->type_name(row.pszTypeName);
        },
        row.field);
    if (!std::holds_alternative<std::string CCliOptions::*>(row.field) && row.pszTypeName) {
        const bool bWhole = !std::holds_alternative<double CCliOptions::*>(row.field);
        pOption->check(CLI::Validator(
            [bWhole](std::string& strValue) { return CheckNumberText(strValue, bWhole).value_or(""); }, "", ""));
    }
    if (row.dMin != row.dMax) {
        if (std::holds_alternative<double CCliOptions::*>(row.field))
            pOption->check(CLI::Range(row.dMin, row.dMax));
        else
            pOption->check(CLI::Range(static_cast<long long>(row.dMin), static_cast<long long>(row.dMax)));
    }
    for (const std::string& strOther : row.excludes)
        pOption->excludes(app.get_option(strOther));
}

void DeclareCommandLine(CLI::App& app, CCliOptions& options)
{
    app.set_version_flag("--version", std::string("vostrel-cli ") + VOSTREL_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    app.formatter(std::make_shared<CHelpFormatter>());
    CLI::App* pList = app.add_subcommand(kListCommandName, kListHelp);
    pList->callback([&options] { options.strCommand = kListCommandName; });
    CLI::App* pHistory = app.add_subcommand(kHistoryCommandName, kHistoryHelp);
    pHistory->callback([&options] { options.strCommand = kHistoryCommandName; });
    pHistory->require_subcommand(0, 1);
    pHistory->fallthrough();
    pHistory->add_subcommand("push", "send the records that the server has not confirmed to it (--history postgresql://...)")
        ->callback([&options] { options.strHistoryAction = "push"; });
    pHistory->add_subcommand("export", "write the records that match as JSON lines to standard output")
        ->callback([&options] { options.strHistoryAction = "export"; });
    CLI::App* pImport = pHistory->add_subcommand("import", "add the records of an export (FILE, or - for standard input) "
                                                           "to the store; those it holds already are left as they are");
    pImport->callback([&options] { options.strHistoryAction = "import"; });
    pImport->add_option("FILE", options.strImportFile, "the exported records")->required();
    CLI::App* pHold = app.add_subcommand(kHoldCommandName, kHoldHelp);
    pHold->callback([&options] { options.strCommand = kHoldCommandName; });
    pHold->add_option("DEVICE", options.holdDevices, "a port of the card: /dev/ttyUSB2")->required();
    app.add_subcommand(kUdevRuleCommandName, kUdevRuleHelp)->callback([&options] {
        options.strCommand = kUdevRuleCommandName;
    });
    for (const CCardCommand& command : CardCommands()) {
        app.add_subcommand(command.pszName, command.pszHelp)->callback([&options, &command] {
            options.strCommand = command.pszName;
            options.pCommand = &command;
        });
    }
    for (const COptionRow& row : OptionTable())
        AddOption(row.eScope == EOptionScope::kList ? *pList : row.eScope == EOptionScope::kHistory ? *pHistory : app, row,
                  options);
    app.footer(InterruptHelp());   // after the subcommands, which would take it over
}

} // namespace

const std::vector<COptionRow>& OptionTable()
{
    static const std::vector<COptionRow> table = MakeOptionTable();
    return table;
}

bool TakesOption(const COptionRow& row, const CCardCommand* pCommand, bool bHistory)
{
    switch (row.eScope) {
    case EOptionScope::kEvery: return true;
    case EOptionScope::kList: return pCommand == nullptr && !bHistory;
    case EOptionScope::kHistory: return bHistory;
    case EOptionScope::kCardCommandsAndHistory: return pCommand != nullptr || bHistory;
    case EOptionScope::kCardCommands: return pCommand != nullptr;
    case EOptionScope::kSwitchingCommands: return pCommand && pCommand->eAfterRun != ECardAfterRun::kStays;
    }
    return false;
}

bool IsValueOption(const std::string& strWord)
{
    const std::vector<COptionRow>& table = OptionTable();
    return std::any_of(table.begin(), table.end(),
                       [&](const COptionRow& row) { return row.pszTypeName && strWord == row.pszName; });
}

CCommandLine ReadCommandLine(const std::string& strProgram, const std::vector<std::string>& args, std::ostream& out,
                             std::ostream& err)
{
    CCommandLine line;
    CCliOptions& options = line.options;
    options.bJson = std::find(args.begin(), args.end(), "--json") != args.end();
    CLI::App app{kDescription, strProgram};
    DeclareCommandLine(app, options);

    line.strUsage = CheckSubcommandWord(args);
    if (line.strUsage)
        return line;
    try {
        app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
        line.strUsage = CheckOptions(options, [&app](const std::string& strName) {
            const CLI::Option* pOption = app.get_option_no_throw(strName);
            for (const char* pszSub : {kListCommandName, kHistoryCommandName}) {
                if (!pOption)
                    pOption = app.get_subcommand(pszSub)->get_option_no_throw(strName);
            }
            return pOption ? pOption->count() : 0;
        });
        if (!line.strUsage && options.bCsv && options.bJson)
            line.strUsage = "--csv and --json are two forms of the records: give one of them";
        if (!line.strUsage && !options.strSlotsFile.empty())
            line.strUsage = ReadSlotLabelsFile(options.strSlotsFile, options.labels);
        if (!line.strUsage && !options.strReport.empty())
            line.strUsage = CheckReportDestination(options.strReport);
    } catch (const CLI::CallForHelp& e) {
        line.nExit = app.exit(e, out, err);
    } catch (const CLI::CallForAllHelp& e) {
        line.nExit = app.exit(e, out, err);
    } catch (const CLI::CallForVersion& e) {
        line.nExit = app.exit(e, out, err);
    } catch (const CLI::ParseError& e) {
        line.strUsage = PrintableText(e.what());
    }
    return line;
}
