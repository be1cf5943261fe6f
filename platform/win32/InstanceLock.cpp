#include "platform/InstanceLock.h"

#include <windows.h>

InstanceLockHandle CreateInstanceLock(const char* szName, bool* pbAlreadyExists)
{
    HANDLE hMutex = CreateMutexA(nullptr, FALSE, szName);
    *pbAlreadyExists = GetLastError() == ERROR_ALREADY_EXISTS;
    return reinterpret_cast<InstanceLockHandle>(hMutex);
}

void CloseInstanceLock(InstanceLockHandle hLock)
{
    if (hLock)
        CloseHandle(reinterpret_cast<HANDLE>(hLock));
}
