#pragma once
// Who else has a card's ports open. A port that another program reads takes the card's answers
// away from us, and its writes come back to us as if the card had answered: a run on such a port
// proves nothing. The platform lists the open descriptors (cli/CliPlatform.h); this keeps one look
// for all the cards that ask at the same time, so that 64 cards cost one look per round.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Another process with one of the card's ports open.
struct CPortHolder {
    long nPid = 0;
    std::string strName;     // its command name (comm)
    std::string strDevice;   // the card's port it holds, as the card's port list names it
    bool operator==(const CPortHolder& other) const
    {
        return nPid == other.nPid && strName == other.strName && strDevice == other.strDevice;
    }
};

// One open character device of another process: the device's number, who holds it.
struct COpenDevice {
    uint64_t nDevice = 0;
    long nPid = 0;
};

// What one look at the system found.
struct CHolderLook {
    std::vector<COpenDevice> open;
    bool bSawEveryProcess = true;   // false when some processes' descriptors could not be read (not root)
};

// "/dev/ttyUSB2 is open in minicom (pid 4242)"; several joined with "; ".
std::string HolderText(const CPortHolder& holder);
std::string HoldersText(const std::vector<CPortHolder>& holders);

// The holders of the given ports in a look, not yet named (pure).
std::vector<CPortHolder> HoldersIn(const CHolderLook& look, const std::vector<std::string>& devices,
                                   const std::vector<uint64_t>& numbers);

// Looks shared between the threads of a run: a caller gets a look begun after it asked, and every
// caller that asks while one look runs shares the next one.
class CHolderScan {
public:
    // The holders of the given port devices now, named. The first look that could not see every process
    // sets bBlind once, for the caller to say so.
    std::vector<CPortHolder> HoldersOf(const std::vector<std::string>& devices, bool& bFirstBlind);
    unsigned long Looks() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_done;
    unsigned long m_nStarted = 0;
    unsigned long m_nFinished = 0;
    bool m_bLooking = false;
    bool m_bToldBlind = false;
    CHolderLook m_last;
};
