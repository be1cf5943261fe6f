#pragma once
// The --log transcript: appended to a file, one whole line at a time under a lock, so the lines of
// cards run on several threads never mix within a line. A write that fails stops the transcript and
// is kept, so the run can say that its record is incomplete.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
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
    // "<ms> <port> > <bytes>" for bytes written, "<ms> <port> < <bytes>" for bytes read; of the
    // bytes read, the first MiB of each port in a run.
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

    // The card's bytes of one port that a transcript keeps, per run.
    static constexpr uint64_t kCardBytesKept = 1024 * 1024;
    struct CCardShare {
        uint64_t nKept = 0;
        uint64_t nLeftOut = 0;
    };

    std::mutex m_mutex;
    std::map<std::string, CCardShare> m_shares;
    FILE* m_pFile = nullptr;
    std::string m_strFailedCall;
    int m_nFailedCode = 0;
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    std::chrono::system_clock::time_point m_wallStart = std::chrono::system_clock::now();
};

// Bytes as transcript text: printable ASCII as it stands, backslash doubled, CR and LF as \r and
// \n, every other byte as \xNN.
std::string EscapeBytes(const std::string& strBytes);
// The same, and every byte a shell acts on (; | & $ ` ( ) < > ' " #) as \xNN too: a transcript line
// cannot be run as a command, wherever it ends up.
std::string EscapeTranscriptBytes(const std::string& strBytes);

// Text from the outside (port names, registry values, USB descriptors, card answers) with control
// bytes made visible as \xNN, so that a value can neither break or forge a line of the output nor
// steer a terminal: the C0 and C1 controls (raw or UTF-8 encoded), the bidirectional overrides,
// embeddings and isolates (U+202A-U+202E, U+2066-U+2069) and bytes that are not UTF-8.
std::string PrintableText(const std::string& str);
// Whether the valid UTF-8 character of nLength bytes at str[n] is a C1 control or a bidirectional
// override, embedding or isolate: shown as its bytes by PrintableText, as a \u escape in JSON.
bool IsHiddenControl(const std::string& str, size_t n, size_t nLength);
// The length of the valid UTF-8 character at str[n], or 0 when no valid one starts there.
size_t Utf8Length(const std::string& str, size_t n);

// The system's text for a failed file call, lower case first, as the other causes are written.
std::string ErrorCodeText(const std::error_code& error);
