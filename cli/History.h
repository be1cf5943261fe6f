#pragma once
// The history of the command line: where the records go (a named store, VOSTREL_HISTORY, the
// user's default file, or none), each card's run recorded as one record, the push to a server,
// and the `history` subcommand that reads them back.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/BenchRow.h"
#include "cli/CliOptions.h"
#include "history/HistoryStore.h"
#include "history/SqliteStore.h"

// Where this run's records go.
struct CHistoryPlace {
    std::string strFile;     // the SQLite file (the outbox of a server); empty: none
    std::string strServer;   // postgresql://...; empty: none
    bool bNamed = false;     // named by --history or VOSTREL_HISTORY: it must work, or nothing runs
};
// From the options and VOSTREL_HISTORY (pszVariable), else the default file (pDefault).
CHistoryPlace HistoryPlaceOf(const CCliOptions& options, const char* pszVariable,
                             const std::optional<std::string>& defaultPath);

// What every record of a run says of the bench.
struct CRecordContext {
    std::string strStation;
    std::string strOperator;
    std::string strVersion;
};

// A card's row as the history keeps it: the report's record and the bench's fields, a new record_id.
nlohmann::json HistoryRecord(const CBenchRow& row, const CRecordContext& context);

// The history of one card command's run: opened before any card is sent anything, written once the
// cards' verdicts are in, pushed to the server once they are printed. Its failures never change the
// cards' run: they become warnings ("history: ...").
class CRunHistory {
public:
    // A store that was named and cannot be written: what is wrong (nothing may run). The default
    // file that cannot be opened only warns.
    std::optional<std::string> Open(const CHistoryPlace& place, std::vector<std::string>& warnings);
    void Record(const std::vector<CBenchRow>& rows, const CRecordContext& context, std::vector<std::string>& warnings);
    // Sends what the outbox holds to the server, when there is one; says on standard error what went
    // wrong, and what waits for the next push.
    void Push(bool bQuiet);

private:
    CHistoryPlace m_place;
    std::unique_ptr<CSqliteStore> m_pLocal;
    std::vector<nlohmann::json> m_unsent;   // no outbox: the records for the server itself
};

// `vostrel-cli history [push|export|import FILE]`: prints its output and gives the exit status.
int RunHistoryCommand(const CCliOptions& options);

// The history's CSV: the report's columns, then the history's own; the report's quoting.
std::string HistoryCsv(const std::vector<nlohmann::json>& records);
// Per day (of started) and station: the ok and failed runs and the median seconds.
nlohmann::json HistorySummary(const std::vector<nlohmann::json>& records);

// A command line argument as the transcript may show it: a server address without its password.
std::string ArgumentShown(const std::string& strArg);
