#pragma once
// The main window's settings as its initialisation loads them: the working directory it captured
// (CaptureWorkingDirectory, at most 250 characters) and the record read from the file there.
#include "app/SettingsFile.h"

// The file the window keeps its settings in, in its working directory.
inline constexpr char kSettingsFileName[] = "Vostrel.cfg";

struct CWindowSettings {
    char m_szWorkDir[260] = {};
    CPortSettings m_settings;
    int LoadPortSettings() { return ReadOrCreateSettingsFile(m_szWorkDir, m_settings); }
};
