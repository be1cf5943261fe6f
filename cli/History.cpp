#include "cli/History.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "cli/BenchReport.h"
#include "cli/CliPlatform.h"
#include "cli/CliStatus.h"
#include "cli/RunOutput.h"
#include "cli/Transcript.h"
#include "history/ServerStore.h"

#include "Version.h"   // generated: VOSTREL_VERSION

namespace {

std::string JsonLine(const nlohmann::json& j)
{
    return JsonDumpText(j, -1);
}

std::string Count(size_t n, const char* pszOne)
{
    return std::to_string(n) + " " + pszOne + (n == 1 ? "" : "s");
}

// The SQLite file, its folder made when it is the default one.
std::unique_ptr<CSqliteStore> OpenFile(const CHistoryPlace& place, std::string& strError)
{
    if (!place.bNamed) {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(place.strFile).parent_path(), ec);
    }
    return CSqliteStore::Open(place.strFile, strError);
}

// The store that `history` reads: the server when one is named, else the file.
std::unique_ptr<IHistoryStore> OpenForReading(const CHistoryPlace& place, std::string& strError)
{
    if (!place.strServer.empty())
        return ConnectServerStore(place.strServer, strError);
    if (place.strFile.empty()) {
        strError = "there is no history: no --history, no VOSTREL_HISTORY, and no home folder for the default one";
        return nullptr;
    }
    return OpenFile(place, strError);
}

std::string FieldText(const nlohmann::json& value, EHistoryType eType)
{
    if (value.is_null())
        return "";
    switch (eType) {
    case EHistoryType::kReal: return value.is_number() ? CsvSeconds(value.get<double>()) : "";
    case EHistoryType::kInteger: return value.is_number() ? std::to_string(value.get<long long>()) : "";
    case EHistoryType::kTextList: {
        std::string str;
        // Appended, not added: mingw's -O3 takes "" + text for an overlong copy.
        for (const nlohmann::json& item : value) {
            if (!str.empty())
                str.push_back(' ');
            str.append(item.is_string() ? item.get<std::string>() : item.dump());
        }
        return str;
    }
    case EHistoryType::kText: break;
    }
    return value.is_string() ? value.get<std::string>() : value.dump();
}

std::string TextOf(const nlohmann::json& record, const char* pszField)
{
    const auto it = record.find(pszField);
    return it != record.end() && it->is_string() ? it->get<std::string>() : "";
}

// "2026-12-10T01:30:06.123Z  bench-3  1-4.2 A1  356938035643809  close-autorun  ok  4.210 s  ok: left after 1.2 s"
std::string TableLine(const nlohmann::json& record)
{
    const auto known = [&](const char* pszField) {
        const std::string str = TextOf(record, pszField);
        return str.empty() ? std::string("-") : PrintableText(str);
    };
    std::string strSlot = known("slot");
    if (!TextOf(record, "label").empty())
        strSlot += " " + PrintableText(TextOf(record, "label"));
    const nlohmann::json seconds = record.value("seconds", nlohmann::json());
    return known("started") + "  " + known("station") + "  " + strSlot + "  " + known("imei") + "  " + known("command") +
           "  " + known("outcome") + "  " + (seconds.is_number() ? CsvSeconds(seconds.get<double>()) + " s" : "-") + "  " +
           PrintableText(TextOf(record, "message"));
}

std::vector<std::string> SummaryLines(const nlohmann::json& summary)
{
    std::vector<std::string> lines;
    for (const nlohmann::json& row : summary) {
        const nlohmann::json median = row["median_seconds"];
        lines.push_back(row["day"].get<std::string>() + "  " + PrintableText(row["station"].get<std::string>()) + "  ok " +
                        std::to_string(row["ok"].get<long long>()) + "  failed " +
                        std::to_string(row["failed"].get<long long>()) + "  median " +
                        (median.is_number() ? CsvSeconds(median.get<double>()) + " s" : "-"));
    }
    return lines;
}

CHistoryFilter FilterOf(const CCliOptions& options)
{
    CHistoryFilter filter;
    filter.strImei = options.strImei;
    filter.strSlot = options.strSlot;
    filter.strStation = options.strStation;
    filter.strCommand = options.strFilterCommand;
    filter.strSince = options.strSince;
    filter.strUntil = options.strUntil;
    filter.strResult = options.strResult;
    filter.nLimit = options.nLimit;
    return filter;
}

