// LoadPortSettings: "Vostrel.cfg" in the working directory, 12 raw bytes, read when it can be opened
// without sharing, created with zeros otherwise; and the working directory capture it relies on.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/FileBytes.h"
#include "tests/support/WindowSettings.h"
#include "platform/File.h"
#include "platform/System.h"
#include "tests/support/WorkDirScope.h"

namespace {

namespace fs = std::filesystem;
using Bytes = file_bytes::Bytes;


Bytes Sequence(size_t nCount)
{
    Bytes bytes(nCount);
    for (size_t i = 0; i < nCount; ++i)
        bytes[i] = static_cast<uint8_t>(0xA0 + i);
    return bytes;
}

using file_bytes::ReadBytes;
using file_bytes::WriteBytes;

class SettingsFileTest : public ::testing::Test {
protected:
    // The window's settings as its initialisation has them when they load: the directory captured.
    std::unique_ptr<CWindowSettings> NewSettings(bool bCaptureDir = true)
    {
        auto pDlg = std::make_unique<CWindowSettings>();
        if (bCaptureDir)
            CaptureWorkingDirectory(pDlg->m_szWorkDir, 250);
        return pDlg;
    }

    static Bytes Record(const CWindowSettings& dlg) { return Bytes(dlg.m_settings.bytes, dlg.m_settings.bytes + 12); }
    static void Fill(CWindowSettings& dlg, uint8_t nByte) { std::memset(dlg.m_settings.bytes, nByte, 12); }

    fs::path SettingsPath() const { return m_workDir.Dir() / kSettingsFileName; }

