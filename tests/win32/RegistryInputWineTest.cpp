// FindModemPort over the real registry with the entries that the in-memory one cannot stand in
// for: strings that the ANSI calls convert from the registry's UTF-16, values stored without their
// terminator, key paths the registry parses itself (runs of backslashes, dots, key names over 255
// characters). Entries are written straight through the registry API and their subtrees deleted
// when each test ends.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/TestMainDlg.h"
#include "discovery/Registry.h"

namespace {

const std::string kServices = "SYSTEM\\CurrentControlSet\\Services\\";
const std::string kEnum = "SYSTEM\\CurrentControlSet\\Enum\\";
const std::string kModem = "YARLOusbmdm6k";
const std::string kDiag = "YARLOusbser6k";
// A device enumerator of our own, so that deleting the test's instances touches nothing else.
const std::string kEnumerator = "VOSTRELBADREG";
const std::string kModemInstance = kEnumerator + "\\MDM\\1";
const std::string kDiagInstance = kEnumerator + "\\DIAG\\1";

// Passes every call to the system registry and counts the keys left open.
class CCountingRegistry final : public IRegistry {
public:
    ERegOpen Open(const std::string& strPath, uint32_t nAccess, RegKey* pKey) override
    {
        const ERegOpen eOpen = SystemRegistry().Open(strPath, nAccess, pKey);
        m_nOpen += eOpen == ERegOpen::kOpened ? 1 : 0;
        return eOpen;
    }
    bool QueryValue(RegKey key, const std::string& strName, void* pData, uint32_t* pSize) override
    {
        return SystemRegistry().QueryValue(key, strName, pData, pSize);
    }
    bool EnumSubkey(RegKey key, uint32_t nIndex, std::string* pName) override
    {
        return SystemRegistry().EnumSubkey(key, nIndex, pName);
    }
    void CloseKey(RegKey key) override
    {
        SystemRegistry().CloseKey(key);
        --m_nOpen;
    }
    int m_nOpen = 0;
};

// Keys made by a test, deleted with their subtrees when it ends however it ends.
class CTestKeys {
public:
    ~CTestKeys()
    {
        for (const std::string& strTop : m_tops)
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, strTop.c_str());
    }

    // strTop's subtree becomes ours to delete; false when it existed before (someone else's).
    bool Claim(const std::string& strTop)
    {
        HKEY hKey = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, strTop.c_str(), 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
            RegCloseKey(hKey);
            return false;
        }
        m_tops.push_back(strTop);
        return true;
    }

    // Sets a value of any type to exactly these bytes; false when the key cannot be made.
    static bool Set(const std::string& strKey, const std::string& strName, DWORD dwType, const std::string& strBytes)
    {
        HKEY hKey = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, strKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                            nullptr) != ERROR_SUCCESS)
            return false;
        const LONG nResult = RegSetValueExA(hKey, strName.c_str(), 0, dwType,
                                            reinterpret_cast<const BYTE*>(strBytes.data()),
                                            static_cast<DWORD>(strBytes.size()));
        RegCloseKey(hKey);
        return nResult == ERROR_SUCCESS;
    }

    static bool SetSz(const std::string& strKey, const std::string& strName, const std::string& strText)
    {
        return Set(strKey, strName, REG_SZ, std::string(strText.c_str(), strText.size() + 1));
    }

    // The same through the UTF-16 calls, which take key paths that the ANSI ones refuse.
    static bool SetSzWide(const std::string& strKey, const std::string& strName, const std::string& strText)
    {
        const std::wstring wstrKey(strKey.begin(), strKey.end()), wstrName(strName.begin(), strName.end());
        const std::wstring wstrText(strText.begin(), strText.end());
        HKEY hKey = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, wstrKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                            nullptr) != ERROR_SUCCESS)
            return false;
        const LONG nResult = RegSetValueExW(hKey, wstrName.c_str(), 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(wstrText.c_str()),
                                            static_cast<DWORD>((wstrText.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(hKey);
        return nResult == ERROR_SUCCESS;
    }

private:
    std::vector<std::string> m_tops;
};

std::string Dword(uint32_t n)
{
    return std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                       static_cast<char>(n >> 24)};
}

