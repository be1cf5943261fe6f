#pragma once
// What the port monitor's tests share: a main dialog whose initialisation creates the two port
// objects but starts no monitor thread (a test drives passes itself, or calls StartMonitor), a
// virtual clock whose waits a test can intercept, and the card's driver entries in the registry.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestMainDlg.h"
#include "discovery/memory/MemoryRegistry.h"
#include "tests/support/RecordingRegistry.h"
#include "res/PortList.h"
#include "tests/support/VirtualClock.h"
#include "tests/support/sim/SimSerial.h"
#include "tests/support/headless/HeadlessWindow.h"

namespace monitor_test {

// A one-shot signal between threads.
class CSignal {
public:
    void Raise()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bRaised = true;
        }
        m_changed.notify_all();
    }
    bool WaitFor(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [this] { return m_bRaised; });
    }
    bool IsRaised() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bRaised;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_bRaised = false;
};

// Polls cond until it holds or the deadline passes; the result is cond's last value.
inline bool Eventually(const std::function<bool()>& cond, std::chrono::milliseconds deadline = std::chrono::seconds(20))
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The main dialog with the monitor-relevant part of its initialisation only: its port list, fields
// into the controls, the AT channel on the test's clock. No single-instance lock, no monitor thread.
class CMonitorDlg : public CTestMainDlg {
public:
    CMonitorDlg(IClock& clock, IRegistry& registry) : CTestMainDlg(clock, registry) {}

    bool OnInitDialog() override
    {
        for (const std::string& strEntry : PortListEntries())
            AddListEntry(IDC_PORT_LIST, strEntry);
        CDialog::OnInitDialog();
        Monitor().CreateChannel();
        return true;
    }
};

inline const std::string kServices = "SYSTEM\\CurrentControlSet\\Services\\";
inline const std::string kEnum = "SYSTEM\\CurrentControlSet\\Enum\\";

// A driver service listing one device instance whose port device is strPortName.
inline void AddDriver(CMemoryRegistry& registry, const std::string& strService, const std::string& strInstance,
                      const std::string& strPortName)
{
    registry.SetDword(kServices + strService + "\\Enum", "Count", 1);
    registry.SetString(kServices + strService + "\\Enum", "0", strInstance);
    registry.SetString(kEnum + strInstance + "\\Device Parameters", "PortName", strPortName);
}

// The card's modem driver on COM5 and its diagnostic driver on COM6.
inline void AddModemCard(CMemoryRegistry& registry, const std::string& strModemPort = "COM5")
{
    AddDriver(registry, "YARLOusbmdm6k", "USB\\VID_X&PID_Y\\1", strModemPort);
    AddDriver(registry, "YARLOusbser6k", "USB\\VID_X&PID_Y\\2", "COM6");
}

// The card's AT driver only, on COM7.
inline void AddAtCard(CMemoryRegistry& registry)
{
    AddDriver(registry, "YARLOusbnmea", "USB\\VID_X&PID_Y\\3", "COM7");
}

// Count drops to 0 and the instances go, as when the card is pulled out.
inline void UnplugDrivers(CMemoryRegistry& registry)
{
    for (const char* pszService : {"YARLOusbmdm6k", "YARLOusbser6k", "YARLOusbnmea"}) {
        registry.RemoveKey(kServices + pszService + "\\Enum");
        registry.SetDword(kServices + pszService + "\\Enum", "Count", 0);
    }
}

// A dialog with its headless window created on the test's thread, over a hook clock and an
// in-memory registry. Simulated cards are unplugged when the test ends.
class MonitorTestBase : public ::testing::Test {
protected:
    void CreateDialog(IRegistry* pRegistry = nullptr)
    {
        m_pDlg = std::make_unique<CMonitorDlg>(m_clock, pRegistry ? *pRegistry : m_recorder);
        Window().Create();
        Window().ClearLog();
    }

    void TearDown() override
    {
        m_pDlg.reset();
        sim::UnplugAll();
    }

    CMonitorDlg& Dlg() { return *m_pDlg; }
    CPortMonitor& Monitor() { return m_pDlg->Monitor(); }
    CHeadlessWindow Window() { return HeadlessWindowOf(*m_pDlg); }

    // The window operations that the monitor asks for, in order (focus moves left out).
    std::vector<std::string> WindowOps()
    {
        std::vector<std::string> ops;
        for (const std::string& str : Window().Log()) {
            if (str.rfind("focus ", 0) != 0)
                ops.push_back(str);
        }
        return ops;
    }

    CVirtualClock m_clock;
    CMemoryRegistry m_registry;
    // What the monitor reads, unless a test gives it another registry.
    CRecordingRegistry m_recorder{m_registry};
    std::unique_ptr<CMonitorDlg> m_pDlg;
};

} // namespace monitor_test
