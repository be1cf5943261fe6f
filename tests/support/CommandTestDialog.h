#pragma once
// A main dialog ready for a command: headless window created on the test's thread (which becomes
// the window's thread), the monitor held suspended so that only the command under test uses the
// channel and the clock, and the channel's port open on a simulated card at COM5.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/MainDlg.h"
#include "discovery/memory/MemoryRegistry.h"
#include "tests/support/VirtualClock.h"
#include "tests/support/sim/SimSerial.h"
#include "tests/support/WorkDirScope.h"
#include "tests/support/headless/HeadlessWindow.h"

// Polls until done() holds; false when the deadline passes first.
inline bool PollUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline = std::chrono::seconds(20))
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// The waits of one thread, without the channel's 150 ms settle sleeps inside each exchange.
inline std::vector<uint32_t> CommandWaitsOf(const CVirtualClock& clock, std::thread::id thread)
{
    std::vector<uint32_t> waits;
    for (uint32_t n : clock.WaitsOf(thread)) {
        if (n != 150)
            waits.push_back(n);
    }
    return waits;
}

// Starts the close command's workers as joinable threads, so the test can wait for them with a
// deadline and join them; or refuses to start any.
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

class CommandTest : public ::testing::Test {
protected:
    static constexpr int kCardPort = 5;

    void SetUp() override
    {
        m_pCard = sim::Plug(kCardPort, m_clock, CardOptions{});
        CToolEnv env{&m_clock, &m_registry, {}};
        if (UseTestWorkers())
            env.startWorker = [this](std::function<void()> fn) { return m_workers.Start(std::move(fn)); };
        m_pDlg = std::make_unique<CMainDlg>(nullptr, env);
        Window().Create();
        // The monitor's one window call of its own (it disables 1012 as it starts, after the
        // dialog's initialisation did) must be over, or it could land in the command's log.
        ASSERT_TRUE(PollUntil([this] {
            const std::vector<std::string> log = Window().Log();
            return std::count(log.begin(), log.end(), "enable 1012 0") >= 2;
        }));
        // The registry is empty, so the monitor never reaches the channel; held here it stays out
        // of the clock's waits as well. Commands nest their own suspensions on top of this one.
        m_pDlg->SuspendMonitor();
        m_pDlg->m_nModemPort = kCardPort;
        ASSERT_TRUE(m_pDlg->OpenModemPort(kCardPort, 115200));
        m_nOpensBefore = m_pCard->OpenCount();
        // What a connected monitor pass leaves behind.
        m_pDlg->EnableControl(IDC_ENTER_DOWNLOAD, true);
        m_pDlg->EnableControl(IDC_EXIT_DOWNLOAD, true);
        m_nSuspendsBefore = m_pDlg->MonitorSuspendCount();
        Window().ClearLog();
        m_clock.ClearWaits();
    }

    void TearDown() override
    {
        m_bReleaseWorker = true;
        if (m_pDlg && Window().IsCreated() && !m_bDestroyed)
            Window().Destroy();
        EXPECT_TRUE(m_workers.WaitFinished());
        m_workers.JoinAll();
        m_pDlg.reset();
        sim::UnplugAll();
    }

    // False: the production start, a detached std::thread.
    virtual bool UseTestWorkers() const { return true; }

    CHeadlessWindow Window() { return HeadlessWindowOf(*m_pDlg); }
    CCardModel& Card() { return m_pCard->Model(); }

    // Runs the close command the way a click does, then waits for its worker to finish.
    void RunEnterDownload()
    {
        m_pDlg->OnEnterDownload();
        ASSERT_TRUE(m_workers.WaitFinished()) << "the worker did not finish";
    }

    // Starts the close command with its worker held in its first (2000 ms) wait; false when the
    // worker did not get there.
    bool StartEnterDownloadWithWorkerHeld()
    {
        const std::thread::id windowThread = std::this_thread::get_id();
        m_clock.OnSleep([this, windowThread](uint32_t nMilliseconds) {
            if (std::this_thread::get_id() == windowThread || nMilliseconds != 2000 || m_bWorkerHeld.exchange(true))
                return;
            PollUntil([this] { return m_bReleaseWorker.load(); });
        });
        m_pDlg->OnEnterDownload();
        return PollUntil([this] { return m_bWorkerHeld.load(); });
    }

    // Destroys the window while the held worker waits, and lets the worker go once the
    // destruction has stopped the monitor, which the suspend count reaching nCount shows.
    void DestroyWithWorkerHeldUntilSuspendCount(unsigned nCount)
    {
        std::thread releaser([this, nCount] {
            PollUntil([this, nCount] { return m_pDlg->MonitorSuspendCount() >= nCount; });
            m_bReleaseWorker = true;
        });
        Window().Destroy();
        m_bDestroyed = true;
        releaser.join();
        m_clock.OnSleep({});
    }

    // Reopens of the card's port made by the command under test.
    std::vector<SimOpenRecord> ReopensSinceSetUp() const
    {
        std::vector<SimOpenRecord> opens = m_pCard->Opens();
        return std::vector<SimOpenRecord>(opens.begin() + m_nOpensBefore, opens.end());
    }

    // The lines the card received, in order.
    std::vector<std::string> Sent()
    {
        std::vector<std::string> lines;
        for (const CardTranscriptLine& line : Card().Transcript())
            lines.push_back(line.strLine);
        return lines;
    }

    CWorkDirScope m_workDir;   // the dialog's settings file lands here, not where the tests run
    CVirtualClock m_clock;
    CMemoryRegistry m_registry;
    CTestWorkers m_workers;
    std::shared_ptr<CSimCard> m_pCard;
    std::unique_ptr<CMainDlg> m_pDlg;
    int m_nOpensBefore = 0;
    unsigned m_nSuspendsBefore = 0;
    bool m_bDestroyed = false;
    std::atomic<bool> m_bWorkerHeld{false};
    std::atomic<bool> m_bReleaseWorker{false};
};
