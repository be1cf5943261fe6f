// The simulated bench's re-enumeration rule: when a switched card drops off the bus, and what comes
// back when. Times are milliseconds; the quiet time is 400, the return delay 2000.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/bench/BenchRule.h"

namespace {

struct CLine {
    int64_t nMs;
    const char* pszLine;
};

// "<ms> leave|back|hide|show card|download [moved] [newimei]" for every action due, polled every 10 ms.
std::string Actions(CBenchFault fault, const std::vector<CLine>& lines, int64_t nUntilMs)
{
    CReenumerationRule rule(1, 400, 2000);
    rule.SetFault(0, fault);
    const char* const kKinds[] = {"leave", "back", "hide", "show"};
    std::string str;
    size_t nNext = 0;
    for (int64_t nMs = 0; nMs <= nUntilMs; nMs += 10) {
        for (; nNext < lines.size() && lines[nNext].nMs <= nMs; ++nNext)
            rule.OnLine(0, lines[nNext].pszLine, nMs);
        for (const CBenchAction& a : rule.Due(nMs))
            str += std::to_string(nMs) + " " + kKinds[a.eKind] + " " +
                   (a.eShape == EBenchShape::kCard ? "card" : "download") + (a.bMoved ? " moved" : "") +
                   (a.bNewImei ? " newimei" : "") + "\n";
    }
    return str;
}

TEST(BenchRule, SwitchedCardsLeaveAfterAQuietLineAndComeBackAsTheModeSays)
{
    const CBenchFault kNone{};
    struct CCase {
        const char* pszName;
        CBenchFault fault;
        std::vector<CLine> lines;
        std::string strExpected;
    } const kCases[] = {
        {"download mode", kNone, {{0, "AT+YCDRUN=E"}, {100, "at+ycdrun=8"}}, "500 leave card\n2500 back download\n"},
        // The tool asks the model right after =9: the card waits until the line is quiet.
        {"exit, then more lines", kNone, {{0, "AT+YCDRUN=9"}, {300, "AT+CGMM"}, {600, "AT+YCDRUN=N"}},
         "1000 leave card\n3000 back card\n"},
        {"no mode command", kNone, {{0, "AT"}, {100, "AT+YCDRUN=E"}, {200, "AT+CGSN"}}, ""},
        {"stay", {EBenchFault::kStay, 0}, {{0, "AT+YCDRUN=8"}}, ""},
        {"blink", {EBenchFault::kBlink, 0}, {{0, "AT+YCDRUN=8"}}, "400 hide card\n800 show card\n"},
        {"gone", {EBenchFault::kGone, 0}, {{0, "AT+YCDRUN=8"}}, "400 leave card\n"},
        {"moved", {EBenchFault::kMoved, 0}, {{0, "AT+YCDRUN=9"}}, "400 leave card\n2400 back card moved\n"},
        {"newimei", {EBenchFault::kNewImei, 0}, {{0, "AT+YCDRUN=N"}}, "400 leave card\n2400 back card newimei\n"},
        // Away, or a download device: what it is sent changes nothing.
        {"lines while away", kNone, {{0, "AT+YCDRUN=8"}, {1000, "AT+YCDRUN=9"}, {3000, "AT+YCDRUN=9"}},
         "400 leave card\n2400 back download\n"},
        {"pulled", {EBenchFault::kPull, 250}, {{0, "AT"}}, "250 leave card\n"},
        {"pulled while away", {EBenchFault::kPull, 1000}, {{0, "AT+YCDRUN=8"}}, "400 leave card\n"},
    };
    for (const CCase& c : kCases)
        EXPECT_EQ(Actions(c.fault, c.lines, 6000), c.strExpected) << c.pszName;
}

TEST(BenchRule, ParsesFaults)
{
    EXPECT_EQ(ParseBenchFault("moved")->eKind, EBenchFault::kMoved);
    EXPECT_EQ(ParseBenchFault("pull@1500")->nPullMs, 1500);
    for (const char* psz : {"", "pull@", "pull@-1", "pull@5x", "Stay", "gone "})
        EXPECT_FALSE(ParseBenchFault(psz).has_value()) << psz;
}

} // namespace
