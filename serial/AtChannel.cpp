#include "serial/AtChannel.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace {

constexpr uint32_t kMaxTimeout = 5000;
constexpr uint32_t kSettleSleep = 150;   // a reply has settled when its count holds across this sleep
constexpr int kReceiveBufferSize = 256;
// Finishing on the result: a card answers within a ms or so of the command, so the first polls of
// an attempt come every ms (the wire's whole cost would otherwise be a 5 ms sleep); a card slower
// than that is looked for every kResultPoll.
constexpr uint32_t kResultPoll = 5;
constexpr uint32_t kEarlyPoll = 1;
constexpr uint32_t kEarlyPollSpan = 10;
// The most bytes a fast attempt keeps from its command's echo on (the port's input queue size):
// enough for any answer, and a babbling card cannot grow it.
constexpr size_t kHeldLimit = 4096;

// Position of the first CR at or after nFrom that an LF follows, or npos.
size_t FindCrLf(const std::string& str, size_t nFrom)
{
    for (size_t nCr = str.find('\r', nFrom); nCr != std::string::npos; nCr = str.find('\r', nCr + 1)) {
        if (nCr + 1 < str.size() && str[nCr + 1] == '\n')
            return nCr;
    }
    return std::string::npos;
}

bool IsFinalResultLine(const std::string& strLine)
{
    return strLine == "OK" || strLine == "ERROR" || strLine == "NO CARRIER" ||
           strLine.starts_with("+CME ERROR:") || strLine.starts_with("+CMS ERROR:");
}

// The listening time of one attempt under the settle rule: whole poll cycles until the timeout is
// exceeded. Finishing on the result gives up after the same time, so a slow card fares the same.
uint32_t AttemptWindow(uint32_t nTimeout)
{
    constexpr uint32_t kCycle = 2 * kSettleSleep;
    return (nTimeout / kCycle + 1) * kCycle;
}

// The answer line framed by the reply's first CR LF pair and the next one, if it has one.
std::optional<std::string> FramedAnswer(const std::string& strReply)
{
    const size_t nOpen = FindCrLf(strReply, 0);
    if (nOpen == std::string::npos)
        return std::nullopt;
    const size_t nLineStart = nOpen + 2;
    const size_t nClose = FindCrLf(strReply, nLineStart);
    if (nClose == std::string::npos)
        return std::nullopt;
    return strReply.substr(nLineStart, nClose - nLineStart);
}

void AppendBounded(std::string& str, const std::string& strBytes)
{
    str.append(strBytes, 0, std::min(strBytes.size(), kHeldLimit - std::min(str.size(), kHeldLimit)));
}

// What a fast attempt keeps of the bytes it takes: from the echo of its command on. When the echo is
// required (the card echoes, and an earlier answer may still come), bytes before it answer an earlier
// command and are dropped, the echo being looked for anywhere. Otherwise the bytes are the reply from
// the first, whether they start with the echo or the card does not echo.
class CHeldReply {
public:
    CHeldReply(const std::string& strEcho, bool bEchoRequired)
        : m_strEcho(strEcho), m_strCommand(strEcho.substr(0, strEcho.size() - 1)), m_bEchoRequired(bEchoRequired)
    {
    }

    void Add(const std::string& strBytes)
    {
        if (m_bAnchored || !m_bEchoRequired) {
            AppendBounded(m_strBytes, strBytes);
            m_bAnchored = m_bAnchored || m_strBytes.starts_with(m_strEcho);
            return;
        }
        m_strBytes += strBytes;
        const size_t nEcho = m_strBytes.find(m_strEcho);
        if (nEcho != std::string::npos) {
            m_strBytes.erase(0, nEcho);
            m_bAnchored = true;
            m_strBytes.resize(std::min(m_strBytes.size(), kHeldLimit));
        } else {
            // Only the bytes that may begin the echo are kept.
            m_strBytes.erase(0, m_strBytes.size() - std::min(m_strBytes.size(), m_strEcho.size() - 1));
        }
    }

    bool HasResult() const
    {
        return (m_bAnchored || !m_bEchoRequired) && HasFinalResult(m_strBytes, m_strCommand);
    }

    bool Anchored() const { return m_bAnchored; }
    const std::string& Bytes() const { return m_strBytes; }

private:
    const std::string& m_strEcho;
    const std::string m_strCommand;
    const bool m_bEchoRequired;
    bool m_bAnchored = false;
    std::string m_strBytes;
};

} // namespace

