// CSerialPort on the Win32 communications API with overlapped requests and bounded waits.
#include "serial/SerialPort.h"

#include <windows.h>

#include "serial/win32/RequestCalls.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kQueueSize = 4096;
constexpr DWORD kEventMask = EV_CTS | EV_DSR | EV_RLSD | EV_BREAK;
constexpr DWORD kWriteWaitMs = 10000;
constexpr DWORD kReadWaitMs = 2000;
// How long a cancelled request may take to complete before it is given up for good.
constexpr DWORD kCancelWaitMs = 1000;
// What the port reports, from the call that gave a request up until that request has ended: every
// call on the open port, and every open of the port once it is closed.
constexpr const char* kAbandonedCall = "CancelIoEx";
constexpr int kAbandonedError = ERROR_TIMEOUT;

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

const CSerialRequestCalls kSystemCalls{ReadFile,     WriteFile,     WaitForSingleObject, CancelIoEx,
                                       GetOverlappedResult, GetCommState, BuildCommDCBA, SetCommState};

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

enum class ERequestEnd { Completed, Cancelled, Abandoned };

// Waits at most nWaitMs for a started request, then cancels what is still outstanding. A USB serial
// driver whose device was pulled can fail to complete the cancelled request at all, so that wait is
// bounded too: a request still out after it is Abandoned, and its record and buffer must stay
// allocated until it has ended. Otherwise GetOverlappedResult(FALSE) has the outcome.
ERequestEnd AwaitRequest(const CSerialRequestCalls& calls, HANDLE hComm, OVERLAPPED& ov, DWORD nWaitMs)
{
    if (calls.pfnWaitForSingleObject(ov.hEvent, nWaitMs) == WAIT_OBJECT_0)
        return ERequestEnd::Completed;
    calls.pfnCancelIoEx(hComm, &ov);
    if (calls.pfnWaitForSingleObject(ov.hEvent, kCancelWaitMs) == WAIT_OBJECT_0)
        return ERequestEnd::Cancelled;
    return ERequestEnd::Abandoned;
}

} // namespace

struct CSerialDevice {
    HANDLE hComm = nullptr;
    OVERLAPPED ovRead{};
    OVERLAPPED ovWrite{};
    // Requests transfer through these, never through the caller's memory, which may be gone while a
    // request the port gave up on is still out. Write's buffer is resized only with no request out.
    char readBuffer[kQueueSize]{};
    std::vector<char> writeBuffer;
    // The request whose cancel did not complete (ovRead or ovWrite): while it is out, the record,
    // its buffers and its events stay as they are, and the port refuses every call.
    OVERLAPPED* pAbandoned = nullptr;
    // The calls its requests go through; the record keeps them for as long as a request may be out.
    const CSerialRequestCalls* pCalls = &kSystemCalls;
};

