// The Win32 IRegistry (RegOpenKeyExA, RegQueryValueExA, RegCloseKey on HKEY_LOCAL_MACHINE) and
// FindModemPort over it. Entries are made with the system's own reg.exe, as an installer or a test
// harness would, and removed again when each test ends.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/TestMainDlg.h"
#include "cli/CliPlatform.h"
#include "discovery/Registry.h"

namespace {

const char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";
const char kEnumKey[] = "SYSTEM\\CurrentControlSet\\Enum\\";
// A device enumerator of our own, so that removing the test's instances touches nothing else.
const char kTestEnumerator[] = "VOSTRELTEST";

// Runs "reg ARGS" and waits (bounded) for it; its exit code, or -1 when it could not run or hung.
int RunReg(const std::string& strArgs)
{
    std::string strCommand = "reg " + strArgs;
    std::vector<char> commandLine(strCommand.begin(), strCommand.end());
    commandLine.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process))
        return -1;
    DWORD dwExit = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &dwExit);
    else
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(dwExit);
}

std::string Hklm(const std::string& strPath)
{
    return "\"HKLM\\" + strPath + "\"";
}

bool KeyExists(const std::string& strPath)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, strPath.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

// The keys a test made, deleted (with everything below them) when the test ends however it ends.
class CRegEntries {
public:
    ~CRegEntries()
    {
        for (auto it = m_made.rbegin(); it != m_made.rend(); ++it)
            RunReg("delete " + Hklm(*it) + " /f");
    }

    // Makes strTop's subtree ours to delete; false when it existed before (someone else's).
    bool Claim(const std::string& strTop)
    {
        if (KeyExists(strTop))
            return false;
        m_made.push_back(strTop);
        return true;
    }

    static void Add(const std::string& strKey, const std::string& strName, const char* pszType,
                    const std::string& strData)
    {
        ASSERT_EQ(RunReg("add " + Hklm(strKey) + " /v " + strName + " /t " + pszType + " /d " + strData + " /f"), 0)
            << strKey << " " << strName;
    }

private:
    std::vector<std::string> m_made;
};

// A driver service listing one instance of our enumerator, whose port device is strPortName.
void AddDriver(CRegEntries& entries, const std::string& strService, const std::string& strPortName)
{
    ASSERT_TRUE(entries.Claim(kServicesKey + strService)) << strService << " is installed here; not touching it";
    const std::string strInstance = std::string(kTestEnumerator) + "\\" + strService + "\\1&0&0";
    CRegEntries::Add(kServicesKey + strService + "\\Enum", "Count", "REG_DWORD", "1");
    CRegEntries::Add(kServicesKey + strService + "\\Enum", "0", "REG_SZ", strInstance);
    CRegEntries::Add(kEnumKey + strInstance + "\\Device Parameters", "PortName", "REG_SZ", strPortName);
}

std::string TestPortKey(const std::string& strService)
{
    return kEnumKey + std::string(kTestEnumerator) + "\\" + strService + "\\1&0&0\\Device Parameters";
}

// Lets everyone read the key and delete it, nothing more, as Windows' device tree refuses write
// access to administrators too. Wine enforces a key's DACL while the prefix's wineserver runs.
bool MakeKeyReadOnly(const std::string& strPath)
{
    PSECURITY_DESCRIPTOR pDescriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;KRSD;;;WD)", SDDL_REVISION_1, &pDescriptor, nullptr))
        return false;
    HKEY hKey = nullptr;
    LONG nResult = RegOpenKeyExA(HKEY_LOCAL_MACHINE, strPath.c_str(), 0, WRITE_DAC, &hKey);
    if (nResult == ERROR_SUCCESS) {
        nResult = RegSetKeySecurity(hKey, DACL_SECURITY_INFORMATION, pDescriptor);
        RegCloseKey(hKey);
    }
    LocalFree(pDescriptor);
    return nResult == ERROR_SUCCESS;
}

const std::string kTestKey = std::string(kServicesKey) + "VostrelRegistryTest\\Enum";

class Win32RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_entries.Claim(std::string(kServicesKey) + "VostrelRegistryTest"));
        CRegEntries::Add(kTestKey, "Count", "REG_DWORD", "3");
        CRegEntries::Add(kTestKey, "2", "REG_SZ", "USB\\VID_19D2&PID_0001\\5&1");
        CRegEntries::Add(kTestKey, "Short", "REG_BINARY", "0501");
        CRegEntries::Add(kTestKey, "Long", "REG_BINARY", "0102030405060708");
    }

    IRegistry& m_registry = SystemRegistry();
    CRegEntries m_entries;
};

// OpenKey: HKLM paths, case-insensitive, KEY_ALL_ACCESS; a missing key fails.
TEST_F(Win32RegistryTest, OpenKeyByPath)
{
    RegKey key = 0;
    ASSERT_TRUE(m_registry.OpenKey(kTestKey, kKeyAllAccess, &key));
    EXPECT_NE(key, 0u);
    m_registry.CloseKey(key);

    ASSERT_TRUE(m_registry.OpenKey("system\\currentcontrolset\\services\\VOSTRELREGISTRYTEST\\enum", kKeyAllAccess, &key));
    m_registry.CloseKey(key);

    key = 0;
    EXPECT_FALSE(m_registry.OpenKey(kTestKey + "\\Missing", kKeyAllAccess, &key));
    EXPECT_EQ(key, 0u);
}

