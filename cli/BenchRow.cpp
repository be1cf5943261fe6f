#include "cli/BenchRow.h"

const char* SwitchPhaseName(ESwitchPhase ePhase)
{
    switch (ePhase) {
    case ESwitchPhase::kWaiting: return "waiting";
    case ESwitchPhase::kRunning: return "running";
    case ESwitchPhase::kSent: return "sent";
    case ESwitchPhase::kLeft: return "left";
    case ESwitchPhase::kBack: return "back";
    case ESwitchPhase::kSettled: return "settled";
    case ESwitchPhase::kDone: return "done";
    }
    return "unknown";
}
