#include "tools/cardsim/model/CardReplay.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

std::optional<std::string> UnescapeTranscriptBytes(const std::string& strText)
{
    std::string strBytes;
    for (size_t n = 0; n < strText.size(); ++n) {
        if (strText[n] != '\\') {
            strBytes += strText[n];
            continue;
        }
        if (++n >= strText.size())
            return std::nullopt;
        switch (strText[n]) {
        case 'r': strBytes += '\r'; break;
        case 'n': strBytes += '\n'; break;
        case '\\': strBytes += '\\'; break;
        case 'x': {
            const int nHigh = n + 1 < strText.size() ? HexValue(strText[n + 1]) : -1;
            const int nLow = n + 2 < strText.size() ? HexValue(strText[n + 2]) : -1;
            if (nHigh < 0 || nLow < 0)
                return std::nullopt;
            strBytes += static_cast<char>(nHigh * 16 + nLow);
            n += 2;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return strBytes;
}

CardReplayParse ParseCardTranscript(const std::string& strText, const std::string& strPort)
{
    CardReplayParse parse;
    parse.strPort = strPort;
    std::istringstream in(strText);
    std::string strLine;
    size_t nLine = 0;
    unsigned long long nLastMs = 0;
    bool bInStep = false;
    while (std::getline(in, strLine)) {
        ++nLine;
        if (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        if (strLine.empty() || strLine[0] == '#')
            continue;
        auto fail = [&](const std::string& strWhy) {
            parse.strError = "line " + std::to_string(nLine) + ": " + strWhy;
            parse.steps.clear();
            return parse;
        };
        // "<ms> <port> <direction> <bytes>": the port is what lies between the time and the first
        // " > " or " < " (a port's name holds no such thing).
        char* pEnd = nullptr;
        const unsigned long long nMs = std::strtoull(strLine.c_str(), &pEnd, 10);
        const size_t nPortAt = static_cast<size_t>(pEnd - strLine.c_str());
        if (nPortAt == 0 || nPortAt >= strLine.size() || strLine[nPortAt] != ' ')
            return fail("not a transcript line (\"<ms> <port> > <bytes>\" or \"<ms> <port> < <bytes>\")");
        const size_t nWritten = strLine.find(" > ", nPortAt + 1);
        const size_t nRead = strLine.find(" < ", nPortAt + 1);
        const size_t nArrow = std::min(nWritten, nRead);
        if (nArrow == std::string::npos)
            return fail("no direction (\" > \" or \" < \")");
        const std::string strLinePort = strLine.substr(nPortAt + 1, nArrow - nPortAt - 1);
        if (parse.strPort.empty())
            parse.strPort = strLinePort;
        if (strLinePort != parse.strPort)
            continue;
        const std::optional<std::string> bytes = UnescapeTranscriptBytes(strLine.substr(nArrow + 3));
        if (!bytes)
            return fail("a malformed escape in the bytes");
        if (nArrow == nWritten) {
            CardReplayStep step;
            step.strCommand = *bytes;
            // The command line as the card takes it: up to its CR.
            if (const size_t nCr = step.strCommand.find('\r'); nCr != std::string::npos)
                step.strCommand.resize(nCr);
            step.nLine = nLine;
            parse.steps.push_back(std::move(step));
            bInStep = true;
        } else if (bInStep) {
            parse.steps.back().chunks.push_back({static_cast<uint32_t>(nMs >= nLastMs ? nMs - nLastMs : 0), *bytes});
        }
        nLastMs = nMs;
    }
    if (parse.steps.empty() && parse.strError.empty())
        parse.strError = "no command was written" + (parse.strPort.empty() ? std::string() : " to " + parse.strPort);
    return parse;
}
