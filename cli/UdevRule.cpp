#include "cli/UdevRule.h"

#include "cli/Transcript.h"
#include "discovery/Slot.h"

// The texts are appended piece by piece: GCC 12's -O3 warns of the temporaries of a + b + c.
std::optional<std::string> UdevRuleText(const CSlotLabels& labels, std::string& strRule)
{
    if (labels.labelOfSlot.empty())
        return "the rule needs the bench's slots: --slots FILE with one \"LABEL SLOT\" per line";
    std::string str = "# Written by vostrel-cli udev-rule: ModemManager leaves the bench's slots alone, and the group ";
    str.append(kUdevRuleGroup).append(" may use their ports.\n");
    for (const auto& [strSlot, strLabel] : labels.labelOfSlot) {
        // Only digits, dots and a dash reach the rule: nothing in it is a pattern or ends a string.
        if (SlotOfUsbName(strSlot) != strSlot) {
            std::string strProblem = "\"";
            strProblem.append(PrintableText(strSlot)).append("\" (").append(PrintableText(strLabel));
            strProblem.append(") is not a Linux USB slot such as 1-4.2: the rule matches the kernel's name of the USB device");
            return strProblem;
        }
        str.append("# ").append(strLabel).append("\n");
        str.append("ACTION==\"add|change\", SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", KERNEL==\"").append(strSlot);
        str.append("\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n");
        str.append("ACTION==\"add|change\", SUBSYSTEM==\"tty\", KERNELS==\"").append(strSlot);
        str.append("\", ENV{ID_MM_DEVICE_IGNORE}=\"1\", GROUP=\"").append(kUdevRuleGroup).append("\", MODE=\"0660\"\n");
    }
    strRule = str;
    return std::nullopt;
}
