// Wall time of the AT channel over the Win32 serial port (under Wine) against simulated cards: an
// answered Exchange, whose floor is the settle rule's two 150 ms sleeps, and a Probe of a silent
// card with the monitor's settings, which should cost 2 x 4 poll cycles.
//
// Run through scripts/with-cardsim.sh with an answering card named ECHO and a silent one named
// SILENT (see bench/README.md). usage: bench_exchange_win.exe [ROUNDS [SILENT_ROUNDS]]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/BenchStats.h"
#include "serial/AtChannel.h"

namespace {

constexpr double kSettleFloorMs = 300;
constexpr double kSilentProbeMs = 2400;

int CardComNumber(const char* pszName)
{
    const char* pszValue = std::getenv((std::string("VOSTREL_CARD_") + pszName).c_str());
    return pszValue ? std::atoi(pszValue) : 0;
}

// Opens the channel the way the port monitor does: 115200 8N1, then 1000 ms and 2 attempts.
bool OpenLikeMonitor(CAtChannel& channel, int nPort)
{
    return nPort != 0 && channel.OpenCardPort(nPort) != 0;
}

} // namespace

int main(int argc, char** argv)
{
    const int nRounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int nSilentRounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : std::max(3, nRounds / 5);

    CAtChannel answering;
    CAtChannel silent;
    if (!OpenLikeMonitor(answering, CardComNumber("ECHO")) || !OpenLikeMonitor(silent, CardComNumber("SILENT"))) {
        std::fprintf(stderr, "bench_exchange_win: needs cards ECHO and SILENT (run through scripts/with-cardsim.sh)\n");
        return 1;
    }

    std::printf("Win32 serial port, simulated cards on COM%d (echo on) and COM%d (silent)\n",
                CardComNumber("ECHO"), CardComNumber("SILENT"));
    const SBenchResult answered = MeasureRounds(nRounds, 2, [&] { return answering.Exchange("AT") == "OK"; });
    PrintResult("answered Exchange(\"AT\")", answered, kSettleFloorMs);
    PrintFigure("exchange", "Wine", answered, kSettleFloorMs);
    const SBenchResult silentProbe = MeasureRounds(nSilentRounds, 0, [&] { return !silent.Probe(); });
    PrintResult("silent Probe (1000 ms, 2 attempts)", silentProbe, kSilentProbeMs);
    PrintFigure("silent-probe", "Wine", silentProbe, kSilentProbeMs);
    return answered.nFailures + silentProbe.nFailures == 0 ? 0 : 1;
}
