// STUB: to be replaced by the device mode commands.
#include "app/MainDlg.h"

void CMainDlg::OnEnterDownload() {}
unsigned CMainDlg::EnterDownloadThreadProc(CMainDlg*) { return 1; }
unsigned CMainDlg::RunEnterDownload() { return 1; }
void CMainDlg::OnExitDownload() {}
std::string CMainDlg::SendWithReopen(const std::string&) { return {}; }
void CMainDlg::WaitForWorkers() {}
