// The card's reply over any bytes.
//
// ExtractAnswerFromReply: the answer is "error" or the text between the reply's first CR LF and the
// next CR LF after it, cross-checked against a plain substring search.
//
// The typed reply (ParseCardReply), with and without an owed answer and a card known to echo:
// - an unsolicited line is never the answer, an information line or the final result;
// - stale bytes are never the answer: the same bytes after stale ones that hold no echo of the
//   command give the same answer, information lines and final result as without them;
// - a reply without unsolicited lines and stale bytes gives ExtractAnswerFromReply's Response text;
// - finishing on the result does not change the answer: the shortest prefix of the reply that holds
//   its final result gives the same Response text as the settled reply text (where the settle
//   rule's text holds what the fast exchange kept: SameAnswerExpected).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "serial/CardReply.h"
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

void Expect(bool bHolds, const char* pszWhat, const std::string& strReply)
{
    if (!bHolds)
        Fail(pszWhat, strReply, "");
}

const CReplyContext kContexts[] = {{0, false}, {1, false}, {1, true}, {0, true}, {2, false}};

// The typed reply's promises for one command and context.
void CheckTyped(const std::string& strReply, const std::string& strCommand, const CReplyContext& ctx)
{
    const CCardReply reply = ParseCardReply(strReply, strCommand, ctx);
    Expect(reply.nReplyStart <= strReply.size() && reply.nBodyStart >= reply.nReplyStart &&
               reply.nBodyStart <= strReply.size(),
           "reply bounds", strReply);
    Expect(reply.strStale == strReply.substr(0, reply.nReplyStart), "stale bytes", strReply);
    if (reply.answerLine && IsUnsolicitedLine(*reply.answerLine, strCommand))
        Fail("an unsolicited line taken for the answer", *reply.answerLine, "");
    for (const std::string& strInfo : reply.info) {
        if (IsUnsolicitedLine(strInfo, strCommand) || FinalResultOfLine(strInfo) != EFinalResult::kNone)
            Fail("information line", strInfo, "");
    }
    for (const std::string& strLine : reply.unsolicited)
        Expect(IsUnsolicitedLine(strLine, strCommand), "unsolicited line", strLine);
    Expect(FinalResultOfLine(reply.strResult) == reply.eResult, "final result kind", reply.strResult);
    if (ctx.nAnswersOwed == 0 && reply.unsolicited.empty() && reply.strStale.empty()) {
        const std::string strPlain = ExtractAnswerFromReply(CutReply(strReply));
        if (reply.ResponseText() != strPlain)
            Fail("Response text of a plain reply", reply.ResponseText(), strPlain);
    }
}

// Stale bytes before the echo: never the answer. The stale part loses every echo of the command
// and ends where a line may start, so that the echo after it is the command's.
void CheckStale(const std::string& strStaleIn, const std::string& strBody)
{
    const std::string strCommand = "AT+X";
    const std::string strEcho = strCommand + "\r";
    if (strBody.starts_with("\n"))
        return;
    std::string strStale = strStaleIn;
    for (size_t n; (n = strStale.find(strEcho)) != std::string::npos;)
        strStale.erase(n, strEcho.size());
    if (!strStale.empty() && strStale.back() != '\r' && strStale.back() != '\n' && strStale.back() != '\0')
        strStale += "\r\n";
    const CCardReply alone = ParseCardReply(strEcho + strBody, strCommand);
    for (const CReplyContext& ctx : kContexts) {
        const CCardReply reply = ParseCardReply(strStale + strEcho + strBody, strCommand, ctx);
        Expect(reply.bEchoed && reply.strStale == strStale, "the echo after stale bytes", strStale + strEcho + strBody);
        if (reply.answerLine != alone.answerLine)
            Fail("answer after stale bytes", reply.answerLine.value_or("(none)"), alone.answerLine.value_or("(none)"));
        Expect(reply.eResult == alone.eResult && reply.strResult == alone.strResult && reply.info == alone.info,
               "final result and information after stale bytes", strStale + strEcho + strBody);
    }
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
    for (const std::string& strCommand : {std::string("AT"), std::string("AT+YSEC?"), strReply.substr(0, strReply.find('\r'))}) {
        for (const CReplyContext& ctx : kContexts)
            CheckTyped(strReply, strCommand, ctx);
        const std::string strSettled = ParseCardReply(CutReply(strReply), strCommand).ResponseText();
        const std::string strFast = ParseCardReply(FinalResultPrefix(strReply, strCommand), strCommand).ResponseText();
        if (SameAnswerExpected(strReply, strCommand) && strFast != strSettled)
            Fail("answer on the final result", strFast, strSettled);
    }
    // The first byte chooses where the stale bytes end and the echoed reply begins.
    if (nSize >= 1) {
        const size_t nSplit = 1 + pData[0] % nSize;
        CheckStale(strReply.substr(1, nSplit - 1), strReply.substr(nSplit));
    }
    return 0;
}
