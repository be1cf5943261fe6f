#pragma once
// The --log transcript: appended to a file, one whole line at a time under a lock, so the lines of
// cards run on several threads never mix within a line. A write that fails stops the transcript and
// is kept, so the run can say that its record is incomplete.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>

class CTranscript {
public:
    CTranscript() = default;
    ~CTranscript();
    CTranscript(const CTranscript&) = delete;
    CTranscript& operator=(const CTranscript&) = delete;

    // Takes an open file (the platform opens it); nullptr leaves the transcript closed.
    void Attach(FILE* pFile) { m_pFile = pFile; }
    bool IsOpen() const { return m_pFile != nullptr; }

    // "# <text>": header and outcome lines.
    void Note(const std::string& strText);
    // "<ms> <port> > <bytes>" for bytes written, "<ms> <port> < <bytes>" for bytes read.
    void Traffic(const std::string& strPort, bool bWritten, const std::string& strBytes);
    // The ms of the lines: since the transcript was made.
    int64_t Ms() const;
    // When the transcript was made, as UTC ("2026-12-09T22:50:01.123Z"): the lines' ms count from it.
    std::string StartedUtc() const;
    // Closes the file; the failing call ("write", "close") and its errno, or an empty call when
    // every line reached the file.
    std::pair<std::string, int> Finish();

private:
    void WriteLine(const std::string& strLine);

    std::mutex m_mutex;
    FILE* m_pFile = nullptr;
    std::string m_strFailedCall;
    int m_nFailedCode = 0;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    std::chrono::system_clock::time_point m_wallStart = std::chrono::system_clock::now();
};

// Bytes as transcript text: printable ASCII as it stands, backslash doubled, CR and LF as \r and
// \n, every other byte as \xNN.
std::string EscapeBytes(const std::string& strBytes);

// Text from the outside (port names, registry values, USB descriptors, card answers) with control
// bytes made visible as \xNN, so that a value can neither break or forge a line of the output nor
// steer a terminal: the C0 and C1 controls (raw or UTF-8 encoded) and bytes that are not UTF-8.
std::string PrintableText(const std::string& str);

// The system's text for a failed file call, lower case first, as the other causes are written.
std::string ErrorCodeText(const std::error_code& error);
