// ExtractAnswerFromReply: the answer is the text between the reply's first CR LF pair and the next
// CR LF pair; "error" when either pair is missing. The typed reply gives the same Response text for
// every reply without unsolicited lines or stale bytes, and for each reply of the channel's reply
// table the verdict of a mode command answered so is what it always was.
#include <gtest/gtest.h>

#include <optional>

#include "commands/Commands.h"
#include "serial/CardReply.h"

namespace {

struct ExtractCase {
    const char* name;
    std::string reply;
    std::string answer;
    // The reply table's rows: how "Close autorun" ends when its first command gets this reply and
    // its second "OK".
    std::optional<EModeOutcome> verdict = std::nullopt;
};

class ExtractAnswerTest : public ::testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractAnswerTest, CutsTheFirstFramedLine)
{
    EXPECT_EQ(ExtractAnswerFromReply(GetParam().reply), GetParam().answer);
}

TEST_P(ExtractAnswerTest, TypedReplyKeepsTheResponseText)
{
    const ExtractCase& c = GetParam();
    const CCardReply reply = ParseCardReply(c.reply, "AT");
    ASSERT_TRUE(reply.unsolicited.empty());
    ASSERT_TRUE(reply.strStale.empty());
    // The reply text is cut at its first NUL and its 256th byte, as the channel cuts it.
    EXPECT_EQ(reply.ResponseText(), ExtractAnswerFromReply(CutReply(c.reply)));
    if (!c.verdict)
        return;
    EXPECT_EQ(reply.ResponseText(), c.answer);
    const std::string E = "AT+YCDRUN=E";
    const std::string K8 = "AT+YCDRUN=8";
    CModeRunResult run;
    run.exchanges.resize(2);
    run.exchanges[0].strCommand = E;
    run.exchanges[0].reply = ParseCardReply(c.reply, E);
    run.exchanges[0].bSent = true;
    run.exchanges[1].strCommand = K8;
    run.exchanges[1].reply = ParseCardReply("\r\nOK\r\n", K8);
    run.exchanges[1].bSent = true;
    EXPECT_EQ(run.exchanges[0].Answer(), c.answer);
    EXPECT_EQ(JudgeModeRun(run).eOutcome, *c.verdict);
}

std::string Bytes256(bool bClosed)
{
    // "\r\n" + body + (closing "\r\n" at bytes 254..255, or two more body bytes)
    std::string str = "\r\n" + std::string(252, 'x');
    str += bClosed ? "\r\n" : "yy";
    return str;
}

const ExtractCase kCases[] = {
    // The channel's reply table, row by row.
    {"Ok", "\r\nOK\r\n", "OK", EModeOutcome::kDone},
    {"EchoedCommand", "AT\r\r\nOK\r\n", "OK", EModeOutcome::kDone},
    {"InformationLineBeforeResult", "\r\nR2280-Y\r\n\r\nOK\r\n", "R2280-Y", EModeOutcome::kDone},
    {"EmptyLine", "\r\n\r\nOK\r\n", "", EModeOutcome::kUnanswered},
    {"CardError", "\r\nERROR\r\n", "ERROR", EModeOutcome::kRejected},
    {"NoOpeningPair", "OK\r\n", "error", EModeOutcome::kUnanswered},
    {"NoClosingPair", "\r\nOK", "error", EModeOutcome::kUnanswered},
    {"EchoAlone", "AT\r", "error", EModeOutcome::kUnanswered},
    {"Nothing", "", "error", EModeOutcome::kUnanswered},
    // More framing.
    {"LoneCrAtEnd", "\r\nOK\r", "error"},
    {"CrCrLfOpens", "\r\r\nOK\r\n", "OK"},
    {"CrInsideLineIsKept", "\r\nA\rB\r\n", "A\rB"},
    {"LfBeforeCrDoesNotOpen", "\n\rOK\r\n", "error"},
    {"NulInsideLine", std::string("\r\nO\0K\r\n", 7), std::string("O\0K", 3)},
    {"Exactly256Closed", Bytes256(true), std::string(252, 'x')},
    {"Exactly256Unclosed", Bytes256(false), "error"},
};

INSTANTIATE_TEST_SUITE_P(Replies, ExtractAnswerTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ExtractCase>& info) { return info.param.name; });

} // namespace
