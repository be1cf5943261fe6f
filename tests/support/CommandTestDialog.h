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
#include <optional>
#include <thread>
#include <vector>

#include "tests/support/PollUntil.h"
#include "tests/support/TestMainDlg.h"
#include "discovery/memory/MemoryRegistry.h"
#include "tests/support/VirtualClock.h"
#include "tests/support/sim/SimSerial.h"
#include "tests/support/WorkDirScope.h"
#include "tests/support/headless/HeadlessWindow.h"

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

class CommandTest : public ::testing::Test {
protected:
    static constexpr int kCardPort = 5;

    void SetUp() override
    {
        m_pCard = sim::Plug(kCardPort, m_clock, CardOptions{});
        m_pDlg = std::make_unique<CTestMainDlg>(m_clock, m_registry, UseTestWorkers() ? &m_workers : nullptr, &m_bEnglish);
        Window().Create();
        // The monitor's one window call of its own (it disables IDC_ENTER_DOWNLOAD as it starts, after the
        // dialog's initialisation did) must be over, or it could land in the command's log.
        ASSERT_TRUE(PollUntil([this] {
            const std::vector<std::string> log = Window().Log();
            return std::count(log.begin(), log.end(), "enable IDC_ENTER_DOWNLOAD 0") >= 2;
        }));
        // The registry is empty, so the monitor never reaches the channel; held here it stays out
        // of the clock's waits as well. Commands nest their own suspensions on top of this one.
        m_pHeld.emplace(Monitor());
        SetModemPort(Monitor(), kCardPort);
        ASSERT_TRUE(Monitor().OpenModemPort(kCardPort, 115200));
        m_nOpensBefore = m_pCard->OpenCount();
        // What a connected monitor pass leaves behind.
        m_pDlg->EnableControl(IDC_ENTER_DOWNLOAD, true);
        m_pDlg->EnableControl(IDC_EXIT_DOWNLOAD, true);
        m_nSuspendsBefore = m_pDlg->SuspendCount();
        Window().ClearLog();
        m_clock.ClearWaits();
    }

    void TearDown() override
    {
        m_bReleaseWorker = true;
        // Kept, not released: the monitor must not start a pass on the way out.
        if (m_pHeld)
            m_pHeld->Keep();
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
    CPortMonitor& Monitor() { return m_pDlg->Monitor(); }
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
            PollUntil([this, nCount] { return m_pDlg->SuspendCount() >= nCount; });
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

    int m_bEnglish = 1;   // the application's language flag as the dialog reads it
    CWorkDirScope m_workDir;   // the dialog's settings file lands here, not where the tests run
    CVirtualClock m_clock;
    CMemoryRegistry m_registry;
    CTestWorkers m_workers;
    std::shared_ptr<CSimCard> m_pCard;
    std::unique_ptr<CTestMainDlg> m_pDlg;
    // The test's own hold on the monitor; commands nest theirs on top.
    std::optional<CChannelLease> m_pHeld;
    int m_nOpensBefore = 0;
    unsigned m_nSuspendsBefore = 0;
    bool m_bDestroyed = false;
    std::atomic<bool> m_bWorkerHeld{false};
    std::atomic<bool> m_bReleaseWorker{false};
};
