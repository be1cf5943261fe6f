#include "cli/OpenWatch.h"

#include <algorithm>

int CDeviceOpenCounts::Watch(const std::string& strDevice)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const int nWatch = m_source ? m_source->Watch(strDevice) : -1;
    if (nWatch >= 0)
        ++m_counts[nWatch].nUsers;
    return nWatch;
}

void CDeviceOpenCounts::EndWatch(int nWatch)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_counts.find(nWatch);
    if (it == m_counts.end() || --it->second.nUsers > 0)
        return;
    m_counts.erase(it);
    m_source->EndWatch(nWatch);
}

std::optional<unsigned long> CDeviceOpenCounts::OpensNow(int nWatch)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_source)
        return std::nullopt;
    for (const CDeviceOpenReport& report : m_source->Read()) {
        if (report.nWatch == -1) {
            for (auto& entry : m_counts)
                entry.second.bWhole = false;
            continue;
        }
        const auto it = m_counts.find(report.nWatch);
        if (it == m_counts.end())
            continue;   // a watch that has ended meanwhile
        if (report.bOpened)
            ++it->second.nOpens;
        else
            it->second.bWhole = false;
    }
    const auto it = m_counts.find(nWatch);
    if (it == m_counts.end() || !it->second.bWhole)
        return std::nullopt;
    return it->second.nOpens;
}

CRunOpenWatch::CRunOpenWatch(CDeviceOpenCounts& counts, const std::vector<std::string>& devices) : m_counts(counts)
{
    for (const std::string& strDevice : devices) {
        CPortWatch port{strDevice, m_counts.Watch(strDevice)};
        const std::optional<unsigned long> nOpens = m_counts.OpensNow(port.nWatch);
        port.bFirst = std::none_of(m_ports.begin(), m_ports.end(),
                                   [&](const CPortWatch& other) { return other.nWatch == port.nWatch; });
        port.nBefore = nOpens.value_or(0);
        m_bTells = m_bTells && nOpens;
        m_ports.push_back(std::move(port));
    }
}

CRunOpenWatch::~CRunOpenWatch()
{
    for (const CPortWatch& port : m_ports)
        m_counts.EndWatch(port.nWatch);
}

bool CRunOpenWatch::OwnOpen(const std::string& strDevice, const std::function<bool()>& open)
{
    const auto it = std::find_if(m_ports.begin(), m_ports.end(),
                                 [&](const CPortWatch& port) { return port.strDevice == strDevice; });
    const int nWatch = it == m_ports.end() ? -1 : it->nWatch;
    const std::optional<unsigned long> nBefore = m_counts.OpensNow(nWatch);
    const bool bOpened = open();
    const std::optional<unsigned long> nAfter = m_counts.OpensNow(nWatch);
    // A failed open may still have opened the node before it gave up (the lock was taken): it is
    // not told apart from another's. Reports not yet read that are alike are merged into one, so
    // another program's open within this call's microseconds goes unseen; once the call has set
    // the exclusive flag, only root's can succeed.
    m_bTells = m_bTells && nBefore && nAfter && *nAfter - *nBefore == (bOpened ? 1u : 0u);
    m_nOwnOpens += bOpened ? 1 : 0;
    return bOpened;
}

bool CRunOpenWatch::OnlyOwnOpens()
{
    unsigned long nOpens = 0;
    for (const CPortWatch& port : m_ports) {
        const std::optional<unsigned long> nNow = m_counts.OpensNow(port.nWatch);
        if (!nNow)
            return false;
        nOpens += port.bFirst ? *nNow - port.nBefore : 0;
    }
    return m_bTells && nOpens == m_nOwnOpens;
}
