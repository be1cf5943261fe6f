#include "cli/UdevRule.h"

#include "cli/Transcript.h"
#include "discovery/Slot.h"

std::optional<std::string> UdevRuleText(const CSlotLabels& labels, std::string& strRule)
{
    if (labels.labelOfSlot.empty())
        return "the rule needs the bench's slots: --slots FILE with one \"LABEL SLOT\" per line";
    std::string str =
        "# Written by vostrel-cli udev-rule: ModemManager leaves the bench's slots alone, and the group " +
        std::string(kUdevRuleGroup) + " may use their ports.\n";
    for (const auto& [strSlot, strLabel] : labels.labelOfSlot) {
        // Only digits, dots and a dash reach the rule: nothing in it is a pattern or ends a string.
        if (SlotOfUsbName(strSlot) != strSlot)
            return "\"" + PrintableText(strSlot) + "\" (" + PrintableText(strLabel) +
                   ") is not a Linux USB slot such as 1-4.2: the rule matches the kernel's name of the USB device";
        str += "# " + strLabel + "\n";
        str += "ACTION==\"add|change\", SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", KERNEL==\"" + strSlot +
               "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n";
        str += "ACTION==\"add|change\", SUBSYSTEM==\"tty\", KERNELS==\"" + strSlot +
               "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\", GROUP=\"" + kUdevRuleGroup + "\", MODE=\"0660\"\n";
    }
    strRule = str;
    return std::nullopt;
}
