// A card command on several cards with --wait, the cards reached through test doubles: each switched
// card is followed by its slot and fails only its own row, a card named by its port number is
// followed too, one IMEI told by three cards is warned of, and a running row's seconds count up.
#include <gtest/gtest.h>

#include "cli/BenchCommand.h"
#include "cli/BenchView.h"
#include "cli/CliStatus.h"
#include "serial/SerialPort.h"

namespace {

CInventoryCard Card(const std::string& strId, const std::string& strDevice)
{
    CInventoryCard card;
    card.strId = strId;
    card.strSlot = strId;
    card.strVendorId = "1209";
    card.strProductId = "0001";
    card.ports.push_back({});
    card.ports.back().strDevice = strDevice;
    return card;
}

TEST(BenchCommandTest, FollowsEachSwitchedCardAndFailsOnlyItsOwnRow)
{
    std::vector<CInventoryCard> cards = {Card("1-1", "/dev/ttyUSB0"), Card("1-2", "/dev/ttyUSB2"),
                                         Card("1-3", SerialDeviceOfName("COM5"))};
    const std::string strImei = "356938035643809";
    CCliOptions options;
    options.strCommand = "close-autorun";
    options.pCommand = FindCardCommand("close-autorun");
    options.bWait = true;
    options.dLeaveTimeout = 3;
    options.dReturnTimeout = 0.5;
    std::vector<CTarget> targets = {{"1-1", "", &cards[0], "1-1", "A1"}, {"1-2", "", &cards[1], "1-2", "A2"},
                                    {"", "5", nullptr, "1-3", "A3"}};

    CBenchCardAccess access;
    access.runTarget = [&](CTarget& target) {
        CBenchRow outcome;
        outcome.strCard = target.strCard;
        outcome.strPort = target.pCard ? target.pCard->ports[0].strDevice : SerialDeviceOfName(target.strPort);
        outcome.strImei = strImei;
        outcome.strMessage = "ok";
        if (target.strCard == "1-2") {
            outcome.nStatus = kCliSilent;
            outcome.strMessage = "no answer to any command: the card is silent";
        }
        return outcome;
    };
    access.askReturned = [](const CInventoryCard&) { return std::pair<bool, std::string>(false, ""); };
    // The switched cards are gone at once; the silent one stays.
    access.lookAtSlots = [&](const std::vector<CInventoryCard>&) { return std::vector<CInventoryCard>{cards[1]}; };

    CRunShared shared;
    shared.bProgress = false;
    CBenchBoard board(FirstRows(options, targets, cards));
    const CCliReport report = RunCommand(options, targets, cards, shared, board, access);

    EXPECT_EQ(report.nStatus, kCliSilent);
    ASSERT_EQ(report.outcomes.size(), 3u);
    for (size_t n : {0u, 2u}) {
        EXPECT_EQ(report.outcomes[n].nStatus, kCliOk) << n << ": " << report.outcomes[n].strMessage;
        EXPECT_NE(report.outcomes[n].strMessage.find("ok: left after"), std::string::npos) << report.outcomes[n].strMessage;
        EXPECT_TRUE(report.outcomes[n].bFollowed) << n;
        EXPECT_EQ(report.outcomes[n].ePhase, ESwitchPhase::kLeft) << n;
    }
    EXPECT_FALSE(report.outcomes[1].bFollowed) << "a card whose command failed was followed";
    const std::vector<CBenchRow> rows = board.Snapshot();
    EXPECT_EQ(rows[2].strSlot, "1-3") << "the card named by its port number was not found";
    EXPECT_TRUE(rows[0].phaseSeconds[1] && rows[2].phaseSeconds[1]);
    EXPECT_EQ(rows[1].ePhase, ESwitchPhase::kDone);
    EXPECT_EQ(rows[1].nStatus, kCliSilent);
    for (const CBenchRow& row : rows)
        EXPECT_TRUE(row.bFinished && row.nStartTick);
    EXPECT_EQ(report.warnings, (std::vector<std::string>{"cards 1-1 and 1-2 and " + SerialDeviceOfName("COM5") +
                                                         " give the same IMEI " + strImei + ": tell them apart by their slots"}));
}

// The table counts a running card's seconds from its start; a finished one keeps its own.
TEST(BenchCommandTest, ARunningRowShowsItsSecondsSoFar)
{
    CBenchRow running;
    running.strCommand = "close-autorun";
    running.ePhase = ESwitchPhase::kSent;
    running.nStartTick = 1000;
    CBenchRow done = running;
    done.bFinished = true;
    done.dSeconds = 1.2;
    CBenchRow waiting;
    const std::vector<CBenchRow> rows = RowsSoFar({running, done, waiting}, 3500);
    EXPECT_EQ(rows[0].dSeconds, 2.5);
    EXPECT_EQ(rows[1].dSeconds, 1.2);
    EXPECT_EQ(rows[2].dSeconds, 0);
    const std::vector<std::string> lines = BenchTableLines(rows, 200);
    EXPECT_NE(lines[1].find("  2.5  "), std::string::npos) << lines[1];
    EXPECT_NE(lines.back().find("2.5 s"), std::string::npos) << lines.back();
}

} // namespace
