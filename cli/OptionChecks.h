#pragma once
// What is wrong with a command line beyond what CLI11 finds: a subcommand that is missing or
// mistyped (with the nearest name), a value that is empty or is another option, an option that the
// subcommand does not take or that means nothing without another, a --report that cannot be
// written. Each check reads the option table; each answer is one usage error in words.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliOptions.h"

// The number of single-character edits (insert, delete, replace) from a to b.
size_t EditDistance(const std::string& a, const std::string& b);

// The subcommands' names: "list", the card command table's, then "history".
std::vector<std::string> SubcommandNames();

// The word where the subcommand should stand, when it names none: what to say about it ("did you
// mean" the nearest name within three edits).
std::optional<std::string> CheckSubcommandWord(const std::vector<std::string>& args);

// Whether a value is really an option ("--quiet", "-h"): "-", "-5" or "-x" are values.
bool IsOptionWord(const std::string& strValue);

// The checks of the option table on the options as parsed; count(name) says how often an option
// was given.
std::optional<std::string> CheckOptions(const CCliOptions& options, const std::function<size_t(const std::string&)>& count);

// A number option's value before CLI11 converts it: what is wrong when it is no number at all
// ("abc", "nan", "inf"); bWhole for a count.
std::optional<std::string> CheckNumberText(const std::string& strValue, bool bWhole);

// Whether --report can be written where it names, checked before any card is run: its folder is
// there and takes a new file, and the name is not a folder itself.
std::optional<std::string> CheckReportDestination(const std::string& strPath);
