#pragma once
#include <cstdint>

// The settings record kept in "Vostrel.cfg": bytes 0..7 carried as they are, bytes 8..11 a
// little-endian 32-bit integer.
struct CPortSettings {
    uint8_t bytes[12] = {};
};

// Reads "Vostrel.cfg" from pszWorkDir (the current directory when it is empty) into settings; a
// short file changes only the bytes it covers. When no file is there, creates it in the current
// directory with a zeroed record. A file that exists is never rewritten, whatever keeps it from
// being read (held by another program, access denied, a directory of that name). 1 on success.
int ReadOrCreateSettingsFile(const char* pszWorkDir, CPortSettings& settings);
