// The --slots file: labels by slot, and the line that makes a file unusable.
#include <gtest/gtest.h>

#include "cli/SlotLabels.h"

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

} // namespace
