// The port monitor: a background thread that, pass after pass, finds the card's ports in the
// registry, reopens the modem port for the AT channel and the diagnostic port for the second port
// object, probes the card with "AT" and shows the outcome in the window.
//
// Nobody stops the monitor's thread from outside. The monitor itself passes m_gate before every
// wait and before every step that touches the channel, the ports or the window, and holds the
// gate's step lease only while it uses the channel and the ports (and while discovery rewrites the
// port fields a command reads). It never holds the lease across a window call, so a suspender on
// the window's thread waits at most for the step in hand, never for the window it is blocking.
#include <system_error>

#include "app/MainDlg.h"
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

} // namespace

int CMainDlg::StartMonitor()
{
    SetControlText(IDC_READOUT, "");
    m_bConnected = 0;
    // One monitor per dialog: assigning over a running std::thread would end the process.
    if (m_bMonitorStarted.load())
        return 1;
    try {
        m_monitorThread = std::thread(MonitorThreadProc, this);
        m_bMonitorStarted = true;
    } catch (const std::system_error&) {
        // No thread: the window keeps its initial state and suspend and resume stay no-ops.
    }
    return 1;
}

void CMainDlg::MonitorThreadProc(CMainDlg* pDlg)
{
    if (pDlg->MonitorWindowCall([pDlg] { pDlg->EnableControl(IDC_ENTER_DOWNLOAD, false); })) {
        while (pDlg->RunMonitorPass()) {
        }
    }
    pDlg->m_bMonitorEnded = true;
}

