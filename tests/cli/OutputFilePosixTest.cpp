// The transcript's and the report's files on a shared bench: links another user could have planted,
// another user's files, and the modes of new and replaced files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "WorkDirScope.h"
#include "platform/File.h"

namespace {

namespace fs = std::filesystem;

constexpr uid_t kOtherUser = 65534;   // nobody

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

unsigned ModeOf(const fs::path& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Appends or replaces; what went wrong in words ("" when it worked).
std::string WriteOutput(const std::string& strPath, bool bReport)
{
    COutputProblem problem;
    if (bReport) {
        const std::optional<COutputProblem> failed = ReplaceOutputFile(strPath, "new\n", 0644);
        if (!failed)
            return "";
        problem = *failed;
    } else {
        const int fd = OpenOutputForAppend(strPath, 0600, problem);
        if (fd >= 0) {
            const bool bWritten = write(fd, "new\n", 4) == 4;
            close(fd);
            return bWritten ? "" : "write failed";
        }
    }
    return problem.strRefusal.empty() ? problem.strCall + ": " + std::to_string(problem.nCode) : problem.strRefusal;
}

TEST(OutputFileTest, NeverWritesThroughAnotherUsersLinkOrFile)
{
    CWorkDirScope work("vostrel-output");
    const fs::path own = work.Dir() / "own";
    const fs::path shared = work.Dir() / "shared";   // as /tmp: anyone may add a name
    const fs::path other = work.Dir() / "other";     // another user's folder
    const fs::path target = own / "secret";
    fs::create_directory(own);
    fs::create_directory(shared);
    fs::create_directory(other);
    chmod(shared.c_str(), 01777);
    const bool bRoot = geteuid() == 0;
    if (bRoot) {
        ASSERT_EQ(chown(other.c_str(), kOtherUser, kOtherUser), 0);
    }
    const mode_t nUmask = umask(0);   // new files' modes must not depend on it

    const struct {
        const char* pszName;
        bool bNeedsRoot;
        std::function<void()> plant;
        fs::path path;
        bool bReport;
        const char* pszProblem;   // a part of the refusal; "" for none
        unsigned nMode;           // the file's mode afterwards (0: not looked at)
    } kCases[] = {
        {"a link in a shared folder", false, [&] { fs::create_symlink(target, shared / "bench.log"); },
         shared / "bench.log", false, "is a link in a folder that other users can write to", 0},
        {"a report's link in a shared folder", false, [&] { fs::create_symlink(target, shared / "bench.csv"); },
         shared / "bench.csv", true, "is a link in a folder that other users can write to", 0},
        {"a link to a folder in a shared folder", false, [&] { fs::create_directory_symlink(own, shared / "dir"); },
         shared / "dir" / "bench.log", false, "\"dir\" is a link in a folder that other users can write to", 0},
        {"a link in another user's folder", true, [&] { fs::create_symlink(target, other / "bench.log"); },
         other / "bench.log", false, "is a link in a folder", 0},
        {"another user's transcript", true,
         [&] {
             std::ofstream(shared / "theirs.log") << "theirs\n";
             ASSERT_EQ(chown((shared / "theirs.log").c_str(), kOtherUser, kOtherUser), 0);
         },
         shared / "theirs.log", false, "belongs to another user", 0},
        {"another user's report", true,
         [&] {
             std::ofstream(shared / "theirs.csv") << "theirs\n";
             ASSERT_EQ(chown((shared / "theirs.csv").c_str(), kOtherUser, kOtherUser), 0);
         },
         shared / "theirs.csv", true, "belongs to another user", 0},
        {"a hard link in a shared folder", false, [&] { fs::create_hard_link(target, shared / "hard.log"); },
         shared / "hard.log", false, "other names", 0},
        {"the caller's own link", false, [&] { fs::create_symlink("mine.log", own / "link.log"); }, own / "link.log",
         false, "", 0},
        {"a new transcript", false, [] {}, shared / "new.log", false, "", 0600},
        {"a new report", false, [] {}, shared / "new.csv", true, "", 0644},
        {"a report replacing the caller's", false,
         [&] {
             std::ofstream(own / "kept.csv") << "old\n";
             chmod((own / "kept.csv").c_str(), 0640);
         },
         own / "kept.csv", true, "", 0640},
        {"/dev/null", false, [] {}, "/dev/null", false, "", 0},
        {"/dev/stderr", false, [] {}, "/dev/stderr", false, "", 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszName);
        if (c.bNeedsRoot && !bRoot)
            continue;
        {
            std::ofstream(target) << "secret\n";
        }
        chmod(target.c_str(), 0600);
        c.plant();
        const std::string strProblem = WriteOutput(c.path.string(), c.bReport);
        if (*c.pszProblem == '\0') {
            EXPECT_EQ(strProblem, "");
        } else {
            EXPECT_NE(strProblem.find(c.pszProblem), std::string::npos) << strProblem;
        }
        EXPECT_EQ(ReadAll(target), "secret\n");
        if (c.nMode) {
            EXPECT_EQ(ModeOf(c.path), c.nMode);
        }
    }
    EXPECT_EQ(ReadAll(own / "mine.log"), "new\n");
    umask(nUmask);
}

} // namespace
