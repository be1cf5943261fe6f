// uidriver.exe: drives the program's main window from another process for end-to-end tests.
// Every command prints `key=value` lines and exits with 0 on success (or when a predicate holds)
// and 1 otherwise; usage errors exit with 2. Controls, bitmaps and messages go by the names of
// res/resource.h, both ways: "click IDC_ENTER_DOWNLOAD", "enabled:IDC_ENTER_DOWNLOAD=1",
// "picture=IDB_READY", "post WM_STATUS_REFRESH"; a number is taken as it is.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "UiDriver.h"
#include "res/resource.h"

namespace {

using CState = std::vector<std::pair<std::string, std::string>>;
using CArgs = std::vector<std::string>;

struct CNamedId {
    const char* pszName;
    int nId;
};

// The names the scripts use, with the numbers this driver was compiled with.
#define VOSTREL_NAMED(name) {#name, name}
constexpr CNamedId kControls[] = {
    VOSTREL_NAMED(IDC_EXIT), VOSTREL_NAMED(IDC_PORT_LIST), VOSTREL_NAMED(IDC_STATUS_PICTURE),
    VOSTREL_NAMED(IDC_ENTRY), VOSTREL_NAMED(IDC_READOUT), VOSTREL_NAMED(IDC_HIDDEN_OK),
    VOSTREL_NAMED(IDC_HELP_BUTTON), VOSTREL_NAMED(IDC_PORT_LABEL), VOSTREL_NAMED(IDC_BARCODE_LABEL),
    VOSTREL_NAMED(IDC_READ_LABEL), VOSTREL_NAMED(IDC_ENTER_DOWNLOAD), VOSTREL_NAMED(IDC_REVERSE_PORT),
    VOSTREL_NAMED(IDC_HIDDEN_1014), VOSTREL_NAMED(IDC_SIM_STATUS), VOSTREL_NAMED(IDC_CODE),
    VOSTREL_NAMED(IDC_EXIT_DOWNLOAD), VOSTREL_NAMED(IDC_HIDDEN_1018), VOSTREL_NAMED(IDC_STATUS_LINE),
};
// The bitmaps the picture control may show.
constexpr CNamedId kBitmaps[] = {
    VOSTREL_NAMED(IDB_READY), VOSTREL_NAMED(IDB_PASS), VOSTREL_NAMED(IDB_FAIL), VOSTREL_NAMED(IDB_SEARCHING),
    VOSTREL_NAMED(IDB_PORT_ERROR), VOSTREL_NAMED(IDB_RUNNING), VOSTREL_NAMED(IDB_NOTICE_SIGN),
};
constexpr CNamedId kMessages[] = {
    VOSTREL_NAMED(WM_STATUS_REFRESH),
};
#undef VOSTREL_NAMED

// Controls whose text and enabled state the state reports.
constexpr int kReportedControls[] = {IDC_PORT_LABEL, IDC_ENTER_DOWNLOAD, IDC_EXIT_DOWNLOAD, IDC_STATUS_LINE};
constexpr unsigned kActionTimeoutMs = 5000;

template <size_t N> std::string NameOf(const CNamedId (&names)[N], int nId)
{
    for (const CNamedId& entry : names)
        if (entry.nId == nId)
            return entry.pszName;
    return std::to_string(nId);
}

// A state key of a control: "text:IDC_STATUS_LINE".
std::string ControlKey(const char* pszWhat, int nId)
{
    return std::string(pszWhat) + ":" + NameOf(kControls, nId);
}

// The picture's bitmap by name; "none" when it matches none of them (or cannot be seen).
std::string PictureName(int nBitmap)
{
    return nBitmap ? NameOf(kBitmaps, nBitmap) : "none";
}

std::string MainTitle()
{
    const char* pTitle = std::getenv("UIDRIVER_TITLE");
    return pTitle && *pTitle ? pTitle : "Kavender";
}

void Print(const std::string& strKey, const std::string& strValue)
{
    std::printf("%s=%s\n", strKey.c_str(), strValue.c_str());
    std::fflush(stdout);
}

void PrintState(const CState& state)
{
    for (const auto& [strKey, strValue] : state)
        Print(strKey, strValue);
}

// How long a wait took, for the timing figures.
void PrintElapsed(ULONGLONG nStart)
{
    Print("elapsed_ms", std::to_string(GetTickCount64() - nStart));
}

bool ParseInt(const std::string& str, long long& nValue)
{
    if (str.empty())
        return false;
    char* pEnd = nullptr;
    nValue = std::strtoll(str.c_str(), &pEnd, 0);
    return *pEnd == '\0';
}

// One of the names ("IDC_ENTER_DOWNLOAD"), or a number as it is.
template <size_t N> bool ParseId(const CNamedId (&names)[N], const std::string& str, long long& nValue)
{
    for (const CNamedId& entry : names) {
        if (str == entry.pszName) {
            nValue = entry.nId;
            return true;
        }
    }
    return ParseInt(str, nValue);
}

HWND FindMain()
{
    const std::vector<HWND> found = FindTopWindows(MainTitle());
    return found.empty() ? nullptr : found.front();
}

HWND RequireMain()
{
    HWND hwnd = FindMain();
    if (!hwnd)
        Print("error", "no window titled " + MainTitle());
    return hwnd;
}

// A message box of another window: any visible top-level dialog with that caption.
HWND FindBox(const std::string& strTitle)
{
    for (HWND hwnd : FindTopWindows(strTitle)) {
        char szClass[64] = {};
        GetClassNameA(hwnd, szClass, sizeof szClass);
        if (std::string(szClass) == "#32770")
            return hwnd;
    }
    return nullptr;
}

// The program's own executable, loaded for its resources (nullptr when it cannot be).
HMODULE LoadProgramModule(HWND hMain)
{
    const char* pOverride = std::getenv("UIDRIVER_EXE");
    const std::string strExe = pOverride && *pOverride ? pOverride : OwnerImagePath(hMain);
    return LoadLibraryExA(strExe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
}

// The bitmaps the picture control may show, from the program's own executable.
std::map<int, CImage> LoadStatusBitmaps(HWND hMain)
{
    std::map<int, CImage> bitmaps;
    HMODULE hModule = LoadProgramModule(hMain);
    if (!hModule)
        return bitmaps;
    for (const CNamedId& entry : kBitmaps) {
        const int nId = entry.nId;
        // Loaded as the program loads them, so the 3-D colour mapping agrees.
        HANDLE hBitmap = LoadImageA(hModule, MAKEINTRESOURCEA(nId), IMAGE_BITMAP, 0, 0, LR_LOADMAP3DCOLORS);
        if (!hBitmap)
            continue;
        bitmaps[nId] = ImageOfBitmap(static_cast<HBITMAP>(hBitmap));
        DeleteObject(hBitmap);
    }
    FreeLibrary(hModule);
    return bitmaps;
}

CState ReadState(HWND hMain, const std::map<int, CImage>& bitmaps)
{
    CState state;
    state.emplace_back("title", WindowText(hMain));
    state.emplace_back("minimized", IsIconic(hMain) ? "1" : "0");
    HWND hList = GetDlgItem(hMain, IDC_PORT_LIST);
    const int nIndex = ComboSelection(hList);
    state.emplace_back(ControlKey("index", IDC_PORT_LIST), std::to_string(nIndex));
    state.emplace_back(ControlKey("text", IDC_PORT_LIST), nIndex >= 0 ? ComboEntry(hList, nIndex) : "");
    state.emplace_back(ControlKey("enabled", IDC_PORT_LIST), IsWindowEnabled(hList) ? "1" : "0");
    for (int nId : kReportedControls) {
        HWND hControl = GetDlgItem(hMain, nId);
        state.emplace_back(ControlKey("text", nId), WindowText(hControl));
        state.emplace_back(ControlKey("enabled", nId), IsWindowEnabled(hControl) ? "1" : "0");
    }
    // Pictures and fonts are read from the screen, which shows nothing useful while minimised.
    const bool bVisible = !IsIconic(hMain);
    const int nPicture = bVisible ? MatchPicture(GetDlgItem(hMain, IDC_STATUS_PICTURE), bitmaps) : 0;
    state.emplace_back("picture", PictureName(nPicture));
    const CFontGuess font = bVisible ? MatchStaticFont(GetDlgItem(hMain, IDC_STATUS_LINE)) : CFontGuess();
    state.emplace_back(ControlKey("font", IDC_STATUS_LINE), font.strFace.empty() ? "unknown" : font.strFace);
    state.emplace_back(ControlKey("weight", IDC_STATUS_LINE), std::to_string(font.nWeight));
    return state;
}

// ---- commands -----------------------------------------------------------------------------------

int CmdWaitWindow(const CArgs& args)
{
    long long nTimeout = 0;
    if (!ParseInt(args[1], nTimeout))
        return 2;
    HWND hwnd = nullptr;
    const ULONGLONG nStart = GetTickCount64();
    const bool bFound = PollUntil(static_cast<unsigned>(nTimeout), [&] {
        const std::vector<HWND> found = FindTopWindows(args[0]);
        hwnd = found.empty() ? nullptr : found.front();
        return hwnd != nullptr;
    });
    Print("found", bFound ? "1" : "0");
    PrintElapsed(nStart);
    if (bFound) {
        DWORD nProcessId = 0;
        GetWindowThreadProcessId(hwnd, &nProcessId);
        Print("pid", std::to_string(nProcessId));
    }
    return bFound ? 0 : 1;
}

int CmdWaitGone(const CArgs& args)
{
    long long nTimeout = 0;
    if (!ParseInt(args[1], nTimeout))
        return 2;
    const bool bGone = PollUntil(static_cast<unsigned>(nTimeout), [&] { return FindTopWindows(args[0]).empty(); });
    Print("gone", bGone ? "1" : "0");
    return bGone ? 0 : 1;
}

int CmdState(const CArgs&)
{
    HWND hMain = RequireMain();
    if (!hMain)
        return 1;
    PrintState(ReadState(hMain, LoadStatusBitmaps(hMain)));
    return 0;
}

int CmdWaitState(const CArgs& args)
{
    long long nTimeout = 0;
    if (args.size() < 2 || !ParseInt(args.back(), nTimeout))
        return 2;
    CState wanted;
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        const size_t nEquals = args[i].find('=');
        if (nEquals == std::string::npos)
            return 2;
        wanted.emplace_back(args[i].substr(0, nEquals), args[i].substr(nEquals + 1));
    }
    HWND hMain = nullptr;
    std::map<int, CImage> bitmaps;
    CState state;
    std::vector<std::string> mismatches;
    const ULONGLONG nStart = GetTickCount64();
    const bool bMatched = PollUntil(static_cast<unsigned>(nTimeout), [&] {
        if (!hMain || !IsWindow(hMain)) {
            hMain = FindMain();
            if (!hMain)
                return false;
            bitmaps = LoadStatusBitmaps(hMain);
        }
        state = ReadState(hMain, bitmaps);
        mismatches.clear();
        for (const auto& [strKey, strValue] : wanted) {
            std::string strActual = "<no such key>";
            for (const auto& [strStateKey, strStateValue] : state)
                if (strStateKey == strKey)
                    strActual = strStateValue;
            if (strActual != strValue)
                mismatches.push_back(strKey + ": wanted '" + strValue + "', is '" + strActual + "'");
        }
        return mismatches.empty();
    });
    PrintState(state);
    for (const std::string& strMismatch : mismatches)
        Print("mismatch", strMismatch);
    Print("matched", bMatched ? "1" : "0");
    PrintElapsed(nStart);
    return bMatched ? 0 : 1;
}

int CmdListEntry(const CArgs& args)
{
    long long nIndex = 0;
    if (!ParseInt(args[0], nIndex))
        return 2;
    HWND hMain = RequireMain();
    if (!hMain)
        return 1;
    HWND hList = GetDlgItem(hMain, IDC_PORT_LIST);
    const int nCount = ComboCount(hList);
    Print("count", std::to_string(nCount));
    if (nIndex < 0 || nIndex >= nCount) {
        Print("error", "index out of range");
        return 1;
    }
    Print("entry", ComboEntry(hList, static_cast<int>(nIndex)));
    return 0;
}

// Posts the WM_COMMAND that a click on control nId sends its dialog; posted, not sent, so a long
// handler does not block the driver.
bool PostClick(HWND hMain, long long nId, HWND hControl)
{
    return PostMessageA(hMain, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(nId), BN_CLICKED),
                        reinterpret_cast<LPARAM>(hControl)) != FALSE;
}