std::string PortKey(const std::string& strInstance)
{
    return kEnum + strInstance + "\\Device Parameters";
}

class RegistryInputWineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const std::string& strTop : {kServices + kModem, kServices + kDiag, kEnum + kEnumerator})
            ASSERT_TRUE(m_keys.Claim(strTop)) << strTop << " exists here; not touching it";
        // The card: a modem driver on COM7 and a diagnostic driver on COM8.
        ASSERT_TRUE(CTestKeys::Set(kServices + kModem + "\\Enum", "Count", REG_DWORD, Dword(1)));
        ASSERT_TRUE(CTestKeys::SetSz(kServices + kModem + "\\Enum", "0", kModemInstance));
        ASSERT_TRUE(CTestKeys::SetSz(PortKey(kModemInstance), "PortName", "COM7"));
        ASSERT_TRUE(CTestKeys::Set(kServices + kDiag + "\\Enum", "Count", REG_DWORD, Dword(1)));
        ASSERT_TRUE(CTestKeys::SetSz(kServices + kDiag + "\\Enum", "0", kDiagInstance));
        ASSERT_TRUE(CTestKeys::SetSz(PortKey(kDiagInstance), "PortName", "COM8"));
    }

    // FindModemPort on a fresh dialog; the modem port it stored, nothing when it stored none.
    std::optional<int> ModemPortFound(int* pResult)
    {
        CMonitorGate gate;
        CPortMonitor monitor(SystemClock(), m_registry, gate);
        *pResult = monitor.FindModemPort();
        EXPECT_EQ(m_registry.m_nOpen, 0);
        const CPortState state = monitor.State();
        if (state.m_strStatus != "Setting using Modem port.")
            return std::nullopt;
        return state.m_nModemPort;
    }

    CCountingRegistry m_registry;
    CTestKeys m_keys;
};

// Strings through RegQueryValueExA: the registry keeps REG_SZ as UTF-16 and hands out its ANSI
// form, whose size is what must fit in the 1024-byte buffer; a value stored without a terminator
// is read up to its size; other types come back as stored.
TEST_F(RegistryInputWineTest, PortNameValuesAsTheRealRegistryReturnsThem)
{
    const auto padded = [](const std::string& strHead, size_t nSize) {
        return strHead + std::string(nSize - strHead.size(), 'x');
    };
    const struct {
        const char* name;
        DWORD dwType;
        std::string strBytes;
        std::optional<int> nPort;
    } kCases[] = {
        {"1023 with NUL", REG_SZ, padded("COM15", 1022) + '\0', 15},
        {"1024 with NUL", REG_SZ, padded("COM15", 1023) + '\0', 15},
        {"1025 with NUL", REG_SZ, padded("COM15", 1024) + '\0', std::nullopt},
        {"1023 without NUL", REG_SZ, padded("COM15", 1023), 15},
        {"1024 without NUL", REG_SZ, padded("COM15", 1024), std::nullopt},
        {"1025 without NUL", REG_SZ, padded("COM15", 1025), std::nullopt},
        {"short without NUL", REG_SZ, "COM16", 16},
        {"NUL inside", REG_SZ, std::string("COM17\0COM99", 11) + '\0', 17},
        {"multi-string", REG_MULTI_SZ, std::string("COM18\0COM19\0\0", 13), 18},
        {"binary", REG_BINARY, "COM19", 19},
        {"lower case", REG_SZ, std::string("com20", 6), 20},
        {"expandable", REG_EXPAND_SZ, std::string("COM%N%\0", 7), 0},   // not expanded: no digit
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(CTestKeys::Set(PortKey(kModemInstance), "PortName", c.dwType, c.strBytes));
        int nResult = -1;
        const std::optional<int> nPort = ModemPortFound(&nResult);
        EXPECT_EQ(nResult, 1);
        EXPECT_EQ(nPort, c.nPort);
    }
}