namespace {

// What a driver that cannot report its line settings is given to start from: a zeroed DCB has
// XonChar equal to XoffChar, which SetCommState refuses.
DCB DefaultLineSettings()
{
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

// Every setting the card's line depends on, whatever the driver or the last program left: many
// cards answer only while DTR is raised, and with CTS flow control on and CTS low every write
// times out. No parity, no flow control of either kind, no character dropped or replaced.
void SetLineExplicitly(DCB& dcb, const CLineSettings& line)
{
    dcb.BaudRate = static_cast<DWORD>(line.nBaud);
    dcb.ByteSize = static_cast<BYTE>(line.nDataBits);
    dcb.Parity = NOPARITY;
    dcb.StopBits = line.nStopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
}

// The first of the line's calls that fails, or nullptr; GetLastError() tells why.
const char* SetLine(CSerialDevice& device, const CLineSettings& line)
{
    const CSerialRequestCalls& calls = *device.pCalls;
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!calls.pfnGetCommState(device.hComm, &dcb))
        dcb = DefaultLineSettings();
    // The mode string names no device: BuildCommDCBA accepts "COMn:" only for a port that exists.
    char szMode[64];
    std::snprintf(szMode, sizeof szMode, "%d,n,%d,%d", line.nBaud, line.nDataBits, line.nStopBits);
    if (!calls.pfnBuildCommDCBA(szMode, &dcb))
        return "BuildCommDCBA";
    SetLineExplicitly(dcb, line);
    if (!calls.pfnSetCommState(device.hComm, &dcb))
        return "SetCommState";
    return nullptr;
}

// The first of the open's set-up calls that fails, or nullptr; GetLastError() tells why.
const char* ConfigureDevice(CSerialDevice& device, const CLineSettings& line)
{
    COMMTIMEOUTS timeouts = PortTimeouts();
    if (const char* pszFailed = SetLine(device, line))
        return pszFailed;
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
    CloseIfSet(device.hComm);
}

// Whether the abandoned request of a closed port's record has ended since; its event is set then.
bool AbandonedRequestEnded(const CSerialDevice& device)
{
    return device.pCalls->pfnWaitForSingleObject(device.pAbandoned->hEvent, 0) == WAIT_OBJECT_0;
}

} // namespace

int CSerialPort::OpenDevice(int nPort, int nBaud, int nDataBits, int nStopBits)
{
    // The device namespace prefix makes COM10 and above reachable.
    char szPath[32];
    std::snprintf(szPath, sizeof szPath, "\\\\.\\COM%d", nPort);
    return OpenHandle(szPath, {nBaud, nDataBits, nStopBits});
}

int CSerialPort::OpenDevicePath(const std::string& strPath, int nBaud, int nDataBits, int nStopBits)
{
    return OpenHandle(strPath.c_str(), {nBaud, nDataBits, nStopBits});
}

