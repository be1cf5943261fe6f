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

// Fresh strings (swapped in, not assigned): a store into the state must allocate as it would
// the first time, not reuse the capacity of an earlier text.
inline void Seed(CPortMonitor& monitor, const Fields& f)
{
    monitor.UpdateState([&](CPortState& state) {
        state.m_nModemPort = f.nModemPort;
        state.m_nSecondPort = f.nSecondPort;
        std::string(f.strLabel).swap(state.m_strPortLabel);
        std::string(f.strStatus).swap(state.m_strStatus);
    });
}

inline Fields FieldsOf(const CPortMonitor& monitor)
{
    const CPortState state = monitor.State();
    return {state.m_nModemPort, state.m_nSecondPort, state.m_strPortLabel, state.m_strStatus};
}

} // namespace discovery_test
