#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "app/MainWindow.h"
#include "app/PortMonitor.h"
#include "app/SettingsFile.h"
#include "app/ToolEnv.h"
#include "res/resource.h"
#include "ui/Dialog.h"

// The caption of every error box the window shows.
inline constexpr const char* kErrorCaption = "Error";

// The main window: its initialisation, data exchange, texts, pictures and message map, the handlers
// of its buttons and their message boxes. The port monitor behind it finds and probes the card and
// owns the ports; the handlers borrow its channel through a lease.
class CMainDlg : public CDialog {
public:
    // monitor: finds and probes the card for this window, which attaches itself to it and starts
    // it; the monitor outlives the dialog.
    explicit CMainDlg(CPortMonitor& monitor, CToolEnv env = {}, CDialog* pParent = nullptr);
    ~CMainDlg() override;

    // ---- the window: initialisation, texts, pictures, message map -----------------------------
    bool OnInitDialog() override;
    void DoDataExchange(bool bSaveAndValidate) override;
    const MsgMapEntry* GetMessageMap() const override;
    // OK, Cancel and WM_CLOSE (the hidden Exit sends it): the window is closing from here on, so no
    // command starts any more.
    void OnOK() override;
    void OnCancel() override;
    void SetEnglishTexts();
    void ShowStatusPicture(int nId) { m_window.ShowStatusPicture(nId); }
    void OnPaint();
    intptr_t OnQueryDragIcon();
    void OnExit();
    void OnAbout();
    void OnDestroy();
    // WM_STATUS_REFRESH: the selection and picture of the last probe again, and the readout text.
    intptr_t OnStatusRefresh(uintptr_t wParam, intptr_t lParam);

    // ---- device mode commands (CommandHandlers.cpp) --------------------------------------------
    void OnEnterDownload();
    static unsigned EnterDownloadThreadProc(CMainDlg* pDlg, CChannelLease* pLease);
    unsigned RunEnterDownload(CChannelLease& lease);
    void OnExitDownload();

    // ---- hidden service commands (CommandHandlers.cpp) -----------------------------------------
    void OnReversePort();
    int ReversePort(int nMode);
    void OnSimStatus();

protected:
    int LoadPortSettings() { return ReadOrCreateSettingsFile(m_szWorkDir, m_settings); }
    // Starts the close command's worker running fn, detached; false when no thread could be started.
    virtual bool StartWorker(std::function<void()> fn);

    // ---- the window's fields, in declaration order ---------------------------------------------
    intptr_t m_hMutex = 0;
    std::string m_strReadout;
    char m_szWorkDir[260] = {};
    CPortSettings m_settings;
    std::string m_strEntry;
    std::string m_strHidden1014;
    std::string m_strCode;
    intptr_t m_hIcon = 0;

private:
    IClock& Clock() const { return *m_env.pClock; }
    // Waits, keeping the window's messages flowing, until no close-command worker runs
    // (the window's destruction; the worker's window calls must still be served).
    void WaitForWorkers();
    // Whether a command handler may run now, and if so counts it as running: no other command runs,
    // the window is not closing, and a visible command button (nButton, 0 for the hidden ones) is
    // enabled. Anyone can post a click, and clicks queued before a handler disabled its buttons
    // still arrive; a refused one must change nothing. EndCommand ends what BeginCommand began.
    bool BeginCommand(int nButton);
    void EndCommand();
    void RunReversePort();

    CToolEnv m_env;
    CMainWindow m_window;
    CPortMonitor& m_monitor;

    // The close command's worker: counted so that destruction can wait for it.
    std::mutex m_workerMutex;
    int m_nWorkers = 0;
    // Set when closing is asked for, not only at the window's destruction: a click that reaches the
    // window after the request must start nothing.
    std::atomic<bool> m_bClosing{false};
    // Command handlers running, the close command's worker included (it ends on its own thread).
    std::atomic<int> m_nCommands{0};
};
