#pragma once
// Timing helpers shared by the native and the Windows exchange benchmarks.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

struct SBenchResult {
    double dMedianMs = 0;
    double dMinMs = 0;
    double dMaxMs = 0;
    int nRounds = 0;
    int nFailures = 0;   // rounds whose outcome was not the expected one
};

// Runs round() nRounds times (after nWarmUp untimed runs) and summarises the wall time of each.
// round() returns whether the outcome was the expected one.
inline SBenchResult MeasureRounds(int nRounds, int nWarmUp, const std::function<bool()>& round)
{
    for (int n = 0; n < nWarmUp; ++n)
        round();
    std::vector<double> times;
    SBenchResult result;
    for (int n = 0; n < nRounds; ++n) {
        const auto start = std::chrono::steady_clock::now();
        const bool bExpected = round();
        const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
        times.push_back(elapsed.count());
        if (!bExpected)
            ++result.nFailures;
    }
    if (times.empty())
        return result;
    std::sort(times.begin(), times.end());
    const size_t nMid = times.size() / 2;
    result.dMedianMs = times.size() % 2 ? times[nMid] : (times[nMid - 1] + times[nMid]) / 2;
    result.dMinMs = times.front();
    result.dMaxMs = times.back();
    result.nRounds = nRounds;
    return result;
}

inline void PrintResult(const char* pszWhat, const SBenchResult& result, double dReferenceMs)
{
    std::printf("%-34s median %8.1f ms  min %8.1f  max %8.1f  ratio to %.0f ms: %.3f  (%d rounds, %d unexpected)\n",
                pszWhat, result.dMedianMs, result.dMinMs, result.dMaxMs, dReferenceMs,
                result.dMedianMs / dReferenceMs, result.nRounds, result.nFailures);
}
