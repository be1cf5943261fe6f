#pragma once
#include <functional>
#include <string>

// The two command buttons that the monitor switches.
enum class ECommandButton { kEnterDownload, kExitDownload };

// What the port monitor asks of the window: the status picture, the port list's entry, the
// command buttons, the port label and the status line, and a way onto the window's thread. The
// monitor makes every Show and Enable call inside RunOnWindowThread, so the window carries them out
// on its own thread (Win32 requires that for controls owned by another thread).
class IMonitorWindow {
public:
    virtual ~IMonitorWindow() = default;

    virtual void ShowStatusPicture(int nBitmapId) = 0;
    // Selects the port list's entry of nPort (a list index is a Port number); none past the list.
    virtual void ShowPort(int nPort) = 0;
    virtual void EnableButton(ECommandButton eButton, bool bEnable) = 0;
    virtual void ShowPortLabel(const std::string& strLabel) = 0;
    virtual void ShowStatusLine(const std::string& strStatus) = 0;

    // Runs fn on the window's thread and waits for it (directly when already there).
    virtual void RunOnWindowThread(const std::function<void()>& fn) = 0;
    // On the window's thread: waits until done() holds, serving other threads' calls meanwhile.
    virtual void WaitPumping(const std::function<bool()>& done) = 0;
};