// The lines of an export: every one a record with its id, or nothing is taken.
std::optional<std::string> ReadExport(const std::string& strFile, std::vector<nlohmann::json>& records)
{
    std::ifstream file;
    if (strFile != "-") {
        file.open(strFile, std::ios::binary);
        if (!file)
            return "cannot read " + PrintableText(strFile) + ": " + std::strerror(errno ? errno : ENOENT);
    }
    std::istream& in = strFile == "-" ? std::cin : file;
    std::string strLine;
    for (size_t nLine = 1; std::getline(in, strLine); ++nLine) {
        if (strLine.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        nlohmann::json record = nlohmann::json::parse(strLine, nullptr, false);
        if (!record.is_object() || !record.contains("record_id") || !record["record_id"].is_string() ||
            record["record_id"].get<std::string>().empty())
            return "line " + std::to_string(nLine) + " of " + PrintableText(strFile) +
                   " is not a history record (one JSON object with a record_id a line): nothing was imported";
        records.push_back(std::move(record));
    }
    if (in.bad())
        return "cannot read " + PrintableText(strFile);
    return std::nullopt;
}

// What `history` and its actions did: the document of --json, the lines otherwise.
struct CHistoryResult {
    int nStatus = kCliOk;
    std::string strMessage;
    std::vector<nlohmann::json> records;
    std::optional<nlohmann::json> summary;
    std::string strOut;   // an export's lines, or the CSV: printed as they are
};

CHistoryResult Failure(int nStatus, const std::string& strMessage)
{
    CHistoryResult result;
    result.nStatus = nStatus;
    result.strMessage = strMessage;
    return result;
}

CHistoryResult Push(const CHistoryPlace& place)
{
    if (place.strServer.empty())
        return Failure(kCliUsage, "history push sends the records to a server: name it with --history postgresql://... "
                                  "(or VOSTREL_HISTORY)");
    std::string strError;
    std::unique_ptr<CSqliteStore> pOutbox = place.strFile.empty() ? nullptr : OpenFile(place, strError);
    if (!pOutbox)
        return Failure(kCliPortFailed, strError.empty() ? "there is no outbox to push from" : strError);
    std::unique_ptr<IHistoryStore> pServer = ConnectServerStore(place.strServer, strError);
    if (!pServer)
        return Failure(kCliPortFailed, strError);
    size_t nSent = 0;
    const std::optional<std::string> strProblem = PushOutbox(*pOutbox, *pServer, nSent);
    CHistoryResult result;
    result.strMessage = Count(nSent, "record") + " sent to " + pServer->Name();
    if (strProblem) {
        result.nStatus = kCliPortFailed;
        result.strMessage += "; " + *strProblem + ": the rest wait in " + pOutbox->Name();
    }
    return result;
}

CHistoryResult Import(const CCliOptions& options, const CHistoryPlace& place)
{
    std::vector<nlohmann::json> records;
    if (std::optional<std::string> strProblem = ReadExport(options.strImportFile, records))
        return Failure(kCliUsage, *strProblem);
    std::string strError;
    std::unique_ptr<IHistoryStore> pStore;
    if (!place.strFile.empty())
        pStore = OpenFile(place, strError);
    else if (!place.strServer.empty())
        pStore = ConnectServerStore(place.strServer, strError);
    if (!pStore)
        return Failure(kCliPortFailed, strError);
    if (std::optional<std::string> strProblem = pStore->Append(records))
        return Failure(kCliPortFailed, *strProblem);
    CHistoryResult result;
    result.strMessage = Count(records.size(), "record") + " read into " + pStore->Name();
    if (!place.strServer.empty() && !place.strFile.empty()) {
        const CHistoryResult pushed = Push(place);
        result.nStatus = pushed.nStatus;
        result.strMessage += "; " + pushed.strMessage;
    }
    return result;
}

CHistoryResult Show(const CCliOptions& options, const CHistoryPlace& place)
{
    std::string strError;
    std::unique_ptr<IHistoryStore> pStore = OpenForReading(place, strError);
    if (!pStore)
        return Failure(kCliPortFailed, strError);
    CHistoryResult result;
    if (std::optional<std::string> strProblem = pStore->Query(FilterOf(options), result.records))
        return Failure(kCliPortFailed, *strProblem);
    result.strMessage = Count(result.records.size(), "record") + " in " + pStore->Name();
    if (options.bSummary) {
        result.summary = HistorySummary(result.records);
        result.records.clear();
    } else if (options.strHistoryAction == "export") {
        for (const nlohmann::json& record : result.records)
            result.strOut += JsonLine(record) + "\n";
    } else if (options.bCsv) {
        result.strOut = HistoryCsv(result.records);
    }
    return result;
}

std::string Output(const CCliOptions& options, const CHistoryResult& result)
{
    if (options.bJson && options.strHistoryAction != "export") {
        nlohmann::json j = {{"command", kHistoryCommandName}, {"status", result.nStatus},
                            {"message", result.strMessage}, {"records", result.records}};
        if (result.summary)
            j["summary"] = *result.summary;
        return JsonDumpText(j) + "\n";
    }
    if (!result.strOut.empty() || options.bCsv || options.strHistoryAction == "export")
        return result.strOut;
    std::string strOut;
    if (result.summary) {
        for (const std::string& strLine : SummaryLines(*result.summary))
            strOut += strLine + "\n";
    } else {
        for (const nlohmann::json& record : result.records)
            strOut += TableLine(record) + "\n";
    }
    return strOut;
}

} // namespace

