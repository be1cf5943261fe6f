// The SQLite history on real files: what a record keeps, the filters, and the faults a bench meets
// (a process killed mid-write, a full file, a lock held too long, a file removed, a file that is
// not a store), each with nothing lost and nothing recorded twice.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include <sqlite3.h>

#include "cli/History.h"
#include "history/SqliteStore.h"

namespace {

namespace fs = std::filesystem;

class HistoryStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = fs::temp_directory_path() / ("vostrel-history-" + NewRecordId());
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string Path(const char* pszName = "history.db") const { return (m_dir / pszName).string(); }

    std::unique_ptr<CSqliteStore> Open(const CSqliteOptions& options = {}, const char* pszName = "history.db")
    {
        std::string strError;
        std::unique_ptr<CSqliteStore> pStore = CSqliteStore::Open(Path(pszName), strError, options);
        EXPECT_TRUE(pStore) << strError;
        return pStore;
    }

    // The ids the store holds, each once, and the store whole.
    std::multiset<std::string> Ids(CSqliteStore& store)
    {
        std::vector<nlohmann::json> records;
        EXPECT_FALSE(store.Query({}, records));
        std::multiset<std::string> ids;
        for (const nlohmann::json& record : records)
            ids.insert(record["record_id"].get<std::string>());
        return ids;
    }

    fs::path m_dir;
};

nlohmann::json Record(const std::string& strImei, const std::string& strStarted, int nStatus, double dSeconds = 1.5)
{
    return {{"record_id", NewRecordId()}, {"started", strStarted}, {"ended", strStarted}, {"station", "bench-1"},
            {"command", "close-autorun"}, {"slot", "1-4.2"}, {"label", "A1"}, {"ports", {"/dev/ttyUSB0", "/dev/ttyUSB1"}},
            {"imei", strImei}, {"seconds", dSeconds}, {"sent", 1.25}, {"left", nullptr}, {"status", nStatus},
            {"outcome", nStatus ? "silent" : "ok"}, {"message", "said \"no\", then, \n=1"}};
}

std::vector<nlohmann::json> Records(size_t nCount)
{
    std::vector<nlohmann::json> records;
    for (size_t n = 0; n < nCount; ++n)
        records.push_back(Record(std::to_string(356938035643800 + n), "2026-12-10T01:00:00.000Z", 0));
    return records;
}

std::set<std::string> IdsOf(const std::vector<nlohmann::json>& records)
{
    std::set<std::string> ids;
    for (const nlohmann::json& record : records)
        ids.insert(record["record_id"].get<std::string>());
    return ids;
}

bool Contains(const std::multiset<std::string>& ids, const std::set<std::string>& wanted)
{
    for (const std::string& strId : wanted) {
        if (ids.count(strId) != 1)
            return false;
    }
    return true;
}

TEST_F(HistoryStoreTest, KeepsEachFieldAndFilters)
{
    auto pStore = Open();
    const nlohmann::json oldOk = Record("111", "2026-12-09T23:59:59.999Z", 0);
    const nlohmann::json newFailed = Record("111", "2026-12-10T08:00:00.000Z", 5);
    const nlohmann::json other = Record("222", "2026-12-10T09:00:00.000Z", 0);
    ASSERT_FALSE(pStore->Append({oldOk, newFailed, other}));
    ASSERT_FALSE(pStore->Append({oldOk})) << "a record sent twice";

    std::vector<nlohmann::json> all;
    ASSERT_FALSE(pStore->Query({}, all));
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0]["record_id"], other["record_id"]) << "not newest first";
    for (const auto& [strKey, value] : newFailed.items())
        EXPECT_EQ(all[1][strKey], value) << strKey;
    EXPECT_TRUE(all[1]["transcript"].is_null());

    using F = CHistoryFilter;
    struct CCase {
        std::string F::*pField;
        std::string strValue;
        std::vector<std::string> ids;
    };
    const std::string a = oldOk["record_id"], b = newFailed["record_id"], c = other["record_id"];
    const CCase cases[] = {
        {&F::strImei, "111", {b, a}},      {&F::strSlot, "A1", {c, b, a}},        {&F::strSince, "2026-12-10", {c, b}},
        {&F::strUntil, "2026-12-09", {a}}, {&F::strSince, "2026-12-10T08:30", {c}}, {&F::strResult, "failed", {b}},
        {&F::strResult, "ok", {c, a}},     {&F::strStation, "bench-2", {}},      {&F::strCommand, "open-autorun", {}},
    };
    for (const CCase& test : cases) {
        CHistoryFilter filter;
        filter.*test.pField = test.strValue;
        std::vector<nlohmann::json> found;
        ASSERT_FALSE(pStore->Query(filter, found));
        std::vector<std::string> ids;
        for (const nlohmann::json& record : found)
            ids.push_back(record["record_id"]);
        EXPECT_EQ(ids, test.ids) << test.strValue;
    }
    CHistoryFilter limited;
    limited.nLimit = 1;
    std::vector<nlohmann::json> newest;
    ASSERT_FALSE(pStore->Query(limited, newest));
    EXPECT_EQ(newest.size(), 1u);
}

