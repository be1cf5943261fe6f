// vostrel-cli on Linux from end to end: the program, started as it is from a shell, lists the cards
// of a umockdev device tree and talks to them, each of their ttys a simulated card on a pty. This
// program runs under umockdev-wrapper, and the program it starts inherits the testbed.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "RunProgram.h"
#include "UdevTestbed.h"
#include "tools/cardsim/pty/PtyCard.h"

namespace {

constexpr std::chrono::milliseconds kRunDeadline{30000};

// "1-1 12d1:1001 HW0001: 0 /dev/ttyUSB0 unknown, ..." from the JSON listing, with "AT?" after a port
// that was asked: "+" it answered, "-" it did not.
std::string JsonListingText(const nlohmann::json& j)
{
    std::string str;
    for (const nlohmann::json& card : j.at("cards")) {
        str += card.at("id").get<std::string>() + " " + card.at("vendor_id").get<std::string>() + ":" +
               card.at("product_id").get<std::string>() + " " + card.at("serial").get<std::string>() + ":";
        const char* pszSeparator = " ";
        for (const nlohmann::json& port : card.at("ports")) {
            str += pszSeparator + port.at("interface").dump() + " " + port.at("device").get<std::string>() + " " +
                   port.at("role").get<std::string>();
            if (port.contains("answers_at"))
                str += port.at("answers_at").get<bool>() ? " AT?+" : " AT?-";
            pszSeparator = ", ";
        }
        str += "\n";
    }
    return str;
}

// A three-interface card whose first interface is silent, a two-interface card and a one-port
// adapter on the same driver as the first card; every tty leads to a simulated card.
class CliUdevTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_testbed.InMockEnvironment()) << "run this program under umockdev-wrapper";
        const CUsbDeviceRecord devices[] = {
            {"1-1", "12d1", "1001", "HW0001",
             {{"00", "option", "ttyUSB0"}, {"01", "option", "ttyUSB1"}, {"02", "option", "ttyUSB2"}}},
            {"1-2", "05c6", "9215", "QC0002", {{"02", "qcserial", "ttyUSB3"}, {"03", "qcserial", "ttyUSB4"}}},
            {"1-3", "19d2", "0001", "ONE", {{"00", "option", "ttyUSB5"}}},
        };
        for (const CUsbDeviceRecord& d : devices) {
            ASSERT_EQ(m_testbed.Add(UdevRecordText(d)), "") << d.strName;
            for (const CUsbSerialInterface& i : d.interfaces) {
                const std::string strDevice = std::string("/dev/") + i.pszTty;
                CardOptions options;
                if (strDevice == "/dev/ttyUSB0")
                    options.fault = CardFault::Silent;
                auto pCard = std::make_unique<CPtyCard>(options);
                ASSERT_TRUE(pCard->Start()) << strDevice;
                ASSERT_TRUE(pCard->LinkTo(m_testbed.NodePath(strDevice))) << strDevice;
                ASSERT_EQ(m_testbed.PassIoctlsThrough(strDevice), "") << strDevice;
                m_cards[strDevice] = std::move(pCard);
            }
        }
    }

    CProgramRun Cli(std::vector<std::string> args)
    {
        args.insert(args.begin(), SiblingProgram("vostrel-cli"));
        CProgramRun run = RunProgram(args, kRunDeadline);
        EXPECT_TRUE(run.bStarted);
        EXPECT_FALSE(run.bTimedOut) << "killed at the deadline; standard error:\n" << run.strErr;
        return run;
    }

    CPtyCard& Card(const std::string& strDevice) { return *m_cards.at(strDevice); }

    // The command lines the card received from line nFrom of its transcript on, comma separated.
    std::string LinesFrom(const std::string& strDevice, size_t nFrom)
    {
        std::string str;
        const std::vector<CardTranscriptLine> lines = Card(strDevice).Transcript();
        for (size_t n = nFrom; n < lines.size(); ++n)
            str += (n > nFrom ? "," : "") + lines[n].strLine;
        return str;
    }

    CUdevTestbed m_testbed;
    std::map<std::string, std::unique_ptr<CPtyCard>> m_cards;   // by device node; gone before the testbed
};

