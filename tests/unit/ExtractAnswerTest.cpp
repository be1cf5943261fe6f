// ExtractAnswerFromReply: the answer is the text between the reply's first CR LF pair and the next
// CR LF pair; "error" when either pair is missing.
#include <gtest/gtest.h>

#include "serial/AtChannel.h"

namespace {

struct ExtractCase {
    const char* name;
    std::string reply;
    std::string answer;
};

class ExtractAnswerTest : public ::testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractAnswerTest, CutsTheFirstFramedLine)
{
    EXPECT_EQ(ExtractAnswerFromReply(GetParam().reply), GetParam().answer);
}

std::string Bytes256(bool bClosed)
{
    // "\r\n" + body + (closing "\r\n" at bytes 254..255, or two more body bytes)
    std::string str = "\r\n" + std::string(252, 'x');
    str += bClosed ? "\r\n" : "yy";
    return str;
}

const ExtractCase kCases[] = {
    {"Ok", "\r\nOK\r\n", "OK"},
    {"EchoedCommand", "AT\r\r\nOK\r\n", "OK"},
    {"InformationLineBeforeResult", "\r\nR2280-Y\r\n\r\nOK\r\n", "R2280-Y"},
    {"EmptyLine", "\r\n\r\nOK\r\n", ""},
    {"CardError", "\r\nERROR\r\n", "ERROR"},
    {"NoOpeningPair", "OK\r\n", "error"},
    {"NoClosingPair", "\r\nOK", "error"},
    {"EchoAlone", "AT\r", "error"},
    {"Nothing", "", "error"},
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
