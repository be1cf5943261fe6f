// The history's figures on a real SQLite file: `history --imei` on a store of 1,000,000 records,
// and writing one card's record (its own transaction, as a run of one card does). Prints one line
// per figure; exits non-zero when a goal is missed.
// usage: bench_history [STORE]   (default: /tmp/vostrel-bench-history.db, made once and kept)
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/BenchStats.h"
#include "history/SqliteStore.h"

namespace {

constexpr size_t kRecords = 1000000;
constexpr size_t kBatch = 10000;

nlohmann::json BenchRecord(size_t n)
{
    // 20,000 cards, each switched 50 times over a few weeks on 8 benches.
    char szStarted[32];
    std::snprintf(szStarted, sizeof szStarted, "2026-%02zu-%02zuT%02zu:%02zu:%02zu.000Z", 1 + n / 200000 % 12,
                  1 + n / 8000 % 28, n / 330 % 24, n / 5 % 60, n % 60);
    return {{"record_id", NewRecordId()}, {"started", szStarted}, {"ended", szStarted},
            {"station", "bench-" + std::to_string(n % 8)}, {"version", "1.0.0"}, {"command", "close-autorun"},
            {"slot", "1-4." + std::to_string(n % 64)}, {"ports", {"/dev/ttyUSB0", "/dev/ttyUSB1"}}, {"model", "R2280-Y"},
            {"imei", std::to_string(356938035600000 + n % 20000)}, {"seconds", 4.2}, {"sent", 0.6}, {"left", 1.9},
            {"status", n % 17 ? 0 : 6}, {"outcome", n % 17 ? "ok" : "not-confirmed"}, {"message", "ok: left after 1.3 s"}};
}

} // namespace

int main(int argc, char** argv)
{
    const std::string strPath = argc > 1 ? argv[1] : "/tmp/vostrel-bench-history.db";
    // Made once, under a name of its own until it is whole.
    std::string strError;
    if (!std::filesystem::exists(strPath)) {
        const std::string strMaking = strPath + ".making";
        std::filesystem::remove(strMaking);
        std::unique_ptr<CSqliteStore> pStore = CSqliteStore::Open(strMaking, strError);
        for (size_t n = 0; pStore && n < kRecords; n += kBatch) {
            std::vector<nlohmann::json> batch;
            for (size_t m = n; m < n + kBatch; ++m)
                batch.push_back(BenchRecord(m));
            if (std::optional<std::string> strProblem = pStore->Append(batch)) {
                std::fprintf(stderr, "bench_history: %s\n", strProblem->c_str());
                return 2;
            }
        }
        if (!pStore) {
            std::fprintf(stderr, "bench_history: %s\n", strError.c_str());
            return 2;
        }
        pStore.reset();
        std::filesystem::rename(strMaking, strPath);
    }

    // As `history --imei` does it: open the store (a process of its own each time), then query.
    size_t nFound = 0;
    const SBenchResult query = MeasureRounds(21, 2, [&] {
        std::string strOpenError;
        std::unique_ptr<CSqliteStore> pReader = CSqliteStore::Open(strPath, strOpenError);
        CHistoryFilter filter;
        filter.strImei = "356938035612345";
        std::vector<nlohmann::json> found;
        const bool bRead = pReader && !pReader->Query(filter, found);
        nFound = found.size();
        return bRead && found.size() == kRecords / 20000;
    });
    std::unique_ptr<CSqliteStore> pWriter = CSqliteStore::Open(strPath, strError);
    size_t nWritten = kRecords;
    const SBenchResult write = MeasureRounds(201, 5, [&] { return pWriter && !pWriter->Append({BenchRecord(nWritten++)}); });
    const bool bQueryMet = query.dMedianMs <= 50 && query.nFailures == 0;
    const bool bWriteMet = write.dMedianMs <= 5 && write.nFailures == 0;
    std::printf("| `history --imei` on %zu records (open and query, %zu found) | native | %.1f ms (max %.1f) | %d | | | <= 50 ms | %s |\n",
                kRecords, nFound, query.dMedianMs, query.dMaxMs, query.nRounds, bQueryMet ? "yes" : "no");
    std::printf("| writing one card's record (one transaction) | native | %.2f ms (max %.2f) | %d | | | <= 5 ms | %s |\n",
                write.dMedianMs, write.dMaxMs, write.nRounds, bWriteMet ? "yes" : "no");
    return bQueryMet && bWriteMet ? 0 : 1;
}
