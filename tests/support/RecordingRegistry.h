#pragma once
// A registry that passes every call to another and records what discovery asked of it: every open
// (path and access mask, failed ones too) and which keys it got are still open.
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "discovery/Registry.h"

class CRecordingRegistry final : public IRegistry {
public:
    struct OpenRecord {
        std::string strPath;
        uint32_t nAccess;
    };

    explicit CRecordingRegistry(IRegistry& inner) : m_inner(inner) {}

    ERegOpen Open(const std::string& strPath, uint32_t nAccess, RegKey* pKey) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_opens.push_back({strPath, nAccess});
        const ERegOpen eOpen = m_inner.Open(strPath, nAccess, pKey);
        if (eOpen == ERegOpen::kOpened)
            m_openKeys.push_back(*pKey);
        return eOpen;
    }
    bool QueryValue(RegKey key, const std::string& strName, void* pData, uint32_t* pSize) override
    {
        return m_inner.QueryValue(key, strName, pData, pSize);
    }
    bool EnumSubkey(RegKey key, uint32_t nIndex, std::string* pName) override
    {
        return m_inner.EnumSubkey(key, nIndex, pName);
    }
    void CloseKey(RegKey key) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto it = std::find(m_openKeys.begin(), m_openKeys.end(), key);
            if (it != m_openKeys.end())
                m_openKeys.erase(it);
        }
        m_inner.CloseKey(key);
    }

    std::vector<OpenRecord> Opens() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_opens;
    }
    // Keys opened through this registry and not closed yet.
    size_t OpenKeyCount() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_openKeys.size();
    }

private:
    IRegistry& m_inner;
    mutable std::mutex m_mutex;
    std::vector<OpenRecord> m_opens;
    std::vector<RegKey> m_openKeys;
};
