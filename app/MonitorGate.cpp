#include "app/MonitorGate.h"

void CMonitorGate::WaitForNoStep(std::unique_lock<std::mutex>& lock)
{
    m_changed.wait(lock, [this] { return !m_bInStep || m_bShutDown; });
}

void CMonitorGate::Suspend()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    ++m_nCount;
    WaitForNoStep(lock);
}

void CMonitorGate::Hold()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_bHeld = true;
    WaitForNoStep(lock);
}

void CMonitorGate::Resume()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nCount == 0)
        return;
    if (--m_nCount == 0 && !m_bHeld)
        m_changed.notify_all();
}

unsigned CMonitorGate::Count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nCount + (m_bHeld ? 1 : 0);
}

bool CMonitorGate::Pass()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return !IsStopped() || m_bShutDown; });
    return !m_bShutDown;
}

bool CMonitorGate::EnterStep()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return !IsStopped() || m_bShutDown; });
    if (m_bShutDown)
        return false;
    m_bInStep = true;
    return true;
}

void CMonitorGate::LeaveStep()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bInStep = false;
    m_changed.notify_all();
}

void CMonitorGate::Shutdown()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bShutDown = true;
    m_changed.notify_all();
}