int CSerialPort::OpenHandle(const char* pszPath, const CLineSettings& line)
{
    // A closed port still holding a record is one whose request was abandoned. The record is freed
    // once that request has ended; until then the port stays refused, so a driver that never ends
    // it costs one record per port, however often the port is reopened.
    if (m_pDevice) {
        if (!AbandonedRequestEnded(*m_pDevice))
            return Fail(kAbandonedCall, kAbandonedError);
        CloseDevice(*m_pDevice);
        delete m_pDevice;
        m_pDevice = nullptr;
    }
    const HANDLE hComm = CreateFileA(pszPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (hComm == INVALID_HANDLE_VALUE)
        return Fail("CreateFileA", static_cast<int>(GetLastError()));

    auto* pDevice = new CSerialDevice{};
    pDevice->hComm = hComm;
    if (m_pRequestCalls)
        pDevice->pCalls = m_pRequestCalls;
    if (const char* pszFailed = ConfigureDevice(*pDevice, line)) {
        const int nError = static_cast<int>(GetLastError());
        CloseDevice(*pDevice);
        delete pDevice;
        return Fail(pszFailed, nError);
    }
    m_pDevice = pDevice;
    m_bOpen = 1;
    if (!PurgeComm(hComm, kPurgeAll))
        Fail("PurgeComm", static_cast<int>(GetLastError()));
    return 1;
}

int CSerialPort::Close()
{
    if (!m_bOpen || !m_pDevice)
        return 1;
    m_bOpen = 0;
    if (m_pDevice->pAbandoned) {
        // The handle goes (closing it is the strongest cancel there is); the record stays with the
        // port, as the driver may still complete the request into it, until the next Open finds
        // the request ended.
        CloseIfSet(m_pDevice->hComm);
        return 1;
    }
    if (!PurgeComm(m_pDevice->hComm, kPurgeAll))
        Fail("PurgeComm", static_cast<int>(GetLastError()));
    CloseDevice(*m_pDevice);
    delete m_pDevice;
    m_pDevice = nullptr;
    return 1;
}

int CSerialPort::Write(const void* pData, int nLength)
{
    if (!m_bOpen || !m_pDevice)
        return 0;
    // A negative length would become a length of gigabytes as a DWORD.
    if (nLength < 0 || (!pData && nLength > 0))
        return 0;
    CSerialDevice& device = *m_pDevice;
    if (device.pAbandoned)
        return Fail(kAbandonedCall, kAbandonedError);
    const HANDLE hComm = device.hComm;
    OVERLAPPED& ov = device.ovWrite;
    // A purge that fails is recorded, and the write goes ahead: the card may still take it.
    if (!PurgeComm(hComm, kPurgeAll))
        Fail("PurgeComm", static_cast<int>(GetLastError()));

    const auto* pBytes = static_cast<const char*>(pData);
    device.writeBuffer.assign(pBytes, pBytes + nLength);
    DWORD nWritten = 0;
    if (device.pCalls->pfnWriteFile(hComm, device.writeBuffer.data(), static_cast<DWORD>(nLength), &nWritten, &ov))
        return static_cast<int>(nWritten);
    if (GetLastError() != ERROR_IO_PENDING)
        return Fail("WriteFile", static_cast<int>(GetLastError()));
    switch (AwaitRequest(*device.pCalls, hComm, ov, kWriteWaitMs)) {
    case ERequestEnd::Abandoned:
        device.pAbandoned = &ov;
        return Fail(kAbandonedCall, kAbandonedError);
    case ERequestEnd::Cancelled:
        return Fail("WriteFile", ERROR_TIMEOUT);
    case ERequestEnd::Completed:
        break;
    }
    if (!device.pCalls->pfnGetOverlappedResult(hComm, &ov, &nWritten, FALSE))
        return Fail("GetOverlappedResult", static_cast<int>(GetLastError()));
    return static_cast<int>(nWritten);
}

int CSerialPort::GetInQueueCount()
{
    if (!m_bOpen || !m_pDevice)
        return 0;
    if (m_pDevice->pAbandoned)
        return Fail(kAbandonedCall, kAbandonedError);
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
    CSerialDevice& device = *m_pDevice;
    const HANDLE hComm = device.hComm;
    OVERLAPPED& ov = device.ovRead;
    const DWORD nToRead = std::min<DWORD>(static_cast<DWORD>(std::min(nQueued, nMax)), sizeof device.readBuffer);

    DWORD nRead = 0;
    if (device.pCalls->pfnReadFile(hComm, device.readBuffer, nToRead, &nRead, &ov)) {
        std::memcpy(pBuffer, device.readBuffer, std::min(nRead, nToRead));
        return static_cast<int>(nRead);
    }
    if (GetLastError() != ERROR_IO_PENDING)
        return Fail("ReadFile", static_cast<int>(GetLastError()));
    // Wine leaves a COM read pending even when the bytes are queued; it completes during this wait,
    // but the count reported when the request started was 0, and that is what Read returns. The
    // bytes are the completed count, which a cancelled read may have as well.
    if (AwaitRequest(*device.pCalls, hComm, ov, kReadWaitMs) == ERequestEnd::Abandoned) {
        device.pAbandoned = &ov;
        return Fail(kAbandonedCall, kAbandonedError);
    }
    DWORD nDone = 0;
    if (!device.pCalls->pfnGetOverlappedResult(hComm, &ov, &nDone, FALSE)) {
        Fail("GetOverlappedResult", static_cast<int>(GetLastError()));
        nDone = 0;
    }
    std::memcpy(pBuffer, device.readBuffer, std::min(nDone, nToRead));
    return static_cast<int>(nRead);
}

std::string SerialDeviceOfName(const std::string& strName)
{
    if (const std::optional<int> nPort = PortNumberOfName(strName))
        return "COM" + std::to_string(*nPort);
    return strName;
}

// A handle's sharing and line settings end with it; nothing outlives the process.
void RestoreSerialPortsForExit() {}
