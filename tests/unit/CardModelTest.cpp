// CCardModel: the simulated card's command interpreter, bytes in and timed reply chunks out.
#include <gtest/gtest.h>

#include "tools/cardsim/model/CardModel.h"
#include "tools/cardsim/model/CardReplay.h"

namespace {

std::string Joined(const std::vector<CardChunk>& chunks)
{
    std::string str;
    for (const CardChunk& chunk : chunks)
        str += chunk.strBytes;
    return str;
}

std::vector<uint32_t> Delays(const std::vector<CardChunk>& chunks)
{
    std::vector<uint32_t> delays;
    for (const CardChunk& chunk : chunks)
        delays.push_back(chunk.nDelayMs);
    return delays;
}

CardOptions WithFault(CardFault fault, int nCount = -1, uint32_t nPauseMs = 400)
{
    CardOptions options;
    options.fault = fault;
    options.nFaultCount = nCount;
    options.nPauseMs = nPauseMs;
    return options;
}

// The reply table: every command gets its echo and its framed answer, all at once.
struct TableCase {
    const char* name;
    std::string command;
    std::string reply;   // after the echo
};

class CardTableTest : public ::testing::TestWithParam<TableCase> {};

TEST_P(CardTableTest, EchoesThenAnswersAtOnce)
{
    CCardModel card;
    const auto chunks = card.Receive(GetParam().command + "\r", 0);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].nDelayMs, 0u);
    EXPECT_EQ(chunks[0].strBytes, GetParam().command + "\r" + GetParam().reply);
}

TEST_P(CardTableTest, WithoutEchoSendsOnlyTheAnswer)
{
    CardOptions options;
    options.bEcho = false;
    CCardModel card(options);
    EXPECT_EQ(Joined(card.Receive(GetParam().command + "\r", 0)), GetParam().reply);
}

const TableCase kTable[] = {
    {"Attention", "AT", "\r\nOK\r\n"},
    {"AutorunOff", "AT+YCDRUN=E", "\r\nOK\r\n"},
    {"AutorunOn", "AT+YCDRUN=F", "\r\nOK\r\n"},
    {"DownloadOn", "AT+YCDRUN=8", "\r\nOK\r\n"},
    {"DownloadOff", "AT+YCDRUN=9", "\r\nOK\r\n"},
    {"NormalStart", "AT+YCDRUN=N", "\r\nOK\r\n"},
    {"LowerCaseMode", "at+ycdrun=e", "\r\nOK\r\n"},
    {"Model", "AT+CGMM", "\r\nR2280-Y\r\n\r\nOK\r\n"},
    {"SimStatusAsSent", "AT+ysec?", "\r\n+YSEC: 3,0\r\n\r\nOK\r\n"},
    {"SimStatusUpper", "AT+YSEC?", "\r\n+YSEC: 3,0\r\n\r\nOK\r\n"},
    {"Unknown", "AT+FOO", "\r\nERROR\r\n"},
    {"UnknownMode", "AT+YCDRUN=X", "\r\nERROR\r\n"},
    {"NotACommand", "hello", "\r\nERROR\r\n"},
    {"TrailingSpace", "AT ", "\r\nERROR\r\n"},
};

INSTANTIATE_TEST_SUITE_P(Commands, CardTableTest, ::testing::ValuesIn(kTable),
                         [](const ::testing::TestParamInfo<TableCase>& info) { return info.param.name; });

TEST(CardModelTest, ModelAndSimOptionsChangeTheInfoLines)
{
    CardOptions options;
    options.strModel = "R5515-Y";
    options.bSimPresent = false;
    options.bEcho = false;
    CCardModel card(options);
    EXPECT_EQ(Joined(card.Receive("AT+CGMM\r", 0)), "\r\nR5515-Y\r\n\r\nOK\r\n");
    EXPECT_EQ(Joined(card.Receive("AT+ysec?\r", 0)), "\r\n+YSEC: 0,0\r\n\r\nOK\r\n");
}

// Framing of the host's bytes: lines end at CR wherever the writes split them.
TEST(CardModelTest, LineSplitAcrossWritesIsAnsweredAtItsCr)
{
    CCardModel card;
    EXPECT_TRUE(card.Receive("A", 10).empty());
    EXPECT_TRUE(card.Receive("T", 20).empty());
    EXPECT_EQ(Joined(card.Receive("\r", 30)), "AT\r\r\nOK\r\n");
    ASSERT_EQ(card.Transcript().size(), 1u);
    EXPECT_EQ(card.Transcript()[0].nTimeMs, 30u);
    EXPECT_EQ(card.Transcript()[0].strLine, "AT");
}

