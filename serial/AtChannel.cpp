#include "serial/AtChannel.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kMaxTimeout = 5000;
constexpr uint32_t kSettleSleep = 150;   // a reply has settled when its count holds across this sleep
constexpr int kReceiveBufferSize = 256;

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

int CAtChannel::Transact()
{
    const int nLength = static_cast<int>(m_strCommand.size());
    int nAttempt = 0;
    m_bSent = false;
    for (; nAttempt < m_nAttempts; ++nAttempt) {
        // Write purges whatever arrived since the last exchange, so each attempt starts clean.
        if (m_port.Write(m_strCommand.data(), nLength) != nLength)
            continue;
        m_bSent = true;
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
        if (nFirst >= 1)
            break;
    }
    if (nAttempt >= m_nAttempts)
        return 0;

    // Read's count is not used: a read that went pending reports 0 yet fills the buffer when it
    // completes within its wait, so the reply is taken from the buffer itself.
    char buffer[kReceiveBufferSize] = {};
    m_port.Read(buffer, kReceiveBufferSize);
    m_strReply.assign(buffer, strnlen(buffer, kReceiveBufferSize));
    return 1;
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
