// STUB: to be replaced by registry port discovery.
#include "app/MainDlg.h"

int CMainDlg::FindModemPort() { return 0; }
int CMainDlg::FindAtPort() { return 0; }
