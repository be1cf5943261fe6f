#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/Clock.h"

// A clock for tests: Sleep returns at once and moves the time forward; every wait is recorded.
// Safe to share between threads (each Sleep advances the one shared time).
class CVirtualClock final : public IClock {
public:
    explicit CVirtualClock(uint32_t nStartTick = 1000) : m_nNow(nStartTick) {}

    void Sleep(uint32_t nMilliseconds) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waits.push_back(nMilliseconds);
        m_nNow += nMilliseconds;
        m_nElapsed += nMilliseconds;
    }

    uint32_t GetTickCount() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nNow;
    }

    // Moves the time without recording a wait (time that passes elsewhere).
    void Advance(uint32_t nMilliseconds)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nNow += nMilliseconds;
        m_nElapsed += nMilliseconds;
    }

    std::vector<uint32_t> Waits() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_waits;
    }

    uint64_t TotalWaited() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        uint64_t nTotal = 0;
        for (uint32_t n : m_waits)
            nTotal += n;
        return nTotal;
    }

    // Milliseconds since construction, without the 32-bit wrap.
    uint64_t Elapsed() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nElapsed;
    }

    void ClearWaits()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waits.clear();
    }

private:
    mutable std::mutex m_mutex;
    uint32_t m_nNow;
    uint64_t m_nElapsed = 0;
    std::vector<uint32_t> m_waits;
};
