// The real registry, HKEY_LOCAL_MACHINE only, through the ANSI calls. A RegKey carries the HKEY.
#include <windows.h>

#include "discovery/Registry.h"

namespace {

HKEY ToHkey(RegKey key)
{
    return reinterpret_cast<HKEY>(key);
}

class CWin32Registry final : public IRegistry {
public:
    ERegOpen Open(const std::string& strPath, uint32_t nAccess, RegKey* pKey) override
    {
        if (pKey == nullptr)
            return ERegOpen::kFailed;
        HKEY hKey = nullptr;
        switch (RegOpenKeyExA(HKEY_LOCAL_MACHINE, strPath.c_str(), 0, nAccess, &hKey)) {
        case ERROR_SUCCESS:
            *pKey = reinterpret_cast<RegKey>(hKey);
            return ERegOpen::kOpened;
        case ERROR_FILE_NOT_FOUND:
            return ERegOpen::kMissing;
        case ERROR_ACCESS_DENIED:
            return ERegOpen::kDenied;
        default:
            return ERegOpen::kFailed;
        }
    }

    bool QueryValue(RegKey key, const std::string& strName, void* pData, uint32_t* pSize) override
    {
        if (pSize == nullptr)
            return false;
        DWORD dwType = 0;   // asked for because the call wants it; the caller ignores types
        DWORD dwSize = *pSize;
        const LONG nResult = RegQueryValueExA(ToHkey(key), strName.c_str(), nullptr, &dwType,
                                              static_cast<LPBYTE>(pData), &dwSize);
        *pSize = dwSize;   // on ERROR_MORE_DATA, the size the value needs
        return nResult == ERROR_SUCCESS;
    }

    bool EnumSubkey(RegKey key, uint32_t nIndex, std::string* pName) override
    {
        if (pName == nullptr)
            return false;
        char szName[256];   // a key name is at most 255 characters
        DWORD dwSize = sizeof(szName);
        if (RegEnumKeyExA(ToHkey(key), nIndex, szName, &dwSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return false;
        pName->assign(szName, dwSize);
        return true;
    }

    void CloseKey(RegKey key) override
    {
        if (key != 0)
            RegCloseKey(ToHkey(key));
    }
};

}  // namespace

IRegistry& SystemRegistry()
{
    static CWin32Registry registry;
    return registry;
}