TEST(CardModelTest, TwoLinesInOneWriteAreAnsweredInOrder)
{
    CCardModel card;
    const auto chunks = card.Receive("AT\r\nAT+FOO\r", 5);
    EXPECT_EQ(Joined(chunks), "AT\r\r\nOK\r\nAT+FOO\r\r\nERROR\r\n");
    EXPECT_EQ(card.CountOf("AT"), 1);
    EXPECT_EQ(card.CountOf("AT+FOO"), 1);
    EXPECT_EQ(card.Transcript().size(), 2u);
}

TEST(CardModelTest, EmptyLinesAndLoneLineFeedsAreIgnored)
{
    CCardModel card;
    EXPECT_TRUE(card.Receive("\r\r\n\n\r", 0).empty());
    EXPECT_TRUE(card.Transcript().empty());
}

TEST(CardModelTest, OverlongLineKeepsOnlyTheCommandBuffer)
{
    CCardModel card;
    const auto chunks = card.Receive(std::string(5000, 'A') + "\r", 0);
    ASSERT_EQ(card.Transcript().size(), 1u);
    EXPECT_EQ(card.Transcript()[0].strLine.size(), CCardModel::kMaxLineLength);
    EXPECT_EQ(Joined(chunks).substr(CCardModel::kMaxLineLength), "\r\r\nERROR\r\n");
}

TEST(CardModelTest, CountOfComparesTheExactText)
{
    CCardModel card;
    card.Receive("AT\rat\rAT\r", 0);
    EXPECT_EQ(card.CountOf("AT"), 2);
    EXPECT_EQ(card.CountOf("at"), 1);
    EXPECT_EQ(card.CountOf("ATI"), 0);
}

// Faults: what the card sends instead of, or around, its answer to "AT".
struct FaultCase {
    const char* name;
    CardFault fault;
    bool bEcho;
    std::vector<uint32_t> delays;
    std::string bytes;
};

class CardFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(CardFaultTest, ShapesTheReply)
{
    CardOptions options = WithFault(GetParam().fault, -1, 250);
    options.bEcho = GetParam().bEcho;
    CCardModel card(options);
    const auto chunks = card.Receive("AT\r", 0);
    EXPECT_EQ(Joined(chunks), GetParam().bytes);
    EXPECT_EQ(Delays(chunks), GetParam().delays);
    EXPECT_EQ(card.CountOf("AT"), 1);
}

const FaultCase kFaults[] = {
    {"Silent", CardFault::Silent, true, {}, ""},
    {"EmptyLine", CardFault::EmptyLine, true, {0}, "AT\r\r\n\r\n"},
    {"Error", CardFault::Error, true, {0}, "AT\r\r\nERROR\r\n"},
    {"PauseAfterEcho", CardFault::PauseMidReply, true, {0, 250}, "AT\r\r\nOK\r\n"},
    {"PauseAfterOpeningPair", CardFault::PauseMidReply, false, {0, 250}, "\r\nOK\r\n"},
    {"Dribble", CardFault::Dribble, false, {0, 250, 250, 250, 250, 250}, "\r\nOK\r\n"},
    {"BabbleAnswersNormally", CardFault::Babble, true, {0}, "AT\r\r\nOK\r\n"},
    {"FloodAnswersNormally", CardFault::Flood, true, {0}, "AT\r\r\nOK\r\n"},
};

INSTANTIATE_TEST_SUITE_P(Faults, CardFaultTest, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

TEST(CardModelTest, PauseSplitsAfterTheEcho)
{
    CCardModel card(WithFault(CardFault::PauseMidReply));
    const auto chunks = card.Receive("AT\r", 0);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].strBytes, "AT\r");
}

// Think time delays the answer, never the echo, and adds to the fault's own timing.
TEST(CardModelTest, ReplyDelayHoldsBackTheAnswerOnly)
{
    struct {
        CardFault fault;
        bool bEcho;
        std::vector<uint32_t> delays;
    } const cases[] = {
        {CardFault::None, true, {0, 200}},
        {CardFault::None, false, {200}},
        {CardFault::PauseMidReply, true, {0, 450}},
        {CardFault::PauseMidReply, false, {200, 250}},
        {CardFault::Dribble, false, {200, 250, 250, 250, 250, 250}},
    };
    for (const auto& c : cases) {
        CardOptions options = WithFault(c.fault, -1, 250);
        options.bEcho = c.bEcho;
        options.nReplyDelayMs = 200;
        CCardModel card(options);
        const auto chunks = card.Receive("AT\r", 0);
        EXPECT_EQ(Delays(chunks), c.delays) << static_cast<int>(c.fault) << " echo " << c.bEcho;
        EXPECT_EQ(Joined(chunks), (c.bEcho ? "AT\r" : "") + std::string("\r\nOK\r\n"));
        if (c.bEcho) {
            EXPECT_EQ(chunks[0].strBytes, "AT\r");
        }
    }
}

