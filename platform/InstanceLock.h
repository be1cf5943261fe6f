#pragma once
#include <cstdint>

// A system-wide named lock that tells whether it already existed: one instance of the program per
// machine. On Windows a named mutex; elsewhere a lock file whose name comes from the lock's name.
using InstanceLockHandle = intptr_t;   // 0: none

// Creates or opens the lock szName. *pbAlreadyExists is true when another holder has it (on
// Windows: any handle, this process's included; elsewhere: another process). Returns the handle
// to keep, 0 when the lock could not be made at all (then *pbAlreadyExists tells nothing more).
InstanceLockHandle CreateInstanceLock(const char* szName, bool* pbAlreadyExists);

// Releases a handle from CreateInstanceLock; 0 is ignored.
void CloseInstanceLock(InstanceLockHandle hLock);
