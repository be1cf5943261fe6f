#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/MonitorGate.h"
#include "app/MonitorWindow.h"
#include "commands/Commands.h"
#include "discovery/Discovery.h"
#include "platform/Clock.h"
#include "serial/AtChannel.h"
#include "serial/DiagPort.h"

// The status line while no card answers.
inline constexpr const char* kSearchingStatus = "Searching...";

// The card's ports as discovery and the last probe left them, and the texts that name them. The
// window's data exchange reads and writes these too.
struct CPortState {
    int m_nModemPort = 0;       // the port of the AT channel (modem or AT port), and the list's entry
    int m_nSecondPort = 0;      // the card's diagnostic port
    int m_bConnected = 0;       // the last probe's result: non-zero when the card answered "OK"
    std::string m_strPortLabel = PortLabelText(EPortSource::kModemDriver);
    std::string m_strStatus = kSearchingStatus;
};

class CChannelLease;

// The port monitor: a thread of its own that, pass after pass, finds the card's ports in the
// registry, reopens the modem port for the AT channel and the diagnostic port, probes the card with
// "AT" and tells the window what to show. It owns the two port objects; a command borrows the
// channel through a CChannelLease, which stops the monitor for as long as the lease is held.
//
// Nobody stops the thread from outside. The monitor passes m_gate before every wait and before
// every step that touches the channel, the ports or the window, and holds the gate's step lease only
// while it uses the channel and the ports (and while discovery rewrites the port state a command
// reads). It never holds the lease across a window call, so a suspender on the window's thread waits
// at most for the step in hand, never for the window it is blocking.
class CPortMonitor {
public:
    // gate: the suspend count that leases and the window's end raise; it outlives the monitor.
    CPortMonitor(IClock& clock, IRegistry& registry, CMonitorGate& gate);
    // Ends the thread and joins it (ShutdownMonitor).
    ~CPortMonitor();
    CPortMonitor(const CPortMonitor&) = delete;
    CPortMonitor& operator=(const CPortMonitor&) = delete;

    // The window the monitor shows its findings in; null: none (a pass shows nothing, and calls "on
    // the window's thread" run on the caller's). Only while no monitor thread runs.
    void AttachWindow(IMonitorWindow* pWindow);
    // The window's initialisation: the AT channel (the diagnostic port object exists from the start).
    void CreateChannel();
    // Clears the connection flag and starts the thread; 1 always. A second call does nothing.
    int StartMonitor();
    static void MonitorThreadProc(CPortMonitor* pMonitor);
    // One pass: discover, open, probe, show. False once the monitor is shut down.
    bool RunMonitorPass();
    // Close, then reopen, the channel's port or the diagnostic port; 1 on success. 0 once the port
    // objects are gone.
    int OpenModemPort(int nPort, int nBaud);
    int OpenSecondPort(int nPort);
    // Discovery: stores what a search found in the port state. FindModemPort gives 1 only when the
    // diagnostic port was found too; FindAtPort whenever an AT driver lists an instance.
    int FindModemPort();
    int FindAtPort();

    CPortState State() const;
    // Changes the port state under its lock (the window's data exchange).
    void UpdateState(const std::function<void(CPortState&)>& update);

    // A resume that no lease matches (the hidden Exit): lifts a suspension that a kept lease left,
    // never one that a lease still holds. Nothing before StartMonitor.
    void ResumeMonitor();
    // The window's end: the monitor stops for good (once the step in hand is over; no resume lifts
    // it), then the port objects go, which closes their ports.
    void HoldMonitor();
    void DeletePorts();
    // Ends the thread and joins it; on the window's thread, whose messages flow meanwhile.
    void ShutdownMonitor();

private:
    friend class CChannelLease;
    void TakeLease();
    void ReturnLease(bool bResume);

    int ModemPort() const;
    int DiagnosticPort() const;
    // Records what a search found; false, and nothing stored, when memory for the texts ran out.
    bool StoreCommandPort(const CPortSearch& search);
    // A wait that first and last passes the gate; false once the monitor is shut down.
    bool MonitorWait(uint32_t nMilliseconds);
    // fn under the gate's step lease; false, and fn not run, once the monitor is shut down.
    bool MonitorStep(const std::function<void()>& fn);
    // fn on the window's thread after a plain pass of the gate, dropped there when a suspension came
    // meanwhile; false once the monitor is shut down.
    bool MonitorWindowCall(const std::function<void()>& fn);
    // The pass itself, which may throw std::bad_alloc.
    bool RunPassSteps();
    // Pass phases; empty once the monitor is shut down.
    std::optional<bool> MonitorDiscover();
    std::optional<bool> MonitorOpenAndProbe();
    bool MonitorShow(bool bConnected);
    int MonitorProbe();

    IMonitorWindow* m_pWindow;
    IClock& m_clock;
    IRegistry& m_registry;
    CMonitorGate& m_gate;
    std::unique_ptr<std::thread> m_pMonitorThread;
    std::atomic<bool> m_bStarted{false};
    std::atomic<bool> m_bMonitorEnded{false};   // the thread function has returned
    std::atomic<int> m_nLeases{0};              // leases taken and not yet returned or kept

    mutable std::mutex m_stateMutex;
    CPortState m_state;

    std::unique_ptr<CDiagPort> m_pSecondPort;
    std::unique_ptr<CAtChannel> m_pAtChannel;
};

// A command's hold on the AT channel: taking it suspends the monitor (and waits for a channel step
// in hand to end); releasing it resumes the monitor. Movable, so that a command can hand it to its
// worker thread. Before StartMonitor the suspend and resume do nothing.
class CChannelLease {
public:
    explicit CChannelLease(CPortMonitor& monitor);
    ~CChannelLease() { Release(); }
    CChannelLease(CChannelLease&& other) noexcept;
    CChannelLease& operator=(CChannelLease&&) = delete;
    CChannelLease(const CChannelLease&) = delete;
    CChannelLease& operator=(const CChannelLease&) = delete;

    // Hands the monitor back; nothing when already released.
    void Release();
    // Releases without resuming: the monitor stays stopped (Reverse Port). Only a resume that no
    // lease matches lifts that (ResumeMonitor).
    void Keep();

    // The channel, its reopen on the modem port, the clock; stopNow as given.
    CCommandContext Context(std::function<bool()> stopNow = {}) const;
    int ReopenModemPort() const;

private:
    CPortMonitor* m_pMonitor;
};
