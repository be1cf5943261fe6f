#include "platform/File.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Opens without waiting (a FIFO would block an open for reading until a writer comes), then takes
// the whole-file lock that stands for "no sharing": an flock belongs to this open, so any other
// open that asks for it, in this process or another, is refused. Only regular files qualify.
int OpenExclusive(const std::string& strPath, int nFlags)
{
    const int fd = open(strPath.c_str(), nFlags | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        return -1;
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flock(fd, LOCK_EX | LOCK_NB) != 0
        || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

CFile::~CFile()
{
    Close();
}

bool CFile::OpenForRead(const std::string& strPath)
{
    Close();
    m_hFile = OpenExclusive(strPath, O_RDONLY);
    return IsOpen();
}

bool CFile::CreateNewForWrite(const std::string& strPath)
{
    Close();
    // O_EXCL: the create fails on anything already at the path, a link to elsewhere included.
    m_hFile = OpenExclusive(strPath, O_WRONLY | O_CREAT | O_EXCL);
    return IsOpen();
}

int CFile::Read(void* pBuffer, unsigned nLength)
{
    if (!IsOpen())
        return -1;
    unsigned nDone = 0;
    while (nDone < nLength) {
        const ssize_t n = read(static_cast<int>(m_hFile), static_cast<char*>(pBuffer) + nDone, nLength - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        nDone += static_cast<unsigned>(n);
    }
    return static_cast<int>(nDone);
}

int CFile::Write(const void* pData, unsigned nLength)
{
    if (!IsOpen())
        return -1;
    unsigned nDone = 0;
    while (nDone < nLength) {
        const ssize_t n = write(static_cast<int>(m_hFile), static_cast<const char*>(pData) + nDone, nLength - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        nDone += static_cast<unsigned>(n);
    }
    return static_cast<int>(nDone);
}

void CFile::Close()
{
    if (IsOpen())
        close(static_cast<int>(m_hFile));
    m_hFile = kInvalid;
}

std::string JoinPath(const std::string& strDirectory, const std::string& strName)
{
    if (!strDirectory.empty() && strDirectory.back() == '/')
        return strDirectory + strName;
    return strDirectory + "/" + strName;
}
