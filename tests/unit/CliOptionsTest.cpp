// vostrel-cli's command line as the option table reads it: every usage error in words, values that
// merely start with a dash, numbers that are none, a --report that could not be written, and the
// options each subcommand's help lists. Target selection by a port however it is written.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "cli/CliOptions.h"
#include "cli/OptionChecks.h"
#include "cli/Targets.h"
#include "serial/SerialPort.h"

namespace {

CCommandLine Read(const std::vector<std::string>& args, std::string* pOut = nullptr)
{
    std::ostringstream out, err;
    CCommandLine line = ReadCommandLine("vostrel-cli", args, out, err);
    if (pOut)
        *pOut = out.str();
    return line;
}

TEST(CliOptionsTest, UsageErrorsSayWhatIsWrong)
{
    const std::string strDir = testing::TempDir() + "vostrel-report-dir.csv";
    std::filesystem::create_directories(strDir);
    const struct {
        std::vector<std::string> args;
        const char* pszProblem;   // a part of the usage error; "" for none
    } kCases[] = {
        {{"frobnicate"}, "unknown subcommand \"frobnicate\" (the subcommands: list, hold, udev-rule, probe, close-autorun"},
        {{"hold"}, "DEVICE is required"},
        {{"prob", "--port", "x"}, "unknown subcommand \"prob\": did you mean \"probe\"?"},
        {{"--port", "list"}, "no subcommand given"},
        {{"--bogus-option", "list"}, "--bogus-option"},
        {{"probe", "--port", "x", "--card", "y"}, "--port excludes --card"},
        {{"probe", "--slot", "1-1", "--port", "x"}, "excludes"},
        {{"probe", "--port", "COM5", "--all"}, "excludes"},
        {{"close-autorun", "--port", ""}, "--port needs a port name (COM5, 5 or /dev/ttyUSB2), but its value is empty"},
        {{"close-autorun", "--card", " ", "--json"}, "--card needs a card id as list shows it, but its value is empty"},
        {{"close-autorun", "--port=", "--quiet"}, "but got \"--quiet\", which is an option"},
        {{"probe", "--card", "-5"}, ""},
        {{"probe", "--port=-"}, ""},
        {{"list", "--all"}, "list lists every card: --port, --card, --slot and --all choose the card"},
        {{"probe", "--wait"}, "--wait follows a card through its switch: only the commands that switch it take it (close-autorun, open-autorun)"},
        {{"close-autorun", "--leave-timeout", "5"}, "are the times of --wait, which is not given"},
        {{"close-autorun", "--wait", "--leave-timeout", "nan"}, "--leave-timeout: \"nan\" is not a number"},
        {{"open-autorun", "--wait", "--return-timeout", "inf"}, "--return-timeout: \"inf\" is not a number"},
        {{"close-autorun", "--wait", "--leave-timeout", "0x2"}, "\"0x2\" is not a number"},
        {{"close-autorun", "--wait", "--leave-timeout", "0x1p0"}, "\"0x1p0\" is not a number"},
        {{"close-autorun", "--wait", "--leave-timeout", " 1"}, "\" 1\" is not a number"},
        {{"close-autorun", "--wait", "--leave-timeout", "1e1"}, "\"1e1\" is not a number"},
        {{"close-autorun", "--jobs", "0x10"}, "\"0x10\" is not a number"},
        {{"close-autorun", "--jobs", "010"}, "without leading zeros"},
        {{"probe", "--bogus=\x1b[2J\xe2\x80\xae"}, "\\x1B[2J\\xE2\\x80\\xAE"},
        {{"close-autorun", "--wait", "--return-timeout", "0.1"}, "not in range"},
        {{"close-autorun", "--jobs", "abc"}, "--jobs: \"abc\" is not a number"},
        {{"close-autorun", "--stagger", "2.5"}, "--stagger: \"2.5\" is not a number"},
        {{"list", "--report", "x.csv"}, "--report keeps the rows of a card command's run; list has none"},
        {{"probe", "--report", "x.txt"}, "--report needs a file name ending in .csv or .json, not \"x.txt\""},
        {{"probe", "--report", testing::TempDir() + "no-such-folder/bench.csv"}, "cannot be written: its folder"},
        {{"probe", "--report", strDir}, "cannot be written: it is a folder"},
        {{"list", "--slots", testing::TempDir() + "no-such-slots-file"}, "cannot be read"},
        {{"close-autorun", "--port", "5", "--wait", "--leave-timeout", "2.5", "--jobs", "3"}, ""},
    };
    for (const auto& c : kCases) {
        const CCommandLine line = Read(c.args);
        std::string strArgs;
        for (const std::string& str : c.args)
            strArgs += " " + str;
        if (*c.pszProblem == '\0') {
            EXPECT_FALSE(line.strUsage) << strArgs << ": " << *line.strUsage;
        } else {
            ASSERT_TRUE(line.strUsage) << strArgs;
            EXPECT_NE(line.strUsage->find(c.pszProblem), std::string::npos) << strArgs << ": " << *line.strUsage;
        }
    }
    std::filesystem::remove(strDir);
    const CCliOptions options = Read({"close-autorun", "--port", "5", "--wait", "--leave-timeout", "2.5", "--jobs", "3"}).options;
    EXPECT_EQ(options.strCommand, "close-autorun");
    EXPECT_EQ(options.dLeaveTimeout, 2.5);
    EXPECT_EQ(options.dReturnTimeout, CSwitchTimes{}.nReturnMs / 1000.0);
    EXPECT_EQ(options.nJobs, 3u);
}

// Each subcommand's help lists the options it takes, wherever they stand on the command line.
TEST(CliOptionsTest, EachSubcommandsHelpListsItsOptions)
{
    const struct {
        const char* pszCommand;
        std::vector<std::string> listed, notListed;
    } kCases[] = {
        {"close-autorun", {"--port PORT", "--all", "--wait", "--leave-timeout", "--report FILE", "--jobs"}, {"--probe", "Signals"}},
        {"probe", {"--port PORT", "--slot SLOT", "--log FILE"}, {"--wait", "--return-timeout"}},
        {"list", {"--probe", "--slots FILE", "--json", "--log FILE"}, {"--port", "--all", "--report"}},
        {"hold", {"DEVICE", "--no-inhibit"}, {"--all", "--wait"}},
    };
    for (const auto& c : kCases) {
        std::string strHelp;
        const CCommandLine line = Read({c.pszCommand, "--help"}, &strHelp);
        EXPECT_EQ(line.nExit, 0) << c.pszCommand;
        for (const std::string& str : c.listed)
            EXPECT_NE(strHelp.find("  " + str), std::string::npos) << c.pszCommand << " lacks " << str << ":\n" << strHelp;
        for (const std::string& str : c.notListed)
            EXPECT_EQ(strHelp.find(str), std::string::npos) << c.pszCommand << " lists " << str << ":\n" << strHelp;
    }
    std::string strHelp;
    Read({"--help"}, &strHelp);
    EXPECT_NE(strHelp.find("Signals ("), std::string::npos) << strHelp;
}

// A port is found among the listed cards however the user wrote it, so its slot and label show
// in every result (on Windows "--port 5" once found no slot while "--port COM5" did); --wait needs
// every target's slot before anything is sent.
TEST(TargetSelectionTest, APortFindsItsCardHoweverItIsWritten)
{
    const auto kNoWindowChoice = [] { return std::optional<std::string>(); };
    CInventoryCard card;
    card.strId = "7&1a&0";
    card.strSlot = "1-4.2";
    card.ports.push_back({});
    card.ports.back().strDevice = SerialDeviceOfName("COM5");
    CSlotLabels labels;
    ASSERT_FALSE(ParseSlotLabels("A1 1-4.2\n", labels));
    for (const char* pszPort : {"5", "com5", "COM5"}) {
        std::vector<CInventoryCard> cards = {card};
        std::vector<CTarget> targets;
        ASSERT_FALSE(SelectTargets({pszPort, "", "", false}, labels, cards, kNoWindowChoice, targets)) << pszPort;
        ASSERT_EQ(targets.size(), 1u);
        EXPECT_EQ(targets[0].strSlot, "1-4.2") << pszPort;
        EXPECT_EQ(targets[0].strLabel, "A1") << pszPort;
        EXPECT_EQ(CardOfTarget(targets[0], cards), &cards[0]) << pszPort;
        EXPECT_FALSE(CheckTargetsCanBeFollowed(targets)) << pszPort;
    }
    std::vector<CInventoryCard> cards = {card};
    std::vector<CTarget> targets;
    ASSERT_FALSE(SelectTargets({"COM7", "", "", false}, labels, cards, kNoWindowChoice, targets));
    EXPECT_EQ(targets[0].strSlot, "");
    const std::optional<std::string> strCannot = CheckTargetsCanBeFollowed(targets);
    ASSERT_TRUE(strCannot);
    EXPECT_NE(strCannot->find("the slot of " + SerialDeviceOfName("COM7") + " is unknown"), std::string::npos) << *strCannot;
}

} // namespace
