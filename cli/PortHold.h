#pragma once
// hold: the check and the inhibition of a card run, for as long as another program uses the
// card's ports (scripts/run.sh runs the window under it): nobody else may have them open, and
// ModemManager lets go of them until hold ends.
#include <string>
#include <vector>

#include "cli/CardRun.h"
#include "cli/Output.h"

inline constexpr const char* kHoldCommandName = "hold";

// Claims the ports, says "held: ..." on standard error, and keeps the claim until a signal ends
// the program (its status then 128 + the signal's number, as for every run). Refused (status 4)
// when another program has a port.
CCliReport RunHold(const std::vector<std::string>& devices, CRunShared& shared);
