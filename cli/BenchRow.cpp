#include "cli/BenchRow.h"

#include <algorithm>

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

std::vector<CBenchRow> RowsSoFar(std::vector<CBenchRow> rows, uint32_t nNowTick)
{
    for (CBenchRow& row : rows) {
        if (!row.bFinished && row.nStartTick)
            row.dSeconds = std::max(0, static_cast<int32_t>(nNowTick - *row.nStartTick)) / 1000.0;
    }
    return rows;
}
