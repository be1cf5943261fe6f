// The Win32 dialog back end against a real window from the program's own main template: control
// access from other threads, the end of a window, pictures, fonts, and the dialog procedure's
// message results. Each test runs its body inside the modal run (from OnInitDialog), then ends it.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "res/PortList.h"
#include "res/resource.h"
#include "ui/Dialog.h"

namespace {

constexpr intptr_t kDragIconResult = 0x1234;

class CTestDlg : public CDialog {
public:
    explicit CTestDlg(std::function<void(CTestDlg&)> body) : CDialog(IDD_MAIN, nullptr), m_body(std::move(body)) {}

    // Fills the template's port list as the program's main dialog does.
    bool OnInitDialog() override
    {
        for (const std::string& strEntry : PortListEntries())
            AddListEntry(IDC_PORT_LIST, strEntry);
        CDialog::OnInitDialog();
        m_hwnd = GetActiveWindowOf();
        m_body(*this);
        if (m_bEndAfterBody)
            EndDialog(ui::kIdOk);
        return true;
    }
    const MsgMapEntry* GetMessageMap() const override
    {
        static const MsgMapEntry kMap[] = {
            {ui::kWmQueryDragIcon, 0, 0, [](CDialog&, uintptr_t, intptr_t) -> intptr_t { return kDragIconResult; }},
            {ui::kWmPaint, 0, 0,
             [](CDialog& dlg, uintptr_t, intptr_t) -> intptr_t {
                 ++static_cast<CTestDlg&>(dlg).m_nPaints;   // paints nothing: the default must
                 return 0;
             }},
            {ui::kWmCommand, ui::kBnClicked, IDC_ENTER_DOWNLOAD,
             [](CDialog& dlg, uintptr_t, intptr_t) -> intptr_t {
                 ++static_cast<CTestDlg&>(dlg).m_nClicks;
                 return 0;
             }},
            {0, 0, 0, nullptr},
        };
        return kMap;
    }

    // The dialog's own window: the one titled "Kavender" on this thread.
    static HWND GetActiveWindowOf()
    {
        HWND hwnd = nullptr;
        EnumThreadWindows(
            GetCurrentThreadId(),
            [](HWND hCandidate, LPARAM lParam) -> BOOL {
                char szTitle[32] = {};
                GetWindowTextA(hCandidate, szTitle, sizeof szTitle);
                if (std::string(szTitle) != "Kavender")
                    return TRUE;
                *reinterpret_cast<HWND*>(lParam) = hCandidate;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&hwnd));
        return hwnd;
    }

    HWND m_hwnd = nullptr;
    std::atomic<int> m_nPaints{0};
    std::atomic<int> m_nClicks{0};
    bool m_bEndAfterBody = true;

private:
    std::function<void(CTestDlg&)> m_body;
};

// Runs fn on a new thread while the window's thread keeps its messages flowing.
void RunOnWorker(CDialog& dlg, const std::function<void()>& fn)
{
    std::atomic<bool> bDone{false};
    std::thread worker([&] {
        fn();
        bDone = true;
    });
    dlg.WaitPumping([&] { return bDone.load(); });
    worker.join();
}

} // namespace

// Entries added to the template's port list keep their order (the list is unsorted), so the index
// is the Port number; beyond the list, no selection.
TEST(Win32Dialog, ListEntriesKeepTheirOrderAndTheIndexIsThePortNumber)
{
    CTestDlg dlg([](CTestDlg& d) {
        HWND hList = GetDlgItem(d.m_hwnd, IDC_PORT_LIST);
        EXPECT_EQ(257, SendMessageA(hList, CB_GETCOUNT, 0, 0));
        const struct { int nIndex; const char* pText; } cases[] = {{0, "NULL"}, {5, "COM 5"}, {99, "COM 99"},
                                                                  {100, "COM100"}, {256, "COM256"}};
        for (const auto& c : cases) {
            d.SelectListEntry(IDC_PORT_LIST, c.nIndex);
            EXPECT_EQ(c.nIndex, d.GetListSelection(IDC_PORT_LIST));
            EXPECT_EQ(c.pText, d.GetControlText(IDC_PORT_LIST));
        }
        d.SelectListEntry(IDC_PORT_LIST, 300);
        EXPECT_EQ(-1, d.GetListSelection(IDC_PORT_LIST));
        EXPECT_EQ("", d.GetControlText(IDC_PORT_LIST));
    });
    EXPECT_EQ(ui::kIdOk, dlg.DoModal());
}

