#include "cli/CardRun.h"

#include <algorithm>
#include <iostream>

#include "cli/CliPlatform.h"
#include "cli/CliStatus.h"
#include "cli/Interrupt.h"
#include "serial/AtChannel.h"
#include "serial/CardLine.h"

namespace {

// The channel of one run, open on its port, with its bytes going to the transcript. It stops at
// its next step once the program is interrupted, and remembers that it did.
class CRunChannel {
public:
    CRunChannel(const std::string& strName, CRunShared& shared, bool bProgress)
        : m_strName(strName), m_strDevice(SerialDeviceOfName(strName)), m_strShown(PrintableText(m_strDevice)),
          m_shared(shared), m_bProgress(bProgress && shared.bProgress), m_channel(*shared.pClock)
    {
        m_channel.SetFinishOnResult(true);
        m_channel.SetAbandon([this] { return StopNow(); });
        if (m_shared.pTranscript && m_shared.pTranscript->IsOpen()) {
            m_channel.SetTrafficObserver([this](bool bWritten, const std::string& strBytes) {
                m_shared.pTranscript->Traffic(m_strShown, bWritten, strBytes);
            });
        }
    }

    bool Open()
    {
        m_channel.m_port.Close();
        if (!m_channel.m_port.OpenNamed(m_strName, kCardBaud, kCardDataBits, kCardStopBits))
            return false;
        m_channel.SetTimeout(kCardAnswerWait);
        m_channel.SetAttempts(kCardAnswerAttempts);
        return true;
    }

