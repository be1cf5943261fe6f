// Wall time of the AT channel over the POSIX serial port against the simulated card on a
// pseudo-terminal: an answered Exchange, whose floor is the settle rule's two 150 ms sleeps, and a
// Probe of a silent card with the monitor's settings, which should cost 2 x 4 poll cycles.
//
// usage: bench_exchange [ROUNDS [SILENT_ROUNDS]]   (default 20 answered exchanges; silent probes: ROUNDS / 5, min 3)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/BenchStats.h"
#include "serial/AtChannel.h"
#include "tools/cardsim/pty/PtyCard.h"

namespace {

constexpr int kBenchPort = 77;
constexpr double kSettleFloorMs = 300;
constexpr double kSilentProbeMs = 2400;

} // namespace

int main(int argc, char** argv)
{
    const int nRounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int nSilentRounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : std::max(3, nRounds / 5);

    CPtyCard card;
    if (!card.Start()) {
        std::fprintf(stderr, "bench_exchange: the simulated card did not start\n");
        return 1;
    }
    setenv(("VOSTREL_COM" + std::to_string(kBenchPort)).c_str(), card.SlavePath().c_str(), 1);

    CAtChannel channel;
    if (!channel.OpenCardPort(kBenchPort)) {
        std::fprintf(stderr, "bench_exchange: cannot open %s\n", card.SlavePath().c_str());
        return 1;
    }

    std::printf("POSIX serial port, simulated card on %s (echo on)\n", card.SlavePath().c_str());
    const SBenchResult answered = MeasureRounds(nRounds, 2, [&] { return channel.Exchange("AT") == "OK"; });
    PrintResult("answered Exchange(\"AT\")", answered, kSettleFloorMs);
    PrintFigure("exchange", "native", answered, kSettleFloorMs);

    CardOptions silent;
    silent.fault = CardFault::Silent;
    card.SetOptions(silent);
    const SBenchResult silentProbe = MeasureRounds(nSilentRounds, 0, [&] { return !channel.Probe(); });
    PrintResult("silent Probe (1000 ms, 2 attempts)", silentProbe, kSilentProbeMs);
    PrintFigure("silent-probe", "native", silentProbe, kSilentProbeMs);
    return answered.nFailures + silentProbe.nFailures == 0 ? 0 : 1;
}
