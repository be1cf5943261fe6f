// What the system reports about the process behind a window: handles, threads and memory, each with
// the source it came from, so that a soak run can tell a leak from a figure the system does not give.
#include "UiDriver.h"

#include <psapi.h>
#include <tlhelp32.h>

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
    if (GetProcessHandleCount(process.Get(), &nHandles))
        stats.nHandles = nHandles;
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(process.Get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
        stats.nWorkingSet = static_cast<long long>(counters.WorkingSetSize);
        stats.nPrivateBytes = static_cast<long long>(counters.PrivateUsage);
        // The commit charge is reported twice; some systems fill in only the older field.
        if (stats.nPrivateBytes <= 0)
            stats.nPrivateBytes = static_cast<long long>(counters.PagefileUsage);
    }
    return stats;
}