// A click as a user makes it: a disabled button cannot be clicked, so it is refused.
int CmdClick(const CArgs& args)
{
    long long nId = 0;
    if (!ParseId(kControls, args[0], nId))
        return 2;
    HWND hMain = RequireMain();
    if (!hMain)
        return 1;
    HWND hButton = GetDlgItem(hMain, static_cast<int>(nId));
    if (!hButton || !IsWindowEnabled(hButton)) {
        Print("clicked", "0");
        Print("error", hButton ? "button is disabled" : "no such control");
        return 1;
    }
    PostClick(hMain, nId, hButton);
    Print("clicked", "1");
    return 0;
}

int CmdPost(const CArgs& args)
{
    long long nMsg = 0;
    long long nWParam = 0;
    long long nLParam = 0;
    if (!ParseId(kMessages, args[0], nMsg) || (args.size() > 1 && !ParseInt(args[1], nWParam))
        || (args.size() > 2 && !ParseInt(args[2], nLParam)))
        return 2;
    HWND hMain = RequireMain();
    if (!hMain)
        return 1;
    const bool bPosted = PostMessageA(hMain, static_cast<UINT>(nMsg), static_cast<WPARAM>(nWParam),
                                      static_cast<LPARAM>(nLParam));
    Print("posted", bPosted ? "1" : "0");
    return bPosted ? 0 : 1;
}