// A writer killed at any moment leaves the file whole, with every batch it was told was written.
TEST_F(HistoryStoreTest, ProcessKilledWhileWritingLeavesTheFileWhole)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        std::string strError;
        std::unique_ptr<CSqliteStore> pStore = CSqliteStore::Open(Path(), strError);
        for (;;) {
            const std::vector<nlohmann::json> batch = Records(20);
            if (!pStore || pStore->Append(batch))
                _exit(1);
            for (const std::string& strId : IdsOf(batch)) {
                const std::string strLine = strId + "\n";
                if (write(fds[1], strLine.data(), strLine.size()) != static_cast<ssize_t>(strLine.size()))
                    _exit(1);
            }
        }
    }
    close(fds[1]);
    // Killed once it has written a few batches, in the middle of the next one or so.
    std::set<std::string> written;
    std::string strPending;
    char buffer[4096];
    while (written.size() < 200) {
        const ssize_t nRead = read(fds[0], buffer, sizeof buffer);
        ASSERT_GT(nRead, 0) << "the writer stopped";
        strPending.append(buffer, static_cast<size_t>(nRead));
        for (size_t nEnd; (nEnd = strPending.find('\n')) != std::string::npos; strPending.erase(0, nEnd + 1))
            written.insert(strPending.substr(0, nEnd));
    }
    kill(pid, SIGKILL);
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    close(fds[0]);
    EXPECT_TRUE(WIFSIGNALED(nStatus));

    sqlite3* pDb = nullptr;
    ASSERT_EQ(sqlite3_open(Path().c_str(), &pDb), SQLITE_OK);
    sqlite3_stmt* pCheck = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(pDb, "PRAGMA integrity_check", -1, &pCheck, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(pCheck), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(pCheck, 0)), "ok");
    sqlite3_finalize(pCheck);
    sqlite3_close(pDb);
    auto pStore = Open();
    const std::multiset<std::string> ids = Ids(*pStore);
    EXPECT_TRUE(Contains(ids, written)) << "a batch that was reported written is gone";
    EXPECT_EQ(ids.size() % 20, 0u) << "half a batch was kept";
}

