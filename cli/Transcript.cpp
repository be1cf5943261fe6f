#include "cli/Transcript.h"

#include "history/HistoryStore.h"
#include "cli/CliPlatform.h"

#include <cctype>

#include <cerrno>
#include <cstdio>
#include <map>

CTranscript::~CTranscript()
{
    Finish();
}

void CTranscript::Note(const std::string& strText)
{
    WriteLine("# " + PrintableText(strText));
}

void CTranscript::Traffic(const std::string& strPort, bool bWritten, const std::string& strBytes)
{
    std::string strKept = strBytes;
    if (!bWritten) {
        // A card that floods its line must not fill the disk: past its share, its bytes are only
        // counted, and Finish says how many were left out.
        std::lock_guard<std::mutex> lock(m_mutex);
        CCardShare& share = m_shares[strPort];
        const uint64_t nRoom = share.nKept < kCardBytesKept ? kCardBytesKept - share.nKept : 0;
        if (strKept.size() > nRoom) {
            share.nLeftOut += strKept.size() - nRoom;
            strKept.resize(static_cast<size_t>(nRoom));
        }
        share.nKept += strKept.size();
        if (strKept.empty())
            return;
    }
    WriteLine(std::to_string(Ms()) + " " + strPort + (bWritten ? " > " : " < ") + EscapeTranscriptBytes(strKept));
}

int64_t CTranscript::Ms() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_start).count();
}

std::string CTranscript::StartedUtc() const
{
    return UtcText(m_wallStart);
}

void CTranscript::WriteLine(const std::string& strLine)
{
    const std::string strWhole = strLine + "\n";
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_pFile || !m_strFailedCall.empty())
        return;
    errno = 0;
    if (std::fwrite(strWhole.data(), 1, strWhole.size(), m_pFile) != strWhole.size() || std::fflush(m_pFile) != 0) {
        m_strFailedCall = "write";
        m_nFailedCode = errno ? errno : EIO;
    }
}

std::pair<std::string, int> CTranscript::Finish()
{
    std::map<std::string, CCardShare> shares;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        shares.swap(m_shares);
    }
    for (const auto& [strPort, share] : shares) {
        if (share.nLeftOut > 0)
            WriteLine("# " + PrintableText(strPort) + ": " + std::to_string(share.nLeftOut) +
                      " more bytes from the card left out (a transcript keeps the first " +
                      std::to_string(kCardBytesKept) + " of each port's in a run)");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pFile) {
        errno = 0;
        if (std::fclose(m_pFile) != 0 && m_strFailedCall.empty()) {
            m_strFailedCall = "close";
            m_nFailedCode = errno ? errno : EIO;
        }
        m_pFile = nullptr;
    }
    return {m_strFailedCall, m_nFailedCode};
}

std::string EscapeBytes(const std::string& strBytes)
{
    std::string strText;
    for (unsigned char ch : strBytes) {
        if (ch == '\r')
            strText += "\\r";
        else if (ch == '\n')
            strText += "\\n";
        else if (ch == '\\')
            strText += "\\\\";
        else if (ch >= 0x20 && ch < 0x7F)
            strText += static_cast<char>(ch);
        else {
            char szHex[8];
            std::snprintf(szHex, sizeof szHex, "\\x%02X", ch);
            strText += szHex;
        }
    }
    return strText;
}

std::string EscapeTranscriptBytes(const std::string& strBytes)
{
    // What a shell would act on, were the line ever run: separators, pipes, substitutions,
    // redirections, quotes and the comment sign (the line's newline is \n already).
    static const std::string kShellBytes = ";|&$`()<>'\"#";
    std::string strText;
    for (char ch : strBytes) {
        if (kShellBytes.find(ch) != std::string::npos) {
            char szHex[8];
            std::snprintf(szHex, sizeof szHex, "\\x%02X", static_cast<unsigned char>(ch));
            strText += szHex;
        } else {
            strText += EscapeBytes(std::string(1, ch));
        }
    }
    return strText;
}

// The length of the valid UTF-8 character at str[n], or 0 when no valid one starts there (overlong
// forms, surrogates and values past U+10FFFF included).
size_t Utf8Length(const std::string& str, size_t n)
{
    const auto at = [&](size_t i) { return i < str.size() ? static_cast<unsigned char>(str[i]) : 0u; };
    const unsigned ch = at(n);
    if (ch < 0x80)
        return 1;
    size_t nLength = 0;
    unsigned nLow = 0x80;
    unsigned nHigh = 0xBF;
    if (ch >= 0xC2 && ch <= 0xDF) {
        nLength = 2;
    } else if (ch >= 0xE0 && ch <= 0xEF) {
        nLength = 3;
        nLow = ch == 0xE0 ? 0xA0 : nLow;
        nHigh = ch == 0xED ? 0x9F : nHigh;
    } else if (ch >= 0xF0 && ch <= 0xF4) {
        nLength = 4;
        nLow = ch == 0xF0 ? 0x90 : nLow;
        nHigh = ch == 0xF4 ? 0x8F : nHigh;
    } else {
        return 0;
    }
    if (at(n + 1) < nLow || at(n + 1) > nHigh)
        return 0;
    for (size_t i = 2; i < nLength; ++i)
        if (at(n + i) < 0x80 || at(n + i) > 0xBF)
            return 0;
    return nLength;
}

bool IsHiddenControl(const std::string& str, size_t n, size_t nLength)
{
    const auto at = [&](size_t i) { return static_cast<unsigned char>(str[n + i]); };
    // Terminals take U+009B (a C1 control) for the start of an escape sequence.
    if (nLength == 2)
        return at(0) == 0xC2 && at(1) < 0xA0;
    // The bidirectional embeddings and overrides (U+202A-U+202E) and isolates (U+2066-U+2069) make
    // a terminal or a spreadsheet show the text after them in another order than it was sent.
    if (nLength == 3 && at(0) == 0xE2 && at(1) == 0x80)
        return at(2) >= 0xAA && at(2) <= 0xAE;
    if (nLength == 3 && at(0) == 0xE2 && at(1) == 0x81)
        return at(2) >= 0xA6 && at(2) <= 0xA9;
    return false;
}

std::string PrintableText(const std::string& str)
{
    std::string strText;
    for (size_t n = 0; n < str.size();) {
        const unsigned char ch = static_cast<unsigned char>(str[n]);
        const size_t nLength = ch < 0x80 ? 1 : Utf8Length(str, n);
        if (ch < 0x20 || ch == 0x7F || nLength == 0) {
            strText += EscapeBytes(str.substr(n, 1));
            ++n;
        } else if (IsHiddenControl(str, n, nLength)) {
            // Every byte of the character, so that the text shows what came.
            strText += EscapeBytes(str.substr(n, nLength));
            n += nLength;
        } else {
            strText.append(str, n, nLength);
            n += nLength;
        }
    }
    return strText;
}

std::string DescribeOutputProblem(const COutputProblem& problem, const std::string& strPath)
{
    if (problem.nCode == 0) {
        // The system's own words (Windows) start with a capital; the other causes are lower case.
        std::string strWhy = problem.strRefusal;
        if (!strWhy.empty())
            strWhy[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(strWhy[0])));
        return problem.strCall.empty() ? strWhy : problem.strCall + ": " + strWhy;
    }
    return problem.strCall + ": " + DescribeFileError({problem.strCall, problem.nCode}, strPath);
}

std::string ErrorCodeText(const std::error_code& error)
{
    std::string str = error.message();
    if (!str.empty())
        str[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(str[0])));
    return str;
}
