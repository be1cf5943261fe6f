#pragma once
// What vostrel-cli prints: plain lines for people, JSON (--json) for programs.
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/CardRun.h"
#include "cli/SlotLabels.h"
#include "discovery/CardInventory.h"

// An empty text is JSON null: the card or the bench did not tell it.
inline nlohmann::json TextOrNull(const std::string& str)
{
    return str.empty() ? nlohmann::json(nullptr) : nlohmann::json(str);
}

// One line per card, then one indented line per port:
//   card 7&11&0  slot 1-4.2 (A1)  usb 12d1:1001  serial HW0001  model R2280-Y  imei 356938035643809
//     COM5  modem  interface 2  YARLOusbmdm6k  USB\VID_12D1&PID_1001&MI_02\7&11&0&0002  answers AT
// The label is pLabels' for the slot; model and IMEI are shown when bIdentity (asked), "unknown"
// where the card did not tell them.
std::vector<std::string> ListLines(const std::vector<CInventoryCard>& cards, const CSlotLabels* pLabels = nullptr,
                                   bool bIdentity = false);
// JSON text of j for programs: controls as JSON escapes (the C1 controls and the bidirectional
// overrides too, so that no terminal acts on them when the JSON is shown), and in a string that is
// not UTF-8 (JSON has no byte escape) each such byte as the text \xNN, its backslashes doubled.
std::string JsonDumpText(const nlohmann::json& j, int nIndent = 2);

nlohmann::json ListJson(const std::vector<CInventoryCard>& cards, const CSlotLabels* pLabels = nullptr);

// "COM5 (card 7&11&0, slot 1-4.2 A1, model R2280-Y, imei 356938035643809): close-autorun: ok" or
// "...: failed (5): no answer to AT: the card is silent"; the model and IMEI where they were asked.
std::string OutcomeLine(const std::string& strCommand, const CBenchRow& outcome);

// A warning for each USB serial number that more than one card gives, naming the cards.
std::vector<std::string> DuplicateSerialWarnings(const std::vector<CInventoryCard>& cards);
// The same for each IMEI that more than one card told: of the cards listed (list --probe), or of the
// cards a command ran on (a card that answered with another card's IMEI is worth a look).
std::vector<std::string> DuplicateImeiWarnings(const std::vector<CInventoryCard>& cards);
std::vector<std::string> DuplicateImeiWarnings(const std::vector<CBenchRow>& outcomes);
// "3 cards: 2 ok, 1 failed".
std::string SummaryLine(const std::vector<CBenchRow>& outcomes);

// The subcommand of the command line itself; every other one is a row of the card command table.
inline constexpr const char* kListCommandName = "list";
// And the one that shows the records of earlier runs.
inline constexpr const char* kHistoryCommandName = "history";

// Everything one run of the program reports: with --json it is printed as exactly one document,
// whatever ended the run (a usage error, no card, an interruption, the cards' results).
struct CCliReport {
    std::string strCommand;                // "list" or a card command's name; empty when none was named
    int nStatus = 0;
    std::string strMessage;                // "ok", a summary, or what stopped the run
    std::vector<CBenchRow> outcomes;
    const std::vector<CInventoryCard>* pCards = nullptr;   // list: the cards found
    const CSlotLabels* pLabels = nullptr;                  // the bench's labels, when --slots named them
    bool bIdentity = false;                                // list: the cards' model and IMEI were asked
    std::vector<std::string> warnings;
};
nlohmann::json ReportJson(const CCliReport& report);
