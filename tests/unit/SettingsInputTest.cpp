// LoadPortSettings against settings files that are odd in size or in what the file system lets us
// do with them: read-only files and directories, a file we may write but not read. Real files,
// through the platform's file seam (POSIX natively, Win32 under Wine). Each case states the result,
// the record afterwards and the file's bytes afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/FileBytes.h"
#include "tests/support/WindowSettings.h"
#include "platform/System.h"
#include "tests/support/WorkDirScope.h"

namespace {

namespace fs = std::filesystem;
using Bytes = file_bytes::Bytes;

constexpr uint8_t kBefore = 0xEE;   // what the record holds before loading

Bytes Pattern(size_t nCount)
{
    Bytes bytes(nCount);
    for (size_t i = 0; i < nCount; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    return bytes;
}

// The record after a read of fileBytes over a record of kBefore: the covered bytes replaced.
Bytes Overlaid(const Bytes& fileBytes)
{
    Bytes record(12, kBefore);
    std::copy_n(fileBytes.begin(), std::min<size_t>(12, fileBytes.size()), record.begin());
    return record;
}

using file_bytes::ReadBytes;
using file_bytes::WriteBytes;

bool CanRead(const fs::path& path)
{
    return std::ifstream(path, std::ios::binary).is_open();
}

bool CanCreateIn(const fs::path& dir)
{
    const fs::path probe = dir / "probe.tmp";
    const bool bCreated = std::ofstream(probe, std::ios::binary).is_open();
    std::error_code error;
    fs::remove(probe, error);
    return bCreated;
}

// Takes permissions away from a path for one scope and gives them all back at its end, so the
// directory can be cleaned up whatever the test did.
class CPermissionsScope {
public:
    CPermissionsScope(fs::path path, fs::perms removed) : m_path(std::move(path))
    {
        fs::permissions(m_path, removed, fs::perm_options::remove);
    }
    ~CPermissionsScope()
    {
        std::error_code error;
        fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, error);
    }
    CPermissionsScope(const CPermissionsScope&) = delete;
    CPermissionsScope& operator=(const CPermissionsScope&) = delete;

private:
    fs::path m_path;
};

const fs::perms kWriteBits = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
const fs::perms kReadBits = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;

class SettingsInputTest : public ::testing::Test {
protected:
    // The window's settings as its initialisation has them when they load, the record at kBefore.
    std::unique_ptr<CWindowSettings> NewSettings()
    {
        auto pDlg = std::make_unique<CWindowSettings>();
        CaptureWorkingDirectory(pDlg->m_szWorkDir, 250);
        std::memset(pDlg->m_settings.bytes, kBefore, sizeof pDlg->m_settings.bytes);
        return pDlg;
    }

    static Bytes Record(const CWindowSettings& dlg) { return Bytes(dlg.m_settings.bytes, dlg.m_settings.bytes + 12); }
    fs::path SettingsPath() const { return m_workDir.Dir() / kSettingsFileName; }

    CWorkDirScope m_workDir{"vostrel-settings"};
};

// LoadPortSettings: a file of any size that can be opened is read, never written; only its first
// 12 bytes count, and a short one changes only the bytes it covers. Read-only does not matter.
TEST_F(SettingsInputTest, ReadableFilesOfEverySize)
{
    const struct {
        const char* name;
        size_t nSize;
        bool bReadOnly;
    } kCases[] = {
        {"1 byte", 1, false},      {"11 bytes", 11, false},          {"13 bytes", 13, false},
        {"4096 bytes", 4096, false}, {"read-only, 12 bytes", 12, true}, {"read-only, 5 bytes", 5, true},
        {"read-only, empty", 0, true},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const Bytes file = Pattern(c.nSize);
        WriteBytes(SettingsPath(), file);
        std::unique_ptr<CPermissionsScope> pReadOnly;
        if (c.bReadOnly)
            pReadOnly = std::make_unique<CPermissionsScope>(SettingsPath(), kWriteBits);
        auto pDlg = NewSettings();

        EXPECT_EQ(pDlg->LoadPortSettings(), 1);
        EXPECT_EQ(Record(*pDlg), Overlaid(file));
        EXPECT_EQ(ReadBytes(SettingsPath()), file);
        pReadOnly.reset();
        fs::remove(SettingsPath());
    }
}

// LoadPortSettings in a directory where nothing can be created: an existing file is still read
// (1, left alone); without one the result is 0, the record keeps its bytes and no file appears.
TEST_F(SettingsInputTest, ReadOnlyDirectory)
{
    WriteBytes(SettingsPath(), Pattern(12));
    {
        CPermissionsScope readOnly(m_workDir.Dir(), kWriteBits);
        auto pDlg = NewSettings();
        EXPECT_EQ(pDlg->LoadPortSettings(), 1);
        EXPECT_EQ(Record(*pDlg), Pattern(12));
        EXPECT_EQ(ReadBytes(SettingsPath()), Pattern(12));
    }

    fs::remove(SettingsPath());
    CPermissionsScope readOnly(m_workDir.Dir(), kWriteBits);
    if (CanCreateIn(m_workDir.Dir()))
        GTEST_SKIP() << "the directory still takes new files: permissions are not enforced for this user "
                        "(root ignores them), or the platform has no read-only directories (Windows ignores "
                        "the attribute on a directory)";
    auto pSecond = NewSettings();
    EXPECT_EQ(pSecond->LoadPortSettings(), 0);
    EXPECT_EQ(Record(*pSecond), Bytes(12, kBefore));
    EXPECT_FALSE(fs::exists(SettingsPath()));
}

// LoadPortSettings on a file we may not read: it exists, so it is never replaced, even when it may
// be written; the record keeps its bytes and the load reports 0.
TEST_F(SettingsInputTest, UnreadableFile)
{
    const struct {
        const char* name;
        fs::perms removed;
        int nResult;
        Bytes record;
        Bytes fileAfter;
    } kCases[] = {
        {"writable", kReadBits, 0, Bytes(12, kBefore), Pattern(20)},
        {"not writable either", kReadBits | kWriteBits, 0, Bytes(12, kBefore), Pattern(20)},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        WriteBytes(SettingsPath(), Pattern(20));
        std::unique_ptr<CPermissionsScope> pDenied = std::make_unique<CPermissionsScope>(SettingsPath(), c.removed);
        if (CanRead(SettingsPath()))
            GTEST_SKIP() << "the file stays readable without read permission: permissions are not enforced for "
                            "this user (root ignores them) or the platform cannot deny reading alone";
        auto pDlg = NewSettings();

        EXPECT_EQ(pDlg->LoadPortSettings(), c.nResult);
        EXPECT_EQ(Record(*pDlg), c.record);
        pDenied.reset();
        EXPECT_EQ(ReadBytes(SettingsPath()), c.fileAfter);
        fs::remove(SettingsPath());
    }
}

}  // namespace
