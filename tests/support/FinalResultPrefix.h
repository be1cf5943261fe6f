#pragma once
// What finishing on the result keeps of a reply to the command just sent: the shortest prefix of
// its bytes that holds a final result line, cut as the channel cuts reply text, or the cut of all
// the bytes when none does. A final result line ends with LF, so only prefixes ending there count.
#include <string>

#include "serial/AtChannel.h"

inline std::string FinalResultPrefix(const std::string& strBytes, const std::string& strCommand)
{
    for (size_t n = strBytes.find('\n'); n != std::string::npos; n = strBytes.find('\n', n + 1)) {
        const std::string strPrefix = strBytes.substr(0, n + 1);
        if (HasFinalResult(strPrefix, strCommand))
            return CutReply(strPrefix);
    }
    return CutReply(strBytes);
}
