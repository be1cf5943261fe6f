// CPtyCard: the card model served on a real pseudo-terminal, reached with plain POSIX calls on the
// slave side, as the program under test reaches it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "tools/cardsim/pty/PtyCard.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class PtyCardTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (m_fd >= 0)
            close(m_fd);
    }

    int OpenSlave(const std::string& strPath)
    {
        m_fd = open(strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        return m_fd;
    }

    void Send(const std::string& str) { ASSERT_EQ(write(m_fd, str.data(), str.size()), static_cast<ssize_t>(str.size())); }

    // Reads until nBytes have come or nTimeoutMs pass.
    std::string ReadFor(size_t nBytes, int nTimeoutMs)
    {
        std::string str;
        const auto deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
        while (str.size() < nBytes && Clock::now() < deadline) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (poll(&pfd, 1, 10) <= 0)
                continue;
            char buffer[512];
            const ssize_t n = read(m_fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            str.append(buffer, static_cast<size_t>(n));
        }
        return str;
    }

    std::string TempPath(const char* name)
    {
        const char* dir = getenv("TMPDIR");
        return std::string(dir ? dir : "/tmp") + "/ptycardtest-" + std::to_string(getpid()) + "-" + name;
    }

    int m_fd = -1;
};

// A command line written to the slave gets its echo and framed answer back, byte for byte.
TEST_F(PtyCardTest, AnswersOnTheSlave)
{
    CPtyCard card;
    ASSERT_TRUE(card.Start());
    ASSERT_GE(OpenSlave(card.SlavePath()), 0);
    Send("AT\r");
    EXPECT_EQ(ReadFor(9, 2000), "AT\r\r\nOK\r\n");
    Send("AT+CGMM\r");
    EXPECT_EQ(ReadFor(25, 2000), "AT+CGMM\r\r\nR2280-Y\r\n\r\nOK\r\n");
    ASSERT_TRUE(card.WaitForLines(2, 1000));
    EXPECT_EQ(card.ReceivedBytes(), "AT\rAT+CGMM\r");
    EXPECT_EQ(card.CountOf("AT"), 1);
}

// The slave is raw: the tty itself neither echoes nor turns CR into LF, either way.
TEST_F(PtyCardTest, SlaveIsRaw)
{
    CardOptions options;
    options.bEcho = false;
    CPtyCard card(options);
    ASSERT_TRUE(card.Start());
    ASSERT_GE(OpenSlave(card.SlavePath()), 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(m_fd, &tio), 0);
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON), 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    Send("at+ysec?\r\n");
    EXPECT_EQ(ReadFor(20, 2000), "\r\n+YSEC: 3,0\r\n\r\nOK\r\n");
    EXPECT_EQ(card.ReceivedBytes(), "at+ysec?\r\n");
}

// Chunk delays are real time: a reply paused after its echo arrives in two parts, the pause apart.
TEST_F(PtyCardTest, PausedReplyKeepsItsTiming)
{
    CardOptions options;
    options.fault = CardFault::PauseMidReply;
    options.nPauseMs = 300;
    CPtyCard card(options);
    ASSERT_TRUE(card.Start());
    ASSERT_GE(OpenSlave(card.SlavePath()), 0);
    const auto start = Clock::now();
    Send("AT\r");
    EXPECT_EQ(ReadFor(3, 2000), "AT\r");
    EXPECT_LT(MsSince(start), 200);
    EXPECT_EQ(ReadFor(6, 2000), "\r\nOK\r\n");
    EXPECT_GE(MsSince(start), 290);
    EXPECT_LT(MsSince(start), 1000);
}

// Transcript times are milliseconds since Start; the observer sees each line with the state after it.
TEST_F(PtyCardTest, TranscriptAndObserver)
{
    CPtyCard card;
    std::atomic<int> nSeen{0};
    std::atomic<bool> bDownloadSeen{false};
    card.SetCommandObserver([&](const CardTranscriptLine& line, bool, bool bDownload) {
        if (line.strLine == "AT+YCDRUN=8")
            bDownloadSeen = bDownload;
        ++nSeen;
    });
    const auto start = Clock::now();
    ASSERT_TRUE(card.Start());
    ASSERT_GE(OpenSlave(card.SlavePath()), 0);
    Send("AT+YCDRUN=E\rAT+YCDRUN=8\r");
    ASSERT_TRUE(card.WaitForLines(2, 2000));
    const auto transcript = card.Transcript();
    ASSERT_EQ(transcript.size(), 2u);
    EXPECT_EQ(transcript[1].strLine, "AT+YCDRUN=8");
    EXPECT_LE(transcript[1].nTimeMs, static_cast<uint64_t>(MsSince(start)));
    EXPECT_EQ(nSeen.load(), 2);
    EXPECT_TRUE(bDownloadSeen.load());
    EXPECT_FALSE(card.AutorunEnabled());
    EXPECT_TRUE(card.DownloadMode());
}

