#include "history/HistoryStore.h"

#include <cstdio>
#include <random>

std::string UtcText(std::chrono::system_clock::time_point when)
{
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(when);
    const auto day = floor<days>(ms);
    const year_month_day date(day);
    const hh_mm_ss<milliseconds> time(ms - day);
    char sz[40];
    std::snprintf(sz, sizeof sz, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                  static_cast<int>(time.subseconds().count()));
    return sz;
}

std::string NewRecordId()
{
    // One generator per thread, seeded once from the system's entropy: records made at the same
    // time by several processes or threads never share an id.
    thread_local std::mt19937_64 random([] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }());
    unsigned char bytes[16];
    for (size_t n = 0; n < sizeof bytes; n += 8) {
        const uint64_t nBits = random();
        for (size_t m = 0; m < 8; ++m)
            bytes[n + m] = static_cast<unsigned char>(nBits >> (8 * m));
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);   // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);   // the RFC 4122 variant
    std::string str;
    char szByte[3];
    for (size_t n = 0; n < sizeof bytes; ++n) {
        std::snprintf(szByte, sizeof szByte, "%02x", bytes[n]);
        str += szByte;
        if (n == 3 || n == 5 || n == 7 || n == 9)
            str += '-';
    }
    return str;
}

bool IsServerAddress(const std::string& strStore)
{
    return strStore.starts_with("postgresql://") || strStore.starts_with("postgres://");
}

std::string ColumnList()
{
    std::string str;
    for (const CHistoryField& field : kHistoryFields)
        str += (str.empty() ? "\"" : ", \"") + std::string(field.pszName) + "\"";
    return str;
}

std::string QueryTail(const CHistoryFilter& filter, std::string (*placeholder)(size_t), std::vector<std::string>& params)
{
    std::vector<std::string> conditions;
    const auto add = [&](const char* pszCondition, const std::string& strValue) {
        std::string str = pszCondition;
        for (size_t nAt = str.find('#'); nAt != std::string::npos; nAt = str.find('#')) {
            params.push_back(strValue);
            str.replace(nAt, 1, placeholder(params.size()));
        }
        conditions.push_back(str);
    };
    if (!filter.strImei.empty())
        add("\"imei\" = #", filter.strImei);
    if (!filter.strSlot.empty())
        add("(\"slot\" = # OR \"label\" = #)", filter.strSlot);   // a slot, or its bench label
    if (!filter.strStation.empty())
        add("\"station\" = #", filter.strStation);
    if (!filter.strCommand.empty())
        add("\"command\" = #", filter.strCommand);
    // A date alone is a whole day: since its first moment, until its last.
    const bool bSinceDate = filter.strSince.size() == 10, bUntilDate = filter.strUntil.size() == 10;
    if (!filter.strSince.empty())
        add("\"started\" >= #", bSinceDate ? filter.strSince + "T00:00:00.000Z" : filter.strSince);
    if (!filter.strUntil.empty())
        add("\"started\" <= #", bUntilDate ? filter.strUntil + "T23:59:59.999Z" : filter.strUntil);
    if (filter.strResult == "ok")
        conditions.push_back("\"status\" = 0");
    else if (filter.strResult == "failed")
        conditions.push_back("\"status\" <> 0");
    std::string str;
    for (const std::string& strCondition : conditions)
        str += (str.empty() ? " WHERE " : " AND ") + strCondition;
    str += " ORDER BY \"started\" DESC, \"record_id\" DESC";
    if (filter.nLimit)
        str += " LIMIT " + std::to_string(filter.nLimit);
    return str;
}
