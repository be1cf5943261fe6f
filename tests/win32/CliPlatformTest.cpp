// vostrel-cli's Windows part: a failed call on a port in words, and a console that closes mid-run.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "cli/CliPlatform.h"
#include "cli/Interrupt.h"

namespace {

// Only a refused open means that another program has the port; on an open handle the same codes
// mean that the card went away.
TEST(Win32CliPlatformTest, PulledCardIsNoBusyPort)
{
    const struct {
        const char* pszCall;
        int nCode;
        const char* pszStart;
    } kCases[] = {{"CreateFileA", ERROR_ACCESS_DENIED, "another program has COM5 open"},
                  {"ReadFile", ERROR_ACCESS_DENIED, "the card went away (error 5 "},
                  {"WriteFile", ERROR_BAD_COMMAND, "the card went away (error 22 "}};
    for (const auto& c : kCases)
        EXPECT_EQ(DescribeSystemError({c.pszCall, c.nCode}, "COM5").rfind(c.pszStart, 0), 0u) << c.pszCall << " " << c.nCode;
}

// A closing console stops the run as Ctrl-C does; its handler, after which Windows ends the process,
// returns only once the run has written what it leaves.
TEST(Win32CliPlatformTest, ClosingConsoleWaitsForTheRun)
{
    std::atomic<bool> bWritten{false}, bWrittenAtReturn{false};
    std::thread handler([&] {
        HandleConsoleEvent(CTRL_CLOSE_EVENT);
        bWrittenAtReturn = bWritten.load();
    });
    for (int n = 0; n < 600 && !Interrupted(); ++n)
        Sleep(5);
    EXPECT_EQ(InterruptStatus(), 143);
    bWritten = true;
    NoteRunFinished();
    handler.join();
    EXPECT_TRUE(bWrittenAtReturn) << "the handler returned before the run had finished";
}

} // namespace