CHistoryPlace HistoryPlaceOf(const CCliOptions& options, const char* pszVariable, const std::optional<std::string>& defaultPath)
{
    CHistoryPlace place;
    if (options.bNoHistory)
        return place;
    const std::string strNamed = !options.strHistory.empty() ? options.strHistory : pszVariable ? pszVariable : "";
    if (strNamed.empty() || IsServerAddress(strNamed)) {
        place.strFile = defaultPath.value_or("");
        place.strServer = strNamed;
    } else {
        place.strFile = strNamed;
        place.bNamed = true;
    }
    return place;
}

nlohmann::json HistoryRecord(const CBenchRow& row, const CRecordContext& context)
{
    nlohmann::json record = BenchReportRecord(row);
    record["record_id"] = NewRecordId();
    record["station"] = context.strStation;
    record["operator"] = context.strOperator.empty() ? nlohmann::json(nullptr) : nlohmann::json(context.strOperator);
    record["version"] = context.strVersion;
    const auto now = std::chrono::system_clock::now();
    record["started"] = UtcText(row.started.value_or(now));
    record["ended"] = UtcText(row.ended.value_or(now));
    record["outcome"] = CliStatusName(row.nStatus);
    return record;
}

std::optional<std::string> CRunHistory::Open(const CHistoryPlace& place, std::vector<std::string>& warnings)
{
    m_place = place;
    if (place.strFile.empty()) {
        if (place.strServer.empty() && !place.bNamed)
            warnings.push_back("history: no home folder for the history: this run is not recorded (--history names one)");
        return std::nullopt;
    }
    std::string strError;
    m_pLocal = OpenFile(place, strError);
    if (m_pLocal)
        return std::nullopt;
    if (place.bNamed)
        return strError;
    warnings.push_back("history: " + strError + (place.strServer.empty() ? ": this run is not recorded"
                                                                          : ": the records go to the server only"));
    return std::nullopt;
}

void CRunHistory::Record(const std::vector<CBenchRow>& rows, const CRecordContext& context, std::vector<std::string>& warnings)
{
    std::vector<nlohmann::json> records;
    for (const CBenchRow& row : rows)
        records.push_back(HistoryRecord(row, context));
    if (m_pLocal) {
        if (std::optional<std::string> strProblem = m_pLocal->Append(records))
            warnings.push_back("history: " + *strProblem);
    } else if (!m_place.strServer.empty()) {
        m_unsent = std::move(records);
    }
}

void CRunHistory::Push(bool bQuiet)
{
    if (m_place.strServer.empty())
        return;
    std::string strError;
    std::unique_ptr<IHistoryStore> pServer = ConnectServerStore(m_place.strServer, strError);
    size_t nSent = 0;
    std::optional<std::string> strProblem;
    if (!pServer)
        strProblem = strError;
    else if (m_pLocal)
        strProblem = PushOutbox(*m_pLocal, *pServer, nSent);
    else if (!m_unsent.empty())
        strProblem = pServer->Append(m_unsent);
    if (!strProblem) {
        if (!bQuiet && (nSent || !m_unsent.empty()))
            std::cerr << "vostrel-cli: history: " << Count(m_pLocal ? nSent : m_unsent.size(), "record") << " sent to "
                      << pServer->Name() << std::endl;
        return;
    }
    const std::string strWaiting = m_pLocal ? ": the records wait in " + m_pLocal->Name() + " for the next push"
                                            : ": " + Count(m_unsent.size(), "record") + " of this run are lost (no outbox)";
    std::cerr << "vostrel-cli: warning: history: " << *strProblem << strWaiting << std::endl;
}

