#include "serial/CardReply.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

constexpr size_t kReceiveBufferSize = 256;

// Position of the first CR at or after nFrom that an LF follows, or npos.
size_t FindCrLf(std::string_view sv, size_t nFrom)
{
    for (size_t nCr = sv.find('\r', nFrom); nCr != std::string_view::npos; nCr = sv.find('\r', nCr + 1)) {
        if (nCr + 1 < sv.size() && sv[nCr + 1] == '\n')
            return nCr;
    }
    return std::string_view::npos;
}

// A framed line: its text is [nStart, nEnd), and a CR LF pair opens it and another closes it (at
// nEnd). The closing pair of one line opens the next, so the blank between two lines the card
// frames each with pairs of their own is a (blank) framed line too.
struct CLine {
    size_t nStart;
    size_t nEnd;
};

std::vector<CLine> FramedLines(std::string_view sv)
{
    std::vector<CLine> lines;
    size_t nOpen = FindCrLf(sv, 0);
    while (nOpen != std::string_view::npos) {
        const size_t nClose = FindCrLf(sv, nOpen + 2);
        if (nClose == std::string_view::npos)
            break;
        lines.push_back({nOpen + 2, nClose});
        nOpen = nClose;
    }
    return lines;
}

std::string_view TextOf(std::string_view sv, const CLine& line)
{
    return sv.substr(line.nStart, line.nEnd - line.nStart);
}

bool IsNameChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

// The name a command asks about: "YSEC" of "AT+ysec?", "CGMM" of "AT+CGMM", "SYSINFO" of
// "AT^SYSINFO"; empty for "AT" and anything that is not such a command.
std::string_view CommandName(std::string_view svCommand)
{
    if (svCommand.size() < 4 || !EqualNoCase(svCommand.substr(0, 2), "AT"))
        return {};
    const char cPrefix = svCommand[2];
    if (cPrefix != '+' && cPrefix != '^' && cPrefix != '$' && cPrefix != '%')
        return {};
    size_t nEnd = 3;
    while (nEnd < svCommand.size() && IsNameChar(svCommand[nEnd]))
        ++nEnd;
    return svCommand.substr(3, nEnd - 3);
}

// The echo of the command just sent: the command and its CR, where a line may start (at the first
// byte, or after a CR, LF or NUL), and not itself the text of a framed line (its CR is not followed
// by an LF). npos when it is not there.
size_t FindEcho(std::string_view sv, const std::string& strCommand)
{
    if (strCommand.empty())
        return std::string_view::npos;
    const std::string strEcho = strCommand + '\r';
    for (size_t n = sv.find(strEcho); n != std::string_view::npos; n = sv.find(strEcho, n + 1)) {
        const bool bLineStart = n == 0 || sv[n - 1] == '\r' || sv[n - 1] == '\n' || sv[n - 1] == '\0';
        const size_t nAfter = n + strEcho.size();
        if (bLineStart && !(nAfter < sv.size() && sv[nAfter] == '\n'))
            return n;
    }
    return std::string_view::npos;
}

// The offset just after the nCount-th final result line's closing pair, or npos.
size_t AfterFinalResults(std::string_view sv, int nCount)
{
    for (const CLine& line : FramedLines(sv)) {
        if (FinalResultOfLine(TextOf(sv, line)) != EFinalResult::kNone && --nCount == 0)
            return line.nEnd + 2;
    }
    return std::string_view::npos;
}

} // namespace

EFinalResult FinalResultOfLine(std::string_view svLine)
{
    static const struct {
        const char* pszText;
        bool bPrefix;
        EFinalResult eKind;
    } kFinalResults[] = {
        {"OK", false, EFinalResult::kOk},
        {"ERROR", false, EFinalResult::kError},
        {"+CME ERROR:", true, EFinalResult::kCmeError},
        {"+CMS ERROR:", true, EFinalResult::kCmsError},
        {"NO CARRIER", false, EFinalResult::kNoCarrier},
        {"BUSY", false, EFinalResult::kBusy},
        {"NO ANSWER", false, EFinalResult::kNoAnswer},
        {"NO DIALTONE", false, EFinalResult::kNoDialtone},
        {"COMMAND NOT SUPPORT", false, EFinalResult::kNotSupported},
    };
    for (const auto& result : kFinalResults) {
        if (result.bPrefix ? svLine.starts_with(result.pszText) : svLine == result.pszText)
            return result.eKind;
    }
    return EFinalResult::kNone;
}

