#pragma once
#include "app/MonitorWindow.h"
#include "ui/Dialog.h"

// The main dialog's controls as the monitor and the command handlers change them: the one place
// that knows which control shows what.
class CMainWindow final : public IMonitorWindow {
public:
    explicit CMainWindow(CDialog& dialog) : m_dialog(dialog) {}

    // A bitmap that does not load leaves the picture (and the focus) as they were.
    void ShowStatusPicture(int nBitmapId) override;
    void ShowPort(int nPort) override;
    void EnableButton(ECommandButton eButton, bool bEnable) override;
    void ShowPortLabel(const std::string& strLabel) override;
    void ShowStatusLine(const std::string& strStatus) override;
    void RunOnWindowThread(const std::function<void()>& fn) override;
    void WaitPumping(const std::function<bool()>& done) override;

    // Both command buttons, "Close autorun && Enter download" first.
    void EnableCommandButtons(bool bEnable);

private:
    CDialog& m_dialog;
};
