#include "discovery/memory/MemoryRegistry.h"

#include <algorithm>
#include <cstring>

namespace {

// Every key implies its ancestors, as in the real registry: "A\B\C" makes "A\B" and "A" exist too.
std::vector<std::string> AncestorsOf(const std::string& strPath)
{
    std::vector<std::string> ancestors;
    for (size_t nPos = strPath.find('\\'); nPos != std::string::npos; nPos = strPath.find('\\', nPos + 1))
        ancestors.push_back(strPath.substr(0, nPos));
    return ancestors;
}

bool IsSameOrBelow(const std::string& strPath, const std::string& strTop)
{
    if (strPath.size() == strTop.size())
        return strPath == strTop;
    return strPath.size() > strTop.size() && strPath.compare(0, strTop.size(), strTop) == 0 &&
           strPath[strTop.size()] == '\\';
}

}  // namespace

std::string CMemoryRegistry::Fold(const std::string& str)
{
    std::string strFolded = str;
    for (char& ch : strFolded)
        if (ch >= 'A' && ch <= 'Z')
            ch = static_cast<char>(ch - 'A' + 'a');
    return strFolded;
}

void CMemoryRegistry::AddKey(const std::string& strPath)
{
    const std::string strFolded = Fold(strPath);
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const std::string& strAncestor : AncestorsOf(strPath)) {
        m_keys[Fold(strAncestor)];
        m_names.emplace(Fold(strAncestor), strAncestor);
    }
    m_keys[strFolded];
    m_names.emplace(strFolded, strPath);
}

void CMemoryRegistry::SetDword(const std::string& strPath, const std::string& strName, uint32_t nValue)
{
    // REG_DWORD is stored little-endian whatever the host.
    SetBytes(strPath, strName,
             {static_cast<uint8_t>(nValue), static_cast<uint8_t>(nValue >> 8), static_cast<uint8_t>(nValue >> 16),
              static_cast<uint8_t>(nValue >> 24)});
}

void CMemoryRegistry::SetString(const std::string& strPath, const std::string& strName, const std::string& strValue)
{
    std::vector<uint8_t> bytes(strValue.begin(), strValue.end());
    bytes.push_back(0);
    SetBytes(strPath, strName, bytes);
}

void CMemoryRegistry::SetBytes(const std::string& strPath, const std::string& strName, const std::vector<uint8_t>& bytes)
{
    AddKey(strPath);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_keys[Fold(strPath)][Fold(strName)] = bytes;
}

void CMemoryRegistry::RemoveKey(const std::string& strPath)
{
    const std::string strFolded = Fold(strPath);
    std::lock_guard<std::mutex> lock(m_mutex);
    std::erase_if(m_keys, [&](const auto& entry) { return IsSameOrBelow(entry.first, strFolded); });
    std::erase_if(m_names, [&](const auto& entry) { return IsSameOrBelow(entry.first, strFolded); });
}

// Removes every key; keys that are open stay open (reads through them fail) and the record of
// opens is kept, so a test can still check what was opened and closed.
void CMemoryRegistry::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_keys.clear();
    m_names.clear();
}

void CMemoryRegistry::SetGrantedAccess(uint32_t nMask)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nGrantedAccess = nMask;
}

void CMemoryRegistry::LimitAccessBelow(const std::string& strTop, uint32_t nMask)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_limits[Fold(strTop)] = nMask;
}

ERegOpen CMemoryRegistry::Open(const std::string& strPath, uint32_t nAccess, RegKey* pKey)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (pKey == nullptr)
        return ERegOpen::kFailed;
    const std::string strFolded = Fold(strPath);
    if (m_keys.find(strFolded) == m_keys.end())
        return ERegOpen::kMissing;
    uint32_t nGranted = m_nGrantedAccess;
    for (const auto& [strTop, nMask] : m_limits)
        if (IsSameOrBelow(strFolded, strTop))
            nGranted &= nMask;
    if ((nAccess & ~nGranted) != 0)
        return ERegOpen::kDenied;
    const RegKey key = m_nextKey++;
    m_open[key] = strFolded;
    *pKey = key;
    return ERegOpen::kOpened;
}

bool CMemoryRegistry::QueryValue(RegKey key, const std::string& strName, void* pData, uint32_t* pSize)
{
    if (pSize == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto itOpen = m_open.find(key);
    if (itOpen == m_open.end())
        return false;
    const auto itKey = m_keys.find(itOpen->second);   // gone when the key was removed while open
    if (itKey == m_keys.end())
        return false;
    const auto itValue = itKey->second.find(Fold(strName));
    if (itValue == itKey->second.end())
        return false;

    const std::vector<uint8_t>& bytes = itValue->second;
    const uint32_t nCapacity = *pSize;
    *pSize = static_cast<uint32_t>(bytes.size());   // the size needed, also when it does not fit
    if (pData == nullptr)
        return true;                                // a size query
    if (bytes.size() > nCapacity)
        return false;
    if (!bytes.empty())
        std::memcpy(pData, bytes.data(), bytes.size());
    return true;
}

bool CMemoryRegistry::EnumSubkey(RegKey key, uint32_t nIndex, std::string* pName)
{
    if (pName == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto itOpen = m_open.find(key);
    if (itOpen == m_open.end() || m_keys.find(itOpen->second) == m_keys.end())
        return false;
    const std::string strPrefix = itOpen->second + "\\";
    uint32_t nSeen = 0;
    for (auto it = m_keys.lower_bound(strPrefix); it != m_keys.end() && it->first.starts_with(strPrefix); ++it) {
        if (it->first.find('\\', strPrefix.size()) != std::string::npos)
            continue;   // a grandchild
        if (nSeen++ == nIndex) {
            // Folding keeps the length: the name as added is the same tail of its path.
            const auto itName = m_names.find(it->first);
            const std::string& strPath = itName == m_names.end() ? it->first : itName->second;
            *pName = strPath.substr(strPrefix.size());
            return true;
        }
    }
    return false;
}

void CMemoryRegistry::CloseKey(RegKey key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open.erase(key);
}
