#pragma once
// What vostrel-cli prints: plain lines for people, JSON (--json) for programs.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/CardRun.h"
#include "discovery/CardInventory.h"

// One line per card, then one indented line per port:
//   card 7&11&0  usb 12d1:1001  serial HW0001
//     COM5  modem  interface 2  YARLOusbmdm6k  USB\VID_12D1&PID_1001&MI_02\7&11&0&0002  answers AT
std::vector<std::string> ListLines(const std::vector<CInventoryCard>& cards);
nlohmann::json ListJson(const std::vector<CInventoryCard>& cards);

// "COM5 (card 7&11&0): close-autorun: ok" or "...: failed (5): no answer to AT: the card is silent".
std::string OutcomeLine(ECliCommand eCommand, const CCardOutcome& outcome);
// "3 cards: 2 ok, 1 failed".
std::string SummaryLine(const std::vector<CCardOutcome>& outcomes);
nlohmann::json OutcomesJson(ECliCommand eCommand, const std::vector<CCardOutcome>& outcomes, int nStatus);