std::string CutReply(const std::string& strBytes)
{
    const size_t nKept = std::min(strBytes.size(), static_cast<size_t>(kReceiveBufferSize));
    return strBytes.substr(0, strnlen(strBytes.data(), nKept));
}

bool HasFinalResult(const std::string& strReply, const std::string& strCommand)
{
    const std::string strEcho = strCommand + '\r';
    const size_t nFrom = strReply.starts_with(strEcho) ? strEcho.size() : 0;
    size_t nOpen = FindCrLf(strReply, nFrom);
    while (nOpen != std::string::npos) {
        const size_t nClose = FindCrLf(strReply, nOpen + 2);
        if (nClose == std::string::npos)
            return false;
        if (IsFinalResultLine(strReply.substr(nOpen + 2, nClose - nOpen - 2)))
            return true;
        nOpen = nClose;
    }
    return false;
}

std::string ExtractAnswerFromReply(const std::string& strReply)
{
    return FramedAnswer(strReply).value_or("error");
}

CAtChannel::CAtChannel(IClock& clock) : m_clock(clock), m_nTimeout(kMaxTimeout), m_nAttempts(3) {}

CAtChannel::~CAtChannel()
{
    m_port.Close();
}

int CAtChannel::OpenCardPort(int nPort, int nBaud)
{
    m_port.Close();
    return TakeCardSettings(m_port.Open(nPort, nBaud, kCardDataBits, kCardStopBits));
}

int CAtChannel::OpenCardPort(const std::string& strName)
{
    m_port.Close();
    return TakeCardSettings(m_port.OpenNamed(strName, kCardBaud, kCardDataBits, kCardStopBits));
}

int CAtChannel::TakeCardSettings(int bOpened)
{
    if (!bOpened)
        return 0;
    SetTimeout(kCardAnswerWait);
    SetAttempts(kCardAnswerAttempts);
    return 1;
}

int CAtChannel::SetTimeout(uint32_t nTimeout)
{
    m_nTimeout = std::min(nTimeout, kMaxTimeout);
    return 1;
}

int CAtChannel::SetAttempts(int nAttempts)
{
    if (nAttempts < 1 || nAttempts > 9)
        return 0;
    m_nAttempts = nAttempts;
    return 1;
}

int CAtChannel::SetCommand(const std::string& strCommand)
{
    m_strCommand = strCommand + '\r';
    return 1;
}

int CAtChannel::SetFinishOnResult(bool bFinish)
{
    m_bFinishOnResult = bFinish;
    return 1;
}

int CAtChannel::Transact()
{
    const int nLength = static_cast<int>(m_strCommand.size());
    m_bSent = false;
    m_bAnswered = false;
    m_nReplyBytes = 0;
    for (int nAttempt = 0; nAttempt < m_nAttempts; ++nAttempt) {
        if (Abandoned() || (m_bFinishOnResult && !AwaitQuiet()))
            return 0;
        // Write purges whatever arrived since the last exchange, so each attempt starts clean.
        if (m_port.Write(m_strCommand.data(), nLength) != nLength)
            continue;
        m_bSent = true;
        Report(true, m_strCommand);
        if (m_bFinishOnResult ? AwaitFinalResult() : AwaitSettled()) {
            m_bAnswered = FramedAnswer(m_strReply).has_value();
            return 1;
        }
    }
    return 0;
}

bool CAtChannel::AwaitSettled()
{
    const uint32_t nStart = m_clock.GetTickCount();
    int nFirst = 0;
    for (;;) {
        m_clock.Sleep(kSettleSleep);
        nFirst = m_port.GetInQueueCount();
        m_clock.Sleep(kSettleSleep);
        const int nSecond = m_port.GetInQueueCount();
        if (nFirst >= 1 && nSecond == nFirst)
            break;
        // Unsigned difference: correct across the tick counter's wrap.
        if (static_cast<uint32_t>(m_clock.GetTickCount() - nStart) > m_nTimeout)
            break;
    }
    if (nFirst < 1)
        return false;

    // Read's count is not used: a read that went pending reports 0 yet fills the buffer when it
    // completes within its wait, so the reply is taken from the buffer itself.
    char buffer[kReceiveBufferSize] = {};
    m_port.Read(buffer, kReceiveBufferSize);
    m_strReply.assign(buffer, strnlen(buffer, kReceiveBufferSize));
    m_nReplyBytes = static_cast<int>(m_strReply.size() - (m_strReply.starts_with(m_strCommand) ? m_strCommand.size() : 0));
    Report(false, m_strReply);
    return true;
}

