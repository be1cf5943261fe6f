#pragma once
// What a headless dialog would show, for tests: every control's state, the ordered log of window
// operations, the message boxes opened. Reach it with HeadlessWindowOf(dialog).
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ui/Dialog.h"

struct HeadlessControl {
    std::string strText;
    bool bEnabled = true;
    bool bVisible = true;
    int nSelection = -1;              // list controls
    std::vector<std::string> items;   // list controls
    int nBitmap = 0;                  // picture controls: the bitmap resource shown
    FontSpec font;
    bool bHasFont = false;
};

struct HeadlessBox {
    bool bOwned = false;
    bool bAppBox = false;             // the framework-style box (executable's name as caption)
    std::string strText;
    std::string strCaption;
    unsigned nType = 0;
    unsigned short nLanguage = 0;
    std::thread::id thread;
};

class CHeadlessWindow {
public:
    // Creates the "window" on the calling thread, which becomes the window's thread, and runs
    // OnInitDialog. Destroy delivers WM_DESTROY.
    void Create();
    void Destroy();
    bool IsCreated() const;
    bool HasEnded() const;
    int Result() const;

    HeadlessControl Control(int nId) const;
    // Window operations in order, controls and resources by their res/resource.h names:
    // "enable IDC_ENTER_DOWNLOAD 0", "text IDC_STATUS_LINE Searching...", "select IDC_PORT_LIST 5",
    // "picture IDC_STATUS_PICTURE IDB_READY", "focus IDC_CODE", "font IDC_STATUS_LINE Arial 700",
    // "icon IDR_MAINFRAME", "box Error|text".
    std::vector<std::string> Log() const;
    void ClearLog();
    std::vector<HeadlessBox> Boxes() const;
    int Focus() const;

    // Called when a message box opens (on the opening thread); its result is the box's result.
    // Default: IDOK at once.
    void SetBoxHandler(std::function<int(const HeadlessBox&)> handler);
    // Bitmap ids that load successfully (default: the program's status and notice bitmaps).
    void SetLoadableBitmaps(std::vector<int> ids);
    void SetMinimized(bool bMinimized);

    // Strict mode: calls from other threads wait until the window's thread pumps (DoModal,
    // WaitPumping or Pump), as on Win32. Relaxed (default): they run at once under the window's lock.
    void SetStrictThreading(bool bStrict);
    // Runs queued calls from other threads; returns how many ran. Call on the window's thread.
    int Pump();
    // Calls from other threads waiting for the window's thread to pump.
    int QueuedCalls() const;

    explicit CHeadlessWindow(CDialogImpl& impl) : m_impl(impl) {}

private:
    CDialogImpl& m_impl;
};

CHeadlessWindow HeadlessWindowOf(CDialog& dialog);

// The dialog of template nTemplateId whose window exists right now (created and not yet destroyed),
// from any thread; null when there is none. This is how a test reaches a modal box the program
// opened on its own.
CDialog* FindOpenDialog(int nTemplateId);

// The res/resource.h name of a control, bitmap or icon id, as the log writes it; the number when
// it has none.
std::string ResourceName(int nId);
