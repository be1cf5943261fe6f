// CSerialPort on the Win32 communications API, against simulated cards that the test's wrapper
// (scripts/with-cardsim.sh) links into the Wine prefix as COM ports: VOSTREL_CARD_ECHO is an
// answering card that echoes, VOSTREL_CARD_NOECHO one that does not.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/PollUntil.h"
#include "StuckSerialDriver.h"
#include "serial/SerialPort.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The echoing card's whole answer to "AT": the echo, then the framed result.
const std::string kEchoedOk = "AT\r\r\nOK\r\n";

int CardComNumber(const char* pszName)
{
    const char* pszValue = std::getenv((std::string("VOSTREL_CARD_") + pszName).c_str());
    return pszValue ? std::atoi(pszValue) : 0;
}

// The last lines the card received ("<ms> <line>" each), for a failure's message: a line the test
// did not send is someone else's on the same device.
std::string TranscriptTail(const char* pszName, size_t nLines = 6)
{
    std::string strVariable = "VOSTREL_CARD_";
    strVariable.append(pszName).append("_TRANSCRIPT");
    const char* pszPath = std::getenv(strVariable.c_str());
    std::string strPath = "Z:";
    strPath.append(pszPath ? pszPath : "");
    std::ifstream file(strPath);
    std::vector<std::string> lines;
    for (std::string strLine; std::getline(file, strLine);)
        lines.push_back(strLine);
    std::string strTail;
    for (size_t n = lines.size() > nLines ? lines.size() - nLines : 0; n < lines.size(); ++n)
        strTail.append(lines[n]).append(" | ");
    return strTail;
}

bool RunningUnderWine()
{
    const HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
    return hNtdll && GetProcAddress(hNtdll, "wine_get_version") != nullptr;
}

// The handles this process holds, from the system's handle list (NtQuerySystemInformation's
// SystemHandleInformation, class 16): Wine answers GetProcessHandleCount with 0.
DWORD ProcessHandleCount()
{
    struct CHandleEntry {
        ULONG nOwnerPid;
        BYTE nObjectType;
        BYTE nFlags;
        USHORT nHandle;
        PVOID pObject;
        ULONG nAccess;
    };
    struct CHandleList {
        ULONG nCount;
        CHandleEntry entries[1];
    };
    using QueryFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto pfnQuery = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!pfnQuery)
        return 0;
    std::vector<char> buffer(1 << 16);
    ULONG nNeeded = 0;
    LONG nStatus = 0;
    while ((nStatus = pfnQuery(16, buffer.data(), static_cast<ULONG>(buffer.size()), &nNeeded)) != 0) {
        if (buffer.size() > (64u << 20))
            return 0;
        buffer.resize(std::max<size_t>(buffer.size() * 2, nNeeded));
    }
    const auto* pList = reinterpret_cast<const CHandleList*>(buffer.data());
    DWORD nMine = 0;
    for (ULONG n = 0; n < pList->nCount; ++n)
        nMine += pList->entries[n].nOwnerPid == GetCurrentProcessId() ? 1 : 0;
    return nMine;
}

// The bytes of every busy block in every heap of the process.
size_t HeapBytesInUse()
{
    HANDLE heaps[64];
    const DWORD nHeaps = std::min<DWORD>(GetProcessHeaps(64, heaps), 64);
    size_t nBytes = 0;
    for (DWORD n = 0; n < nHeaps; ++n) {
        HeapLock(heaps[n]);
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heaps[n], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                nBytes += entry.cbData;
        }
        HeapUnlock(heaps[n]);
    }
    return nBytes;
}

class Win32SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_nEcho = CardComNumber("ECHO");
        m_nNoEcho = CardComNumber("NOECHO");
        ASSERT_NE(m_nEcho, 0) << "run through scripts/with-cardsim.sh (ctest does)";
        ASSERT_NE(m_nNoEcho, 0) << "run through scripts/with-cardsim.sh (ctest does)";
    }

    static int Open115200(CSerialPort& port, int nPort) { return port.Open(nPort, 115200, 8, 1); }

    // Sends "AT" and waits until the card's whole answer is queued.
    static bool AskAndWaitForAnswer(CSerialPort& port, int nAnswerLength)
    {
        if (port.Write("AT\r", 3) != 3)
            return false;
        return PollUntil([&] { return port.GetInQueueCount() >= nAnswerLength; });
    }

    int m_nEcho = 0;
    int m_nNoEcho = 0;
};

