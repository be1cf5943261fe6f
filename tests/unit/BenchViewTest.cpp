// The live bench table: its lines from the rows, and the view's in-place redrawing.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "cli/BenchView.h"
#include "cli/CliStatus.h"
#include "tests/support/WorkDirScope.h"

namespace {

CBenchRow Row(const std::string& strLabel, ESwitchPhase ePhase, double dSeconds, const std::string& strMessage)
{
    CBenchRow row;
    row.strLabel = strLabel;
    row.strSlot = "1-4." + strLabel;
    row.strModel = "E1550";
    row.strImei = "356938035643809";
    row.strCommand = "close-autorun";
    row.ePhase = ePhase;
    row.dSeconds = dSeconds;
    row.strMessage = strMessage;
    return row;
}

CBenchRow Finished(CBenchRow row, int nStatus)
{
    row.bFinished = true;
    row.nStatus = nStatus;
    return row;
}

// Columns line up under their names; unknowns are "-"; the summary counts each state.
TEST(BenchTableTest, ColumnsLineUpAndTheSummaryCounts)
{
    CBenchRow unknown = Row("3", ESwitchPhase::kWaiting, 0, "");
    unknown.strLabel.clear();
    unknown.strSlot.clear();
    unknown.strModel.clear();
    unknown.strImei.clear();
    const std::vector<std::string> lines =
        BenchTableLines({Finished(Row("1", ESwitchPhase::kDone, 1.04, "ok"), kCliOk),
                         Finished(Row("2", ESwitchPhase::kSent, 12.34, "no answer to AT+YCDRUN=8"), kCliRejected),
                         unknown},
                        200);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "label  slot   model  IMEI             command        phase    seconds  result");
    EXPECT_EQ(lines[1], "1      1-4.1  E1550  356938035643809  close-autorun  done         1.0  ok");
    EXPECT_EQ(lines[2], "2      1-4.2  E1550  356938035643809  close-autorun  sent        12.3  "
                        "failed (1): no answer to AT+YCDRUN=8");
    EXPECT_EQ(lines[3], "-      -      -      -                close-autorun  waiting      0.0  -");
    EXPECT_EQ(lines[4], "3 cards: 1 done, 1 failed, 1 running  12.3 s");
}

// What a card said can neither move the cursor nor break the line, and a cut line keeps within
// the width without splitting a character.
TEST(BenchTableTest, CardTextIsMadeVisibleAndCut)
{
    const struct {
        const char* pszName;
        std::string strMessage;
        size_t nRoom;            // bytes left for the result column
        std::string strEnd;      // how the row's line ends
    } kCases[] = {
        {"escape sequence", "a\x1b[2Jb", 100, "  a\\x1B[2Jb"},
        {"line break", "OK\r\nERROR", 100, "  OK\\r\\nERROR"},
        {"lone 8-bit CSI", "x\x9b" "2J", 100, "  x\\x9B2J"},
        {"UTF-8 C1 CSI", "x\xc2\x9b" "2J", 100, "  x\\xC2\\x9B2J"},
        {"valid UTF-8 kept", "caf\xc3\xa9", 100, "  caf\xc3\xa9"},
        {"cut at the width", std::string(300, 'x'), 10, "  xxxxxxxxxx"},
        {"cut before a split character", "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", 5, "  \xc3\xa9\xc3\xa9"},
    };
    // The line up to the result column, whose "-" is one byte.
    const size_t nFixed = BenchTableLines({Row("1", ESwitchPhase::kRunning, 0, "")}, 200)[1].size() - 1;
    for (const auto& c : kCases) {
        const size_t nWidth = nFixed + c.nRoom;
        const std::string strLine = BenchTableLines({Row("1", ESwitchPhase::kRunning, 0, c.strMessage)}, nWidth)[1];
        EXPECT_LE(strLine.size(), nWidth) << c.pszName;
        ASSERT_GE(strLine.size(), c.strEnd.size()) << c.pszName;
        EXPECT_EQ(strLine.substr(strLine.size() - c.strEnd.size()), c.strEnd) << c.pszName;
    }
}

// The view draws over what it drew: every frame after the first goes back up by the lines of the
// one before, and Finish leaves the final state last.
TEST(BenchViewTest, RedrawsInPlaceAndFinishesWithTheFinalState)
{
    CWorkDirScope dir("vostrel-bench-view");
    const std::filesystem::path path = dir.Dir() / "screen";
    FILE* pStream = std::fopen(path.string().c_str(), "wb");
    ASSERT_NE(pStream, nullptr);
    CBenchBoard board({Row("1", ESwitchPhase::kWaiting, 0, ""), Row("2", ESwitchPhase::kWaiting, 0, "")});
    const auto screen = [&] {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    {
        CBenchView view(board, pStream);
        board.Update(0, [](CBenchRow& row) { row.strMessage = "step 1"; });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (screen().find("step 1") == std::string::npos && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        board.Update(1, [](CBenchRow& row) { row = Finished(Row("2", ESwitchPhase::kDone, 0.5, "ok"), kCliOk); });
        const auto start = std::chrono::steady_clock::now();
        view.Finish();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    }
    std::fclose(pStream);

    const std::string strScreen = screen();
    ASSERT_NE(strScreen.find("step 1"), std::string::npos);
    size_t nFrames = 0;
    for (size_t nAt = strScreen.find("\r\x1b[2Klabel"); nAt != std::string::npos;
         nAt = strScreen.find("\r\x1b[2Klabel", nAt + 1)) {
        const std::string strBefore = nFrames == 0 ? "" : "\x1b[J\x1b[4A";
        EXPECT_EQ(strScreen.substr(nAt - strBefore.size(), strBefore.size()), strBefore) << "frame " << nFrames;
        ++nFrames;
    }
    EXPECT_GE(nFrames, 2u);
    const std::string strLast = "2 cards: 1 done, 0 failed, 1 running  0.5 s\n\x1b[J";
    EXPECT_EQ(strScreen.substr(strScreen.size() - strLast.size()), strLast);
}

} // namespace
