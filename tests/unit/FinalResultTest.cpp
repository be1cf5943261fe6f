// HasFinalResult over reply bytes, and the answer that finishing on the result gives: the same as the
// settle rule's for every reply the card model sends and every seed of the answer fuzzer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "serial/AtChannel.h"
#include "tests/support/FinalResultPrefix.h"
#include "tools/cardsim/model/CardModel.h"

namespace {

struct FinalCase {
    const char* name;
    std::string reply;
    bool bFinal;
};

class HasFinalResultTest : public ::testing::TestWithParam<FinalCase> {};

TEST_P(HasFinalResultTest, FindsAFramedResultLine)
{
    EXPECT_EQ(HasFinalResult(GetParam().reply, "AT+CGMM"), GetParam().bFinal);
}

const FinalCase kFinalCases[] = {
    {"Ok", "\r\nOK\r\n", true},
    {"EchoedOk", "AT+CGMM\r\r\nOK\r\n", true},
    {"EchoAlone", "AT+CGMM\r", false},
    {"Nothing", "", false},
    {"ResultOpenedOnly", "AT+CGMM\r\r\nO", false},
    {"ResultWithoutLf", "\r\nOK\r", false},
    {"NoOpeningPair", "OK\r\n", false},
    {"EchoRunsIntoResult", "AT+CGMM\rOK\r\n", false},
    {"InformationThenOk", "\r\n+CGMM: R2280-Y\r\n\r\nOK\r\n", true},
    {"InformationAlone", "\r\n+CGMM: R2280-Y\r\n", false},
    {"InformationThenOkSplit", "AT+CGMM\r\r\n+CGMM: R2280-Y\r\n\r\nOK\r", false},
    {"OkEndsALongerLine", "\r\nBOOK\r\n", false},
    {"OkStartsALongerLine", "\r\nOK then\r\n", false},
    {"OkInLowerCase", "\r\nok\r\n", false},
    {"Error", "\r\nERROR\r\n", true},
    {"NoCarrier", "\r\nNO CARRIER\r\n", true},
    {"CmeError", "\r\n+CME ERROR: 10\r\n", true},
    {"CmsError", "\r\n+CMS ERROR: 500\r\n", true},
    {"CmeWithoutColon", "\r\n+CME ERROR\r\n", false},
    {"EmptyLineThenOk", "\r\n\r\nOK\r\n", true},
    {"UnsolicitedAlone", "\r\n^RSSI: 17\r\n", false},
    {"UnsolicitedThenOk", "\r\n^RSSI: 17\r\n\r\nOK\r\n", true},
    {"Garbage", "\xfe\x7f#@!%&*?~\xff", false},
    {"NulInsideResult", std::string("\r\nO\0K\r\n", 7), false},
    {"NulsBeforeResult", std::string("\0\0\r\nOK\r\n", 8), true},
};

INSTANTIATE_TEST_SUITE_P(Replies, HasFinalResultTest, ::testing::ValuesIn(kFinalCases),
                         [](const ::testing::TestParamInfo<FinalCase>& info) { return info.param.name; });

// The settle rule's answer and the answer cut from what finishing on the result keeps.
void ExpectSameAnswer(const std::string& strBytes, const std::string& strCommand)
{
    EXPECT_EQ(ExtractAnswerFromReply(FinalResultPrefix(strBytes, strCommand)),
              ExtractAnswerFromReply(CutReply(strBytes)))
        << "command " << strCommand << ", reply of " << strBytes.size() << " bytes";
}

// Every byte the model sends for the command, unsolicited output over the next seconds included.
std::string ModelReply(const CardOptions& options, const std::string& strCommand)
{
    CCardModel model(options);
    std::string strBytes;
    for (const CardChunk& chunk : model.Receive(strCommand + "\r", 0))
        strBytes += chunk.strBytes;
    for (uint64_t nMs = 0; nMs <= 2000; nMs += 100) {
        for (const CardChunk& chunk : model.Idle(nMs))
            strBytes += chunk.strBytes;
    }
    return strBytes;
}

TEST(FinalResultEquivalenceTest, EveryModelReply)
{
    const char* const kCommands[] = {"AT", "AT+YCDRUN=E", "AT+YCDRUN=F", "AT+YCDRUN=8", "AT+YCDRUN=9",
                                     "AT+YCDRUN=N", "AT+CGMM", "AT+ysec?", "AT+UNKNOWN"};
    const CardFault kFaults[] = {CardFault::None, CardFault::Silent, CardFault::EmptyLine, CardFault::Error,
                                 CardFault::PauseMidReply, CardFault::Dribble, CardFault::Garbage,
                                 CardFault::LongReply, CardFault::Babble, CardFault::Flood};
    for (const char* command : kCommands) {
        for (CardFault fault : kFaults) {
            for (int nVariant = 0; nVariant < 4; ++nVariant) {
                CardOptions options;
                options.bEcho = nVariant & 1;
                options.bSimPresent = nVariant & 2;
                options.fault = fault;
                options.nPauseMs = 100;
                ExpectSameAnswer(ModelReply(options, command), command);
            }
        }
    }
}

TEST(FinalResultEquivalenceTest, EveryAnswerFuzzSeed)
{
    int nSeeds = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(VOSTREL_SOURCE_DIR "/fuzz/corpus/ExtractAnswerFuzz")) {
        std::ifstream file(entry.path(), std::ios::binary);
        const std::string strBytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        // The seed's own first line as the command makes its echo, if it has one, the one skipped.
        for (const std::string& strCommand : {std::string("AT"), strBytes.substr(0, strBytes.find('\r'))})
            ExpectSameAnswer(strBytes, strCommand);
        ++nSeeds;
    }
    EXPECT_GT(nSeeds, 20);
}

} // namespace
