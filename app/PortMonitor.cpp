#include "app/PortMonitor.h"

#include <new>
#include <system_error>
#include <utility>

#include "res/resource.h"
#include "serial/CardLine.h"

namespace {

constexpr int kDiscoveryCalls = 3;
constexpr uint32_t kAfterModemSearchFailed = 200;
constexpr uint32_t kAfterAtSearchFailed = 500;
constexpr uint32_t kAfterOpen = 200;
constexpr int kProbeRetries = 3;
constexpr uint32_t kBeforeProbeRetry = 500;
constexpr uint32_t kBeforeShowConnected = 1000;
constexpr uint32_t kRest = 1000;

// Before a window is attached (or after it has gone): nothing is shown, and the caller's thread is
// the window's thread.
class CNoMonitorWindow final : public IMonitorWindow {
public:
    void ShowStatusPicture(int) override {}
    void ShowPort(int) override {}
    void EnableButton(ECommandButton, bool) override {}
    void ShowPortLabel(const std::string&) override {}
    void ShowStatusLine(const std::string&) override {}
    void RunOnWindowThread(const std::function<void()>& fn) override { fn(); }
    void WaitPumping(const std::function<bool()>& done) override
    {
        while (!done())
            std::this_thread::yield();
    }
};

IMonitorWindow& NoWindow()
{
    static CNoMonitorWindow s_window;
    return s_window;
}

} // namespace

CPortMonitor::CPortMonitor(IClock& clock, IRegistry& registry, CMonitorGate& gate)
    : m_pWindow(&NoWindow()), m_clock(clock), m_registry(registry), m_gate(gate),
      m_pSecondPort(std::make_unique<CDiagPort>())
{
}

void CPortMonitor::AttachWindow(IMonitorWindow* pWindow)
{
    m_pWindow = pWindow ? pWindow : &NoWindow();
}

CPortMonitor::~CPortMonitor()
{
    ShutdownMonitor();
}

void CPortMonitor::CreateChannel()
{
    m_pAtChannel = std::make_unique<CAtChannel>(m_clock);
}

int CPortMonitor::StartMonitor()
{
    UpdateState([](CPortState& state) { state.m_bConnected = 0; });
    // One thread per monitor: a second one would race the first on the channel.
    if (m_pMonitorThread)
        return 1;
    try {
        m_pMonitorThread = std::make_unique<std::thread>(MonitorThreadProc, this);
        m_bStarted = true;
    } catch (const std::system_error&) {
        // No thread: the window keeps its initial state and leases change nothing.
    }
    return 1;
}

void CPortMonitor::MonitorThreadProc(CPortMonitor* pMonitor)
{
    const bool bGoOn = pMonitor->MonitorWindowCall(
        [pMonitor] { pMonitor->m_pWindow->EnableButton(ECommandButton::kEnterDownload, false); });
    if (bGoOn) {
        while (pMonitor->RunMonitorPass()) {
        }
    }
    pMonitor->m_bMonitorEnded = true;
}

// One call is either one discovery round that found nothing (the window is not touched, and the
// next call starts discovery again at once) or one full pass: discover, open, probe, show, rest.
// A pass allocates (its steps' closures, the texts it copies out of the state); running out of
// memory ends that pass where it is, and the next one starts over after the rest. The exception
// must not leave the monitor's thread: nothing there would catch it, and the process would end.
bool CPortMonitor::RunMonitorPass()
{
    try {
        return RunPassSteps();
    } catch (const std::bad_alloc&) {
        return MonitorWait(kRest);
    }
}

bool CPortMonitor::RunPassSteps()
{
    const std::optional<bool> found = MonitorDiscover();
    if (!found)
        return false;
    if (!*found)
        return true;
    const std::optional<bool> connected = MonitorOpenAndProbe();
    if (!connected)
        return false;
    return MonitorShow(*connected) && MonitorWait(kRest);
}

// Up to three modem-port searches, then up to three AT-port searches, each failure followed by its
// wait (the last one too). True as soon as one search succeeds.
std::optional<bool> CPortMonitor::MonitorDiscover()
{
    struct Phase {
        int (CPortMonitor::*pfnFind)();
        uint32_t nWaitAfterFailure;
    };
    for (const Phase& phase : {Phase{&CPortMonitor::FindModemPort, kAfterModemSearchFailed},
                               Phase{&CPortMonitor::FindAtPort, kAfterAtSearchFailed}}) {
        for (int nCall = 0; nCall < kDiscoveryCalls; ++nCall) {
            int nFound = 0;
            if (!MonitorStep([&] { nFound = (this->*phase.pfnFind)(); }))
                return std::nullopt;
            if (nFound)
                return true;
            if (!MonitorWait(phase.nWaitAfterFailure))
                return std::nullopt;
        }
    }
    return false;
}

