#include "discovery/Slot.h"

#include <optional>
#include <vector>

namespace {

bool IsDigits(const std::string& str)
{
    return !str.empty() && str.find_first_not_of("0123456789") == std::string::npos;
}

// A field of decimal digits without its leading zeros ("016" -> "16", "0000" -> "0"); nothing
// when it is not digits or too long to be a port or bus number.
std::optional<std::string> Number(const std::string& str)
{
    if (!IsDigits(str) || str.size() > 8)
        return std::nullopt;
    const size_t nFirst = str.find_first_not_of('0');
    return nFirst == std::string::npos ? std::string("0") : str.substr(nFirst);
}

std::vector<std::string> Split(const std::string& str, char cSeparator)
{
    std::vector<std::string> fields;
    size_t nStart = 0;
    for (size_t nPos = str.find(cSeparator); nPos != std::string::npos; nPos = str.find(cSeparator, nStart)) {
        fields.push_back(str.substr(nStart, nPos - nStart));
        nStart = nPos + 1;
    }
    fields.push_back(str.substr(nStart));
    return fields;
}

// "Port_#0003" with strKey "Port_#": "3"; nothing when it is not that key and digits.
std::optional<std::string> KeyedNumber(const std::string& strField, const std::string& strKey)
{
    if (!strField.starts_with(strKey))
        return std::nullopt;
    return Number(strField.substr(strKey.size()));
}

} // namespace

std::string SlotOfUsbName(const std::string& strSysName)
{
    const size_t nDash = strSysName.find('-');
    if (nDash == std::string::npos || !IsDigits(strSysName.substr(0, nDash)))
        return {};
    for (const std::string& strPort : Split(strSysName.substr(nDash + 1), '.')) {
        if (!IsDigits(strPort))
            return {};
    }
    return strSysName;
}

std::string SlotOfTopologyAddress(const std::string& strLocation)
{
    const std::vector<std::string> fields = Split(strLocation, '.');
    if (fields.size() != 9)
        return {};
    std::vector<std::string> numbers;
    for (const std::string& strField : fields) {
        const std::optional<std::string> strNumber = Number(strField);
        if (!strNumber)
            return {};
        numbers.push_back(*strNumber);
    }
    if (numbers[3] == "0")
        return {};   // no root port: not a USB device's address
    std::string strSlot = numbers[0] + ":" + numbers[1] + "." + numbers[2] + "-" + numbers[3];
    bool bEnded = false;
    for (size_t n = 4; n < numbers.size(); ++n) {
        if (numbers[n] == "0") {
            bEnded = true;
        } else if (bEnded) {
            return {};   // a hub port below a level that has none
        } else {
            strSlot += "." + numbers[n];
        }
    }
    return strSlot;
}

std::string SlotOfHubPort(const std::string& strLocation)
{
    const std::vector<std::string> fields = Split(strLocation, '.');
    if (fields.size() != 2)
        return {};
    const std::optional<std::string> strPort = KeyedNumber(fields[0], "Port_#");
    const std::optional<std::string> strHub = KeyedNumber(fields[1], "Hub_#");
    if (!strPort || !strHub || *strPort == "0")
        return {};
    return "hub" + *strHub + "-" + *strPort;
}
