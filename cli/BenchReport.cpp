#include "cli/BenchReport.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

#include <nlohmann/json.hpp>

#include "cli/CliPlatform.h"
#include "cli/Output.h"
#include "cli/Transcript.h"

namespace {

const char* const kFields[] = {"slot",    "label", "ports", "model", "imei",    "command", "status",
                               "seconds", "sent",  "left",  "back",  "settled", "message", "transcript",
                               "modem_manager"};

std::string Lower(std::string str)
{
    for (char& ch : str)
        ch = (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
    return str;
}

} // namespace

std::string CsvSeconds(double dSeconds)
{
    char szText[32];
    std::snprintf(szText, sizeof szText, "%.3f", dSeconds);
    return szText;
}

namespace {

std::string JoinPorts(const std::vector<std::string>& ports)
{
    std::string str;
    for (const std::string& strPort : ports)
        str += (str.empty() ? "" : " ") + strPort;
    return str;
}

} // namespace

// A text from the cards or the user, as a CSV field that no spreadsheet runs as a formula.
std::string CsvText(const std::string& str)
{
    std::string strField = PrintableText(str);
    // A spreadsheet skips leading spaces before it looks for a formula's sign.
    const size_t nFirst = strField.find_first_not_of(' ');
    if (nFirst != std::string::npos && std::string("=+-@\t\r").find(strField[nFirst]) != std::string::npos)
        strField.insert(0, 1, '\'');
    if (strField.find_first_of(",\"\r\n") == std::string::npos)
        return strField;
    std::string strQuoted = "\"";
    for (char ch : strField)
        strQuoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return strQuoted + "\"";
}

namespace {

std::vector<std::string> CsvFields(const CBenchRow& row)
{
    std::vector<std::string> fields = {CsvText(row.strSlot),    CsvText(row.strLabel),   CsvText(JoinPorts(row.ports)),
                                       CsvText(row.strModel),   CsvText(row.strImei),    CsvText(row.strCommand),
                                       row.bFinished ? std::to_string(row.nStatus) : "", CsvSeconds(row.dSeconds)};
    for (const std::optional<double>& dPhase : row.phaseSeconds)
        fields.push_back(dPhase ? CsvSeconds(*dPhase) : "");
    fields.push_back(CsvText(row.strMessage));
    fields.push_back(CsvText(row.strTranscript));
    fields.push_back(row.bModemManagerInhibited ? "inhibited" : "");
    return fields;
}

} // namespace

std::string CsvLine(const std::vector<std::string>& fields)
{
    std::string strLine;
    for (size_t n = 0; n < fields.size(); ++n)
        strLine += (n ? "," : "") + fields[n];
    return strLine + "\r\n";
}

namespace {

nlohmann::json SecondsJson(double dSeconds)
{
    return static_cast<double>(static_cast<long long>(dSeconds * 1000 + 0.5)) / 1000;
}

} // namespace

nlohmann::json BenchReportRecord(const CBenchRow& row)
{
    nlohmann::json j = {{"slot", TextOrNull(row.strSlot)},
                        {"label", TextOrNull(row.strLabel)},
                        {"ports", row.ports},
                        {"model", TextOrNull(row.strModel)},
                        {"imei", TextOrNull(row.strImei)},
                        {"command", row.strCommand},
                        {"status", row.bFinished ? nlohmann::json(row.nStatus) : nlohmann::json(nullptr)},
                        {"seconds", SecondsJson(row.dSeconds)},
                        {"message", row.strMessage},
                        {"transcript", TextOrNull(row.strTranscript)},
                        {"modem_manager", row.bModemManagerInhibited ? nlohmann::json("inhibited") : nlohmann::json(nullptr)}};
    for (size_t n = 0; n < kTimedPhases.size(); ++n)
        j[SwitchPhaseName(kTimedPhases[n])] =
            row.phaseSeconds[n] ? SecondsJson(*row.phaseSeconds[n]) : nlohmann::json(nullptr);
    return j;
}

std::vector<std::string> BenchReportColumns()
{
    return std::vector<std::string>(std::begin(kFields), std::end(kFields));
}

namespace {

std::optional<std::string> Failure(const std::string& strPath, const std::string& strCause)
{
    return "cannot write the report " + PrintableText(strPath) + ": " + PrintableText(strCause);
}

} // namespace

std::optional<EReportFormat> ReportFormatOfPath(const std::string& strPath)
{
    const std::string strExtension = Lower(std::filesystem::path(strPath).extension().string());
    if (strExtension == ".csv")
        return EReportFormat::kCsv;
    if (strExtension == ".json")
        return EReportFormat::kJson;
    return std::nullopt;
}

std::string BenchReportCsv(const std::vector<CBenchRow>& rows)
{
    std::string strText = CsvLine(BenchReportColumns());
    for (const CBenchRow& row : rows)
        strText += CsvLine(CsvFields(row));
    return strText;
}

std::string BenchReportJson(const std::vector<CBenchRow>& rows)
{
    nlohmann::json j = nlohmann::json::array();
    for (const CBenchRow& row : rows)
        j.push_back(BenchReportRecord(row));
    return JsonDumpText(j) + "\n";
}

std::optional<std::string> WriteBenchReport(const std::string& strPath, const std::vector<CBenchRow>& rows)
{
    const std::optional<EReportFormat> format = ReportFormatOfPath(strPath);
    if (!format)
        return "cannot write the report " + PrintableText(strPath) + ": the name ends neither in .csv nor in .json";
    const std::string strText = *format == EReportFormat::kCsv ? BenchReportCsv(rows) : BenchReportJson(rows);
    // New reports are for others to read; one that replaces the caller's keeps its mode.
    if (const std::optional<COutputProblem> problem = ReplaceOutputFile(strPath, strText, 0644))
        return Failure(strPath, DescribeOutputProblem(*problem, strPath));
    return std::nullopt;
}

std::optional<std::string> CheckReportReplaceable(const std::string& strPath)
{
    if (const std::optional<COutputProblem> problem = CheckOutputReplaceable(strPath))
        return DescribeOutputProblem(*problem, strPath);
    return std::nullopt;
}
