#include "app/MainWindow.h"

#include "res/resource.h"

void CMainWindow::ShowStatusPicture(int nBitmapId)
{
    if (!m_dialog.ShowBitmap(IDC_STATUS_PICTURE, nBitmapId))
        return;
    m_dialog.SetControlFocus(IDC_CODE);
}

void CMainWindow::ShowPort(int nPort)
{
    m_dialog.SelectListEntry(IDC_PORT_LIST, nPort);
}

void CMainWindow::EnableButton(ECommandButton eButton, bool bEnable)
{
    m_dialog.EnableControl(eButton == ECommandButton::kEnterDownload ? IDC_ENTER_DOWNLOAD : IDC_EXIT_DOWNLOAD, bEnable);
}

void CMainWindow::ShowPortLabel(const std::string& strLabel)
{
    m_dialog.SetControlText(IDC_PORT_LABEL, strLabel);
}

void CMainWindow::ShowStatusLine(const std::string& strStatus)
{
    m_dialog.SetControlText(IDC_STATUS_LINE, strStatus);
}

void CMainWindow::RunOnWindowThread(const std::function<void()>& fn)
{
    m_dialog.CallOnWindowThread(fn);
}

void CMainWindow::WaitPumping(const std::function<bool()>& done)
{
    m_dialog.WaitPumping(done);
}

void CMainWindow::EnableCommandButtons(bool bEnable)
{
    EnableButton(ECommandButton::kEnterDownload, bEnable);
    EnableButton(ECommandButton::kExitDownload, bEnable);
}