// Waits for the box titled strTitle and prints what it says; nStart is when the wait began.
int WaitAndReportBox(const std::string& strTitle, unsigned nTimeoutMs, ULONGLONG nStart)
{
    HWND hBox = nullptr;
    const bool bFound = PollUntil(nTimeoutMs, [&] { return (hBox = FindBox(strTitle)) != nullptr; });
    Print("found", bFound ? "1" : "0");
    PrintElapsed(nStart);
    if (!bFound)
        return 1;
    // A message box shows its text in the static control with id 0xFFFF.
    Print("text", WindowText(GetDlgItem(hBox, 0xFFFF)));
    Print("owned", GetWindow(hBox, GW_OWNER) ? "1" : "0");
    // The language a box is asked for picks its button texts, and a right-to-left one mirrors it.
    Print("layout", (GetWindowLongA(hBox, GWL_EXSTYLE) & WS_EX_LAYOUTRTL) ? "rtl" : "ltr");
    Print("button", WindowText(GetDlgItem(hBox, IDOK)));
    DWORD nProcessId = 0;
    GetWindowThreadProcessId(hBox, &nProcessId);
    Print("pid", std::to_string(nProcessId));
    return 0;
}

int CmdWaitBox(const CArgs& args)
{
    long long nTimeout = 0;
    if (!ParseInt(args[1], nTimeout))
        return 2;
    return WaitAndReportBox(args[0], static_cast<unsigned>(nTimeout), GetTickCount64());
}

