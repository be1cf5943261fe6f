#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/MonitorGate.h"
#include "app/SettingsFile.h"
#include "app/SharedField.h"
#include "app/ToolEnv.h"
#include "commands/Commands.h"
#include "discovery/Discovery.h"
#include "res/resource.h"
#include "serial/AtChannel.h"
#include "serial/DiagPort.h"
#include "ui/Dialog.h"

// The main window and the owner of all run-time state: the port numbers, the connection flag, the
// two serial link objects, the monitor thread and the texts shown.
class CMainDlg : public CDialog {
public:
    explicit CMainDlg(CDialog* pParent = nullptr, CToolEnv env = {});
    ~CMainDlg() override;

    // ---- the window: initialisation, texts, pictures, message map -----------------------------
    bool OnInitDialog() override;
    void DoDataExchange(bool bSaveAndValidate) override;
    const MsgMapEntry* GetMessageMap() const override;
    void SetEnglishTexts();
    void ShowStatusPicture(int nId);
    void OnPaint();
    intptr_t OnQueryDragIcon();
    void OnExit();
    void OnAbout();
    void OnDestroy();

    // ---- the settings file ---------------------------------------------------------------------
    int LoadPortSettings() { return ReadOrCreateSettingsFile(m_szWorkDir, m_settings); }

    // ---- the port monitor ------------------------------------------------------------------------
    int StartMonitor();
    static void MonitorThreadProc(CMainDlg* pDlg);
    // One pass of the monitor: discover, open, probe, show. False once the monitor is shut down.
    bool RunMonitorPass();
    int OpenModemPort(int nPort, int nBaud);
    int OpenSecondPort(int nPort);
    intptr_t OnStatusRefresh(uintptr_t wParam, intptr_t lParam);
    // Suspend and resume of the monitor; all three do nothing before StartMonitor. After
    // HoldMonitor no resume lets the monitor go on.
    void SuspendMonitor();
    void ResumeMonitor();
    void HoldMonitor();
    bool HasMonitor() const { return m_bMonitorStarted.load(); }
    unsigned MonitorSuspendCount() const { return m_gate.Count(); }

    // ---- port discovery --------------------------------------------------------------------------
    int FindModemPort();
    int FindAtPort();
    // The modem (or AT) port of a search, with its label and status texts, when it found one.
    void StoreCommandPort(const CPortSearch& search);

    // ---- device mode commands ------------------------------------------------------------------
    void OnEnterDownload();
    static unsigned EnterDownloadThreadProc(CMainDlg* pDlg);
    unsigned RunEnterDownload();
    void OnExitDownload();
    // What the command sequences run over: this dialog's channel, its reopen of the modem port,
    // its clock, and a stop once the window is closing.
    CCommandContext CommandContext();

    // ---- hidden service commands -----------------------------------------------------------------
    void OnReversePort();
    void RunReversePort();
    int ReversePort(int nMode);
    void OnSimStatus();

    // ---- fields (declaration order of the window's state) --------------------------------------
    intptr_t m_hMutex = 0;
    std::string m_strReadout;
    std::atomic<int> m_bConnected{0};
    std::unique_ptr<CDiagPort> m_pSecondPort;
    std::unique_ptr<CAtChannel> m_pAtChannel;
    char m_szWorkDir[260] = {};
    CPortSettings m_settings;
    std::atomic<int> m_nModemPort{0};
    std::atomic<int> m_nSecondPort{0};
    std::string m_strEntry;
    std::string m_strHidden1014;
    std::string m_strCode;
    CSharedString m_strPortLabel{"Modem port:"};
    CSharedString m_strStatus{"Searching..."};
    intptr_t m_hIcon = 0;

    IClock& Clock() const { return *m_env.pClock; }
    IRegistry& Registry() const { return *m_env.pRegistry; }

private:
    // Monitor: a wait that first and last passes the gate; false once the monitor is shut down.
    bool MonitorWait(uint32_t nMilliseconds);
    // Monitor: fn under the gate's step lease (channel, ports, discovery), or after a plain pass of
    // the gate (window calls); false, and fn not run, once the monitor is shut down.
    bool MonitorStep(const std::function<void()>& fn);
    bool MonitorWindowCall(const std::function<void()>& fn);
    // Monitor pass phases; empty once the monitor is shut down.
    std::optional<bool> MonitorDiscover();
    std::optional<bool> MonitorOpenAndProbe();
    bool MonitorShow(bool bConnected);
    int MonitorProbe();
    // Ends the monitor thread for good and joins it (the dialog object's destruction).
    void ShutdownMonitor();
    // Waits, keeping the window's messages flowing, until no close-command worker runs
    // (the window's destruction; the worker's window calls must still be served).
    void WaitForWorkers();
    // A mode command run's suspension of the monitor, and its matching resume.
    void BeginModeRun();
    void EndModeRun();
    // Whether a command handler may run now, and if so counts it as running: no other command runs,
    // the window is not closing, and a visible command button (nButton, 0 for the hidden ones) is
    // enabled. Anyone can post a click, and clicks queued before a handler disabled its buttons
    // still arrive; a refused one must change nothing. EndCommand ends what BeginCommand began.
    bool BeginCommand(int nButton);
    void EndCommand();

    CToolEnv m_env;
    CMonitorGate m_gate;
    std::thread m_monitorThread;
    std::atomic<bool> m_bMonitorStarted{false};
    std::atomic<bool> m_bMonitorEnded{false};   // the monitor's thread function has returned

    // The close command's worker: counted so that destruction can wait for it.
    std::mutex m_workerMutex;
    std::condition_variable m_workerDone;
    int m_nWorkers = 0;
    std::atomic<bool> m_bClosing{false};
    // Mode command runs between their suspend of the monitor and its matching resume.
    std::atomic<int> m_nModeRuns{0};
    // Command handlers running, the close command's worker included (it ends on its own thread).
    std::atomic<int> m_nCommands{0};
};