std::string HistoryCsv(const std::vector<nlohmann::json>& records)
{
    std::vector<std::string> columns = BenchReportColumns();
    for (const CHistoryField& field : kHistoryFields) {
        if (std::find(columns.begin(), columns.end(), field.pszName) == columns.end())
            columns.push_back(field.pszName);
    }
    std::string strText = CsvLine(columns);
    for (const nlohmann::json& record : records) {
        std::vector<std::string> fields;
        for (const std::string& strColumn : columns) {
            const auto field = std::find_if(std::begin(kHistoryFields), std::end(kHistoryFields),
                                            [&](const CHistoryField& f) { return strColumn == f.pszName; });
            const nlohmann::json value = record.value(strColumn, nlohmann::json());
            const std::string strText = FieldText(value, field->eType);
            fields.push_back(field->eType == EHistoryType::kText || field->eType == EHistoryType::kTextList ? CsvText(strText)
                                                                                                              : strText);
        }
        strText += CsvLine(fields);
    }
    return strText;
}

nlohmann::json HistorySummary(const std::vector<nlohmann::json>& records)
{
    struct CDay {
        long long nOk = 0, nFailed = 0;
        std::vector<double> seconds;
    };
    std::map<std::pair<std::string, std::string>, CDay> days;
    for (const nlohmann::json& record : records) {
        CDay& day = days[{TextOf(record, "started").substr(0, 10), TextOf(record, "station")}];
        const nlohmann::json status = record.value("status", nlohmann::json());
        (status.is_number() && status.get<long long>() == 0 ? day.nOk : day.nFailed) += 1;
        const nlohmann::json seconds = record.value("seconds", nlohmann::json());
        if (seconds.is_number())
            day.seconds.push_back(seconds.get<double>());
    }
    nlohmann::json summary = nlohmann::json::array();
    // Newest day first, as the records are.
    for (auto it = days.rbegin(); it != days.rend(); ++it) {
        std::vector<double>& seconds = it->second.seconds;
        std::sort(seconds.begin(), seconds.end());
        nlohmann::json median = nullptr;
        if (!seconds.empty()) {
            const size_t nMiddle = seconds.size() / 2;
            median = seconds.size() % 2 ? seconds[nMiddle] : (seconds[nMiddle - 1] + seconds[nMiddle]) / 2;
        }
        summary.push_back({{"day", it->first.first}, {"station", it->first.second}, {"ok", it->second.nOk},
                           {"failed", it->second.nFailed}, {"median_seconds", median}});
    }
    return summary;
}

int RunHistoryCommand(const CCliOptions& options)
{
    const CHistoryPlace place = HistoryPlaceOf(options, std::getenv("VOSTREL_HISTORY"), DefaultHistoryPath());
    const CHistoryResult result = options.strHistoryAction == "push"     ? Push(place)
                                  : options.strHistoryAction == "import" ? Import(options, place)
                                                                         : Show(options, place);
    if (result.nStatus != kCliOk || (!options.bJson && options.strHistoryAction == "push") ||
        options.strHistoryAction == "import")
        std::cerr << "vostrel-cli: " << result.strMessage << std::endl;
    const std::string strOut = Output(options, result);
    errno = 0;
    int nWriteError = 0;
    if (std::fwrite(strOut.data(), 1, strOut.size(), stdout) != strOut.size() || std::fflush(stdout) != 0)
        nWriteError = errno ? errno : EIO;
    return FinishStandardOutput(result.nStatus, nWriteError);
}

std::string ArgumentShown(const std::string& strArg)
{
    const size_t nAddress = strArg.find("postgres");
    if (nAddress == std::string::npos || !IsServerAddress(strArg.substr(nAddress)))
        return PrintableText(strArg);
    return PrintableText(strArg.substr(0, nAddress) + ServerAddressShown(strArg.substr(nAddress)));
}
