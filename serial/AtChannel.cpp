#include "serial/AtChannel.h"

#include <algorithm>
#include <cstring>

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
// The most bytes a fast attempt keeps of its command's reply (the port's input queue size): enough
// for any answer, and a babbling card cannot grow it. Stale bytes before the reply are kept up to
// as many again; past that only their last kHeldLimit, in which the echo is still looked for.
constexpr size_t kHeldLimit = 4096;
// The most writes whose answers are remembered as owed.
constexpr size_t kMaxOwed = 8;

// The listening time of one attempt under the settle rule: whole poll cycles until the timeout is
// exceeded. Finishing on the result gives up after the same time, so a slow card fares the same.
uint32_t AttemptWindow(uint32_t nTimeout)
{
    constexpr uint32_t kCycle = 2 * kSettleSleep;
    return (nTimeout / kCycle + 1) * kCycle;
}

// The end of a stream of bytes from its last CR LF pair on: where a line begins that bytes yet to
// come may complete (a late answer split across two reads).
std::string LineTail(const std::string& str)
{
    constexpr size_t kMaxTail = 64;
    const size_t nCrLf = str.rfind("\r\n");
    if (nCrLf == std::string::npos || str.size() - nCrLf > kMaxTail)
        return {};
    return str.substr(nCrLf);
}

} // namespace

// Bytes kept of a flooding line, whole lines only: what is left out between two stretches is a gap,
// and no line is made of the two ends of a gap (a "+CREG: 1" cut after "+CR" and the "EG: 1" after
// the left-out bytes would make a "+CREG: 1EG: 1" the card never sent).
class CLineBytes {
public:
    // Appends strNew; after a gap only from its first CR LF on, where a line of its own begins.
    void Append(std::string_view svNew)
    {
        if (m_bGap) {
            const size_t nCrLf = svNew.find("\r\n");
            if (nCrLf == std::string_view::npos)
                return;
            svNew.remove_prefix(nCrLf);
            m_bGap = false;
        }
        m_strBytes.append(svNew);
    }
    // Cuts the bytes to at most nLimit from nFrom on, before the CR LF that closes their last whole
    // line there (that line keeps its text; the next stretch's CR LF closes it).
    void CutAfter(size_t nFrom, size_t nLimit)
    {
        if (m_strBytes.size() - std::min(nFrom, m_strBytes.size()) <= nLimit)
            return;
        const size_t nCrLf = m_strBytes.rfind("\r\n", nFrom + nLimit - 2);
        m_strBytes.resize(nCrLf == std::string::npos || nCrLf < nFrom ? nFrom : nCrLf);
        m_bGap = true;
    }
    // Leaves out all but the last nLimit bytes (the cut line before them is no framed line).
    void KeepLast(size_t nLimit)
    {
        if (m_strBytes.size() > nLimit)
            m_strBytes.erase(0, m_strBytes.size() - nLimit);
    }
    const std::string& Bytes() const { return m_strBytes; }

private:
    std::string m_strBytes;
    bool m_bGap = false;
};

namespace {

// The bytes a fast attempt has taken, typed again as each chunk arrives.
class CHeldReply {
public:
    CHeldReply(const std::string& strCommand, const CReplyContext& ctx) : m_strCommand(strCommand), m_ctx(ctx) {}

    void Add(const std::string& strBytes)
    {
        m_bytes.Append(strBytes);
        m_reply = ParseCardReply(m_bytes.Bytes(), m_strCommand, m_ctx);
        if (m_bytes.Bytes().size() <= 2 * kHeldLimit)
            return;
        if (m_reply.OnlyStale(m_bytes.Bytes().size()))
            m_bytes.KeepLast(kHeldLimit);
        else
            m_bytes.CutAfter(m_reply.nReplyStart, kHeldLimit);
        m_reply = ParseCardReply(m_bytes.Bytes(), m_strCommand, m_ctx);
    }

