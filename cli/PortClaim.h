#pragma once
// Before a card is sent anything: nobody else may have its ports open. ModemManager, when it
// manages the card, is asked to step aside for the run; any other holder refuses the run.
#include <functional>
#include <string>
#include <vector>

#include "cli/PortHolders.h"
#include "platform/Clock.h"

// A card's ports: where its USB device is (ModemManager's name for it) and its port devices.
struct CCardPorts {
    std::string strSlot;
    std::vector<std::string> devices;
};

struct CClaimContext {
    CHolderScan* pScan = nullptr;
    IClock* pClock = nullptr;
    bool bInhibit = true;                                 // ask ModemManager to step aside (--no-inhibit: no)
    std::function<void(const std::string&)> note;         // a progress line
    std::function<bool()> stopNow;                        // the program was interrupted
};

struct CPortClaim {
    std::vector<CPortHolder> holders;   // who keeps a port: the run is refused while there is any
    std::string strRefusal;             // why, in words, when refused
    bool bInhibited = false;            // ModemManager let go of the card for the run
    bool Refused() const { return !strRefusal.empty(); }
};

// How long ModemManager has to close the card's ports once it has let go of it, and how long a
// card it is still probing (it holds a port but has no modem for it yet) is given to become one.
inline constexpr uint32_t kModemManagerCloseMs = 10000;
inline constexpr uint32_t kModemManagerProbeMs = 15000;

// The card's ports for our run alone, or why not.
CPortClaim ClaimPorts(const CCardPorts& ports, const CClaimContext& ctx);

// After the run: who opened a port while the commands ran ("shared port" when anybody did).
std::vector<CPortHolder> HoldersAfterRun(const CCardPorts& ports, const CClaimContext& ctx);

// "shared port: /dev/ttyUSB2 is open in cat (pid 42) ..." (pure).
std::string SharedPortMessage(const std::vector<CPortHolder>& holders);