// Open: an object that is open stays on its port whatever number a later Open names.
TEST_F(Win32SerialPortTest, OpenOnOpenObjectKeepsFirstPort)
{
    CSerialPort port;
    ASSERT_TRUE(Open115200(port, m_nEcho));
    EXPECT_TRUE(Open115200(port, m_nNoEcho));
    ASSERT_TRUE(AskAndWaitForAnswer(port, static_cast<int>(kEchoedOk.size())));
    char buffer[32] = {};
    port.Read(buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer), kEchoedOk) << "only the echoing card sends the echo";
}

// Open: a COM number with no device behind it gives 0; Close afterwards is non-zero and does nothing.
TEST_F(Win32SerialPortTest, OpenOfMissingPortFails)
{
    CSerialPort port;
    EXPECT_FALSE(Open115200(port, 250));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(port.Close());
}

// Open: Port numbers outside 1..99999999 give 0 and leave the object closed.
TEST_F(Win32SerialPortTest, OpenRefusesPortNumbersOutOfRange)
{
    for (int nPort : {0, -1, 100000000, INT_MAX, INT_MIN}) {
        SCOPED_TRACE(nPort);
        CSerialPort port;
        EXPECT_FALSE(Open115200(port, nPort));
        EXPECT_FALSE(port.IsOpen());
        EXPECT_TRUE(port.Close());
    }
}

// Close: non-zero every time; Write, Read and GetInQueueCount on a closed object return 0.
TEST_F(Win32SerialPortTest, ClosedObjectCallsReturnZero)
{
    char buffer[8] = {};
    CSerialPort port;
    EXPECT_EQ(port.Write("AT\r", 3), 0);
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0);
    EXPECT_EQ(port.GetInQueueCount(), 0);

    ASSERT_TRUE(Open115200(port, m_nEcho));
    ASSERT_TRUE(AskAndWaitForAnswer(port, static_cast<int>(kEchoedOk.size())));
    EXPECT_TRUE(port.Close());
    EXPECT_TRUE(port.Close());
    EXPECT_EQ(port.GetInQueueCount(), 0);
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0);
    EXPECT_EQ(port.Write("AT\r", 3), 0);
}

// Read: takes at most nMax of the queued bytes into the buffer; the rest stay queued. The count is
// the one the request reported when started: the bytes, or 0 for a request that went pending.
TEST_F(Win32SerialPortTest, ReadTakesAtMostNMaxAndLeavesTheRest)
{
    CSerialPort port;
    ASSERT_TRUE(Open115200(port, m_nEcho));
    const int nAnswer = static_cast<int>(kEchoedOk.size());
    ASSERT_TRUE(AskAndWaitForAnswer(port, nAnswer));

    char buffer[16] = {};
    const int nFirst = port.Read(buffer, 4);
    EXPECT_TRUE(nFirst == 4 || nFirst == 0) << nFirst;
    EXPECT_EQ(std::string(buffer), kEchoedOk.substr(0, 4));
    EXPECT_EQ(port.GetInQueueCount(), nAnswer - 4);

    char rest[16] = {};
    port.Read(rest, sizeof rest);
    EXPECT_EQ(std::string(rest), kEchoedOk.substr(4));
    EXPECT_EQ(port.GetInQueueCount(), 0);
}

