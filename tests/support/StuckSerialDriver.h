#pragma once
// A serial driver whose device was pulled, for the Win32 serial back end's tests: every request it
// is given stays outstanding, and a cancel is accepted but never completes the request. The bytes
// still go to and from the real device (a simulated card), so the port is usable again once the
// driver is removed and the port reopened.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

// Defined in serial/win32/SerialPort.cpp: the calls the port makes on the requests it starts.
void SetSerialRequestCallsForTests(decltype(&ReadFile) pfnReadFile, decltype(&WriteFile) pfnWriteFile,
                                   decltype(&WaitForSingleObject) pfnWaitForSingleObject,
                                   decltype(&CancelIoEx) pfnCancelIoEx,
                                   decltype(&GetOverlappedResult) pfnGetOverlappedResult);
void RestoreSerialRequestCallsForTests();

namespace stuck_driver {

// The completion that never comes.
inline HANDLE NeverSignalled()
{
    static const HANDLE hNever = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return hNever;
}

// The memory of the last request the driver was given: what it may still write into (a read) or
// read from (a write) after the port has given the request up.
inline std::atomic<const void*> g_pLastRequestBuffer{nullptr};

inline bool LastRequestBufferWithin(const void* pBegin, size_t nSize)
{
    const auto* p = static_cast<const char*>(g_pLastRequestBuffer.load());
    const auto* pStart = static_cast<const char*>(pBegin);
    return p >= pStart && p < pStart + nSize;
}

// Wine completes COM writes at once and COM reads soon after they start; this driver keeps either
// outstanding as far as the port can tell.
inline BOOL WINAPI PendingRead(HANDLE hFile, LPVOID pBuffer, DWORD nToRead, LPDWORD pnRead, LPOVERLAPPED pOv)
{
    g_pLastRequestBuffer = pBuffer;
    if (!ReadFile(hFile, pBuffer, nToRead, pnRead, pOv) && GetLastError() != ERROR_IO_PENDING)
        return FALSE;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

inline BOOL WINAPI PendingWrite(HANDLE hFile, LPCVOID pData, DWORD nToWrite, LPDWORD pnWritten, LPOVERLAPPED pOv)
{
    g_pLastRequestBuffer = pData;
    if (!WriteFile(hFile, pData, nToWrite, pnWritten, pOv) && GetLastError() != ERROR_IO_PENDING)
        return FALSE;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

inline DWORD WINAPI WaitRunsOut(HANDLE, DWORD nMilliseconds)
{
    return WaitForSingleObject(NeverSignalled(), nMilliseconds);
}

inline BOOL WINAPI CancelIgnored(HANDLE, LPOVERLAPPED)
{
    return TRUE;
}

inline BOOL WINAPI ResultNeverComes(HANDLE, LPOVERLAPPED, LPDWORD pnTransferred, BOOL bWait)
{
    if (bWait)
        WaitForSingleObject(NeverSignalled(), INFINITE);
    *pnTransferred = 0;
    SetLastError(ERROR_IO_INCOMPLETE);
    return FALSE;
}

} // namespace stuck_driver

// Puts the stuck driver under every CSerialPort for its lifetime.
class CStuckSerialDriver {
public:
    CStuckSerialDriver()
    {
        using namespace stuck_driver;
        SetSerialRequestCallsForTests(PendingRead, PendingWrite, WaitRunsOut, CancelIgnored, ResultNeverComes);
    }
    ~CStuckSerialDriver() { Remove(); }
    CStuckSerialDriver(const CStuckSerialDriver&) = delete;
    CStuckSerialDriver& operator=(const CStuckSerialDriver&) = delete;
    void Remove() { RestoreSerialRequestCallsForTests(); }
};

// Runs call() on a thread of its own and gives its result, or nothing when it has not returned
// within timeout. A call that never returns keeps what it captured: capture by value (shared_ptr).
template <typename F>
std::optional<int> CallWithin(std::chrono::milliseconds timeout, F call)
{
    struct CDone {
        ~CDone() { CloseHandle(hEvent); }
        HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        int nResult = 0;
    };
    auto pDone = std::make_shared<CDone>();
    std::thread([pDone, call]() mutable {
        pDone->nResult = call();
        SetEvent(pDone->hEvent);
    }).detach();
    if (WaitForSingleObject(pDone->hEvent, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
        return std::nullopt;
    return pDone->nResult;
}
