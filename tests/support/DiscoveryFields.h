#pragma once
// The port state that discovery writes, compared as one value; tests start it at kUntouched,
// values discovery never writes.
#include <ostream>
#include <string>

#include "app/PortMonitor.h"

namespace discovery_test {

struct Fields {
    int nModemPort;
    int nSecondPort;
    std::string strLabel;
    std::string strStatus;
    bool operator==(const Fields&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Fields& f)
{
    return os << "{" << f.nModemPort << ", " << f.nSecondPort << ", \"" << f.strLabel << "\", \"" << f.strStatus
              << "\"}";
}

inline const Fields kUntouched{41, 42, "old label", "old status"};

inline void Seed(CPortMonitor& monitor, const Fields& f)
{
    monitor.UpdateState([&](CPortState& state) {
        state.m_nModemPort = f.nModemPort;
        state.m_nSecondPort = f.nSecondPort;
        state.m_strPortLabel = f.strLabel;
        state.m_strStatus = f.strStatus;
    });
}

inline Fields FieldsOf(const CPortMonitor& monitor)
{
    const CPortState state = monitor.State();
    return {state.m_nModemPort, state.m_nSecondPort, state.m_strPortLabel, state.m_strStatus};
}

} // namespace discovery_test
