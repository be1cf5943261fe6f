#pragma once
// What vostrel-cli prints: plain lines for people, JSON (--json) for programs.
#include <optional>
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
std::string OutcomeLine(const std::string& strCommand, const CCardOutcome& outcome);
// "3 cards: 2 ok, 1 failed".
std::string SummaryLine(const std::vector<CCardOutcome>& outcomes);

// Everything one run of the program reports: with --json it is printed as exactly one document,
// whatever ended the run (a usage error, no card, an interruption, the cards' results).
struct CCliReport {
    std::string strCommand;                // "list" or a card command's name; empty when none was named
    int nStatus = 0;
    std::string strMessage;                // "ok", a summary, or what stopped the run
    std::vector<CCardOutcome> outcomes;
    const std::vector<CInventoryCard>* pCards = nullptr;   // list: the cards found
};
nlohmann::json ReportJson(const CCliReport& report);
