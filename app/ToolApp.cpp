// Start-up: the language flag, then the main dialog, run modally; the process ends when it returns.
#include "app/ToolApp.h"

#include "app/MainDlg.h"
#include "platform/System.h"

namespace {

constexpr unsigned short kLangChinesePrc = 2052;

} // namespace

CToolApp theApp;

int IsEnglishLanguage(unsigned short nLangId)
{
    return nLangId != kLangChinesePrc ? 1 : 0;
}

bool CToolApp::InitInstance()
{
    if (IsEnglishLanguage(GetSystemDefaultLanguage()))
        m_bEnglish = 1;

    CMonitorGate gate;
    CPortMonitor monitor(SystemClock(), SystemRegistry(), gate);
    CMainDlg dlg(monitor, CToolEnv{&SystemClock(), &m_bEnglish});
    dlg.DoModal();   // the result, including a window that could not be created, changes nothing
    return false;
}