TEST_F(CliUdevTest, ListsTheCardsWithoutOpeningAPort)
{
    const auto started = std::chrono::steady_clock::now();
    const CProgramRun plain = Cli({"list"});
    // A figure, not a check: start to exit of the listing of this tree.
    std::printf("list on the umockdev tree: %lld ms\n", static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                         std::chrono::steady_clock::now() - started).count()));
    EXPECT_EQ(plain.nStatus, 0) << plain.strErr;
    const std::string strSys = "/sys/devices/pci0000:00/0000:00:14.0/usb1/";
    EXPECT_EQ(plain.strOut,
              "card 1-1  slot 1-1  usb 12d1:1001  serial HW0001\n"
              "  /dev/ttyUSB0  unknown  interface 0  option  " + strSys + "1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0\n"
              "  /dev/ttyUSB1  unknown  interface 1  option  " + strSys + "1-1/1-1:1.1/ttyUSB1/tty/ttyUSB1\n"
              "  /dev/ttyUSB2  unknown  interface 2  option  " + strSys + "1-1/1-1:1.2/ttyUSB2/tty/ttyUSB2\n"
              "card 1-2  slot 1-2  usb 05c6:9215  serial QC0002\n"
              "  /dev/ttyUSB3  unknown  interface 2  qcserial  " + strSys + "1-2/1-2:1.2/ttyUSB3/tty/ttyUSB3\n"
              "  /dev/ttyUSB4  unknown  interface 3  qcserial  " + strSys + "1-2/1-2:1.3/ttyUSB4/tty/ttyUSB4\n");

    const CProgramRun json = Cli({"list", "--json"});
    EXPECT_EQ(json.nStatus, 0) << json.strErr;
    const nlohmann::json j = nlohmann::json::parse(json.strOut, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << json.strOut;
    EXPECT_EQ(JsonListingText(j),
              "1-1 12d1:1001 HW0001: 0 /dev/ttyUSB0 unknown, 1 /dev/ttyUSB1 unknown, 2 /dev/ttyUSB2 unknown\n"
              "1-2 05c6:9215 QC0002: 2 /dev/ttyUSB3 unknown, 3 /dev/ttyUSB4 unknown\n");

    for (const auto& [strDevice, pCard] : m_cards)
        EXPECT_EQ(pCard->ReceivedBytes(), "") << strDevice << ": a listing without --probe opened it";
}