// QueryValue: a DWORD into 4 bytes; a string with its NUL; a value larger than the buffer fails and
// reports the size it needs; a shorter one fills only its own bytes; a missing one fails.
TEST_F(Win32RegistryTest, QueryValueLikeRegQueryValueExA)
{
    RegKey key = 0;
    ASSERT_TRUE(m_registry.OpenKey(kTestKey, kKeyAllAccess, &key));

    uint32_t nValue = 0, nSize = 4;
    EXPECT_TRUE(m_registry.QueryValue(key, "count", &nValue, &nSize));
    EXPECT_EQ(nValue, 3u);

    char sz[1024] = {};
    nSize = sizeof(sz);
    EXPECT_TRUE(m_registry.QueryValue(key, "2", sz, &nSize));
    EXPECT_STREQ(sz, "USB\\VID_19D2&PID_0001\\5&1");
    EXPECT_EQ(nSize, std::strlen(sz) + 1);

    nValue = 0;
    nSize = 4;
    EXPECT_TRUE(m_registry.QueryValue(key, "Short", &nValue, &nSize));
    EXPECT_EQ(nSize, 2u);
    EXPECT_EQ(nValue, 0x0105u);

    nSize = 4;
    EXPECT_FALSE(m_registry.QueryValue(key, "Long", &nValue, &nSize));
    EXPECT_EQ(nSize, 8u);

    nSize = 4;
    EXPECT_FALSE(m_registry.QueryValue(key, "1", &nValue, &nSize));
    m_registry.CloseKey(key);
}

// EnumSubkey: the key's subkeys by index, names as written; past the last one it fails.
TEST_F(Win32RegistryTest, EnumSubkeyLikeRegEnumKeyExA)
{
    CRegEntries::Add(kTestKey + "\\Device_A", "ParentIdPrefix", "REG_SZ", "7&C0&0");
    CRegEntries::Add(kTestKey + "\\Device_B", "ParentIdPrefix", "REG_SZ", "7&C1&0");
    RegKey key = 0;
    ASSERT_TRUE(m_registry.OpenKey(kTestKey, kKeyRead, &key));
    std::vector<std::string> names;
    std::string strName;
    for (uint32_t n = 0; n < 10 && m_registry.EnumSubkey(key, n, &strName); ++n)
        names.push_back(strName);
    m_registry.CloseKey(key);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Device_A", "Device_B"}));
}

// FindModemPort over the real registry: the modem and diagnostic drivers' ports reach the port
// state, also through keys that refuse write access; when the drivers' entries go, the result
// drops to 0 and the state stays.
TEST(Win32DiscoveryTest, FindModemPortReadsDriverEntries)
{
    CMonitorGate gate;
    CPortMonitor monitor(SystemClock(), SystemRegistry(), gate);
    {
        CRegEntries entries;
        ASSERT_TRUE(entries.Claim(std::string(kEnumKey) + kTestEnumerator));
        AddDriver(entries, "YARLOusbmdm6k", "COM5");
        AddDriver(entries, "YARLOusbser6k", "COM6");
        if (HasFatalFailure())
            return;

        EXPECT_EQ(monitor.FindModemPort(), 1);
        EXPECT_EQ(monitor.State().m_nModemPort, 5);
        EXPECT_EQ(monitor.State().m_nSecondPort, 6);
        EXPECT_EQ(monitor.State().m_strPortLabel, "Modem port:");
        EXPECT_EQ(monitor.State().m_strStatus, "Setting using Modem port.");

        // Keys that refuse write access: the window reads them instead, and the command line, which
        // only ever asks to read, takes the port the window takes.
        for (const std::string& strKey : {std::string(kServicesKey) + "YARLOusbmdm6k\\Enum", TestPortKey("YARLOusbmdm6k"),
                                          TestPortKey("YARLOusbser6k")})
            ASSERT_TRUE(MakeKeyReadOnly(strKey)) << strKey;
        HKEY hKey = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestPortKey("YARLOusbmdm6k").c_str(), 0, KEY_ALL_ACCESS, &hKey),
                  ERROR_ACCESS_DENIED);
        EXPECT_EQ(monitor.FindModemPort(), 1);
        EXPECT_EQ(WindowChoiceOfPort(), std::optional<std::string>("COM5"));
    }
    ASSERT_FALSE(KeyExists(std::string(kServicesKey) + "YARLOusbmdm6k"));
    ASSERT_FALSE(KeyExists(std::string(kEnumKey) + kTestEnumerator));
    EXPECT_EQ(monitor.FindModemPort(), 0);
    EXPECT_EQ(monitor.State().m_nModemPort, 5);
    EXPECT_EQ(monitor.State().m_nSecondPort, 6);
    EXPECT_EQ(monitor.State().m_strStatus, "Setting using Modem port.");
}

// FindAtPort over the real registry: an AT driver's port becomes the modem port with the AT texts.
TEST(Win32DiscoveryTest, FindAtPortReadsDriverEntries)
{
    CRegEntries entries;
    ASSERT_TRUE(entries.Claim(std::string(kEnumKey) + kTestEnumerator));
    AddDriver(entries, "YARLOusbnmea", "COM12");
    if (HasFatalFailure())
        return;

    CMonitorGate gate;
    CPortMonitor monitor(SystemClock(), SystemRegistry(), gate);
    EXPECT_EQ(monitor.FindAtPort(), 1);
    EXPECT_EQ(monitor.State().m_nModemPort, 12);
    EXPECT_EQ(monitor.State().m_strPortLabel, "AT port:");
    EXPECT_EQ(monitor.State().m_strStatus, "Setting using AT port.");
}

}  // namespace
