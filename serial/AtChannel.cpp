#include "serial/AtChannel.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kMaxTimeout = 5000;
constexpr uint32_t kSettleSleep = 150;   // a reply has settled when its count holds across this sleep
constexpr int kReceiveBufferSize = 256;
// Finishing on the result: a card answers within a few ms, so it is looked for this often.
constexpr uint32_t kResultPoll = 5;

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
    const size_t nOpen = FindCrLf(strReply, 0);
    if (nOpen == std::string::npos)
        return "error";
    const size_t nLineStart = nOpen + 2;
    const size_t nClose = FindCrLf(strReply, nLineStart);
    if (nClose == std::string::npos)
        return "error";
    return strReply.substr(nLineStart, nClose - nLineStart);
}

CAtChannel::CAtChannel(IClock& clock) : m_clock(clock), m_nTimeout(kMaxTimeout), m_nAttempts(3) {}

CAtChannel::~CAtChannel()
{
    m_port.Close();
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
    for (int nAttempt = 0; nAttempt < m_nAttempts; ++nAttempt) {
        // Write purges whatever arrived since the last exchange, so each attempt starts clean.
        if (m_port.Write(m_strCommand.data(), nLength) != nLength)
            continue;
        m_bSent = true;
        if (m_onTraffic)
            m_onTraffic(true, m_strCommand);
        if (m_bFinishOnResult ? AwaitFinalResult() : AwaitSettled()) {
            if (m_onTraffic)
                m_onTraffic(false, m_strReply);
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
    return true;
}

// The bytes go into the receive buffer as they arrive, so the text is the one the settle rule's
// single read would give for the same bytes. Ends on a final result line, else when the count of
// arrived bytes holds across kSettleSleep, else when the attempt's time is up with bytes in hand.
bool CAtChannel::AwaitFinalResult()
{
    const std::string strCommand = m_strCommand.substr(0, m_strCommand.size() - 1);
    char buffer[kReceiveBufferSize] = {};
    int nFilled = 0;
    int nArrived = 0;
    const uint32_t nStart = m_clock.GetTickCount();
    uint32_t nQuietSince = nStart;
    for (;;) {
        m_clock.Sleep(kResultPoll);
        nFilled = ReadArrived(buffer, nFilled);
        const std::string strText(buffer, strnlen(buffer, nFilled));
        const uint32_t nNow = m_clock.GetTickCount();
        const int nCount = nFilled + m_port.GetInQueueCount();
        if (nCount != nArrived) {
            nArrived = nCount;
            nQuietSince = nNow;
        }
        // Unsigned differences: correct across the tick counter's wrap.
        const bool bSettled = nArrived >= 1 && static_cast<uint32_t>(nNow - nQuietSince) >= kSettleSleep;
        const bool bTimeUp = static_cast<uint32_t>(nNow - nStart) >= AttemptWindow(m_nTimeout);
        if (HasFinalResult(strText, strCommand) || bSettled || (bTimeUp && nArrived >= 1)) {
            m_strReply = strText;
            return true;
        }
        if (bTimeUp)
            return false;
    }
}

// Reads what has queued into the buffer after its nFilled bytes; returns the new fill. Nothing more
// is read once the buffer is full or a NUL has ended its text: later bytes cannot change the text.
int CAtChannel::ReadArrived(char* pBuffer, int nFilled)
{
    if (nFilled >= kReceiveBufferSize || strnlen(pBuffer, nFilled) < static_cast<size_t>(nFilled))
        return nFilled;
    const int nWanted = std::min(m_port.GetInQueueCount(), kReceiveBufferSize - nFilled);
    if (nWanted <= 0)
        return nFilled;
    // A read that went pending reports 0 yet fills the buffer; what it left unfilled stays NUL and
    // ends the text, as it would in the settle rule's read.
    const int nRead = m_port.Read(pBuffer + nFilled, nWanted);
    return nFilled + (nRead > 0 ? std::min(nRead, nWanted) : nWanted);
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
