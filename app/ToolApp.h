#pragma once

// The one application object: decides the language of the hidden Reverse Port texts, runs the main
// dialog modally and lets the process end when it closes.
class CToolApp {
public:
    // 1 unless the system default language is Chinese (PRC, 2052).
    int m_bEnglish = 0;

    // Start-up; returns false so that the process ends when the dialog has closed.
    bool InitInstance();
};

extern CToolApp theApp;

// 1 for every language identifier except 2052 (Chinese, PRC).
int IsEnglishLanguage(unsigned short nLangId);
