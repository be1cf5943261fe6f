#pragma once
// What finishing on the result keeps of a reply to the command just sent: the shortest prefix of
// its bytes that holds the command's final result, or all the bytes when none does. A final result
// line ends with LF, so only prefixes ending there count.
#include <string>

#include "serial/CardReply.h"

inline std::string FinalResultPrefix(const std::string& strBytes, const std::string& strCommand,
                                     const CReplyContext& ctx = {})
{
    for (size_t n = strBytes.find('\n'); n != std::string::npos; n = strBytes.find('\n', n + 1)) {
        const std::string strPrefix = strBytes.substr(0, n + 1);
        if (ParseCardReply(strPrefix, strCommand, ctx).Answered())
            return strPrefix;
    }
    return strBytes;
}

// Whether finishing on the result and the settle rule must agree on a reply: the settle rule reads
// the reply text (its first 256 bytes, up to a NUL) from the first byte, the fast exchange from this
// command's reply on; they see the same answer when neither found stale bytes, or when the reply text
// holds all that the fast exchange kept. (An echo of the command after the final result makes the
// settle rule, which still reads it, take everything before it as stale: the fast exchange has ended.)
inline bool SameAnswerExpected(const std::string& strBytes, const std::string& strCommand)
{
    const std::string strPrefix = FinalResultPrefix(strBytes, strCommand);
    return (ParseCardReply(strPrefix, strCommand).nReplyStart == 0 &&
            ParseCardReply(CutReply(strBytes), strCommand).nReplyStart == 0) ||
           (CutReply(strBytes).size() == strBytes.size() && strPrefix.size() == strBytes.size());
}
