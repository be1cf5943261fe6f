// CMainDlg's window: the state and order of its initialisation, the single-instance guard, data
// exchange, the status picture, the message map and the window's destruction. Headless window,
// virtual clock, empty in-memory registry; the monitor's calls into the window are held back (strict
// threading) so that what a test sees is the dialog's own doing.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/PollUntil.h"
#include "tests/support/TestMainDlg.h"
#include "app/ToolApp.h"
#include "discovery/memory/MemoryRegistry.h"
#include "platform/InstanceLock.h"
#include "tests/support/VirtualClock.h"
#include "tests/support/WorkDirScope.h"
#include "tests/support/headless/HeadlessWindow.h"
#include "tests/support/sim/SimSerial.h"

namespace {

const char kInstanceLockName[] = "YARLOAUTORNRUN_TOOL,0x1a,0x1b,0x4f,0x03,0xa`,0x1e,0x5c,0x8d,0x8b,0x6d,0x76";

// Where a lock file stands in for the named mutex, this test process gets a directory of its own,
// so that other test runs or a running program on the machine neither stop these dialogs nor are
// stopped by them. (A Windows mutex lives in the session's object namespace and ignores this.)
class CPrivateLockDirectory : public ::testing::Environment {
public:
    void SetUp() override
    {
        m_dir = CWorkDirScope::MakeUniqueDir("vostrel-lock");
        static std::string s_strSetting;
        s_strSetting = "XDG_RUNTIME_DIR=" + m_dir.string();
        putenv(s_strSetting.data());
    }
    void TearDown() override
    {
        std::error_code error;
        std::filesystem::remove_all(m_dir, error);
    }

private:
    std::filesystem::path m_dir;
};

[[maybe_unused]] ::testing::Environment* const g_pLockDirectory =
    ::testing::AddGlobalTestEnvironment(new CPrivateLockDirectory);

std::string Op(const char* szVerb, int nId, const std::string& strArg)
{
    return std::string(szVerb) + " " + ResourceName(nId) + " " + strArg;
}

// The window operations of writing the six fields to their controls, in the exchange's order.
std::vector<std::string> FieldsToControls(const std::string& strLabel, const std::string& strStatus)
{
    return {Op("select", IDC_PORT_LIST, "0"), Op("text", IDC_ENTRY, ""),           Op("text", IDC_HIDDEN_1014, ""),
            Op("text", IDC_CODE, ""),    Op("text", IDC_PORT_LABEL, strLabel), Op("text", IDC_STATUS_LINE, strStatus)};
}

std::vector<std::string> EnglishTexts()
{
    return {Op("text", IDC_PORT_LABEL, "COM"),          Op("text", IDC_BARCODE_LABEL, "Barcode"),
            Op("text", IDC_READ_LABEL, "Read"),         Op("text", IDC_HELP_BUTTON, "Help"),
            Op("text", IDC_HIDDEN_OK, "OK"),           Op("text", IDC_EXIT, "Exit"),
            Op("text", IDC_PORT_LABEL, "Modem Port"),   Op("text", IDC_ENTER_DOWNLOAD, "Close autorun && Enter download"),
            Op("text", IDC_REVERSE_PORT, "Reverse Port"), Op("text", IDC_SIM_STATUS, "Uninstall Network")};
}

uintptr_t Clicked(int nId)
{
    return static_cast<uintptr_t>(nId) | (static_cast<uintptr_t>(ui::kBnClicked) << 16);
}

class MainDlgTest : public ::testing::Test {
protected:
    void SetUp() override { m_pDlg = std::make_unique<CTestMainDlg>(m_clock, m_registry); }

    void TearDown() override
    {
        if (m_pDlg && Window().IsCreated() && !m_bDestroyed)
            Window().Destroy();
        m_pDlg.reset();
    }

    void Create()
    {
        Window().SetStrictThreading(true);
        Window().Create();
    }

    void Destroy()
    {
        Window().Destroy();
        m_bDestroyed = true;
    }

    CTestMainDlg& Dlg() { return *m_pDlg; }
    CPortMonitor& Monitor() { return m_pDlg->Monitor(); }
    CHeadlessWindow Window() { return HeadlessWindowOf(*m_pDlg); }

