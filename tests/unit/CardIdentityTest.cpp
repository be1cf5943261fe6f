// The card's model and IMEI as read from its answer lines.
#include <gtest/gtest.h>

#include "commands/CardIdentity.h"

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

} // namespace
