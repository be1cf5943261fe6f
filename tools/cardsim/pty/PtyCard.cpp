#include "tools/cardsim/pty/PtyCard.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <map>
#include <mutex>
#include <thread>

namespace {

constexpr int kPollSliceMs = 10;           // the service thread notices a stop within this
constexpr size_t kMaxUnsentBytes = 65536;  // output the host does not take is dropped past this

using Clock = std::chrono::steady_clock;

struct PtyPair {
    int nMaster = -1;
    int nSlave = -1;
    std::string strSlavePath;
};

void CloseFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// A new pty whose slave side is raw: the host's bytes reach the master unchanged, the card's bytes
// reach the host unchanged, and the terminal echoes nothing by itself.
bool OpenRawPty(PtyPair& pty)
{
    pty.nMaster = posix_openpt(O_RDWR | O_NOCTTY);
    if (pty.nMaster < 0)
        return false;
    char name[128] = {};
    bool bOk = grantpt(pty.nMaster) == 0 && unlockpt(pty.nMaster) == 0 &&
               ptsname_r(pty.nMaster, name, sizeof name) == 0;
    bOk = bOk && fcntl(pty.nMaster, F_SETFL, fcntl(pty.nMaster, F_GETFL) | O_NONBLOCK) == 0 &&
          fcntl(pty.nMaster, F_SETFD, FD_CLOEXEC) == 0;
    if (bOk) {
        pty.strSlavePath = name;
        pty.nSlave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios tio{};
        bOk = pty.nSlave >= 0 && tcgetattr(pty.nSlave, &tio) == 0;
        if (bOk) {
            cfmakeraw(&tio);
            cfsetispeed(&tio, B115200);
            cfsetospeed(&tio, B115200);
            bOk = tcsetattr(pty.nSlave, TCSANOW, &tio) == 0;
        }
    }
    if (!bOk) {
        CloseFd(pty.nSlave);
        CloseFd(pty.nMaster);
    }
    return bOk;
}

// Points strLink at strTarget, replacing whatever non-directory is there.
bool MakeLink(const std::string& strLink, const std::string& strTarget)
{
    struct stat st {};
    if (lstat(strLink.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode) || unlink(strLink.c_str()) != 0)
            return false;
    }
    return symlink(strTarget.c_str(), strLink.c_str()) == 0;
}

// Removes strLink only when it is our link to strTarget: someone may have replaced it since.
void RemoveLink(const std::string& strLink, const std::string& strTarget)
{
    char target[PATH_MAX] = {};
    const ssize_t n = readlink(strLink.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == strTarget)
        unlink(strLink.c_str());
}

} // namespace

struct CPtyCard::State {
    explicit State(CardOptions options) : model(std::move(options)) {}

    mutable std::mutex mutex;
    CCardModel model;
    CommandObserver observer;
    std::string strReceived;
    PtyPair pty;
    uint64_t nGeneration = 0;             // changes with every unplug and replug
    std::string strLink;
    bool bStarted = false;
    Clock::time_point start;
    std::multimap<uint64_t, std::string> pending;   // the card's output by due time
    uint64_t nOutputFreeAt = 0;
    std::string strUnsent;                // due, but the pty did not take it yet
    std::atomic<bool> bStop{false};
    std::thread thread;

    uint64_t NowMs() const
    {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    }

    void Serve();
    void ReceiveLocked(const char* pBytes, size_t nLength);
    void FlushLocked(uint64_t nNow);
    void WriteSomeLocked(std::string& strBytes);
    int PollTimeoutLocked(uint64_t nNow) const;
    void ClosePtyLocked();
};

void CPtyCard::State::Serve()
{
    while (!bStop.load()) {
        int fd = -1;
        uint64_t nGen = 0;
        int nTimeout = kPollSliceMs;
        bool bWantOut = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            fd = pty.nMaster;
            nGen = nGeneration;
            nTimeout = PollTimeoutLocked(NowMs());
            bWantOut = !strUnsent.empty();
        }
        if (fd < 0) {   // unplugged
            poll(nullptr, 0, kPollSliceMs);
            continue;
        }
        pollfd pfd{fd, static_cast<short>(POLLIN | (bWantOut ? POLLOUT : 0)), 0};
        const int nReady = poll(&pfd, 1, nTimeout);

        std::lock_guard<std::mutex> lock(mutex);
        if (pty.nMaster != fd || nGeneration != nGen)
            continue;   // unplugged or replugged meanwhile: fd is not ours any more
        if (nReady > 0 && (pfd.revents & POLLIN)) {
            char buffer[4096];
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0)
                ReceiveLocked(buffer, static_cast<size_t>(n));
        }
        FlushLocked(NowMs());
        if (nReady > 0 && (pfd.revents & (POLLHUP | POLLERR)) && !(pfd.revents & POLLIN)) {
            // Nobody holds the slave open; do not spin on the hang-up.
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollSliceMs));
        }
    }
}

// Feeds the model one command line at a time, so the observer sees the state after each.
void CPtyCard::State::ReceiveLocked(const char* pBytes, size_t nLength)
{
    const std::string strBytes(pBytes, nLength);
    strReceived += strBytes;
    const uint64_t nNow = NowMs();
    size_t nFrom = 0;
    while (nFrom < strBytes.size()) {
        size_t nEnd = strBytes.find('\r', nFrom);
        nEnd = nEnd == std::string::npos ? strBytes.size() : nEnd + 1;
        const size_t nLines = model.Transcript().size();
        uint64_t nAt = std::max(nNow, nOutputFreeAt);
        for (CardChunk& chunk : model.Receive(strBytes.substr(nFrom, nEnd - nFrom), nNow)) {
            nAt += chunk.nDelayMs;
            pending.emplace(nAt, std::move(chunk.strBytes));
        }
        nOutputFreeAt = std::max(nOutputFreeAt, nAt);
        if (observer && model.Transcript().size() > nLines)
            observer(model.Transcript().back(), model.AutorunEnabled(), model.DownloadMode());
        nFrom = nEnd;
    }
}