// Read: with nothing queued returns 0 at once; with no room it reads nothing.
TEST_F(Win32SerialPortTest, ReadWithNothingToDoReturnsZeroAtOnce)
{
    CSerialPort port;
    ASSERT_TRUE(Open115200(port, m_nNoEcho));
    char buffer[4] = {'x', 'x', 'x', 'x'};
    const auto start = Clock::now();
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0);
    EXPECT_LT(Clock::now() - start, milliseconds(100));

    ASSERT_TRUE(AskAndWaitForAnswer(port, 6));
    EXPECT_EQ(port.Read(buffer, 0), 0);
    EXPECT_EQ(port.Read(buffer, -1), 0);
    EXPECT_EQ(std::string(buffer, 4), "xxxx");
    EXPECT_EQ(port.GetInQueueCount(), 6);
}

// Write: discards every unread byte before it sends, and reports the bytes sent.
TEST_F(Win32SerialPortTest, WritePurgesUnreadInputFirst)
{
    CSerialPort port;
    ASSERT_TRUE(Open115200(port, m_nEcho));
    ASSERT_TRUE(AskAndWaitForAnswer(port, static_cast<int>(kEchoedOk.size())));
    // Half a command line: the card answers nothing until its CR, so the queue must stay empty.
    ASSERT_EQ(port.Write("A", 1), 1);
    EXPECT_EQ(port.GetInQueueCount(), 0);
    EXPECT_EQ(port.Write("AT\r", -3), 0);
}

// ~CSerialPort: closes the device, which another object (or the same one, reopened) gets at once.
TEST_F(Win32SerialPortTest, DestructionFreesTheDevice)
{
    {
        CSerialPort port;
        ASSERT_TRUE(Open115200(port, m_nEcho));
    }
    CSerialPort next;
    ASSERT_TRUE(Open115200(next, m_nEcho));
    ASSERT_TRUE(next.Close());
    ASSERT_TRUE(Open115200(next, m_nEcho));
    ASSERT_TRUE(AskAndWaitForAnswer(next, static_cast<int>(kEchoedOk.size())));
}

// Open: takes the device without sharing; a second opener is refused while the first holds it.
TEST_F(Win32SerialPortTest, SecondOpenerIsRefusedWhileOpen)
{
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine does not enforce exclusive opens of COM ports";
    CSerialPort first;
    ASSERT_TRUE(Open115200(first, m_nEcho));
    CSerialPort second;
    EXPECT_FALSE(Open115200(second, m_nEcho));
}

// Open: the device gets the mode string's speed and 8N1 framing, with no flow control of any kind.
TEST_F(Win32SerialPortTest, OpenSetsSpeedFramingAndNoFlowControl)
{
    if (!RunningUnderWine())
        GTEST_SKIP() << "reads the settings through a second handle, which only Wine allows";
    CSerialPort port;
    ASSERT_TRUE(port.Open(m_nNoEcho, 57600, 8, 1));
    const std::string strPath = "\\\\.\\COM" + std::to_string(m_nNoEcho);
    const HANDLE hPeek = CreateFileA(strPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hPeek, INVALID_HANDLE_VALUE);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(hPeek, &dcb));
    CloseHandle(hPeek);
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_FALSE(dcb.fOutxCtsFlow);
    EXPECT_FALSE(dcb.fOutX);
    EXPECT_FALSE(dcb.fInX);
}

