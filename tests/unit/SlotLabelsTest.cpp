// The --slots file: labels by slot, and the line that makes a file unusable.
#include <gtest/gtest.h>

#include <algorithm>

#include "cli/SlotLabels.h"
#include "cli/UdevRule.h"

namespace {

TEST(SlotLabelsTest, ParsesLabelsOrNamesTheBadLine)
{
    const struct {
        const char* pszName;
        const char* pszText;
        int nBadLine;               // 0: parses
        const char* pszProblem;
    } kCases[] = {
        {"labels, blanks and comments", "# bench 1\n\nA1 1-4.1\r\n  A2\t1-4.2   # by the door\nB1 0:14.0-16.3", 0, ""},
        {"a UTF-8 byte-order mark before it", "\xEF\xBB\xBF" "A0 1-4.9\nA2 1-4.2\nB1 0:14.0-16.3", 0, ""},
        {"one field", "A1 1-4.1\nA2\n", 2, "needs two fields, LABEL SLOT, but has 1"},
        {"binary junk", "A1 1-4.1\n\x7F" "ELF\x02\x01\x01 x\n", 2, "is not text: \\x7FELF\\x02\\x01\\x01 x"},
        {"three fields", "A1 1-4.1 x\n", 1, "needs two fields, LABEL SLOT, but has 3"},
        {"a label twice", "A1 1-4.1\n#\nA1 1-4.2\n", 3, "the label A1 is given twice"},
        {"a slot twice", "A1 1-4.1\nA2 1-4.1\n", 2, "the slot 1-4.1 is given twice"},
        {"a slot twice, once as its topology address", "B1 0:14.0-16.3\nB2 0000.0014.0000.016.003.000.000.000.000\n", 2,
         "the slot 0:14.0-16.3 is given twice"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszName);
        CSlotLabels labels;
        const std::optional<CSlotLabelsError> error = ParseSlotLabels(c.pszText, labels);
        if (c.nBadLine == 0) {
            ASSERT_FALSE(error) << error->strProblem;
            EXPECT_EQ(labels.LabelOf("1-4.2"), "A2");
            EXPECT_EQ(labels.slotOfLabel.at("B1"), "0:14.0-16.3");
            EXPECT_EQ(labels.LabelOf("1-4.3"), "");
            EXPECT_EQ(labels.labelOfSlot.size(), 3u);
            EXPECT_EQ(labels.slotOfLabel.rbegin()->first, "B1") << "a byte-order mark kept in the first label";
        } else {
            ASSERT_TRUE(error);
            EXPECT_EQ(error->nLine, c.nBadLine);
            EXPECT_EQ(error->strProblem, c.pszProblem);
        }
    }
}

// The udev rule names exactly the file's slots; a slot that is no Linux USB device name (a Windows
// slot, a udev pattern, a quote) never reaches a rule.
TEST(SlotLabelsTest, UdevRuleTagsExactlyTheLinuxSlots)
{
    const struct {
        const char* pszText;
        const char* pszProblem;   // a part of what is wrong; nullptr: a rule
    } kCases[] = {
        {"A1 1-4.1\nA2 3-1.2.4\n", nullptr},
        {"", "--slots FILE"},
        {"A1 1-4.1\nB1 0:14.0-16.3\n", "\"0:14.0-16.3\" (B1) is not a Linux USB slot"},
        {"A1 1-4*\n", "\"1-4*\" (A1) is not"},
        {"A1 1-4\",X\n", "(A1) is not"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszText);
        CSlotLabels labels;
        ASSERT_FALSE(ParseSlotLabels(c.pszText, labels));
        std::string strRule;
        const std::optional<std::string> strProblem = UdevRuleText(labels, strRule);
        if (c.pszProblem) {
            ASSERT_TRUE(strProblem);
            EXPECT_NE(strProblem->find(c.pszProblem), std::string::npos) << *strProblem;
            continue;
        }
        ASSERT_FALSE(strProblem) << *strProblem;
        for (const char* pszSlot : {"1-4.1", "3-1.2.4"}) {
            const std::string strSlot = pszSlot;
            EXPECT_NE(strRule.find("SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", KERNEL==\"" + strSlot +
                                   "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\""),
                      std::string::npos);
            EXPECT_NE(strRule.find("SUBSYSTEM==\"tty\", KERNELS==\"" + strSlot + "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\", "
                                   "GROUP=\"dialout\", MODE=\"0660\""),
                      std::string::npos);
        }
        EXPECT_EQ(std::count(strRule.begin(), strRule.end(), '\n'), 7) << "a comment, then per slot its label and two rules";
    }
}

} // namespace
