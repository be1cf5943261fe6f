#include "cli/CardRun.h"

#include <algorithm>
#include <iostream>

#include "cli/CliPlatform.h"
#include "cli/CliStatus.h"
#include "cli/Interrupt.h"
#include "commands/CardIdentity.h"
#include "serial/AtChannel.h"

namespace {

// A progress line, on standard error and in the transcript.
void Note(const std::string& strLine, CRunShared& shared, bool bProgress)
{
    if (shared.pTranscript && shared.pTranscript->IsOpen())
        shared.pTranscript->Note(strLine);
    if (!bProgress || !shared.bProgress)
        return;
    std::lock_guard<std::mutex> lock(shared.errMutex);
    std::cerr << strLine << std::endl;
}

CClaimContext ClaimContext(CRunShared& shared, bool bProgress)
{
    CClaimContext ctx;
    ctx.pScan = &shared.holderScan;
    ctx.pClock = shared.pClock;
    ctx.bInhibit = shared.bInhibit;
    ctx.note = [&shared, bProgress](const std::string& strLine) { Note(strLine, shared, bProgress); };
    ctx.stopNow = [] { return Interrupted(); };
    return ctx;
}

// The channel of one run, open on its port, with its bytes going to the transcript. It stops at
// its next step once the program is interrupted, and remembers that it did.
class CRunChannel {
public:
    CRunChannel(const std::string& strName, CRunShared& shared, bool bProgress, CRunOpenWatch* pWatch = nullptr)
        : m_strName(strName), m_strDevice(SerialDeviceOfName(strName)), m_strShown(PrintableText(m_strDevice)),
          m_shared(shared), m_bProgress(bProgress && shared.bProgress), m_pWatch(pWatch), m_channel(*shared.pClock)
    {
        m_channel.SetFinishOnResult(true);
        m_channel.SetAbandon([this] { return StopNow(); });
        if (m_shared.pTranscript && m_shared.pTranscript->IsOpen()) {
            m_channel.SetTrafficObserver([this](bool bWritten, const std::string& strBytes) {
                m_shared.pTranscript->Traffic(m_strShown, bWritten, strBytes);
            });
        }
    }

    // Every open of the run's, the first and any reopen, is its own to the watch.
    bool Open()
    {
        m_strRefusal = RefusedPort(m_strDevice).value_or("");
        if (!m_strRefusal.empty())
            return false;
        const auto open = [this] { return m_channel.OpenCardPort(m_strName) != 0; };
        return m_pWatch ? m_pWatch->OwnOpen(m_strDevice, open) : open();
    }

    // "CreateFileA: another program has COM5 open (...)" (the port is named beside it).
    std::string Failure() const
    {
        if (!m_strRefusal.empty())
            return m_strRefusal;
        const CSerialError& error = m_channel.PortError();
        if (error.strCall.empty())
            return "the port cannot be used";
        return error.strCall + ": " + DescribeSystemError(error, m_strDevice);
    }

    CCommandContext Context()
    {
        CCommandContext ctx;
        ctx.pChannel = &m_channel;
        ctx.pClock = m_shared.pClock;
        ctx.reopenPort = [this] { return Open() ? 1 : 0; };
        ctx.stopNow = [this] { return StopNow(); };
        ctx.onExchange = [this](const CExchange& exchange) { Progress(exchange); };
        return ctx;
    }

    const std::string& Shown() const { return m_strShown; }
    bool Stopped() const { return m_bStopped; }

private:
    bool StopNow()
    {
        if (Interrupted())
            m_bStopped = true;
        return m_bStopped;
    }

    // Each exchange (each write) as progress shows it, on standard error and in the transcript.
    void Progress(const CExchange& exchange) { Note(m_strShown + ": " + ExchangeText(exchange), m_shared, m_bProgress); }

