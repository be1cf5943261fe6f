#pragma once
// A card command on its targets as the bench shows it: one row per card, the cards run together
// (--jobs, --stagger), with --wait each switched card followed by its slot through the listings;
// with --all on a terminal a live table, with --report the rows kept in a file.
#include <functional>
#include <utility>
#include <vector>

#include "cli/BenchRun.h"
#include "cli/CardRun.h"
#include "cli/CliOptions.h"
#include "cli/Output.h"
#include "cli/Targets.h"

// How the run reaches the cards: the ports and the platform's looks at slots, unless a test says otherwise.
struct CBenchCardAccess {
    std::function<CBenchRow(CTarget&)> runTarget;                                    // the command on a card
    std::function<std::pair<bool, std::string>(const CInventoryCard&)> askReturned;   // answers AT? its IMEI
    CListingPoller::Look lookAtSlots;                                                  // what is at the followed slots now
};
CBenchCardAccess PortCardAccess(const CCardCommand& command, CRunShared& shared);

// The rows of the targets as the run begins: label, slot, ports, and what the listing knew.
std::vector<CBenchRow> FirstRows(const CCliOptions& options, const std::vector<CTarget>& targets,
                                 const std::vector<CInventoryCard>& cards);

// Runs the command on every target, each card's row on the board kept with it; the report of the
// run (status: the highest of the cards', or the interruption's).
CCliReport RunCommand(const CCliOptions& options, std::vector<CTarget>& targets, const std::vector<CInventoryCard>& cards,
                      CRunShared& shared, CBenchBoard& board, const CBenchCardAccess& access);

// RunCommand on the ports, with the live table and the report file where the options ask for them.
CCliReport RunBench(const CCliOptions& options, std::vector<CTarget>& targets, const std::vector<CInventoryCard>& cards,
                    CRunShared& shared);