// "Count" of other types and sizes: the first four bytes of what RegQueryValueExA returns.
TEST_F(RegistryInputWineTest, CountOfOtherTypes)
{
    const struct {
        const char* name;
        DWORD dwType;
        std::string strBytes;
        const char* pszValueName;   // where the instance path is put
        std::optional<int> nPort;
        int nResult;
    } kCases[] = {
        {"binary, 2 bytes", REG_BINARY, std::string("\x01\x00", 2), "0", 7, 1},
        {"binary, 8 bytes", REG_BINARY, Dword(1) + Dword(0), "0", std::nullopt, 0},   // unread: the search ends
        {"empty", REG_BINARY, "", "-1", std::nullopt, 1},   // Count 0: found, no port is read
        {"string \"1\"", REG_SZ, std::string("1\0", 2), "48", 7, 1},
        {"all ones", REG_DWORD, Dword(0xFFFFFFFFu), "-2", 7, 1},
        {"top bit", REG_DWORD, Dword(0x80000000u), "2147483647", 7, 1},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, (kServices + kModem + "\\Enum").c_str());
        ASSERT_TRUE(CTestKeys::Set(kServices + kModem + "\\Enum", "Count", c.dwType, c.strBytes));
        ASSERT_TRUE(CTestKeys::SetSz(kServices + kModem + "\\Enum", c.pszValueName, kModemInstance));
        int nResult = -1;
        EXPECT_EQ(ModemPortFound(&nResult), c.nPort);
        EXPECT_EQ(nResult, c.nResult);
    }
}

// A path of nLength characters under our enumerator, in names of at most 200 characters.
std::string LongInstance(size_t nLength)
{
    std::string str = kEnumerator;
    while (str.size() < nLength) {
        str += '\\';
        str += std::string(std::min<size_t>(200, nLength - str.size()), static_cast<char>('a' + str.size() % 26));
    }
    return str.substr(0, nLength);
}

// Instance paths as the registry parses them. Unlike the in-memory registry, which takes every
// path literally, the real one merges runs of backslashes between names, so a doubled, leading or
// trailing backslash still reaches the instance; "." and ".." are ordinary names and lead nowhere
// else. The ANSI open takes at most 260 characters of key path (the port key's path is the
// instance path and 48 more): a longer one fails although the key exists, as does a key name of
// 300 characters. Every outcome is the plain found or not found, and no key stays open.
TEST_F(RegistryInputWineTest, InstancePathsAsTheRealRegistryParsesThem)
{
    const std::string strFits = LongInstance(260 - 48), strOver = LongInstance(261 - 48), strLong = LongInstance(1000);
    const std::string strLongName = kEnumerator + "\\" + std::string(300, 'n');
    ASSERT_TRUE(CTestKeys::SetSzWide(PortKey(strFits), "PortName", "COM21"));
    ASSERT_TRUE(CTestKeys::SetSzWide(PortKey(strOver), "PortName", "COM22"));
    ASSERT_TRUE(CTestKeys::SetSzWide(PortKey(strLong), "PortName", "COM23"));
    // Where "..\\Services\\YARLOusbmdm6k" would lead if ".." climbed.
    ASSERT_TRUE(CTestKeys::SetSz(kServices + kModem + "\\Device Parameters", "PortName", "COM66"));
    const struct {
        const char* name;
        std::string strInstance;
        std::optional<int> nPort;
    } kCases[] = {
        {"doubled", kEnumerator + "\\\\MDM\\1", 7},
        {"leading", "\\" + kModemInstance, 7},
        {"trailing", kModemInstance + "\\", 7},
        {"dot", kEnumerator + "\\.\\MDM\\1", std::nullopt},
        {"dot dot", kEnumerator + "\\MDM\\..\\MDM\\1", std::nullopt},
        {"climbing out", "..\\Services\\" + kModem, std::nullopt},
        {"path of 260 characters", strFits, 21},
        {"path of 261 characters", strOver, std::nullopt},
        {"1000 characters", strLong, std::nullopt},
        {"name of 300 characters", strLongName, std::nullopt},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(CTestKeys::SetSz(kServices + kModem + "\\Enum", "0", c.strInstance));
        int nResult = -1;
        EXPECT_EQ(ModemPortFound(&nResult), c.nPort);
        EXPECT_EQ(nResult, 1);
    }
}

}  // namespace