// One call is either one discovery round that found nothing (the window is not touched, and the
// next call starts discovery again at once) or one full pass: discover, open, probe, show, rest.
bool CMainDlg::RunMonitorPass()
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
std::optional<bool> CMainDlg::MonitorDiscover()
{
    struct Phase {
        int (CMainDlg::*pfnFind)();
        uint32_t nWaitAfterFailure;
    };
    for (const Phase& phase : {Phase{&CMainDlg::FindModemPort, kAfterModemSearchFailed},
                               Phase{&CMainDlg::FindAtPort, kAfterAtSearchFailed}}) {
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
std::optional<bool> CMainDlg::MonitorOpenAndProbe()
{
    if (!MonitorStep([this] { OpenModemPort(m_nModemPort, kCardBaud); }) || !MonitorWait(kAfterOpen))
        return std::nullopt;
    if (!MonitorStep([this] { OpenSecondPort(m_nSecondPort); }) || !MonitorWait(kAfterOpen))
        return std::nullopt;
    int bAnswered = 0;
    if (!MonitorStep([&] { bAnswered = MonitorProbe(); }))
        return std::nullopt;
    for (int nRetry = 0; nRetry < kProbeRetries; ++nRetry) {
        if (!MonitorWait(kBeforeProbeRetry))
            return std::nullopt;
        const bool bStepped = MonitorStep([&] {
            OpenModemPort(m_nModemPort, kCardBaud);
            bAnswered = MonitorProbe();
        });
        if (!bStepped)
            return std::nullopt;
        if (bAnswered)
            break;
    }
    return bAnswered != 0;
}

// Probes the card and records the result for the window's thread (message 101, Reverse Port).
int CMainDlg::MonitorProbe()
{
    const int bAnswered = m_pAtChannel && m_pAtChannel->Probe() ? 1 : 0;
    m_bConnected = bAnswered;
    return bAnswered;
}

// The window operations of a pass, in their fixed order. The texts go straight into the controls.
bool CMainDlg::MonitorShow(bool bConnected)
{
    if (bConnected) {
        const bool bShown = MonitorWait(kBeforeShowConnected)
            && MonitorWindowCall([this] { ShowStatusPicture(IDB_READY); })
            && MonitorWindowCall([this] { SelectListEntry(IDC_PORT_LIST, m_nModemPort); })
            && MonitorWindowCall([this] { EnableControl(IDC_ENTER_DOWNLOAD, true); })
            && MonitorWindowCall([this] { EnableControl(IDC_EXIT_DOWNLOAD, true); });
        if (!bShown)
            return false;
    } else {
        const bool bShown = MonitorWindowCall([this] { SelectListEntry(IDC_PORT_LIST, m_nModemPort); })
            && MonitorWindowCall([this] { ShowStatusPicture(IDB_SEARCHING); })
            && MonitorWindowCall([this] { EnableControl(IDC_ENTER_DOWNLOAD, false); })
            && MonitorWindowCall([this] { EnableControl(IDC_EXIT_DOWNLOAD, false); });
        if (!bShown)
            return false;
        // Stays until discovery stores a text again; the label keeps discovery's.
        m_strStatus.Set("Searching...");
    }
    return MonitorWindowCall([this] { SetControlText(IDC_STATUS_LINE, m_strStatus.Get()); })
        && MonitorWindowCall([this] { SetControlText(IDC_PORT_LABEL, m_strPortLabel.Get()); });
}

// The gate is passed before the sleep and again after it: a wait whose time ran out while the
// monitor was suspended ends the moment it is resumed.
bool CMainDlg::MonitorWait(uint32_t nMilliseconds)
{
    if (!m_gate.Pass())
        return false;
    Clock().Sleep(nMilliseconds);
    return m_gate.Pass();
}

bool CMainDlg::MonitorStep(const std::function<void()>& fn)
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
bool CMainDlg::MonitorWindowCall(const std::function<void()>& fn)
{
    if (!m_gate.Pass())
        return false;
    CallOnWindowThread([&] {
        if (m_gate.Count() == 0)
            fn();
    });
    return true;
}

// Open on an open port reports success without reopening, so both openers close first. The
// objects are gone once the window has been destroyed; the openers then report failure.
int CMainDlg::OpenModemPort(int nPort, int nBaud)
{
    CAtChannel* pChannel = m_pAtChannel.get();
    if (!pChannel)
        return 0;
    if (pChannel->m_port.IsOpen())
        pChannel->m_port.Close();
    if (!pChannel->m_port.Open(nPort, nBaud, kCardDataBits, kCardStopBits))
        return 0;
    pChannel->SetTimeout(kCardAnswerWait);
    pChannel->SetAttempts(kCardAnswerAttempts);
    return 1;
}

int CMainDlg::OpenSecondPort(int nPort)
{
    CDiagPort* pSecond = m_pSecondPort.get();
    if (!pSecond)
        return 0;
    if (pSecond->m_port.IsOpen())
        pSecond->m_port.Close();
    return pSecond->m_port.Open(nPort, kCardBaud, kCardDataBits, kCardStopBits) ? 1 : 0;
}

// Message 101: re-applies the selection and the picture of the last probe, and the readout text.
// Buttons, label and status line stay as they are.
intptr_t CMainDlg::OnStatusRefresh(uintptr_t, intptr_t)
{
    const bool bConnected = m_bConnected != 0;
    SelectListEntry(IDC_PORT_LIST, m_nModemPort);
    ShowStatusPicture(bConnected ? IDB_READY : IDB_SEARCHING);
    SetControlText(IDC_READOUT, m_strReadout);
    return 0;
}

void CMainDlg::SuspendMonitor()
{
    if (m_bMonitorStarted.load())
        m_gate.Suspend();
}

void CMainDlg::ResumeMonitor()
{
    if (m_bMonitorStarted.load())
        m_gate.Resume();
}

void CMainDlg::HoldMonitor()
{
    if (m_bMonitorStarted.load())
        m_gate.Hold();
}

// Called on the window's thread. The monitor may be inside a window call that it made just before
// the shutdown; the window's messages keep flowing until it has ended, so that call is answered
// (a destroyed window answers it without running anything) and the join cannot hang on it.
void CMainDlg::ShutdownMonitor()
{
    m_gate.Shutdown();
    if (!m_monitorThread.joinable())
        return;
    while (!m_bMonitorEnded.load())
        WaitPumping([this] { return m_bMonitorEnded.load(); });
    m_monitorThread.join();
}
