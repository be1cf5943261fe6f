#pragma once
// The history in an SQLite file: the default store, and the outbox of a PostgreSQL one. WAL mode,
// so readers never wait for a writer and a process killed mid-write leaves the file whole; a busy
// timeout, so that several processes on one machine take turns at writing; one transaction per
// batch. The schema is versioned (user_version) and its migrations run when the file is opened; a
// file that is not such a store, a damaged one or one made by a newer program is refused and left
// exactly as it was.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/HistoryStore.h"

struct sqlite3;

struct CSqliteOptions {
    int nBusyTimeoutMs = 5000;   // how long a write waits for another process's
    long nMaxPageCount = 0;      // the file's size limit in pages; 0: none (a test's full disk)
};

class CSqliteStore : public IHistoryStore {
public:
    // The store at strPath, made when there is no file: nullptr and what is wrong when it cannot be
    // opened for writing.
    static std::unique_ptr<CSqliteStore> Open(const std::string& strPath, std::string& strError,
                                              const CSqliteOptions& options = {});
    ~CSqliteStore() override;
    CSqliteStore(const CSqliteStore&) = delete;
    CSqliteStore& operator=(const CSqliteStore&) = delete;

    std::string Name() const override { return m_strPath; }
    // Records that cannot be written (the file is full, locked past the timeout, or was removed)
    // are kept in the file's pending list beside it, and go in with the next batch that can be.
    std::optional<std::string> Append(const std::vector<nlohmann::json>& records) override;
    std::optional<std::string> Query(const CHistoryFilter& filter, std::vector<nlohmann::json>& records) override;

    // The outbox: the records not yet on the server, oldest first, at most nMax; and marking them sent.
    std::optional<std::string> Unsent(size_t nMax, std::vector<nlohmann::json>& records);
    std::optional<std::string> MarkSent(const std::vector<nlohmann::json>& records);
    // The pending list's path: records kept for the next batch, as JSON lines.
    std::string PendingPath() const { return m_strPath + ".pending"; }

private:
    CSqliteStore(sqlite3* pDb, std::string strPath) : m_pDb(pDb), m_strPath(std::move(strPath)) {}
    std::optional<std::string> Exec(const char* pszSql);
    int ReadInt(const char* pszSql);
    // Whether the file is a store of ours that this program can use.
    std::optional<std::string> CheckOurs();
    std::optional<std::string> Migrate();
    std::optional<std::string> Insert(const std::vector<nlohmann::json>& records);
    std::optional<std::string> CheckStillThere() const;
    std::string Problem(const std::string& strWhat) const;

    sqlite3* m_pDb;
    std::string m_strPath;
};

// Records a pending list holds (JSON lines), and adding to it; what failed, or nothing.
std::optional<std::string> ReadPending(const std::string& strPath, std::vector<nlohmann::json>& records);
std::optional<std::string> AddPending(const std::string& strPath, const std::vector<nlohmann::json>& records);

// Sends the outbox's records to the server, a batch at a time, each batch marked sent once the
// server has committed it; how many went, and what stopped it (the rest stay for the next push).
std::optional<std::string> PushOutbox(CSqliteStore& outbox, IHistoryStore& server, size_t& nSent);
