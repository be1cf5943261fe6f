#include "commands/CardIdentity.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "serial/AtChannel.h"

namespace {

std::string_view Trimmed(std::string_view sv)
{
    while (!sv.empty() && (sv.front() == ' ' || sv.front() == '\t'))
        sv.remove_prefix(1);
    while (!sv.empty() && (sv.back() == ' ' || sv.back() == '\t'))
        sv.remove_suffix(1);
    return sv;
}

// The line after the prefix (compared without regard to case) and spaces, or the line itself
// when it does not start with it.
std::string_view WithoutPrefix(std::string_view sv, std::string_view svPrefix)
{
    if (sv.size() >= svPrefix.size() &&
        std::equal(svPrefix.begin(), svPrefix.end(), sv.begin(), [](char a, char b) {
            return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
        }))
        sv.remove_prefix(svPrefix.size());
    return Trimmed(sv);
}

} // namespace

std::optional<std::string> ModelOfAnswer(const std::string& strAnswer)
{
    const std::string_view sv = WithoutPrefix(Trimmed(strAnswer), "+CGMM:");
    if (sv.empty() || FinalResultOfLine(sv) != EFinalResult::kNone || sv.size() > 64)
        return std::nullopt;
    if (std::any_of(sv.begin(), sv.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
        return std::nullopt;
    return std::string(sv);
}

std::optional<std::string> ImeiOfAnswer(const std::string& strAnswer)
{
    const std::string_view sv = WithoutPrefix(Trimmed(strAnswer), "+CGSN:");
    if (sv.size() < 14 || sv.size() > 17 || !std::all_of(sv.begin(), sv.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::string(sv);
}

CIdentityReading ReadIdentityLine(const CExchange& exchange, std::optional<std::string> (*parse)(const std::string&))
{
    const CCardReply& reply = exchange.reply;
    if (!reply.Answered())
        return {std::nullopt, "no answer"};
    if (!reply.AnsweredOk())
        return {std::nullopt, "the card answered " + reply.strResult};
    bool bSpoilt = false;
    for (const std::string& strLine : reply.info) {
        if (std::optional<std::string> strValue = parse(strLine))
            return {strValue, ""};
        bSpoilt = bSpoilt || std::any_of(strLine.begin(), strLine.end(), [](char c) {
                      return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
                  });
    }
    return {std::nullopt, bSpoilt ? "its line held a control byte" : "the answer names none"};
}

namespace {

// The questions only inform: one attempt each, so that a silent card costs one answer wait. The
// channel's own attempts are back once they are asked.
class COneAttempt {
public:
    explicit COneAttempt(CAtChannel* pChannel) : m_pChannel(pChannel), m_nAttempts(pChannel ? pChannel->GetAttempts() : 0)
    {
        if (m_pChannel)
            m_pChannel->SetAttempts(1);
    }
    ~COneAttempt()
    {
        if (m_pChannel)
            m_pChannel->SetAttempts(m_nAttempts);
    }
    COneAttempt(const COneAttempt&) = delete;
    COneAttempt& operator=(const COneAttempt&) = delete;

private:
    CAtChannel* m_pChannel;
    int m_nAttempts;
};

} // namespace

CCardIdentity ReadCardIdentity(CCommandContext& ctx)
{
    CCardIdentity identity;
    if (ctx.stopNow && ctx.stopNow())
        return identity;
    COneAttempt oneAttempt(ctx.pChannel);
    const CExchange model = ExchangeCommand(ctx, kModelQuery, identity.exchanges);
    CIdentityReading reading = ReadIdentityLine(model, ModelOfAnswer);
    identity.strModel = reading.strValue;
    identity.strModelUnknown = reading.strUnknown;
    identity.strImeiUnknown = "not asked";
    if (!model.Answered() || (ctx.stopNow && ctx.stopNow()))
        return identity;
    const CExchange imei = ExchangeCommand(ctx, kImeiQuery, identity.exchanges);
    reading = ReadIdentityLine(imei, ImeiOfAnswer);
    identity.strImei = reading.strValue;
    identity.strImeiUnknown = reading.strUnknown;
    return identity;
}