    // "CreateFileA: access denied: another program holds the port" (the port is named beside it).
    std::string Failure() const
    {
        const CSerialError& error = m_channel.m_port.LastError();
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

    void Progress(const CExchange& exchange)
    {
        if (!m_bProgress)
            return;
        std::string strLine = m_strShown + ": " + exchange.strCommand + " -> ";
        if (!exchange.bSent)
            strLine.append("not sent");
        else if (exchange.bAnswered)
            strLine.append("\"").append(EscapeBytes(exchange.strAnswer)).append("\"");
        else if (exchange.nReplyBytes > 0)
            strLine.append(std::to_string(exchange.nReplyBytes)).append(" bytes, no answer line");
        else
            strLine.append("no answer");
        std::lock_guard<std::mutex> lock(m_shared.errMutex);
        std::cerr << strLine << std::endl;
    }

    std::string m_strName;
    std::string m_strDevice;
    std::string m_strShown;
    CRunShared& m_shared;
    bool m_bProgress;
    bool m_bStopped = false;
    CAtChannel m_channel;
};

std::string NoAnswerLine(const CExchange& exchange)
{
    return "the card answered " + std::to_string(exchange.nReplyBytes) + " bytes but no answer line to " +
           exchange.strCommand;
}

CCardOutcome RunProbe(CRunChannel& channel)
{
    CCommandContext ctx = channel.Context();
    CCardOutcome outcome = JudgeQuery(ExchangeCommand(ctx, "AT"));
    if (outcome.nStatus != kCliOk)
        return outcome;
    const std::string& strAnswer = outcome.exchanges.front().strAnswer;
    if (strAnswer.find("OK") != std::string::npos) {
        outcome.strMessage = "ok";
    } else {
        outcome.nStatus = kCliRejected;
        outcome.strMessage = "the card answered \"" + EscapeBytes(strAnswer) + "\" to AT";
    }
    return outcome;
}

CCardOutcome RunSimStatus(CRunChannel& channel)
{
    CCommandContext ctx = channel.Context();
    CCardOutcome outcome = JudgeQuery(ExchangeCommand(ctx, "AT+ysec?"));
    if (outcome.nStatus != kCliOk)
        return outcome;
    outcome.strMessage = SimStatusMessage(outcome.exchanges.front().strAnswer);
    // The card's own "ERROR", or an answer that names no status it knows.
    if (outcome.strMessage == "error!" || outcome.strMessage == "unknow error!")
        outcome.nStatus = kCliRejected;
    return outcome;
}

CCardOutcome RunModeCommand(ECliCommand eCommand, CRunChannel& channel)
{
    CCommandContext ctx = channel.Context();
    const CModeRunResult result =
        RunModeSequence(eCommand == ECliCommand::kCloseAutorun ? kCloseAutorunSequence : kOpenAutorunSequence, ctx);
    CCardOutcome outcome = JudgeModeRun(result);
    if (std::any_of(result.exchanges.begin(), result.exchanges.end(), [](const CExchange& x) { return !x.bSent; })) {
        outcome.nStatus = kCliPortFailed;
        outcome.strMessage = channel.Failure();
    }
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

const char* CliCommandName(ECliCommand eCommand)
{
    switch (eCommand) {
    case ECliCommand::kList: return "list";
    case ECliCommand::kProbe: return "probe";
    case ECliCommand::kCloseAutorun: return "close-autorun";
    case ECliCommand::kOpenAutorun: return "open-autorun";
    case ECliCommand::kSimStatus: return "sim-status";
    }
    return "?";
}

CCardOutcome JudgeQuery(const CExchange& exchange)
{
    CCardOutcome outcome;
    outcome.exchanges = {exchange};
    if (exchange.bAnswered)
        return outcome;
    if (exchange.nReplyBytes > 0) {
        outcome.nStatus = kCliRejected;
        outcome.strMessage = NoAnswerLine(exchange);
    } else {
        outcome.nStatus = kCliSilent;
        outcome.strMessage = "no answer to " + exchange.strCommand + ": the card is silent";
    }
    return outcome;
}

CCardOutcome JudgeModeRun(const CModeRunResult& result)
{
    CCardOutcome outcome;
    outcome.exchanges = result.exchanges;
    const std::vector<CExchange>& exchanges = result.exchanges;
    if (ModeRunSucceeded(result)) {
        outcome.strMessage = "ok";
        return outcome;
    }
    const bool bNoAnswerLine = std::none_of(exchanges.begin(), exchanges.end(), [](const CExchange& x) { return x.bAnswered; });
    if (bNoAnswerLine) {
        const auto babbled = std::find_if(exchanges.begin(), exchanges.end(), [](const CExchange& x) { return x.nReplyBytes > 0; });
        if (babbled != exchanges.end()) {
            outcome.nStatus = kCliRejected;
            outcome.strMessage = NoAnswerLine(*babbled);
        } else {
            outcome.nStatus = kCliSilent;
            outcome.strMessage = "no answer to any command: the card is silent";
        }
        return outcome;
    }
    outcome.nStatus = kCliRejected;
    // The first command whose final answer is "ERROR", else the first command left unanswered.
    for (const CExchange& x : exchanges) {
        const auto last = std::find_if(exchanges.rbegin(), exchanges.rend(),
                                       [&](const CExchange& y) { return y.strCommand == x.strCommand; });
        if (last->bAnswered && last->strAnswer == "ERROR") {
            outcome.strMessage = "the card rejected " + x.strCommand + " (ERROR)";
            return outcome;
        }
    }
    outcome.strMessage = "no answer to " + exchanges.front().strCommand;
    return outcome;
}

CCardOutcome RunOnPort(ECliCommand eCommand, const std::string& strCard, const std::string& strName, CRunShared& shared,
                       bool bProgress)
{
    CRunChannel channel(strName, shared, bProgress);
    CCardOutcome outcome;
    if (Interrupted()) {
        outcome.nStatus = InterruptStatus();
        outcome.strMessage = InterruptedMessage({});
    } else if (!channel.Open()) {
        outcome.nStatus = kCliPortFailed;
        outcome.strMessage = channel.Failure();
    } else if (eCommand == ECliCommand::kProbe) {
        outcome = RunProbe(channel);
    } else if (eCommand == ECliCommand::kSimStatus) {
        outcome = RunSimStatus(channel);
    } else {
        outcome = RunModeCommand(eCommand, channel);
    }
    if (channel.Stopped()) {
        outcome.nStatus = InterruptStatus();
        outcome.strMessage = InterruptedMessage(outcome.exchanges);
    }
    outcome.strCard = strCard;
    outcome.strPort = channel.Shown();
    return outcome;
}