TEST(CardModelTest, GarbageHoldsNoFramingBytes)
{
    CardOptions options = WithFault(CardFault::Garbage);
    options.bEcho = false;
    CCardModel card(options);
    const std::string str = Joined(card.Receive("AT\r", 0));
    ASSERT_FALSE(str.empty());
    EXPECT_EQ(str.find_first_of(std::string("\r\n\0", 3)), std::string::npos);
}

TEST(CardModelTest, LongReplyPutsTheAnswerFirstAndRunsPast256Bytes)
{
    CardOptions options = WithFault(CardFault::LongReply);
    options.bEcho = false;
    CCardModel card(options);
    const std::string str = Joined(card.Receive("AT+CGMM\r", 0));
    EXPECT_GT(str.size(), 256u);
    EXPECT_EQ(str.rfind("\r\nR2280-Y\r\n", 0), 0u);
}

TEST(CardModelTest, FaultCountRunsOutThenTheCardAnswersNormally)
{
    CCardModel card(WithFault(CardFault::Error, 2));
    EXPECT_EQ(Joined(card.Receive("AT\r", 0)), "AT\r\r\nERROR\r\n");
    EXPECT_EQ(Joined(card.Receive("AT\r", 0)), "AT\r\r\nERROR\r\n");
    EXPECT_EQ(Joined(card.Receive("AT\r", 0)), "AT\r\r\nOK\r\n");

    card.SetOptions(WithFault(CardFault::Silent, 1));   // new options: the count starts again
    EXPECT_EQ(Joined(card.Receive("AT\r", 0)), "");
    EXPECT_EQ(Joined(card.Receive("AT\r", 0)), "AT\r\r\nOK\r\n");
}

TEST(CardModelTest, BabbleSendsLinesEveryPeriodWhileActive)
{
    CCardModel card(WithFault(CardFault::Babble, 1, 100));
    EXPECT_TRUE(card.Idle(1000).empty());        // starts counting here
    EXPECT_TRUE(card.Idle(1099).empty());
    const auto first = card.Idle(1100);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_NE(first[0].strBytes.find("\r\n"), std::string::npos);
    EXPECT_EQ(first[0].strBytes.find("OK"), std::string::npos);
    EXPECT_EQ(card.Idle(1350).size(), 2u);       // due at 1200 and 1300
    EXPECT_LE(card.Idle(1000000).size(), 16u);   // a long silence does not flood

    card.Receive("AT\r", 1000001);               // the one babbling command is used up
    EXPECT_TRUE(card.Idle(2000000).empty());
}

// The pause can fall at any byte of echo and reply; past the end there is nothing left to pause.
TEST(CardModelTest, PauseAtAChosenByte)
{
    const std::string strWhole = "AT\r\r\nOK\r\n";
    for (size_t nAt : {size_t{1}, size_t{4}, size_t{8}, size_t{9}, size_t{50}}) {
        CardOptions options = WithFault(CardFault::PauseMidReply, -1, 250);
        options.nPauseAt = nAt;
        CCardModel card(options);
        const auto chunks = card.Receive("AT\r", 0);
        EXPECT_EQ(Joined(chunks), strWhole) << nAt;
        EXPECT_EQ(chunks[0].strBytes, strWhole.substr(0, nAt)) << nAt;
        const std::vector<uint32_t> delays = nAt < strWhole.size() ? std::vector<uint32_t>{0, 250} : std::vector<uint32_t>{0};
        EXPECT_EQ(Delays(chunks), delays);
    }
}