// Unplug closes the master: the host's reads end (EOF or EIO) and the link goes; Replug brings a
// new device and re-points the link.
TEST_F(PtyCardTest, UnplugAndReplug)
{
    const std::string strLink = TempPath("com5");
    CPtyCard card;
    ASSERT_TRUE(card.Start());
    ASSERT_TRUE(card.LinkTo(strLink));
    ASSERT_GE(OpenSlave(strLink), 0);   // through the link, as Wine opens COM ports
    Send("AT\r");
    EXPECT_EQ(ReadFor(9, 2000), "AT\r\r\nOK\r\n");

    card.Unplug();
    struct stat st {};
    EXPECT_NE(lstat(strLink.c_str(), &st), 0);
    pollfd pfd{m_fd, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 2000), 1);
    char c;
    const ssize_t n = read(m_fd, &c, 1);
    EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n << " errno " << errno;
    close(m_fd);
    m_fd = -1;

    ASSERT_TRUE(card.Replug());
    ASSERT_GE(OpenSlave(strLink), 0);
    Send("AT\r");
    EXPECT_EQ(ReadFor(9, 2000), "AT\r\r\nOK\r\n");
    EXPECT_EQ(card.CountOf("AT"), 2);
}

// The link replaces what is there and leaves with the card; a link someone else re-pointed stays.
TEST_F(PtyCardTest, LinkIsMadeAndRemoved)
{
    const std::string strLink = TempPath("com6");
    ASSERT_EQ(symlink("/nonexistent", strLink.c_str()), 0);
    std::string strSlave;
    {
        CPtyCard card;
        EXPECT_FALSE(card.LinkTo(strLink));   // nothing to link to before Start
        ASSERT_TRUE(card.Start());
        strSlave = card.SlavePath();
        ASSERT_TRUE(card.LinkTo(strLink));
        char target[256] = {};
        ASSERT_GT(readlink(strLink.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target), strSlave);
    }
    struct stat st {};
    EXPECT_NE(lstat(strLink.c_str(), &st), 0);
}

// LinkTo on a linked card moves its link: the old path goes at once, the new one at the unplug, so
// no path is left leading to a pts number that the next pty may take.
TEST_F(PtyCardTest, MovedLinkGoesAtTheUnplug)
{
    const std::string strFirst = TempPath("com5");
    const std::string strMoved = TempPath("com7");
    CPtyCard card;
    ASSERT_TRUE(card.Start());
    ASSERT_TRUE(card.LinkTo(strFirst));
    ASSERT_TRUE(card.LinkTo(strMoved));
    struct stat st {};
    EXPECT_NE(lstat(strFirst.c_str(), &st), 0);
    ASSERT_EQ(lstat(strMoved.c_str(), &st), 0);
    card.Unplug();
    EXPECT_NE(lstat(strMoved.c_str(), &st), 0);
    ASSERT_TRUE(card.Replug());
    EXPECT_EQ(lstat(strMoved.c_str(), &st), 0);
}

// The slave may be closed and reopened by the host any number of times (the monitor does so).
TEST_F(PtyCardTest, SlaveCanBeReopened)
{
    CPtyCard card;
    ASSERT_TRUE(card.Start());
    for (int i = 0; i < 3; ++i) {
        ASSERT_GE(OpenSlave(card.SlavePath()), 0);
        tcflush(m_fd, TCIOFLUSH);
        Send("AT\r");
        EXPECT_EQ(ReadFor(9, 2000), "AT\r\r\nOK\r\n") << i;
        close(m_fd);
        m_fd = -1;
    }
}

// Destruction stops the service thread promptly.
TEST_F(PtyCardTest, StopsPromptly)
{
    auto pCard = std::make_unique<CPtyCard>();
    ASSERT_TRUE(pCard->Start());
    const auto start = Clock::now();
    pCard.reset();
    EXPECT_LT(MsSince(start), 500);
}

} // namespace
