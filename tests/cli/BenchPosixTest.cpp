// The bench's output where only a real terminal or a POSIX limit shows it: the live table redrawn
// in place in a tmux pane, and the report on a disk that takes no more bytes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <thread>

#include "RunProgram.h"
#include "WorkDirScope.h"
#include "cli/BenchReport.h"

namespace {

std::optional<std::string> FindOnPath(const std::string& strName)
{
    const char* pszPath = std::getenv("PATH");
    std::string strPath = pszPath ? pszPath : "/usr/bin:/bin";
    for (size_t nStart = 0; nStart <= strPath.size();) {
        const size_t nEnd = std::min(strPath.find(':', nStart), strPath.size());
        const std::string strCandidate = strPath.substr(nStart, nEnd - nStart) + "/" + strName;
        if (nEnd > nStart && access(strCandidate.c_str(), X_OK) == 0)
            return strCandidate;
        nStart = nEnd + 1;
    }
    return std::nullopt;
}

size_t CountOf(const std::string& strText, const std::string& strPart)
{
    size_t nCount = 0;
    for (size_t nAt = strText.find(strPart); nAt != std::string::npos; nAt = strText.find(strPart, nAt + 1))
        ++nCount;
    return nCount;
}

// A tmux server of the test's own (its own socket, no configuration), killed at the end.
class CTmux {
public:
    explicit CTmux(std::string strTmux)
        : m_strTmux(std::move(strTmux)), m_strSocket("vostrel-live-table-" + std::to_string(getpid()))
    {
    }
    ~CTmux() { Run({"kill-server"}); }

    CProgramRun Run(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {m_strTmux, "-L", m_strSocket, "-f", "/dev/null"});
        return RunProgram(args, std::chrono::seconds(10));
    }

private:
    std::string m_strTmux;
    std::string m_strSocket;
};

// Eight cards change for a second in a 120x30 pane: the pane and its history hold one table, not a
// copy per redraw.
TEST(LiveTableTerminalTest, RedrawsInPlaceInATmuxPane)
{
    const std::optional<std::string> strTmux = FindOnPath("tmux");
    if (!strTmux)
        GTEST_SKIP() << "tmux is not installed (scripts/install-deps.sh installs it)";
    CTmux tmux(*strTmux);
    const std::string strCommand = std::string("'") + SiblingProgram("live-table-demo") + "'; echo \"demo exited $?\"; exec sleep 60";
    ASSERT_EQ(tmux.Run({"new-session", "-d", "-s", "live", "-x", "120", "-y", "30", strCommand}).nStatus, 0);

    std::string strScreen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (strScreen.find("demo exited") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        strScreen = tmux.Run({"capture-pane", "-p", "-S", "-", "-t", "live"}).strOut;
    }
    ASSERT_NE(strScreen.find("demo exited 0"), std::string::npos) << strScreen;
    EXPECT_EQ(CountOf(strScreen, "label  slot"), 1u) << strScreen;
    for (int n = 1; n <= 8; ++n)
        EXPECT_EQ(CountOf(strScreen, "card" + std::to_string(n) + " "), 1u) << "card" << n << "\n" << strScreen;
    EXPECT_EQ(CountOf(strScreen, "failed (6): the card did not come back"), 1u) << strScreen;
    EXPECT_EQ(CountOf(strScreen, "8 cards: 7 done, 1 failed, 0 running"), 1u) << strScreen;
}

// A write that fails (here the file size limit, as a full disk would) leaves the old report as it was.
TEST(BenchReportPosixTest, AFailedWriteLeavesTheOldReport)
{
    CWorkDirScope dir("vostrel-bench-report");
    const std::filesystem::path report = dir.Dir() / "bench.csv";
    {
        std::ofstream(report) << "old";
    }
    CBenchRow row;
    row.strMessage = std::string(4096, 'x');

    rlimit limit {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit small = {64, limit.rlim_max};
    const auto previous = signal(SIGXFSZ, SIG_IGN);   // else the process is killed at the limit
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::optional<std::string> strFailure = WriteBenchReport(report.string(), {row});
    setrlimit(RLIMIT_FSIZE, &limit);
    signal(SIGXFSZ, previous);

    EXPECT_EQ(strFailure, "cannot write the report " + report.string() + ": write: file too large");
    std::ifstream in(report);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Dir()), {}), 1);
}

} // namespace
