#pragma once
// udev-rule: a bench that wants ModemManager off its cards for good. The rule tags exactly the
// bench's slots (the --slots file) with ID_MM_DEVICE_IGNORE and lets one group use their ports;
// nothing else on the machine changes.
#include <optional>
#include <string>

#include "cli/SlotLabels.h"

inline constexpr const char* kUdevRuleCommandName = "udev-rule";
inline constexpr const char* kUdevRuleGroup = "dialout";

// The rule's text, or what is wrong: no slot, or a slot that is no Linux USB slot ("1-4.2").
std::optional<std::string> UdevRuleText(const CSlotLabels& labels, std::string& strRule);