// Control calls from another thread are carried out by the window's thread, synchronously.
TEST(Win32Dialog, CallsFromOtherThreadsRunOnTheWindowsThreadAndTakeEffectAtOnce)
{
    CTestDlg dlg([](CTestDlg& d) {
        const DWORD nWindowThread = GetCurrentThreadId();
        RunOnWorker(d, [&] {
            DWORD nRanOn = 0;
            d.CallOnWindowThread([&] { nRanOn = GetCurrentThreadId(); });
            EXPECT_EQ(nWindowThread, nRanOn);
            d.EnableControl(IDC_ENTER_DOWNLOAD, true);
            EXPECT_TRUE(d.IsControlEnabled(IDC_ENTER_DOWNLOAD));
            d.EnableControl(IDC_ENTER_DOWNLOAD, false);
            EXPECT_FALSE(d.IsControlEnabled(IDC_ENTER_DOWNLOAD));
            d.SetControlText(IDC_STATUS_LINE, "Setting using AT port.");
            EXPECT_EQ("Setting using AT port.", d.GetControlText(IDC_STATUS_LINE));
            d.SelectListEntry(IDC_PORT_LIST, 7);
            EXPECT_EQ(7, d.GetListSelection(IDC_PORT_LIST));
        });
        char szText[64] = {};
        GetDlgItemTextA(d.m_hwnd, IDC_STATUS_LINE, szText, sizeof szText);
        EXPECT_STREQ("Setting using AT port.", szText);
    });
    dlg.DoModal();
}

// After the window is gone, calls from any thread do nothing and return (no hang, no crash).
TEST(Win32Dialog, CallsAfterTheWindowIsDestroyedDoNothing)
{
    CTestDlg dlg([](CTestDlg&) {});
    dlg.DoModal();
    std::atomic<bool> bRan{false};
    std::thread worker([&] {
        dlg.CallOnWindowThread([&] { bRan = true; });
        dlg.SetControlText(IDC_STATUS_LINE, "late");
        EXPECT_FALSE(dlg.IsControlEnabled(IDC_ENTER_DOWNLOAD));
        EXPECT_EQ(-1, dlg.GetListSelection(IDC_PORT_LIST));
        EXPECT_FALSE(dlg.ShowBitmap(IDC_STATUS_PICTURE, IDB_READY));
    });
    worker.join();
    dlg.CallOnWindowThread([&] { bRan = true; });   // the window's own thread, after the end
    EXPECT_FALSE(bRan.load());
    EXPECT_FALSE(dlg.IsMinimized());
}

// STM_SETIMAGE: a loadable bitmap replaces the picture; an unknown id leaves it as it was.
TEST(Win32Dialog, ShowBitmapReplacesThePictureOnlyWhenTheBitmapLoads)
{
    CTestDlg dlg([](CTestDlg& d) {
        HWND hPicture = GetDlgItem(d.m_hwnd, IDC_STATUS_PICTURE);
        const LRESULT hTemplateBitmap = SendMessageA(hPicture, STM_GETIMAGE, IMAGE_BITMAP, 0);
        EXPECT_NE(0, hTemplateBitmap);
        EXPECT_TRUE(d.ShowBitmap(IDC_STATUS_PICTURE, IDB_READY));
        const LRESULT hReady = SendMessageA(hPicture, STM_GETIMAGE, IMAGE_BITMAP, 0);
        EXPECT_NE(hTemplateBitmap, hReady);
        BITMAP info{};
        ASSERT_TRUE(GetObjectA(reinterpret_cast<HBITMAP>(hReady), sizeof info, &info));
        EXPECT_EQ(24, info.bmHeight);

        EXPECT_FALSE(d.ShowBitmap(IDC_STATUS_PICTURE, 999));
        EXPECT_EQ(hReady, SendMessageA(hPicture, STM_GETIMAGE, IMAGE_BITMAP, 0));

        // From another thread too; the replaced bitmap is deleted, not leaked.
        const DWORD nBefore = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
        RunOnWorker(d, [&] {
            for (int i = 0; i < 50; ++i)
                EXPECT_TRUE(d.ShowBitmap(IDC_STATUS_PICTURE, i % 2 ? IDB_READY : IDB_SEARCHING));
        });
        const DWORD nAfter = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
        if (nBefore != 0) {   // 0: the platform does not count GDI objects
            EXPECT_LE(nAfter, nBefore + 2);
        }
    });
    dlg.DoModal();
}

// WM_SETFONT with the status line's bold Arial: the control keeps using exactly that font.
TEST(Win32Dialog, SetControlFontGivesTheControlTheRequestedFont)
{
    CTestDlg dlg([](CTestDlg& d) {
        FontSpec font;
        font.nHeight = 15;
        font.nWeight = 700;
        font.nPitchAndFamily = 32;
        font.strFace = "Arial";
        RunOnWorker(d, [&] { d.SetControlFont(IDC_STATUS_LINE, font); });
        HFONT hFont = reinterpret_cast<HFONT>(SendDlgItemMessageA(d.m_hwnd, IDC_STATUS_LINE, WM_GETFONT, 0, 0));
        LOGFONTA logFont{};
        ASSERT_TRUE(GetObjectA(hFont, sizeof logFont, &logFont));
        EXPECT_STREQ("Arial", logFont.lfFaceName);
        EXPECT_EQ(700, logFont.lfWeight);
        EXPECT_EQ(15, logFont.lfHeight);
    });
    dlg.DoModal();
}

