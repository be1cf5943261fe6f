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
constexpr const char* kAskModel = "AT+CGMM";
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
        result.exchanges.push_back(ExchangeCommand(ctx, step.pszCommand));
        // Only an empty line means the port needs reopening; "ERROR" and a silent card ("error")
        // are answers of their own and end the step.
        if (!result.exchanges.back().strAnswer.empty() || !step.bReopenOnEmpty)
            break;
        if (ctx.reopenPort)
            ctx.reopenPort();
        ctx.pClock->Sleep(kReopenWait);
    }
}

void RunModelStep(CCommandContext& ctx, CModeRunResult& result)
{
    for (int nPass = 0; nPass < kModelPasses && !StopNow(ctx); ++nPass) {
        result.exchanges.push_back(ExchangeCommand(ctx, kAskModel));
        if (!NamesSwitchableModel(result.exchanges.back().strAnswer))
            continue;
        result.exchanges.push_back(ExchangeCommand(ctx, kModelSwitch));
        if (result.exchanges.back().strAnswer != "ERROR")
            break;
    }
}

} // namespace

const CModeSequence kCloseAutorunSequence = {kCloseAutorunSteps, false};
const CModeSequence kOpenAutorunSequence = {kOpenAutorunSteps, true};

CExchange ExchangeCommand(CCommandContext& ctx, const std::string& strCommand)
{
    CExchange exchange{strCommand, "error", false};
    if (ctx.pChannel) {
        exchange.strAnswer = ctx.pChannel->Exchange(strCommand);
        exchange.bSent = ctx.pChannel->WasSent() != 0;
        exchange.bAnswered = ctx.pChannel->WasAnswered() != 0;
        exchange.nReplyBytes = ctx.pChannel->GetReplyByteCount();
    }
    if (ctx.onExchange)
        ctx.onExchange(exchange);
    return exchange;
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

bool ModeRunSucceeded(const CModeRunResult& result)
{
    const std::vector<CExchange>& exchanges = result.exchanges;
    if (exchanges.empty())
        return false;
    // A command that could not even be written went nowhere: the run did not do what it reports.
    if (std::any_of(exchanges.begin(), exchanges.end(), [](const CExchange& x) { return !x.bSent; }))
        return false;
    // Each command's final answer is that of its last exchange.
    auto finalAnswer = [&](const std::string& strCommand) -> const std::string& {
        return std::find_if(exchanges.rbegin(), exchanges.rend(),
                            [&](const CExchange& x) { return x.strCommand == strCommand; })->strAnswer;
    };
    const std::string& strFirstCommand = exchanges.front().strCommand;
    const std::string& strFirst = finalAnswer(strFirstCommand);
    if (strFirst.empty() || strFirst == "error" || strFirst == "ERROR")
        return false;
    return std::none_of(exchanges.begin(), exchanges.end(), [&](const CExchange& x) {
        return x.strCommand != strFirstCommand && finalAnswer(x.strCommand) == "ERROR";
    });
}

CModeVerdict JudgeModeRun(const CModeRunResult& result)
{
    const std::vector<CExchange>& exchanges = result.exchanges;
    if (ModeRunSucceeded(result))
        return {EModeOutcome::kDone, {}, 0};
    const auto unsent = std::find_if(exchanges.begin(), exchanges.end(), [](const CExchange& x) { return !x.bSent; });
    if (unsent != exchanges.end())
        return {EModeOutcome::kPortFailed, unsent->strCommand, 0};
    if (std::none_of(exchanges.begin(), exchanges.end(), [](const CExchange& x) { return x.bAnswered; })) {
        const auto babbled = std::find_if(exchanges.begin(), exchanges.end(), [](const CExchange& x) { return x.nReplyBytes > 0; });
        if (babbled != exchanges.end())
            return {EModeOutcome::kNoAnswerLine, babbled->strCommand, babbled->nReplyBytes};
        return {EModeOutcome::kSilent, {}, 0};
    }
    // The first command whose final answer is "ERROR", else the first command left unanswered.
    for (const CExchange& x : exchanges) {
        const auto last = std::find_if(exchanges.rbegin(), exchanges.rend(),
                                       [&](const CExchange& y) { return y.strCommand == x.strCommand; });
        if (last->bAnswered && last->strAnswer == "ERROR")
            return {EModeOutcome::kRejected, x.strCommand, 0};
    }
    return {EModeOutcome::kUnanswered, exchanges.front().strCommand, 0};
}
