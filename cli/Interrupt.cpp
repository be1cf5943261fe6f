#include "cli/Interrupt.h"

#include <algorithm>
#include <atomic>

namespace {

std::atomic<int> g_nInterruptStatus{0};
std::atomic<bool> g_bRunFinished{false};
static_assert(std::atomic<int>::is_always_lock_free, "read and written from a signal handler");

// How often a sleep looks for an interruption: short against a person's patience, long against the
// cost of waking.
constexpr uint32_t kInterruptPoll = 10;

} // namespace

void NoteInterrupt(int nStatus)
{
    int nNone = 0;
    g_nInterruptStatus.compare_exchange_strong(nNone, nStatus);
}

int InterruptStatus()
{
    return g_nInterruptStatus.load();
}

void NoteRunFinished()
{
    g_bRunFinished.store(true);
}

bool AwaitRunFinished(uint32_t nMilliseconds)
{
    const uint32_t nStart = SystemClock().GetTickCount();
    while (!g_bRunFinished.load()) {
        if (SystemClock().GetTickCount() - nStart >= nMilliseconds)
            return false;
        SystemClock().Sleep(kInterruptPoll);
    }
    return true;
}

void CInterruptibleClock::Sleep(uint32_t nMilliseconds)
{
    while (nMilliseconds > 0 && !Interrupted()) {
        const uint32_t nSlice = std::min(nMilliseconds, kInterruptPoll);
        SystemClock().Sleep(nSlice);
        nMilliseconds -= nSlice;
    }
}
