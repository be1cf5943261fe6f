// The card's model and IMEI as read from its answer lines.
#include <gtest/gtest.h>

#include "commands/CardIdentity.h"
#include "serial/CardReply.h"

namespace {

TEST(CardIdentityTest, ReadsModelAndImeiAnswers)
{
    const struct {
        std::optional<std::string> (*parse)(const std::string&);
        const char* pszAnswer;
        std::optional<std::string> strValue;
    } kCases[] = {
        {ModelOfAnswer, "R2280-Y", "R2280-Y"},
        {ModelOfAnswer, "+CGMM: E1750 ", "E1750"},
        {ModelOfAnswer, "ERROR", std::nullopt},
        {ModelOfAnswer, "+CME ERROR: 4", std::nullopt},
        {ModelOfAnswer, "OK", std::nullopt},
        {ModelOfAnswer, "  ", std::nullopt},
        {ModelOfAnswer, "R22\x1b[2J", std::nullopt},
        {ImeiOfAnswer, "356938035643809", "356938035643809"},
        {ImeiOfAnswer, "+CGSN: 35693803564380", "35693803564380"},
        {ImeiOfAnswer, "+cgsn:3569380356438091", "3569380356438091"},
        {ImeiOfAnswer, "35693803564380912", "35693803564380912"},
        {ImeiOfAnswer, "3569380356438", std::nullopt},        // 13 digits
        {ImeiOfAnswer, "356938035643809123", std::nullopt},   // 18 digits
        {ImeiOfAnswer, "35693803564380X", std::nullopt},
        {ImeiOfAnswer, "ERROR", std::nullopt},
        {ImeiOfAnswer, "+CGSN: ", std::nullopt},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(c.parse(c.pszAnswer), c.strValue) << c.pszAnswer;
}

// A line spoilt by a NUL or a stray byte costs that line only; the placeholder "error" never
// becomes a model, and a value that is missing says why.
TEST(CardIdentityTest, ReadsTheValueFromTheReplysOtherLines)
{
    using namespace std::string_literals;
    const struct {
        std::string strReply;
        std::optional<std::string> (*parse)(const std::string&);
        std::optional<std::string> strValue;
        const char* pszUnknown;
    } kCases[] = {
        {"AT+CGMM\r\r\nAB\0CD\r\n\r\nR2280-Y\r\n\r\nOK\r\n"s, ModelOfAnswer, "R2280-Y", ""},
        {"AT+CGMM\r\r\nR22\x1b[2J\r\n\r\nOK\r\n"s, ModelOfAnswer, std::nullopt, "its line held a control byte"},
        {"AT+CGMM\r\r\nAB\0CD\r\n\r\nOK\r\n"s, ModelOfAnswer, std::nullopt, "its line held a control byte"},
        {"AT+CGMM\r\r\nERROR\r\n"s, ModelOfAnswer, std::nullopt, "the card answered ERROR"},
        {"AT+CGMM\r\r\nR2280-Y\r\n"s, ModelOfAnswer, std::nullopt, "no answer"},
        {"AT+CGSN\r\r\n\x00" "356938035643809\r\n\r\nOK\r\n"s, ImeiOfAnswer, std::nullopt, "its line held a control byte"},
        {"AT+CGSN\r\r\nX\0\r\n\r\n356938035643809\r\n\r\nOK\r\n"s, ImeiOfAnswer, "356938035643809", ""},
        {"AT+CGSN\r\r\n\r\nOK\r\n"s, ImeiOfAnswer, std::nullopt, "the answer names none"},
    };
    for (const auto& c : kCases) {
        CExchange exchange;
        exchange.strCommand = c.parse == ModelOfAnswer ? "AT+CGMM" : "AT+CGSN";
        exchange.reply = ParseCardReply(c.strReply, exchange.strCommand);
        const CIdentityReading reading = ReadIdentityLine(exchange, c.parse);
        EXPECT_EQ(reading.strValue, c.strValue) << c.strReply;
        EXPECT_EQ(reading.strUnknown, c.pszUnknown) << c.strReply;
    }
}

} // namespace
