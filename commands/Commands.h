#pragma once
// The device mode commands and the hidden service commands as data and pure functions over a
// narrow context: the AT channel, a way to reopen the card's port, the clock and a "stop now"
// predicate. No window: the front ends show pictures, boxes and progress around them.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "serial/CardReply.h"

class CAtChannel;

// One exchange of a run: one write of a command (a resend is an exchange of its own) and the card's
// reply to it, typed: its Response text, its final result (a silent card has none; the card's own
// ERROR is one), its unsolicited lines and stale bytes; whether the command reached the port, and
// how many bytes the card sent besides the echo.
struct CExchange {
    std::string strCommand;
    CCardReply reply;
    bool bSent = false;
    int nReplyBytes = 0;
    int nAttempt = 1;            // 1 for the first write of the command, 2 for its resend, ...
    bool bLastAttempt = true;    // the last write of the command: the one whose reply counts

    std::string Answer() const { return reply.ResponseText(); }
    bool Answered() const { return reply.Answered(); }
    // Every byte the card sent in this exchange, besides the echo: a flood that the channel took
    // for an earlier command's late answer (stale) was still sent instead of an answer.
    int CardBytes() const { return nReplyBytes + static_cast<int>(reply.strStale.size()); }
};

// The model question, and the command that checks the card answers at all (kProbeCommand, in
// serial/CardReply.h, where the channel's probe takes it).
constexpr const char* kModelQuery = "AT+CGMM";

struct CCommandContext {
    CAtChannel* pChannel = nullptr;        // none: every exchange answers "error", unsent
    std::function<int()> reopenPort;       // closes and reopens the channel's port; 1 on success
    IClock* pClock = &SystemClock();
    std::function<bool()> stopNow;         // true: send nothing more, wait no more (empty: never)
    std::function<void(const CExchange&)> onExchange;   // told of every exchange (empty: nobody)
};

// One command on the context's channel: appends an exchange for each of its writes to exchanges,
// each reported to onExchange, and returns the last, whose reply is the command's.
CExchange ExchangeCommand(CCommandContext& ctx, const std::string& strCommand, std::vector<CExchange>& exchanges);

// ---- device mode commands -------------------------------------------------------------------------

// One command of a sequence: its text, the wait before it is sent, and whether an empty answer (a
// blank framed line: the card's port needs reopening) reopens the port and tries again.
struct CCommandStep {
    const char* pszCommand;
    uint32_t nWaitBefore;
    bool bReopenOnEmpty;
};

struct CModeSequence {
    std::span<const CCommandStep> steps;
    // After the steps: ask the model, and switch the models that need it as well.
    bool bModelStep;
};

// "Close autorun && Enter download": "AT+YCDRUN=E", then "AT+YCDRUN=8".
extern const CModeSequence kCloseAutorunSequence;
// "Open autorun && Exit download": "AT+YCDRUN=F", then "AT+YCDRUN=9", then the model step.
extern const CModeSequence kOpenAutorunSequence;

struct CModeRunResult {
    std::vector<CExchange> exchanges;   // every exchange (every write), in the order they were made
};

// Runs the sequence: for each step its wait, then up to three exchanges, each empty answer followed
// by a reopen and a wait; then the model step. Nothing the card answers ends the run early; stopNow
// does (waits skipped, nothing more sent).
CModeRunResult RunModeSequence(const CModeSequence& sequence, CCommandContext& ctx);

// Whether a run is reported as done: every command reached the port; the card's last reply to the
// first command has the final result OK and a non-blank answer; its last reply to no later command
// has another final result (ERROR, +CME ERROR, ...). Later commands may go unanswered: the card may
// already be switching modes.
bool ModeRunSucceeded(const CModeRunResult& result);

// How a mode run ended, decided here once for both front ends: the window shows its success box for
// kDone and its failure box for anything else; the command line maps each to a status and words.
enum class EModeOutcome {
    kDone,           // the success rule above holds
    kRejected,       // the card answered strCommand with a final result other than OK (strResult)
    kUnanswered,     // the first command, strCommand, got no answer while later ones did
    kNoAnswerLine,   // the card sent bytes (nReplyBytes) but never an answer line, first to strCommand
    kSilent,         // the port opened and nothing answered any command
    kPortFailed,     // strCommand could not be written: the port failed
};
struct CModeVerdict {
    EModeOutcome eOutcome = EModeOutcome::kSilent;
    std::string strCommand;
    int nReplyBytes = 0;
    std::string strResult;   // kRejected: the final result line ("ERROR", "+CME ERROR: 3")
};
CModeVerdict JudgeModeRun(const CModeRunResult& result);

// True when the answer to "AT+CGMM" names one of the models that also need "AT+YCDRUN=N"
// (case-sensitive, anywhere in the answer).
bool NamesSwitchableModel(const std::string& strModelAnswer);

// ---- hidden service commands ----------------------------------------------------------------------

// The query behind the SIM status.
constexpr const char* kSimStatusCommand = "AT+ysec?";

// The SIM query's answer as it is compared: upper case (ASCII), every space removed.
std::string NormaliseSimAnswer(const std::string& strAnswer);

// What the answer to "AT+ysec?" says. A silent card's "error" reads as the card's own ERROR.
enum class ESimStatus { kNoSim, kSimPresent, kCardError, kUnknownAnswer };
ESimStatus SimStatusOfAnswer(const std::string& strAnswer);
// The same for an exchange: a reply whose final result is not OK, or that holds no answer line, is
// the card's error; otherwise its answer line says.
ESimStatus SimStatusOfExchange(const CExchange& exchange);
// The window's words for it: "No sim card", "detect sim card", "error!", "unknow error!".
const char* SimStatusText(ESimStatus eStatus);
// The message shown for a raw answer to "AT+ysec?".
std::string SimStatusMessage(const std::string& strAnswer);
// Asks the card "AT+ysec?" and gives the message for its answer.
std::string RunSimStatusQuery(CCommandContext& ctx);

struct CReversePortTexts {
    const char* pszNoCard;
    const char* pszPortError;
    const char* pszFail;
};
// English texts when bEnglish is non-zero, else the Chinese ones as code page 936 bytes.
CReversePortTexts ReversePortTexts(int bEnglish);
