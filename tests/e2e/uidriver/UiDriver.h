#pragma once
// The UI driver: finds the program's windows from another process and reads or drives them the way
// a user would see and touch them. Every reading works across processes: texts and list entries by
// window messages, pictures and fonts by comparing what is on the screen with a rendering of the
// candidates (bitmap and font handles of another process mean nothing in this one).
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// ---- windows ----------------------------------------------------------------------------------
// Visible top-level windows whose caption is exactly strTitle, in z-order.
std::vector<HWND> FindTopWindows(const std::string& strTitle);
std::string WindowText(HWND hwnd);
std::string ComboEntry(HWND hCombo, int nIndex);   // "" when out of range
int ComboCount(HWND hCombo);
int ComboSelection(HWND hCombo);                  // -1 when nothing is selected
// The full path of the executable that owns hwnd ("" when it cannot be read).
std::string OwnerImagePath(HWND hwnd);
// Polls fn every few milliseconds until it holds or nTimeoutMs has passed; returns the last result.
template <class Fn> bool PollUntil(unsigned nTimeoutMs, Fn fn)
{
    const ULONGLONG nDeadline = GetTickCount64() + nTimeoutMs;
    for (;;) {
        if (fn())
            return true;
        if (GetTickCount64() >= nDeadline)
            return false;
        Sleep(25);
    }
}

// ---- processes --------------------------------------------------------------------------------
// Figures of another process as the system reports them; -1 where the system gives none (or 0 for a
// process that surely has some, which the caller judges).
struct CProcessStats {
    DWORD nProcessId = 0;
    bool bOpened = false;          // OpenProcess succeeded
    long long nHandles = -1;
    const char* pszHandleSource = "none";   // which call gave nHandles
    long long nThreads = -1;       // threads in a toolhelp snapshot
    long long nWorkingSet = -1;    // bytes
    long long nPrivateBytes = -1;  // bytes
    const char* pszPrivateSource = "none";
};
CProcessStats ReadProcessStats(DWORD nProcessId);

// ---- pixels -----------------------------------------------------------------------------------
struct CImage {
    int nWidth = 0;
    int nHeight = 0;
    std::vector<uint32_t> pixels;   // top-down rows, 0x00RRGGBB
    bool Empty() const { return pixels.empty(); }
    uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * nWidth + x]; }
};

// What the screen shows in rect (screen coordinates).
CImage CaptureScreen(const RECT& rect);
// The bitmap's pixels (any format) as 32-bit RGB.
CImage ImageOfBitmap(HBITMAP hBitmap);
bool WriteBmp(const CImage& image, const std::string& strPath);

// Which of the candidate bitmaps the picture control shows, drawn centred at real size.
// 0 when none matches.
int MatchPicture(HWND hPicture, const std::map<int, CImage>& candidates);

struct CFontGuess {
    std::string strFace;   // "" when no candidate matches
    int nWeight = 0;
    int nHeight = 0;
};
// Which font the static text control draws its text in, among a few candidate faces and weights.
CFontGuess MatchStaticFont(HWND hStatic);

// ---- fonts ------------------------------------------------------------------------------------
struct CDialogTemplate {
    bool bOk = false;   // an extended template with a font of its own, read to its end
    int nCx = 0;        // size in dialog units
    int nCy = 0;
    std::string strFace;
    int nPoints = 0;
    int nWeight = 0;
    bool bItalic = false;
};
// The dialog template nId of a module (loaded as a data file).
CDialogTemplate ReadDialogTemplate(HMODULE hModule, int nId);
// The client size in pixels of a dialog of that template, laid out in its font as GDI gives it here.
SIZE TemplateClientSize(const CDialogTemplate& dialog);
// The font GDI gives for a face and weight here, as family and style ("Tahoma Bold"; no style when
// regular): the face asked for when the system has it, another font's name when it falls back.
std::string ResolvedFontName(const std::string& strFace, int nWeight);
