#pragma once
#include "discovery/Registry.h"
#include "platform/Clock.h"

// What the main dialog takes from its surroundings: the clock for every wait, the registry that
// discovery reads, and the application's language flag (read whenever a text depends on it; none:
// English). Production uses the platform's; tests pass a virtual clock and an in-memory registry.
struct CToolEnv {
    IClock* pClock = &SystemClock();
    IRegistry* pRegistry = &SystemRegistry();
    const int* pEnglish = nullptr;
};
