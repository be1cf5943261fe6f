#pragma once
// The --log transcript: appended to a file, one whole line at a time under a lock, so the lines of
// cards run on several threads never mix within a line.
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

class CTranscript {
public:
    CTranscript() = default;
    ~CTranscript();
    CTranscript(const CTranscript&) = delete;
    CTranscript& operator=(const CTranscript&) = delete;

    // Opens strPath for appending; false (and nothing logged) when it cannot be opened.
    bool Open(const std::string& strPath);
    bool IsOpen() const { return m_pFile != nullptr; }

    // "# <text>": header and outcome lines.
    void Note(const std::string& strText);
    // "<ms> <port> > <bytes>" for bytes written, "<ms> <port> < <bytes>" for bytes read.
    void Traffic(const std::string& strPort, bool bWritten, const std::string& strBytes);

private:
    void WriteLine(const std::string& strLine);

    std::mutex m_mutex;
    FILE* m_pFile = nullptr;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

// Bytes as transcript text: printable ASCII as it stands, backslash doubled, CR and LF as \r and
// \n, every other byte as \xNN.
std::string EscapeBytes(const std::string& strBytes);