// The automatic choice and the named card go only to listed cards' ports; the adapter is reached
// only when the user names it.
TEST_F(CliUdevTest, ProbesAndCommandsOnlyTheListedCards)
{
    const CProgramRun listing = Cli({"list", "--probe", "--json"});
    EXPECT_EQ(listing.nStatus, 0) << listing.strErr;
    const nlohmann::json j = nlohmann::json::parse(listing.strOut, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << listing.strOut;
    EXPECT_EQ(JsonListingText(j),
              "1-1 12d1:1001 HW0001: 0 /dev/ttyUSB0 unknown AT?-, 1 /dev/ttyUSB1 AT AT?+, 2 /dev/ttyUSB2 AT AT?+\n"
              "1-2 05c6:9215 QC0002: 2 /dev/ttyUSB3 AT AT?+, 3 /dev/ttyUSB4 AT AT?+\n");
    for (const nlohmann::json& card : j.at("cards"))
        EXPECT_EQ(card.at("model").dump() + " " + card.at("imei").dump(), "\"R2280-Y\" \"356938035643809\"");

    // No selection: the first card's lowest interface that answers, past the silent one.
    const size_t nSilentMark = Card("/dev/ttyUSB0").Transcript().size();
    const size_t nChosenMark = Card("/dev/ttyUSB1").Transcript().size();
    const size_t nNextMark = Card("/dev/ttyUSB2").Transcript().size();
    const CProgramRun probe = Cli({"probe"});
    EXPECT_EQ(probe.nStatus, 0) << probe.strErr;
    const std::string strIdentity = "model R2280-Y, imei 356938035643809";
    EXPECT_EQ(probe.strOut, "/dev/ttyUSB1 (card 1-1, slot 1-1, " + strIdentity + "): probe: ok\n") << probe.strErr;
    EXPECT_NE(LinesFrom("/dev/ttyUSB0", nSilentMark), "") << "the silent interface 0 was not tried first";
    EXPECT_EQ(LinesFrom("/dev/ttyUSB1", nChosenMark), "AT,AT+CGMM,AT+CGSN,AT");
    EXPECT_EQ(LinesFrom("/dev/ttyUSB2", nNextMark), "");

    const size_t nSecondMark = Card("/dev/ttyUSB3").Transcript().size();
    const std::string strSlots = testing::TempDir() + "cli-udev-slots";
    std::ofstream(strSlots) << "A1 1-1\nB2 1-2   # the second card\n";
    const CProgramRun close = Cli({"close-autorun", "--slots", strSlots, "--slot", "B2"});
    EXPECT_EQ(close.nStatus, 0) << close.strErr;
    EXPECT_EQ(close.strOut, "/dev/ttyUSB3 (card 1-2, slot 1-2 B2, " + strIdentity + "): close-autorun: ok\n") << close.strErr;
    EXPECT_EQ(LinesFrom("/dev/ttyUSB3", nSecondMark), "AT,AT+CGMM,AT+CGSN,AT+YCDRUN=E,AT+YCDRUN=8");
    EXPECT_TRUE(Card("/dev/ttyUSB3").DownloadMode());

    EXPECT_EQ(Card("/dev/ttyUSB5").ReceivedBytes(), "") << "the adapter's port was opened";

    const CProgramRun named = Cli({"probe", "--port", "/dev/ttyUSB5"});
    EXPECT_EQ(named.nStatus, 0) << named.strErr;
    EXPECT_EQ(named.strOut, "/dev/ttyUSB5 (" + strIdentity + "): probe: ok\n") << named.strErr;
    EXPECT_EQ(LinesFrom("/dev/ttyUSB5", 0), "AT+CGMM,AT+CGSN,AT");
}

// Every path to a card names why its ports could not be opened (here: another program holds them),
// with status 4; never "the card is silent".
TEST_F(CliUdevTest, PortsThatCannotBeOpenedGiveTheirCause)
{
    std::vector<int> held;
    for (const char* pszDevice : {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB3", "/dev/ttyUSB4"}) {
        const int fd = open(pszDevice, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd, 0) << pszDevice;
        ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << pszDevice;
        held.push_back(fd);
    }
    const std::vector<std::vector<std::string>> kRuns = {
        {"probe"}, {"close-autorun", "--card", "1-2"}, {"close-autorun", "--all"}, {"list", "--probe"}};
    for (const std::vector<std::string>& args : kRuns) {
        const CProgramRun run = Cli(args);
        EXPECT_EQ(run.nStatus, 4) << args[0] << "\n" << run.strOut << run.strErr;
        EXPECT_NE((run.strOut + run.strErr).find("flock: device busy: another program holds the port"), std::string::npos)
            << args[0] << "\n" << run.strOut << run.strErr;
    }
    for (int fd : held)
        close(fd);
}

// Ctrl-C while every card waits between its two commands: nothing more is sent, each card's result
// says where it stopped, the JSON document and the transcript are complete, and the ports are
// usable at once by the next run (the cards keep their ends open, so a flag left on a tty would
// refuse it).
TEST_F(CliUdevTest, InterruptionStopsEveryCardAndHandsItsPortBack)
{
    const std::string strLog = ::testing::TempDir() + "vostrel-cli-interrupt.log";
    std::remove(strLog.c_str());
    Card("/dev/ttyUSB0").SetOptions({});   // both cards start at once: the first one's interface 0 answers
    const size_t nFirstMark = Card("/dev/ttyUSB0").Transcript().size();
    const size_t nSecondMark = Card("/dev/ttyUSB3").Transcript().size();
    bool bSent = false;
    const CProgramRun run = RunProgram({SiblingProgram("vostrel-cli"), "close-autorun", "--all", "--json", "--log", strLog}, kRunDeadline,
                                       [&](pid_t pid) {
                                           if (!bSent && Card("/dev/ttyUSB0").CountOf("AT+YCDRUN=E") > 0 &&
                                               Card("/dev/ttyUSB3").CountOf("AT+YCDRUN=E") > 0)
                                               bSent = kill(pid, SIGINT) == 0;
                                       });
    ASSERT_TRUE(bSent) << run.strErr;
    EXPECT_EQ(run.nStatus, 130) << run.strErr;
    const nlohmann::json j = nlohmann::json::parse(run.strOut, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << run.strOut;
    EXPECT_EQ(j.at("status"), 130);
    ASSERT_EQ(j.at("results").size(), 2u) << run.strOut;
    for (const nlohmann::json& result : j.at("results")) {
        EXPECT_EQ(result.at("status"), 130) << result.dump();
        EXPECT_EQ(result.at("message"), "interrupted after AT+YCDRUN=E") << result.dump();
    }
    EXPECT_EQ(LinesFrom("/dev/ttyUSB0", nFirstMark), "AT,AT+CGMM,AT+CGSN,AT+YCDRUN=E");
    EXPECT_EQ(LinesFrom("/dev/ttyUSB3", nSecondMark), "AT,AT+CGMM,AT+CGSN,AT+YCDRUN=E");

    std::stringstream log;
    log << std::ifstream(strLog).rdbuf();
    const std::string strAbout = ", model R2280-Y, imei 356938035643809): close-autorun: failed (130): interrupted after AT+YCDRUN=E\n";
    EXPECT_NE(log.str().find("# outcome /dev/ttyUSB0 (card 1-1, slot 1-1" + strAbout), std::string::npos) << log.str();
    EXPECT_NE(log.str().find("# outcome /dev/ttyUSB3 (card 1-2, slot 1-2" + strAbout), std::string::npos) << log.str();
    std::remove(strLog.c_str());

    const CProgramRun next = Cli({"probe", "--card", "1-2"});
    EXPECT_EQ(next.nStatus, 0) << next.strOut << next.strErr;
}

} // namespace
