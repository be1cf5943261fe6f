// What the system reports about the process behind a window: handles, threads and memory, each with
// the source it came from, so that a soak run can tell a leak from a figure the system does not give.
#include "UiDriver.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <vector>

namespace {

class CProcessHandle {
public:
    explicit CProcessHandle(DWORD nProcessId)
        : m_hProcess(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, nProcessId))
    {
        // Some systems refuse the full query right to another process; the limited one still
        // answers the handle count and the memory counters on recent versions.
        if (!m_hProcess)
            m_hProcess = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, nProcessId);
    }
    ~CProcessHandle()
    {
        if (m_hProcess)
            CloseHandle(m_hProcess);
    }
    CProcessHandle(const CProcessHandle&) = delete;
    CProcessHandle& operator=(const CProcessHandle&) = delete;
    HANDLE Get() const { return m_hProcess; }

private:
    HANDLE m_hProcess;
};

// Threads of one process, counted from a system-wide snapshot; -1 when no snapshot can be made.
long long CountThreads(DWORD nProcessId)
{
    HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE)
        return -1;
    long long nThreads = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL bMore = Thread32First(hSnapshot, &entry); bMore; bMore = Thread32Next(hSnapshot, &entry))
        if (entry.th32OwnerProcessID == nProcessId)
            ++nThreads;
    CloseHandle(hSnapshot);
    return nThreads;
}

// The handle count from the system's process list: a second source for systems whose
// GetProcessHandleCount answers only for the calling process. -1 when it is not there either.
long long HandleCountFromProcessList(DWORD nProcessId)
{
    using FnQuery = LONG(WINAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
    const auto pfnQuery = hNtdll ? reinterpret_cast<FnQuery>(reinterpret_cast<void*>(
                                       GetProcAddress(hNtdll, "NtQuerySystemInformation")))
                                 : nullptr;
    if (!pfnQuery)
        return -1;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004L);
    std::vector<unsigned char> buffer(1 << 16);
    ULONG nNeeded = 0;
    LONG nStatus = kInfoLengthMismatch;
    // The list may grow between the calls; a few rounds with room to spare settle it.
    for (int nRound = 0; nRound < 8 && nStatus == kInfoLengthMismatch; ++nRound) {
        nStatus = pfnQuery(SystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &nNeeded);
        if (nStatus == kInfoLengthMismatch)
            buffer.resize(std::max<size_t>(buffer.size() * 2, nNeeded + 4096));
    }
    if (nStatus < 0)
        return -1;
    for (size_t nOffset = 0; nOffset + sizeof(SYSTEM_PROCESS_INFORMATION) <= buffer.size();) {
        const auto* pInfo = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(buffer.data() + nOffset);
        if (reinterpret_cast<ULONG_PTR>(pInfo->UniqueProcessId) == nProcessId)
            return pInfo->HandleCount;
        if (pInfo->NextEntryOffset == 0)
            break;
        nOffset += pInfo->NextEntryOffset;
    }
    return -1;
}

} // namespace

CProcessStats ReadProcessStats(DWORD nProcessId)
{
    CProcessStats stats;
    stats.nProcessId = nProcessId;
    stats.nThreads = CountThreads(nProcessId);
    CProcessHandle process(nProcessId);
    if (!process.Get())
        return stats;
    stats.bOpened = true;
    DWORD nHandles = 0;
    if (GetProcessHandleCount(process.Get(), &nHandles) && nHandles > 0) {
        stats.nHandles = nHandles;
        stats.pszHandleSource = "GetProcessHandleCount";
    } else if ((stats.nHandles = HandleCountFromProcessList(nProcessId)) > 0) {
        stats.pszHandleSource = "SystemProcessInformation";
    }
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(process.Get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
        stats.nWorkingSet = static_cast<long long>(counters.WorkingSetSize);
        stats.nPrivateBytes = static_cast<long long>(counters.PrivateUsage);
        stats.pszPrivateSource = "PrivateUsage";
        // The commit charge is reported twice; some systems fill in only the older field.
        if (stats.nPrivateBytes <= 0) {
            stats.nPrivateBytes = static_cast<long long>(counters.PagefileUsage);
            stats.pszPrivateSource = "PagefileUsage";
        }
    }
    return stats;
}
