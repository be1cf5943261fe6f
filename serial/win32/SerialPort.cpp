// CSerialPort on the Win32 communications API with overlapped requests and bounded waits.
#include "serial/SerialPort.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>

namespace {

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kQueueSize = 4096;
constexpr DWORD kEventMask = EV_CTS | EV_DSR | EV_RLSD | EV_BREAK;
constexpr DWORD kWriteWaitMs = 10000;
constexpr DWORD kReadWaitMs = 2000;

// With this combination a read returns at once with whatever is buffered (waiting at most 30 s for
// a first byte when nothing is), and a write is bounded at 1 ms per byte plus 50 ms.
COMMTIMEOUTS PortTimeouts()
{
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = 30000;
    timeouts.WriteTotalTimeoutMultiplier = 1;
    timeouts.WriteTotalTimeoutConstant = 50;
    return timeouts;
}

// The calls the port makes on a request it has started. Tests put a driver in their place that
// holds requests and ignores cancels, as a USB serial driver can once its device was pulled.
struct CRequestCalls {
    decltype(&ReadFile) pfnReadFile;
    decltype(&WriteFile) pfnWriteFile;
    decltype(&WaitForSingleObject) pfnWaitForSingleObject;
    decltype(&CancelIoEx) pfnCancelIoEx;
    decltype(&GetOverlappedResult) pfnGetOverlappedResult;
};

const CRequestCalls kSystemCalls{ReadFile, WriteFile, WaitForSingleObject, CancelIoEx, GetOverlappedResult};
CRequestCalls g_testCalls{};
std::atomic<const CRequestCalls*> g_pCalls{&kSystemCalls};

const CRequestCalls& Calls()
{
    return *g_pCalls.load();
}

HANDLE NewManualResetEvent()
{
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void CloseIfSet(HANDLE& h)
{
    if (h) {
        CloseHandle(h);
        h = nullptr;
    }
}

// Takes a request that is still outstanding back from the driver before its record or buffer may
// be reused or freed. When the request completed meanwhile, CancelIoEx finds nothing to cancel and
// the wait returns at once.
void CancelAndWait(HANDLE hComm, OVERLAPPED& ov)
{
    Calls().pfnCancelIoEx(hComm, &ov);
    DWORD nIgnored = 0;
    Calls().pfnGetOverlappedResult(hComm, &ov, &nIgnored, TRUE);
}

} // namespace

// Declared for tests in tests/support/StuckSerialDriver.h; no program calls them.
void SetSerialRequestCallsForTests(decltype(&ReadFile) pfnReadFile, decltype(&WriteFile) pfnWriteFile,
                                   decltype(&WaitForSingleObject) pfnWaitForSingleObject,
                                   decltype(&CancelIoEx) pfnCancelIoEx,
                                   decltype(&GetOverlappedResult) pfnGetOverlappedResult)
{
    g_pCalls.store(&kSystemCalls);
    g_testCalls = {pfnReadFile, pfnWriteFile, pfnWaitForSingleObject, pfnCancelIoEx, pfnGetOverlappedResult};
    g_pCalls.store(&g_testCalls);
}

void RestoreSerialRequestCallsForTests()
{
    g_pCalls.store(&kSystemCalls);
}

struct CSerialDevice {
    HANDLE hComm = nullptr;
    OVERLAPPED ovRead{};
    OVERLAPPED ovWrite{};
};

namespace {

// The first of the open's set-up calls that fails, or nullptr; GetLastError() tells why.
const char* ConfigureDevice(CSerialDevice& device, const char* pszMode)
{
    COMMTIMEOUTS timeouts = PortTimeouts();
    // A mode string that BuildCommDCBA rejects leaves the device's current settings in the DCB.
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    GetCommState(device.hComm, &dcb);
    BuildCommDCBA(pszMode, &dcb);
    if (!SetCommState(device.hComm, &dcb))
        return "SetCommState";
    if (!SetupComm(device.hComm, kQueueSize, kQueueSize))
        return "SetupComm";
    if (!SetCommMask(device.hComm, kEventMask))
        return "SetCommMask";
    if (!SetCommTimeouts(device.hComm, &timeouts))
        return "SetCommTimeouts";
    if (!(device.ovRead.hEvent = NewManualResetEvent()) || !(device.ovWrite.hEvent = NewManualResetEvent()))
        return "CreateEventA";
    return nullptr;
}

void CloseDevice(CSerialDevice& device)
{
    CloseIfSet(device.ovRead.hEvent);
    CloseIfSet(device.ovWrite.hEvent);
    CloseHandle(device.hComm);
}

} // namespace

int CSerialPort::OpenDevice(int nPort, int nBaud, int nDataBits, int nStopBits)
{
    // The device namespace prefix makes COM10 and above reachable.
    char szPath[32];
    std::snprintf(szPath, sizeof szPath, "\\\\.\\COM%d", nPort);
    const HANDLE hComm = CreateFileA(szPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (hComm == INVALID_HANDLE_VALUE)
        return Fail("CreateFileA", static_cast<int>(GetLastError()));

    auto* pDevice = new CSerialDevice{};
    pDevice->hComm = hComm;
    char szMode[96];
    std::snprintf(szMode, sizeof szMode, "COM%d: %d, n, %d, %d", nPort, nBaud, nDataBits, nStopBits);
    if (const char* pszFailed = ConfigureDevice(*pDevice, szMode)) {
        const int nError = static_cast<int>(GetLastError());
        CloseDevice(*pDevice);
        delete pDevice;
        return Fail(pszFailed, nError);
    }
    m_pDevice = pDevice;
    m_bOpen = 1;
    PurgeComm(hComm, kPurgeAll);
    return 1;
}

int CSerialPort::Close()
{
    if (!m_bOpen || !m_pDevice)
        return 1;
    PurgeComm(m_pDevice->hComm, kPurgeAll);
    CloseDevice(*m_pDevice);
    delete m_pDevice;
    m_pDevice = nullptr;
    m_bOpen = 0;
    return 1;
}

int CSerialPort::Write(const void* pData, int nLength)
{
    if (!m_bOpen || !m_pDevice)
        return 0;
    // A negative length would become a length of gigabytes as a DWORD.
    if (nLength < 0 || (!pData && nLength > 0))
        return 0;
    const HANDLE hComm = m_pDevice->hComm;
    OVERLAPPED& ov = m_pDevice->ovWrite;
    PurgeComm(hComm, kPurgeAll);

    DWORD nWritten = 0;
    if (Calls().pfnWriteFile(hComm, pData, static_cast<DWORD>(nLength), &nWritten, &ov))
        return static_cast<int>(nWritten);
    if (GetLastError() != ERROR_IO_PENDING)
        return Fail("WriteFile", static_cast<int>(GetLastError()));
    if (Calls().pfnWaitForSingleObject(ov.hEvent, kWriteWaitMs) != WAIT_OBJECT_0) {
        // The caller's bytes may be gone once Write returns: the request must not read them later.
        CancelAndWait(hComm, ov);
        return Fail("WriteFile", ERROR_TIMEOUT);
    }
    if (!Calls().pfnGetOverlappedResult(hComm, &ov, &nWritten, FALSE))
        return Fail("GetOverlappedResult", static_cast<int>(GetLastError()));
    return static_cast<int>(nWritten);
}

int CSerialPort::GetInQueueCount()
{
    if (!m_bOpen || !m_pDevice)
        return 0;
    DWORD nErrors = 0;
    COMSTAT stat{};
    if (!ClearCommError(m_pDevice->hComm, &nErrors, &stat))
        return Fail("ClearCommError", static_cast<int>(GetLastError()));
    return static_cast<int>(std::min<DWORD>(stat.cbInQue, INT_MAX));
}

int CSerialPort::Read(void* pBuffer, int nMax)
{
    if (!m_bOpen || !m_pDevice)
        return 0;
    const int nQueued = GetInQueueCount();
    if (nQueued == 0 || nMax <= 0 || !pBuffer)
        return 0;
    const HANDLE hComm = m_pDevice->hComm;
    OVERLAPPED& ov = m_pDevice->ovRead;

    DWORD nRead = 0;
    if (Calls().pfnReadFile(hComm, pBuffer, static_cast<DWORD>(std::min(nQueued, nMax)), &nRead, &ov))
        return static_cast<int>(nRead);
    if (GetLastError() != ERROR_IO_PENDING)
        return Fail("ReadFile", static_cast<int>(GetLastError()));
    // Wine leaves a COM read pending even when the bytes are queued; it completes during this wait
    // and its bytes are in pBuffer, but the count reported when the request started was 0. What is
    // still outstanding when the wait ends is cancelled: the buffer is the caller's and may be gone
    // once Read returns.
    if (Calls().pfnWaitForSingleObject(ov.hEvent, kReadWaitMs) != WAIT_OBJECT_0)
        CancelAndWait(hComm, ov);
    return static_cast<int>(nRead);
}