// A raw reply is sent byte for byte with no echo of its own; an ERROR line in it refuses the command.
TEST(CardModelTest, RawReplyIsSentAsGiven)
{
    const std::string strNuls("\0\r\nOK\r\n\0", 8);
    CCardModel card;
    card.Script("AT+YCDRUN=E", CardReply::Bytes(strNuls), 1);
    EXPECT_EQ(Joined(card.Receive("AT+YCDRUN=E\r", 0)), strNuls);
    EXPECT_FALSE(card.AutorunEnabled());

    card.Script("AT+YCDRUN=F", CardReply::Bytes("\r\n^RSSI:12\r\n\r\nERROR\r\n"), 1);
    card.Receive("AT+YCDRUN=F\r", 0);
    EXPECT_FALSE(card.AutorunEnabled());

    card.Script("AT", CardReply::Bytes(std::string(10000, 'z')), 1);
    EXPECT_EQ(Joined(card.Receive("AT\r", 0)).size(), 10000u);
}

// A flooding card starts its stream once its answer is out and keeps it at line rate, without
// CR, LF or NUL, bounded per call, until new options stop it.
TEST(CardModelTest, FloodNeverStopsUntilTheOptionsChange)
{
    CardOptions options = WithFault(CardFault::Flood);
    options.nReplyDelayMs = 100;
    CCardModel card(options);
    EXPECT_TRUE(card.Idle(50).empty());               // no answer yet, no stream
    card.Receive("AT\r", 1000);                        // answered at 1100
    EXPECT_TRUE(card.Idle(1100).empty());
    const std::string str = Joined(card.Idle(1110));
    EXPECT_EQ(str.size(), 10 * CCardModel::kFloodBytesPerMs);
    EXPECT_EQ(str.find_first_of(std::string("\r\n\0", 3)), std::string::npos);
    EXPECT_EQ(Joined(card.Idle(1210)).size(), 100 * CCardModel::kFloodBytesPerMs);
    EXPECT_LE(Joined(card.Idle(100000000)).size(), 8192u);

    card.SetOptions(CardOptions{});
    EXPECT_TRUE(card.Idle(100000100).empty());
}

TEST(CardModelTest, QuietCardHasNothingToSayWhenIdle)
{
    CCardModel card;
    EXPECT_TRUE(card.Idle(0).empty());
    EXPECT_TRUE(card.Idle(100000).empty());
}

// Scripts override the table for a number of commands, matched without regard to case.
TEST(CardModelTest, ScriptsReplaceTheTableForTheirCount)
{
    CardOptions options;
    options.bEcho = false;
    CCardModel card(options);
    card.Script("at+cgmm", CardReply::Text("ERROR"), 2);
    card.Script("AT+YCDRUN=8", CardReply::Empty(), 1);
    card.Script("AT", CardReply::None());
    card.Script("AT+NEW", CardReply::Text("R2281-Y"));

    EXPECT_EQ(Joined(card.Receive("AT+CGMM\r", 0)), "\r\nERROR\r\n");
    EXPECT_EQ(Joined(card.Receive("AT+CGMM\r", 0)), "\r\nERROR\r\n");
    EXPECT_EQ(Joined(card.Receive("AT+CGMM\r", 0)), "\r\nR2280-Y\r\n\r\nOK\r\n");
    EXPECT_EQ(Joined(card.Receive("AT+YCDRUN=8\r", 0)), "\r\n\r\n");
    EXPECT_EQ(Joined(card.Receive("AT+YCDRUN=8\r", 0)), "\r\nOK\r\n");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Joined(card.Receive("AT\r", 0)), "");
    EXPECT_EQ(Joined(card.Receive("AT+NEW\r", 0)), "\r\nR2281-Y\r\n\r\nOK\r\n");
}

TEST(CardModelTest, SilentScriptSendsNotEvenTheEcho)
{
    CCardModel card;
    card.Script("AT", CardReply::None(), 1);
    EXPECT_EQ(Joined(card.Receive("AT\r", 0)), "");
    EXPECT_EQ(Joined(card.Receive("AT\r", 0)), "AT\r\r\nOK\r\n");
    EXPECT_EQ(card.CountOf("AT"), 2);
}

TEST(CardModelTest, LaterScriptReplacesAndClearRestoresTheTable)
{
    CardOptions options;
    options.bEcho = false;
    CCardModel card(options);
    card.Script("AT", CardReply::Text("ERROR"));
    card.Script("AT", CardReply::Text("OK"), 1);
    EXPECT_EQ(Joined(card.Receive("AT\r", 0)), "\r\nOK\r\n");
    EXPECT_EQ(Joined(card.Receive("AT\r", 0)), "\r\nOK\r\n");   // the replacement ran out

    card.Script("AT", CardReply::Text("ERROR"));
    card.ClearScripts();
    EXPECT_EQ(Joined(card.Receive("AT\r", 0)), "\r\nOK\r\n");
    card.Script("AT", CardReply::Text("ERROR"));
    card.Script("AT", CardReply::Text("ERROR"), 0);              // zero times: removed
    EXPECT_EQ(Joined(card.Receive("AT\r", 0)), "\r\nOK\r\n");
}

