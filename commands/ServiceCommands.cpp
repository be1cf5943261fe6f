// STUB: to be replaced by the hidden service commands.
#include "app/MainDlg.h"

void CMainDlg::OnReversePort() {}
int CMainDlg::ReversePort(int) { return 0; }
void CMainDlg::OnSimStatus() {}
