#include "platform/System.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr unsigned short kLangEnglishUs = 1033;
constexpr unsigned short kLangChinesePrc = 2052;

// The locale that decides the language: LC_ALL overrides LANG, as for every other category.
const char* EffectiveLocale()
{
    const char* szAll = std::getenv("LC_ALL");
    if (szAll && *szAll)
        return szAll;
    const char* szLang = std::getenv("LANG");
    return szLang ? szLang : "";
}

// The current directory, or "" when it cannot be read (removed, or a component not searchable).
std::string CurrentDirectory()
{
    std::vector<char> buffer(256);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()))
            return buffer.data();
        if (errno != ERANGE || buffer.size() > (1u << 20))
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace

unsigned short GetSystemDefaultLanguage()
{
    return std::strncmp(EffectiveLocale(), "zh_CN", 5) == 0 ? kLangChinesePrc : kLangEnglishUs;
}

unsigned CaptureWorkingDirectory(char* szBuffer, unsigned nRequested)
{
    const std::string strDir = CurrentDirectory();
    if (strDir.empty())
        return 0;
    const unsigned nNeeded = static_cast<unsigned>(strDir.size()) + 1;
    if (nNeeded > nRequested)
        return nNeeded;
    std::memcpy(szBuffer, strDir.c_str(), nNeeded);
    return nNeeded - 1;
}

void ExitProcessNow(int nStatus)
{
    std::exit(nStatus);
}