    bool HasResult() const { return m_reply.Answered(); }
    const std::string& Bytes() const { return m_bytes.Bytes(); }

private:
    const std::string& m_strCommand;
    const CReplyContext m_ctx;
    CLineBytes m_bytes;
    CCardReply m_reply;
};

} // namespace

CAtChannel::CAtChannel(IClock& clock)
    : m_pOwnPort(std::make_unique<CSerialPort>()), m_port(*m_pOwnPort), m_clock(clock), m_nTimeout(kMaxTimeout),
      m_nAttempts(3)
{
}

CAtChannel::CAtChannel(CSerialPort& port, IClock& clock)
    : m_port(port), m_clock(clock), m_nTimeout(kMaxTimeout), m_nAttempts(3)
{
}

// The own port closes as it goes; the caller's stays as the caller has it.
CAtChannel::~CAtChannel() = default;

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
    // A reopened line owes nothing: what an earlier command still had to say went with the old one.
    m_owed.clear();
    m_strLineTail.clear();
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
    const std::string strCommand = m_strCommand.substr(0, m_strCommand.size() - 1);
    m_attempts.clear();
    bool bReplied = false;
    for (int nAttempt = 0; nAttempt < m_nAttempts && !bReplied; ++nAttempt) {
        CLineBytes between;
        if (Abandoned() || (m_bFinishOnResult && !AwaitQuiet(between)))
            break;
        // What came since the last exchange is no answer to this command: read and reported here,
        // where the write would otherwise discard it unseen. A line the last reply left unfinished
        // may end in it.
        const std::string strQueued = TakeArrived();
        Report(false, strQueued);
        between.Append(strQueued);
        const std::string strBetween = between.Bytes();
        const CBetweenBytes betweenLines = ParseBetweenBytes(m_strLineTail + strBetween, strCommand);
        m_strLineTail = LineTail(m_strLineTail + strBetween);
        PayOwed(betweenLines.nFinalResults);

        CAtAttempt attempt;
        if (m_port.Write(m_strCommand.data(), nLength) == nLength) {
            attempt.bSent = true;
            m_owed.push_back(strCommand);
            if (m_owed.size() > kMaxOwed)
                m_owed.pop_front();
            Report(true, m_strCommand);
            bReplied = m_bFinishOnResult ? AwaitFinalResult(attempt) : AwaitSettled(attempt);
            const CCardReply& reply = attempt.reply;
            if (reply.bEchoed) {
                // Whatever the writes before this command's first owed one had to say came before
                // its echo, or never will; the reply after the echo answers that write.
                while (!m_owed.empty() && m_owed.front() != strCommand)
                    m_owed.pop_front();
                PayOwed(reply.Answered() ? 1 : 0);
            } else {
                PayOwed(reply.nStaleResults + (reply.Answered() ? 1 : 0));
            }
        }
        attempt.reply.strStale.insert(0, strBetween);
        attempt.reply.unsolicited.insert(attempt.reply.unsolicited.begin(), betweenLines.unsolicited.begin(),
                                         betweenLines.unsolicited.end());
        m_attempts.push_back(std::move(attempt));
    }
    if (!bReplied)
        return 0;
    m_reply = m_attempts.back().reply;
    return 1;
}

// While answers are owed: how many earlier commands' come before this command's first owed write
// (an earlier write of the same command is answered by what answers this one).
CReplyContext CAtChannel::ReplyContext() const
{
    const std::string strCommand = m_strCommand.substr(0, m_strCommand.size() - 1);
    int nOthers = 0;
    for (const std::string& strOwed : m_owed) {
        if (strOwed == strCommand)
            break;
        ++nOthers;
    }
    return {nOthers, m_bCardEchoes};
}

void CAtChannel::PayOwed(int nResults)
{
    for (; nResults > 0 && !m_owed.empty(); --nResults)
        m_owed.pop_front();
}

