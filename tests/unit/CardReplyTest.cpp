// The typed reply (ParseCardReply) over reply bytes: the final result's kind, the Response text,
// the unsolicited lines and the stale bytes, for every final result, an unsolicited line at every
// position and a late answer with and without an echo; and the answer that finishing on the result
// gives: the same as the settle rule's for every reply the card model sends and every seed of the
// answer fuzzer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "serial/CardReply.h"
#include "tests/support/FinalResultPrefix.h"
#include "tools/cardsim/model/CardModel.h"

namespace {

using E = EFinalResult;
using Lines = std::vector<std::string>;

const CReplyContext kFresh{};
const CReplyContext kOwed{1, false};               // an earlier answer owed, the card not known to echo
const CReplyContext kOwedTwo{2, false};            // two earlier answers owed
const CReplyContext kOwedEchoing{1, true};         // ... by a card that echoes

struct ReplyCase {
    const char* name;
    std::string command;
    std::string reply;
    CReplyContext ctx;
    E eResult;
    std::string answer;          // the Response text
    Lines unsolicited = {};
    std::string stale = {};
};

class CardReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(CardReplyTest, TypesTheReply)
{
    const ReplyCase& c = GetParam();
    const CCardReply reply = ParseCardReply(c.reply, c.command, c.ctx);
    EXPECT_EQ(reply.eResult, c.eResult);
    EXPECT_EQ(reply.ResponseText(), c.answer);
    EXPECT_EQ(reply.unsolicited, c.unsolicited);
    EXPECT_EQ(reply.strStale, c.stale);
    // Neither the answer nor the final result is ever an unsolicited line.
    if (reply.answerLine) {
        EXPECT_FALSE(IsUnsolicitedLine(*reply.answerLine, c.command));
    }
}

const std::string CGMM = "AT+CGMM";
const std::string E_ = "AT+YCDRUN=E";
const std::string kLateModel = "AT+CGMM\r\r\nR2280-Y\r\n\r\nOK\r\n";       // a late answer, echoed
const std::string kLateImei = "\r\n356938035643809\r\n\r\nOK\r\n";          // a late answer, not echoed

const ReplyCase kReplyCases[] = {
    // Framing and each final result.
    {"Ok", CGMM, "\r\nOK\r\n", kFresh, E::kOk, "OK"},
    {"EchoedOk", CGMM, "AT+CGMM\r\r\nOK\r\n", kFresh, E::kOk, "OK"},
    {"EchoAlone", CGMM, "AT+CGMM\r", kFresh, E::kNone, "error"},
    {"Nothing", CGMM, "", kFresh, E::kNone, "error"},
    {"ResultOpenedOnly", CGMM, "AT+CGMM\r\r\nO", kFresh, E::kNone, "error"},
    {"ResultWithoutLf", CGMM, "\r\nOK\r", kFresh, E::kNone, "error"},
    {"NoOpeningPair", CGMM, "OK\r\n", kFresh, E::kNone, "error"},
    {"EchoRunsIntoResult", CGMM, "AT+CGMM\rOK\r\n", kFresh, E::kNone, "error"},
    {"InformationThenOk", CGMM, "\r\n+CGMM: R2280-Y\r\n\r\nOK\r\n", kFresh, E::kOk, "+CGMM: R2280-Y"},
    {"InformationAlone", CGMM, "\r\n+CGMM: R2280-Y\r\n", kFresh, E::kNone, "+CGMM: R2280-Y"},
    {"InformationThenOkSplit", CGMM, "AT+CGMM\r\r\n+CGMM: R2280-Y\r\n\r\nOK\r", kFresh, E::kNone, "+CGMM: R2280-Y"},
    {"OkEndsALongerLine", CGMM, "\r\nBOOK\r\n", kFresh, E::kNone, "BOOK"},
    {"OkStartsALongerLine", CGMM, "\r\nOK then\r\n", kFresh, E::kNone, "OK then"},
    {"OkInLowerCase", CGMM, "\r\nok\r\n", kFresh, E::kNone, "ok"},
    {"Error", CGMM, "\r\nERROR\r\n", kFresh, E::kError, "ERROR"},
    {"CmeError", CGMM, "\r\n+CME ERROR: 10\r\n", kFresh, E::kCmeError, "+CME ERROR: 10"},
    {"CmsError", CGMM, "\r\n+CMS ERROR: 500\r\n", kFresh, E::kCmsError, "+CMS ERROR: 500"},
    {"CmeWithoutColon", CGMM, "\r\n+CME ERROR\r\n", kFresh, E::kNone, "+CME ERROR"},
    {"NoCarrier", CGMM, "\r\nNO CARRIER\r\n", kFresh, E::kNoCarrier, "NO CARRIER"},
    {"Busy", CGMM, "\r\nBUSY\r\n", kFresh, E::kBusy, "BUSY"},
    {"NoAnswer", CGMM, "\r\nNO ANSWER\r\n", kFresh, E::kNoAnswer, "NO ANSWER"},
    {"NoDialtone", CGMM, "\r\nNO DIALTONE\r\n", kFresh, E::kNoDialtone, "NO DIALTONE"},
    {"CommandNotSupport", CGMM, "AT+CGMM\r\r\nCOMMAND NOT SUPPORT\r\n", kFresh, E::kNotSupported, "COMMAND NOT SUPPORT"},
    {"InformationThenError", E_, "\r\nbusy switching\r\n\r\nERROR\r\n", kFresh, E::kError, "busy switching"},
    {"EmptyLineThenOk", CGMM, "\r\n\r\nOK\r\n", kFresh, E::kOk, ""},
    {"Garbage", CGMM, "\xfe\x7f#@!%&*?~\xff", kFresh, E::kNone, "error"},
    // A final result counts wherever it lies; the Response text is cut from the reply text (up to a NUL).
    {"NulInsideResult", CGMM, std::string("\r\nO\0K\r\n", 7), kFresh, E::kNone, "error"},
    {"NulsBeforeResult", CGMM, std::string("\0\0\r\nOK\r\n", 8), kFresh, E::kOk, "error"},
    // An unsolicited line at every position is skipped for the answer and kept.
    {"UnsolicitedAlone", CGMM, "\r\n^RSSI: 17\r\n", kFresh, E::kNone, "error", {"^RSSI: 17"}},
    {"UnsolicitedThenOk", CGMM, "\r\n^RSSI: 17\r\n\r\nOK\r\n", kFresh, E::kOk, "OK", {"^RSSI: 17"}},
    {"UnsolicitedBeforeEcho", E_, "\r\n+CREG: 1\r\nAT+YCDRUN=E\r\r\nERROR\r\n", kFresh, E::kError, "ERROR", {"+CREG: 1"},
     "\r\n+CREG: 1\r\n"},
    {"UnsolicitedAfterEcho", E_, "AT+YCDRUN=E\r\r\n+CREG: 1\r\n\r\nERROR\r\n", kFresh, E::kError, "ERROR", {"+CREG: 1"}},
    {"UnsolicitedAfterEchoNoBlank", E_, "AT+YCDRUN=E\r\r\nRING\r\nERROR\r\n", kFresh, E::kError, "ERROR", {"RING"}},
    {"UnsolicitedBeforeInformation", CGMM, "\r\n^MODE: 3,2\r\n\r\nR2280-Y\r\n\r\nOK\r\n", kFresh, E::kOk, "R2280-Y",
     {"^MODE: 3,2"}},
    {"UnsolicitedBeforeResult", CGMM, "AT+CGMM\r\r\nR2280-Y\r\n\r\n+CMTI: \"SM\",3\r\n\r\nOK\r\n", kFresh, E::kOk, "R2280-Y",
     {"+CMTI: \"SM\",3"}},
    {"UnsolicitedAfterResult", E_, "AT+YCDRUN=E\r\r\nOK\r\n\r\nRING\r\n", kFresh, E::kOk, "OK", {"RING"}},
    {"UnsolicitedEverywhere", E_, "\r\nRING\r\nAT+YCDRUN=E\r\r\n+CREG: 1\r\n\r\n^RSSI:12\r\n\r\nERROR\r\n\r\n+CGEV: ME DETACH\r\n",
     kFresh, E::kError, "ERROR", {"RING", "+CREG: 1", "^RSSI:12", "+CGEV: ME DETACH"}, "\r\nRING\r\n"},
    {"UnsolicitedThenBlankAnswer", E_, "\r\n+CREG: 1\r\n\r\n\r\n", kFresh, E::kNone, "", {"+CREG: 1"}},
    // The command's own name is its answer, not an unsolicited line.
    {"OwnNameSim", "AT+ysec?", "AT+ysec?\r\r\n+YSEC: 3,0\r\n\r\nOK\r\n", kFresh, E::kOk, "+YSEC: 3,0"},
    {"OwnNameRegistration", "AT+CREG?", "\r\n+CREG: 0,1\r\n\r\nOK\r\n", kFresh, E::kOk, "+CREG: 0,1"},
    {"OwnNameVendor", "AT^SYSINFO", "\r\n^RSSI:9\r\n\r\n^SYSINFO:2,3,0,5,1\r\n\r\nOK\r\n", kFresh, E::kOk,
     "^SYSINFO:2,3,0,5,1", {"^RSSI:9"}},
    // A late answer. With an echo, bytes before this command's echo are stale, whatever is owed.
    {"LateEchoed", E_, kLateModel + "AT+YCDRUN=E\r\r\nERROR\r\n", kFresh, E::kError, "ERROR", {}, kLateModel},
    {"LateEchoedOwed", E_, kLateModel + "AT+YCDRUN=E\r\r\nERROR\r\n", kOwedEchoing, E::kError, "ERROR", {}, kLateModel},
    {"LateEchoedAlone", E_, kLateModel, kOwedEchoing, E::kNone, "error", {}, kLateModel},
    {"LateEchoedPartly", E_, kLateModel + "AT+YCDRUN=E\r", kOwedEchoing, E::kNone, "error", {}, kLateModel},
    // Without an echo, while an answer is owed, the first final result is the earlier command's.
    {"LateNotEchoed", E_, kLateImei + "\r\nERROR\r\n", kOwed, E::kError, "ERROR", {}, kLateImei},
    {"LateNotEchoedAlone", E_, kLateImei, kOwed, E::kNone, "error", {}, kLateImei},
    {"LateNotEchoedUnsolicited", E_, "\r\nRING\r\n\r\nOK\r\n\r\n+CREG: 1\r\n\r\nERROR\r\n", kOwed, E::kError, "ERROR",
     {"RING", "+CREG: 1"}, "\r\nRING\r\n\r\nOK\r\n"},
    {"TwoLateNotEchoed", E_, kLateImei + "\r\nOK\r\n\r\nERROR\r\n", kOwedTwo, E::kError, "ERROR", {},
     kLateImei + "\r\nOK\r\n"},
    {"LateNotEchoedPartly", E_, "\r\n356938035643809\r\n", kOwed, E::kNone, "error", {}, "\r\n356938035643809\r\n"},
    // Nothing owed: the first final result is this command's own.
    {"NothingOwed", E_, "\r\nOK\r\n\r\nERROR\r\n", kFresh, E::kOk, "OK"},
};

INSTANTIATE_TEST_SUITE_P(Replies, CardReplyTest, ::testing::ValuesIn(kReplyCases),
                         [](const ::testing::TestParamInfo<ReplyCase>& info) { return info.param.name; });

// The standard unsolicited result codes of V.250 and 27.007/27.005, and vendor status lines, each
// before an answer: skipped and kept.
TEST(UnsolicitedLineTest, EveryStandardCodeIsSkipped)
{
    const char* const kLines[] = {"RING", "+CRING: VOICE", "+CREG: 1", "+CGREG: 5", "+CEREG: 1,\"00C3\",\"01A2D001\",7",
                                  "+CMTI: \"SM\",3", "+CMT: \"+4912345\",,\"26/12/07,10:00:00+04\"", "+CDS: 6",
                                  "+CBM: 88", "+CUSD: 0,\"Balance 5\",15", "+CIEV: 2,1", "+CLIP: \"+4912345\",145",
                                  "+CCWA: \"+4912345\",145,1", "+CGEV: NW DETACH", "^RSSI:17", "^BOOT:1,0,0,0,11",
                                  "^MODE:3,2"};
    for (const char* pszLine : kLines) {
        const CCardReply reply = ParseCardReply("AT\r\r\n" + std::string(pszLine) + "\r\n\r\nOK\r\n", "AT");
        EXPECT_EQ(reply.ResponseText(), "OK") << pszLine;
        EXPECT_TRUE(reply.AnsweredOk()) << pszLine;
        EXPECT_EQ(reply.unsolicited, Lines{pszLine});
    }
    for (const char* pszLine : {"R2280-Y", "OK", "+CME ERROR: 3", "+", "^:", "+1 555", "RINGING", ""})
        EXPECT_FALSE(IsUnsolicitedLine(pszLine, "AT")) << pszLine;
}

// The settle rule's answer, and the answer cut from what finishing on the result keeps.
void ExpectSameAnswer(const std::string& strBytes, const std::string& strCommand)
{
    if (!SameAnswerExpected(strBytes, strCommand))
        return;
    EXPECT_EQ(ParseCardReply(FinalResultPrefix(strBytes, strCommand), strCommand).ResponseText(),
              ParseCardReply(CutReply(strBytes), strCommand).ResponseText())
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
            for (int nVariant = 0; nVariant < 8; ++nVariant) {
                CardOptions options;
                options.bEcho = nVariant & 1;
                options.bSimPresent = nVariant & 2;
                options.fault = fault;
                options.nPauseMs = 100;
                // Unsolicited lines before the echo, after it and after the final result.
                if (nVariant & 4)
                    options.unsolicited = {{CardUrcAt::BeforeEcho, "+CREG: 1"}, {CardUrcAt::AfterEcho, "RING"},
                                           {CardUrcAt::AfterResult, "^RSSI: 17"}};
                ExpectSameAnswer(ModelReply(options, command), command);
            }
        }
    }
}

TEST(FinalResultEquivalenceTest, EveryAnswerFuzzSeed)
{
    int nSeeds = 0;
    // From the build tree, as ctest runs it, or from the source tree's root.
    std::filesystem::path seeds = VOSTREL_SOURCE_FROM_BUILD "/fuzz/corpus/ExtractAnswerFuzz";
    if (!std::filesystem::is_directory(seeds))
        seeds = "fuzz/corpus/ExtractAnswerFuzz";
    for (const auto& entry : std::filesystem::directory_iterator(seeds)) {
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
