// The port settings record: 12 raw bytes in "Vostrel.cfg" in the working directory, read at start
// and created (zeros) when it cannot be read.
#include <cstring>

#include "app/MainDlg.h"
#include "platform/File.h"

namespace {

constexpr const char kSettingsFileName[] = "Vostrel.cfg";

} // namespace

int CMainDlg::LoadPortSettings()
{
    // Without a captured working directory the full path would point at the root of the drive;
    // the relative name still means the current directory, which nothing changes while we run.
    const std::string strReadPath = m_szWorkDir[0] ? JoinPath(m_szWorkDir, kSettingsFileName) : kSettingsFileName;

    CFile file;
    if (file.OpenForRead(strReadPath)) {
        // A short file changes only the bytes it covers; a longer one has the rest ignored.
        uint8_t buffer[sizeof m_settings.bytes];
        const int nRead = file.Read(buffer, sizeof buffer);
        if (nRead < 0)
            return 0;
        std::memcpy(m_settings.bytes, buffer, static_cast<size_t>(nRead));
        return 1;
    }

    // Missing, unreadable or held by another program: replace it with a new record. A file held by
    // another program cannot be created either, and stays as it is.
    if (!file.CreateForWrite(kSettingsFileName))
        return 0;
    m_settings = CPortSettings{};
    return file.Write(m_settings.bytes, sizeof m_settings.bytes) == static_cast<int>(sizeof m_settings.bytes) ? 1 : 0;
}
