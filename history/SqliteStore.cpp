#include "history/SqliteStore.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <sqlite3.h>

namespace {

// "VSTR": what marks a file as this program's history, beside SQLite's own header.
constexpr int kApplicationId = 0x56535452;

// Migration n brings the schema from version n to n + 1; the file's user_version is its version.
const char* const kMigrations[] = {
    // 1: the records, one row each, and what `history` filters by.
    "CREATE TABLE records ("
    " \"record_id\" TEXT PRIMARY KEY NOT NULL, \"started\" TEXT, \"ended\" TEXT, \"station\" TEXT, \"operator\" TEXT,"
    " \"version\" TEXT, \"command\" TEXT, \"slot\" TEXT, \"label\" TEXT, \"ports\" TEXT, \"model\" TEXT, \"imei\" TEXT,"
    " \"seconds\" REAL, \"sent\" REAL, \"left\" REAL, \"back\" REAL, \"settled\" REAL, \"outcome\" TEXT,"
    " \"status\" INTEGER, \"message\" TEXT, \"transcript\" TEXT);"
    "CREATE INDEX records_imei ON records (\"imei\", \"started\");"
    "CREATE INDEX records_slot ON records (\"slot\", \"started\");"
    "CREATE INDEX records_started ON records (\"started\");",
    // 2: the outbox: which records a server has not yet confirmed.
    "ALTER TABLE records ADD COLUMN \"sent_to_server\" INTEGER NOT NULL DEFAULT 0;"
    "CREATE INDEX records_unsent ON records (\"sent_to_server\") WHERE \"sent_to_server\" = 0;",
};
constexpr int kSchemaVersion = static_cast<int>(std::size(kMigrations));

std::string Placeholder(size_t)
{
    return "?";
}

// One prepared statement, finalised with its scope.
class CStatement {
public:
    CStatement(sqlite3* pDb, const std::string& strSql) { m_nPrepared = sqlite3_prepare_v2(pDb, strSql.c_str(), -1, &m_p, nullptr); }
    ~CStatement() { sqlite3_finalize(m_p); }
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;
    bool Prepared() const { return m_nPrepared == SQLITE_OK; }
    sqlite3_stmt* Get() const { return m_p; }

private:
    sqlite3_stmt* m_p = nullptr;
    int m_nPrepared;
};

void BindField(sqlite3_stmt* p, int nIndex, const CHistoryField& field, const nlohmann::json& record)
{
    const auto it = record.find(field.pszName);
    if (it == record.end() || it->is_null()) {
        sqlite3_bind_null(p, nIndex);
        return;
    }
    switch (field.eType) {
    case EHistoryType::kReal:
        sqlite3_bind_double(p, nIndex, it->is_number() ? it->get<double>() : 0.0);
        return;
    case EHistoryType::kInteger:
        sqlite3_bind_int64(p, nIndex, it->is_number() ? it->get<long long>() : 0);
        return;
    case EHistoryType::kTextList: {
        const std::string str = it->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        sqlite3_bind_text(p, nIndex, str.c_str(), static_cast<int>(str.size()), SQLITE_TRANSIENT);
        return;
    }
    case EHistoryType::kText: {
        const std::string str = it->is_string() ? it->get<std::string>() : it->dump();
        sqlite3_bind_text(p, nIndex, str.c_str(), static_cast<int>(str.size()), SQLITE_TRANSIENT);
        return;
    }
    }
}

nlohmann::json ColumnValue(sqlite3_stmt* p, int nColumn, EHistoryType eType)
{
    if (sqlite3_column_type(p, nColumn) == SQLITE_NULL)
        return nullptr;
    switch (eType) {
    case EHistoryType::kReal: return sqlite3_column_double(p, nColumn);
    case EHistoryType::kInteger: return sqlite3_column_int64(p, nColumn);
    case EHistoryType::kText:
    case EHistoryType::kTextList: break;
    }
    const char* psz = reinterpret_cast<const char*>(sqlite3_column_text(p, nColumn));
    const std::string str(psz ? psz : "", static_cast<size_t>(sqlite3_column_bytes(p, nColumn)));
    if (eType == EHistoryType::kText)
        return str;
    nlohmann::json list = nlohmann::json::parse(str, nullptr, false);
    return list.is_array() ? list : nlohmann::json::array();
}

// Reads the rows of a SELECT of ColumnList(); false when a step failed.
bool ReadRecords(sqlite3_stmt* p, std::vector<nlohmann::json>& records)
{
    int nStep;
    while ((nStep = sqlite3_step(p)) == SQLITE_ROW) {
        nlohmann::json record = nlohmann::json::object();
        int nColumn = 0;
        for (const CHistoryField& field : kHistoryFields)
            record[field.pszName] = ColumnValue(p, nColumn++, field.eType);
        records.push_back(std::move(record));
    }
    return nStep == SQLITE_DONE;
}

// Whether the bytes at the file's start are SQLite's header: anything else is no store of ours.
bool HasSqliteHeader(const std::string& strPath, bool& bEmpty)
{
    std::ifstream file(strPath, std::ios::binary);
    char header[16] = {};
    file.read(header, sizeof header);
    bEmpty = file.gcount() == 0;
    return file.gcount() == sizeof header && std::memcmp(header, "SQLite format 3", 16) == 0;
}

} // namespace