    CWorkDirScope m_workDir;
    CVirtualClock m_clock;
    CMemoryRegistry m_registry;
    std::unique_ptr<CTestMainDlg> m_pDlg;
    bool m_bDestroyed = false;
};

// OnInitDialog: the window shows "NULL", "Modem port:", a bold Arial "Searching...", the Searching...
// picture, both command buttons disabled, the focus in IDC_CODE.
TEST_F(MainDlgTest, InitialisationLeavesTheStartState)
{
    Create();

    EXPECT_EQ(Window().Control(IDC_PORT_LIST).nSelection, 0);
    EXPECT_EQ(Dlg().GetControlText(IDC_PORT_LIST), "NULL");
    EXPECT_EQ(Window().Control(IDC_PORT_LABEL).strText, "Modem port:");
    EXPECT_EQ(Window().Control(IDC_STATUS_LINE).strText, "Searching...");
    EXPECT_EQ(Window().Control(IDC_STATUS_PICTURE).nBitmap, IDB_SEARCHING);
    EXPECT_FALSE(Window().Control(IDC_ENTER_DOWNLOAD).bEnabled);
    EXPECT_FALSE(Window().Control(IDC_EXIT_DOWNLOAD).bEnabled);
    EXPECT_EQ(Window().Control(IDC_HIDDEN_1018).strText, "");
    EXPECT_EQ(Window().Focus(), IDC_CODE);

    const HeadlessControl status = Window().Control(IDC_STATUS_LINE);
    ASSERT_TRUE(status.bHasFont);
    EXPECT_EQ(status.font.strFace, "Arial");
    EXPECT_EQ(status.font.nHeight, 15);
    EXPECT_EQ(status.font.nWidth, 0);
    EXPECT_EQ(status.font.nWeight, 700);
    EXPECT_FALSE(status.font.bItalic || status.font.bUnderline || status.font.bStrikeOut);
    EXPECT_EQ(status.font.nCharSet, 0u);
    EXPECT_EQ(status.font.nPitchAndFamily, 32u);

    {
        CChannelLease lease(Monitor());
        EXPECT_NE(lease.Context().pChannel, nullptr);
        sim::Plug(9, m_clock);
        EXPECT_EQ(Monitor().OpenSecondPort(9), 1) << "no diagnostic port object";
        sim::UnplugAll();
    }
    // The monitor runs: its first window call waits for this thread.
    EXPECT_TRUE(PollUntil([&] { return Window().QueuedCalls() == 1; }));
    EXPECT_EQ(Dlg().OnQueryDragIcon(), Dlg().GetIconHandle(IDR_MAINFRAME));
}

// OnInitDialog: fields to controls, icon, IDC_HIDDEN_1018 cleared, buttons disabled, English texts, the
// fields again (so "Modem Port" gives way to "Modem port:"), the monitor, then focus and font.
TEST_F(MainDlgTest, InitialisationRunsItsStepsInOrder)
{
    Create();

    std::vector<std::string> expected = FieldsToControls("Modem port:", "Searching...");
    for (const std::string& str : {std::string("icon IDR_MAINFRAME"), Op("text", IDC_HIDDEN_1018, ""), Op("enable", IDC_ENTER_DOWNLOAD, "0"),
                                   Op("enable", IDC_EXIT_DOWNLOAD, "0")})
        expected.push_back(str);
    for (const std::string& str : EnglishTexts())
        expected.push_back(str);
    for (const std::string& str : FieldsToControls("Modem port:", "Searching..."))
        expected.push_back(str);
    // The readout cleared as the monitor starts; the monitor's own calls wait for this thread.
    for (const std::string& str : {Op("text", IDC_READOUT, ""), "focus " + ResourceName(IDC_CODE),
                                   Op("font", IDC_STATUS_LINE, "Arial 700")})
        expected.push_back(str);

    EXPECT_EQ(Window().Log(), expected);
}

// OnInitDialog: with the name already taken, one owned "Error" box (MB_ICONHAND) is all that
// happens before the process exits with status 0.
TEST_F(MainDlgTest, SecondInstanceShowsOneOwnedErrorBoxAndExits)
{
    bool bAlreadyExists = false;
    const InstanceLockHandle hFirst = CreateInstanceLock(kInstanceLockName, &bAlreadyExists);

    EXPECT_EXIT(
        {
            CTestMainDlg second(m_clock, m_registry);
            CHeadlessWindow window = HeadlessWindowOf(second);
            window.SetBoxHandler([&](const HeadlessBox& box) {
                std::fprintf(stderr, "box owned %d type %u caption %s ops before %zu text %s\n", box.bOwned ? 1 : 0,
                             box.nType, box.strCaption.c_str(), window.Log().size() - 1, box.strText.c_str());
                return ui::kIdOk;
            });
            window.Create();
            std::fprintf(stderr, "initialisation went on\n");
            std::exit(3);
        },
        ::testing::ExitedWithCode(0),
        "box owned 1 type 16 caption Error ops before 0 text UI is running, Please close it and re-run this program!");

    CloseInstanceLock(hFirst);
}

// ShowStatusPicture: a bitmap that loads replaces the picture and moves the focus to IDC_CODE; one that
// does not load changes nothing at all.
TEST_F(MainDlgTest, ShowStatusPictureKeepsThePictureWhenTheBitmapDoesNotLoad)
{
    struct Case {
        int nShow;
        int nPicture;
        std::vector<std::string> ops;
    };
    const Case cases[] = {
        {IDB_READY, IDB_READY, {"picture IDC_STATUS_PICTURE IDB_READY", "focus IDC_CODE"}},
        {IDB_RUNNING, IDB_RUNNING, {"picture IDC_STATUS_PICTURE IDB_RUNNING", "focus IDC_CODE"}},
        {IDB_PASS, IDB_RUNNING, {}},   // not loadable below
        {999, IDB_RUNNING, {}},
    };
    Create();
    Window().SetLoadableBitmaps({IDB_READY, IDB_SEARCHING, IDB_RUNNING});
    for (const Case& c : cases) {
        Window().ClearLog();
        Dlg().ShowStatusPicture(c.nShow);
        EXPECT_EQ(Window().Control(IDC_STATUS_PICTURE).nBitmap, c.nPicture) << "show " << c.nShow;
        EXPECT_EQ(Window().Log(), c.ops) << "show " << c.nShow;
    }
}

// OK: the controls go back into the fields (IDC_ENTRY cut to 20 characters, IDC_CODE to 16, the list's index
// into m_nModemPort), then the dialog ends with IDOK. Cancel ends with IDCANCEL and reads nothing.
TEST_F(MainDlgTest, OkReadsTheControlsBackAndCancelDoesNot)
{
    for (int nCommand : {ui::kIdOk, ui::kIdCancel}) {
        m_pDlg = std::make_unique<CTestMainDlg>(m_clock, m_registry);
        m_bDestroyed = false;
        Create();
        Dlg().SetControlText(IDC_ENTRY, std::string(25, '7'));
        Dlg().SetControlText(IDC_CODE, "ABCDEFGHIJKLMNOPQRST");
        Dlg().SetControlText(IDC_HIDDEN_1014, "h");
        Dlg().SetControlText(IDC_PORT_LABEL, "AT port:");
        Dlg().SetControlText(IDC_STATUS_LINE, "Setting using AT port.");
        Dlg().SelectListEntry(IDC_PORT_LIST, 107);

        EXPECT_TRUE(Dlg().Dispatch(ui::kWmCommand, Clicked(nCommand), 0));

        EXPECT_TRUE(Window().HasEnded());
        EXPECT_EQ(Window().Result(), nCommand);
        // What the exchange read, as the next exchange into the controls shows it.
        Dlg().SetControlText(IDC_PORT_LABEL, "");
        Dlg().SelectListEntry(IDC_PORT_LIST, 1);
        Dlg().UpdateData(false);
        const bool bRead = nCommand == ui::kIdOk;
        EXPECT_EQ(Dlg().GetControlText(IDC_ENTRY), bRead ? std::string(20, '7') : "");
        EXPECT_EQ(Dlg().GetControlText(IDC_CODE), bRead ? "ABCDEFGHIJKLMNOP" : "");
        EXPECT_EQ(Dlg().GetControlText(IDC_HIDDEN_1014), bRead ? "h" : "");
        EXPECT_EQ(Dlg().GetControlText(IDC_PORT_LABEL), bRead ? "AT port:" : "Modem port:");
        EXPECT_EQ(Dlg().GetControlText(IDC_STATUS_LINE), bRead ? "Setting using AT port." : "Searching...");
        EXPECT_EQ(Dlg().GetListSelection(IDC_PORT_LIST), bRead ? 107 : 0);
        Destroy();
        m_pDlg.reset();
    }
}

// BN_CLICKED from hidden IDC_EXIT: the dialog closes, then one suspension that no lease holds any
// more (two kept ones here, as Reverse Port leaves them) is lifted.
TEST_F(MainDlgTest, ExitButtonClosesTheDialogAndResumesTheMonitor)
{
    Create();
    for (int n = 0; n < 2; ++n)
        CChannelLease(Monitor()).Keep();
    ASSERT_EQ(m_pDlg->SuspendCount(), 2u);

    EXPECT_TRUE(Dlg().Dispatch(ui::kWmCommand, Clicked(IDC_EXIT), 0));

    EXPECT_TRUE(Window().HasEnded());
    EXPECT_EQ(Window().Result(), ui::kIdCancel);
    EXPECT_EQ(m_pDlg->SuspendCount(), 1u);
    Monitor().ResumeMonitor();
}

// BN_CLICKED from hidden IDC_HELP_BUTTON: the About box (IDD_ABOUTBOX) runs modally until its OK.
TEST_F(MainDlgTest, HelpButtonRunsTheAboutBoxModally)
{
    Create();
    bool bFound = false;
    std::thread user([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        CDialog* pAbout = nullptr;
        while (!(pAbout = FindOpenDialog(IDD_ABOUTBOX)) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!pAbout)
            return;
        bFound = true;
        pAbout->Dispatch(ui::kWmCommand, Clicked(ui::kIdOk), 0);
    });

    EXPECT_TRUE(Dlg().Dispatch(ui::kWmCommand, Clicked(IDC_HELP_BUTTON), 0));
    user.join();

    EXPECT_TRUE(bFound);
    EXPECT_EQ(FindOpenDialog(IDD_ABOUTBOX), nullptr);
    EXPECT_FALSE(Window().HasEnded());
}

// WM_PAINT draws the icon only while minimised; WM_QUERYDRAGICON answers the icon; message 101 from
// any sender refreshes the list, picture and readout.
TEST_F(MainDlgTest, WindowMessagesReachTheirHandlers)
{
    Create();
    Window().ClearLog();

    EXPECT_TRUE(Dlg().Dispatch(ui::kWmPaint, 0, 0));
    Window().SetMinimized(true);
    EXPECT_TRUE(Dlg().Dispatch(ui::kWmPaint, 0, 0));
    EXPECT_EQ(Window().Log(), std::vector<std::string>{"paint-icon IDR_MAINFRAME"});

    intptr_t nIcon = 0;
    EXPECT_TRUE(Dlg().Dispatch(ui::kWmQueryDragIcon, 0, 0, &nIcon));
    EXPECT_EQ(nIcon, Dlg().GetIconHandle(IDR_MAINFRAME));

    // The port the exchange stored, and the readout field (empty: nothing fills it) over whatever
    // the control showed.
    Dlg().SelectListEntry(IDC_PORT_LIST, 12);
    Dlg().UpdateData(true);
    Dlg().SelectListEntry(IDC_PORT_LIST, 3);
    Dlg().SetControlText(IDC_READOUT, "readout");
    EXPECT_TRUE(Dlg().Dispatch(WM_STATUS_REFRESH, 0, 0));
    EXPECT_EQ(Window().Control(IDC_READOUT).strText, "");
    EXPECT_EQ(Dlg().GetControlText(IDC_PORT_LIST), "COM 12");
}

// WM_DESTROY: the monitor stays suspended and both port objects are gone: neither opens a port
// where a card answers.
TEST_F(MainDlgTest, DestroyingTheWindowSuspendsTheMonitorAndDeletesThePorts)
{
    Create();
    Destroy();

    EXPECT_EQ(m_pDlg->SuspendCount(), 1u);
    sim::Plug(9, m_clock);
    EXPECT_EQ(Monitor().OpenModemPort(9, 115200), 0);
    EXPECT_EQ(Monitor().OpenSecondPort(9), 0);
    sim::UnplugAll();
}

// A dialog object that is gone lets the next one start: the name is free again.
TEST_F(MainDlgTest, NextDialogStartsAfterThePreviousIsDestroyed)
{
    Create();
    Destroy();
    m_pDlg.reset();

    bool bAlreadyExists = true;
    const InstanceLockHandle hLock = CreateInstanceLock(kInstanceLockName, &bAlreadyExists);
    EXPECT_FALSE(bAlreadyExists);
    CloseInstanceLock(hLock);
}

// IsEnglishLanguage: only Chinese (PRC) keeps the Chinese texts of the hidden command.
TEST(ToolAppTest, OnlyChinesePrcIsNotEnglish)
{
    const std::pair<unsigned short, int> cases[] = {{2052, 0}, {1033, 1}, {1028, 1}, {2057, 1}, {0, 1}, {0xFFFF, 1}};
    for (const auto& [nLang, bEnglish] : cases)
        EXPECT_EQ(IsEnglishLanguage(nLang), bEnglish) << nLang;
}

} // namespace
