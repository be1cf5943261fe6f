#pragma once
// The main dialog as tests see it: over a port monitor of its own whose suspend gate the test can
// read, and with the close command's workers started as joinable threads (CTestWorkers) instead of
// detached ones.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "app/MainDlg.h"

// Starts workers as joinable threads, so a test can wait for them with a deadline and join them;
// or refuses to start any.
class CTestWorkers {
public:
    bool Start(std::function<void()> fn)
    {
        if (m_bRefuse)
            return false;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_threads.emplace_back([this, fn = std::move(fn)] {
            fn();
            ++m_nFinished;
        });
        m_ids.push_back(m_threads.back().get_id());
        return true;
    }

    void Refuse() { m_bRefuse = true; }

    // Whether the calling thread is one of the started workers (a clock hook's question: the
    // monitor's thread sleeps on the same clock).
    bool IsWorkerThread()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::find(m_ids.begin(), m_ids.end(), std::this_thread::get_id()) != m_ids.end();
    }

    int Started()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int>(m_threads.size());
    }

    std::thread::id IdOf(int nIndex)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ids.at(nIndex);
    }

    // Polls until every started worker has finished; false when the deadline passes first.
    bool WaitFinished(std::chrono::milliseconds deadline = std::chrono::seconds(20))
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (m_nFinished.load() != Started()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::yield();
        }
        return true;
    }

    void JoinAll()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (std::thread& thread : m_threads) {
            if (thread.joinable())
                thread.join();
        }
    }

private:
    std::mutex m_mutex;
    std::vector<std::thread> m_threads;
    std::vector<std::thread::id> m_ids;
    std::atomic<int> m_nFinished{0};
    std::atomic<bool> m_bRefuse{false};
};

// The monitor a test dialog runs on, with its gate. A base of CTestMainDlg, listed first, so that
// it is built before the dialog and outlives it, as the application's does.
struct CTestMonitorParts {
    CTestMonitorParts(IClock& clock, IRegistry& registry) : m_testMonitor(clock, registry, m_testGate) {}
    CMonitorGate m_testGate;
    CPortMonitor m_testMonitor;
};

class CTestMainDlg : private CTestMonitorParts, public CMainDlg {
public:
    // pWorkers null: the production start, a detached std::thread.
    CTestMainDlg(IClock& clock, IRegistry& registry, CTestWorkers* pWorkers = nullptr, const int* pEnglish = nullptr)
        : CTestMonitorParts(clock, registry), CMainDlg(m_testMonitor, CToolEnv{&clock, pEnglish}), m_pWorkers(pWorkers)
    {
    }

    CPortMonitor& Monitor() { return m_testMonitor; }
    // How deep the monitor is suspended, the window's hold counting as one.
    unsigned SuspendCount() const { return m_testGate.Count(); }

protected:
    bool StartWorker(std::function<void()> fn) override
    {
        return m_pWorkers ? m_pWorkers->Start(std::move(fn)) : CMainDlg::StartWorker(std::move(fn));
    }

private:
    CTestWorkers* m_pWorkers;
};

// The port state with the given modem port.
inline void SetModemPort(CPortMonitor& monitor, int nPort)
{
    monitor.UpdateState([nPort](CPortState& state) { state.m_nModemPort = nPort; });
}

inline void SetConnected(CPortMonitor& monitor, int bConnected)
{
    monitor.UpdateState([bConnected](CPortState& state) { state.m_bConnected = bConnected; });
}
