#pragma once
// Ctrl-C, SIGTERM and every other signal that would end the program (Ctrl-Break on Windows): the
// first asks every run to stop at its next step, so that ports are handed back and the results
// still print; the platform's handler records it here.
#include "platform/Clock.h"

// Records an interruption that exits with nStatus (128 + the signal's number: 130 for Ctrl-C, 143
// for SIGTERM); the first one counts. Safe in a signal handler.
void NoteInterrupt(int nStatus);
// 0 while nothing interrupted the program, else the status it exits with.
int InterruptStatus();
inline bool Interrupted() { return InterruptStatus() != 0; }
// Whether an exit status is an interruption's (above 128), not a card's.
inline bool IsInterruptStatus(int nStatus) { return nStatus > 128; }

// The end of the run: noted once everything it leaves (the result, the JSON, the transcript) is
// written. A handler after which the system ends the process at once waits for it.
void NoteRunFinished();
// Waits until the run's end is noted, at most nMilliseconds; whether it was.
bool AwaitRunFinished(uint32_t nMilliseconds);

// The system clock, with sleeps that end early once the program is interrupted: a run waiting
// between two commands stops at once instead of after its wait.
class CInterruptibleClock : public IClock {
public:
    void Sleep(uint32_t nMilliseconds) override;
    uint32_t GetTickCount() override { return SystemClock().GetTickCount(); }
};
