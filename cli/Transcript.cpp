#include "cli/Transcript.h"

#include <cstdio>

CTranscript::~CTranscript()
{
    if (m_pFile)
        std::fclose(m_pFile);
}

bool CTranscript::Open(const std::string& strPath)
{
    m_pFile = std::fopen(strPath.c_str(), "ab");
    return m_pFile != nullptr;
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
    if (!m_pFile)
        return;
    const std::string strWhole = strLine + "\n";
    std::lock_guard<std::mutex> lock(m_mutex);
    std::fwrite(strWhole.data(), 1, strWhole.size(), m_pFile);
    std::fflush(m_pFile);
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
