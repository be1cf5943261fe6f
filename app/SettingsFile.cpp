#include "app/SettingsFile.h"

#include <cstring>
#include <string>

#include "platform/File.h"

namespace {

constexpr const char kSettingsFileName[] = "Vostrel.cfg";

} // namespace

int ReadOrCreateSettingsFile(const char* pszWorkDir, CPortSettings& settings)
{
    // Without a captured working directory the full path would point at the root of the drive;
    // the relative name still means the current directory, which nothing changes while we run.
    const std::string strReadPath = pszWorkDir[0] ? JoinPath(pszWorkDir, kSettingsFileName) : kSettingsFileName;

    CFile file;
    if (file.OpenForRead(strReadPath)) {
        // A short file changes only the bytes it covers; a longer one has the rest ignored.
        uint8_t buffer[sizeof settings.bytes];
        const int nRead = file.Read(buffer, sizeof buffer);
        if (nRead < 0)
            return 0;
        std::memcpy(settings.bytes, buffer, static_cast<size_t>(nRead));
        return 1;
    }

    // Only a missing file is created: one that exists but cannot be read now (another program
    // holds it, access is denied) keeps its bytes.
    if (!file.CreateNewForWrite(kSettingsFileName))
        return 0;
    settings = CPortSettings{};
    return file.Write(settings.bytes, sizeof settings.bytes) == static_cast<int>(sizeof settings.bytes) ? 1 : 0;
}
