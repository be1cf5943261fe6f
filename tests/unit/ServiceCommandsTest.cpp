// The hidden service commands: the SIM status query (OnSimStatus, IDC_SIM_STATUS) and Reverse Port
// (OnReversePort, IDC_REVERSE_PORT), against a simulated card on COM5.
#include "commands/Commands.h"
#include "tests/support/CommandTestDialog.h"

namespace {

// ---- SIM status -------------------------------------------------------------------------------------

struct SimCase {
    const char* name;
    CardReply reply;
    const char* pszMessage;
};

class SimStatusTest : public CommandTest, public ::testing::WithParamInterface<SimCase> {};

// OnSimStatus: 200 ms, one "AT+ysec?", the answer upper-cased without spaces and matched (a keyword
// counts only after the first character); the owned application box; the monitor resumed.
TEST_P(SimStatusTest, ShowsTheStatusOfTheAnswer)
{
    Card().Script("AT+ysec?", GetParam().reply);
    m_pDlg->OnSimStatus();

    EXPECT_EQ(Card().CountOf("AT+ysec?"), GetParam().reply.kind == CardReply::Silent ? 2 : 1);
    EXPECT_EQ(CommandWaitsOf(m_clock, std::this_thread::get_id()), (std::vector<uint32_t>{200}));
    const std::vector<HeadlessBox> boxes = Window().Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].strText, GetParam().pszMessage);
    EXPECT_TRUE(boxes[0].bAppBox);
    EXPECT_TRUE(boxes[0].bOwned);
    EXPECT_EQ(boxes[0].nType, ui::kMbIconExclamation);
    EXPECT_EQ(m_pDlg->SuspendCount(), m_nSuspendsBefore);
    EXPECT_TRUE(Window().Control(IDC_ENTER_DOWNLOAD).bEnabled);
}

const SimCase kSimCases[] = {
    {"NoSim", CardReply::Text("+YSEC: 0,0"), "No sim card"},
    {"SimLowerCase", CardReply::Text("+ysec: 3,0"), "detect sim card"},
    {"KeywordAtStart", CardReply::Text("YSEC:0,0"), "unknow error!"},
    {"BothKeywords", CardReply::Text("+YSEC:3,0 +YSEC:0,0"), "No sim card"},
    {"OtherStatus", CardReply::Text("+YSEC: 1,0"), "unknow error!"},
    {"Rejected", CardReply::Text("ERROR"), "error!"},
    {"NoAnswer", CardReply::None(), "error!"},
    {"EmptyLine", CardReply::Empty(), "unknow error!"},
};

INSTANTIATE_TEST_SUITE_P(Answers, SimStatusTest, ::testing::ValuesIn(kSimCases),
                         [](const ::testing::TestParamInfo<SimCase>& info) { return info.param.name; });

// SimStatusMessage on answers a card line cannot carry through the channel's framing.
TEST(SimStatusMessageTest, NormalisesBeforeMatching)
{
    const struct {
        const char* pszAnswer;
        const char* pszMessage;
    } kCases[] = {
        {"error", "error!"},             // the channel's own "no answer"
        {" e r r o r ", "error!"},
        {"ERROR+YSEC:0,0", "No sim card"},
        {"+YSEC:\t0,0", "unknow error!"},   // only spaces are removed
        {"", "unknow error!"},
        {"+YSEC:3,0+YSEC:0,0", "No sim card"},
        {"YSEC:0,0+YSEC:0,0", "unknow error!"},   // the first occurrence decides
    };
    for (const auto& c : kCases)
        EXPECT_EQ(SimStatusMessage(c.pszAnswer), c.pszMessage) << c.pszAnswer;
}

// ---- Reverse Port -----------------------------------------------------------------------------------

enum class Reverse { NotConnected, PortFails, Opens };

struct ReverseCase {
    const char* name;
    int bEnglish;
    Reverse situation;
    const char* pszText;
};

class ReversePortTest : public CommandTest, public ::testing::WithParamInterface<ReverseCase> {};

// OnReversePort: no card, the no-card text and the monitor untouched; otherwise the monitor
// suspended for good, the port reopened, and the port text (with IDC_REVERSE_PORT and IDC_ENTER_DOWNLOAD enabled) or
// the fail text. Every box: no owner, "Error", MB_ICONHAND, language 0 (the user's own).
TEST_P(ReversePortTest, ReportsItsOutcomeInTheSystemLanguage)
{
    const ReverseCase& c = GetParam();
    m_bEnglish = c.bEnglish;
    SetConnected(Monitor(), c.situation == Reverse::NotConnected ? 0 : 1);
    m_pDlg->EnableControl(IDC_REVERSE_PORT, false);
    m_pDlg->EnableControl(IDC_ENTER_DOWNLOAD, false);
    Window().ClearLog();
    if (c.situation == Reverse::PortFails)
        m_pCard->SetFailOpen(true);

    m_pDlg->OnReversePort();

    std::vector<std::string> expectedLog = {std::string("box Error|") + c.pszText};
    if (c.situation == Reverse::PortFails) {
        expectedLog.push_back("enable IDC_REVERSE_PORT 1");
        expectedLog.push_back("enable IDC_ENTER_DOWNLOAD 1");
    }
    EXPECT_EQ(Window().Log(), expectedLog);
    const std::vector<HeadlessBox> boxes = Window().Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_FALSE(boxes[0].bOwned);
    EXPECT_EQ(boxes[0].nType, 0x10u);
    EXPECT_EQ(boxes[0].nLanguage, 0);

    const bool bTouched = c.situation != Reverse::NotConnected;
    EXPECT_EQ(m_pDlg->SuspendCount(), m_nSuspendsBefore + (bTouched ? 1 : 0));
    EXPECT_EQ(static_cast<int>(ReopensSinceSetUp().size()), c.situation == Reverse::Opens ? 1 : 0);
    EXPECT_TRUE(Sent().empty());
}

const ReverseCase kReverseCases[] = {
    {"EnglishNotConnected", 1, Reverse::NotConnected, "Port error,Not device connected!"},
    {"EnglishPortFails", 1, Reverse::PortFails, "initialize port error!"},
    {"EnglishOpens", 1, Reverse::Opens, "Reverse port fail"},
    // Code page 936 bytes of the Chinese texts.
    {"ChineseNotConnected", 0, Reverse::NotConnected,
     "\xB6\xCB\xBF\xDA\xB4\xED\xCE\xF3\xC3\xBB\xD3\xD0\xC3\xBB\xD3\xD0\xC1\xAC\xBD\xD3"},
    {"ChinesePortFails", 0, Reverse::PortFails, "\xB3\xF5\xCA\xBC\xBB\xAF\xB6\xCB\xBF\xDA\xB4\xED\xCE\xF3"},
    {"ChineseOpens", 0, Reverse::Opens, "\xBB\xD6\xB8\xB4\xB6\xCB\xBF\xDA\xCA\xA7\xB0\xDC"},
};

INSTANTIATE_TEST_SUITE_P(Outcomes, ReversePortTest, ::testing::ValuesIn(kReverseCases),
                         [](const ::testing::TestParamInfo<ReverseCase>& info) { return info.param.name; });

// A Reverse Port that suspended the monitor is never matched by a resume: a later command nests its
// own suspension on top and hands back only that one.
TEST_F(CommandTest, ReversePortLeavesTheMonitorSuspendedAcrossLaterCommands)
{
    SetConnected(Monitor(), 1);
    m_pDlg->OnReversePort();
    m_pDlg->OnSimStatus();
    EXPECT_EQ(m_pDlg->SuspendCount(), m_nSuspendsBefore + 1);
}

} // namespace
