// The hidden service commands' texts and the SIM status query.
#include "commands/Commands.h"

namespace {

// Code page 936 (GBK) bytes: the program's 8-bit texts are shown as they stand, and a system whose
// default language is Chinese (PRC) shows 8-bit text in that code page.
constexpr CReversePortTexts kEnglishTexts = {"Port error,Not device connected!", "initialize port error!",
                                             "Reverse port fail"};
constexpr CReversePortTexts kChineseTexts = {
    "\xB6\xCB\xBF\xDA\xB4\xED\xCE\xF3\xC3\xBB\xD3\xD0\xC3\xBB\xD3\xD0\xC1\xAC\xBD\xD3",
    "\xB3\xF5\xCA\xBC\xBB\xAF\xB6\xCB\xBF\xDA\xB4\xED\xCE\xF3",
    "\xBB\xD6\xB8\xB4\xB6\xCB\xBF\xDA\xCA\xA7\xB0\xDC",
};

// True when strKey occurs in strText and its first occurrence is not at the very start.
bool FirstFoundAfterStart(const std::string& strText, const char* pszKey)
{
    const size_t nPos = strText.find(pszKey);
    return nPos != std::string::npos && nPos > 0;
}

} // namespace

CReversePortTexts ReversePortTexts(int bEnglish)
{
    return bEnglish ? kEnglishTexts : kChineseTexts;
}

std::string NormaliseSimAnswer(const std::string& strAnswer)
{
    std::string strNormal;
    strNormal.reserve(strAnswer.size());
    for (char ch : strAnswer) {
        if (ch == ' ')
            continue;
        strNormal += (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 'a' + 'A') : ch;
    }
    return strNormal;
}

ESimStatus SimStatusOfAnswer(const std::string& strAnswer)
{
    const std::string strNormal = NormaliseSimAnswer(strAnswer);
    // A silent card's "error" becomes "ERROR" here, the same as a card that rejects the query.
    if (strNormal == "ERROR")
        return ESimStatus::kCardError;
    if (FirstFoundAfterStart(strNormal, "YSEC:0,0"))
        return ESimStatus::kNoSim;
    if (FirstFoundAfterStart(strNormal, "YSEC:3,0"))
        return ESimStatus::kSimPresent;
    return ESimStatus::kUnknownAnswer;
}

ESimStatus SimStatusOfExchange(const CExchange& exchange)
{
    // A card that refused the query, or that sent no answer line (a silent card's "error").
    if (exchange.reply.Rejected() || !exchange.reply.answerLine)
        return ESimStatus::kCardError;
    return SimStatusOfAnswer(exchange.Answer());
}

const char* SimStatusText(ESimStatus eStatus)
{
    switch (eStatus) {
    case ESimStatus::kNoSim: return "No sim card";
    case ESimStatus::kSimPresent: return "detect sim card";
    case ESimStatus::kCardError: return "error!";
    case ESimStatus::kUnknownAnswer: break;
    }
    return "unknow error!";
}

std::string SimStatusMessage(const std::string& strAnswer)
{
    return SimStatusText(SimStatusOfAnswer(strAnswer));
}

std::string RunSimStatusQuery(CCommandContext& ctx)
{
    std::vector<CExchange> exchanges;
    return SimStatusText(SimStatusOfExchange(ExchangeCommand(ctx, kSimStatusCommand, exchanges)));
}
