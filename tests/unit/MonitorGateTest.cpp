// The monitor's suspend gate, alone and with the monitor thread running: real threads, the virtual
// clock, no fixed sleeps (polls with deadlines; a short observation window where something must
// NOT happen).
#include "tests/support/MonitorHarness.h"

#include <algorithm>
#include <atomic>
#include <optional>

using namespace monitor_test;

namespace {

using namespace std::chrono_literals;

// True when flag stayed false for the whole window.
bool StaysFalse(const std::atomic<bool>& flag, std::chrono::milliseconds window = 50ms)
{
    const auto end = std::chrono::steady_clock::now() + window;
    while (std::chrono::steady_clock::now() < end) {
        if (flag)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return !flag;
}

// A registry without keys that records nothing: a monitor spinning through discovery stays small.
class CNoRegistry final : public IRegistry {
public:
    ERegOpen Open(const std::string&, uint32_t, RegKey*) override { return ERegOpen::kMissing; }
    bool QueryValue(RegKey, const std::string&, void*, uint32_t*) override { return false; }
    bool EnumSubkey(RegKey, uint32_t, std::string*) override { return false; }
    void CloseKey(RegKey) override {}
};

// The monitor is held inside one chosen wait until the test lets it go. Shared with the hook so
// that it outlives a test body that ends early.
// It also notes the virtual time at which each wait begins.
struct CHold {
    CSignal reached;
    CSignal release;
    std::atomic<bool> bTaken{false};
    std::mutex mutex;
    std::vector<uint32_t> starts;

    void At(uint32_t nMs, uint32_t nWanted, uint32_t nNow)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            starts.push_back(nNow);
        }
        if (nMs == nWanted && !bTaken.exchange(true)) {
            reached.Raise();
            release.WaitFor(20s);
        }
    }
};

class MonitorThreadTest : public MonitorTestBase {
protected:
    void TearDown() override
    {
        if (m_pHold)
            m_pHold->release.Raise();
        MonitorTestBase::TearDown();
    }

    std::shared_ptr<CHold> HoldAt(uint32_t nWanted)
    {
        m_pHold = std::make_shared<CHold>();
        m_clock.OnSleep([pHold = m_pHold, nWanted, &clock = m_clock](uint32_t nMs) {
            pHold->At(nMs, nWanted, clock.GetTickCount());
        });
        return m_pHold;
    }

    size_t WaitCount() const { return m_clock.Waits().size(); }

    CNoRegistry m_noRegistry;
    std::shared_ptr<CHold> m_pHold;
};

// Enters a step, then stops the gate from another thread; true when the stop returned only after
// the step was left.
bool StopWaitsForTheStepInHand(CMonitorGate& gate, void (CMonitorGate::*stop)())
{
    if (!gate.EnterStep())
        return false;
    std::atomic<bool> bStopped{false};
    std::thread stopper([&] {
        (gate.*stop)();
        bStopped = true;
    });
    const bool bWaited = Eventually([&] { return gate.Count() == 1; }) && StaysFalse(bStopped);
    gate.LeaveStep();
    stopper.join();
    return bWaited;
}

} // namespace

// CMonitorGate::Suspend/Resume/Hold: suspensions nest, a resume at count 0 does nothing, a hold
// counts as one suspension that no resume takes away.
TEST(MonitorGate, CountingRules)
{
    struct Case {
        const char* pszOps;
        unsigned nCount;
    };
    const Case cases[] = {
        {"S", 1}, {"SS", 2}, {"SSR", 1}, {"SSRR", 0}, {"R", 0}, {"RRS", 1}, {"SRR", 0}, {"SRRS", 1},
        {"H", 1}, {"HR", 1}, {"SHRR", 1}, {"HS", 2}, {"HSRR", 1}, {"HH", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszOps);
        CMonitorGate gate;
        for (const char* p = c.pszOps; *p; ++p)
            *p == 'S' ? gate.Suspend() : *p == 'H' ? gate.Hold() : gate.Resume();
        EXPECT_EQ(gate.Count(), c.nCount);
    }
}

// CMonitorGate::Suspend returns only once the step in hand has been left; no new step starts then.
TEST(MonitorGate, SuspendWaitsForTheStepInHand)
{
    CMonitorGate gate;
    ASSERT_TRUE(StopWaitsForTheStepInHand(gate, &CMonitorGate::Suspend));

    std::atomic<bool> bEntered{false};
    std::thread monitor([&] {
        CMonitorStep step(gate);
        bEntered = static_cast<bool>(step);
    });
    EXPECT_TRUE(StaysFalse(bEntered));
    gate.Resume();
    monitor.join();
    EXPECT_TRUE(bEntered);
}