// One fast attempt, from its write: ends the moment the bytes hold a final result line after the
// command's echo, else when the attempt's time is up (with the bytes in hand), else when abandoned.
bool CAtChannel::AwaitFinalResult()
{
    // Only while an earlier answer may still be coming does the echo tell this reply from it.
    const bool bEchoRequired = m_bCardEchoes && m_bAnswerOutstanding;
    CHeldReply held(m_strCommand, bEchoRequired);
    std::string strTaken;
    const uint32_t nStart = m_clock.GetTickCount();
    m_nLastArrival = nStart;
    bool bResult = false;
    for (;;) {
        if (Abandoned())
            break;
        const bool bEarly = static_cast<uint32_t>(m_clock.GetTickCount() - nStart) < kEarlyPollSpan;
        m_clock.Sleep(bEarly ? kEarlyPoll : kResultPoll);
        const std::string strNew = TakeArrived();
        const uint32_t nNow = m_clock.GetTickCount();
        if (!strNew.empty()) {
            m_nLastArrival = nNow;
            AppendBounded(strTaken, strNew);
            held.Add(strNew);
            if ((bResult = held.HasResult()))
                break;
        }
        // Unsigned difference: correct across the tick counter's wrap.
        if (static_cast<uint32_t>(nNow - nStart) >= AttemptWindow(m_nTimeout))
            break;
    }
    m_bAwaitQuiet = m_bAnswerOutstanding = !bResult;
    if (!strTaken.empty())
        Report(false, strTaken);
    if (held.Anchored())
        m_bCardEchoes = true;
    if (bEchoRequired && !held.Anchored()) {
        // Bytes without this command's echo belong to an earlier one; if some came, the card may
        // have stopped echoing, and the next attempt takes its reply as one without an echo.
        m_bCardEchoes = strTaken.empty();
        return false;
    }
    if (held.Bytes().empty())
        return false;
    m_strReply = CutReply(held.Bytes());
    m_nReplyBytes = static_cast<int>(held.Bytes().size() - (held.Anchored() ? m_strCommand.size() : 0));
    return true;
}

// Before a fast attempt's write, when the last one ended without its final result: waits until no
// byte has arrived for kSettleSleep, discarding what arrives (a late answer is no answer to the
// command about to go out), at most an attempt's time. False when abandoned meanwhile.
bool CAtChannel::AwaitQuiet()
{
    if (!m_bAwaitQuiet)
        return true;
    std::string strDiscarded;
    const uint32_t nStart = m_clock.GetTickCount();
    for (;;) {
        if (Abandoned())
            return false;
        const std::string strNew = TakeArrived();
        const uint32_t nNow = m_clock.GetTickCount();
        if (!strNew.empty()) {
            m_nLastArrival = nNow;
            AppendBounded(strDiscarded, strNew);
        }
        if (static_cast<uint32_t>(nNow - m_nLastArrival) >= kSettleSleep ||
            static_cast<uint32_t>(nNow - nStart) >= AttemptWindow(m_nTimeout))
            break;
        m_clock.Sleep(kResultPoll);
    }
    if (!strDiscarded.empty())
        Report(false, strDiscarded);
    m_bAwaitQuiet = false;
    return true;
}

// Every byte queued now. A read that went pending reports 0 yet fills its buffer; what it left
// unfilled stays NUL, which ends the reply text as it would in the settle rule's read.
std::string CAtChannel::TakeArrived()
{
    std::string strBytes;
    char buffer[kReceiveBufferSize];
    for (int nWanted; (nWanted = std::min(m_port.GetInQueueCount(), kReceiveBufferSize)) > 0;) {
        std::memset(buffer, 0, sizeof buffer);
        const int nRead = m_port.Read(buffer, nWanted);
        strBytes.append(buffer, nRead > 0 ? std::min(nRead, nWanted) : nWanted);
        if (strBytes.size() >= kHeldLimit)
            break;   // a flooding line: the rest waits for the next poll
    }
    return strBytes;
}

void CAtChannel::Report(bool bWritten, const std::string& strBytes) const
{
    if (m_onTraffic)
        m_onTraffic(bWritten, strBytes);
}

std::string CAtChannel::ExtractAnswer() const
{
    return ExtractAnswerFromReply(m_strReply);
}

std::string CAtChannel::Exchange(const std::string& strCommand)
{
    SetCommand(strCommand);
    if (!Transact())
        return "error";
    return ExtractAnswer();
}

int CAtChannel::Probe()
{
    return Exchange("AT").find("OK") != std::string::npos ? 1 : 0;
}
