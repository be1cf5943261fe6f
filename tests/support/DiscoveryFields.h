#pragma once
// The dialog fields that discovery writes, compared as one value; tests start them at kUntouched,
// values discovery never writes.
#include <ostream>
#include <string>

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

} // namespace discovery_test