// CMonitorGate::Hold: waits for the step in hand like Suspend; afterwards no resume lets the
// monitor pass again, only the shutdown ends its wait.
TEST(MonitorGate, HoldOutlastsEveryResume)
{
    CMonitorGate gate;
    ASSERT_TRUE(StopWaitsForTheStepInHand(gate, &CMonitorGate::Hold));

    gate.Suspend();
    gate.Resume();
    gate.Resume();
    std::atomic<bool> bPassed{false};
    std::atomic<bool> bRefused{false};
    std::thread monitor([&] {
        const bool bPass = gate.Pass();
        (bPass ? bPassed : bRefused) = true;
    });
    EXPECT_TRUE(StaysFalse(bPassed));
    gate.Shutdown();
    monitor.join();
    EXPECT_TRUE(bRefused);
}

// CMonitorGate::Shutdown: waiting and later Pass and EnterStep give false; a suspender waiting for
// a lease is let go.
TEST(MonitorGate, ShutdownReleasesEveryWaiter)
{
    CMonitorGate gate;
    gate.Suspend();
    std::atomic<int> nRefused{0};
    std::thread passer([&] { nRefused += gate.Pass() ? 0 : 1; });
    std::thread stepper([&] { nRefused += gate.EnterStep() ? 0 : 1; });
    gate.Shutdown();
    passer.join();
    stepper.join();
    EXPECT_EQ(nRefused, 2);
    EXPECT_FALSE(gate.Pass());
    EXPECT_FALSE(CMonitorStep(gate));

    CMonitorGate leased;
    ASSERT_TRUE(leased.EnterStep());
    std::thread suspender([&] { leased.Suspend(); });
    ASSERT_TRUE(Eventually([&] { return leased.Count() == 1; }));
    leased.Shutdown();
    suspender.join();
}

// StartMonitor: the flag is reset before the thread runs; the thread first disables
// IDC_ENTER_DOWNLOAD. A lease does not suspend before the start; a second start is harmless.
TEST_F(MonitorThreadTest, StartMonitor)
{
    CreateDialog(&m_noRegistry);
    {
        CChannelLease lease(Monitor());
        EXPECT_EQ(m_pDlg->SuspendCount(), 0u);
    }
    SetConnected(Monitor(), 1);

    EXPECT_EQ(Monitor().StartMonitor(), 1);
    EXPECT_EQ(Monitor().State().m_bConnected, 0);
    ASSERT_TRUE(Eventually([&] { return !WindowOps().empty(); }));
    EXPECT_EQ(WindowOps(), (std::vector<std::string>{"enable IDC_ENTER_DOWNLOAD 0"}));
    EXPECT_EQ(Monitor().StartMonitor(), 1);
    {
        CChannelLease lease(Monitor());
        EXPECT_EQ(m_pDlg->SuspendCount(), 1u);
    }
}

// Two suspends and one resume keep the monitor stopped; the second resume, from another thread,
// lets it go on.
TEST_F(MonitorThreadTest, TwoSuspendsNeedTwoResumes)
{
    CreateDialog(&m_noRegistry);
    Monitor().StartMonitor();
    ASSERT_TRUE(Eventually([&] { return WaitCount() > 0; }));
    CChannelLease first(Monitor());
    CChannelLease second(Monitor());
    std::thread([&] { first.Release(); }).join();
    EXPECT_EQ(m_pDlg->SuspendCount(), 1u);

    // A wait already past the gate when the suspension came may still be recorded; nothing more.
    const size_t nStopped = WaitCount();
    std::atomic<bool> bMoved{false};
    std::thread watcher([&] {
        const auto end = std::chrono::steady_clock::now() + 50ms;
        while (std::chrono::steady_clock::now() < end && !bMoved)
            bMoved = WaitCount() > nStopped + 1;
    });
    watcher.join();
    EXPECT_FALSE(bMoved);

    std::thread([&] { second.Release(); }).join();
    EXPECT_TRUE(Eventually([&] { return WaitCount() > nStopped + 12; }));
}

// A window call that the monitor asked for before a suspension, still waiting for the window's
// thread when it comes, is dropped there: a command started meanwhile keeps its buttons.
TEST_F(MonitorThreadTest, WindowCallWaitingAtASuspensionIsDropped)
{
    CreateDialog(&m_noRegistry);
    Window().SetStrictThreading(true);
    Monitor().StartMonitor();
    const size_t nOpsBefore = WindowOps().size();
    ASSERT_TRUE(Eventually([&] { return Window().QueuedCalls() == 1; }));   // its first IDC_ENTER_DOWNLOAD disable
    {
        CChannelLease lease(Monitor());
        EXPECT_EQ(Window().Pump(), 1);
        EXPECT_EQ(WindowOps().size(), nOpsBefore);
    }
    Window().Destroy();
}

