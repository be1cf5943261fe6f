#include "discovery/Discovery.h"

#include <algorithm>
#include <new>
#include <set>
#include <span>

#include "discovery/PortDiscovery.h"
#include "res/PortLabel.h"

namespace {

// The port of the found service's last instance, when its Count is not 0 and its name can be read.
std::optional<int> InstancePort(RegKeyHolder& holder, IRegistry& registry, const CServiceInstance& instance)
{
    if (instance.nCount == 0)
        return std::nullopt;
    return ReadPortNumber(holder, registry, instance.strInstancePath);
}

} // namespace

CPortSearch SearchModemPort(IRegistry& registry, EKeyAccess eAccess)
{
    CPortSearch search;
    search.eSource = EPortSource::kModemDriver;
    try {
        RegKeyHolder holder(registry, eAccess);
        const std::optional<CServiceInstance> modem = SearchServices(holder, registry, kModemServices);
        if (!modem)
            return search;
        holder.Release();
        search.nCommandPort = InstancePort(holder, registry, *modem);

        const std::optional<CServiceInstance> diag = SearchServices(holder, registry, kDiagServices);
        if (!diag)
            return search;
        holder.Release();
        if (diag->nCount == 0) {
            search.bFound = 1;
            return search;
        }
        search.nSecondPort = ReadPortNumber(holder, registry, diag->strInstancePath);
        search.bFound = search.nSecondPort ? 1 : 0;
        return search;
    } catch (const std::bad_alloc&) {
        // Out of memory while building a path or a value's text: the holder has closed its key on
        // the way out; what was read before stands, and the search counts as failed.
        return search;
    }
}

CPortSearch SearchAtPort(IRegistry& registry, EKeyAccess eAccess)
{
    CPortSearch search;
    search.eSource = EPortSource::kAtDriver;
    try {
        RegKeyHolder holder(registry, eAccess);
        const std::optional<CServiceInstance> at = SearchServices(holder, registry, kAtServices);
        if (!at)
            return search;
        holder.Release();
        search.bFound = 1;
        search.nCommandPort = InstancePort(holder, registry, *at);
        return search;
    } catch (const std::bad_alloc&) {
        return search;
    }
}

const char* PortLabelText(EPortSource eSource)
{
    return eSource == EPortSource::kAtDriver ? "AT port:" : VOSTREL_MODEM_PORT_LABEL;
}

const char* PortStatusText(EPortSource eSource)
{
    return eSource == EPortSource::kAtDriver ? "Setting using AT port." : "Setting using Modem port.";
}

// ---- every card -----------------------------------------------------------------------------------

std::string CardIdOfInstance(const std::string& strInstancePath)
{
    const size_t nSlash = strInstancePath.rfind('\\');
    const std::string strSegment = nSlash == std::string::npos ? strInstancePath : strInstancePath.substr(nSlash + 1);
    const size_t nAmp = strSegment.rfind('&');
    return nAmp == std::string::npos ? strSegment : strSegment.substr(0, nAmp);
}

namespace {

// Every instance that the service lists; an instance value that is missing or unreadable is
// skipped, so a Count larger than the instances present lists those that are.
void ListServiceInstances(IRegistry& registry, const char* pszService, EPortRole eRole, std::vector<CRegistryPort>& ports)
{
    RegKeyHolder holder(registry, EKeyAccess::kRead);
    const std::optional<uint32_t> nCount = ReadServiceCount(holder, registry, pszService);
    if (!nCount)
        return;
    std::vector<CRegistryPort> found;
    for (uint32_t n = 0; n < std::min(*nCount, kMaxListedInstances); ++n) {
        if (std::optional<std::string> strPath = ReadStringValue(registry, holder.Get(), std::to_string(n)))
            found.push_back({eRole, pszService, n, std::move(*strPath), std::nullopt});
    }
    for (CRegistryPort& port : found) {
        port.nPort = ReadPortNumber(holder, registry, port.strInstancePath);
        ports.push_back(std::move(port));
    }
}

} // namespace

std::vector<CRegistryCard> ListRegistryCards(IRegistry& registry)
{
    struct CList {
        std::span<const char* const> services;
        EPortRole eRole;
    };
    const CList lists[] = {{kModemServices, EPortRole::kModem},
                           {kDiagServices, EPortRole::kDiagnostic},
                           {kAtServices, EPortRole::kAt}};
    std::vector<CRegistryPort> ports;
    std::set<std::string> seen;
    for (const CList& list : lists) {
        for (const char* pszService : list.services) {
            if (seen.insert(pszService).second)
                ListServiceInstances(registry, pszService, list.eRole, ports);
        }
    }

    std::vector<CRegistryCard> cards;
    for (CRegistryPort& port : ports) {
        const std::string strId = CardIdOfInstance(port.strInstancePath);
        auto it = std::find_if(cards.begin(), cards.end(), [&](const CRegistryCard& card) { return card.strId == strId; });
        if (it == cards.end())
            it = cards.insert(cards.end(), CRegistryCard{strId, {}});
        it->ports.push_back(std::move(port));
    }
    return cards;
}