// Waits for the first of several boxes, for a command that may end either way.
int CmdWaitAnyBox(const CArgs& args)
{
    long long nTimeout = 0;
    if (!ParseInt(args[0], nTimeout))
        return 2;
    const ULONGLONG nStart = GetTickCount64();
    std::string strFound;
    PollUntil(static_cast<unsigned>(nTimeout), [&] {
        for (size_t i = 1; i < args.size() && strFound.empty(); ++i)
            if (FindBox(args[i]))
                strFound = args[i];
        return !strFound.empty();
    });
    if (strFound.empty()) {
        Print("found", "0");
        PrintElapsed(nStart);
        return 1;
    }
    Print("title", strFound);
    return WaitAndReportBox(strFound, 0, nStart);
}

// Clicks and times the command up to its box in one process: a second driver start under Wine
// would add its own start-up to the figure.
int CmdClickWaitBox(const CArgs& args)
{
    long long nTimeout = 0;
    if (!ParseInt(args[2], nTimeout))
        return 2;
    const ULONGLONG nStart = GetTickCount64();
    const int nClicked = CmdClick({args[0]});
    if (nClicked != 0)
        return nClicked;
    return WaitAndReportBox(args[1], static_cast<unsigned>(nTimeout), nStart);
}

// Posts the click notification of a control whatever its state: the only way to reach the hidden
// and disabled buttons whose handlers the dialog still routes.
int CmdNotify(const CArgs& args)
{
    long long nId = 0;
    if (!ParseId(kControls, args[0], nId))
        return 2;
    HWND hMain = RequireMain();
    if (!hMain)
        return 1;
    HWND hControl = GetDlgItem(hMain, static_cast<int>(nId));
    const bool bPosted = PostClick(hMain, nId, hControl);
    Print("posted", bPosted ? "1" : "0");
    Print("control", hControl ? "1" : "0");
    return bPosted ? 0 : 1;
}

