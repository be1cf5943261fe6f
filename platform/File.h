#pragma once
#include <cstdint>
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
