#pragma once
#include <functional>

#include "discovery/Registry.h"
#include "platform/Clock.h"

// What the main dialog takes from its surroundings: the clock for every wait and the registry that
// discovery reads. Production uses the platform's; tests pass a virtual clock and an in-memory
// registry.
struct CToolEnv {
    IClock* pClock = &SystemClock();
    IRegistry* pRegistry = &SystemRegistry();
    // Starts a detached worker running fn; false when no thread could be started. Empty: std::thread.
    std::function<bool(std::function<void()> fn)> startWorker;
};