// The mode commands switch the card's state; a refused or unanswered command does not.
struct StateCase {
    const char* name;
    std::vector<std::string> commands;
    bool bAutorun;
    bool bDownload;
};

class CardStateTest : public ::testing::TestWithParam<StateCase> {};

TEST_P(CardStateTest, FollowsTheModeCommands)
{
    CCardModel card;
    for (const std::string& command : GetParam().commands)
        card.Receive(command + "\r", 0);
    EXPECT_EQ(card.AutorunEnabled(), GetParam().bAutorun);
    EXPECT_EQ(card.DownloadMode(), GetParam().bDownload);
}

const StateCase kStates[] = {
    {"New", {}, true, false},
    {"CloseAutorunEnterDownload", {"AT+YCDRUN=E", "AT+YCDRUN=8"}, false, true},
    {"OpenAutorunExitDownload", {"AT+YCDRUN=E", "AT+YCDRUN=8", "AT+YCDRUN=F", "AT+YCDRUN=9"}, true, false},
    {"NormalStartLeavesDownload", {"AT+YCDRUN=8", "AT+YCDRUN=N"}, true, false},
    {"LowerCase", {"at+ycdrun=e"}, false, false},
    {"OtherCommandsChangeNothing", {"AT", "AT+CGMM", "AT+ysec?", "AT+YCDRUN=X"}, true, false},
};

INSTANTIATE_TEST_SUITE_P(Modes, CardStateTest, ::testing::ValuesIn(kStates),
                         [](const ::testing::TestParamInfo<StateCase>& info) { return info.param.name; });

TEST(CardModelTest, RefusedOrUnansweredModeCommandsChangeNothing)
{
    CCardModel card(WithFault(CardFault::Error, 1));
    card.Receive("AT+YCDRUN=E\r", 0);
    EXPECT_TRUE(card.AutorunEnabled());

    card.SetOptions(WithFault(CardFault::Silent, 1));
    card.Receive("AT+YCDRUN=8\r", 0);
    EXPECT_FALSE(card.DownloadMode());

    card.Script("AT+YCDRUN=8", CardReply::Text("ERROR"), 1);
    card.Receive("AT+YCDRUN=8\r", 0);
    EXPECT_FALSE(card.DownloadMode());

    card.Receive("AT+YCDRUN=8\r", 0);
    EXPECT_TRUE(card.DownloadMode());
}

TEST(CardModelTest, EmptyAnswerStillCarriesTheCommandOut)
{
    CCardModel card(WithFault(CardFault::EmptyLine));
    card.Receive("AT+YCDRUN=E\r", 0);
    EXPECT_FALSE(card.AutorunEnabled());
}

// Unsolicited lines at their places in every reply, and one on its own a while after it.
TEST(CardModelTest, UnsolicitedLinesGoWhereTheyAreAsked)
{
    CardOptions options;
    options.unsolicited = {{CardUrcAt::BeforeEcho, "RING"},
                           {CardUrcAt::AfterEcho, "+CREG: 1"},
                           {CardUrcAt::BeforeResult, "^RSSI:9"},
                           {CardUrcAt::AfterResult, "+CMTI: \"SM\",3"},
                           {CardUrcAt::Later, "^MODE:3,2"}};
    options.nUrcLaterMs = 300;
    CCardModel card(options);
    const auto chunks = card.Receive("AT+CGMM\r", 0);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].strBytes, "\r\nRING\r\nAT+CGMM\r\r\n+CREG: 1\r\n\r\nR2280-Y\r\n\r\n^RSSI:9\r\n\r\nOK\r\n"
                                  "\r\n+CMTI: \"SM\",3\r\n");
    EXPECT_EQ(chunks[1].nDelayMs, 300u);
    EXPECT_EQ(chunks[1].strBytes, "\r\n^MODE:3,2\r\n");
    // A reply that is only its result gets the line before the result after the echo's; a silent
    // card sends none.
    EXPECT_EQ(Joined(card.Receive("AT+FOO\r", 0)),
              "\r\nRING\r\nAT+FOO\r\r\n+CREG: 1\r\n\r\n^RSSI:9\r\n\r\nERROR\r\n\r\n+CMTI: \"SM\",3\r\n\r\n^MODE:3,2\r\n");
    card.Script("AT", CardReply::None(), 1);
    EXPECT_TRUE(card.Receive("AT\r", 0).empty());
}

