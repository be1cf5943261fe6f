#include "cli/Transcript.h"

#include "history/HistoryStore.h"

#include <cctype>

#include <cerrno>
#include <cstdio>

CTranscript::~CTranscript()
{
    Finish();
}

void CTranscript::Note(const std::string& strText)
{
    WriteLine("# " + strText);
}

void CTranscript::Traffic(const std::string& strPort, bool bWritten, const std::string& strBytes)
{
    WriteLine(std::to_string(Ms()) + " " + strPort + (bWritten ? " > " : " < ") + EscapeBytes(strBytes));
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

namespace {

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

} // namespace

std::string PrintableText(const std::string& str)
{
    std::string strText;
    for (size_t n = 0; n < str.size();) {
        const unsigned char ch = static_cast<unsigned char>(str[n]);
        const size_t nLength = ch < 0x80 ? 1 : Utf8Length(str, n);
        // Terminals take a lone 0x9B, or U+009B encoded, for the start of an escape sequence.
        const bool bControl = ch < 0x20 || ch == 0x7F || nLength == 0 ||
                              (nLength == 2 && ch == 0xC2 && static_cast<unsigned char>(str[n + 1]) < 0xA0);
        if (bControl) {
            strText += EscapeBytes(str.substr(n, 1));
            ++n;
        } else {
            strText.append(str, n, nLength);
            n += nLength;
        }
    }
    return strText;
}

std::string ErrorCodeText(const std::error_code& error)
{
    std::string str = error.message();
    if (!str.empty())
        str[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(str[0])));
    return str;
}
