#pragma once
// A serial driver whose device was pulled, for the Win32 serial back end's tests: a layer under the
// ports made over stuck_driver::Calls(); while a CStuckSerialDriver exists, every request it is given
// stays outstanding, and a cancel is accepted but never completes the request. The bytes still go to
// and from the real device (a simulated card), so the port is usable again once the driver is
// removed and the port reopened. Otherwise the calls go straight to the system.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "serial/win32/RequestCalls.h"

namespace stuck_driver {

// Whether a CStuckSerialDriver is in place.
inline std::atomic<bool> g_bStuck{false};

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
    if (!g_bStuck)
        return ReadFile(hFile, pBuffer, nToRead, pnRead, pOv);
    g_pLastRequestBuffer = pBuffer;
    if (!ReadFile(hFile, pBuffer, nToRead, pnRead, pOv) && GetLastError() != ERROR_IO_PENDING)
        return FALSE;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

inline BOOL WINAPI PendingWrite(HANDLE hFile, LPCVOID pData, DWORD nToWrite, LPDWORD pnWritten, LPOVERLAPPED pOv)
{
    if (!g_bStuck)
        return WriteFile(hFile, pData, nToWrite, pnWritten, pOv);
    g_pLastRequestBuffer = pData;
    if (!WriteFile(hFile, pData, nToWrite, pnWritten, pOv) && GetLastError() != ERROR_IO_PENDING)
        return FALSE;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

inline DWORD WINAPI WaitRunsOut(HANDLE hObject, DWORD nMilliseconds)
{
    return WaitForSingleObject(g_bStuck ? NeverSignalled() : hObject, nMilliseconds);
}

inline BOOL WINAPI CancelIgnored(HANDLE hFile, LPOVERLAPPED pOv)
{
    return g_bStuck ? TRUE : CancelIoEx(hFile, pOv);
}

inline BOOL WINAPI ResultNeverComes(HANDLE hFile, LPOVERLAPPED pOv, LPDWORD pnTransferred, BOOL bWait)
{
    if (!g_bStuck)
        return GetOverlappedResult(hFile, pOv, pnTransferred, bWait);
    if (bWait)
        WaitForSingleObject(NeverSignalled(), INFINITE);
    *pnTransferred = 0;
    SetLastError(ERROR_IO_INCOMPLETE);
    return FALSE;
}

// The calls to make a port over: CSerialPort(stuck_driver::Calls()).
inline const CSerialRequestCalls& Calls()
{
    static const CSerialRequestCalls calls{PendingRead,      PendingWrite,  WaitRunsOut,  CancelIgnored,
                                           ResultNeverComes, GetCommState, BuildCommDCBA, SetCommState};
    return calls;
}

} // namespace stuck_driver

// The stuck driver under every port made over stuck_driver::Calls(), for its lifetime.
class CStuckSerialDriver {
public:
    CStuckSerialDriver() { stuck_driver::g_bStuck = true; }
    ~CStuckSerialDriver() { Remove(); }
    CStuckSerialDriver(const CStuckSerialDriver&) = delete;
    CStuckSerialDriver& operator=(const CStuckSerialDriver&) = delete;
    void Remove() { stuck_driver::g_bStuck = false; }
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
        // The call and what it captured go before the waiter is told: a port released afterwards,
        // on this thread, would be closed (and its device purged) under the caller's next test.
        {
            F callNow = std::move(call);
            pDone->nResult = callNow();
        }
        SetEvent(pDone->hEvent);
    }).detach();
    if (WaitForSingleObject(pDone->hEvent, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
        return std::nullopt;
    return pDone->nResult;
}