// A late answer holds back the whole reply, echo included, as often as asked ("*": every command).
TEST(CardModelTest, LateAnswerHoldsBackTheWholeReply)
{
    CardOptions options;
    options.late = {{"at+cgmm", 1300, 1}};
    CCardModel card(options);
    const auto chunks = card.Receive("AT+CGMM\r", 0);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].nDelayMs, 1300u);
    EXPECT_EQ(chunks[0].strBytes, "AT+CGMM\r\r\nR2280-Y\r\n\r\nOK\r\n");
    EXPECT_EQ(Delays(card.Receive("AT+CGMM\r", 2000)), std::vector<uint32_t>{0});
    options.late = {{"*", 500, -1}};
    options.bEcho = false;
    card.SetOptions(options);
    EXPECT_EQ(Delays(card.Receive("AT\r", 3000)), std::vector<uint32_t>{500});
    EXPECT_EQ(Delays(card.Receive("AT+YCDRUN=E\r", 3000)), std::vector<uint32_t>{500});
}

// A vostrel-cli transcript, replayed: each command gets the bytes recorded after it, at their
// recorded delays; one the rest of the transcript does not hold gets nothing, and says so.
TEST(CardReplayTest, PlaysATranscriptBack)
{
    const std::string strLog = "# vostrel-cli 1.0.0 close-autorun\n"
                               "0 /dev/ttyUSB2 > AT+CGMM\\r\n"
                               "3 /dev/ttyUSB2 < AT+CGMM\\r\n"
                               "1305 /dev/ttyUSB2 < \\r\\nR2280-Y\\r\\n\\r\\nOK\\r\\n\n"
                               "1305 /dev/ttyUSB9 > AT\\r\n"
                               "1306 /dev/ttyUSB2 > AT+YCDRUN=E\\r\n"
                               "1310 /dev/ttyUSB2 < AT+YCDRUN=E\\r\\r\\nERROR\\r\\n\\x00\\\\\n"
                               "# outcome /dev/ttyUSB2: close-autorun: failed (1): the card rejected AT+YCDRUN=E (ERROR)\n";
    const CardReplayParse parse = ParseCardTranscript(strLog);
    ASSERT_EQ(parse.strError, "");
    EXPECT_EQ(parse.strPort, "/dev/ttyUSB2");
    ASSERT_EQ(parse.steps.size(), 2u);
    EXPECT_EQ(parse.steps[0].strCommand, "AT+CGMM");
    EXPECT_EQ(parse.steps[0].nLine, 2u);
    EXPECT_EQ(Delays(parse.steps[0].chunks), (std::vector<uint32_t>{3, 1302}));
    EXPECT_EQ(Delays(parse.steps[1].chunks), std::vector<uint32_t>{4});
    EXPECT_EQ(parse.steps[1].chunks[0].strBytes, std::string("AT+YCDRUN=E\r\r\nERROR\r\n\0\\", 23));

    CCardModel card;
    card.SetReplay(parse.steps);
    EXPECT_EQ(Joined(card.Receive("AT+CGMM\r", 0)), "AT+CGMM\r\r\nR2280-Y\r\n\r\nOK\r\n");
    EXPECT_TRUE(card.Receive("AT+CGSN\r", 10).empty());
    EXPECT_TRUE(card.Transcript().back().bNotInReplay);
    EXPECT_EQ(Delays(card.Receive("AT+YCDRUN=E\r", 20)), std::vector<uint32_t>{4});
    EXPECT_FALSE(card.Transcript().back().bNotInReplay);
    EXPECT_EQ(card.ReplayStepsLeft(), 0u);
    EXPECT_TRUE(card.Receive("AT+YCDRUN=E\r", 30).empty());   // played once
    EXPECT_TRUE(card.Transcript().back().bNotInReplay);

    // Another port of the transcript; transcripts that cannot be replayed.
    EXPECT_EQ(ParseCardTranscript(strLog, "/dev/ttyUSB9").steps.size(), 1u);
    EXPECT_EQ(ParseCardTranscript("12 COM5 > AT\\q\n").strError, "line 1: a malformed escape in the bytes");
    EXPECT_EQ(ParseCardTranscript("hello\n").strError.rfind("line 1: not a transcript line", 0), 0u);
    EXPECT_EQ(ParseCardTranscript("# nothing\n").strError, "no command was written");
}

} // namespace
