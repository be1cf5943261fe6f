#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

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

// The handles this process holds. The lock belongs to the open file description, so a second ask
// from this process cannot take it again on a file opened anew (that open conflicts with the
// first); it gets a duplicate of a held descriptor instead, and the kernel keeps the lock until the
// last descriptor of the description is closed. A child made by fork shares the parent's
// descriptors but not its claim: entries of another process id are not its own.
struct CHeldLock {
    int fd;
    pid_t nProcess;
    dev_t nDevice;
    ino_t nInode;
};

std::mutex g_heldMutex;
std::vector<CHeldLock> g_held;

} // namespace

InstanceLockHandle CreateInstanceLock(const char* szName, bool* pbAlreadyExists)
{
    *pbAlreadyExists = false;
    const std::string strPath = LockDirectory() + "/" + LockFileName(szName ? szName : "");
    const int fd = open(strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0)
        return 0;
    struct stat file = {};
    if (fstat(fd, &file) != 0) {
        close(fd);
        return 0;
    }
    std::lock_guard<std::mutex> held(g_heldMutex);
    // An open-file-description lock (l_pid must be 0) belongs to this open of the file, not to the
    // process: closing some other descriptor of the same file leaves it alone. The kernel drops it
    // when the last descriptor goes, however the process ends.
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_pid = 0;
    if (fcntl(fd, F_OFD_SETLK, &lock) == 0) {
        g_held.push_back({fd, getpid(), file.st_dev, file.st_ino});
        return HandleOf(fd);
    }
    const int nError = errno;
    close(fd);
    if (nError != EAGAIN && nError != EACCES)
        return 0;
    const pid_t nSelf = getpid();
    for (const CHeldLock& entry : g_held) {
        if (entry.nProcess != nSelf || entry.nDevice != file.st_dev || entry.nInode != file.st_ino)
            continue;
        // This process holds it already: the same lock through a handle of its own.
        const int fdAgain = fcntl(entry.fd, F_DUPFD_CLOEXEC, 0);
        if (fdAgain < 0)
            return 0;
        g_held.push_back({fdAgain, nSelf, file.st_dev, file.st_ino});
        return HandleOf(fdAgain);
    }
    *pbAlreadyExists = true;
    return 0;
}

void CloseInstanceLock(InstanceLockHandle hLock)
{
    if (hLock <= 0)
        return;
    const int fd = FdOf(hLock);
    std::lock_guard<std::mutex> held(g_heldMutex);
    // Forgotten before the close, so that a descriptor number reused meanwhile is never taken for ours.
    g_held.erase(std::remove_if(g_held.begin(), g_held.end(),
                                [&](const CHeldLock& entry) { return entry.fd == fd && entry.nProcess == getpid(); }),
                 g_held.end());
    close(fd);
}