bool IsUnsolicitedLine(std::string_view svLine, std::string_view svCommand)
{
    // RING has no name; the standard codes with one (+CRING, +CREG, +CGREG, +CEREG, +CMTI, +CMT,
    // +CDS, +CBM, +CUSD, +CIEV, +CLIP, +CCWA, +CGEV) are of the vendor form below, as are the
    // vendors' own (^RSSI:, ^MODE:, ^BOOT:, ...).
    if (svLine == "RING")
        return true;
    if (svLine.size() < 3 || (svLine[0] != '+' && svLine[0] != '^'))
        return false;
    size_t nEnd = 1;
    while (nEnd < svLine.size() && IsNameChar(svLine[nEnd]))
        ++nEnd;
    if (nEnd == 1 || nEnd >= svLine.size() || svLine[nEnd] != ':')
        return false;
    return !EqualNoCase(svLine.substr(1, nEnd - 1), CommandName(svCommand));
}

CCardReply ParseCardReply(const std::string& strBytes, const std::string& strCommand, const CReplyContext& ctx)
{
    CCardReply reply;
    const std::string_view sv(strBytes);
    size_t nStart = 0;
    size_t nBody = 0;
    if (const size_t nEcho = FindEcho(sv, strCommand); nEcho != std::string_view::npos) {
        reply.bEchoed = true;
        nStart = nEcho;
        nBody = nEcho + strCommand.size() + 1;
    } else if (ctx.nAnswersOwed > 0 && ctx.bCardEchoes) {
        // This command's reply starts with its echo, which has not come: all of it is older.
        nStart = nBody = sv.size();
    } else if (ctx.nAnswersOwed > 0) {
        // Without an echo each final result answers one command, in order: the first ones are the
        // earlier commands', and this command's reply is what follows them.
        const size_t nAfter = AfterFinalResults(sv, ctx.nAnswersOwed);
        nStart = nBody = nAfter != std::string_view::npos ? nAfter : sv.size();
    }
    reply.nReplyStart = nStart;
    reply.nBodyStart = nBody;
    reply.strStale = strBytes.substr(0, nStart);
    for (const CLine& line : FramedLines(reply.strStale)) {
        const std::string_view svLine = TextOf(reply.strStale, line);
        if (FinalResultOfLine(svLine) != EFinalResult::kNone)
            ++reply.nStaleResults;
        else if (IsUnsolicitedLine(svLine, strCommand))
            reply.unsolicited.emplace_back(svLine);
    }

    // The reply's typed lines, from every byte of it: a final result is a final result even past the
    // receive buffer or a NUL.
    const std::string_view svReply = sv.substr(nStart);
    const size_t nBodyOffset = nBody - nStart;
    for (const CLine& line : FramedLines(svReply)) {
        if (line.nStart < nBodyOffset)
            continue;
        const std::string_view svLine = TextOf(svReply, line);
        if (IsUnsolicitedLine(svLine, strCommand) && FinalResultOfLine(svLine) == EFinalResult::kNone) {
            reply.unsolicited.emplace_back(svLine);
        } else if (reply.Answered()) {
            // What follows the final result belongs to no one here.
        } else if (const EFinalResult eResult = FinalResultOfLine(svLine); eResult != EFinalResult::kNone) {
            reply.eResult = eResult;
            reply.strResult = svLine;
        } else if (!svLine.empty()) {
            reply.info.emplace_back(svLine);
        }
    }

    // The Response text's line, cut as the channel cuts reply text: the first framed line after the
    // echo, past unsolicited lines and the blank that separates each from the next line.
    const std::string strText = CutReply(std::string(svReply));
    bool bAfterUnsolicited = false;
    for (const CLine& line : FramedLines(strText)) {
        if (line.nStart < nBodyOffset)
            continue;
        const std::string_view svLine = TextOf(strText, line);
        if (IsUnsolicitedLine(svLine, strCommand)) {
            bAfterUnsolicited = true;
            continue;
        }
        if (bAfterUnsolicited && svLine.empty()) {
            bAfterUnsolicited = false;
            continue;
        }
        reply.answerLine = std::string(svLine);
        break;
    }
    return reply;
}

CBetweenBytes ParseBetweenBytes(const std::string& strBytes, const std::string& strNextCommand)
{
    CBetweenBytes between;
    for (const CLine& line : FramedLines(strBytes)) {
        const std::string_view svLine = TextOf(strBytes, line);
        if (FinalResultOfLine(svLine) != EFinalResult::kNone)
            ++between.nFinalResults;
        else if (IsUnsolicitedLine(svLine, strNextCommand))
            between.unsolicited.emplace_back(svLine);
    }
    return between;
}

std::string ExtractAnswerFromReply(const std::string& strReply)
{
    const std::vector<CLine> lines = FramedLines(strReply);
    return lines.empty() ? std::string("error") : std::string(TextOf(strReply, lines.front()));
}

std::string CutReply(const std::string& strBytes)
{
    const size_t nKept = std::min(strBytes.size(), kReceiveBufferSize);
    return strBytes.substr(0, strnlen(strBytes.data(), nKept));
}
