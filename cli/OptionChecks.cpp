#include "cli/OptionChecks.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>

#include "cli/BenchReport.h"
#include "cli/Output.h"
#include "cli/PortHold.h"
#include "cli/UdevRule.h"
#include "cli/Transcript.h"

namespace {

std::string SubcommandList()
{
    std::string str;
    for (const std::string& strName : SubcommandNames())
        str += (str.empty() ? "" : ", ") + strName;
    return str;
}

// An option given an empty value, or the next option's name because its own value was left out
// ("--port $PORT" with PORT unset): never "any card".
std::optional<std::string> CheckValue(const COptionRow& row, const std::string& strValue)
{
    const std::string strName = row.pszName;
    if (strValue.find_first_not_of(" \t\r\n") == std::string::npos)
        return strName + " needs " + row.pszValueWhat + ", but its value is empty";
    if (IsOptionWord(strValue))
        return strName + " needs " + row.pszValueWhat + ", but got \"" + PrintableText(strValue) + "\", which is an option";
    return std::nullopt;
}

} // namespace

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
    std::vector<std::string> names = {kListCommandName, kHoldCommandName, kUdevRuleCommandName};
    for (const CCardCommand& command : CardCommands())
        names.push_back(command.pszName);
    names.push_back(kHistoryCommandName);
    return names;
}

std::optional<std::string> CheckSubcommandWord(const std::vector<std::string>& args)
{
    for (size_t n = 0; n < args.size(); ++n) {
        const std::string& strArg = args[n];
        if (strArg == "--help" || strArg == "-h" || strArg == "--version")
            return std::nullopt;   // answered before anything else
        if (IsValueOption(strArg)) {
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

bool IsOptionWord(const std::string& strValue)
{
    // The program has no short option but -h; "--" and a letter starts every long one.
    return strValue == "-h" ||
           (strValue.size() > 2 && strValue.starts_with("--") && std::isalpha(static_cast<unsigned char>(strValue[2])));
}

std::optional<std::string> CheckOptions(const CCliOptions& options, const std::function<size_t(const std::string&)>& count)
{
    const std::vector<COptionRow>& table = OptionTable();
    for (const COptionRow& row : table) {
        const auto* pField = std::get_if<std::string CCliOptions::*>(&row.field);
        if (pField && row.pszValueWhat && count(row.pszName) > 0) {
            if (std::optional<std::string> strProblem = CheckValue(row, options.**pField))
                return strProblem;
        }
    }
    for (const COptionRow& row : table) {
        if (!row.strOutOfScope.empty() && count(row.pszName) > 0 &&
            !TakesOption(row, options.pCommand, options.strCommand == kHistoryCommandName))
            return row.strOutOfScope;
    }
    for (const COptionRow& row : table) {
        const auto* pField = std::get_if<std::string CCliOptions::*>(&row.field);
        if (pField && row.checkForm && count(row.pszName) > 0) {
            if (std::optional<std::string> strProblem = row.checkForm(options.**pField))
                return strProblem;
        }
    }
    for (const COptionRow& row : table) {
        if (row.pszNeeds && count(row.pszName) > 0 && count(row.pszNeeds) == 0)
            return row.strNeedsMessage;
    }
    return std::nullopt;
}

std::optional<std::string> CheckNumberText(const std::string& strValue, bool bWhole)
{
    // Appended, not "\"" + text: mingw's -O3 takes that concatenation for an overlapping copy.
    std::string strShown(1, '"');
    strShown.append(PrintableText(strValue)).push_back('"');
    // Decimal digits only: no sign but a leading minus, no spaces, no hex, no exponent, and no
    // leading zero, which some tools read as octal ("010").
    const size_t nStart = strValue.starts_with("-") ? 1 : 0;
    const size_t nPoint = strValue.find('.', nStart);
    const size_t nWholeEnd = nPoint == std::string::npos ? strValue.size() : nPoint;
    const auto digits = [&](size_t nFrom, size_t nTo) {
        return nTo > nFrom && std::all_of(strValue.begin() + static_cast<std::ptrdiff_t>(nFrom),
                                          strValue.begin() + static_cast<std::ptrdiff_t>(nTo),
                                          [](char c) { return c >= '0' && c <= '9'; });
    };
    bool bDecimal = digits(nStart, nWholeEnd) && (nPoint == std::string::npos || digits(nPoint + 1, strValue.size()));
    if (bDecimal && nWholeEnd - nStart > 1 && strValue[nStart] == '0')
        return strShown + " is not a number: write it without leading zeros";
    if (bDecimal && bWhole && nPoint != std::string::npos)
        bDecimal = false;
    if (!bDecimal)
        return strShown + (bWhole ? " is not a number (a whole number in decimal digits is needed)"
                                  : " is not a number (decimal digits, with a point for a fraction: 2.5)");
    return std::nullopt;
}

std::optional<std::string> CheckReportDestination(const std::string& strPath)
{
    const std::string strShown = "--report " + PrintableText(strPath);
    std::error_code error;
    if (std::filesystem::is_directory(strPath, error))
        return strShown + ": cannot be written: it is a folder";
    std::filesystem::path folder = std::filesystem::path(strPath).parent_path();
    if (folder.empty())
        folder = ".";
    const std::filesystem::file_status status = std::filesystem::status(folder, error);
    if (error)
        return strShown + ": cannot be written: its folder " + PrintableText(folder.string()) + ": " + ErrorCodeText(error);
    if (!std::filesystem::is_directory(status))
        return strShown + ": cannot be written: " + PrintableText(folder.string()) + " is not a folder";
    // The report is written beside its name and renamed over it: the folder must take a new file,
    // and what is there must be the caller's to replace.
    const std::optional<std::string> strCannot = CheckReportReplaceable(strPath);
    if (strCannot)
        return strShown + ": cannot be written: " + *strCannot;
    return std::nullopt;
}
