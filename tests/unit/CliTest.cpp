// vostrel-cli's pure parts: how a mode run is judged, how bytes are written in the transcript, that
// transcript lines from many threads never mix, and when a run's watch on its ports can be believed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <thread>
#include <utility>

#include "cli/CardRun.h"
#include "cli/CliStatus.h"
#include "cli/OpenWatch.h"
#include "cli/Output.h"
#include "cli/Transcript.h"
#include "tests/support/ModeCommandTexts.h"

namespace {

const std::string kOk = "\r\nOK\r\n";

// One write of the command and the bytes the card sent back to it, typed as the channel types them.
CExchange X(const std::string& strCommand, const std::string& strReply, int nAttempt = 1, bool bLastAttempt = true)
{
    CExchange x;
    x.strCommand = strCommand;
    x.reply = ParseCardReply(strReply, strCommand);
    x.bSent = true;
    x.nReplyBytes = static_cast<int>(strReply.size() - x.reply.nBodyStart);
    x.nAttempt = nAttempt;
    x.bLastAttempt = bLastAttempt;
    return x;
}

CModeRunResult ModeRun(std::vector<CExchange> exchanges)
{
    return CModeRunResult{std::move(exchanges)};
}

// A mode run's verdict as the command line reports it, from the final results: the window's success
// rule gives 0; a card silent to every command 5; a first command rejected (whatever came first) or
// unanswered, or bytes without an answer line, 1, naming the command and the card's result.
TEST(ModeRunOutcomeTest, StatusAndMessageFollowTheAnswers)
{
    const struct {
        const char* pszName;
        CModeRunResult result;
        int nStatus;
        const char* pszMessage;
    } kCases[] = {
        {"both OK", ModeRun({X(E, kOk), X(K8, kOk)}), kCliOk, "ok"},
        {"second silent", ModeRun({X(E, kOk), X(K8, "")}), kCliOk, "ok"},
        {"all silent", ModeRun({X(E, ""), X(K8, "")}), kCliSilent, "no answer to any command: the card is silent"},
        {"second rejected", ModeRun({X(E, kOk), X(K8, "\r\nERROR\r\n")}), kCliRejected,
         "the card rejected AT+YCDRUN=8 (ERROR)"},
        {"second rejected, +CME", ModeRun({X(E, kOk), X(K8, "\r\n+CME ERROR: 3\r\n")}), kCliRejected,
         "the card rejected AT+YCDRUN=8 (+CME ERROR: 3)"},
        {"first unanswered", ModeRun({X(E, ""), X(K8, kOk)}), kCliRejected, "no answer to AT+YCDRUN=E"},
        {"nothing ran", ModeRun({}), kCliSilent, "no answer to any command: the card is silent"},
        {"garbage, no line", ModeRun({X(E, "\xfe\x7f#@!%&*?~\xff" "1"), X(K8, "")}), kCliRejected,
         "the card sent 12 bytes but no answer line to AT+YCDRUN=E"},
        // The verdict reads the final result, not the first line.
        {"unsolicited, then ERROR", ModeRun({X(E, "AT+YCDRUN=E\r\r\n+CREG: 1\r\n\r\nERROR\r\n"), X(K8, kOk)}),
         kCliRejected, "the card rejected AT+YCDRUN=E (ERROR)"},
        {"information, then ERROR", ModeRun({X(E, "\r\nbusy\r\n\r\nERROR\r\n"), X(K8, kOk)}), kCliRejected,
         "the card rejected AT+YCDRUN=E (ERROR)"},
        {"late answer before the echo", ModeRun({X(E, "AT+CGMM\r\r\nR2280-Y\r\n\r\nOK\r\nAT+YCDRUN=E\r\r\nERROR\r\n"), X(K8, kOk)}),
         kCliRejected, "the card rejected AT+YCDRUN=E (ERROR)"},
        {"NO CARRIER", ModeRun({X(E, "\r\nNO CARRIER\r\n"), X(K8, kOk)}), kCliRejected,
         "the card rejected AT+YCDRUN=E (NO CARRIER)"},
        {"unsolicited only", ModeRun({X(E, "\r\n+CREG: 1\r\n"), X(K8, kOk)}), kCliRejected, "no answer to AT+YCDRUN=E"},
        // Each write is an exchange: the resend's reply is the command's.
        {"resent, then OK", ModeRun({X(E, "", 1, false), X(E, kOk, 2), X(K8, kOk)}), kCliOk, "ok"},
        {"OK, then resent and rejected", ModeRun({X(E, kOk), X(K8, "", 1, false), X(K8, "\r\nERROR\r\n", 2)}),
         kCliRejected, "the card rejected AT+YCDRUN=8 (ERROR)"},
    };
    for (const auto& c : kCases) {
        const CBenchRow outcome = ModeRunOutcome(c.result);
        EXPECT_EQ(outcome.nStatus, c.nStatus) << c.pszName;
        EXPECT_EQ(outcome.strMessage, c.pszMessage) << c.pszName;
    }
}

// Progress shows each write of a command, its answer and final result, the unsolicited lines and
// the stale bytes it skipped.
TEST(ModeRunOutcomeTest, ProgressShowsEveryWrite)
{
    EXPECT_EQ(ExchangeText(X(E, "", 1, false)), "AT+YCDRUN=E -> no answer; sending it again");
    EXPECT_EQ(ExchangeText(X(E, kOk, 2)), "AT+YCDRUN=E (sent again) -> \"OK\"");
    EXPECT_EQ(ExchangeText(X("AT+CGMM", "\r\n^RSSI:9\r\n\r\nR2280-Y\r\n\r\nOK\r\n")),
              "AT+CGMM -> \"R2280-Y\", then OK; unsolicited \"^RSSI:9\"");
    EXPECT_EQ(ExchangeText(X(E, "\r\nOK\r\nAT+YCDRUN=E\r\r\nERROR\r\n")),
              "AT+YCDRUN=E -> \"ERROR\"; 6 stale bytes before it");
    CExchange unsent;
    unsent.strCommand = E;
    EXPECT_EQ(ExchangeText(unsent), "AT+YCDRUN=E -> not sent");
}

TEST(TranscriptTest, EscapesEveryByteThatIsNotPrintable)
{
    EXPECT_EQ(EscapeBytes(std::string("AT\r\r\nOK\r\n", 9)), "AT\\r\\r\\nOK\\r\\n");
    EXPECT_EQ(EscapeBytes(std::string("a\\b\0\x7F\xFF", 6)), "a\\\\b\\x00\\x7F\\xFF");
    // A card's answer in a transcript that ends up in a shell start-up file runs nothing.
    EXPECT_EQ(EscapeTranscriptBytes("x;touch /tmp/P|`id`$(id)&<>'\"#\r\n"),
              "x\\x3Btouch /tmp/P\\x7C\\x60id\\x60\\x24\\x28id\\x29\\x26\\x3C\\x3E\\x27\\x22\\x23\\r\\n");
    // A card's answer must not steer the terminal or reorder what is shown: C1 controls, raw or
    // encoded, stray bytes, and the bidirectional overrides, embeddings and isolates.
    const struct {
        const char* pszText;
        const char* pszShown;    // on a terminal and in the CSV
        const char* pszJson;     // as a JSON string
    } kCases[] = {
        {"\x1B[2J\x9B" "2J\xC2\x9B" "2J caf\xC3\xA9", "\\x1B[2J\\x9B2J\\xC2\\x9B2J caf\xC3\xA9",
         "\"\\u001b[2J\\\\x9B2J\\u009b2J caf\xC3\xA9\""},
        {"R2280\xE2\x80\xAEY-\xE2\x81\xA6x\xE2\x81\xA9", "R2280\\xE2\\x80\\xAEY-\\xE2\\x81\\xA6x\\xE2\\x81\\xA9",
         "\"R2280\\u202eY-\\u2066x\\u2069\""},
        {"\xE2\x80\xA9 \xE2\x80\xAF", "\xE2\x80\xA9 \xE2\x80\xAF", "\"\xE2\x80\xA9 \xE2\x80\xAF\""},   // neighbours stay
        {"\\\\.\\COM5", "\\\\.\\COM5", "\"\\\\\\\\.\\\\COM5\""},   // UTF-8: backslashes as JSON has them
        {"a\\b\xFF", "a\\b\\xFF", "\"a\\\\\\\\b\\\\xFF\""},   // not UTF-8: its backslashes doubled
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(PrintableText(c.pszText), c.pszShown) << c.pszText;
        EXPECT_EQ(JsonDumpText(nlohmann::json(c.pszText), -1), c.pszJson) << c.pszText;
    }
}

// A flooding card: the transcript keeps the first MiB of its bytes and says how much it left out.
TEST(TranscriptTest, KeepsOneMibOfACardsBytes)
{
    const std::filesystem::path path = std::filesystem::temp_directory_path() / "vostrel-cli-flood-test.log";
    std::filesystem::remove(path);
    {
        CTranscript transcript;
        transcript.Attach(std::fopen(path.string().c_str(), "ab"));
        const std::string strChunk(64 * 1024, 'z');
        for (int n = 0; n < 20; ++n)
            transcript.Traffic("COM5", false, strChunk);
        transcript.Traffic("COM5", true, "AT\r");
        transcript.Traffic("COM6", false, "OK");
    }
    std::string strText;
    {
        std::ifstream in(path);   // closed before the remove: Windows removes no open file
        strText.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    EXPECT_EQ(std::count(strText.begin(), strText.end(), 'z'), 1024 * 1024);
    EXPECT_NE(strText.find("COM5 > AT\\r\n"), std::string::npos);
    EXPECT_NE(strText.find("COM6 < OK\n"), std::string::npos);
    EXPECT_NE(strText.find("# COM5: 262144 more bytes from the card left out"), std::string::npos) << strText.substr(strText.size() - 300);
    std::filesystem::remove(path);
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

// The system's reports as a test scripts them: node 1 has two names, node 2 one, anything else
// cannot be watched.
class CScriptedOpens : public IDeviceOpenSource {
public:
    std::vector<CDeviceOpenReport> pending;
    int Watch(const std::string& strDevice) override
    {
        const std::map<std::string, int> nodes = {{"/dev/ttyUSB2", 1}, {"/dev/serial/by-id/card", 1}, {"/dev/ttyUSB3", 2}};
        const auto it = nodes.find(strDevice);
        return it == nodes.end() ? -1 : it->second;
    }
    void EndWatch(int) override {}
    std::vector<CDeviceOpenReport> Read() override { return std::exchange(pending, {}); }
};

// The look after a run is left out only when every open reported since the watch began was the
// run's own, each seen as one report: another's open (before, during or after ours), an own open
// the watch did not see, a removed node or lost reports all call for it.
TEST(RunOpenWatchTest, OnlyTheRunsOwnOpensLeaveOutTheLookAfterTheRun)
{
    const struct {
        const char* pszCase;
        std::vector<std::string> steps;   // "opened N"/"gone N": another opened node N/N was removed
        bool bOnlyOwn;
    } kCases[] = {
        {"nobody else", {"watch", "own"}, true},
        {"the run reopens its port", {"watch", "own", "own"}, true},
        {"its port by another name of the node", {"watch", "own by-id"}, true},
        {"an open before the watch began (the look sees it)", {"opened 1", "watch", "own"}, true},
        {"a failed open that never reached the node", {"watch", "own failed", "own"}, true},
        {"another opened it after the look", {"watch", "opened 1", "own"}, false},
        {"another opened the card's other port mid-run", {"watch", "own", "opened 2"}, false},
        {"another opened it while ours did", {"watch", "own with another"}, false},
        {"our open was not reported", {"watch", "own unseen"}, false},
        {"a failed open that opened the node", {"watch", "own failed after opening", "own"}, false},
        {"the node was removed", {"watch", "own", "gone 1"}, false},
        {"reports were lost", {"watch", "own", "lost"}, false},
        {"a port that cannot be watched", {"watch /dev/ttyACM9", "own"}, false},
    };
    for (const auto& c : kCases) {
        auto owned = std::make_unique<CScriptedOpens>();
        CScriptedOpens& system = *owned;
        CDeviceOpenCounts counts(std::move(owned));
        std::optional<CRunOpenWatch> watch;
        for (const std::string& strStep : c.steps) {
            const auto Own = [&](const std::string& strDevice, bool bOpens, std::vector<int> reports) {
                watch->OwnOpen(strDevice, [&] {
                    for (int nWatch : reports)
                        system.pending.push_back({nWatch, true});
                    return bOpens;
                });
            };
            if (strStep.rfind("watch", 0) == 0) {
                std::vector<std::string> devices = {"/dev/ttyUSB2", "/dev/ttyUSB3", "/dev/serial/by-id/card"};
                if (strStep.size() > 6)
                    devices.push_back(strStep.substr(6));
                watch.emplace(counts, devices);
            } else if (strStep.rfind("opened ", 0) == 0 || strStep.rfind("gone ", 0) == 0) {
                system.pending.push_back({std::stoi(strStep.substr(strStep.find(' ') + 1)), strStep[0] == 'o'});
            } else if (strStep == "lost") {
                system.pending.push_back({-1, false});
            } else if (strStep == "own" || strStep == "own by-id") {
                Own(strStep == "own" ? "/dev/ttyUSB2" : "/dev/serial/by-id/card", true, {1});
            } else if (strStep == "own with another") {
                Own("/dev/ttyUSB2", true, {1, 1});
            } else if (strStep == "own unseen") {
                Own("/dev/ttyUSB2", true, {});
            } else {
                Own("/dev/ttyUSB2", false, strStep == "own failed" ? std::vector<int>{} : std::vector<int>{1});
            }
        }
        EXPECT_EQ(watch->OnlyOwnOpens(), c.bOnlyOwn) << c.pszCase;
    }
}

} // namespace