std::unique_ptr<CSqliteStore> CSqliteStore::Open(const std::string& strPath, std::string& strError,
                                                 const CSqliteOptions& options)
{
    std::error_code ec;
    bool bEmpty = true;
    if (std::filesystem::exists(strPath, ec) && !HasSqliteHeader(strPath, bEmpty) && !bEmpty) {
        strError = "the history " + strPath + " is not a history store (it is no SQLite file): it was left as it is";
        return nullptr;
    }
    sqlite3* pDb = nullptr;
    const int nOpened = sqlite3_open_v2(strPath.c_str(), &pDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    std::unique_ptr<CSqliteStore> pStore(new CSqliteStore(pDb, strPath));
    if (nOpened != SQLITE_OK) {
        strError = pStore->Problem("cannot be opened");
        return nullptr;
    }
    sqlite3_extended_result_codes(pDb, 1);
    sqlite3_busy_timeout(pDb, options.nBusyTimeoutMs);
    // Whose the file is, read before anything is written to it (WAL mode rewrites its header).
    std::optional<std::string> strProblem = pStore->CheckOurs();
    if (!strProblem) {
        CStatement journal(pDb, "PRAGMA journal_mode=WAL");
        if (!journal.Prepared() || sqlite3_step(journal.Get()) != SQLITE_ROW ||
            std::strcmp(reinterpret_cast<const char*>(sqlite3_column_text(journal.Get(), 0)), "wal") != 0)
            strProblem = pStore->Problem("cannot be put in WAL mode");
    }
    // A transaction is whole in the WAL before its commit returns: a power cut may lose the last
    // one, a killed process none.
    if (!strProblem)
        strProblem = pStore->Exec("PRAGMA synchronous=NORMAL");
    if (!strProblem && options.nMaxPageCount)
        strProblem = pStore->Exec(("PRAGMA max_page_count=" + std::to_string(options.nMaxPageCount)).c_str());
    if (!strProblem)
        strProblem = pStore->Migrate();
    if (strProblem) {
        strError = *strProblem;
        return nullptr;
    }
    return pStore;
}

CSqliteStore::~CSqliteStore()
{
    sqlite3_close_v2(m_pDb);
}

std::string CSqliteStore::Problem(const std::string& strWhat) const
{
    std::string str = "the history " + m_strPath + " " + strWhat;
    if (m_pDb && sqlite3_errcode(m_pDb) != SQLITE_OK)
        str += ": " + std::string(sqlite3_errmsg(m_pDb));
    const int nCode = m_pDb ? sqlite3_errcode(m_pDb) : SQLITE_OK;
    if (nCode == SQLITE_NOTADB || nCode == SQLITE_CORRUPT)
        str += " (it was left as it is)";
    return str;
}

std::optional<std::string> CSqliteStore::Exec(const char* pszSql)
{
    if (sqlite3_exec(m_pDb, pszSql, nullptr, nullptr, nullptr) != SQLITE_OK)
        return Problem("cannot be used");
    return std::nullopt;
}

int CSqliteStore::ReadInt(const char* pszSql)
{
    CStatement statement(m_pDb, pszSql);
    return statement.Prepared() && sqlite3_step(statement.Get()) == SQLITE_ROW ? sqlite3_column_int(statement.Get(), 0) : -1;
}

std::optional<std::string> CSqliteStore::CheckOurs()
{
    const int nTables = ReadInt("SELECT count(*) FROM sqlite_master");
    const int nApplication = ReadInt("PRAGMA application_id");
    const int nVersion = ReadInt("PRAGMA user_version");
    if (nApplication < 0 || nVersion < 0 || nTables < 0)
        return Problem("cannot be read");
    if (nApplication != kApplicationId && (nApplication != 0 || nTables != 0))
        return "the history " + m_strPath + " is an SQLite file of another program: it was left as it is";
    if (nVersion > kSchemaVersion)
        return "the history " + m_strPath + " was made by a newer vostrel-cli (schema " + std::to_string(nVersion) +
               ", this one knows " + std::to_string(kSchemaVersion) + "): it was left as it is";
    return std::nullopt;
}

std::optional<std::string> CSqliteStore::Migrate()
{
    // The write lock first: two programs opening a new file at once make its schema once. Taking
    // it also proves the file can be written.
    if (std::optional<std::string> strProblem = Exec("BEGIN IMMEDIATE"))
        return strProblem;
    const int nVersion = ReadInt("PRAGMA user_version");
    std::optional<std::string> strProblem = nVersion < 0 ? Problem("cannot be read") : CheckOurs();
    for (int n = nVersion; !strProblem && n < kSchemaVersion; ++n)
        strProblem = Exec(kMigrations[n]);
    if (!strProblem && nVersion < kSchemaVersion) {
        const std::string strStamp = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                                     "; PRAGMA user_version=" + std::to_string(kSchemaVersion);
        strProblem = Exec(strStamp.c_str());
    }
    if (strProblem) {
        sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
        return strProblem;
    }
    return Exec("COMMIT");
}

std::optional<std::string> CSqliteStore::CheckStillThere() const
{
    // SQLite writes on through its open descriptor to a file that was removed: what it wrote then
    // would be lost with the descriptor.
    int nMoved = 0;
    std::error_code ec;
    if (!std::filesystem::exists(m_strPath, ec) ||
        (sqlite3_file_control(m_pDb, "main", SQLITE_FCNTL_HAS_MOVED, &nMoved) == SQLITE_OK && nMoved))
        return "the history " + m_strPath + " was removed or replaced while the program ran";
    return std::nullopt;
}

std::optional<std::string> CSqliteStore::Insert(const std::vector<nlohmann::json>& records)
{
    std::string strSql = "INSERT OR IGNORE INTO records (" + ColumnList() + ") VALUES (";
    for (size_t n = 0; n < std::size(kHistoryFields); ++n)
        strSql += n ? ", ?" : "?";
    strSql += ")";
    CStatement insert(m_pDb, strSql);
    if (!insert.Prepared())
        return Problem("cannot be written");
    for (const nlohmann::json& record : records) {
        int nIndex = 1;
        for (const CHistoryField& field : kHistoryFields)
            BindField(insert.Get(), nIndex++, field, record);
        if (sqlite3_step(insert.Get()) != SQLITE_DONE)
            return Problem("cannot be written");
        sqlite3_reset(insert.Get());
        sqlite3_clear_bindings(insert.Get());
    }
    return std::nullopt;
}

std::optional<std::string> CSqliteStore::Append(const std::vector<nlohmann::json>& records)
{
    // Records kept by earlier runs go in with this batch: each pending list is first taken over
    // under a name of this run's (a rename, which only one process can win), so that a list
    // another process adds to meanwhile is never removed unread.
    std::vector<std::string> claimed;
    std::vector<nlohmann::json> batch;
    const std::filesystem::path pending(PendingPath());
    std::error_code ec;
    std::vector<std::filesystem::path> lists;
    for (const auto& entry : std::filesystem::directory_iterator(pending.parent_path().empty() ? "." : pending.parent_path(), ec)) {
        if (entry.path().filename().string().starts_with(pending.filename().string()))
            lists.push_back(entry.path());
    }
    for (const std::filesystem::path& list : lists) {
        const std::string strClaim = PendingPath() + "." + NewRecordId();
        std::filesystem::rename(list, strClaim, ec);
        if (!ec) {
            claimed.push_back(strClaim);
            ReadPending(strClaim, batch);
        }
    }
    const size_t nKept = batch.size();
    batch.insert(batch.end(), records.begin(), records.end());
    std::optional<std::string> strProblem = CheckStillThere();
    if (!strProblem)
        strProblem = Exec("BEGIN IMMEDIATE");
    if (!strProblem) {
        strProblem = Insert(batch);
        if (!strProblem)
            strProblem = Exec("COMMIT");
        if (strProblem)
            sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    std::optional<std::string> strLost;
    if (strProblem)
        strLost = AddPending(PendingPath(), batch);
    // Once written (or listed again), a taken list is done with: a record of it read again later
    // would be one the file holds, and is ignored by its id.
    if (!strLost) {
        for (const std::string& strClaim : claimed)
            std::filesystem::remove(strClaim, ec);
    }
    if (!strProblem)
        return std::nullopt;
    const std::string strCount = std::to_string(records.size()) + (records.size() == 1 ? " record" : " records");
    if (strLost)
        return *strProblem + ": " + strCount + " not recorded, " + *strLost;
    return *strProblem + ": " + strCount + " not recorded, kept in " + PendingPath() + " for the next run" +
           (nKept ? " (with " + std::to_string(nKept) + " kept before)" : "");
}

std::optional<std::string> CSqliteStore::Query(const CHistoryFilter& filter, std::vector<nlohmann::json>& records)
{
    std::vector<std::string> params;
    const std::string strSql = "SELECT " + ColumnList() + " FROM records" + QueryTail(filter, Placeholder, params);
    CStatement select(m_pDb, strSql);
    if (!select.Prepared())
        return Problem("cannot be read");
    for (size_t n = 0; n < params.size(); ++n)
        sqlite3_bind_text(select.Get(), static_cast<int>(n + 1), params[n].c_str(), -1, SQLITE_TRANSIENT);
    if (!ReadRecords(select.Get(), records))
        return Problem("cannot be read");
    return std::nullopt;
}

std::optional<std::string> CSqliteStore::Unsent(size_t nMax, std::vector<nlohmann::json>& records)
{
    const std::string strSql = "SELECT " + ColumnList() + " FROM records WHERE \"sent_to_server\" = 0 ORDER BY rowid LIMIT " +
                               std::to_string(nMax);
    CStatement select(m_pDb, strSql);
    if (!select.Prepared() || !ReadRecords(select.Get(), records))
        return Problem("cannot be read");
    return std::nullopt;
}

std::optional<std::string> CSqliteStore::MarkSent(const std::vector<nlohmann::json>& records)
{
    if (std::optional<std::string> strProblem = Exec("BEGIN IMMEDIATE"))
        return strProblem;
    CStatement update(m_pDb, "UPDATE records SET \"sent_to_server\" = 1 WHERE \"record_id\" = ?");
    bool bDone = update.Prepared();
    for (size_t n = 0; bDone && n < records.size(); ++n) {
        const std::string strId = records[n].value("record_id", "");
        sqlite3_bind_text(update.Get(), 1, strId.c_str(), -1, SQLITE_TRANSIENT);
        bDone = sqlite3_step(update.Get()) == SQLITE_DONE;
        sqlite3_reset(update.Get());
    }
    if (!bDone) {
        const std::string strProblem = Problem("cannot be written");
        sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
        return strProblem;
    }
    return Exec("COMMIT");
}

std::optional<std::string> ReadPending(const std::string& strPath, std::vector<nlohmann::json>& records)
{
    std::ifstream file(strPath, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::string strLine;
    while (std::getline(file, strLine)) {
        // A line cut short by a crash while it was added is the one record that never got there.
        nlohmann::json record = nlohmann::json::parse(strLine, nullptr, false);
        if (record.is_object() && record.contains("record_id"))
            records.push_back(std::move(record));
    }
    return std::nullopt;
}

std::optional<std::string> AddPending(const std::string& strPath, const std::vector<nlohmann::json>& records)
{
    std::string strText;
    for (const nlohmann::json& record : records)
        strText += record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    errno = 0;
    FILE* pFile = std::fopen(strPath.c_str(), "ab");
    bool bWritten = pFile && std::fwrite(strText.data(), 1, strText.size(), pFile) == strText.size() && std::fflush(pFile) == 0;
    if (pFile)
        bWritten = std::fclose(pFile) == 0 && bWritten;
    if (!bWritten)
        return "and they could not be kept in " + strPath + " either (" + std::strerror(errno ? errno : EIO) + "): they are lost";
    return std::nullopt;
}
std::optional<std::string> PushOutbox(CSqliteStore& outbox, IHistoryStore& server, size_t& nSent)
{
    nSent = 0;
    for (;;) {
        std::vector<nlohmann::json> batch;
        if (std::optional<std::string> strProblem = outbox.Unsent(500, batch))
            return strProblem;
        if (batch.empty())
            return std::nullopt;
        // Committed on the server first: a batch sent again after a failed marking is kept once there.
        if (std::optional<std::string> strProblem = server.Append(batch))
            return strProblem;
        if (std::optional<std::string> strProblem = outbox.MarkSent(batch))
            return strProblem;
        nSent += batch.size();
    }
}
