// CSerialPort on the Win32 communications API with overlapped requests and bounded waits.
#include "serial/SerialPort.h"

#include <algorithm>
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
    CancelIoEx(hComm, &ov);
    DWORD nIgnored = 0;
    GetOverlappedResult(hComm, &ov, &nIgnored, TRUE);
}

} // namespace

int CSerialPort::OpenDevice(int nPort, int nBaud, int nDataBits, int nStopBits)
{
    // The device namespace prefix makes COM10 and above reachable.
    char szPath[32];
    std::snprintf(szPath, sizeof szPath, "\\\\.\\COM%d", nPort);
    m_hComm = CreateFileA(szPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (m_hComm == INVALID_HANDLE_VALUE) {
        m_hComm = kNoSerialHandle;
        return 0;
    }

    m_ovRead = {};
    m_ovWrite = {};
    COMMTIMEOUTS timeouts = PortTimeouts();
    char szMode[96];
    std::snprintf(szMode, sizeof szMode, "COM%d: %d, n, %d, %d", nPort, nBaud, nDataBits, nStopBits);
    m_ovRead.hEvent = NewManualResetEvent();
    m_ovWrite.hEvent = NewManualResetEvent();

    // A mode string that BuildCommDCBA rejects leaves the device's current settings in the DCB.
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    GetCommState(m_hComm, &dcb);
    BuildCommDCBA(szMode, &dcb);

    const bool bReady = SetCommState(m_hComm, &dcb) && SetupComm(m_hComm, kQueueSize, kQueueSize) &&
                        SetCommMask(m_hComm, kEventMask) && SetCommTimeouts(m_hComm, &timeouts) &&
                        m_ovRead.hEvent && m_ovWrite.hEvent;
    if (bReady) {
        m_bOpen = 1;
        PurgeComm(m_hComm, kPurgeAll);
        return 1;
    }

    CloseIfSet(m_ovRead.hEvent);
    CloseIfSet(m_ovWrite.hEvent);
    CloseHandle(m_hComm);
    m_hComm = kNoSerialHandle;
    return 0;
}

int CSerialPort::Close()
{
    if (!m_bOpen || !m_hComm)
        return 1;
    PurgeComm(m_hComm, kPurgeAll);
    CloseIfSet(m_ovRead.hEvent);
    CloseIfSet(m_ovWrite.hEvent);
    CloseHandle(m_hComm);
    m_bOpen = 0;
    m_hComm = kNoSerialHandle;
    return 1;
}

int CSerialPort::Write(const void* pData, int nLength)
{
    if (!m_bOpen || !m_hComm)
        return 0;
    // A negative length would become a length of gigabytes as a DWORD.
    if (nLength < 0 || (!pData && nLength > 0))
        return 0;
    PurgeComm(m_hComm, kPurgeAll);

    DWORD nWritten = 0;
    if (WriteFile(m_hComm, pData, static_cast<DWORD>(nLength), &nWritten, &m_ovWrite))
        return static_cast<int>(nWritten);
    if (GetLastError() != ERROR_IO_PENDING)
        return 0;
    if (WaitForSingleObject(m_ovWrite.hEvent, kWriteWaitMs) != WAIT_OBJECT_0) {
        // The caller's bytes may be gone once Write returns: the request must not read them later.
        CancelAndWait(m_hComm, m_ovWrite);
        return 0;
    }
    if (!GetOverlappedResult(m_hComm, &m_ovWrite, &nWritten, FALSE))
        return 0;
    return static_cast<int>(nWritten);
}

int CSerialPort::GetInQueueCount()
{
    if (!m_bOpen || !m_hComm)
        return 0;
    DWORD nErrors = 0;
    COMSTAT stat{};
    if (!ClearCommError(m_hComm, &nErrors, &stat))
        return 0;
    return static_cast<int>(std::min<DWORD>(stat.cbInQue, INT_MAX));
}

int CSerialPort::Read(void* pBuffer, int nMax)
{
    if (!m_bOpen || !m_hComm)
        return 0;
    const int nQueued = GetInQueueCount();
    if (nQueued == 0 || nMax <= 0 || !pBuffer)
        return 0;

    DWORD nRead = 0;
    if (ReadFile(m_hComm, pBuffer, static_cast<DWORD>(std::min(nQueued, nMax)), &nRead, &m_ovRead))
        return static_cast<int>(nRead);
    if (GetLastError() != ERROR_IO_PENDING)
        return 0;
    // Wine leaves a COM read pending even when the bytes are queued; it completes during this wait
    // and its bytes are in pBuffer, but the count reported when the request started was 0. What is
    // still outstanding when the wait ends is cancelled: the buffer is the caller's and may be gone
    // once Read returns.
    if (WaitForSingleObject(m_ovRead.hEvent, kReadWaitMs) != WAIT_OBJECT_0)
        CancelAndWait(m_hComm, m_ovRead);
    return static_cast<int>(nRead);
}
