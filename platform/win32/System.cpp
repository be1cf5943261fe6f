#include "platform/System.h"

#include <windows.h>

#include <cstdlib>

unsigned short GetSystemDefaultLanguage()
{
    return static_cast<unsigned short>(GetSystemDefaultLangID() & 0xFFFF);
}

unsigned CaptureWorkingDirectory(char* szBuffer, unsigned nRequested)
{
    return GetCurrentDirectoryA(nRequested, szBuffer);
}

void ExitProcessNow(int nStatus)
{
    std::exit(nStatus);
}
