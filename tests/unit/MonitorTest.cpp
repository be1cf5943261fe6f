// The port monitor's passes, driven one at a time on the test's thread over a virtual clock, an
// in-memory registry, simulated cards and the headless window.
#include "tests/support/MonitorHarness.h"

#include <algorithm>
#include <cstring>

using namespace monitor_test;

namespace {

constexpr uint32_t kPoll = 150;   // the channel's settle sleep; every poll cycle has two

// The waits of one probe: two sleeps for an answer that is there at once, sixteen for silence
// (two attempts of four 300 ms cycles at the monitor's 1000 ms answer wait).
std::vector<uint32_t> Probe(bool bAnswered)
{
    return std::vector<uint32_t>(bAnswered ? 2 : 16, kPoll);
}

std::vector<uint32_t> Join(std::initializer_list<std::vector<uint32_t>> parts)
{
    std::vector<uint32_t> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

class MonitorPassTest : public MonitorTestBase {
protected:
    void SetUp() override { CreateDialog(); }
};

} // namespace

// RunMonitorPass: the exact waits of one pass, by what discovery finds and how the card answers.
TEST_F(MonitorPassTest, WaitsOfOnePass)
{
    struct Case {
        const char* pszName;
        void (*pfnRegistry)(CMemoryRegistry&);
        int nCardPort;                        // 0: no card plugged in
        CardFault fault;
        std::vector<uint32_t> waits;
        int nProbeCommands;                   // "AT" lines the card received
        int bConnected;
    };
    const Case cases[] = {
        {"nothing installed", [](CMemoryRegistry&) {}, 0, CardFault::None,
         {200, 200, 200, 500, 500, 500}, 0, 0},
        {"answers at once", [](CMemoryRegistry& r) { AddModemCard(r); }, 5, CardFault::None,
         Join({{200, 200}, Probe(true), {500}, Probe(true), {1000, 1000}}), 2, 1},
        {"silent card", [](CMemoryRegistry& r) { AddModemCard(r); }, 5, CardFault::Silent,
         Join({{200, 200}, Probe(false), {500}, Probe(false), {500}, Probe(false), {500}, Probe(false), {1000}}), 8, 0},
        {"no device on the port", [](CMemoryRegistry& r) { AddModemCard(r); }, 0, CardFault::None,
         {200, 200, 500, 500, 500, 1000}, 0, 0},
        {"AT port after three modem searches", [](CMemoryRegistry& r) { AddAtCard(r); }, 7, CardFault::None,
         Join({{200, 200, 200, 200, 200}, Probe(true), {500}, Probe(true), {1000, 1000}}), 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        sim::UnplugAll();
        m_registry.Clear();
        c.pfnRegistry(m_registry);
        CardOptions options;
        options.fault = c.fault;
        std::shared_ptr<CSimCard> pCard = c.nCardPort ? sim::Plug(c.nCardPort, m_clock, options) : nullptr;
        m_clock.ClearWaits();
        SetConnected(Monitor(), 0);

        EXPECT_TRUE(Monitor().RunMonitorPass());
        EXPECT_EQ(m_clock.Waits(), c.waits);
        EXPECT_EQ(pCard ? pCard->CountOf("AT") : 0, c.nProbeCommands);
        EXPECT_EQ(Monitor().State().m_bConnected, c.bConnected);
    }
}

// The first probe of a pass never decides: only the last of up to three retries does.
TEST_F(MonitorPassTest, FirstProbeNeverDecides)
{
    struct Case {
        const char* pszName;
        int nSilentCommands;          // "AT" lines left unanswered before the card answers again
        bool bSilentAfterFirstProbe;  // the card stops answering once the first probe is done
        int nProbeCommands;
        bool bConnected;
    };
    const Case cases[] = {
        {"answers every probe", 0, false, 2, true},
        {"answers only the first probe", 0, true, 1 + 3 * 2, false},
        {"answers only the third retry", 3 * 2, false, 3 * 2 + 1, true},
    };
    AddModemCard(m_registry);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        std::shared_ptr<CSimCard> pCard = sim::Plug(5, m_clock);
        if (c.nSilentCommands)
            pCard->Script("AT", CardReply::None(), c.nSilentCommands);
        bool bSilenced = false;
        // The wait before the first retry: the first probe is over, no port call is under way.
        m_clock.OnSleep([&](uint32_t nMs) {
            if (nMs == 500 && c.bSilentAfterFirstProbe && !bSilenced) {
                pCard->Script("AT", CardReply::None());
                bSilenced = true;
            }
        });

        EXPECT_TRUE(Monitor().RunMonitorPass());
        m_clock.OnSleep({});
        EXPECT_EQ(pCard->CountOf("AT"), c.nProbeCommands);
        EXPECT_EQ(Monitor().State().m_bConnected != 0, c.bConnected);
        EXPECT_EQ(Window().Control(IDC_STATUS_PICTURE).nBitmap, c.bConnected ? IDB_READY : IDB_SEARCHING);
    }
}

// The show step: the window operations of a pass, in their order, for each outcome.
TEST_F(MonitorPassTest, ShowStepOrder)
{
    struct Case {
        const char* pszName;
        void (*pfnRegistry)(CMemoryRegistry&);
        int nCardPort;
        CardFault fault;
        std::vector<std::string> ops;
    };
    const Case cases[] = {
        {"connected", [](CMemoryRegistry& r) { AddModemCard(r); }, 5, CardFault::None,
         {"picture IDC_STATUS_PICTURE IDB_READY", "select IDC_PORT_LIST 5", "enable IDC_ENTER_DOWNLOAD 1", "enable IDC_EXIT_DOWNLOAD 1",
          "text IDC_STATUS_LINE Setting using Modem port.", "text IDC_PORT_LABEL Modem port:"}},
        {"modem port silent", [](CMemoryRegistry& r) { AddModemCard(r); }, 5, CardFault::Silent,
         {"select IDC_PORT_LIST 5", "picture IDC_STATUS_PICTURE IDB_SEARCHING", "enable IDC_ENTER_DOWNLOAD 0", "enable IDC_EXIT_DOWNLOAD 0",
          "text IDC_STATUS_LINE Searching...", "text IDC_PORT_LABEL Modem port:"}},
        // The label keeps discovery's text while the status line says the card is being searched.
        {"AT port silent", [](CMemoryRegistry& r) { AddAtCard(r); }, 7, CardFault::Silent,
         {"select IDC_PORT_LIST 7", "picture IDC_STATUS_PICTURE IDB_SEARCHING", "enable IDC_ENTER_DOWNLOAD 0", "enable IDC_EXIT_DOWNLOAD 0",
          "text IDC_STATUS_LINE Searching...", "text IDC_PORT_LABEL AT port:"}},
        {"AT port connected", [](CMemoryRegistry& r) { AddAtCard(r); }, 7, CardFault::None,
         {"picture IDC_STATUS_PICTURE IDB_READY", "select IDC_PORT_LIST 7", "enable IDC_ENTER_DOWNLOAD 1", "enable IDC_EXIT_DOWNLOAD 1",
          "text IDC_STATUS_LINE Setting using AT port.", "text IDC_PORT_LABEL AT port:"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        sim::UnplugAll();
        m_registry.Clear();
        c.pfnRegistry(m_registry);
        CardOptions options;
        options.fault = c.fault;
        sim::Plug(c.nCardPort, m_clock, options);
        Window().ClearLog();

        EXPECT_TRUE(Monitor().RunMonitorPass());
        EXPECT_EQ(WindowOps(), c.ops);
        EXPECT_EQ(Monitor().State().m_strStatus, c.ops[4].substr(strlen("text IDC_STATUS_LINE ")));
    }
}

// A pass whose discovery finds nothing leaves the window as the last show step left it; the first
// pass that finds driver entries again but no answer switches to the searching state.
TEST_F(MonitorPassTest, UnplugKeepsLastStateUntilDriversReturn)
{
    AddModemCard(m_registry);
    sim::Plug(5, m_clock);
    ASSERT_TRUE(Monitor().RunMonitorPass());
    ASSERT_EQ(Window().Control(IDC_STATUS_PICTURE).nBitmap, IDB_READY);

    UnplugDrivers(m_registry);
    sim::Unplug(5);
    Window().ClearLog();
    for (int nPass = 0; nPass < 3; ++nPass)
        EXPECT_TRUE(Monitor().RunMonitorPass());
    EXPECT_TRUE(WindowOps().empty());
    EXPECT_EQ(Window().Control(IDC_STATUS_PICTURE).nBitmap, IDB_READY);
    EXPECT_TRUE(Window().Control(IDC_ENTER_DOWNLOAD).bEnabled);
    EXPECT_TRUE(Window().Control(IDC_EXIT_DOWNLOAD).bEnabled);
    EXPECT_EQ(Window().Control(IDC_PORT_LIST).nSelection, 5);

    AddModemCard(m_registry);
    EXPECT_TRUE(Monitor().RunMonitorPass());
    EXPECT_EQ(Window().Control(IDC_STATUS_PICTURE).nBitmap, IDB_SEARCHING);
    EXPECT_FALSE(Window().Control(IDC_ENTER_DOWNLOAD).bEnabled);
    EXPECT_FALSE(Window().Control(IDC_EXIT_DOWNLOAD).bEnabled);
    EXPECT_EQ(Window().Control(IDC_STATUS_LINE).strText, "Searching...");
}

// "Searching..." stays in the status line when the next pass's discovery stores no text, even when
// that pass finds the card answering.
TEST_F(MonitorPassTest, SearchingStaysUntilDiscoveryStoresText)
{
    AddModemCard(m_registry);
    CardOptions silent;
    silent.fault = CardFault::Silent;
    sim::Plug(5, m_clock, silent);
    ASSERT_TRUE(Monitor().RunMonitorPass());
    ASSERT_EQ(Window().Control(IDC_STATUS_LINE).strText, "Searching...");

    // Only an AT driver whose instance has no port entry: found, but nothing is stored.
    m_registry.Clear();
    m_registry.SetDword(kServices + "YARLOusbnmea\\Enum", "Count", 1);
    m_registry.SetString(kServices + "YARLOusbnmea\\Enum", "0", "USB\\VID_X&PID_Y\\9");
    sim::Plug(5, m_clock);
    ASSERT_TRUE(Monitor().RunMonitorPass());
    EXPECT_EQ(Window().Control(IDC_STATUS_PICTURE).nBitmap, IDB_READY);
    EXPECT_EQ(Window().Control(IDC_STATUS_LINE).strText, "Searching...");
    EXPECT_EQ(Window().Control(IDC_PORT_LABEL).strText, "Modem port:");
}

// The port list's selection follows m_nModemPort: 0 shows "NULL", numbers past the list select nothing.
TEST_F(MonitorPassTest, SelectionOfUnusualPortNumbers)
{
    struct Case {
        const char* pszPortName;
        int nSelection;
        const char* pszShown;
    };
    const Case cases[] = {
        {"COM", 0, "NULL"},
        {"COM100", 100, "COM100"},
        {"COM300", -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszPortName);
        m_registry.Clear();
        AddModemCard(m_registry, c.pszPortName);
        EXPECT_TRUE(Monitor().RunMonitorPass());
        EXPECT_EQ(Monitor().State().m_bConnected, 0);
        EXPECT_EQ(Window().Control(IDC_PORT_LIST).nSelection, c.nSelection);
        EXPECT_EQ(Dlg().GetControlText(IDC_PORT_LIST), c.pszShown);
        EXPECT_EQ(Window().Control(IDC_STATUS_PICTURE).nBitmap, IDB_SEARCHING);
    }
}

// OnStatusRefresh (message 101): selection and picture of the last probe, then the readout; nothing else.
TEST_F(MonitorPassTest, StatusRefreshReappliesPictureAndSelectionOnly)
{
    struct Case {
        int bConnected;
        int nModemPort;
        std::vector<std::string> ops;
    };
    const Case cases[] = {
        {1, 7, {"select IDC_PORT_LIST 7", "picture IDC_STATUS_PICTURE IDB_READY", "text IDC_READOUT "}},
        {0, 300, {"select IDC_PORT_LIST 300", "picture IDC_STATUS_PICTURE IDB_SEARCHING", "text IDC_READOUT "}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nModemPort);
        SetConnected(Monitor(), c.bConnected);
        SetModemPort(Monitor(), c.nModemPort);
        Window().ClearLog();
        EXPECT_TRUE(Dlg().Dispatch(WM_STATUS_REFRESH, 0, 0));
        EXPECT_EQ(WindowOps(), c.ops);
    }
}

// OpenModemPort: closes first (an open port would otherwise report success without reopening),
// opens at 8N1, and sets the channel's answer wait and attempts only when the open succeeded.
TEST_F(MonitorPassTest, OpenModemPortReopensAndSetsChannelTiming)
{
    CChannelLease lease(Monitor());   // the monitor is not started: a lease only lends the channel
    CAtChannel& channel = *lease.Context().pChannel;
    EXPECT_EQ(Monitor().OpenModemPort(5, 115200), 0);
    EXPECT_EQ(channel.GetTimeout(), 5000u);
    EXPECT_EQ(channel.GetAttempts(), 3);

    std::shared_ptr<CSimCard> pCard = sim::Plug(5, m_clock);
    EXPECT_EQ(Monitor().OpenModemPort(5, 115200), 1);
    EXPECT_EQ(Monitor().OpenModemPort(5, 9600), 1);
    EXPECT_EQ(pCard->OpenCount(), 2);
    const SimOpenRecord last = pCard->Opens().back();
    EXPECT_EQ(std::vector<int>({last.nPort, last.nBaud, last.nDataBits, last.nStopBits}),
              std::vector<int>({5, 9600, 8, 1}));
    EXPECT_EQ(channel.GetTimeout(), 1000u);
    EXPECT_EQ(channel.GetAttempts(), 2);

    // Moving to a port that fails still closes the old one.
    EXPECT_EQ(Monitor().OpenModemPort(8, 115200), 0);
    EXPECT_FALSE(pCard->IsOpen());
}

// OpenSecondPort: the diagnostic port at 115200 8N1, closed first, nothing ever sent on it.
TEST_F(MonitorPassTest, OpenSecondPortReopens)
{
    std::shared_ptr<CSimCard> pCard = sim::Plug(6, m_clock);
    EXPECT_EQ(Monitor().OpenSecondPort(6), 1);
    EXPECT_EQ(Monitor().OpenSecondPort(6), 1);
    EXPECT_EQ(pCard->OpenCount(), 2);
    const SimOpenRecord last = pCard->Opens().back();
    EXPECT_EQ(std::vector<int>({last.nPort, last.nBaud, last.nDataBits, last.nStopBits}),
              std::vector<int>({6, 115200, 8, 1}));
    EXPECT_EQ(pCard->ReceivedBytes(), "");
    EXPECT_EQ(Monitor().OpenSecondPort(0), 0);
    EXPECT_FALSE(pCard->IsOpen());
}

// Once the window's destruction has deleted the port objects, both openers report failure.
TEST_F(MonitorPassTest, OpenersAfterDestroyFail)
{
    sim::Plug(5, m_clock);
    sim::Plug(6, m_clock);
    Window().Destroy();
    EXPECT_EQ(Monitor().OpenModemPort(5, 115200), 0);
    EXPECT_EQ(Monitor().OpenSecondPort(6), 0);
}
