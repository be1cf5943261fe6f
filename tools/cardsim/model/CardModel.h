#pragma once
// The data card's command interpreter as a pure model: bytes from the host in, timed reply chunks
// out. The pseudo-terminal card (tools/cardsim/pty) and the tests' simulated serial back end both
// drive this one model, so the card behaves the same on every transport.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum class CardFault {
    None,
    Silent,          // reads commands, never answers
    EmptyLine,       // answers every command with an empty framed line: CR LF CR LF
    Error,           // answers "ERROR" (nFaultCount times, then normally; -1 for ever)
    PauseMidReply,   // sends the echo (or the first CR LF), pauses nPauseMs, then the rest
    Dribble,         // sends the reply one byte at a time, nPauseMs apart
    Garbage,         // answers with bytes that hold no framed line
    LongReply,       // answers with a reply longer than 256 bytes (the answer line comes first)
    Babble,          // answers normally, and also sends unsolicited lines every nPauseMs
    Flood,           // answers normally, then never stops sending: bytes without CR, LF or NUL at
                     // line rate (kFloodBytesPerMs) from each answer on, until the options change
};

// Where an unsolicited result code goes in every reply: before the echo, right after it, before the
// final result (after any information line), after the final result, or on its own a while after
// the reply (alone between commands).
enum class CardUrcAt { BeforeEcho, AfterEcho, BeforeResult, AfterResult, Later };

struct CardUrc {
    CardUrcAt at = CardUrcAt::AfterEcho;
    std::string strLine;                  // framed by CR LF pairs when sent ("+CREG: 1", "RING")
};

// A command answered late: its whole reply, echo included, nMs after it arrived, nTimes times.
struct CardLate {
    std::string strCommand;               // compared without regard to case; "*": every command
    uint32_t nMs = 0;
    int nTimes = -1;                      // -1: every time
};

struct CardOptions {
    bool bEcho = true;                    // echo each command line (with its CR) before the reply
    std::string strModel = "R2280-Y";     // the answer line to AT+CGMM
    std::string strImei = "356938035643809";   // the answer line to AT+CGSN
    bool bSimPresent = true;              // AT+ysec? -> "+YSEC: 3,0" (present) or "+YSEC: 0,0"
    CardFault fault = CardFault::None;
    int nFaultCount = -1;                 // how many commands the fault applies to; -1: all
    uint32_t nPauseMs = 400;              // PauseMidReply, Dribble and Babble timing
    uint32_t nReplyDelayMs = 0;           // think time: the answer starts this long after the echo
    size_t nPauseAt = 0;                  // PauseMidReply: the pause falls after this many bytes of
                                          // echo and reply; 0: after the echo (or the opening CR LF)
    std::vector<CardUrc> unsolicited;     // sent with every reply that is not silent
    uint32_t nUrcLaterMs = 200;           // CardUrcAt::Later: this long after the reply
    std::vector<CardLate> late;           // commands answered late (the first that matches applies)
};

// A scripted reply for one command, overriding the table.
struct CardReply {
    enum Kind { Line, EmptyLine, Silent, Raw };
    Kind kind = Line;
    std::string strLine;                  // Line: the answer line ("OK", "ERROR", "R2281-Y", ...);
                                          // Raw: every byte the card sends, echo included

    static CardReply Text(std::string str) { return {Line, std::move(str)}; }
    static CardReply Empty() { return {EmptyLine, {}}; }
    static CardReply None() { return {Silent, {}}; }
    // Exactly these bytes in place of the echo and the answer (NULs, bare lines, unsolicited lines
    // around the answer, any length); the command counts as carried out unless they hold an ERROR line.
    static CardReply Bytes(std::string str) { return {Raw, std::move(str)}; }
};

// Bytes the card sends, nDelayMs after the previous chunk of the same reply (the first chunk's
// delay counts from the moment the command's CR arrived).
struct CardChunk {
    uint32_t nDelayMs = 0;
    std::string strBytes;
};

struct CardTranscriptLine {
    uint64_t nTimeMs = 0;                 // the clock's time when the line's CR arrived
    std::string strLine;                  // the command line without its CR
    bool bNotInReplay = false;            // replaying: the transcript holds no such command (from here on)
};

// A recorded exchange of a transcript that the card replays (CardReplay.h): the command line as the
// host wrote it (without its CR) and every chunk the host then read, each with its delay after the
// one before (the first after the command).
struct CardReplayStep {
    std::string strCommand;
    std::vector<CardChunk> chunks;
    size_t nLine = 0;                     // the transcript's line of the command (1-based)
};

class CCardModel {
public:
    explicit CCardModel(CardOptions options = {});

