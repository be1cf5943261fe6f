// vostrel-cli's Windows part: what a failed call on a port tells the user, and a console that closes
// while a run goes on.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "cli/CliPlatform.h"
#include "cli/Interrupt.h"

namespace {

// Only a refused open means another program has the port; the same codes on the open handle of a
// pulled card mean that the card went away.
TEST(Win32CliPlatformTest, DescribeSystemErrorTellsAPulledCardFromABusyPort)
{
    const struct {
        const char* pszCall;
        int nCode;
        const char* pszStart;
    } kCases[] = {
        {"CreateFileA", ERROR_ACCESS_DENIED, "access denied: another program holds the port"},
        {"CreateFileA", ERROR_FILE_NOT_FOUND, "no such port"},
        {"ReadFile", ERROR_ACCESS_DENIED, "the card went away (error 5 "},
        {"WriteFile", ERROR_BAD_COMMAND, "the card went away (error 22 "},
        {"ClearCommError", ERROR_GEN_FAILURE, "the card went away (error 31 "},
    };
    for (const auto& c : kCases) {
        const std::string strText = DescribeSystemError({c.pszCall, c.nCode}, "COM5");
        EXPECT_EQ(strText.rfind(c.pszStart, 0), 0u) << c.pszCall << " " << c.nCode << ": " << strText;
    }
}

// A closing console stops the run as Ctrl-C does, and the handler returns (after which Windows ends
// the process) only once the run has written what it leaves.
TEST(Win32CliPlatformTest, ClosingConsoleWaitsForTheRunToFinish)
{
    std::atomic<bool> bWritten{false};
    std::atomic<bool> bWrittenAtReturn{false};
    std::atomic<bool> bReturned{false};
    std::thread handler([&] {
        HandleConsoleEvent(CTRL_CLOSE_EVENT);
        bWrittenAtReturn = bWritten.load();
        bReturned = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!Interrupted() && std::chrono::steady_clock::now() < deadline)
        Sleep(5);
    ASSERT_TRUE(Interrupted());
    EXPECT_EQ(InterruptStatus(), 143);
    bWritten = true;   // the result, the JSON, the transcript
    NoteRunFinished();
    handler.join();
    EXPECT_TRUE(bReturned);
    EXPECT_TRUE(bWrittenAtReturn) << "the handler returned before the run had finished";
}

} // namespace