    std::string m_strName;
    std::string m_strDevice;
    std::string m_strShown;
    std::string m_strRefusal;   // why the port may not be opened at all
    CRunShared& m_shared;
    bool m_bProgress;
    CRunOpenWatch* m_pWatch;
    bool m_bStopped = false;
    CAtChannel m_channel;
};

std::string NoAnswerLine(const std::string& strCommand, int nReplyBytes)
{
    return "the card sent " + std::to_string(nReplyBytes) + " bytes but no answer line to " + strCommand;
}

std::string QuotedList(const std::vector<std::string>& lines)
{
    std::string str;
    for (const std::string& strLine : lines)
        str += (str.empty() ? "\"" : ", \"") + EscapeBytes(strLine) + "\"";
    return str;
}

// The query's exchanges (one per write), judged.
CBenchRow RunQuery(const CCardCommand& command, CRunChannel& channel)
{
    CCommandContext ctx = channel.Context();
    std::vector<CExchange> exchanges;
    ExchangeCommand(ctx, command.pszQuery, exchanges);
    return JudgeQuery(exchanges);
}

CBenchRow RunProbe(const CCardCommand& command, CRunChannel& channel)
{
    CBenchRow outcome = RunQuery(command, channel);
    if (outcome.nStatus != kCliOk)
        return outcome;
    const CCardReply& reply = outcome.exchanges.back().reply;
    if (reply.AnsweredOk()) {
        outcome.strMessage = "ok";
    } else {
        outcome.nStatus = kCliRejected;
        outcome.strMessage = "the card answered \"" + EscapeBytes(reply.strResult) + "\" to " + command.pszQuery;
    }
    return outcome;
}

CBenchRow RunSimStatus(const CCardCommand& command, CRunChannel& channel)
{
    CBenchRow outcome = RunQuery(command, channel);
    if (outcome.nStatus != kCliOk)
        return outcome;
    const ESimStatus eStatus = SimStatusOfExchange(outcome.exchanges.back());
    outcome.strMessage = SimStatusText(eStatus);
    // The card's own "ERROR", or an answer that names no status it knows.
    if (eStatus == ESimStatus::kCardError || eStatus == ESimStatus::kUnknownAnswer)
        outcome.nStatus = kCliRejected;
    return outcome;
}

CBenchRow RunModeCommand(const CCardCommand& command, CRunChannel& channel)
{
    CCommandContext ctx = channel.Context();
    CBenchRow outcome = ModeRunOutcome(RunModeSequence(*command.pSequence, ctx));
    if (outcome.nStatus == kCliPortFailed)
        outcome.strMessage = channel.Failure();
    return outcome;
}

// "interrupted after AT+YCDRUN=E": the last command that reached the card.
std::string InterruptedMessage(const std::vector<CExchange>& exchanges)
{
    const auto last = std::find_if(exchanges.rbegin(), exchanges.rend(), [](const CExchange& x) { return x.bSent; });
    if (last == exchanges.rend())
        return "interrupted before any command was sent";
    return "interrupted after " + last->strCommand;
}

} // namespace

std::string ExchangeText(const CExchange& exchange)
{
    const CCardReply& reply = exchange.reply;
    std::string str = exchange.strCommand;
    if (exchange.nAttempt > 1)
        str += " (sent again)";
    str += " -> ";
    if (!exchange.bSent)
        str += "not sent";
    else if (reply.Answered() && !reply.info.empty())
        str += QuotedList(reply.info) + ", then " + EscapeBytes(reply.strResult);
    else if (reply.Answered() && reply.answerLine && *reply.answerLine != reply.strResult)
        str += "\"" + EscapeBytes(*reply.answerLine) + "\", then " + EscapeBytes(reply.strResult);
    else if (reply.Answered())
        str += "\"" + EscapeBytes(reply.strResult) + "\"";
    else if (reply.answerLine)
        str += "\"" + EscapeBytes(*reply.answerLine) + "\" without a final result";
    else if (exchange.CardBytes() > 0)
        str += std::to_string(exchange.CardBytes()) + " bytes, no answer line";
    else
        str += "no answer";
    if (!reply.unsolicited.empty())
        str += "; unsolicited " + QuotedList(reply.unsolicited);
    if (!reply.strStale.empty())
        str += "; " + std::to_string(reply.strStale.size()) + " stale bytes before it";
    if (!exchange.bLastAttempt)
        str += "; sending it again";
    return str;
}

CBenchRow JudgeQuery(const std::vector<CExchange>& exchanges)
{
    CBenchRow outcome;
    outcome.exchanges = exchanges;
    if (exchanges.empty())
        return outcome;
    const CExchange& exchange = exchanges.back();
    if (exchange.Answered())
        return outcome;
    if (exchange.CardBytes() > 0) {
        outcome.nStatus = kCliRejected;
        outcome.strMessage = NoAnswerLine(exchange.strCommand, exchange.CardBytes());
    } else {
        outcome.nStatus = kCliSilent;
        outcome.strMessage = "no answer to " + exchange.strCommand + ": the card is silent";
    }
    return outcome;
}

CBenchRow ModeRunOutcome(const CModeRunResult& result)
{
    const CModeVerdict verdict = JudgeModeRun(result);
    CBenchRow outcome;
    outcome.exchanges = result.exchanges;
    switch (verdict.eOutcome) {
    case EModeOutcome::kDone:
        outcome.strMessage = "ok";
        break;
    case EModeOutcome::kRejected:
        outcome.nStatus = kCliRejected;
        outcome.strMessage = "the card rejected " + verdict.strCommand + " (" + EscapeBytes(verdict.strResult) + ")";
        break;
    case EModeOutcome::kUnanswered:
        outcome.nStatus = kCliRejected;
        outcome.strMessage = "no answer to " + verdict.strCommand;
        break;
    case EModeOutcome::kNoAnswerLine:
        outcome.nStatus = kCliRejected;
        outcome.strMessage = NoAnswerLine(verdict.strCommand, verdict.nReplyBytes);
        break;
    case EModeOutcome::kSilent:
        outcome.nStatus = kCliSilent;
        outcome.strMessage = "no answer to any command: the card is silent";
        break;
    case EModeOutcome::kPortFailed:
        outcome.nStatus = kCliPortFailed;
        outcome.strMessage = verdict.strCommand + " could not be sent";
        break;
    }
    return outcome;
}

