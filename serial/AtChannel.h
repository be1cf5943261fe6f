#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "serial/CardLine.h"
#include "serial/CardReply.h"
#include "serial/SerialPort.h"

class CLineBytes;

// One write of a command and what came back to it.
struct CAtAttempt {
    bool bSent = false;       // the whole command line reached the port
    CCardReply reply;         // typed; its stale bytes begin with what came since the last write
    int nReplyBytes = 0;      // bytes of this command's reply after its echo
};

// One AT command line at a time over the channel's own serial port. A reply counts as complete once
// its queued byte count stays the same across a 150 ms sleep; it is typed by ParseCardReply, and the
// answer is its Response text: the first framed line after the command's echo that is not an
// unsolicited line, or "error" when there is none.
//
// With SetFinishOnResult(true) (the fast exchange) the channel takes the bytes as they arrive and ends
// the exchange as soon as they hold this command's final result; a reply without one ends when the
// attempt's time is up, with the bytes in hand. An attempt after one that ended without its final
// result first waits for the line to fall quiet.
//
// Both exchanges tie an answer to its command: bytes that came since the last exchange are read (and
// reported) before the write, never taken for the answer; with an echo, bytes before the echo of the
// command just sent are stale; without one, while an earlier command's answer is owed (a
// transaction ended without its final result, or resent its command), the first final results are
// those commands'. A reply that holds nothing but stale bytes is no reply: the command is sent again.
class CAtChannel {
public:
    // Over a port of its own, closed with the channel.
    explicit CAtChannel(IClock& clock = SystemClock());
    // Over the caller's port, which must outlive the channel and is left as it is when the channel
    // goes. The caller may open it with settings of its own and look at its queue between
    // exchanges; the channel takes whatever it finds queued before a write as stale.
    explicit CAtChannel(CSerialPort& port, IClock& clock = SystemClock());
    virtual ~CAtChannel();
    CAtChannel(const CAtChannel&) = delete;
    CAtChannel& operator=(const CAtChannel&) = delete;

    int SetTimeout(uint32_t nTimeout);   // stores min(nTimeout, 5000); always true
    int SetAttempts(int nAttempts);      // 1..9 stored and true; otherwise false, unchanged
    int SetCommand(const std::string& strCommand);  // command + CR; always true
    int SetFinishOnResult(bool bFinish);   // off by default; always true
    int Transact();                      // true when a reply was read into m_strReply
    std::string ExtractAnswer() const;   // the Response text of the last reply read
    std::string Exchange(const std::string& strCommand);
    int Probe();                         // true when the card answers "AT" with the final result OK
    // Every attempt of the last transaction, in order: a resend is an attempt of its own.
    const std::vector<CAtAttempt>& Attempts() const { return m_attempts; }
    // Asked before each write and on every poll of the fast exchange; true: nothing more is written
    // and the transaction returns at once with what it has. Empty: never.
    void SetAbandon(std::function<bool()> fn) { m_abandon = std::move(fn); }

    // Told of every byte the channel writes (bWritten) and takes from the port; empty: nobody.
    void SetTrafficObserver(std::function<void(bool bWritten, const std::string& strBytes)> fn) { m_onTraffic = std::move(fn); }

    // The one opener of the card's port: closes the channel's port and opens it at nBaud with the
    // card's framing (8N1), then takes the card's answer wait and attempts. Non-zero on success.
    int OpenCardPort(int nPort, int nBaud = kCardBaud);
    // The same for a port by the name a user gives it ("COM5", "5", "/dev/ttyUSB2").
    int OpenCardPort(const std::string& strName);
    // The last system call that failed on the port, and its error.
    const CSerialError& PortError() const { return m_port.LastError(); }

    uint32_t GetTimeout() const { return m_nTimeout; }
    int GetAttempts() const { return m_nAttempts; }
    const std::string& GetReply() const { return m_strReply; }

private:
    std::unique_ptr<CSerialPort> m_pOwnPort;   // null when the channel runs over the caller's port
    CSerialPort& m_port;

    // After an open: the card's answer wait and attempts when it succeeded; its result either way.
    int TakeCardSettings(int bOpened);
    bool AwaitSettled(CAtAttempt& attempt);
    bool AwaitFinalResult(CAtAttempt& attempt);
    bool AwaitQuiet(CLineBytes& discarded);
    std::string TakeArrived();
    CReplyContext ReplyContext() const;
    void PayOwed(int nResults);
    bool TakeReply(const std::string& strBytes, const CReplyContext& ctx, CAtAttempt& attempt);
    bool Abandoned() const { return m_abandon && m_abandon(); }
    void Report(bool bWritten, const std::string& strBytes) const;

    IClock& m_clock;
    std::string m_strCommand;
    std::string m_strReply;
    CCardReply m_reply;
    std::vector<CAtAttempt> m_attempts;
    uint32_t m_nTimeout;
    int m_nAttempts;
    std::function<void(bool, const std::string&)> m_onTraffic;
    std::function<bool()> m_abandon;
    bool m_bFinishOnResult = false;
    // The memory of the line: whether the card echoes; the writes whose answers may still come,
    // oldest first (each final result answers one, in order; an echo of a command voids the writes
    // before its first); whether the line must fall quiet before the next fast write, and when a
    // byte last arrived.
    bool m_bCardEchoes = false;
    std::deque<std::string> m_owed;
    bool m_bAwaitQuiet = false;
    uint32_t m_nLastArrival = 0;
    std::string m_strLineTail;   // the last bytes taken from their last CR LF on (LineTail)
};

