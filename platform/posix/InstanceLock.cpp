#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// A file name for the lock: the name's harmless characters (for whoever lists the directory) and a
// hash of the whole name, so that names differing only in replaced characters stay apart.
std::string LockFileName(const std::string& strName)
{
    std::string strReadable;
    uint64_t nHash = 14695981039346656037ull;   // FNV-1a
    for (unsigned char c : strName) {
        const bool bPlain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        if (strReadable.size() < 64)
            strReadable += bPlain ? static_cast<char>(c) : '-';
        nHash = (nHash ^ c) * 1099511628211ull;
    }
    char szHash[17];
    std::snprintf(szHash, sizeof szHash, "%016llx", static_cast<unsigned long long>(nHash));
    return "vostrel-" + strReadable + "-" + szHash + ".lock";
}

std::string LockDirectory()
{
    const char* szRuntime = std::getenv("XDG_RUNTIME_DIR");
    return szRuntime && *szRuntime ? szRuntime : "/tmp";
}

// The fd is kept as handle + 1, so that a handle of 0 never names a file.
InstanceLockHandle HandleOf(int fd) { return static_cast<InstanceLockHandle>(fd) + 1; }
int FdOf(InstanceLockHandle hLock) { return static_cast<int>(hLock - 1); }

} // namespace

InstanceLockHandle CreateInstanceLock(const char* szName, bool* pbAlreadyExists)
{
    *pbAlreadyExists = false;
    const std::string strPath = LockDirectory() + "/" + LockFileName(szName ? szName : "");
    const int fd = open(strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0)
        return 0;
    // A record lock belongs to the process: a second lock from this process succeeds, another
    // process's attempt fails. The kernel drops it when the process ends, however it ends.
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &lock) == 0)
        return HandleOf(fd);
    const int nError = errno;
    close(fd);
    if (nError == EAGAIN || nError == EACCES)
        *pbAlreadyExists = true;
    return 0;
}

void CloseInstanceLock(InstanceLockHandle hLock)
{
    if (hLock > 0)
        close(FdOf(hLock));
}
