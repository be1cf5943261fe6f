#pragma once
// The calls the Win32 serial port makes on a request it has started, and those that set its line.
// A port is made over others (CSerialPort(const CSerialRequestCalls&)) to put a layer between it
// and the driver; the system's are the default.
#include <windows.h>

struct CSerialRequestCalls {
    decltype(&ReadFile) pfnReadFile;
    decltype(&WriteFile) pfnWriteFile;
    decltype(&WaitForSingleObject) pfnWaitForSingleObject;
    decltype(&CancelIoEx) pfnCancelIoEx;
    decltype(&GetOverlappedResult) pfnGetOverlappedResult;
    decltype(&GetCommState) pfnGetCommState;
    decltype(&BuildCommDCBA) pfnBuildCommDCBA;
    decltype(&SetCommState) pfnSetCommState;
};