    CWorkDirScope m_workDir;
};

// An existing file fills the record from its first bytes, at most 12; the bytes a short file does
// not cover keep what the record held; the file itself is left as it was.
TEST_F(SettingsFileTest, ExistingFileIsReadAndLeftAlone)
{
    struct Case {
        const char* name;
        Bytes file;
        bool bPrefill;   // record holds 0xEE before loading; otherwise as the dialog starts it
        Bytes record;
    };
    const Bytes kPre(12, 0xEE);
    const Case cases[] = {
        {"Exact", Sequence(12), true, Sequence(12)},
        {"Longer", Sequence(20), true, Sequence(12)},
        {"Shorter", Sequence(5), true, [&] { Bytes b = kPre; std::memcpy(b.data(), Sequence(5).data(), 5); return b; }()},
        {"ShorterOnAFreshDialog", Sequence(5), false, [] { Bytes b(12, 0); std::memcpy(b.data(), Sequence(5).data(), 5); return b; }()},
        {"Empty", Bytes{}, true, kPre},
    };
    for (const Case& c : cases) {
        WriteBytes(SettingsPath(), c.file);
        auto pDlg = NewSettings();
        if (c.bPrefill)
            Fill(*pDlg, 0xEE);

        EXPECT_EQ(pDlg->LoadPortSettings(), 1) << c.name;
        EXPECT_EQ(Record(*pDlg), c.record) << c.name;
        EXPECT_EQ(ReadBytes(SettingsPath()), c.file) << c.name;
    }
}

// No file, writable directory: a 12-byte file of zeros is created and the record is all zeros.
TEST_F(SettingsFileTest, MissingFileIsCreatedWithZeros)
{
    auto pDlg = NewSettings();
    Fill(*pDlg, 0xEE);

    EXPECT_EQ(pDlg->LoadPortSettings(), 1);
    EXPECT_EQ(ReadBytes(SettingsPath()), Bytes(12, 0));
    EXPECT_EQ(Record(*pDlg), Bytes(12, 0));
}

// The next start reads the file the first one created, and writes nothing.
TEST_F(SettingsFileTest, SecondStartReadsTheCreatedFileWithoutRewritingIt)
{
    ASSERT_EQ(NewSettings()->LoadPortSettings(), 1);
    const auto old = fs::last_write_time(SettingsPath()) - std::chrono::hours(24);
    fs::last_write_time(SettingsPath(), old);

    auto pSecond = NewSettings();
    Fill(*pSecond, 0xEE);
    EXPECT_EQ(pSecond->LoadPortSettings(), 1);

    EXPECT_EQ(Record(*pSecond), Bytes(12, 0));
    EXPECT_EQ(fs::last_write_time(SettingsPath()), old);
    EXPECT_EQ(ReadBytes(SettingsPath()), Bytes(12, 0));
}

// Neither readable nor creatable (here a directory holds the name): 0, the record untouched.
TEST_F(SettingsFileTest, UncreatableFileGivesZeroAndKeepsTheRecord)
{
    fs::create_directory(SettingsPath());
    auto pDlg = NewSettings();
    Fill(*pDlg, 0xEE);

    EXPECT_EQ(pDlg->LoadPortSettings(), 0);
    EXPECT_EQ(Record(*pDlg), Bytes(12, 0xEE));
    EXPECT_TRUE(fs::is_directory(SettingsPath()));
}

// A file another opener holds without sharing can be neither read nor replaced: 0, the record and
// the file unchanged (an open for creating truncates nothing when it is refused).
TEST_F(SettingsFileTest, FileHeldByAnotherOpenerIsNeitherReadNorReplaced)
{
    for (bool bHolderWrites : {false, true}) {
        fs::remove(SettingsPath());
        if (!bHolderWrites)
            WriteBytes(SettingsPath(), Sequence(12));
        CFile holder;
        ASSERT_TRUE(bHolderWrites ? holder.CreateNewForWrite(SettingsPath().string())
                                  : holder.OpenForRead(SettingsPath().string()));
        const Bytes expectedFile = bHolderWrites ? Bytes{} : Sequence(12);
        auto pDlg = NewSettings();
        Fill(*pDlg, 0xEE);

        EXPECT_EQ(pDlg->LoadPortSettings(), 0) << "holder writes " << bHolderWrites;
        EXPECT_EQ(Record(*pDlg), Bytes(12, 0xEE)) << "holder writes " << bHolderWrites;
        holder.Close();
        EXPECT_EQ(ReadBytes(SettingsPath()), expectedFile) << "holder writes " << bHolderWrites;
    }
}

// Without a captured working directory the file in the current directory is still the one read;
// it is not mistaken for missing and replaced by zeros.
TEST_F(SettingsFileTest, UncapturedWorkingDirectoryStillReadsTheCurrentDirectorysFile)
{
    WriteBytes(SettingsPath(), Sequence(12));
    auto pDlg = NewSettings(false);

    EXPECT_EQ(pDlg->LoadPortSettings(), 1);
    EXPECT_EQ(Record(*pDlg), Sequence(12));
    EXPECT_EQ(ReadBytes(SettingsPath()), Sequence(12));
}

// CaptureWorkingDirectory: a directory that fits is copied and its length returned; one of 250
// characters or more leaves the buffer alone and returns the size it would need; the settings then
// go to the current directory all the same.
TEST_F(SettingsFileTest, LongWorkingDirectoryIsNotCapturedAndTheFileStillLandsThere)
{
    char szDir[260] = {};
    const std::string strShort = fs::current_path().string();
    ASSERT_LT(strShort.size(), 200u);
    EXPECT_EQ(CaptureWorkingDirectory(szDir, 250), strShort.size());
    EXPECT_EQ(std::string(szDir), strShort);

    fs::path deep = fs::current_path();
    // The temporary directory's name varies in length: stop short enough that the last component
    // brings the path to 255 characters exactly.
    while (deep.string().size() + 21 < 250)
        deep /= std::string(20, 'd');
    deep /= std::string(255 - deep.string().size() - 1, 'e');
    fs::create_directories(deep);
    fs::current_path(deep);
    ASSERT_EQ(fs::current_path().string().size(), 255u);

    char szLong[260] = {};
    EXPECT_EQ(CaptureWorkingDirectory(szLong, 250), 256u);
    EXPECT_EQ(szLong[0], '\0');

    auto pDlg = NewSettings();
    EXPECT_EQ(pDlg->m_szWorkDir[0], '\0');
    EXPECT_EQ(pDlg->LoadPortSettings(), 1);
    EXPECT_EQ(ReadBytes(deep / kSettingsFileName), Bytes(12, 0));
}

} // namespace