int CmdDismissBox(const CArgs& args)
{
    HWND hBox = FindBox(args[0]);
    if (!hBox) {
        Print("dismissed", "0");
        return 1;
    }
    int nButton = GetDlgItem(hBox, IDOK) ? IDOK : IDCANCEL;
    if (args.size() > 1) {
        long long nId = 0;
        if (!ParseInt(args[1], nId))
            return 2;
        nButton = static_cast<int>(nId);
    }
    PostMessageA(hBox, WM_COMMAND, MAKEWPARAM(nButton, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(hBox, nButton)));
    const bool bGone = PollUntil(kActionTimeoutMs, [&] { return !IsWindow(hBox) || !IsWindowVisible(hBox); });
    Print("dismissed", bGone ? "1" : "0");
    return bGone ? 0 : 1;
}

int CmdCountWindows(const CArgs& args)
{
    Print("count", std::to_string(FindTopWindows(args[0]).size()));
    return 0;
}

// Minimise, restore and close go through the system menu commands, as the caption buttons do.
int SysCommandAndWait(WPARAM nCommand, const std::function<bool(HWND)>& reached, const char* pKey)
{
    HWND hMain = RequireMain();
    if (!hMain)
        return 1;
    PostMessageA(hMain, WM_SYSCOMMAND, nCommand, 0);
    const bool bReached = PollUntil(kActionTimeoutMs, [&] { return reached(hMain); });
    Print(pKey, bReached ? "1" : "0");
    return bReached ? 0 : 1;
}

int CmdMinimize(const CArgs&)
{
    return SysCommandAndWait(SC_MINIMIZE, [](HWND hwnd) { return IsIconic(hwnd) != FALSE; }, "minimized");
}

int CmdRestore(const CArgs&)
{
    return SysCommandAndWait(SC_RESTORE, [](HWND hwnd) { return !IsIconic(hwnd); }, "restored");
}

int CmdClose(const CArgs&)
{
    return SysCommandAndWait(SC_CLOSE, [](HWND hwnd) { return !IsWindow(hwnd); }, "closed");
}

int CmdIsMinimized(const CArgs&)
{
    HWND hMain = RequireMain();
    if (!hMain)
        return 1;
    const bool bMinimized = IsIconic(hMain) != FALSE;
    Print("minimized", bMinimized ? "1" : "0");
    return bMinimized ? 0 : 1;
}

// The main window, or with a box title the main window and that box: what the user sees while the
// box is up (a box without an owner is centred on the screen, not on the window).
int CmdScreenshot(const CArgs& args)
{
    HWND hMain = RequireMain();
    if (!hMain)
        return 1;
    RECT rect{};
    GetWindowRect(hMain, &rect);
    if (args.size() > 1) {
        HWND hBox = FindBox(args[1]);
        if (!hBox) {
            Print("error", "no box titled " + args[1]);
            return 1;
        }
        RECT box{};
        GetWindowRect(hBox, &box);
        UnionRect(&rect, &rect, &box);
    }
    const CImage image = CaptureScreen(rect);
    const bool bWritten = WriteBmp(image, args[0]);
    Print("written", bWritten ? "1" : "0");
    Print("size", std::to_string(image.nWidth) + "x" + std::to_string(image.nHeight));
    return bWritten ? 0 : 1;
}

