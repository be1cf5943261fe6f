#include "cli/CardRun.h"

#include <algorithm>
#include <iostream>

#include "cli/CliPlatform.h"
#include "cli/CliStatus.h"
#include "serial/AtChannel.h"
#include "serial/CardLine.h"

namespace {

// The channel of one run, open on its port, with its bytes going to the transcript.
class CRunChannel {
public:
    CRunChannel(const std::string& strPort, CRunShared& shared) : m_strPort(strPort), m_shared(shared)
    {
        m_channel.SetFinishOnResult(true);
        if (m_shared.pTranscript && m_shared.pTranscript->IsOpen()) {
            m_channel.SetTrafficObserver([this](bool bWritten, const std::string& strBytes) {
                m_shared.pTranscript->Traffic(m_strPort, bWritten, strBytes);
            });
        }
    }

    bool Open()
    {
        m_channel.m_port.Close();
        if (!m_channel.m_port.OpenNamed(m_strPort, kCardBaud, kCardDataBits, kCardStopBits))
            return false;
        m_channel.SetTimeout(kCardAnswerWait);
        m_channel.SetAttempts(kCardAnswerAttempts);
        return true;
    }

    // "COM5: CreateFileA: access denied: another program holds the port".
    std::string Failure() const
    {
        const CSerialError& error = m_channel.m_port.LastError();
        if (error.strCall.empty())
            return m_strPort + ": the port cannot be used";
        return m_strPort + ": " + error.strCall + ": " + DescribeSystemError(error);
    }

    CCommandContext Context()
    {
        CCommandContext ctx;
        ctx.pChannel = &m_channel;
        ctx.reopenPort = [this] { return Open() ? 1 : 0; };
        ctx.onExchange = [this](const CExchange& exchange) { Progress(exchange); };
        return ctx;
    }

private:
    void Progress(const CExchange& exchange)
    {
        if (!m_shared.bProgress)
            return;
        std::string strLine = m_strPort + ": " + exchange.strCommand + " -> ";
        if (exchange.bSent)
            strLine.append("\"").append(EscapeBytes(exchange.strAnswer)).append("\"");
        else
            strLine.append("not sent");
        std::lock_guard<std::mutex> lock(m_shared.errMutex);
        std::cerr << strLine << std::endl;
    }

    std::string m_strPort;
    CRunShared& m_shared;
    CAtChannel m_channel;
};

bool AllSilent(const std::vector<CExchange>& exchanges)
{
    return std::all_of(exchanges.begin(), exchanges.end(), [](const CExchange& x) { return x.strAnswer == "error"; });
}

// A single query ("AT", "AT+ysec?"): not sent, silent, or answered.
CCardOutcome JudgeQuery(const CExchange& exchange, CRunChannel& channel)
{
    CCardOutcome outcome;
    outcome.exchanges = {exchange};
    if (!exchange.bSent) {
        outcome.nStatus = kCliPortFailed;
        outcome.strMessage = channel.Failure();
    } else if (exchange.strAnswer == "error") {
        outcome.nStatus = kCliSilent;
        outcome.strMessage = "no answer to " + exchange.strCommand + ": the card is silent";
    }
    return outcome;
}

CCardOutcome RunProbe(CRunChannel& channel)
{
    CCommandContext ctx = channel.Context();
    CCardOutcome outcome = JudgeQuery(ExchangeCommand(ctx, "AT"), channel);
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
    CCardOutcome outcome = JudgeQuery(ExchangeCommand(ctx, "AT+ysec?"), channel);
    if (outcome.nStatus != kCliOk)
        return outcome;
    outcome.strMessage = SimStatusMessage(outcome.exchanges.front().strAnswer);
    // The card's own "ERROR", or an answer that names no status it knows.
    if (outcome.strMessage == "error!" || outcome.strMessage == "unknow error!")
        outcome.nStatus = kCliRejected;
    return outcome;
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

CCardOutcome JudgeModeRun(const CModeRunResult& result)
{
    CCardOutcome outcome;
    outcome.exchanges = result.exchanges;
    const std::vector<CExchange>& exchanges = result.exchanges;
    if (ModeRunSucceeded(result)) {
        outcome.strMessage = "ok";
        return outcome;
    }
    if (exchanges.empty() || AllSilent(exchanges)) {
        outcome.nStatus = kCliSilent;
        outcome.strMessage = "no answer to any command: the card is silent";
        return outcome;
    }
    outcome.nStatus = kCliRejected;
    // The first command whose final answer is "ERROR", else the first command left unanswered.
    for (const CExchange& x : exchanges) {
        const auto last = std::find_if(exchanges.rbegin(), exchanges.rend(),
                                       [&](const CExchange& y) { return y.strCommand == x.strCommand; });
        if (last->strAnswer == "ERROR") {
            outcome.strMessage = "the card rejected " + x.strCommand + " (ERROR)";
            return outcome;
        }
    }
    outcome.strMessage = "no answer to " + exchanges.front().strCommand;
    return outcome;
}

CCardOutcome RunOnPort(ECliCommand eCommand, const std::string& strCard, const std::string& strPort, CRunShared& shared)
{
    CRunChannel channel(strPort, shared);
    CCardOutcome outcome;
    if (!channel.Open()) {
        outcome.nStatus = kCliPortFailed;
        outcome.strMessage = channel.Failure();
    } else if (eCommand == ECliCommand::kProbe) {
        outcome = RunProbe(channel);
    } else if (eCommand == ECliCommand::kSimStatus) {
        outcome = RunSimStatus(channel);
    } else {
        CCommandContext ctx = channel.Context();
        const CModeRunResult result =
            RunModeSequence(eCommand == ECliCommand::kCloseAutorun ? kCloseAutorunSequence : kOpenAutorunSequence, ctx);
        outcome = JudgeModeRun(result);
        if (std::any_of(result.exchanges.begin(), result.exchanges.end(), [](const CExchange& x) { return !x.bSent; })) {
            outcome.nStatus = kCliPortFailed;
            outcome.strMessage = channel.Failure();
        }
    }
    outcome.strCard = strCard;
    outcome.strPort = strPort;
    return outcome;
}

bool PortAnswersAt(const std::string& strPort, CRunShared& shared)
{
    CRunChannel channel(strPort, shared);
    if (!channel.Open())
        return false;
    CCommandContext ctx = channel.Context();
    ctx.onExchange = {};
    return ExchangeCommand(ctx, "AT").strAnswer.find("OK") != std::string::npos;
}
