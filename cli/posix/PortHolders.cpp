// Who has a tty open, as fuser(1) finds it: every process's /proc/PID/fd links. Only descriptors
// that lead into /dev are looked at further, so a look costs one readlink per descriptor.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "cli/CliPlatform.h"
#include "cli/posix/DescriptorLook.h"

namespace {

bool IsNumber(const char* psz)
{
    if (!*psz)
        return false;
    for (; *psz; ++psz) {
        if (*psz < '0' || *psz > '9')
            return false;
    }
    return true;
}

std::string CommandName(int nProcDir)
{
    char name[64] = {};
    const int fd = openat(nProcDir, "comm", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    const ssize_t n = read(fd, name, sizeof name - 1);
    close(fd);
    std::string str(name, n > 0 ? static_cast<size_t>(n) : 0);
    while (!str.empty() && str.back() == '\n')
        str.pop_back();
    return str;
}

// The pseudo-terminal slaves are character devices of this major, numbered by the pty's index.
constexpr unsigned kPtySlaveMajor = 136;

// The index of the pty whose master the descriptor is ("tty-index:" in its fdinfo).
std::optional<unsigned> PtyIndex(int nProc, const char* pszFd)
{
    const std::string strPath = std::string("fdinfo/") + pszFd;
    const int fd = openat(nProc, strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    char text[512] = {};
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    const char* pszIndex = n > 0 ? std::strstr(text, "tty-index:") : nullptr;
    if (!pszIndex)
        return std::nullopt;
    return static_cast<unsigned>(std::strtoul(pszIndex + std::strlen("tty-index:"), nullptr, 10));
}

// A process that holds a pty's master is the device behind its slave (a simulated card, a
// terminal emulator); its own descriptor on that slave is no second user of the port.
void DropOwnPtySlaves(std::vector<COpenDevice>& open, size_t nFrom, const std::vector<unsigned>& masters)
{
    for (unsigned nIndex : masters) {
        const uint64_t nSlave = static_cast<uint64_t>(makedev(kPtySlaveMajor, nIndex));
        open.erase(std::remove_if(open.begin() + static_cast<std::ptrdiff_t>(nFrom), open.end(),
                                  [nSlave](const COpenDevice& device) { return device.nDevice == nSlave; }),
                   open.end());
    }
}

// The character devices among one process's descriptors; false when they cannot be read.
bool LookAtProcess(int nProc, long nPid, std::vector<COpenDevice>& open)
{
    const int nFdDir = openat(nProc, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (nFdDir < 0)
        return errno != EACCES && errno != EPERM;   // a process that has just ended is no holder
    DIR* pDir = fdopendir(nFdDir);
    if (!pDir) {
        close(nFdDir);
        return true;
    }
    std::string strName;
    bool bNamed = false;
    const size_t nFrom = open.size();
    std::vector<unsigned> masters;
    while (const dirent* pEntry = readdir(pDir)) {
        if (!IsNumber(pEntry->d_name))
            continue;
        char target[16] = {};
        const ssize_t n = readlinkat(nFdDir, pEntry->d_name, target, sizeof target - 1);
        if (n < 5 || std::strncmp(target, "/dev/", 5) != 0)
            continue;
        if (std::strcmp(target, "/dev/ptmx") == 0 || std::strcmp(target, "/dev/pts/ptmx") == 0) {
            if (const std::optional<unsigned> nIndex = PtyIndex(nProc, pEntry->d_name))
                masters.push_back(*nIndex);
            continue;
        }
        struct stat st {};
        if (fstatat(nFdDir, pEntry->d_name, &st, 0) != 0 || !S_ISCHR(st.st_mode))
            continue;
        if (!bNamed) {
            strName = CommandName(nProc);
            bNamed = true;
        }
        open.push_back({static_cast<uint64_t>(st.st_rdev), nPid, strName});
    }
    closedir(pDir);
    DropOwnPtySlaves(open, nFrom, masters);
    return true;
}

} // namespace

std::optional<uint64_t> CharacterDeviceNumber(const std::string& strDevice)
{
    struct stat st {};
    if (strDevice.empty() || stat(strDevice.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return std::nullopt;
    return static_cast<uint64_t>(st.st_rdev);
}

std::mutex& DescriptorLookMutex()
{
    static std::mutex mutex;
    return mutex;
}

CHolderLook LookAtOpenDevices()
{
    std::lock_guard<std::mutex> lock(DescriptorLookMutex());
    CHolderLook look;
    const long nSelf = static_cast<long>(getpid());
    const int nProcFd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* pProc = nProcFd < 0 ? nullptr : fdopendir(nProcFd);
    if (!pProc) {
        if (nProcFd >= 0)
            close(nProcFd);
        look.bSawEveryProcess = false;
        return look;
    }
    while (const dirent* pEntry = readdir(pProc)) {
        if (!IsNumber(pEntry->d_name))
            continue;
        const long nPid = std::strtol(pEntry->d_name, nullptr, 10);
        if (nPid == nSelf)
            continue;
        const int nProc = openat(nProcFd, pEntry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (nProc < 0)
            continue;
        if (!LookAtProcess(nProc, nPid, look.open))
            look.bSawEveryProcess = false;
        close(nProc);
    }
    closedir(pProc);
    return look;
}