// Whether the window is drawn in the fonts it is made for. Wine draws the caption with bold Tahoma
// and the caption buttons with Marlett, and lays the dialog out in its template's font; where the
// system lacks one, another font stands in: buttons drawn as letters, a dialog wider than its
// template, cut texts. Each font must be the system's own, and the client area must have the
// template's size in that font. Exits with 0 when all hold.
int CmdCheckFonts(const CArgs&)
{
    HWND hMain = RequireMain();
    if (!hMain)
        return 1;
    HMODULE hModule = LoadProgramModule(hMain);
    const CDialogTemplate dialog = hModule ? ReadDialogTemplate(hModule, IDD_MAIN) : CDialogTemplate();
    if (hModule)
        FreeLibrary(hModule);
    if (!dialog.bOk) {
        Print("error", "the program's dialog template cannot be read");
        return 1;
    }
    Print("template_font", dialog.strFace + " " + std::to_string(dialog.nPoints));
    bool bOk = true;
    const std::pair<std::string, int> wanted[] = {
        {dialog.strFace, FW_NORMAL}, {"Tahoma", FW_BOLD}, {"Marlett", FW_NORMAL}};
    for (const auto& [strFace, nWeight] : wanted) {
        const std::string strName = strFace + (nWeight == FW_BOLD ? " Bold" : "");
        const std::string strResolved = ResolvedFontName(strFace, nWeight);
        Print("font:" + strName, strResolved);
        bOk = bOk && strResolved == strName;
    }
    RECT client{};
    GetClientRect(hMain, &client);
    const SIZE expected = TemplateClientSize(dialog);
    const std::string strClient = std::to_string(client.right) + "x" + std::to_string(client.bottom);
    const std::string strExpected = std::to_string(expected.cx) + "x" + std::to_string(expected.cy);
    Print("client", strClient);
    Print("template_client", strExpected);
    bOk = bOk && strClient == strExpected;
    Print("fonts_ok", bOk ? "1" : "0");
    return bOk ? 0 : 1;
}

// The figures a soak run watches for leaks, of the process that owns the main window. A figure the
// system does not report (none, or 0 for a process that surely has some) is printed as "unsupported".
int CmdProcessStats(const CArgs&)
{
    HWND hMain = RequireMain();
    if (!hMain)
        return 1;
    DWORD nProcessId = 0;
    GetWindowThreadProcessId(hMain, &nProcessId);
    const CProcessStats stats = ReadProcessStats(nProcessId);
    const auto figure = [](long long nValue) { return nValue > 0 ? std::to_string(nValue) : std::string("unsupported"); };
    Print("pid", std::to_string(stats.nProcessId));
    Print("opened", stats.bOpened ? "1" : "0");
    Print("handles", figure(stats.nHandles));
    Print("handles_source", stats.pszHandleSource);
    Print("threads", figure(stats.nThreads));
    Print("working_set", figure(stats.nWorkingSet));
    Print("private_bytes", figure(stats.nPrivateBytes));
    Print("private_bytes_source", stats.pszPrivateSource);
    return stats.bOpened ? 0 : 1;
}

// Milliseconds since 1970 by the system clock, so that a script can line samples up with its own
// events.
long long EpochMs()
{
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    const unsigned long long nTicks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    constexpr unsigned long long kEpochOffset = 116444736000000000ULL;   // 1601 to 1970 in 100 ns
    return static_cast<long long>((nTicks - kEpochOffset) / 10000);
}

// One line per sample, tab-separated: "sample", the time, then key=value fields. One long-lived
// driver keeps the sampling steady where starting a driver per sample would cost a second each.
void PrintSample(HWND hMain, const std::map<int, CImage>& bitmaps)
{
    std::string strLine = "sample\t" + std::to_string(EpochMs());
    if (!hMain) {
        std::printf("%s\tmain=0\n", strLine.c_str());
        std::fflush(stdout);
        return;
    }
    HWND hList = GetDlgItem(hMain, IDC_PORT_LIST);
    const int nIndex = ComboSelection(hList);
    const auto field = [&](const std::string& strKey, const std::string& strValue) {
        strLine += "\t" + strKey + "=" + strValue;
    };
    field("main", "1");
    const auto enabled = [&](int nId) { return IsWindowEnabled(GetDlgItem(hMain, nId)) ? "1" : "0"; };
    field("picture", PictureName(IsIconic(hMain) ? 0 : MatchPicture(GetDlgItem(hMain, IDC_STATUS_PICTURE), bitmaps)));
    field(ControlKey("enabled", IDC_ENTER_DOWNLOAD), enabled(IDC_ENTER_DOWNLOAD));
    field(ControlKey("enabled", IDC_EXIT_DOWNLOAD), enabled(IDC_EXIT_DOWNLOAD));
    field(ControlKey("index", IDC_PORT_LIST), std::to_string(nIndex));
    field(ControlKey("text", IDC_PORT_LIST), nIndex >= 0 ? ComboEntry(hList, nIndex) : "");
    field(ControlKey("text", IDC_STATUS_LINE), WindowText(GetDlgItem(hMain, IDC_STATUS_LINE)));
    field("box", FindBox("Success") ? "Success" : FindBox("Error") ? "Error" : "none");
    std::printf("%s\n", strLine.c_str());
    std::fflush(stdout);
}

