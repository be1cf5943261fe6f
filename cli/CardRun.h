#pragma once
// One subcommand on one card's port: open, exchange, judge. Each run has a channel of its own, so
// runs on several cards go on in parallel threads.
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "cli/Transcript.h"
#include "commands/Commands.h"

enum class ECliCommand { kList, kProbe, kCloseAutorun, kOpenAutorun, kSimStatus };
const char* CliCommandName(ECliCommand eCommand);

struct CCardOutcome {
    std::string strCard;              // the card's id, empty for a port named with --port
    std::string strPort;              // the port used, empty when none could be chosen
    int nStatus = 0;                  // ECliStatus
    std::string strMessage;           // "ok", the SIM status, or what went wrong, in words
    std::vector<CExchange> exchanges;
};

// What every run shares: the transcript (may be closed), whether to show progress on standard
// error, and the lock that keeps progress lines whole.
struct CRunShared {
    CTranscript* pTranscript = nullptr;
    bool bProgress = true;
    std::mutex errMutex;
};

// Runs a probe, a mode command or the SIM status query on strPort.
CCardOutcome RunOnPort(ECliCommand eCommand, const std::string& strCard, const std::string& strPort, CRunShared& shared);

// Whether strPort opens and answers "AT" with "OK": how a card's AT port is found by probing.
bool PortAnswersAt(const std::string& strPort, CRunShared& shared);

// The judgement of a finished mode run: status and message (pure).
CCardOutcome JudgeModeRun(const CModeRunResult& result);
