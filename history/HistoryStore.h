#pragma once
// The run history: one record per card per run, kept in a store that outlives the run. A record is
// a JSON object with the fields of kHistoryFields (the bench report's names where it has them); the
// stores keep each field in a column of its own, so that a record reads back as it was written.
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

enum class EHistoryType { kText, kReal, kInteger, kTextList };

struct CHistoryField {
    const char* pszName;
    EHistoryType eType;
};

// The fields in the order of the CSV and the stores' columns. record_id is a UUID; started and
// ended are UTC in ISO 8601 ("2026-12-10T01:30:06.123Z"), so that text order is time order.
inline constexpr CHistoryField kHistoryFields[] = {
    {"record_id", EHistoryType::kText}, {"started", EHistoryType::kText},   {"ended", EHistoryType::kText},
    {"station", EHistoryType::kText},   {"operator", EHistoryType::kText},  {"version", EHistoryType::kText},
    {"command", EHistoryType::kText},   {"slot", EHistoryType::kText},      {"label", EHistoryType::kText},
    {"ports", EHistoryType::kTextList}, {"model", EHistoryType::kText},     {"imei", EHistoryType::kText},
    {"seconds", EHistoryType::kReal},   {"sent", EHistoryType::kReal},      {"left", EHistoryType::kReal},
    {"back", EHistoryType::kReal},      {"settled", EHistoryType::kReal},   {"outcome", EHistoryType::kText},
    {"status", EHistoryType::kInteger}, {"message", EHistoryType::kText},   {"transcript", EHistoryType::kText},
};

// What `history` asks for; empty fields do not filter. since and until compare with started: a
// date alone ("2026-12-10") means that day's start for since and its end for until.
struct CHistoryFilter {
    std::string strImei, strSlot, strStation, strCommand;
    std::string strSince, strUntil;
    std::string strResult;   // "", "ok" or "failed"
    size_t nLimit = 0;       // 0: every match
};

class IHistoryStore {
public:
    virtual ~IHistoryStore() = default;
    // The store as messages name it (a server's address without its password).
    virtual std::string Name() const = 0;
    // Adds the records in one transaction: all of them or none. A record whose record_id the store
    // holds already is left as it is, so a record sent twice is kept once. What failed, or nothing.
    virtual std::optional<std::string> Append(const std::vector<nlohmann::json>& records) = 0;
    // The matching records, newest first.
    virtual std::optional<std::string> Query(const CHistoryFilter& filter, std::vector<nlohmann::json>& records) = 0;
};

// A time as records write it: UTC, ISO 8601, milliseconds.
std::string UtcText(std::chrono::system_clock::time_point when);
// A new random (version 4) UUID: "0f8fad5b-d9cb-469f-a165-70867728950e".
std::string NewRecordId();

// Whether the text names a PostgreSQL server (postgresql:// or postgres://) rather than a file.
bool IsServerAddress(const std::string& strStore);

// The WHERE and ORDER BY ... LIMIT of a query for the filter, with placeholder(n) for the n-th
// (from 1) of the values it adds to params: "?" for SQLite, "$n" for PostgreSQL.
std::string QueryTail(const CHistoryFilter& filter, std::string (*placeholder)(size_t), std::vector<std::string>& params);
// The columns as the stores' SELECT and INSERT name them, quoted: "record_id", "started", ...
std::string ColumnList();
