#pragma once
#include <cstdint>

// Every wait and every time-stamp of the program goes through a clock, so that tests can run the
// program's timing on a virtual clock that advances instantly and records each wait.
class IClock {
public:
    virtual ~IClock() = default;
    // Blocks the calling thread for nMilliseconds (Win32 Sleep).
    virtual void Sleep(uint32_t nMilliseconds) = 0;
    // Milliseconds since the system started, 32 bits, wrapping (Win32 GetTickCount).
    virtual uint32_t GetTickCount() = 0;
};

// The real clock of the platform.
IClock& SystemClock();
