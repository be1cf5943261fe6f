#pragma once
// The bench report (--report FILE): one record per card, as CSV or JSON by the file's extension,
// written whole or not at all.
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/BenchRow.h"

enum class EReportFormat { kCsv, kJson };

// By the extension, ".csv" or ".json" in any case; nothing for any other name (a usage error, to
// be reported before the run starts).
std::optional<EReportFormat> ReportFormatOfPath(const std::string& strPath);

// CSV: a header line, then one line per card, CRLF line ends, fields quoted as RFC 4180 says
// (comma, quote, CR or LF in them). The columns: slot, label, ports (space-separated), model, imei,
// command, status, seconds, sent, left, back, settled (seconds from the card's start; empty when
// not reached), message, transcript. A text field that a spreadsheet would take for a formula (it
// begins with =, +, -, @, a tab or CR) gets a ' in front: a card's answer ends up in the message.
std::string BenchReportCsv(const std::vector<CBenchRow>& rows);

// JSON: an array with one object per card, the CSV's fields under the same names; ports an array,
// status and the phases' seconds null when not reached, texts null when empty; bytes that are not
// UTF-8 replaced by U+FFFD.
std::string BenchReportJson(const std::vector<CBenchRow>& rows);

// One card's object of the JSON report.
nlohmann::json BenchReportRecord(const CBenchRow& row);
// The CSV report's columns, in order.
std::vector<std::string> BenchReportColumns();
// A text as a CSV field, quoted as the report quotes it; and a line of fields, CRLF ended.
std::string CsvText(const std::string& str);
std::string CsvLine(const std::vector<std::string>& fields);
// Seconds as the CSV report writes them: "4.210".
std::string CsvSeconds(double dSeconds);

// Writes the report to a new file beside strPath and renames it over strPath, so that a reader
// never sees half a report and a failed write leaves an older report as it was. Nothing when
// written; else what failed, the call and its cause: "cannot write the report out/bench.csv:
// open: permission denied".
std::optional<std::string> WriteBenchReport(const std::string& strPath, const std::vector<CBenchRow>& rows);

// Whether strPath may be replaced and a file made beside it, as WriteBenchReport will make one
// (tried, then removed), so that a report that could not be written is known before the run: what
// is refused or fails, in words, or nothing.
std::optional<std::string> CheckReportReplaceable(const std::string& strPath);
