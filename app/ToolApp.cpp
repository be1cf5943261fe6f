// STUB: to be replaced by start-up.
#include "app/ToolApp.h"

CToolApp theApp;
bool CToolApp::InitInstance() { return false; }
int IsEnglishLanguage(unsigned short nLangId) { return nLangId != 2052 ? 1 : 0; }
