// The two device mode commands: fixed sequences of the card's proprietary AT commands that switch
// its CD-ROM autorun and its download mode, and the one runner that sends them.
#include <algorithm>
#include <iterator>

#include "commands/Commands.h"
#include "serial/AtChannel.h"

namespace {

constexpr int kTriesPerStep = 3;
constexpr uint32_t kReopenWait = 1000;
constexpr uint32_t kBetweenCommandsWait = 1000;

constexpr CCommandStep kCloseAutorunSteps[] = {
    {"AT+YCDRUN=E", 0, true},
    {"AT+YCDRUN=8", kBetweenCommandsWait, true},
};
constexpr CCommandStep kOpenAutorunSteps[] = {
    {"AT+YCDRUN=F", 0, true},
    {"AT+YCDRUN=9", kBetweenCommandsWait, true},
};

// Some models keep their autorun off until they also get "AT+YCDRUN=N". A model answer that names
// none of them, or an "N" that the card rejects, leads to another pass, with no wait and no reopen.
constexpr int kModelPasses = 3;
constexpr const char* kModelSwitch = "AT+YCDRUN=N";
const char* const kSwitchableModels[] = {"R2281-Y", "R2280-Y", "R5515-Y"};

bool StopNow(const CCommandContext& ctx)
{
    return ctx.stopNow && ctx.stopNow();
}

void RunStep(const CCommandStep& step, CCommandContext& ctx, CModeRunResult& result)
{
    if (step.nWaitBefore != 0 && !StopNow(ctx))
        ctx.pClock->Sleep(step.nWaitBefore);
    for (int nTry = 0; nTry < kTriesPerStep && !StopNow(ctx); ++nTry) {
        // Only a blank answer line means the port needs reopening; ERROR and a silent card ("error")
        // are answers of their own and end the step.
        if (!ExchangeCommand(ctx, step.pszCommand, result.exchanges).reply.BlankAnswer() || !step.bReopenOnEmpty)
            break;
        if (ctx.reopenPort)
            ctx.reopenPort();
        ctx.pClock->Sleep(kReopenWait);
    }
}

void RunModelStep(CCommandContext& ctx, CModeRunResult& result)
{
    for (int nPass = 0; nPass < kModelPasses && !StopNow(ctx); ++nPass) {
        if (!NamesSwitchableModel(ExchangeCommand(ctx, kModelQuery, result.exchanges).Answer()))
            continue;
        // A switch the card refuses (ERROR, +CME ERROR, ...) is asked again after the model.
        if (!ExchangeCommand(ctx, kModelSwitch, result.exchanges).reply.Rejected())
            break;
    }
}

} // namespace

const CModeSequence kCloseAutorunSequence = {kCloseAutorunSteps, false};
const CModeSequence kOpenAutorunSequence = {kOpenAutorunSteps, true};

CExchange ExchangeCommand(CCommandContext& ctx, const std::string& strCommand, std::vector<CExchange>& exchanges)
{
    std::vector<CExchange> attempts;
    if (ctx.pChannel) {
        ctx.pChannel->Exchange(strCommand);
        for (const CAtAttempt& attempt : ctx.pChannel->Attempts()) {
            CExchange exchange{strCommand, attempt.reply, attempt.bSent, attempt.nReplyBytes};
            exchange.nAttempt = static_cast<int>(attempts.size()) + 1;
            exchange.bLastAttempt = false;
            attempts.push_back(std::move(exchange));
        }
    }
    // No channel, or stopped before the first write: one exchange that was not sent.
    if (attempts.empty()) {
        CExchange unsent;
        unsent.strCommand = strCommand;
        attempts.push_back(std::move(unsent));
    }
    attempts.back().bLastAttempt = true;
    for (CExchange& exchange : attempts) {
        if (ctx.onExchange)
            ctx.onExchange(exchange);
        exchanges.push_back(std::move(exchange));
    }
    return exchanges.back();
}

CModeRunResult RunModeSequence(const CModeSequence& sequence, CCommandContext& ctx)
{
    CModeRunResult result;
    for (const CCommandStep& step : sequence.steps)
        RunStep(step, ctx, result);
    if (sequence.bModelStep)
        RunModelStep(ctx, result);
    return result;
}

bool NamesSwitchableModel(const std::string& strModelAnswer)
{
    return std::any_of(std::begin(kSwitchableModels), std::end(kSwitchableModels),
                       [&](const char* pszModel) { return strModelAnswer.find(pszModel) != std::string::npos; });
}

namespace {

// Whether every command reached the port: each of its tries (its writes up to a last attempt) wrote
// it at least once.
const CExchange* FirstUnsent(const std::vector<CExchange>& exchanges)
{
    bool bSent = false;
    for (const CExchange& x : exchanges) {
        bSent = bSent || x.bSent;
        if (!x.bLastAttempt)
            continue;
        if (!bSent)
            return &x;
        bSent = false;
    }
    return nullptr;
}

// The card's last reply to a command of the run: its last write's.
const CCardReply& FinalReply(const std::vector<CExchange>& exchanges, const std::string& strCommand)
{
    return std::find_if(exchanges.rbegin(), exchanges.rend(), [&](const CExchange& x) { return x.strCommand == strCommand; })
        ->reply;
}

} // namespace

bool ModeRunSucceeded(const CModeRunResult& result)
{
    const std::vector<CExchange>& exchanges = result.exchanges;
    if (exchanges.empty())
        return false;
    // A command that could not even be written went nowhere: the run did not do what it reports.
    if (FirstUnsent(exchanges))
        return false;
    const std::string& strFirstCommand = exchanges.front().strCommand;
    const CCardReply& first = FinalReply(exchanges, strFirstCommand);
    if (!first.AnsweredOk() || first.BlankAnswer())
        return false;
    return std::none_of(exchanges.begin(), exchanges.end(), [&](const CExchange& x) {
        return x.strCommand != strFirstCommand && FinalReply(exchanges, x.strCommand).Rejected();
    });
}

CModeVerdict JudgeModeRun(const CModeRunResult& result)
{
    const std::vector<CExchange>& exchanges = result.exchanges;
    if (ModeRunSucceeded(result))
        return {EModeOutcome::kDone, {}, 0, {}};
    if (const CExchange* pUnsent = FirstUnsent(exchanges))
        return {EModeOutcome::kPortFailed, pUnsent->strCommand, 0, {}};
    if (std::none_of(exchanges.begin(), exchanges.end(), [](const CExchange& x) { return x.Answered(); })) {
        const auto babbled = std::find_if(exchanges.begin(), exchanges.end(), [](const CExchange& x) { return x.CardBytes() > 0; });
        if (babbled != exchanges.end())
            return {EModeOutcome::kNoAnswerLine, babbled->strCommand, babbled->CardBytes(), {}};
        return {EModeOutcome::kSilent, {}, 0, {}};
    }
    // The first command whose last reply is a final result other than OK, else the first command,
    // left unanswered (or answered with a blank line).
    for (const CExchange& x : exchanges) {
        const CCardReply& last = FinalReply(exchanges, x.strCommand);
        if (last.Rejected())
            return {EModeOutcome::kRejected, x.strCommand, 0, last.strResult};
    }
    return {EModeOutcome::kUnanswered, exchanges.front().strCommand, 0, {}};
}