// The card's model and IMEI, asked before anything else; they stay apart from the command's exchanges.
void AskIdentity(CRunChannel& channel, CBenchRow& outcome)
{
    CCommandContext ctx = channel.Context();
    CCardIdentity identity = ReadCardIdentity(ctx);
    outcome.strModel = identity.strModel.value_or("");
    outcome.strImei = identity.strImei.value_or("");
    outcome.strModelUnknown = std::move(identity.strModelUnknown);
    outcome.strImeiUnknown = std::move(identity.strImeiUnknown);
    outcome.identityExchanges = std::move(identity.exchanges);
}

CCardPorts PortsOfCard(const CInventoryCard* pCard, const std::string& strSlot, const std::string& strPort)
{
    CCardPorts ports{pCard ? pCard->strSlot : strSlot, {}};
    if (pCard) {
        for (const CInventoryPort& port : pCard->ports) {
            if (!port.strDevice.empty())
                ports.devices.push_back(port.strDevice);
        }
    }
    const std::string strDevice = SerialDeviceOfName(strPort);
    if (!strPort.empty() && std::find(ports.devices.begin(), ports.devices.end(), strDevice) == ports.devices.end())
        ports.devices.push_back(strDevice);
    return ports;
}

CPortClaim ClaimCardPorts(const CCardPorts& ports, CRunShared& shared, bool bProgress)
{
    return ClaimPorts(ports, ClaimContext(shared, bProgress));
}

CBenchRow RunOnPort(const CCardCommand& command, const std::string& strCard, const std::string& strName,
                    CRunShared& shared, bool bProgress, bool bIdentity, const CCardPorts* pCard)
{
    const CCardPorts ports = pCard ? *pCard : PortsOfCard(nullptr, "", strName);
    // Watched from before the look that clears the run: whoever opens a port later is reported.
    CRunOpenWatch watch(shared.openCounts, ports.devices);
    CRunChannel channel(strName, shared, bProgress, &watch);
    CBenchRow outcome;
    CBenchRow identity;
    const CPortClaim claim = Interrupted() ? CPortClaim{} : ClaimCardPorts(ports, shared, bProgress);
    const bool bOpened = !Interrupted() && !claim.Refused() && channel.Open();
    if (bOpened && bIdentity)
        AskIdentity(channel, identity);
    if (Interrupted()) {
        outcome.nStatus = InterruptStatus();
        outcome.strMessage = InterruptedMessage({});
    } else if (claim.Refused()) {
        outcome.nStatus = kCliPortFailed;
        outcome.strMessage = claim.strRefusal;
        outcome.holders = claim.holders;
    } else if (!bOpened) {
        outcome.nStatus = kCliPortFailed;
        outcome.strMessage = channel.Failure();
    } else if (command.eKind == ECardCommandKind::kProbe) {
        outcome = RunProbe(command, channel);
    } else if (command.eKind == ECardCommandKind::kSimStatus) {
        outcome = RunSimStatus(command, channel);
    } else {
        outcome = RunModeCommand(command, channel);
    }
    if (channel.Stopped() || (Interrupted() && outcome.exchanges.empty())) {
        std::vector<CExchange> all = identity.identityExchanges;
        all.insert(all.end(), outcome.exchanges.begin(), outcome.exchanges.end());
        outcome.nStatus = InterruptStatus();
        outcome.strMessage = InterruptedMessage(all);
    } else if (bOpened && !watch.OnlyOwnOpens()) {
        // Whoever has a port open now read some of the card's answers, or wrote some of ours.
        std::vector<CPortHolder> after = HoldersAfterRun(ports, ClaimContext(shared, bProgress));
        if (!after.empty()) {
            outcome.nStatus = kCliSharedPort;
            outcome.strMessage = SharedPortMessage(after);
            outcome.holders = std::move(after);
        }
    }
    outcome.bModemManagerInhibited = claim.bInhibited;
    outcome.strModel = std::move(identity.strModel);
    outcome.strImei = std::move(identity.strImei);
    outcome.strModelUnknown = std::move(identity.strModelUnknown);
    outcome.strImeiUnknown = std::move(identity.strImeiUnknown);
    outcome.identityExchanges = std::move(identity.identityExchanges);
    outcome.strCard = strCard;
    outcome.strPort = channel.Shown();
    return outcome;
}

CBenchRow ReadIdentityOnPort(const std::string& strName, CRunShared& shared)
{
    CRunChannel channel(strName, shared, false);
    CBenchRow outcome;
    const CPortClaim claim = Interrupted() ? CPortClaim{} : ClaimCardPorts(PortsOfCard(nullptr, "", strName), shared, false);
    if (Interrupted()) {
        outcome.nStatus = InterruptStatus();
        outcome.strMessage = InterruptedMessage({});
    } else if (claim.Refused()) {
        outcome.nStatus = kCliPortFailed;
        outcome.strMessage = claim.strRefusal;
        outcome.holders = claim.holders;
    } else if (!channel.Open()) {
        outcome.nStatus = kCliPortFailed;
        outcome.strMessage = channel.Failure();
    } else {
        AskIdentity(channel, outcome);
    }
    outcome.strPort = channel.Shown();
    return outcome;
}
