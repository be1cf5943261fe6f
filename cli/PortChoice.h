#pragma once
// Which port of a card the commands go to, and "list": the cards found, with --probe each port's
// answer to "AT" and each card's model and IMEI.
#include <optional>
#include <vector>

#include "cli/CardRun.h"
#include "cli/Output.h"
#include "cli/Targets.h"

// Sends "AT" to the port when it may take it and notes how it answered; on a platform without
// roles an answering port becomes the card's AT port. Nothing for a port that was not asked.
std::optional<CBenchRow> ProbePort(CInventoryPort& port, CRunShared& shared);

// The port of a card that commands go to: its modem port, else its AT port, where roles are
// known; else the lowest interface that answers "AT" (ports are in interface order). When none
// does, the outcome that says why.
std::optional<CBenchRow> ChoosePort(CTarget& target, CRunShared& shared);

// The command on the target: on its port, chosen first when only its card is known.
CBenchRow RunTarget(const CCardCommand& command, CTarget& target, CRunShared& shared);

// "list": every card; with bProbe each port asked "AT" and each card its model and IMEI, the
// cards in parallel.
CCliReport RunList(bool bProbe, const CSlotLabels& labels, std::vector<CInventoryCard>& cards, CRunShared& shared);
