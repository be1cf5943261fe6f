// Finding windows by caption and reading texts and list entries across processes.
#include "UiDriver.h"

namespace {

struct CTitleSearch {
    const std::string* pTitle;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectByTitle(HWND hwnd, LPARAM lParam)
{
    auto* pSearch = reinterpret_cast<CTitleSearch*>(lParam);
    if (IsWindowVisible(hwnd) && WindowText(hwnd) == *pSearch->pTitle)
        pSearch->found.push_back(hwnd);
    return TRUE;
}

} // namespace

std::vector<HWND> FindTopWindows(const std::string& strTitle)
{
    CTitleSearch search{&strTitle, {}};
    EnumWindows(CollectByTitle, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string WindowText(HWND hwnd)
{
    // WM_GETTEXT is carried across processes by the system; asked in UTF-16 so that any caption
    // survives, with a bounded timeout so that a hung window cannot hang the driver.
    wchar_t szText[1024] = {};
    DWORD_PTR nCopied = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(szText), SMTO_ABORTIFHUNG, 2000,
                             &nCopied))
        return std::string();
    const int nChars = static_cast<int>(nCopied < 1024 ? nCopied : 1023);
    const int nBytes = WideCharToMultiByte(CP_UTF8, 0, szText, nChars, nullptr, 0, nullptr, nullptr);
    std::string strText(static_cast<size_t>(nBytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, szText, nChars, strText.data(), nBytes, nullptr, nullptr);
    return strText;
}

int ComboCount(HWND hCombo)
{
    const LRESULT nCount = SendMessageA(hCombo, CB_GETCOUNT, 0, 0);
    return nCount < 0 ? 0 : static_cast<int>(nCount);
}

int ComboSelection(HWND hCombo)
{
    const LRESULT nIndex = SendMessageA(hCombo, CB_GETCURSEL, 0, 0);
    return nIndex < 0 ? -1 : static_cast<int>(nIndex);
}

std::string ComboEntry(HWND hCombo, int nIndex)
{
    // Asked in UTF-16: the list belongs to another process, and the system carries the wide form of
    // CB_GETLBTEXT across intact, where the ANSI form may come back cut short.
    const LRESULT nLength = SendMessageW(hCombo, CB_GETLBTEXTLEN, static_cast<WPARAM>(nIndex), 0);
    if (nLength < 0 || nLength > 1000)
        return std::string();
    std::wstring strWide(static_cast<size_t>(nLength) + 1, L'\0');
    const LRESULT nCopied = SendMessageW(hCombo, CB_GETLBTEXT, static_cast<WPARAM>(nIndex),
                                         reinterpret_cast<LPARAM>(strWide.data()));
    if (nCopied <= 0)
        return std::string();
    const int nBytes = WideCharToMultiByte(CP_UTF8, 0, strWide.data(), static_cast<int>(nCopied), nullptr, 0, nullptr, nullptr);
    std::string strEntry(static_cast<size_t>(nBytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, strWide.data(), static_cast<int>(nCopied), strEntry.data(), nBytes, nullptr, nullptr);
    return strEntry;
}

std::string OwnerImagePath(HWND hwnd)
{
    DWORD nProcessId = 0;
    GetWindowThreadProcessId(hwnd, &nProcessId);
    HANDLE hProcess = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, nProcessId);
    if (!hProcess)
        return std::string();
    char szPath[MAX_PATH] = {};
    DWORD nLength = MAX_PATH;
    const BOOL bOk = QueryFullProcessImageNameA(hProcess, 0, szPath, &nLength);
    CloseHandle(hProcess);
    return bOk ? std::string(szPath, nLength) : std::string();
}