// The dialog procedure: results that need returning reach the sender; clicks reach the map;
// IDCANCEL and WM_CLOSE end the modal run with IDCANCEL.
TEST(Win32Dialog, DialogProcedureRoutesMessagesAndReturnsHandlerResults)
{
    CTestDlg dlg([](CTestDlg& d) {
        d.m_bEndAfterBody = false;
        EXPECT_EQ(kDragIconResult, SendMessageA(d.m_hwnd, WM_QUERYDRAGICON, 0, 0));
        SendMessageA(d.m_hwnd, WM_COMMAND, MAKEWPARAM(IDC_ENTER_DOWNLOAD, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(d.m_hwnd, IDC_ENTER_DOWNLOAD)));
        EXPECT_EQ(1, d.m_nClicks.load());
        PostMessageA(d.m_hwnd, WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(ui::kIdCancel, dlg.DoModal());
}

// A WM_PAINT handler that paints nothing gets the default painting, so WM_PAINT does not repeat.
TEST(Win32Dialog, PaintHandlerThatDoesNotPaintDoesNotLoop)
{
    CTestDlg dlg([](CTestDlg& d) {
        ShowWindow(d.m_hwnd, SW_SHOWNORMAL);   // a hidden window is never painted
        InvalidateRect(d.m_hwnd, nullptr, TRUE);
        const ULONGLONG nEnd = GetTickCount64() + 300;
        d.WaitPumping([&] { return GetTickCount64() >= nEnd; });
        EXPECT_GE(d.m_nPaints.load(), 1);
        EXPECT_LE(d.m_nPaints.load(), 5);
    });
    dlg.DoModal();
}

// WM_APP + 1 is the dialog's own cross-thread call; the same number from anyone else, sent or
// posted, with any parameter, runs nothing, and the dialog's own calls still work afterwards.
TEST(Win32Dialog, ForeignCallMessagesAreIgnored)
{
    CTestDlg dlg([](CTestDlg& d) {
        for (LPARAM lParam : {LPARAM{0}, LPARAM{0x10}, LPARAM{0x1234}}) {
            PostMessageA(d.m_hwnd, WM_APP + 1, 0, lParam);
            SendMessageA(d.m_hwnd, WM_APP + 1, 0, lParam);
            RunOnWorker(d, [&] { SendMessageA(d.m_hwnd, WM_APP + 1, 0, lParam); });
        }
        const ULONGLONG nEnd = GetTickCount64() + 100;   // the posted ones are dispatched meanwhile
        d.WaitPumping([&] { return GetTickCount64() >= nEnd; });
        RunOnWorker(d, [&] { d.SetControlText(IDC_STATUS_LINE, "still served"); });
        EXPECT_EQ("still served", d.GetControlText(IDC_STATUS_LINE));
    });
    EXPECT_EQ(ui::kIdOk, dlg.DoModal());
}

// CDialog::WaitPumping: a WM_QUIT that comes during the wait neither ends it early nor is lost.
TEST(Win32Dialog, WaitPumpingOutlastsAQuitAndPostsItAgainAfterwards)
{
    CTestDlg dlg([](CTestDlg& d) {
        PostQuitMessage(7);
        const ULONGLONG nEnd = GetTickCount64() + 200;
        d.WaitPumping([&] { return GetTickCount64() >= nEnd; });
        EXPECT_GE(GetTickCount64(), nEnd);
        MSG msg{};
        ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
        EXPECT_EQ(7u, msg.wParam);
    });
    EXPECT_EQ(ui::kIdOk, dlg.DoModal());
}

// The framework-style box: the executable's name without extension as caption, owned by the dialog.
TEST(Win32Dialog, AppMessageBoxIsCaptionedWithTheExecutableName)
{
    CTestDlg dlg([](CTestDlg& d) {
        std::atomic<bool> bStop{false};
        std::string strCaption;
        HWND hOwner = nullptr;
        const DWORD nWindowThread = GetCurrentThreadId();
        std::thread closer([&] {
            while (!bStop) {
                HWND hBox = FindWindowA("#32770", "win32_ui_tests");
                if (hBox && GetWindowThreadProcessId(hBox, nullptr) == nWindowThread) {
                    strCaption = "win32_ui_tests";
                    hOwner = GetWindow(hBox, GW_OWNER);
                    PostMessageA(hBox, WM_COMMAND, IDOK, 0);
                    return;
                }
                Sleep(10);
            }
        });
        EXPECT_EQ(IDOK, d.AppMessageBox("text"));
        bStop = true;
        closer.join();
        EXPECT_EQ("win32_ui_tests", strCaption);
        EXPECT_EQ(d.m_hwnd, hOwner);
    });
    dlg.DoModal();
}
