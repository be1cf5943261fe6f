// Draws a live bench table of eight made-up cards on standard error for about a second: each goes
// through its phases at its own pace, card 5 fails, then the table is finished. The live table's
// terminal test runs it in a tmux pane and reads the screen. Exit status 2 when standard error is
// not a terminal that takes cursor movement.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "cli/BenchView.h"
#include "cli/CliPlatform.h"
#include "cli/CliStatus.h"

namespace {

std::vector<CBenchRow> MadeUpRows()
{
    std::vector<CBenchRow> rows;
    for (int n = 1; n <= 8; ++n) {
        CBenchRow row;
        row.strLabel = "card" + std::to_string(n);
        row.strSlot = "1-4." + std::to_string(n);
        row.strModel = n == 3 ? "" : "E1550";
        row.strImei = n == 3 ? "" : "35693803564380" + std::to_string(n);
        row.strCommand = "close-autorun";
        rows.push_back(row);
    }
    return rows;
}

} // namespace

int main()
{
    if (!PrepareLiveTerminal(stderr)) {
        std::fprintf(stderr, "standard error is not a live terminal\n");
        return 2;
    }
    CBenchBoard board(MadeUpRows());
    CBenchView view(board, stderr);
    const ESwitchPhase phases[] = {ESwitchPhase::kRunning, ESwitchPhase::kSent, ESwitchPhase::kLeft,
                                   ESwitchPhase::kBack, ESwitchPhase::kSettled, ESwitchPhase::kDone};
    const auto start = std::chrono::steady_clock::now();
    for (int nTick = 1; nTick <= 20; ++nTick) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        for (size_t n = 0; n < 8; ++n) {
            // Card n moves on every (n % 3 + 1)th tick, so they finish at different times.
            const size_t nStep = std::min<size_t>(static_cast<size_t>(nTick) / (n % 3 + 1), 5);
            board.Update(n, [&](CBenchRow& row) {
                if (row.bFinished)
                    return;
                row.ePhase = phases[nStep];
                row.dSeconds = dSeconds;
                row.strMessage = std::string("waiting for the card to be ") + SwitchPhaseName(row.ePhase);
                if (n == 4 && nStep == 2) {   // it left and never came back
                    row.bFinished = true;
                    row.nStatus = kCliNotConfirmed;
                    row.strMessage = "the card did not come back";
                } else if (nStep == 5) {
                    row.bFinished = true;
                    row.strMessage = "ok";
                }
            });
        }
    }
    view.Finish();
    return 0;
}
