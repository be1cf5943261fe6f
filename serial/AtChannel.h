#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "platform/Clock.h"
#include "serial/CardLine.h"
#include "serial/SerialPort.h"

// One AT command line at a time over the channel's own serial port. A reply counts as complete once
// its queued byte count stays the same across a 150 ms sleep; the answer is the reply's first line
// framed by CR LF pairs, or "error" when no reply came or it held no framed line.
//
// With SetFinishOnResult(true) (the fast exchange) the channel takes the bytes as they arrive and ends
// the exchange as soon as they hold a final result line after the command's echo; a reply without
// one ends when the attempt's time is up, with the bytes in hand. Once the card has echoed a command,
// and while an answer it gave up on may still come, only bytes from the echo of the command just
// sent are its reply; an attempt after one that ended without its final result first waits for the
// line to fall quiet. So a late answer is not taken for a later command's. The answer is cut from
// the reply text as the settle rule cuts it.
class CAtChannel {
public:
    explicit CAtChannel(IClock& clock = SystemClock());
    virtual ~CAtChannel();
    CAtChannel(const CAtChannel&) = delete;
    CAtChannel& operator=(const CAtChannel&) = delete;

    int SetTimeout(uint32_t nTimeout);   // stores min(nTimeout, 5000); always true
    int SetAttempts(int nAttempts);      // 1..9 stored and true; otherwise false, unchanged
    int SetCommand(const std::string& strCommand);  // command + CR; always true
    int SetFinishOnResult(bool bFinish);   // off by default; always true
    int Transact();                      // true when a reply was read into m_strReply
    std::string ExtractAnswer() const;   // the Response text cut from m_strReply
    std::string Exchange(const std::string& strCommand);
    int Probe();                         // true when the answer to "AT" contains "OK"
    // Whether the last transaction's command reached the port at least once: "error" alone cannot
    // tell a silent card from one whose port has gone away.
    int WasSent() const { return m_bSent ? 1 : 0; }
    // Whether the last transaction's reply held a framed answer line (the card's own ERROR is one).
    int WasAnswered() const { return m_bAnswered ? 1 : 0; }
    // Bytes of the last transaction's reply after its command's echo (an echo alone counts 0).
    int GetReplyByteCount() const { return m_nReplyBytes; }
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
    int ClosePort() { return m_port.Close(); }
    int IsPortOpen() const { return m_port.IsOpen(); }
    // The last system call that failed on the port, and its error.
    const CSerialError& PortError() const { return m_port.LastError(); }

    uint32_t GetTimeout() const { return m_nTimeout; }
    int GetAttempts() const { return m_nAttempts; }
    bool GetFinishOnResult() const { return m_bFinishOnResult; }
    const std::string& GetReply() const { return m_strReply; }

private:
    friend struct CAtChannelTestAccess;   // tests/support: the port itself, for tests of the channel

    CSerialPort m_port;

    // After an open: the card's answer wait and attempts when it succeeded; its result either way.
    int TakeCardSettings(int bOpened);
    bool AwaitSettled();
    bool AwaitFinalResult();
    bool AwaitQuiet();
    std::string TakeArrived();
    bool Abandoned() const { return m_abandon && m_abandon(); }
    void Report(bool bWritten, const std::string& strBytes) const;

    IClock& m_clock;
    std::string m_strCommand;
    std::string m_strReply;
    uint32_t m_nTimeout;
    int m_nAttempts;
    bool m_bSent = false;
    bool m_bAnswered = false;
    int m_nReplyBytes = 0;
    std::function<void(bool, const std::string&)> m_onTraffic;
    std::function<bool()> m_abandon;
    bool m_bFinishOnResult = false;
    // The fast exchange's memory of the line: whether the card echoes, whether an answer may still
    // come (an attempt ended without its final result, and none has since), whether the line must
    // fall quiet before the next write, and when a byte last arrived.
    bool m_bCardEchoes = false;
    bool m_bAnswerOutstanding = false;
    bool m_bAwaitQuiet = false;
    uint32_t m_nLastArrival = 0;
};

// The answer framed by the first CR LF pair and the next CR LF pair of a reply, or "error".
std::string ExtractAnswerFromReply(const std::string& strReply);

// The reply text as the channel keeps it from the bytes that arrived: the first 256 bytes (the
// receive buffer), ended by the first NUL.
std::string CutReply(const std::string& strBytes);

// Whether the reply holds a final result line: after the echo of strCommand (the command text and
// its CR, when the reply starts with them), a line framed by CR LF pairs whose text is "OK",
// "ERROR", "NO CARRIER", or starts with "+CME ERROR:" or "+CMS ERROR:".
bool HasFinalResult(const std::string& strReply, const std::string& strCommand);
