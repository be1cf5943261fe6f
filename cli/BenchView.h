#pragma once
// The live table of a bench run: one line per card, redrawn in place on a terminal while the cards
// run, so that eight cards at once stay readable instead of scrolling their progress past.
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/BenchRow.h"
#include "platform/Clock.h"

// The table as lines no longer than nWidth bytes: a header, one line per card (label, slot, model,
// IMEI, command, phase, seconds, result), and a summary ("8 cards: 5 done, 1 failed, 2 running
// 12.3 s"). What the cards and the system said is shown with control bytes and bytes that are not
// UTF-8 made visible (\xNN), so a card's answer can neither move the cursor nor break a line;
// unknown values show as "-".
std::vector<std::string> BenchTableLines(const std::vector<CBenchRow>& rows, size_t nWidth);

// Draws the board's table on a terminal from a thread of its own: at once, on every change of the
// board and at least every 250 ms (the seconds tick, read from clock), each time over the lines it drew before. Make
// it only for a stream that PrepareLiveTerminal accepted, and write nothing else to that stream
// until Finish: another line would be drawn over.
class CBenchView {
public:
    CBenchView(CBenchBoard& board, FILE* pStream, IClock& clock = SystemClock());
    ~CBenchView();
    CBenchView(const CBenchView&) = delete;
    CBenchView& operator=(const CBenchView&) = delete;

    // Stops the drawing (within 250 ms), draws the final state once more and leaves the cursor
    // below the table. Once only; later calls do nothing. Never from the drawing thread.
    void Finish();

private:
    void Run();
    void Draw();

    CBenchBoard& m_board;
    FILE* m_pStream;
    IClock& m_clock;
    std::atomic<bool> m_bStop {false};
    std::mutex m_mutex;          // Finish's once
    bool m_bFinished = false;
    size_t m_nLinesDrawn = 0;    // the drawing thread's until it is joined, then Finish's
    std::thread m_thread;
};