void CPtyCard::State::FlushLocked(uint64_t nNow)
{
    const auto itDue = pending.upper_bound(nNow);
    for (auto it = pending.begin(); it != itDue; ++it)
        strUnsent += it->second;
    pending.erase(pending.begin(), itDue);
    if (strUnsent.size() > kMaxUnsentBytes)
        strUnsent.erase(0, strUnsent.size() - kMaxUnsentBytes);
    WriteSomeLocked(strUnsent);

    // Unsolicited output (babble, flood) goes out on the line whether or not the host reads: what
    // the pty cannot take at once is lost, as bytes are when a receiver has overflowed, instead of
    // piling up here to pour out after the host's next purge.
    bool bTaken = strUnsent.empty();
    for (CardChunk& chunk : model.Idle(nNow)) {
        if (!bTaken)
            break;
        WriteSomeLocked(chunk.strBytes);
        bTaken = chunk.strBytes.empty();
    }
}

// Writes as much of strBytes as the pty takes now and removes that from it.
void CPtyCard::State::WriteSomeLocked(std::string& strBytes)
{
    while (!strBytes.empty()) {
        const ssize_t n = write(pty.nMaster, strBytes.data(), strBytes.size());
        if (n > 0)
            strBytes.erase(0, static_cast<size_t>(n));
        else if (!(n < 0 && errno == EINTR))
            break;   // the pty is full (EAGAIN) or hung up: try again on the next round
    }
}

int CPtyCard::State::PollTimeoutLocked(uint64_t nNow) const
{
    if (pending.empty())
        return kPollSliceMs;
    const uint64_t nDue = pending.begin()->first;
    return nDue <= nNow ? 0 : static_cast<int>(std::min<uint64_t>(nDue - nNow, kPollSliceMs));
}

void CPtyCard::State::ClosePtyLocked()
{
    CloseFd(pty.nSlave);
    CloseFd(pty.nMaster);
    pending.clear();
    strUnsent.clear();
    ++nGeneration;
}

CPtyCard::CPtyCard(CardOptions options) : m_pState(std::make_unique<State>(std::move(options))) {}

CPtyCard::~CPtyCard()
{
    m_pState->bStop = true;
    if (m_pState->thread.joinable())
        m_pState->thread.join();
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    if (!m_pState->strLink.empty())
        RemoveLink(m_pState->strLink, m_pState->pty.strSlavePath);
    m_pState->ClosePtyLocked();
}

bool CPtyCard::Start()
{
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    if (m_pState->bStarted)
        return true;
    if (!OpenRawPty(m_pState->pty))
        return false;
    m_pState->start = Clock::now();
    m_pState->bStarted = true;
    m_pState->thread = std::thread([pState = m_pState.get()] { pState->Serve(); });
    return true;
}

std::string CPtyCard::SlavePath() const
{
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    return m_pState->pty.strSlavePath;
}

bool CPtyCard::LinkTo(const std::string& strLinkPath)
{
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    if (m_pState->pty.strSlavePath.empty() || !MakeLink(strLinkPath, m_pState->pty.strSlavePath))
        return false;
    if (!m_pState->strLink.empty() && m_pState->strLink != strLinkPath)
        RemoveLink(m_pState->strLink, m_pState->pty.strSlavePath);
    m_pState->strLink = strLinkPath;
    return true;
}

void CPtyCard::Unplug()
{
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    // The pts number may go to another pty at once: the link must not lead there.
    if (!m_pState->strLink.empty())
        RemoveLink(m_pState->strLink, m_pState->pty.strSlavePath);
    m_pState->ClosePtyLocked();
}

bool CPtyCard::Replug()
{
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    if (!m_pState->bStarted)
        return false;
    if (m_pState->pty.nMaster >= 0)
        return true;   // still plugged
    if (!OpenRawPty(m_pState->pty))
        return false;
    ++m_pState->nGeneration;
    if (!m_pState->strLink.empty())
        MakeLink(m_pState->strLink, m_pState->pty.strSlavePath);
    return true;
}

void CPtyCard::SetOptions(const CardOptions& options)
{
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    m_pState->model.SetOptions(options);
}

void CPtyCard::Script(const std::string& strCommand, CardReply reply, int nTimes)
{
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    m_pState->model.Script(strCommand, std::move(reply), nTimes);
}

void CPtyCard::SetReplay(std::vector<CardReplayStep> steps, bool bSimulateTheRest)
{
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    m_pState->model.SetReplay(std::move(steps), bSimulateTheRest);
}

void CPtyCard::StopReplay()
{
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    m_pState->model.StopReplay();
}

std::vector<CardTranscriptLine> CPtyCard::Transcript() const
{
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    return m_pState->model.Transcript();
}

int CPtyCard::CountOf(const std::string& strCommand) const
{
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    return m_pState->model.CountOf(strCommand);
}

bool CPtyCard::AutorunEnabled() const
{
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    return m_pState->model.AutorunEnabled();
}

bool CPtyCard::DownloadMode() const
{
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    return m_pState->model.DownloadMode();
}

bool CPtyCard::WaitForLines(size_t nLines, uint32_t nTimeoutMs) const
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_pState->mutex);
            if (m_pState->model.Transcript().size() >= nLines)
                return true;
        }
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string CPtyCard::ReceivedBytes() const
{
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    return m_pState->strReceived;
}

void CPtyCard::SetCommandObserver(CommandObserver observer)
{
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    m_pState->observer = std::move(observer);
}
