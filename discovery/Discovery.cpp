// The card's ports from its drivers' registry entries, read afresh on every call: a card that
// comes back under another port number is found on the next pass of the monitor.
#include <new>

#include "app/MainDlg.h"
#include "discovery/PortDiscovery.h"

// Modem port first, then the diagnostic port; 1 only when a diagnostic instance was found.
int CMainDlg::FindModemPort()
{
    IRegistry& registry = Registry();
    try {
        RegKeyHolder holder(registry);
        const std::optional<CServiceInstance> modem = SearchServices(holder, registry, kModemServices);
        if (!modem)
            return 0;
        holder.Release();
        if (modem->nCount != 0) {
            if (const std::optional<int> nPort = ReadPortNumber(holder, registry, modem->strInstancePath)) {
                m_nModemPort = *nPort;
                m_strPortLabel.Set("Modem port:");
                m_strStatus.Set("Setting using Modem port.");
            }
        }

        const std::optional<CServiceInstance> diag = SearchServices(holder, registry, kDiagServices);
        if (!diag)
            return 0;
        holder.Release();
        if (diag->nCount == 0)
            return 1;
        const std::optional<int> nPort = ReadPortNumber(holder, registry, diag->strInstancePath);
        if (!nPort)
            return 0;
        m_nSecondPort = *nPort;
        return 1;
    } catch (const std::bad_alloc&) {
        // Out of memory while building a path or a value's text: the holder has closed its key on
        // the way out; the monitor just sees a failed search and tries again on its next pass.
        return 0;
    }
}

// The AT port, the fallback when no diagnostic port turns up; 1 whenever an AT driver lists an
// instance, even when its port name cannot be read.
int CMainDlg::FindAtPort()
{
    IRegistry& registry = Registry();
    int nResult = 0;
    try {
        RegKeyHolder holder(registry);
        const std::optional<CServiceInstance> at = SearchServices(holder, registry, kAtServices);
        if (!at)
            return 0;
        holder.Release();
        nResult = 1;
        if (at->nCount != 0) {
            if (const std::optional<int> nPort = ReadPortNumber(holder, registry, at->strInstancePath)) {
                m_nModemPort = *nPort;
                m_strPortLabel.Set("AT port:");
                m_strStatus.Set("Setting using AT port.");
            }
        }
        return 1;
    } catch (const std::bad_alloc&) {
        return nResult;
    }
}
