// vostrel-cli's pure parts: how a mode run is judged, how bytes are written in the transcript, and
// that transcript lines from many threads never mix.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "cli/CardRun.h"
#include "cli/CliStatus.h"
#include "cli/Output.h"
#include "cli/Transcript.h"

namespace {

// Exchanges written as the channel gives them: "error" is a card that sent no answer line.
CModeRunResult ModeRun(std::vector<CExchange> exchanges)
{
    for (CExchange& x : exchanges)
        x.bAnswered = x.strAnswer != "error";
    return CModeRunResult{std::move(exchanges)};
}

// A mode run's verdict as the command line reports it: the window's success rule gives 0; a card silent to every command 5; a rejected or
// unanswered first command, or bytes without an answer line, 1, naming the command.
TEST(ModeRunOutcomeTest, StatusAndMessageFollowTheAnswers)
{
    const struct {
        const char* pszName;
        CModeRunResult result;
        int nStatus;
        const char* pszMessage;
    } kCases[] = {
        {"both OK", ModeRun({{"AT+YCDRUN=E", "OK", true}, {"AT+YCDRUN=8", "OK", true}}), kCliOk, "ok"},
        {"second silent", ModeRun({{"AT+YCDRUN=E", "OK", true}, {"AT+YCDRUN=8", "error", true}}), kCliOk, "ok"},
        {"all silent", ModeRun({{"AT+YCDRUN=E", "error", true}, {"AT+YCDRUN=8", "error", true}}), kCliSilent,
         "no answer to any command: the card is silent"},
        {"second rejected", ModeRun({{"AT+YCDRUN=E", "OK", true}, {"AT+YCDRUN=8", "ERROR", true}}), kCliRejected,
         "the card rejected AT+YCDRUN=8 (ERROR)"},
        {"first unanswered", ModeRun({{"AT+YCDRUN=E", "error", true}, {"AT+YCDRUN=8", "OK", true}}), kCliRejected,
         "no answer to AT+YCDRUN=E"},
        {"nothing ran", ModeRun({}), kCliSilent, "no answer to any command: the card is silent"},
        {"garbage, no line", ModeRun({{"AT+YCDRUN=E", "error", true, false, 12}, {"AT+YCDRUN=8", "error", true}}),
         kCliRejected, "the card answered 12 bytes but no answer line to AT+YCDRUN=E"},
    };
    for (const auto& c : kCases) {
        const CCardOutcome outcome = ModeRunOutcome(c.result);
        EXPECT_EQ(outcome.nStatus, c.nStatus) << c.pszName;
        EXPECT_EQ(outcome.strMessage, c.pszMessage) << c.pszName;
    }
}

TEST(TranscriptTest, EscapesEveryByteThatIsNotPrintable)
{
    EXPECT_EQ(EscapeBytes(std::string("AT\r\r\nOK\r\n", 9)), "AT\\r\\r\\nOK\\r\\n");
    EXPECT_EQ(EscapeBytes(std::string("a\\b\0\x7F\xFF", 6)), "a\\\\b\\x00\\x7F\\xFF");
    // A card's answer must not steer the terminal: C1 controls, raw or encoded, and stray bytes.
    EXPECT_EQ(PrintableText("\x1B[2J\x9B" "2J\xC2\x9B" "2J caf\xC3\xA9"), "\\x1B[2J\\x9B2J\\xC2\\x9B2J caf\xC3\xA9");
}

// Eight threads log long lines at once: every line of the file is one whole traffic line.
TEST(TranscriptTest, LinesFromManyThreadsNeverMix)
{
    const std::filesystem::path path = std::filesystem::temp_directory_path() / "vostrel-cli-transcript-test.log";
    std::filesystem::remove(path);
    {
        CTranscript transcript;
        transcript.Attach(std::fopen(path.string().c_str(), "ab"));
        ASSERT_TRUE(transcript.IsOpen());
        std::vector<std::thread> threads;
        for (int nThread = 0; nThread < 8; ++nThread) {
            threads.emplace_back([&transcript, nThread] {
                const std::string strPort = "COM" + std::to_string(10 + nThread);
                // Built in place rather than as string(500, c) + "\r\n": GCC 12 at -O2 takes that
                // temporary's move for a copy out of its small buffer and warns (-Warray-bounds).
                std::string strLine(500, static_cast<char>('a' + nThread));
                strLine += "\r\n";
                for (int n = 0; n < 200; ++n)
                    transcript.Traffic(strPort, n % 2 == 0, strLine);
            });
        }
        for (std::thread& thread : threads)
            thread.join();
    }
    int nLines = 0;
    {
        std::ifstream file(path);   // closed before the remove: Windows refuses to remove an open file
        const std::regex line(R"(\d+ COM1(\d) [<>] ([a-h])\2{499}\\r\\n)");
        std::string strLine;
        while (std::getline(file, strLine)) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(strLine, match, line)) << strLine.substr(0, 80);
            EXPECT_EQ(match[2].str()[0] - 'a', match[1].str()[0] - '0');
            ++nLines;
        }
    }
    EXPECT_EQ(nLines, 8 * 200);
    std::filesystem::remove(path);
}

// Cards that give one serial number are all listed; one warning per serial names every such card.
TEST(DuplicateSerialWarningsTest, NamesEveryCardOfASerialOnce)
{
    auto Card = [](const char* pszId, const char* pszSerial) {
        CInventoryCard card;
        card.strId = pszId;
        card.strSerial = pszSerial;
        return card;
    };
    const std::vector<CInventoryCard> cards = {Card("1-1", "SAME"), Card("1-2", ""), Card("1-3", "OWN"),
                                               Card("1-4", ""), Card("2-1", "SAME"), Card("2-2", "SAME")};
    EXPECT_EQ(DuplicateSerialWarnings(cards),
              (std::vector<std::string>{
                  "cards 1-1 and 2-1 and 2-2 give the same USB serial number SAME: tell them apart by their slots"}));
}

} // namespace

