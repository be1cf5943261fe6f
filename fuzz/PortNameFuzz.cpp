// ParsePortName over any port device name: the first three characters are dropped and the rest is
// read as a base-10 number the way strtoll reads it; a number outside 32 bits gives nothing.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "discovery/PortDiscovery.h"

namespace {

// The C library's reading of the same text. The registry's value ends at its first NUL anyway, so
// stopping there (as strtoll does) is what the port name means.
std::optional<int> ExpectedPort(const std::string& strName)
{
    if (strName.size() <= 3)
        return 0;
    const std::string strRest = strName.substr(3);
    errno = 0;
    const long long nValue = std::strtoll(strRest.c_str(), nullptr, 10);
    if (errno == ERANGE || nValue < INT32_MIN || nValue > INT32_MAX)
        return std::nullopt;
    return static_cast<int>(nValue);
}

std::string Show(const std::optional<int>& nPort)
{
    return nPort ? std::to_string(*nPort) : std::string("nothing");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    const std::string strName(reinterpret_cast<const char*>(pData), nSize);
    const std::optional<int> nPort = ParsePortName(strName);
    const std::optional<int> nWant = ExpectedPort(strName);
    if (nPort != nWant) {
        std::fprintf(stderr, "port name of %zu bytes: got %s, want %s\n", nSize, Show(nPort).c_str(),
                     Show(nWant).c_str());
        std::abort();
    }
    return 0;
}
