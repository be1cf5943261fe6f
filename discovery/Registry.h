#pragma once
#include <cstdint>
#include <string>

// The registry operations that port discovery needs, all below HKEY_LOCAL_MACHINE. A Win32
// implementation reads the real registry; an in-memory one feeds tests and non-Windows builds.
using RegKey = uintptr_t;   // 0 is never a valid key

constexpr uint32_t kKeyAllAccess = 0xF003F;   // KEY_ALL_ACCESS
constexpr uint32_t kKeyRead = 0x20019;        // KEY_READ

// What a search asks of the keys it opens. Nothing is ever written, but the window has always
// asked for KEY_ALL_ACCESS; Windows refuses that to a standard user below HKLM\SYSTEM, and to
// everyone in the device tree (Enum), so where it is refused the window reads the same key.
enum class EKeyAccess {
    kRead,            // KEY_READ only: the command line, which runs without administrator rights
    kAllElseRead,     // KEY_ALL_ACCESS, and KEY_READ for a key that refuses it: the window
};

// How an open ended: a refused access mask differs from a key that is not there.
enum class ERegOpen { kOpened, kMissing, kDenied, kFailed };

class IRegistry {
public:
    virtual ~IRegistry() = default;
    // Opens HKLM\strPath with the access mask; *pKey is set when it is kOpened.
    virtual ERegOpen Open(const std::string& strPath, uint32_t nAccess, RegKey* pKey) = 0;
    bool OpenKey(const std::string& strPath, uint32_t nAccess, RegKey* pKey)
    {
        return Open(strPath, nAccess, pKey) == ERegOpen::kOpened;
    }
    // Reads the value's raw bytes into pData (capacity *pSize), as RegQueryValueExA does: on success
    // *pSize becomes the value's size; a value larger than the capacity fails. The type is not reported.
    virtual bool QueryValue(RegKey key, const std::string& strName, void* pData, uint32_t* pSize) = 0;
    // The name of the key's subkey number nIndex (0, 1, ... in the registry's order), as
    // RegEnumKeyExA gives it; false past the last one or when the key cannot be read.
    virtual bool EnumSubkey(RegKey key, uint32_t nIndex, std::string* pName) = 0;
    virtual void CloseKey(RegKey key) = 0;
};

// The platform's registry: the real one on Windows, an empty in-memory one elsewhere.
IRegistry& SystemRegistry();
