#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "discovery/Registry.h"

// A registry held in memory: keys by path (case-insensitive, as Windows compares them), values as
// raw bytes.
class CMemoryRegistry final : public IRegistry {
public:
    void AddKey(const std::string& strPath);
    void SetDword(const std::string& strPath, const std::string& strName, uint32_t nValue);
    void SetString(const std::string& strPath, const std::string& strName, const std::string& strValue);  // stored with its NUL
    void SetBytes(const std::string& strPath, const std::string& strName, const std::vector<uint8_t>& bytes);
    void RemoveKey(const std::string& strPath);   // and every key below it
    void Clear();
    // Opens that ask for access outside nMask fail, as for a user without administrator rights.
    void SetGrantedAccess(uint32_t nMask);
    // Opens of strTop and the keys below it that ask for access outside nMask are refused, as a
    // key's ACL refuses them (Windows' device tree refuses write access even to administrators).
    void LimitAccessBelow(const std::string& strTop, uint32_t nMask);

    ERegOpen Open(const std::string& strPath, uint32_t nAccess, RegKey* pKey) override;
    bool QueryValue(RegKey key, const std::string& strName, void* pData, uint32_t* pSize) override;
    // Subkeys in the order of their folded names (the real registry's order is its own).
    bool EnumSubkey(RegKey key, uint32_t nIndex, std::string* pName) override;
    void CloseKey(RegKey key) override;

private:
    using Values = std::map<std::string, std::vector<uint8_t>>;
    static std::string Fold(const std::string& str);

    mutable std::mutex m_mutex;
    std::map<std::string, Values> m_keys;     // folded path -> values (folded names)
    std::map<std::string, std::string> m_names;   // folded path -> the path as first added
    std::map<RegKey, std::string> m_open;     // open key -> folded path
    RegKey m_nextKey = 1;
    uint32_t m_nGrantedAccess = 0xFFFFFFFF;
    std::map<std::string, uint32_t> m_limits;   // folded top -> access granted there and below
};
