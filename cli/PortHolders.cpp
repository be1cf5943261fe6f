#include "cli/PortHolders.h"

#include "cli/CliPlatform.h"

std::string HolderText(const CPortHolder& holder)
{
    return holder.strDevice + " is open in " + (holder.strName.empty() ? "a program" : holder.strName) + " (pid " +
           std::to_string(holder.nPid) + ")";
}

std::string HoldersText(const std::vector<CPortHolder>& holders)
{
    std::string str;
    for (const CPortHolder& holder : holders)
        str += (str.empty() ? "" : "; ") + HolderText(holder);
    return str;
}

std::vector<CPortHolder> HoldersIn(const CHolderLook& look, const std::vector<std::string>& devices,
                                   const std::vector<uint64_t>& numbers)
{
    std::vector<CPortHolder> holders;
    for (const COpenDevice& open : look.open) {
        for (size_t n = 0; n < numbers.size() && n < devices.size(); ++n) {
            const CPortHolder holder{open.nPid, "", devices[n]};
            // One process with the port open twice is one holder.
            if (open.nDevice == numbers[n] && (holders.empty() || !(holders.back() == holder)))
                holders.push_back(holder);
        }
    }
    return holders;
}

std::vector<CPortHolder> CHolderScan::HoldersOf(const std::vector<std::string>& devices, bool& bFirstBlind)
{
    std::vector<std::string> named;
    std::vector<uint64_t> numbers;
    for (const std::string& strDevice : devices) {
        if (const std::optional<uint64_t> nDevice = CharacterDeviceNumber(strDevice)) {
            named.push_back(strDevice);
            numbers.push_back(*nDevice);
        }
    }
    bFirstBlind = false;
    if (numbers.empty())
        return {};
    std::unique_lock<std::mutex> lock(m_mutex);
    // A look already running may have read the processes before this caller's port was opened.
    const unsigned long nWanted = m_nStarted + 1;
    while (m_nFinished < nWanted) {
        if (m_bLooking) {
            m_done.wait(lock);
            continue;
        }
        m_bLooking = true;
        const unsigned long nThis = ++m_nStarted;
        lock.unlock();
        CHolderLook look = LookAtOpenDevices();
        lock.lock();
        m_last = std::move(look);
        m_nFinished = nThis;
        m_bLooking = false;
        m_done.notify_all();
    }
    if (!m_last.bSawEveryProcess && !m_bToldBlind) {
        m_bToldBlind = true;
        bFirstBlind = true;
    }
    std::vector<CPortHolder> holders = HoldersIn(m_last, named, numbers);
    lock.unlock();
    for (CPortHolder& holder : holders)
        holder.strName = ProcessName(holder.nPid);
    return holders;
}

unsigned long CHolderScan::Looks() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nFinished;
}
