#pragma once
// Timing helpers shared by the native and the Windows exchange benchmarks.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
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
// The median of samples (empty: 0); sorts them.
inline double MedianOf(std::vector<double>& samples)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    const size_t nMid = samples.size() / 2;
    return samples.size() % 2 ? samples[nMid] : (samples[nMid - 1] + samples[nMid]) / 2;
}

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
    result.dMedianMs = MedianOf(times);
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

// One line for bench/run.sh's table, tab-separated:
//   figure <key> <where> <median ms> <runs> <ideal ms> <unexpected rounds>
// The key names the row; the ideal is what the fixed waits and exchanges alone would take.
inline void PrintFigure(const std::string& strKey, const char* pszWhere, const SBenchResult& result, double dIdealMs)
{
    std::printf("figure\t%s\t%s\t%.1f\t%d\t%.0f\t%d\n", strKey.c_str(), pszWhere, result.dMedianMs,
                result.nRounds, dIdealMs, result.nFailures);
    std::fflush(stdout);
}