// A layer over the line's calls that records the mode string and the DCB handed to SetCommState,
// and can play a driver that reports what a careless last program left, or nothing at all.
namespace line_layer {

enum class EDriver { kAsItIs, kLeftBadly, kCannotReport, kRejectsMode };
EDriver g_eDriver = EDriver::kAsItIs;
std::string g_strMode;
DCB g_set{};

BOOL WINAPI GetState(HANDLE hFile, LPDCB p)
{
    if (g_eDriver == EDriver::kCannotReport || !GetCommState(hFile, p))
        return FALSE;
    if (g_eDriver == EDriver::kLeftBadly) {
        p->fParity = p->fOutxCtsFlow = p->fOutxDsrFlow = p->fDsrSensitivity = p->fOutX = p->fInX = p->fAbortOnError = TRUE;
        p->fBinary = FALSE;
        p->fDtrControl = DTR_CONTROL_DISABLE;
        p->fRtsControl = RTS_CONTROL_HANDSHAKE;
    }
    return TRUE;
}

BOOL WINAPI BuildDcb(LPCSTR pszMode, LPDCB p)
{
    g_strMode = pszMode;
    return g_eDriver != EDriver::kRejectsMode && BuildCommDCBA(pszMode, p);
}

BOOL WINAPI SetState(HANDLE hFile, LPDCB p)
{
    g_set = *p;
    return SetCommState(hFile, p);
}

const CSerialRequestCalls kCalls{ReadFile,           WriteFile, WaitForSingleObject, CancelIoEx,
                                 GetOverlappedResult, GetState,  BuildDcb,            SetState};

// What the card's line depends on, in one line.
std::string LineOf(const DCB& d)
{
    char sz[128];
    std::snprintf(sz, sizeof sz, "%lu %d%d%d bin=%d par=%d cts=%d dsr=%d dsrs=%d x=%d%d abort=%d dtr=%d rts=%d xonxoff=%d",
                  d.BaudRate, d.ByteSize, d.Parity, d.StopBits, d.fBinary, d.fParity, d.fOutxCtsFlow, d.fOutxDsrFlow,
                  d.fDsrSensitivity, d.fOutX, d.fInX, d.fAbortOnError, d.fDtrControl, d.fRtsControl, d.XonChar != d.XoffChar);
    return sz;
}

} // namespace line_layer

// Open sets every setting the line depends on, whatever the driver reports, and a driver that
// reports none gets sane ones (XonChar apart from XoffChar); the DCB handed to SetCommState is what
// counts, as Wine ignores DTR and RTS on a pseudo-terminal. The mode string names no device, and a
// mode string that is refused fails the open.
TEST_F(Win32SerialPortTest, OpenSetsTheLineExplicitly)
{
    using line_layer::EDriver;
    for (const EDriver eDriver : {EDriver::kAsItIs, EDriver::kLeftBadly, EDriver::kCannotReport, EDriver::kRejectsMode}) {
        SCOPED_TRACE(static_cast<int>(eDriver));
        line_layer::g_eDriver = eDriver;
        CSerialPort port(line_layer::kCalls);
        const int bOpened = Open115200(port, m_nNoEcho);
        EXPECT_EQ(line_layer::g_strMode, "115200,n,8,1");
        if (eDriver == EDriver::kRejectsMode) {
            EXPECT_FALSE(bOpened);
            EXPECT_EQ(port.LastError().strCall, "BuildCommDCBA");
            continue;
        }
        EXPECT_TRUE(bOpened) << port.LastError().strCall << " " << port.LastError().nCode;
        EXPECT_EQ(line_layer::LineOf(line_layer::g_set),
                  "115200 800 bin=1 par=0 cts=0 dsr=0 dsrs=0 x=00 abort=0 dtr=1 rts=1 xonxoff=1");
    }
}