int CmdWatchState(const CArgs& args)
{
    long long nInterval = 0;
    long long nDuration = 0;
    if (!ParseInt(args[0], nInterval) || !ParseInt(args[1], nDuration) || nInterval <= 0 || nDuration < 0)
        return 2;
    HWND hMain = nullptr;
    std::map<int, CImage> bitmaps;
    const ULONGLONG nStart = GetTickCount64();
    for (ULONGLONG nNext = nStart; nNext <= nStart + static_cast<ULONGLONG>(nDuration);
         nNext += static_cast<ULONGLONG>(nInterval)) {
        const ULONGLONG nNow = GetTickCount64();
        if (nNow < nNext)
            Sleep(static_cast<DWORD>(nNext - nNow));
        if (!hMain || !IsWindow(hMain)) {
            hMain = FindMain();
            bitmaps = hMain ? LoadStatusBitmaps(hMain) : std::map<int, CImage>();
        }
        PrintSample(hMain, bitmaps);
    }
    return 0;
}

struct CCommand {
    const char* pName;
    size_t nMinArgs;
    const char* pUsage;
    int (*pfnRun)(const CArgs& args);
};

const CCommand kCommands[] = {
    {"wait-window", 2, "TITLE TIMEOUT_MS", CmdWaitWindow},
    {"wait-gone", 2, "TITLE TIMEOUT_MS", CmdWaitGone},
    {"state", 0, "", CmdState},
    {"wait-state", 2, "KEY=VALUE... TIMEOUT_MS", CmdWaitState},
    {"list-entry", 1, "INDEX", CmdListEntry},
    {"click", 1, "CONTROL (IDC_ name or number)", CmdClick},
    {"post", 1, "MSG (WM_ name of resource.h or number) [WPARAM [LPARAM]]", CmdPost},
    {"wait-box", 2, "TITLE TIMEOUT_MS", CmdWaitBox},
    {"wait-any-box", 2, "TIMEOUT_MS TITLE...", CmdWaitAnyBox},
    {"click-wait-box", 3, "CONTROL TITLE TIMEOUT_MS", CmdClickWaitBox},
    {"notify", 1, "CONTROL", CmdNotify},
    {"dismiss-box", 1, "TITLE [BUTTON_ID]", CmdDismissBox},
    {"count-windows", 1, "TITLE", CmdCountWindows},
    {"minimize", 0, "", CmdMinimize},
    {"restore", 0, "", CmdRestore},
    {"is-minimized", 0, "", CmdIsMinimized},
    {"close", 0, "", CmdClose},
    {"screenshot", 1, "FILE.bmp [BOX_TITLE]", CmdScreenshot},
    {"check-fonts", 0, "", CmdCheckFonts},
    {"process-stats", 0, "", CmdProcessStats},
    {"watch-state", 2, "INTERVAL_MS DURATION_MS", CmdWatchState},
};

int Usage()
{
    std::fprintf(stderr, "usage: uidriver COMMAND [ARGS]\n");
    for (const CCommand& command : kCommands)
        std::fprintf(stderr, "  %s %s\n", command.pName, command.pUsage);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    // Shown only when the driver fails: tells a failure of the driver's own from one of Wine's
    // before the driver ran.
    std::fprintf(stderr, "uidriver %s: started\n", argv[1]);
    const std::string strName = argv[1];
    const CArgs args(argv + 2, argv + argc);
    for (const CCommand& command : kCommands) {
        if (strName != command.pName)
            continue;
        if (args.size() < command.nMinArgs)
            return Usage();
        const int nResult = command.pfnRun(args);
        return nResult == 2 ? Usage() : nResult;
    }
    return Usage();
}
