// ExtractAnswerFromReply over any reply bytes: the answer is "error" or the text between the
// reply's first CR LF and the next CR LF after it, cross-checked against a plain substring search.
// Finishing on the result must not change the answer: the shortest prefix of the reply's text that
// holds a final result line gives the same answer as the whole text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "serial/AtChannel.h"
#include "tests/support/FinalResultPrefix.h"

namespace {

// What the card's framing gives: the first CR LF opens the line, the next one closes it; nothing
// when the reply holds no such line.
std::optional<std::string> FramedLine(const std::string& strReply)
{
    const size_t nOpen = strReply.find("\r\n");
    if (nOpen == std::string::npos)
        return std::nullopt;
    const size_t nClose = strReply.find("\r\n", nOpen + 2);
    if (nClose == std::string::npos)
        return std::nullopt;
    return strReply.substr(nOpen + 2, nClose - nOpen - 2);
}

[[noreturn]] void Fail(const char* pszWhat, const std::string& strGot, const std::string& strWant)
{
    std::fprintf(stderr, "%s: got %zu bytes \"%s\", want %zu bytes \"%s\"\n", pszWhat, strGot.size(),
                 strGot.c_str(), strWant.size(), strWant.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    const std::string strReply(reinterpret_cast<const char*>(pData), nSize);
    const std::string strAnswer = ExtractAnswerFromReply(strReply);
    const std::optional<std::string> strLine = FramedLine(strReply);
    const std::string strWant = strLine ? *strLine : std::string("error");
    if (strAnswer != strWant)
        Fail("answer", strAnswer, strWant);
    // A framed line never holds its own closing pair and is four bytes shorter than the reply at most.
    if (strLine && (strAnswer.find("\r\n") != std::string::npos || strAnswer.size() + 4 > strReply.size()))
        Fail("framed line", strAnswer, strWant);
    // With and without an echo to skip: the text up to the first CR as the command echoes itself.
    const std::string strSettled = ExtractAnswerFromReply(CutReply(strReply));
    for (const std::string& strCommand : {std::string("AT"), strReply.substr(0, strReply.find('\r'))}) {
        const std::string strFast = ExtractAnswerFromReply(FinalResultPrefix(strReply, strCommand));
        if (strFast != strSettled)
            Fail("answer on the final result", strFast, strSettled);
    }
    return 0;
}
