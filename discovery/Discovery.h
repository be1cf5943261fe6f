#pragma once
// The card's ports from its drivers' registry entries, as functions of the registry: no window,
// no fields. Read afresh on every call, so a card that comes back under another port number is
// found by the next call.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "discovery/CardInventory.h"
#include "discovery/Registry.h"

// Which driver list gave the port that AT commands go to.
enum class EPortSource { kModemDriver, kAtDriver };

// What one search found. A port is present only when its instance's PortName could be read.
struct CPortSearch {
    int bFound = 0;                  // the search's own verdict (see SearchModemPort, SearchAtPort)
    EPortSource eSource = EPortSource::kModemDriver;
    std::optional<int> nCommandPort; // the modem (or AT) port
    std::optional<int> nSecondPort;  // the diagnostic port; the modem search only
};

// The last instance of the first modem driver that lists one, then the last instance of the first
// diagnostic driver that lists one. Found only when a diagnostic driver lists an instance and, when
// its Count is not 0, that instance's port could be read. Keys are opened with eAccess.
CPortSearch SearchModemPort(IRegistry& registry, EKeyAccess eAccess);
// The last instance of the first AT driver that lists one; found whenever such a driver exists,
// even when its port name cannot be read.
CPortSearch SearchAtPort(IRegistry& registry, EKeyAccess eAccess);

// The window's label and status line for a port found by that driver list.
const char* PortLabelText(EPortSource eSource);
const char* PortStatusText(EPortSource eSource);

// ---- every card -----------------------------------------------------------------------------------


// The drivers' entries of one card as the registry holds them (services, instance numbers, port
// numbers); RegistryInventory turns them into the CInventoryCard that both platforms list.
struct CRegistryPort {
    EPortRole eRole = EPortRole::kModem;
    std::string strService;        // the driver service that lists it
    uint32_t nInstance = 0;        // its numbered value under the service's Enum key
    std::string strInstancePath;   // USB\VID_...&PID_...&MI_02\7&11&0&0002
    std::optional<int> nPort;      // its Port number, when PortName could be read
};

struct CRegistryCard {
    std::string strId;             // the parent prefix its interfaces share, e.g. 7&11&0
    std::vector<CRegistryPort> ports;
};

// Instances read per driver at most: a Count beyond it is taken as this many.
constexpr uint32_t kMaxListedInstances = 256;

// Every instance 0..Count-1 of every driver of the three lists (a driver on two lists once, in the
// role of the first), grouped into cards by CardIdOfInstance, in the order the cards are first met.
// Keys are opened for reading only.
std::vector<CRegistryCard> ListRegistryCards(IRegistry& registry);

// The instance path's last segment (after its last backslash) without its last &-separated field;
// the whole segment when it has no '&'.
std::string CardIdOfInstance(const std::string& strInstancePath);

// Device keys under one hardware id read at most when looking for a card's USB device, so that a
// key with a huge number of subkeys cannot stall the listing.
constexpr uint32_t kMaxDeviceKeys = 1024;

// ListRegistryCards as the command line shows it: each port named COMn (empty when its name could not be
// read), its interface number from the instance path's MI_xx, the card's vendor and product ids
// from its VID_xxxx and PID_xxxx, its slot (discovery/Slot.h) from its interfaces'
// LocationInformation or else from its USB device's (the key whose ParentIdPrefix is the card id),
// and its serial number from that device key's name.
std::vector<CInventoryCard> RegistryInventory(IRegistry& registry);

// What is at the followed cards' slots now. A card whose drivers still list every one of its
// instances is there as it was (only those drivers' lists are read); only when one of them has gone
// is everything listed (RegistryInventory), to find what came back at its slot as another device.
// Devices at none of the followed slots are left out.
std::vector<CInventoryCard> LookAtRegistrySlots(IRegistry& registry, const std::vector<CInventoryCard>& followed);
