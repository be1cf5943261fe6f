#include "cli/BenchReport.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

#include <nlohmann/json.hpp>

#include "cli/CliPlatform.h"
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

std::string Seconds(double dSeconds)
{
    char szText[32];
    std::snprintf(szText, sizeof szText, "%.3f", dSeconds);
    return szText;
}

std::string JoinPorts(const std::vector<std::string>& ports)
{
    std::string str;
    for (const std::string& strPort : ports)
        str += (str.empty() ? "" : " ") + strPort;
    return str;
}

// A text from the cards or the user, as a CSV field that no spreadsheet runs as a formula.
std::string CsvText(const std::string& str)
{
    std::string strField = str;
    if (!strField.empty() && std::string("=+-@\t\r").find(strField[0]) != std::string::npos)
        strField.insert(0, 1, '\'');
    if (strField.find_first_of(",\"\r\n") == std::string::npos)
        return strField;
    std::string strQuoted = "\"";
    for (char ch : strField)
        strQuoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return strQuoted + "\"";
}

std::vector<std::string> CsvFields(const CBenchRow& row)
{
    std::vector<std::string> fields = {CsvText(row.strSlot),    CsvText(row.strLabel),   CsvText(JoinPorts(row.ports)),
                                       CsvText(row.strModel),   CsvText(row.strImei),    CsvText(row.strCommand),
                                       row.bFinished ? std::to_string(row.nStatus) : "", Seconds(row.dSeconds)};
    for (const std::optional<double>& dPhase : row.phaseSeconds)
        fields.push_back(dPhase ? Seconds(*dPhase) : "");
    fields.push_back(CsvText(row.strMessage));
    fields.push_back(CsvText(row.strTranscript));
    fields.push_back(row.bModemManagerInhibited ? "inhibited" : "");
    return fields;
}

std::string CsvLine(const std::vector<std::string>& fields)
{
    std::string strLine;
    for (size_t n = 0; n < fields.size(); ++n)
        strLine += (n ? "," : "") + fields[n];
    return strLine + "\r\n";
}

nlohmann::json TextOrNull(const std::string& str)
{
    return str.empty() ? nlohmann::json(nullptr) : nlohmann::json(str);
}

nlohmann::json SecondsJson(double dSeconds)
{
    return static_cast<double>(static_cast<long long>(dSeconds * 1000 + 0.5)) / 1000;
}

nlohmann::json RowJson(const CBenchRow& row)
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

// A name beside strPath that no other run picks at the same time.
std::string TemporaryPathBeside(const std::string& strPath)
{
    std::random_device random;
    char szSuffix[32];
    std::snprintf(szSuffix, sizeof szSuffix, ".%08x.tmp", static_cast<unsigned>(random()));
    return strPath + szSuffix;
}

std::optional<std::string> Failure(const std::string& strPath, const std::string& strCall, const std::string& strCause)
{
    return "cannot write the report " + strPath + ": " + strCall + ": " + strCause;
}

// The whole text into a new file; the failing call and its errno, or nothing.
std::optional<CSerialError> WriteWholeFile(const std::string& strPath, const std::string& strText)
{
    errno = 0;
    FILE* pFile = std::fopen(strPath.c_str(), "wb");
    if (!pFile)
        return CSerialError{"open", errno ? errno : EIO};
    // A short write or a full disk may show only at the flush or the close.
    const bool bWritten = std::fwrite(strText.data(), 1, strText.size(), pFile) == strText.size() &&
                          std::fflush(pFile) == 0;
    const int nWriteError = errno ? errno : EIO;
    errno = 0;
    const bool bClosed = std::fclose(pFile) == 0;
    if (!bWritten)
        return CSerialError{"write", nWriteError};
    if (!bClosed)
        return CSerialError{"close", errno ? errno : EIO};
    return std::nullopt;
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
    std::string strText = CsvLine(std::vector<std::string>(std::begin(kFields), std::end(kFields)));
    for (const CBenchRow& row : rows)
        strText += CsvLine(CsvFields(row));
    return strText;
}

std::string BenchReportJson(const std::vector<CBenchRow>& rows)
{
    nlohmann::json j = nlohmann::json::array();
    for (const CBenchRow& row : rows)
        j.push_back(RowJson(row));
    return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::optional<std::string> WriteBenchReport(const std::string& strPath, const std::vector<CBenchRow>& rows)
{
    const std::optional<EReportFormat> format = ReportFormatOfPath(strPath);
    if (!format)
        return "cannot write the report " + strPath + ": the name ends neither in .csv nor in .json";
    const std::string strText = *format == EReportFormat::kCsv ? BenchReportCsv(rows) : BenchReportJson(rows);
    const std::string strTemporary = TemporaryPathBeside(strPath);
    if (const std::optional<CSerialError> error = WriteWholeFile(strTemporary, strText)) {
        std::remove(strTemporary.c_str());
        return Failure(strPath, error->strCall, DescribeFileError(*error, strTemporary));
    }
    std::error_code ec;
    std::filesystem::rename(strTemporary, strPath, ec);
    if (ec) {
        std::remove(strTemporary.c_str());
        return Failure(strPath, "rename", ErrorCodeText(ec));
    }
    return std::nullopt;
}

std::optional<std::string> CheckFolderTakesFile(const std::string& strPath)
{
    const std::string strTemporary = TemporaryPathBeside(strPath);
    if (const std::optional<CSerialError> error = WriteWholeFile(strTemporary, "")) {
        std::remove(strTemporary.c_str());
        return error->strCall + ": " + DescribeFileError(*error, strTemporary);
    }
    std::remove(strTemporary.c_str());
    return std::nullopt;
}
