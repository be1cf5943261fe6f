#pragma once
// What finishing on the result keeps of a reply: the shortest prefix of the reply's text (cut as the
// channel cuts it) that holds a final result line, or the whole text when none does.
#include <string>

#include "serial/AtChannel.h"

inline std::string FinalResultPrefix(const std::string& strBytes, const std::string& strCommand)
{
    const std::string strText = CutReply(strBytes);
    for (size_t n = 0; n < strText.size(); ++n) {
        if (HasFinalResult(strText.substr(0, n), strCommand))
            return strText.substr(0, n);
    }
    return strText;
}
