// STUB: to be replaced by the settings file loader.
#include "app/MainDlg.h"

int CMainDlg::LoadPortSettings() { return 0; }