// A batch the file cannot take now (full, locked past the timeout, removed) is kept beside it and
// goes in with the next one that it takes.
TEST_F(HistoryStoreTest, BatchThatCannotBeWrittenGoesInWithTheNext)
{
    struct CCase {
        const char* pszFault;
        CSqliteOptions options;
    };
    const CCase cases[] = {{"full", {5000, 12}}, {"locked", {50, 0}}, {"removed", {5000, 0}}};
    for (const CCase& test : cases) {
        SCOPED_TRACE(test.pszFault);
        const std::string strName = std::string(test.pszFault) + ".db";
        auto pStore = Open(test.options, strName.c_str());
        ASSERT_TRUE(pStore);
        const std::vector<nlohmann::json> first = Records(3);
        ASSERT_FALSE(pStore->Append(first));

        sqlite3* pLocker = nullptr;
        std::vector<nlohmann::json> refused = Records(std::string(test.pszFault) == "full" ? 400 : 2);
        if (std::string(test.pszFault) == "locked") {
            ASSERT_EQ(sqlite3_open(Path(strName.c_str()).c_str(), &pLocker), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(pLocker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
        } else if (std::string(test.pszFault) == "removed") {
            fs::remove(Path(strName.c_str()));
        }
        const std::optional<std::string> strProblem = pStore->Append(refused);
        ASSERT_TRUE(strProblem);
        EXPECT_NE(strProblem->find("kept in " + pStore->PendingPath()), std::string::npos) << *strProblem;
        if (pLocker) {
            sqlite3_exec(pLocker, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(pLocker);
        }
        pStore.reset();

        auto pAgain = Open({}, strName.c_str());
        const std::vector<nlohmann::json> next = Records(1);
        ASSERT_FALSE(pAgain->Append(next));
        ASSERT_FALSE(pAgain->Append({})) << "the pending list was read twice";
        const std::multiset<std::string> ids = Ids(*pAgain);
        EXPECT_TRUE(Contains(ids, IdsOf(refused)) && Contains(ids, IdsOf(next)));
        EXPECT_EQ(ids.size(), refused.size() + next.size() + (std::string(test.pszFault) == "removed" ? 0 : first.size()));
        EXPECT_FALSE(fs::exists(pAgain->PendingPath()));
    }
}

std::string FileText(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

TEST_F(HistoryStoreTest, RefusesWhatIsNoStoreOfOursAndLeavesIt)
{
    const auto sql = [&](const char* pszName, const char* pszSql) {
        sqlite3* pDb = nullptr;
        sqlite3_open(Path(pszName).c_str(), &pDb);
        sqlite3_exec(pDb, pszSql, nullptr, nullptr, nullptr);
        sqlite3_close(pDb);
    };
    std::ofstream(Path("text.db")) << "slot,label\n1-1,A1\n";
    sql("foreign.db", "CREATE TABLE songs (title TEXT)");
    sql("newer.db", "PRAGMA application_id=1448301650; PRAGMA user_version=99; CREATE TABLE records (x)");
    sql("damaged.db", "CREATE TABLE t (x); INSERT INTO t VALUES (randomblob(20000))");
    {
        std::fstream damaged(Path("damaged.db"), std::ios::in | std::ios::out | std::ios::binary);
        damaged.seekp(20);
        damaged.write("\xff\xff\xff\xff\xff\xff\xff\xff", 8);
    }
    const std::pair<const char*, const char*> cases[] = {
        {"text.db", "no SQLite file"}, {"foreign.db", "another program"}, {"newer.db", "newer vostrel-cli"}, {"damaged.db", ""}};
    for (const auto& [pszName, pszWhy] : cases) {
        const std::string strBefore = FileText(Path(pszName));
        std::string strError;
        EXPECT_FALSE(CSqliteStore::Open(Path(pszName), strError)) << pszName;
        EXPECT_NE(strError.find(pszWhy), std::string::npos) << strError;
        EXPECT_TRUE(FileText(Path(pszName)) == strBefore) << pszName << " was changed";
    }
}

TEST(HistoryViewTest, CsvHasTheReportsColumnsAndQuoting)
{
    const std::string strCsv = HistoryCsv({Record("111", "2026-12-10T01:00:00.000Z", 0)});
    const std::string strHeader = strCsv.substr(0, strCsv.find("\r\n"));
    EXPECT_EQ(strHeader, "slot,label,ports,model,imei,command,status,seconds,sent,left,back,settled,message,transcript,"
                         "modem_manager,record_id,started,ended,station,operator,version,outcome");
    EXPECT_EQ(strCsv.find("\r\n1-4.2,A1,/dev/ttyUSB0 /dev/ttyUSB1,,111,close-autorun,0,1.500,1.250,,,,\"said \"\"no\"\", then, \\n=1\",,"),
              strHeader.size()) << strCsv;
}

TEST(HistoryViewTest, SummaryCountsPerDayAndStationWithTheMedian)
{
    const nlohmann::json summary = HistorySummary({Record("1", "2026-12-10T09:00:00.000Z", 0, 4),
                                                   Record("2", "2026-12-10T08:00:00.000Z", 5, 1),
                                                   Record("3", "2026-12-10T07:00:00.000Z", 0, 2),
                                                   Record("4", "2026-12-09T07:00:00.000Z", 0, 3)});
    ASSERT_EQ(summary.size(), 2u);
    EXPECT_EQ(summary[0], (nlohmann::json{{"day", "2026-12-10"}, {"station", "bench-1"}, {"ok", 2}, {"failed", 1},
                                          {"median_seconds", 2.0}}));
    EXPECT_EQ(summary[1]["median_seconds"], 3.0);
}

} // namespace