// Reopens both ports and probes. The first probe never decides: it is always followed by at least
// one retry (reopen and probe again), so an answering card is probed twice in every pass, and the
// outcome is the last probe's.
std::optional<bool> CPortMonitor::MonitorOpenAndProbe()
{
    if (!MonitorStep([this] { OpenModemPort(ModemPort(), kCardBaud); }) || !MonitorWait(kAfterOpen))
        return std::nullopt;
    if (!MonitorStep([this] { OpenSecondPort(DiagnosticPort()); }) || !MonitorWait(kAfterOpen))
        return std::nullopt;
    int bAnswered = 0;
    if (!MonitorStep([&] { bAnswered = MonitorProbe(); }))
        return std::nullopt;
    for (int nRetry = 0; nRetry < kProbeRetries; ++nRetry) {
        if (!MonitorWait(kBeforeProbeRetry))
            return std::nullopt;
        const bool bStepped = MonitorStep([&] {
            OpenModemPort(ModemPort(), kCardBaud);
            bAnswered = MonitorProbe();
        });
        if (!bStepped)
            return std::nullopt;
        if (bAnswered)
            break;
    }
    return bAnswered != 0;
}

// Probes the card and records the result for the window's thread (WM_STATUS_REFRESH, Reverse Port).
int CPortMonitor::MonitorProbe()
{
    const int bAnswered = m_pAtChannel && m_pAtChannel->Probe() ? 1 : 0;
    UpdateState([bAnswered](CPortState& state) { state.m_bConnected = bAnswered; });
    return bAnswered;
}

// The window operations of a pass, in their fixed order. The state is read before each call, never
// on the window's thread: the window's data exchange takes the state's lock there.
bool CPortMonitor::MonitorShow(bool bConnected)
{
    const int nPort = ModemPort();
    auto picture = [this](int nBitmapId) { return MonitorWindowCall([=, this] { m_pWindow->ShowStatusPicture(nBitmapId); }); };
    auto port = [this, nPort] { return MonitorWindowCall([=, this] { m_pWindow->ShowPort(nPort); }); };
    auto buttons = [this](bool bEnable) {
        return MonitorWindowCall([=, this] { m_pWindow->EnableButton(ECommandButton::kEnterDownload, bEnable); })
            && MonitorWindowCall([=, this] { m_pWindow->EnableButton(ECommandButton::kExitDownload, bEnable); });
    };
    if (bConnected) {
        if (!(MonitorWait(kBeforeShowConnected) && picture(IDB_READY) && port() && buttons(true)))
            return false;
    } else {
        if (!(port() && picture(IDB_SEARCHING) && buttons(false)))
            return false;
        // Stays until discovery stores a text again; the label keeps discovery's.
        UpdateState([](CPortState& state) { state.m_strStatus = kSearchingStatus; });
    }
    const CPortState state = State();
    return MonitorWindowCall([&] { m_pWindow->ShowStatusLine(state.m_strStatus); })
        && MonitorWindowCall([&] { m_pWindow->ShowPortLabel(state.m_strPortLabel); });
}

// The gate is passed before the sleep and again after it: a wait whose time ran out while the
// monitor was suspended ends the moment it is resumed.
bool CPortMonitor::MonitorWait(uint32_t nMilliseconds)
{
    if (!m_gate.Pass())
        return false;
    m_clock.Sleep(nMilliseconds);
    return m_gate.Pass();
}

bool CPortMonitor::MonitorStep(const std::function<void()>& fn)
{
    CMonitorStep step(m_gate);
    if (!step)
        return false;
    fn();
    return true;
}

// No lease here: the call may wait for the window's thread, which may itself be suspending. The
// gate is asked again once the call runs on the window's thread: a command started there while
// the call waited has suspended the monitor, and the call would switch its buttons back on.
bool CPortMonitor::MonitorWindowCall(const std::function<void()>& fn)
{
    if (!m_gate.Pass())
        return false;
    m_pWindow->RunOnWindowThread([&] {
        if (m_gate.Count() == 0)
            fn();
    });
    return true;
}

// Open on an open port reports success without reopening, so both openers close first.
int CPortMonitor::OpenModemPort(int nPort, int nBaud)
{
    CAtChannel* pChannel = m_pAtChannel.get();
    if (!pChannel)
        return 0;
    return pChannel->OpenCardPort(nPort, nBaud);
}

int CPortMonitor::OpenSecondPort(int nPort)
{
    CDiagPort* pDiag = m_pSecondPort.get();
    if (!pDiag)
        return 0;
    if (pDiag->m_port.IsOpen())
        pDiag->m_port.Close();
    return pDiag->m_port.Open(nPort, kCardBaud, kCardDataBits, kCardStopBits) ? 1 : 0;
}

