#pragma once
#include "platform/Clock.h"

// What the main dialog takes from its surroundings besides its port monitor: the clock for every
// wait, and the application's language flag (read whenever a text depends on it; none: English).
// Production uses the platform's clock; tests pass a virtual one.
struct CToolEnv {
    IClock* pClock = &SystemClock();
    const int* pEnglish = nullptr;
};
