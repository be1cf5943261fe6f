#include "cli/Transcript.h"

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
    const auto nMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_start).count();
    WriteLine(std::to_string(nMs) + " " + strPort + (bWritten ? " > " : " < ") + EscapeBytes(strBytes));
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

std::string PrintableText(const std::string& str)
{
    std::string strText;
    for (unsigned char ch : str) {
        if (ch >= 0x20 && ch != 0x7F)
            strText += static_cast<char>(ch);
        else
            strText += EscapeBytes(std::string(1, static_cast<char>(ch)));
    }
    return strText;
}
