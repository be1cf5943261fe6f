#include "history/ServerStore.h"

std::unique_ptr<IHistoryStore> ConnectServerStore(const std::string&, std::string& strError, int)
{
    strError = "this vostrel-cli has no PostgreSQL client: `vostrel-cli history export` writes the records for "
               "`vostrel-cli history import` on a host that reaches the server";
    return nullptr;
}

std::string ServerAddressShown(const std::string& strAddress)
{
    // Everything up to the host: a user:password@ part is left out.
    const size_t nScheme = strAddress.find("://");
    const size_t nAt = strAddress.rfind('@');
    if (nScheme == std::string::npos || nAt == std::string::npos || nAt < nScheme)
        return strAddress;
    return strAddress.substr(0, nScheme + 3) + strAddress.substr(nAt + 1);
}
