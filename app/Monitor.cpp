// STUB: to be replaced by the port monitor.
#include "app/MainDlg.h"

int CMainDlg::StartMonitor() { return 1; }
void CMainDlg::MonitorThreadProc(CMainDlg*) {}
bool CMainDlg::RunMonitorPass() { return false; }
int CMainDlg::OpenModemPort(int, int) { return 0; }
int CMainDlg::OpenSecondPort(int) { return 0; }
intptr_t CMainDlg::OnStatusRefresh(uintptr_t, intptr_t) { return 0; }
void CMainDlg::SuspendMonitor() {}
void CMainDlg::ResumeMonitor() {}
bool CMainDlg::MonitorWait(uint32_t) { return false; }
void CMainDlg::ShutdownMonitor() {}
