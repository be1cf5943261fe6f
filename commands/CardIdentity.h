#pragma once
// Who a card is: its model (AT+CGMM) and IMEI (AT+CGSN), asked before a command's own sequence,
// since a card that switches modes leaves the bus after it.
#include <optional>
#include <string>
#include <vector>

#include "commands/Commands.h"

constexpr const char* kImeiQuery = "AT+CGSN";

struct CCardIdentity {
    std::optional<std::string> strModel;   // nothing: the card rejected the question or stayed silent
    std::optional<std::string> strImei;
    std::string strModelUnknown;           // why there is no model, when it was asked ("no answer")
    std::string strImeiUnknown;
    std::vector<CExchange> exchanges;      // the questions asked, in order
};

// Asks the model (kModelQuery), then the IMEI, one attempt each; each is known when the card's reply
// has the final result OK. The IMEI is not asked of a card that sent no final result to the model
// question (a silent card costs one answer wait, not four).
CCardIdentity ReadCardIdentity(CCommandContext& ctx);

// A value read from the information lines of a reply: the first line that parse accepts, so that a
// line spoilt by a NUL or a stray byte costs only itself; else nothing, and why.
struct CIdentityReading {
    std::optional<std::string> strValue;
    std::string strUnknown;
};
CIdentityReading ReadIdentityLine(const CExchange& exchange, std::optional<std::string> (*parse)(const std::string&));

// The model in an answer line: the line without an optional "+CGMM:" and surrounding spaces;
// nothing for an empty line, a final result (OK, ERROR, NO CARRIER, ...) or control bytes.
std::optional<std::string> ModelOfAnswer(const std::string& strAnswer);

// The IMEI in an answer line: 14 to 17 digits, optionally after "+CGSN:" and spaces; nothing else.
std::optional<std::string> ImeiOfAnswer(const std::string& strAnswer);
