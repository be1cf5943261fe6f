#pragma once
// One subcommand on one card's port: open, exchange, judge. Each run has a channel of its own, so
// runs on several cards go on in parallel threads.
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "cli/BenchRow.h"
#include "cli/CliPlatform.h"
#include "cli/PortClaim.h"
#include "cli/Transcript.h"
#include "commands/CommandTable.h"
#include "discovery/CardInventory.h"
#include "platform/Clock.h"

// What every run shares: the transcript (may be closed), whether to show progress on standard
// error, the lock that keeps progress lines whole, and the clock whose waits an interruption ends.
struct CRunShared {
    CTranscript* pTranscript = nullptr;
    bool bProgress = true;
    std::mutex errMutex;
    IClock* pClock = &SystemClock();
    CHolderScan holderScan;           // who else has a card's ports open, one look for all the cards
    CDeviceOpenCounts openCounts{NewDeviceOpenSource()};   // who else opened one during its run
    bool bInhibit = true;             // ask ModemManager to step aside (--no-inhibit: no)
};

// Runs a command of the card command table on the port a user named strName, first asking the card's
// model and IMEI when bIdentity. With bProgress false nothing goes to standard error (a port tried
// while choosing one). Nothing is sent while another program has one of the card's ports open
// (pCard: all of them; else the port named), and a port opened by another during the run makes the
// outcome "shared port".
CBenchRow RunOnPort(const CCardCommand& command, const std::string& strCard, const std::string& strName,
                    CRunShared& shared, bool bProgress = true, bool bIdentity = true,
                    const CCardPorts* pCard = nullptr);

// The ports of the card a user named, or just the port named; a claim on them for the run.
CCardPorts PortsOfCard(const CInventoryCard* pCard, const std::string& strSlot, const std::string& strPort);
CPortClaim ClaimCardPorts(const CCardPorts& ports, CRunShared& shared, bool bProgress);

// Only the model and IMEI questions on the port (list --probe); the outcome's status says whether
// the port could be used.
CBenchRow ReadIdentityOnPort(const std::string& strName, CRunShared& shared);

// A finished mode run's verdict as the command line reports it: status and message (pure).
CBenchRow ModeRunOutcome(const CModeRunResult& result);
// The judgement of one query ("AT", "AT+ysec?") from its exchanges (one per write; the last one's
// reply counts): silent, no answer line, or answered with a final result (status 0, the message
// left to the caller) (pure).
CBenchRow JudgeQuery(const std::vector<CExchange>& exchanges);
// One exchange as progress shows it: 'AT+CGMM -> "R2280-Y", then OK; unsolicited "+CREG: 1"'.
std::string ExchangeText(const CExchange& exchange);
