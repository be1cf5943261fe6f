#pragma once
#include <condition_variable>
#include <mutex>

// The monitor's suspend count, without stopping its thread from outside (a thread stopped wherever
// it stands may hold the allocator's lock, or be half-way through an exchange on the AT channel).
// The monitor passes the gate before every wait and every step; it holds a step lease only while it
// uses the AT channel, never across a window update, so a suspender that waits for the lease can
// never deadlock with a monitor waiting for the window's thread.
//
// Counting: suspensions nest; a resume at count 0 does nothing; any thread may resume. A hold is a
// suspension that no resume lifts (the window's end: the ports are deleted after it).
class CMonitorGate {
public:
    // Raises the count; returns once no channel step is under way, so the caller owns the channel.
    void Suspend();
    // Lowers the count when above 0; at 0 the monitor goes on where it stopped.
    void Resume();
    // Suspends for good, as Suspend does, but no Resume lifts it.
    void Hold();
    // The suspend count, a hold counting as one.
    unsigned Count() const;

    // Monitor side. Pass waits while suspended or held; false once the gate is shut down.
    bool Pass();
    // Pass, then hold the step lease until LeaveStep; false (and no lease) once shut down.
    bool EnterStep();
    void LeaveStep();

    // Ends the monitor: every waiting and later Pass and EnterStep returns false.
    void Shutdown();

private:
    bool IsStopped() const { return m_nCount > 0 || m_bHeld; }
    // A suspender's wait until the monitor has left the step in hand.
    void WaitForNoStep(std::unique_lock<std::mutex>& lock);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    unsigned m_nCount = 0;
    bool m_bHeld = false;
    bool m_bInStep = false;
    bool m_bShutDown = false;
};

// Holds the step lease for one scope.
class CMonitorStep {
public:
    explicit CMonitorStep(CMonitorGate& gate) : m_gate(gate), m_bEntered(gate.EnterStep()) {}
    ~CMonitorStep()
    {
        if (m_bEntered)
            m_gate.LeaveStep();
    }
    CMonitorStep(const CMonitorStep&) = delete;
    CMonitorStep& operator=(const CMonitorStep&) = delete;
    explicit operator bool() const { return m_bEntered; }

private:
    CMonitorGate& m_gate;
    bool m_bEntered;
};
