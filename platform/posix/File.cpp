#include "platform/File.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>
#include <vector>

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

namespace {

constexpr int kMaxLinks = 40;   // as the kernel's own limit on links in one path

// A descriptor closed with its scope.
class CFd {
public:
    explicit CFd(int fd = -1) : m_fd(fd) {}
    ~CFd() { Reset(); }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    void Reset(int fd = -1)
    {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = fd;
    }
    int Release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    int Get() const { return m_fd; }

private:
    int m_fd;
};

COutputProblem Failed(const char* pszCall, int nCode)
{
    return {pszCall, nCode, ""};
}

COutputProblem Refused(const std::string& strWhy)
{
    return {"", 0, strWhy};
}

// A folder whose links nobody but the caller or the system could have made.
bool IsTrustedFolder(int nFolder)
{
    struct stat st {};
    if (fstat(nFolder, &st) != 0)
        return false;
    return (st.st_uid == geteuid() || st.st_uid == 0) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool IsOpenToOthers(int nFolder)
{
    struct stat st {};
    return fstat(nFolder, &st) != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

std::vector<std::string> Components(const std::string& strPath)
{
    std::vector<std::string> parts;
    size_t nStart = 0;
    while (nStart <= strPath.size()) {
        const size_t nEnd = std::min(strPath.find('/', nStart), strPath.size());
        const std::string strPart = strPath.substr(nStart, nEnd - nStart);
        if (!strPart.empty() && strPart != ".")
            parts.push_back(strPart);
        nStart = nEnd + 1;
    }
    return parts;
}

// Where a file goes: its folder (open, searchable), and its name there.
struct CPlace {
    CFd folder;
    std::string strName;
};

// Walks strPath one name at a time from the root or the working folder. A link is followed only in
// a trusted folder, the last name's too; elsewhere it is refused. place.strName is what is at the
// end: a file, nothing yet, or a link in a folder others can write to (which the opens refuse).
std::optional<COutputProblem> FindPlace(const std::string& strPath, CPlace& place)
{
    if (strPath.empty() || strPath.back() == '/')
        return Failed("open", EISDIR);
    std::vector<std::string> pending = Components(strPath);
    if (pending.empty() || pending.back() == "..")
        return Failed("open", EISDIR);
    place.folder.Reset(open(strPath[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (place.folder.Get() < 0)
        return Failed("open", errno);
    int nLinks = 0;
    while (!pending.empty()) {
        const std::string strPart = pending.front();
        pending.erase(pending.begin());
        struct stat st {};
        const bool bLast = pending.empty();
        if (fstatat(place.folder.Get(), strPart.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (bLast && errno == ENOENT) {
                place.strName = strPart;
                return std::nullopt;
            }
            return Failed("open", errno);
        }
        if (S_ISLNK(st.st_mode)) {
            if (!IsTrustedFolder(place.folder.Get())) {
                if (bLast) {
                    place.strName = strPart;   // refused by the open, with its name
                    return std::nullopt;
                }
                return Refused("\"" + strPart + "\" is a link in a folder that other users can write to");
            }
            if (++nLinks > kMaxLinks)
                return Failed("open", ELOOP);
            char szTarget[4096];
            const ssize_t n = readlinkat(place.folder.Get(), strPart.c_str(), szTarget, sizeof szTarget - 1);
            if (n < 0)
                return Failed("readlink", errno);
            const std::string strTarget(szTarget, static_cast<size_t>(n));
            std::vector<std::string> target = Components(strTarget);
            if (target.empty() || strTarget.back() == '/')
                return Failed("open", EISDIR);
            pending.insert(pending.begin(), target.begin(), target.end());
            if (strTarget[0] == '/') {
                place.folder.Reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                if (place.folder.Get() < 0)
                    return Failed("open", errno);
            }
            continue;
        }
        if (bLast) {
            place.strName = strPart;
            return std::nullopt;
        }
        const int nNext = openat(place.folder.Get(), strPart.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (nNext < 0)
            return Failed("open", errno);
        place.folder.Reset(nNext);
    }
    return Failed("open", EISDIR);
}

// What an existing file may be to be written: a regular file of the caller's (a hard link to
// another file counts only in a folder nobody else can write to), a pipe, a terminal or /dev/null.
std::optional<COutputProblem> CheckWritable(int fd, const struct stat& st, bool bOpenFolder)
{
    if (S_ISREG(st.st_mode)) {
        if (st.st_uid != geteuid())
            return Refused("the file belongs to another user (uid " + std::to_string(st.st_uid) + ")");
        if (bOpenFolder && st.st_nlink > 1)
            return Refused("the file has other names (hard links) in a folder that other users can write to");
        return std::nullopt;
    }
    if (S_ISFIFO(st.st_mode))
        return std::nullopt;
    if (S_ISCHR(st.st_mode) && (isatty(fd) || st.st_rdev == makedev(1, 3)))
        return std::nullopt;
    if (S_ISDIR(st.st_mode))
        return Failed("open", EISDIR);
    return Refused("not a regular file, a pipe, a terminal or /dev/null");
}

// The descriptor that /dev/stdout, /dev/stderr, /dev/fd/N or /proc/self/fd/N names, or -1 when
// strPath is none of them.
int NamedDescriptor(const std::string& strPath)
{
    if (strPath == "/dev/stdout")
        return 1;
    if (strPath == "/dev/stderr")
        return 2;
    for (const char* pszPrefix : {"/dev/fd/", "/proc/self/fd/"}) {
        const std::string strPrefix = pszPrefix;
        if (!strPath.starts_with(strPrefix) || strPath.size() == strPrefix.size() || strPath.size() > strPrefix.size() + 6)
            continue;
        const std::string strNumber = strPath.substr(strPrefix.size());
        if (strNumber.find_first_not_of("0123456789") == std::string::npos)
            return std::stoi(strNumber);
    }
    return -1;
}

std::string TemporaryName(const std::string& strName)
{
    std::random_device random;
    char szSuffix[32];
    std::snprintf(szSuffix, sizeof szSuffix, ".%08x.tmp", static_cast<unsigned>(random()));
    return strName + szSuffix;
}

// The mode a replacing file takes (the replaced file's own, else nNewMode); a refusal when what is
// there may not be replaced.
std::optional<COutputProblem> ReplacedMode(const CPlace& place, unsigned nNewMode, mode_t& nMode, gid_t& nGroup)
{
    nMode = static_cast<mode_t>(nNewMode);
    nGroup = static_cast<gid_t>(-1);
    struct stat st {};
    if (fstatat(place.folder.Get(), place.strName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? std::nullopt : std::optional<COutputProblem>(Failed("open", errno));
    if (S_ISLNK(st.st_mode))
        return Refused("\"" + place.strName + "\" is a link in a folder that other users can write to");
    if (S_ISDIR(st.st_mode))
        return Failed("open", EISDIR);
    if (!S_ISREG(st.st_mode))
        return Refused("not a regular file");
    if (st.st_uid != geteuid())
        return Refused("the file belongs to another user (uid " + std::to_string(st.st_uid) + ")");
    nMode = st.st_mode & 07777;
    nGroup = st.st_gid;
    return std::nullopt;
}

int CreatePrivate(const CPlace& place, std::string& strTemporary)
{
    strTemporary = TemporaryName(place.strName);
    return openat(place.folder.Get(), strTemporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

} // namespace

int OpenOutputForAppend(const std::string& strPath, unsigned nNewMode, COutputProblem& problem)
{
    if (const int nNamed = NamedDescriptor(strPath); nNamed >= 0) {
        const int nFlags = fcntl(nNamed, F_GETFL);
        if (nFlags < 0 || (nFlags & O_ACCMODE) == O_RDONLY) {
            problem = Failed("open", EBADF);
            return -1;
        }
        const int fd = fcntl(nNamed, F_DUPFD_CLOEXEC, 3);
        if (fd < 0)
            problem = Failed("dup", errno);
        return fd;
    }
    CPlace place;
    if (std::optional<COutputProblem> found = FindPlace(strPath, place)) {
        problem = *found;
        return -1;
    }
    // O_NONBLOCK: opening a FIFO that nobody reads fails with ENXIO instead of waiting for a reader.
    // O_NOFOLLOW: a link still there is one in a folder others can write to. A new file is made
    // only with O_EXCL, never through something someone else put there meanwhile.
    constexpr int kFlags = O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC;
    CFd file(openat(place.folder.Get(), place.strName.c_str(), kFlags));
    bool bMade = false;
    if (file.Get() < 0 && errno == ENOENT) {
        file.Reset(openat(place.folder.Get(), place.strName.c_str(), kFlags | O_CREAT | O_EXCL, 0600));
        bMade = file.Get() >= 0;
    }
    if (file.Get() < 0) {
        problem = errno == ELOOP ? Refused("\"" + place.strName + "\" is a link in a folder that other users can write to")
                                 : Failed("open", errno);
        return -1;
    }
    struct stat st {};
    if (fstat(file.Get(), &st) != 0) {
        problem = Failed("fstat", errno);
        return -1;
    }
    if (std::optional<COutputProblem> refusal = CheckWritable(file.Get(), st, IsOpenToOthers(place.folder.Get()))) {
        problem = *refusal;
        return -1;
    }
    // Whatever the umask: a transcript holds what the card said, for the caller only.
    if (bMade && fchmod(file.Get(), static_cast<mode_t>(nNewMode)) != 0) {
        problem = Failed("fchmod", errno);
        return -1;
    }
    // Writes wait for a slow disk or reader as usual; only the open had to stay unblocked.
    const int nFlags = fcntl(file.Get(), F_GETFL);
    if (nFlags < 0 || fcntl(file.Get(), F_SETFL, nFlags & ~O_NONBLOCK) != 0) {
        problem = Failed("fcntl", errno);
        return -1;
    }
    return file.Release();
}

std::optional<COutputProblem> ReplaceOutputFile(const std::string& strPath, const std::string& strText, unsigned nNewMode)
{
    CPlace place;
    if (std::optional<COutputProblem> found = FindPlace(strPath, place))
        return found;
    mode_t nMode = 0;
    gid_t nGroup = 0;
    if (std::optional<COutputProblem> refusal = ReplacedMode(place, nNewMode, nMode, nGroup))
        return refusal;
    std::string strTemporary;
    CFd file(CreatePrivate(place, strTemporary));
    if (file.Get() < 0)
        return Failed("open", errno);
    const auto fail = [&](const char* pszCall) {
        const int nCode = errno ? errno : EIO;
        unlinkat(place.folder.Get(), strTemporary.c_str(), 0);
        return Failed(pszCall, nCode);
    };
    size_t nDone = 0;
    while (nDone < strText.size()) {
        const ssize_t n = write(file.Get(), strText.data() + nDone, strText.size() - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail("write");
        nDone += static_cast<size_t>(n);
    }
    if (nGroup != static_cast<gid_t>(-1) && fchown(file.Get(), static_cast<uid_t>(-1), nGroup) != 0)
        errno = 0;   // a group the caller is not in: the file keeps the caller's
    // The mode after the group: a change of group may clear the set-group-ID bit.
    if (fchmod(file.Get(), nMode) != 0)
        return fail("fchmod");
    // On the disk before the rename: a crash leaves the old report or the whole new one.
    if (fsync(file.Get()) != 0)
        return fail("fsync");
    if (close(file.Release()) != 0)
        return fail("close");
    if (renameat(place.folder.Get(), strTemporary.c_str(), place.folder.Get(), place.strName.c_str()) != 0)
        return fail("rename");
    CFd folder(openat(place.folder.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() >= 0)
        fsync(folder.Get());   // the rename itself; a folder that cannot be synced still has it
    return std::nullopt;
}

std::optional<COutputProblem> CheckOutputReplaceable(const std::string& strPath)
{
    CPlace place;
    if (std::optional<COutputProblem> found = FindPlace(strPath, place))
        return found;
    mode_t nMode = 0;
    gid_t nGroup = 0;
    if (std::optional<COutputProblem> refusal = ReplacedMode(place, 0644, nMode, nGroup))
        return refusal;
    std::string strTemporary;
    CFd file(CreatePrivate(place, strTemporary));
    if (file.Get() < 0)
        return Failed("open", errno);
    unlinkat(place.folder.Get(), strTemporary.c_str(), 0);
    return std::nullopt;
}
