#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "discovery/Registry.h"

// The card's serial ports as its USB drivers list them in the registry. Each driver service keeps
// "Count" and one numbered value per device instance (its instance path) under its Enum key; each
// instance's Device Parameters key holds "PortName" (COM12). These are the steps; the searches
// that run them in order are in discovery/Discovery.h.

// Searched in this order; the first service that lists an instance wins.
inline constexpr std::array<const char*, 6> kModemServices = {
    "YARLOusbmdm6k", "ONDAusbmdm6k", "qcusbmdm6k", "HSPADataCardusbmdm", "zgdccmdm", "zgdcmdm"};
inline constexpr std::array<const char*, 6> kDiagServices = {
    "YARLOusbser6k", "HSPADataCardusbser", "ONDAusbser6k", "qcusbser6k", "zgdccdiag", "zgdcdiag"};
inline constexpr std::array<const char*, 5> kAtServices = {
    "YARLOusbnmea", "zgdccat", "zgdcat", "zgdccmdm", "zgdcmdm"};

// Every string value is read with this capacity, terminator included.
constexpr uint32_t kValueBufferSize = 1024;

// Owns at most one open key. Opening through it first closes the key it holds; the key is closed
// on every way out of the scope, an exception included.
class RegKeyHolder {
public:
    // The window's searches ask for KEY_ALL_ACCESS, as they always have (KEY_READ where it is
    // refused); the command line and the every-card listing ask only to read.
    explicit RegKeyHolder(IRegistry& registry, EKeyAccess eAccess = EKeyAccess::kAllElseRead)
        : m_registry(registry), m_eAccess(eAccess) {}
    ~RegKeyHolder() { Release(); }
    RegKeyHolder(const RegKeyHolder&) = delete;
    RegKeyHolder& operator=(const RegKeyHolder&) = delete;

    bool Open(const std::string& strPath);   // asks for the holder's access
    void Release();
    RegKey Get() const { return m_key; }

private:
    IRegistry& m_registry;
    EKeyAccess m_eAccess;
    RegKey m_key = 0;
};

// A driver service that lists a device instance: the last instance's path and the service's Count.
struct CServiceInstance {
    std::string strInstancePath;
    uint32_t nCount = 0;
};

std::string ServiceEnumPath(const std::string& strService);
std::string InstancePortPath(const std::string& strInstancePath);

// The name of the last instance's value: Count - 1 in 32 bits, as a signed decimal ("-1" for 0).
std::string LastInstanceValueName(uint32_t nCount);

// Reads a string value into a kValueBufferSize buffer and returns its text up to the first NUL.
// A value that does not fit, or fills the whole buffer without a NUL, is a failed read.
std::optional<std::string> ReadStringValue(IRegistry& registry, RegKey key, const std::string& strName);

// Opens the service's Enum key through the holder (it stays held when found) and reads its Count.
std::optional<uint32_t> ReadServiceCount(RegKeyHolder& holder, IRegistry& registry, const std::string& strService);

// Opens the service's Enum key through the holder (it stays held when found) and reads the last
// listed instance.
std::optional<CServiceInstance> ProbeService(RegKeyHolder& holder, IRegistry& registry, const std::string& strService);

// ProbeService over the list in order; the first found service ends the search.
std::optional<CServiceInstance> SearchServices(RegKeyHolder& holder, IRegistry& registry,
                                               std::span<const char* const> services);

// The number in a port device name: the first three characters (the "COM") are dropped whatever
// they are, the rest is read as a decimal integer like strtol: leading white space, one sign, digits
// up to the first non-digit, 0 when there is none. Nothing when the number does not fit in 32 bits.
std::optional<int> ParsePortName(const std::string& strPortName);

// The Port number of the instance's "PortName", read through the holder; nothing when the key or
// the value cannot be read.
std::optional<int> ReadPortNumber(RegKeyHolder& holder, IRegistry& registry, const std::string& strInstancePath);
