#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Clock.h"

// The one clock of the tests: Sleep returns at once and moves the time forward; every wait is
// recorded, in all and per thread. Safe to share between threads (each Sleep advances the one
// shared time). A hook set with OnSleep runs on the sleeping thread before each wait is taken, so
// a test can hold a thread inside a chosen wait.
class CVirtualClock final : public IClock {
public:
    explicit CVirtualClock(uint32_t nStartTick = 1000) : m_nNow(nStartTick) {}

    void Sleep(uint32_t nMilliseconds) override
    {
        std::function<void(uint32_t)> onSleep;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            onSleep = m_onSleep;
        }
        if (onSleep)
            onSleep(nMilliseconds);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waits.push_back(nMilliseconds);
        m_threadWaits[std::this_thread::get_id()].push_back(nMilliseconds);
        m_nNow += nMilliseconds;
        m_nElapsed += nMilliseconds;
    }

    uint32_t GetTickCount() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nNow;
    }

    // Runs fn on the sleeping thread before each wait; an empty function removes the hook.
    void OnSleep(std::function<void(uint32_t)> fn)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_onSleep = std::move(fn);
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

    // The waits that one thread took, in order.
    std::vector<uint32_t> WaitsOf(std::thread::id thread) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_threadWaits.find(thread);
        return it == m_threadWaits.end() ? std::vector<uint32_t>{} : it->second;
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
        m_threadWaits.clear();
    }

private:
    mutable std::mutex m_mutex;
    uint32_t m_nNow;
    uint64_t m_nElapsed = 0;
    std::vector<uint32_t> m_waits;
    std::map<std::thread::id, std::vector<uint32_t>> m_threadWaits;
    std::function<void(uint32_t)> m_onSleep;
};