// A suspend that arrives while the monitor probes returns only after that probe has ended.
TEST_F(MonitorThreadTest, SuspendDuringProbeReturnsAfterTheProbe)
{
    AddModemCard(m_registry);
    CardOptions silent;
    silent.fault = CardFault::Silent;
    sim::Plug(5, m_clock, silent);
    std::shared_ptr<CHold> pHold = HoldAt(150);   // the first poll sleep of the first probe
    CreateDialog();
    Monitor().StartMonitor();
    ASSERT_TRUE(pHold->reached.WaitFor(20s));

    std::vector<uint32_t> seenOnReturn;
    std::optional<CChannelLease> lease;
    std::thread suspender([&] {
        lease.emplace(Monitor());
        seenOnReturn = m_clock.Waits();
    });
    ASSERT_TRUE(Eventually([&] { return m_pDlg->SuspendCount() == 1; }));
    pHold->release.Raise();
    suspender.join();

    // The whole silent probe (16 poll sleeps) and nothing after it.
    EXPECT_EQ(std::count(seenOnReturn.begin(), seenOnReturn.end(), 150u), 16);
    ASSERT_FALSE(seenOnReturn.empty());
    EXPECT_EQ(seenOnReturn.back(), 150u);
    lease.reset();
}

// Suspended in the final wait and resumed 10 s later, the monitor begins the next pass at once.
TEST_F(MonitorThreadTest, ResumeAfterFinalWaitStartsNextPassAtOnce)
{
    AddModemCard(m_registry);   // found, but no device on COM5: a pass without probe waits
    std::shared_ptr<CHold> pHold = HoldAt(1000);
    CreateDialog();
    Monitor().StartMonitor();
    ASSERT_TRUE(pHold->reached.WaitFor(20s));
    const std::vector<uint32_t> pass = {200, 200, 500, 500, 500, 1000};

    std::optional<CChannelLease> lease(Monitor());   // no step under way: returns at once
    m_clock.Advance(10000);
    const size_t nOpens = m_recorder.Opens().size();
    pHold->release.Raise();
    ASSERT_TRUE(Eventually([&] { return WaitCount() >= pass.size(); }));
    EXPECT_EQ(m_clock.Waits(), pass);
    EXPECT_EQ(m_recorder.Opens().size(), nOpens);

    const uint32_t nResumedAt = m_clock.GetTickCount();
    lease.reset();
    ASSERT_TRUE(Eventually([&] { return WaitCount() >= 2 * pass.size(); }));
    // The next pass follows with no wait in between and no time lost: its first wait is the one
    // after the modem port's reopen.
    const std::vector<uint32_t> waits = m_clock.Waits();
    EXPECT_EQ(std::vector<uint32_t>(waits.begin() + pass.size(), waits.begin() + 2 * pass.size()), pass);
    EXPECT_GT(m_recorder.Opens().size(), nOpens);
    std::lock_guard<std::mutex> lock(pHold->mutex);
    EXPECT_EQ(pHold->starts.at(pass.size()), nResumedAt);
}

// 10,000 suspend/resume pairs from each of two threads against a running monitor: no deadlock,
// the count ends at 0 and the monitor still runs.
TEST_F(MonitorThreadTest, ManySuspendResumePairs)
{
    CreateDialog(&m_noRegistry);
    Monitor().StartMonitor();
    auto pairs = [&] {
        for (int n = 0; n < 10000; ++n)
            CChannelLease lease(Monitor());
    };
    std::thread first(pairs);
    std::thread second(pairs);
    first.join();
    second.join();
    EXPECT_EQ(m_pDlg->SuspendCount(), 0u);
    const uint64_t nElapsed = m_clock.Elapsed();
    EXPECT_TRUE(Eventually([&] { return m_clock.Elapsed() > nElapsed + 10 * 2100; }));
}

// The window's destruction while the monitor runs: it suspends the monitor (waiting for a step in
// hand), then deletes the port objects, which the monitor never touches again. Repeated at
// different points of the passes; ASan and TSan check the "never".
TEST_F(MonitorThreadTest, DestroyWhileTheMonitorRuns)
{
    AddModemCard(m_registry);
    sim::Plug(5, m_clock);
    sim::Plug(6, m_clock);
    for (size_t nRound = 0; nRound < 24; ++nRound) {
        SCOPED_TRACE(nRound);
        m_clock.ClearWaits();
        CreateDialog();
        Monitor().StartMonitor();
        ASSERT_TRUE(Eventually([&] { return WaitCount() >= nRound; }));
        Window().Destroy();
        EXPECT_EQ(Monitor().OpenModemPort(5, 115200), 0);
        EXPECT_EQ(Monitor().OpenSecondPort(6), 0);
        EXPECT_GE(m_pDlg->SuspendCount(), 1u);
        m_pDlg.reset();   // joins the monitor
    }
}

// The dialog's destruction while the monitor waits for the window's thread to carry out a window
// call: the window's messages keep flowing until the monitor has ended, so the join cannot hang.
TEST_F(MonitorThreadTest, DestructionAnswersAPendingWindowCall)
{
    AddModemCard(m_registry);   // no device on COM5: each pass ends in the searching show step
    CreateDialog();
    Window().SetStrictThreading(true);
    Monitor().StartMonitor();
    ASSERT_TRUE(Eventually([&] { return Window().Pump() > 0; }));   // the monitor's first call
    ASSERT_TRUE(Eventually([&] { return WaitCount() >= 5; }));      // on its way to the show step
    m_pDlg.reset();
}
