#pragma once
// A card's reply, typed: the one parser that both exchanges (the window's settle rule and the command
// line's fast exchange) and every verdict of both front ends read. A reply's bytes become the echo
// of the command just sent, the information lines, the unsolicited lines (never an answer), stale
// bytes (an earlier command's late answer; never an answer) and the final result as a kind.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The command that asks whether the card answers at all.
constexpr const char* kProbeCommand = "AT";

// The final result codes of V.250 and 3GPP TS 27.007/27.005, and the vendor "COMMAND NOT SUPPORT".
enum class EFinalResult {
    kNone,            // no final result (yet): the command is not answered
    kOk,
    kError,
    kCmeError,        // "+CME ERROR: <n>"
    kCmsError,        // "+CMS ERROR: <n>"
    kNoCarrier,
    kBusy,
    kNoAnswer,
    kNoDialtone,
    kNotSupported,    // "COMMAND NOT SUPPORT"
};

// The one list of final results: the kind of a framed line's text, kNone when it is none of them.
EFinalResult FinalResultOfLine(std::string_view svLine);

// Whether a framed line is an unsolicited result code and not an answer to strCommand: RING, the
// standard codes of 27.007/27.005 (+CRING, +CREG, +CGREG, +CEREG, +CMTI, +CMT, +CDS, +CBM, +CUSD,
// +CIEV, +CLIP, +CCWA, +CGEV), and the vendor form: '+' or '^', a name, ':', where the name is not
// the command's own ("+YSEC: 3,0" answers "AT+ysec?"; "+CGMM: R2280-Y" answers "AT+CGMM").
bool IsUnsolicitedLine(std::string_view svLine, std::string_view svCommand);

// What the channel knows of the line before a reply is read.
struct CReplyContext {
    // How many answers earlier commands still owe (their transactions ended without their final
    // results, or resent them): without an echo, the first that many final results are theirs.
    int nAnswersOwed = 0;
    // The card has echoed commands on this line: while answers are owed, this command's reply
    // starts at its echo.
    bool bCardEchoes = false;
};

struct CCardReply {
    // Bytes before this command's reply: without an echo, nothing; with one, everything before it;
    // without one while earlier answers were owed, their final results and all before them.
    std::string strStale;
    bool bEchoed = false;              // the echo of the command just sent came (command and CR)
    int nStaleResults = 0;             // final results in strStale: each answered an earlier write
    std::vector<std::string> info;     // information lines before the final result (blank ones left out)
    std::vector<std::string> unsolicited;   // unsolicited lines, wherever they came (stale bytes too)
    EFinalResult eResult = EFinalResult::kNone;
    std::string strResult;             // the final result line as the card sent it ("+CME ERROR: 10")
    // The Response text's line: the first framed line of this command's reply after its echo that is
    // not unsolicited, cut from its first 256 bytes up to a NUL; nothing when there is none. For a
    // reply without unsolicited lines or stale bytes it is exactly ExtractAnswerFromReply's cut.
    std::optional<std::string> answerLine;
    size_t nReplyStart = 0;            // where this command's reply starts in the bytes (its echo, if any)
    size_t nBodyStart = 0;             // where it starts after the echo

    // The Response text: the answer line, or the channel's "error" when there is none.
    std::string ResponseText() const { return answerLine.value_or("error"); }
    bool Answered() const { return eResult != EFinalResult::kNone; }   // a final result arrived
    bool AnsweredOk() const { return eResult == EFinalResult::kOk; }    // "answered OK", decided here
    // Any other final result: ERROR, +CME/+CMS ERROR, NO CARRIER, BUSY, ... The command was not done.
    bool Rejected() const { return Answered() && !AnsweredOk(); }
    // The answer line is empty: the card's port needs reopening.
    bool BlankAnswer() const { return answerLine && answerLine->empty(); }
    // Nothing of the bytes belongs to this command: they were all stale (or there were none).
    bool OnlyStale(size_t nBytes) const { return nReplyStart >= nBytes; }
};

// Parses the bytes that arrived after strCommand (without its CR) was written.
CCardReply ParseCardReply(const std::string& strBytes, const std::string& strCommand, const CReplyContext& ctx = {});

// The lines of bytes that arrived between two exchanges: how many final results they hold (owed
// answers that came), and their unsolicited lines (against strNextCommand, the command about to go).
struct CBetweenBytes {
    int nFinalResults = 0;
    std::vector<std::string> unsolicited;
};
CBetweenBytes ParseBetweenBytes(const std::string& strBytes, const std::string& strNextCommand);

// The answer framed by the first CR LF pair and the next CR LF pair of a reply, or "error": the
// channel's first framed line, nothing skipped.
std::string ExtractAnswerFromReply(const std::string& strReply);

// The reply text as the channel keeps it from the bytes that arrived: the first 256 bytes (the
// receive buffer), ended by the first NUL.
std::string CutReply(const std::string& strBytes);