    // Bytes from the host at time nNowMs. Each complete command line (ended by CR; a LF after it is
    // ignored) is recorded and answered; returns the reply chunks in order. The card answers one
    // line after the other, so each chunk's delay counts from the previous chunk of the returned
    // list (the first from nNowMs). An empty line is ignored, as a modem does; a line longer than
    // the card's command buffer keeps only its first kMaxLineLength characters.
    std::vector<CardChunk> Receive(const std::string& strBytes, uint64_t nNowMs);
    // Unsolicited output due by nNowMs (the babbling card); empty for a quiet card.
    std::vector<CardChunk> Idle(uint64_t nNowMs);

    // The next nTimes commands equal to strCommand (compared without regard to case) get reply
    // instead of the table's; nTimes -1: every time. A later script for the same command replaces it.
    // A scripted "OK" or "ERROR" is sent as the only line; any other line as an information line
    // followed by OK. A silent reply sends nothing at all, not even the echo. An active fault still
    // applies on top of a scripted reply.
    void Script(const std::string& strCommand, CardReply reply, int nTimes = -1);
    void ClearScripts();

    // Plays back a transcript instead of the table: each command line is answered with the chunks
    // recorded after the first unplayed recording of the same command (compared exactly), at their
    // recorded delays; the recordings before it are skipped. A command the rest of the transcript
    // does not hold gets nothing and is marked in the transcript line (bNotInReplay), or, with
    // bSimulateTheRest, is answered as the simulated card would (a window's own "AT" probes between
    // a command line's recorded commands). Scripts, faults, unsolicited lines and late answers do
    // not apply to the recorded answers; the echo is the recorded one.
    void SetReplay(std::vector<CardReplayStep> steps, bool bSimulateTheRest = false);
    void StopReplay() { m_bReplay = false; }
    bool Replaying() const { return m_bReplay; }
    // The recorded commands not yet played.
    size_t ReplayStepsLeft() const { return m_replay.size() - m_nReplayNext; }

    // Replaces the options; the fault's count starts again.
    void SetOptions(const CardOptions& options);
    const CardOptions& Options() const { return m_options; }

    const std::vector<CardTranscriptLine>& Transcript() const { return m_transcript; }
    // Lines of the transcript equal to strCommand (exact text).
    int CountOf(const std::string& strCommand) const;

    // The card's switchable state: CD-ROM autorun (on when new) and download mode (off when new).
    // A mode command changes it unless the card stays silent or answers "ERROR" to it.
    bool AutorunEnabled() const { return m_bAutorun; }
    bool DownloadMode() const { return m_bDownload; }

    static constexpr size_t kMaxLineLength = 512;
    // 115200 baud at 10 bits a character is 11.52 bytes a millisecond.
    static constexpr uint64_t kFloodBytesPerMs = 11;

private:
    struct Reply {
        bool bSilent = false;
        std::string strLine;   // the answer line (decides whether a mode command took effect)
        std::string strBody;   // the bytes after the echo
        bool bRaw = false;     // strBody is all the card sends: no echo before it
    };
    Reply ScriptedOrTable(const std::string& strKey);
    bool TakeFault();
    bool FaultActive() const;
    void CarryOut(const std::string& strKey);
    void Answer(const std::string& strLine, uint64_t nNowMs, std::vector<CardChunk>& chunks);
    std::vector<CardChunk> Shape(const std::string& strEcho, const std::string& strBody, bool bFault) const;
    std::vector<CardChunk> Flood(uint64_t nNowMs);
    bool AnswerFromReplay(const std::string& strLine, std::vector<CardChunk>& chunks);
    uint32_t TakeLate(const std::string& strKey);
    std::string WithUnsolicited(CardUrcAt at) const;

    CardOptions m_options;
    std::vector<CardTranscriptLine> m_transcript;
    bool m_bAutorun = true;
    bool m_bDownload = false;
    std::string m_strPending;
    struct Scripted {
        CardReply reply;
        int nTimes;
    };
    std::map<std::string, Scripted> m_scripts;   // by upper-cased command
    int m_nFaultsUsed = 0;
    uint64_t m_nNextBabbleMs = 0;
    bool m_bBabbleStarted = false;
    bool m_bFlooding = false;             // a flooding card has answered: its stream has begun
    uint64_t m_nFloodSentMs = 0;          // the stream has been sent up to this time
    std::vector<int> m_lateUsed;          // how often each of the options' late answers was given
    bool m_bReplay = false;
    std::vector<CardReplayStep> m_replay;
    size_t m_nReplayNext = 0;
    bool m_bSimulateTheRest = false;
};