// Types one attempt's bytes and learns from them whether the card echoes. False when none of them
// is this command's.
bool CAtChannel::TakeReply(const std::string& strBytes, const CReplyContext& ctx, CAtAttempt& attempt)
{
    attempt.reply = ParseCardReply(strBytes, m_strCommand.substr(0, m_strCommand.size() - 1), ctx);
    m_strLineTail = LineTail(strBytes);
    const CCardReply& reply = attempt.reply;
    if (reply.bEchoed)
        m_bCardEchoes = true;
    if (!reply.strStale.empty() && reply.OnlyStale(strBytes.size()))
        return false;
    attempt.nReplyBytes = static_cast<int>(strBytes.size() - reply.nBodyStart);
    return true;
}

bool CAtChannel::AwaitSettled(CAtAttempt& attempt)
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
    const std::string strText(buffer, strnlen(buffer, kReceiveBufferSize));
    Report(false, strText);
    if (!TakeReply(strText, ReplyContext(), attempt))
        return false;
    m_strReply = strText;
    return true;
}

// One fast attempt, from its write: ends the moment the bytes hold this command's final result,
// else when the attempt's time is up (with the bytes in hand), else when abandoned.
bool CAtChannel::AwaitFinalResult(CAtAttempt& attempt)
{
    const std::string strCommand = m_strCommand.substr(0, m_strCommand.size() - 1);
    const CReplyContext ctx = ReplyContext();
    CHeldReply held(strCommand, ctx);
    const uint32_t nStart = m_clock.GetTickCount();
    m_nLastArrival = nStart;
    for (;;) {
        if (Abandoned())
            break;
        const bool bEarly = static_cast<uint32_t>(m_clock.GetTickCount() - nStart) < kEarlyPollSpan;
        m_clock.Sleep(bEarly ? kEarlyPoll : kResultPoll);
        const std::string strNew = TakeArrived();
        const uint32_t nNow = m_clock.GetTickCount();
        if (!strNew.empty()) {
            m_nLastArrival = nNow;
            // Each chunk as it came, at its time: a transcript that replays at the card's pace.
            Report(false, strNew);
            held.Add(strNew);
            if (held.HasResult())
                break;
        }
        // Unsigned difference: correct across the tick counter's wrap.
        if (static_cast<uint32_t>(nNow - nStart) >= AttemptWindow(m_nTimeout))
            break;
    }
    m_bAwaitQuiet = !held.HasResult();
    if (!TakeReply(held.Bytes(), ctx, attempt) || held.Bytes().empty())
        return false;
    m_strReply = CutReply(held.Bytes().substr(attempt.reply.nReplyStart));
    return true;
}

// Before a fast attempt's write, when the last one ended without its final result: waits until no
// byte has arrived for kSettleSleep, taking what arrives into discarded (a late answer is no
// answer to the command about to go out), at most an attempt's time. False when abandoned meanwhile.
bool CAtChannel::AwaitQuiet(CLineBytes& discarded)
{
    if (!m_bAwaitQuiet)
        return true;
    const uint32_t nStart = m_clock.GetTickCount();
    for (;;) {
        if (Abandoned())
            return false;
        const std::string strNew = TakeArrived();
        const uint32_t nNow = m_clock.GetTickCount();
        if (!strNew.empty()) {
            m_nLastArrival = nNow;
            Report(false, strNew);
            discarded.Append(strNew);
            discarded.CutAfter(0, kHeldLimit);
        }
        if (static_cast<uint32_t>(nNow - m_nLastArrival) >= kSettleSleep ||
            static_cast<uint32_t>(nNow - nStart) >= AttemptWindow(m_nTimeout))
            break;
        m_clock.Sleep(kResultPoll);
    }
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
    if (m_onTraffic && !strBytes.empty())
        m_onTraffic(bWritten, strBytes);
}

std::string CAtChannel::ExtractAnswer() const
{
    return m_reply.ResponseText();
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
    SetCommand(kProbeCommand);
    return Transact() && m_reply.AnsweredOk() ? 1 : 0;
}
