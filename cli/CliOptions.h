#pragma once
// vostrel-cli's command line. Every option is declared once, in the option table (CliOptions.cpp):
// CLI11's options, the options that take a value, the checks, each subcommand's help and so the
// manual page are all made from its rows. "list" is the command line's own subcommand; every other
// one is a row of the card command table.
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cli/SlotLabels.h"
#include "cli/SwitchWatch.h"
#include "commands/CommandTable.h"

struct CCliOptions {
    std::string strCommand;                   // the subcommand given: "list" or a card command's name
    const CCardCommand* pCommand = nullptr;   // its row; nullptr for list
    std::string strPort;
    std::string strCard;
    std::string strSlot;                      // a slot, or with --slots also a label
    std::string strSlotsFile;
    CSlotLabels labels;                       // read from strSlotsFile
    bool bAll = false;
    bool bJson = false;
    bool bProbe = false;
    bool bQuiet = false;
    std::string strLog;
    bool bWait = false;
    double dLeaveTimeout = CSwitchTimes{}.nLeaveMs / 1000.0;   // seconds
    double dReturnTimeout = CSwitchTimes{}.nReturnMs / 1000.0;
    size_t nJobs = 0;                         // 0: every card at once
    uint32_t nStaggerMs = 0;
    std::string strReport;
    // The history: where it is kept, whether at all, and what each record says of the bench.
    std::string strHistory;                   // a file or postgresql://...; empty: VOSTREL_HISTORY, else the default
    bool bNoHistory = false;
    std::string strStation;                   // empty: this machine's name
    std::string strOperator;
    // `history`: what it does (empty: show, "push", "export", "import"), its file, its filters, its form.
    std::string strHistoryAction;
    std::string strImportFile;
    std::string strImei, strSince, strUntil, strResult, strFilterCommand;
    size_t nLimit = 0;
    bool bSummary = false;
    bool bCsv = false;
    bool bNoInhibit = false;
    std::vector<std::string> holdDevices;     // hold: the ports to keep for the window
};

// Which subcommands take an option.
enum class EOptionScope { kEvery, kList, kCardCommands, kSwitchingCommands, kHistory, kCardCommandsAndHistory };

using COptionField = std::variant<bool CCliOptions::*, std::string CCliOptions::*, double CCliOptions::*,
                                  size_t CCliOptions::*, uint32_t CCliOptions::*>;

struct COptionRow {
    const char* pszName;             // "--port"
    COptionField field;              // where its value goes
    const char* pszTypeName;         // "PORT"; nullptr for a flag
    std::string strHelp;
    EOptionScope eScope;
    std::string strOutOfScope;       // what to say when a subcommand outside its scope gets it; empty: ignored
    const char* pszValueWhat = nullptr;   // a text value: what it must name ("a file name"), for the empty-value check
    double dMin = 0, dMax = 0;       // a number: its range (dMin == dMax: none)
    std::vector<std::string> excludes = {};    // options of the rows above that it cannot go with
    const char* pszNeeds = nullptr;            // an option without which it means nothing,
    std::string strNeedsMessage = {};          // and what to say then
    // Its value's own form, once the value is known not to be empty: what is wrong, or nothing.
    std::optional<std::string> (*checkForm)(const std::string& strValue) = nullptr;
};

// The option table, in the order of the help.
const std::vector<COptionRow>& OptionTable();

// Whether the subcommand takes the option: a card command, else list or (bHistory) history.
bool TakesOption(const COptionRow& row, const CCardCommand* pCommand, bool bHistory = false);

// Whether the word is an option that takes a value (so that the word after it is no subcommand).
bool IsValueOption(const std::string& strWord);

// The program's command line, read: the options, or what is wrong with them (a usage error), or
// the exit status of a --help or --version already answered on out.
struct CCommandLine {
    CCliOptions options;
    std::optional<std::string> strUsage;
    std::optional<int> nExit;
};
CCommandLine ReadCommandLine(const std::string& strProgram, const std::vector<std::string>& args, std::ostream& out,
                             std::ostream& err);
