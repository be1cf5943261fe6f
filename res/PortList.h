#pragma once
#include <string>
#include <vector>

// The entries of the main window's port list, in the order they are added. The list is not
// sorted, so an entry's index is its Port number: "NULL" at 0, "COM 1" to "COM 99" with one space,
// "COM100" to "COM256" without.
inline std::vector<std::string> PortListEntries()
{
    std::vector<std::string> entries{"NULL"};
    for (int n = 1; n <= 256; ++n)
        entries.push_back((n < 100 ? "COM " : "COM") + std::to_string(n));
    return entries;
}
