#include "platform/File.h"

#include <windows.h>

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
