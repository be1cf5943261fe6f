#pragma once
#include <cstdint>

// A system-wide named lock that tells whether it already existed: one instance of the program per
// machine. On Windows a named mutex; elsewhere a lock file whose name comes from the lock's name.
using InstanceLockHandle = intptr_t;   // 0: none

// The window's single-instance name. Other copies of the tool look for it character for character
// (the back-quote included), and the command line looks for it to know that the window runs.
constexpr const char kWindowInstanceName[] = "YARLOAUTORNRUN_TOOL,0x1a,0x1b,0x4f,0x03,0xa`,0x1e,0x5c,0x8d,0x8b,0x6d,0x76";

// Creates or opens the lock szName. *pbAlreadyExists is true when another holder has it (on
// Windows: any handle, this process's included; elsewhere: another process). Returns the handle
// to keep, 0 when the lock could not be made at all (then *pbAlreadyExists tells nothing more).
InstanceLockHandle CreateInstanceLock(const char* szName, bool* pbAlreadyExists);

// Releases a handle from CreateInstanceLock; 0 is ignored.
void CloseInstanceLock(InstanceLockHandle hLock);
