// The Windows entry point: registers the common control classes the templates use, then hands the
// process to the application object, which runs the main dialog until it closes.
#include <windows.h>
#include <commctrl.h>

#include "app/ToolApp.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    theApp.InitInstance();
    return 0;
}
