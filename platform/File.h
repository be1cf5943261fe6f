#pragma once
#include <cstdint>
#include <optional>
#include <string>

// A file opened for the program's sole use: while it is open, every other open of it (from this
// process or another) fails. Closed when the object is destroyed.
class CFile {
public:
    CFile() = default;
    ~CFile();
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Opens an existing regular file for reading. False when it is missing, not a regular file,
    // or open elsewhere.
    bool OpenForRead(const std::string& strPath);
    // Creates a file that does not exist yet, for writing. False, and whatever is at that path left
    // exactly as it was, when something is there already (a file, a directory) or it cannot be made.
    bool CreateNewForWrite(const std::string& strPath);
    // Bytes transferred (fewer than asked at the end of the file), -1 on an error or when closed.
    int Read(void* pBuffer, unsigned nLength);
    int Write(const void* pData, unsigned nLength);
    void Close();
    bool IsOpen() const { return m_hFile != kInvalid; }

private:
    static constexpr intptr_t kInvalid = -1;
    intptr_t m_hFile = kInvalid;
};

// strDirectory followed by the platform's path separator and strName (no doubled separator when
// the directory already ends with one).
std::string JoinPath(const std::string& strDirectory, const std::string& strName);

// What went wrong with an output file: the system call that failed and its errno, or (nCode 0)
// why: a refusal of ours, or the system's own words for the call's failure.
struct COutputProblem {
    std::string strCall;
    int nCode = 0;
    std::string strRefusal;
};

// Files the program writes where other users may reach them (a shared /tmp, another user's
// folder) are opened without ever following a link that someone else could have planted: a link
// is followed only in a folder that the caller (or the system) owns and nobody else can write to;
// an existing file must be a regular file of the caller's, a pipe, a terminal or /dev/null;
// /dev/stdout, /dev/stderr and /dev/fd/N are the descriptors they name. New files get nNewMode
// whatever the umask. On Windows these open and rename as the C library does.

// Opens strPath for appending (made when missing); never blocks on a pipe nobody reads. A file
// descriptor, or -1 and the problem.
int OpenOutputForAppend(const std::string& strPath, unsigned nNewMode, COutputProblem& problem);
// Writes strText to a private new file beside strPath, flushed to the disk, and renames it over
// strPath: a reader sees the old file or the whole new one. A file replaced keeps its mode.
std::optional<COutputProblem> ReplaceOutputFile(const std::string& strPath, const std::string& strText, unsigned nNewMode);
// What ReplaceOutputFile would refuse or fail at before it writes anything, a new file in the
// folder included (made and removed again).
std::optional<COutputProblem> CheckOutputReplaceable(const std::string& strPath);
