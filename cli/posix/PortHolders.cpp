// Who has a tty open, as fuser(1) finds it: every process's /proc/PID/fd links. Per process a look
// opens and reads its fd directory (getdents64 into the stack, with no DIR to allocate) and reads
// one link per descriptor; only descriptors that lead into /dev cost a stat, and only the holders of
// the ports asked about are named afterwards (ProcessName), not every process with a device open.
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

// The pseudo-terminal slaves are character devices of this major, numbered by the pty's index.
constexpr unsigned kPtySlaveMajor = 136;

// The index of the pty whose master the descriptor is ("tty-index:" in its fdinfo).
std::optional<unsigned> PtyIndex(int nProcDir, const char* pszPid, const char* pszFd)
{
    const std::string strPath = std::string(pszPid) + "/fdinfo/" + pszFd;
    const int fd = openat(nProcDir, strPath.c_str(), O_RDONLY | O_CLOEXEC);
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

// One descriptor of a process: a character device in /dev is noted, a pty master's index kept.
void LookAtDescriptor(int nProcDir, const char* pszPid, int nFdDir, const char* pszFd, long nPid,
                      std::vector<COpenDevice>& open, std::vector<unsigned>& masters)
{
    if (!IsNumber(pszFd))
        return;
    char target[16] = {};
    const ssize_t n = readlinkat(nFdDir, pszFd, target, sizeof target - 1);
    if (n < 5 || std::strncmp(target, "/dev/", 5) != 0)
        return;
    if (std::strcmp(target, "/dev/ptmx") == 0 || std::strcmp(target, "/dev/pts/ptmx") == 0) {
        if (const std::optional<unsigned> nIndex = PtyIndex(nProcDir, pszPid, pszFd))
            masters.push_back(*nIndex);
        return;
    }
    struct stat st {};
    if (fstatat(nFdDir, pszFd, &st, 0) == 0 && S_ISCHR(st.st_mode))
        open.push_back({static_cast<uint64_t>(st.st_rdev), nPid});
}

// The character devices among one process's descriptors; false when they cannot be read.
bool LookAtProcess(int nProcDir, const char* pszPid, long nPid, std::vector<COpenDevice>& open)
{
    const int nFdDir = openat(nProcDir, (std::string(pszPid) + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (nFdDir < 0)
        return errno != EACCES && errno != EPERM;   // a process that has just ended is no holder
    const size_t nFrom = open.size();
    std::vector<unsigned> masters;
    alignas(dirent64) char entries[8192];
    ssize_t nRead = 0;
    while ((nRead = getdents64(nFdDir, entries, sizeof entries)) > 0) {
        for (ssize_t nAt = 0; nAt < nRead;) {
            const dirent64* pEntry = reinterpret_cast<const dirent64*>(entries + nAt);
            nAt += pEntry->d_reclen;
            LookAtDescriptor(nProcDir, pszPid, nFdDir, pEntry->d_name, nPid, open, masters);
        }
    }
    close(nFdDir);
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

std::string ProcessName(long nPid)
{
    std::lock_guard<std::mutex> lock(DescriptorLookMutex());
    char name[64] = {};
    const int fd = open(("/proc/" + std::to_string(nPid) + "/comm").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    const ssize_t n = read(fd, name, sizeof name - 1);
    close(fd);
    std::string str(name, n > 0 ? static_cast<size_t>(n) : 0);
    while (!str.empty() && str.back() == '\n')
        str.pop_back();
    return str;
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
        if (!LookAtProcess(nProcFd, pEntry->d_name, nPid, look.open))
            look.bSawEveryProcess = false;
    }
    closedir(pProc);
    return look;
}
