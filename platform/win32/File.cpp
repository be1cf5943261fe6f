#include "platform/File.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

namespace {

// Share mode 0: while this handle is open, every other open of the file fails with a sharing
// violation, and an open that fails truncates nothing.
HANDLE OpenExclusive(const std::string& strPath, DWORD nAccess, DWORD nDisposition)
{
    return CreateFileA(strPath.c_str(), nAccess, 0, nullptr, nDisposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

CFile::~CFile()
{
    Close();
}

bool CFile::OpenForRead(const std::string& strPath)
{
    Close();
    m_hFile = reinterpret_cast<intptr_t>(OpenExclusive(strPath, GENERIC_READ, OPEN_EXISTING));
    return IsOpen();
}

bool CFile::CreateNewForWrite(const std::string& strPath)
{
    Close();
    m_hFile = reinterpret_cast<intptr_t>(OpenExclusive(strPath, GENERIC_WRITE, CREATE_NEW));
    return IsOpen();
}

int CFile::Read(void* pBuffer, unsigned nLength)
{
    DWORD nRead = 0;
    if (!IsOpen() || !ReadFile(reinterpret_cast<HANDLE>(m_hFile), pBuffer, nLength, &nRead, nullptr))
        return -1;
    return static_cast<int>(nRead);
}

int CFile::Write(const void* pData, unsigned nLength)
{
    DWORD nWritten = 0;
    if (!IsOpen() || !WriteFile(reinterpret_cast<HANDLE>(m_hFile), pData, nLength, &nWritten, nullptr))
        return -1;
    return static_cast<int>(nWritten);
}

void CFile::Close()
{
    if (IsOpen())
        CloseHandle(reinterpret_cast<HANDLE>(m_hFile));
    m_hFile = kInvalid;
}

std::string JoinPath(const std::string& strDirectory, const std::string& strName)
{
    if (!strDirectory.empty() && (strDirectory.back() == '\\' || strDirectory.back() == '/'))
        return strDirectory + strName;
    return strDirectory + "\\" + strName;
}

namespace {

std::string TemporaryPathBeside(const std::string& strPath)
{
    std::random_device random;
    char szSuffix[32];
    std::snprintf(szSuffix, sizeof szSuffix, ".%08x.tmp", static_cast<unsigned>(random()));
    return strPath + szSuffix;
}

// The whole text into a new file; the failing call and its errno, or nothing.
std::optional<COutputProblem> WriteWholeFile(const std::string& strPath, const std::string& strText)
{
    errno = 0;
    FILE* pFile = std::fopen(strPath.c_str(), "wb");
    if (!pFile)
        return COutputProblem{"open", errno ? errno : EIO, ""};
    // A short write or a full disk may show only at the flush or the close.
    const bool bWritten = std::fwrite(strText.data(), 1, strText.size(), pFile) == strText.size() &&
                          std::fflush(pFile) == 0;
    const int nWriteError = errno ? errno : EIO;
    errno = 0;
    const bool bClosed = std::fclose(pFile) == 0;
    if (!bWritten)
        return COutputProblem{"write", nWriteError, ""};
    if (!bClosed)
        return COutputProblem{"close", errno ? errno : EIO, ""};
    return std::nullopt;
}

} // namespace

int OpenOutputForAppend(const std::string& strPath, unsigned, COutputProblem& problem)
{
    const int fd = _open(strPath.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        problem = {"open", errno, ""};
    return fd;
}

std::optional<COutputProblem> ReplaceOutputFile(const std::string& strPath, const std::string& strText, unsigned)
{
    const std::string strTemporary = TemporaryPathBeside(strPath);
    if (std::optional<COutputProblem> problem = WriteWholeFile(strTemporary, strText)) {
        std::remove(strTemporary.c_str());
        return problem;
    }
    std::error_code ec;
    std::filesystem::rename(strTemporary, strPath, ec);
    if (ec) {
        std::remove(strTemporary.c_str());
        return COutputProblem{"rename", 0, ec.message()};
    }
    return std::nullopt;
}

std::optional<COutputProblem> CheckOutputReplaceable(const std::string& strPath)
{
    const std::string strTemporary = TemporaryPathBeside(strPath);
    std::optional<COutputProblem> problem = WriteWholeFile(strTemporary, "");
    std::remove(strTemporary.c_str());
    return problem;
}