// Read, Write: on a driver that never completes a cancelled request, each gives 0 within its wait
// plus 1000 ms, naming CancelIoEx, and the request it gave up on holds the port's memory, never the
// caller's (which may be gone by the time the driver gets to it); the port then fails every call
// until it is closed and, the request having ended, reopened.
TEST_F(Win32SerialPortTest, CancelThatNeverCompletesIsAbandoned)
{
    const milliseconds kTolerance(300);
    const struct {
        const char* pszName;
        milliseconds wait;
        int (*pfnCall)(CSerialPort& port, char* pCaller, int nSize);
    } kCases[] = {
        {"Read", milliseconds(2000), [](CSerialPort& port, char* pCaller, int nSize) { return port.Read(pCaller, nSize); }},
        {"Write", milliseconds(10000), [](CSerialPort& port, char* pCaller, int) { return port.Write(pCaller, 3); }},
    };
    const int nAnswer = static_cast<int>(kEchoedOk.size());
    for (const auto& test : kCases) {
        SCOPED_TRACE(test.pszName);
        auto pPort = std::make_shared<CSerialPort>(stuck_driver::Calls());
        auto pCaller = std::make_shared<std::array<char, 32>>();
        std::memcpy(pCaller->data(), "AT\r", 3);
        ASSERT_TRUE(Open115200(*pPort, m_nEcho));
        ASSERT_TRUE(AskAndWaitForAnswer(*pPort, nAnswer));
        CStuckSerialDriver driver;
        const auto start = Clock::now();
        const auto result = CallWithin(2 * test.wait, [pPort, pCaller, pfnCall = test.pfnCall] {
            return pfnCall(*pPort, pCaller->data(), static_cast<int>(pCaller->size()));
        });
        const auto elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
        ASSERT_TRUE(result.has_value()) << "still waiting for the cancelled request";
        EXPECT_LE(elapsed, test.wait + milliseconds(1000) + kTolerance) << elapsed.count() << " ms";
        EXPECT_EQ(*result, 0);
        EXPECT_EQ(pPort->LastError().strCall, "CancelIoEx");
        EXPECT_FALSE(stuck_driver::LastRequestBufferWithin(pCaller->data(), pCaller->size()))
            << "the abandoned request holds the caller's buffer";

        driver.Remove();
        pPort->ClearLastError();
        char buffer[32] = {};
        EXPECT_EQ(pPort->Write("AT\r", 3), 0);
        EXPECT_EQ(pPort->GetInQueueCount(), 0);
        EXPECT_EQ(pPort->Read(buffer, sizeof buffer), 0);
        EXPECT_EQ(pPort->LastError().strCall, "CancelIoEx");
        ASSERT_TRUE(pPort->Close());
        ASSERT_TRUE(Open115200(*pPort, m_nEcho));
        ASSERT_TRUE(AskAndWaitForAnswer(*pPort, nAnswer));
        pPort->Read(buffer, sizeof buffer);
        EXPECT_EQ(std::string(buffer), kEchoedOk);
    }
}

// A driver that never ends a cancelled request costs one record per port, not one per open: while
// the request is out every open fails at once, naming CancelIoEx, so a hundred reopen cycles leave
// the process's handles and heap as they were. Once the request has ended the port opens again.
TEST_F(Win32SerialPortTest, AbandonedRequestIsBoundedPerPort)
{
    auto pPort = std::make_shared<CSerialPort>(stuck_driver::Calls());
    ASSERT_TRUE(Open115200(*pPort, m_nEcho));
    ASSERT_TRUE(AskAndWaitForAnswer(*pPort, static_cast<int>(kEchoedOk.size())));
    CStuckSerialDriver driver;
    const auto result = CallWithin(milliseconds(6000), [pPort] {
        char buffer[32];
        return pPort->Read(buffer, sizeof buffer);
    });
    ASSERT_TRUE(result.has_value() && *result == 0);
    ASSERT_EQ(pPort->LastError().strCall, "CancelIoEx")
        << "the read was not given up: " << pPort->LastError().nCode << "; the card received: " << TranscriptTail("ECHO");
    ASSERT_TRUE(pPort->Close());

    // One cycle: the open refused at once, naming the abandoned request; nothing to read; close.
    auto cycle = [&] {
        pPort->ClearLastError();
        if (Open115200(*pPort, m_nEcho))
            return false;
        char buffer[32];
        return pPort->LastError().strCall == "CancelIoEx" && pPort->LastError().nCode == ERROR_TIMEOUT
            && pPort->Read(buffer, sizeof buffer) == 0 && pPort->Close();
    };
    ASSERT_TRUE(cycle());   // the first one also pays for what the process sets up once
    const DWORD nHandlesBefore = ProcessHandleCount();
    const size_t nHeapBefore = HeapBytesInUse();
    for (int nCycle = 0; nCycle < 100; ++nCycle)
        ASSERT_TRUE(cycle()) << "cycle " << nCycle;
    EXPECT_LE(ProcessHandleCount(), nHandlesBefore);
    EXPECT_LE(HeapBytesInUse(), nHeapBefore);

    driver.Remove();
    ASSERT_TRUE(Open115200(*pPort, m_nEcho));
    EXPECT_TRUE(AskAndWaitForAnswer(*pPort, static_cast<int>(kEchoedOk.size())));
}

} // namespace