// ---- discovery: the searches store what they found in the port state ---------------------------

// The texts are built before anything is stored: running out of memory for them leaves the state as
// it was, and an exception must not leave the monitor's thread (the process would end).
bool CPortMonitor::StoreCommandPort(const CPortSearch& search)
{
    if (!search.nCommandPort)
        return true;
    try {
        std::string strLabel = PortLabelText(search.eSource);
        std::string strStatus = PortStatusText(search.eSource);
        UpdateState([&](CPortState& state) {
            state.m_nModemPort = *search.nCommandPort;
            state.m_strPortLabel.swap(strLabel);
            state.m_strStatus.swap(strStatus);
        });
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// Modem port first, then the diagnostic port. A store that ran out of memory counts as a failed
// search: the monitor tries again after its wait. The window asks for every access, as it always
// has, and reads a key that refuses it.
int CPortMonitor::FindModemPort()
{
    const CPortSearch search = SearchModemPort(m_registry, EKeyAccess::kAllElseRead);
    if (!StoreCommandPort(search))
        return 0;
    if (search.nSecondPort)
        UpdateState([&](CPortState& state) { state.m_nSecondPort = *search.nSecondPort; });
    return search.bFound;
}

int CPortMonitor::FindAtPort()
{
    const CPortSearch search = SearchAtPort(m_registry, EKeyAccess::kAllElseRead);
    return StoreCommandPort(search) ? search.bFound : 0;
}

// ---- the port state ---------------------------------------------------------------------------

CPortState CPortMonitor::State() const
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_state;
}

// The port numbers alone, without copying the texts (no allocation on the monitor's thread).
int CPortMonitor::ModemPort() const
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_state.m_nModemPort;
}

int CPortMonitor::DiagnosticPort() const
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_state.m_nSecondPort;
}

void CPortMonitor::UpdateState(const std::function<void(CPortState&)>& update)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    update(m_state);
}

// ---- suspension, the window's end ---------------------------------------------------------------

void CPortMonitor::TakeLease()
{
    ++m_nLeases;
    if (m_bStarted.load())
        m_gate.Suspend();
}

void CPortMonitor::ReturnLease(bool bResume)
{
    --m_nLeases;
    if (bResume && m_bStarted.load())
        m_gate.Resume();
}

void CPortMonitor::ResumeMonitor()
{
    // A held lease's suspension is not this resume's to lift: the monitor would reopen the port
    // under the command's exchanges.
    if (m_nLeases.load() == 0 && m_bStarted.load())
        m_gate.Resume();
}

void CPortMonitor::HoldMonitor()
{
    if (m_bStarted.load())
        m_gate.Hold();
}

void CPortMonitor::DeletePorts()
{
    m_pSecondPort.reset();
    m_pAtChannel.reset();
}

// The monitor may be inside a window call that it made just before the shutdown; the window's
// messages keep flowing until it has ended, so that call is answered (a destroyed window answers it
// without running anything) and the join cannot hang on it.
void CPortMonitor::ShutdownMonitor()
{
    m_gate.Shutdown();
    if (!m_pMonitorThread || !m_pMonitorThread->joinable())
        return;
    while (!m_bMonitorEnded.load())
        m_pWindow->WaitPumping([this] { return m_bMonitorEnded.load(); });
    m_pMonitorThread->join();
}

// ---- the lease ------------------------------------------------------------------------------------

CChannelLease::CChannelLease(CPortMonitor& monitor) : m_pMonitor(&monitor)
{
    monitor.TakeLease();
}

CChannelLease::CChannelLease(CChannelLease&& other) noexcept : m_pMonitor(other.m_pMonitor)
{
    other.m_pMonitor = nullptr;
}

void CChannelLease::Release()
{
    if (CPortMonitor* pMonitor = std::exchange(m_pMonitor, nullptr))
        pMonitor->ReturnLease(true);
}

void CChannelLease::Keep()
{
    if (CPortMonitor* pMonitor = std::exchange(m_pMonitor, nullptr))
        pMonitor->ReturnLease(false);
}

CCommandContext CChannelLease::Context(std::function<bool()> stopNow) const
{
    CCommandContext ctx;
    if (!m_pMonitor)
        return ctx;
    ctx.pChannel = m_pMonitor->m_pAtChannel.get();
    ctx.reopenPort = [pMonitor = m_pMonitor] { return pMonitor->OpenModemPort(pMonitor->ModemPort(), kCardBaud); };
    ctx.pClock = &m_pMonitor->m_clock;
    ctx.stopNow = std::move(stopNow);
    return ctx;
}

int CChannelLease::ReopenModemPort() const
{
    return m_pMonitor ? m_pMonitor->OpenModemPort(m_pMonitor->ModemPort(), kCardBaud) : 0;
}
