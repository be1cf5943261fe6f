#include "discovery/PortDiscovery.h"

#include <array>
#include <cstring>
#include <limits>

bool RegKeyHolder::Open(const std::string& strPath)
{
    Release();
    RegKey key = 0;
    ERegOpen eOpen = m_registry.Open(strPath, m_eAccess == EKeyAccess::kRead ? kKeyRead : kKeyAllAccess, &key);
    if (eOpen == ERegOpen::kDenied && m_eAccess == EKeyAccess::kAllElseRead)
        eOpen = m_registry.Open(strPath, kKeyRead, &key);
    if (eOpen != ERegOpen::kOpened)
        return false;
    m_key = key;
    return true;
}

void RegKeyHolder::Release()
{
    if (m_key == 0)
        return;
    m_registry.CloseKey(m_key);
    m_key = 0;
}

std::string ServiceEnumPath(const std::string& strService)
{
    return "SYSTEM\\CurrentControlSet\\Services\\" + strService + "\\Enum";
}

std::string InstancePortPath(const std::string& strInstancePath)
{
    return "SYSTEM\\CurrentControlSet\\Enum\\" + strInstancePath + "\\Device Parameters";
}

std::string LastInstanceValueName(uint32_t nCount)
{
    // Unsigned wrap-around, then the same bits read as signed: Count 0 names the value "-1".
    return std::to_string(static_cast<int32_t>(nCount - 1u));
}

std::optional<std::string> ReadStringValue(IRegistry& registry, RegKey key, const std::string& strName)
{
    std::array<char, kValueBufferSize> buffer{};
    uint32_t nSize = kValueBufferSize;
    if (!registry.QueryValue(key, strName, buffer.data(), &nSize) || nSize > kValueBufferSize)
        return std::nullopt;
    // The registry does not guarantee a terminator: a short unterminated value ends at its size,
    // one that fills the whole buffer has no room for the NUL and counts as unreadable.
    const void* pNul = std::memchr(buffer.data(), '\0', nSize);
    if (pNul == nullptr) {
        if (nSize == kValueBufferSize)
            return std::nullopt;
        return std::string(buffer.data(), nSize);
    }
    return std::string(buffer.data(), static_cast<const char*>(pNul) - buffer.data());
}

std::optional<uint32_t> ReadServiceCount(RegKeyHolder& holder, IRegistry& registry, const std::string& strService)
{
    if (!holder.Open(ServiceEnumPath(strService)))
        return std::nullopt;
    // Read into a zeroed 32-bit number whatever the value's type: a shorter value fills its own
    // bytes only, a longer one does not fit and fails.
    std::array<uint8_t, 4> count{};
    uint32_t nSize = sizeof(count);
    if (!registry.QueryValue(holder.Get(), "Count", count.data(), &nSize))
        return std::nullopt;
    return static_cast<uint32_t>(count[0]) | static_cast<uint32_t>(count[1]) << 8 |
           static_cast<uint32_t>(count[2]) << 16 | static_cast<uint32_t>(count[3]) << 24;
}

std::optional<CServiceInstance> ProbeService(RegKeyHolder& holder, IRegistry& registry, const std::string& strService)
{
    const std::optional<uint32_t> nCount = ReadServiceCount(holder, registry, strService);
    if (!nCount)
        return std::nullopt;
    std::optional<std::string> strInstance = ReadStringValue(registry, holder.Get(), LastInstanceValueName(*nCount));
    if (!strInstance)
        return std::nullopt;
    return CServiceInstance{std::move(*strInstance), *nCount};
}

std::optional<CServiceInstance> SearchServices(RegKeyHolder& holder, IRegistry& registry,
                                               std::span<const char* const> services)
{
    for (const char* pszService : services) {
        if (std::optional<CServiceInstance> instance = ProbeService(holder, registry, pszService))
            return instance;
    }
    return std::nullopt;
}

namespace {

bool IsCSpace(char ch)
{
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

}  // namespace

std::optional<int> ParsePortName(const std::string& strPortName)
{
    size_t nPos = 3;
    if (strPortName.size() <= nPos)
        return 0;
    while (nPos < strPortName.size() && IsCSpace(strPortName[nPos]))
        ++nPos;
    bool bNegative = false;
    if (nPos < strPortName.size() && (strPortName[nPos] == '+' || strPortName[nPos] == '-'))
        bNegative = strPortName[nPos++] == '-';

    // Accumulate the magnitude in 64 bits and stop as soon as it leaves the 32-bit range, so a
    // long run of digits neither overflows nor wraps into some other port.
    const int64_t nLimit = bNegative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                     : std::numeric_limits<int32_t>::max();
    int64_t nMagnitude = 0;
    for (; nPos < strPortName.size() && strPortName[nPos] >= '0' && strPortName[nPos] <= '9'; ++nPos) {
        nMagnitude = nMagnitude * 10 + (strPortName[nPos] - '0');
        if (nMagnitude > nLimit)
            return std::nullopt;
    }
    return static_cast<int>(bNegative ? -nMagnitude : nMagnitude);
}

std::optional<int> ReadPortNumber(RegKeyHolder& holder, IRegistry& registry, const std::string& strInstancePath)
{
    if (!holder.Open(InstancePortPath(strInstancePath)))
        return std::nullopt;
    std::optional<std::string> strPortName = ReadStringValue(registry, holder.Get(), "PortName");
    if (!strPortName)
        return std::nullopt;
    return ParsePortName(*strPortName);
}
