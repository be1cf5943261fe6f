// CPortMonitor::FindModemPort and FindAtPort over an in-memory HKEY_LOCAL_MACHINE: which driver
// entries they read, in which order, with which access, and which dialog fields they write.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/FailingAllocation.h"
#include "tests/support/TestMainDlg.h"
#include "discovery/Discovery.h"
#include "discovery/PortDiscovery.h"
#include "discovery/memory/MemoryRegistry.h"
#include "tests/support/RecordingRegistry.h"
#include "tests/support/VirtualClock.h"
#include "tests/support/DiscoveryFields.h"

namespace {

std::string EnumKey(const std::string& strService)
{
    return "SYSTEM\\CurrentControlSet\\Services\\" + strService + "\\Enum";
}

std::string PortKey(const std::string& strInstance)
{
    return "SYSTEM\\CurrentControlSet\\Enum\\" + strInstance + "\\Device Parameters";
}

std::string InstanceOf(const std::string& strService)
{
    return "USB\\VID_19D2&PID_0001&" + strService + "\\6&2C5E1A&0&0000";
}

// A driver that lists one device instance whose port device is strPortName.
void AddDriver(CMemoryRegistry& registry, const std::string& strService, const std::string& strPortName)
{
    registry.SetDword(EnumKey(strService), "Count", 1);
    registry.SetString(EnumKey(strService), "0", InstanceOf(strService));
    registry.SetString(PortKey(InstanceOf(strService)), "PortName", strPortName);
}

// Passes every call to another registry, logs the value names read, and can throw bad_alloc when
// a given value is read (running out of memory while its text is built).
class CSpyRegistry final : public IRegistry {
public:
    explicit CSpyRegistry(IRegistry& inner) : m_inner(inner) {}
    ERegOpen Open(const std::string& strPath, uint32_t nAccess, RegKey* pKey) override
    {
        return m_inner.Open(strPath, nAccess, pKey);
    }
    bool QueryValue(RegKey key, const std::string& strName, void* pData, uint32_t* pSize) override
    {
        m_reads.push_back(strName);
        if (strName == m_strThrowOn)
            throw std::bad_alloc();
        return m_inner.QueryValue(key, strName, pData, pSize);
    }
    bool EnumSubkey(RegKey key, uint32_t nIndex, std::string* pName) override
    {
        return m_inner.EnumSubkey(key, nIndex, pName);
    }
    void CloseKey(RegKey key) override { m_inner.CloseKey(key); }

    std::vector<std::string> m_reads;
    std::string m_strThrowOn;

private:
    IRegistry& m_inner;
};

using namespace discovery_test;

class DiscoveryTest : public ::testing::Test {
protected:
    DiscoveryTest() : m_spy(m_recorder) { MakeDialog(m_recorder); }

    void MakeDialog(IRegistry& registry)
    {
        m_pMonitor.reset();   // ends with its gate shut, so each monitor gets a new one
        m_pGate = std::make_unique<CMonitorGate>();
        m_pMonitor = std::make_unique<CPortMonitor>(m_clock, registry, *m_pGate);
        Seed(*m_pMonitor, kUntouched);
    }

    Fields Read() const
    {
        return FieldsOf(*m_pMonitor);
    }

    static Fields Modem(int nPort, int nSecond = kUntouched.nSecondPort)
    {
        return {nPort, nSecond, "Modem port:", "Setting using Modem port."};
    }
    static Fields At(int nPort) { return {nPort, kUntouched.nSecondPort, "AT port:", "Setting using AT port."}; }

    std::vector<std::string> OpenedPaths() const
    {
        std::vector<std::string> paths;
        for (const auto& open : m_recorder.Opens())
            paths.push_back(open.strPath);
        return paths;
    }

    bool WasOpened(const std::string& strPath) const
    {
        for (const auto& open : m_recorder.Opens())
            if (open.strPath == strPath)
                return true;
        return false;
    }

    CVirtualClock m_clock;
    CMemoryRegistry m_registry;
    CRecordingRegistry m_recorder{m_registry};
    CSpyRegistry m_spy;
    std::unique_ptr<CMonitorGate> m_pGate;
    std::unique_ptr<CPortMonitor> m_pMonitor;
};

// ---- the results table ------------------------------------------------------------------------

struct ResultCase {
    const char* name;
    std::function<void(CMemoryRegistry&)> setup;
    int nModemResult;
    Fields afterModem;   // after FindModemPort alone
    int nAtResult;
    Fields afterAt;      // after FindAtPort alone, on a fresh dialog
};

void RemovePortKey(CMemoryRegistry& registry, const std::string& strService)
{
    registry.RemoveKey(PortKey(InstanceOf(strService)));
}

// Count 0 while the value named "-1" exists: the probe succeeds, but no port is read.
void SetCountZero(CMemoryRegistry& registry, const std::string& strService)
{
    registry.SetDword(EnumKey(strService), "Count", 0);
    registry.SetString(EnumKey(strService), "-1", InstanceOf(strService));
}

const Fields kU = kUntouched;

const ResultCase kResultCases[] = {
    {"NothingInstalled", [](CMemoryRegistry&) {}, 0, kU, 0, kU},
    {"ModemOnly", [](CMemoryRegistry& r) { AddDriver(r, "qcusbmdm6k", "COM5"); }, 0, {5, 42, "Modem port:", "Setting using Modem port."}, 0, kU},
    {"ModemAndDiag",
     [](CMemoryRegistry& r) {
         AddDriver(r, "qcusbmdm6k", "COM5");
         AddDriver(r, "qcusbser6k", "COM6");
     },
     1, {5, 6, "Modem port:", "Setting using Modem port."}, 0, kU},
    {"DiagPortKeyMissing",
     [](CMemoryRegistry& r) {
         AddDriver(r, "qcusbmdm6k", "COM5");
         AddDriver(r, "qcusbser6k", "COM6");
         RemovePortKey(r, "qcusbser6k");
     },
     0, {5, 42, "Modem port:", "Setting using Modem port."}, 0, kU},
    {"DiagPortNameMissing",
     [](CMemoryRegistry& r) {
         AddDriver(r, "qcusbmdm6k", "COM5");
         r.AddKey(PortKey(InstanceOf("qcusbser6k")));
         r.SetDword(EnumKey("qcusbser6k"), "Count", 1);
         r.SetString(EnumKey("qcusbser6k"), "0", InstanceOf("qcusbser6k"));
     },
     0, {5, 42, "Modem port:", "Setting using Modem port."}, 0, kU},
    {"DiagCountZero",
     [](CMemoryRegistry& r) {
         AddDriver(r, "qcusbmdm6k", "COM5");
         AddDriver(r, "qcusbser6k", "COM6");
         SetCountZero(r, "qcusbser6k");
     },
     1, {5, 42, "Modem port:", "Setting using Modem port."}, 0, kU},
    {"ModemPortKeyMissingDiagFound",
     [](CMemoryRegistry& r) {
         AddDriver(r, "qcusbmdm6k", "COM5");
         RemovePortKey(r, "qcusbmdm6k");
         AddDriver(r, "qcusbser6k", "COM6");
     },
     1, {41, 6, "old label", "old status"}, 0, kU},
    {"ModemCountZeroDiagFound",
     [](CMemoryRegistry& r) {
         AddDriver(r, "qcusbmdm6k", "COM5");
         SetCountZero(r, "qcusbmdm6k");
         AddDriver(r, "qcusbser6k", "COM6");
     },
     1, {41, 6, "old label", "old status"}, 0, kU},
    {"DiagWithoutModem", [](CMemoryRegistry& r) { AddDriver(r, "qcusbser6k", "COM6"); }, 0, kU, 0, kU},
    {"AtFound", [](CMemoryRegistry& r) { AddDriver(r, "zgdcat", "COM9"); }, 0, kU, 1, {9, 42, "AT port:", "Setting using AT port."}},
    {"AtPortKeyMissing",
     [](CMemoryRegistry& r) {
         AddDriver(r, "zgdcat", "COM9");
         RemovePortKey(r, "zgdcat");
     },
     0, kU, 1, kU},
    {"AtPortNameMissing",
     [](CMemoryRegistry& r) {
         r.SetDword(EnumKey("zgdcat"), "Count", 1);
         r.SetString(EnumKey("zgdcat"), "0", InstanceOf("zgdcat"));
         r.AddKey(PortKey(InstanceOf("zgdcat")));
     },
     0, kU, 1, kU},
    {"AtCountZero",
     [](CMemoryRegistry& r) {
         AddDriver(r, "zgdcat", "COM9");
         SetCountZero(r, "zgdcat");
     },
     0, kU, 1, kU},
    // The last two modem drivers are also AT drivers.
    {"OnlyZgdcmdm", [](CMemoryRegistry& r) { AddDriver(r, "zgdcmdm", "COM11"); }, 0,
     {11, 42, "Modem port:", "Setting using Modem port."}, 1, {11, 42, "AT port:", "Setting using AT port."}},
};

class DiscoveryResultTest : public DiscoveryTest, public ::testing::WithParamInterface<ResultCase> {};

// FindModemPort and FindAtPort: result and field writes for each registry state; no key left open.
TEST_P(DiscoveryResultTest, ResultAndFields)
{
    const ResultCase& c = GetParam();
    c.setup(m_registry);

    EXPECT_EQ(m_pMonitor->FindModemPort(), c.nModemResult);
    EXPECT_EQ(Read(), c.afterModem);
    EXPECT_EQ(m_recorder.OpenKeyCount(), 0u);

    MakeDialog(m_recorder);
    EXPECT_EQ(m_pMonitor->FindAtPort(), c.nAtResult);
    EXPECT_EQ(Read(), c.afterAt);
    EXPECT_EQ(m_recorder.OpenKeyCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Registry, DiscoveryResultTest, ::testing::ValuesIn(kResultCases),
                         [](const ::testing::TestParamInfo<ResultCase>& info) { return info.param.name; });

// ---- search order and key paths ----------------------------------------------------------------

// With nothing installed each search opens every service's Enum key once, in list order, with
// KEY_ALL_ACCESS; FindModemPort stops after the modem list.
TEST_F(DiscoveryTest, EmptyRegistryOpensEachListInOrder)
{
    EXPECT_EQ(m_pMonitor->FindModemPort(), 0);
    EXPECT_EQ(OpenedPaths(),
              (std::vector<std::string>{EnumKey("YARLOusbmdm6k"), EnumKey("ONDAusbmdm6k"), EnumKey("qcusbmdm6k"),
                                        EnumKey("HSPADataCardusbmdm"), EnumKey("zgdccmdm"), EnumKey("zgdcmdm")}));

    AddDriver(m_registry, "zgdcmdm", "COM3");   // the last modem driver, to reach the diagnostic list
    MakeDialog(m_recorder);
    const size_t nBefore = m_recorder.Opens().size();
    EXPECT_EQ(m_pMonitor->FindModemPort(), 0);
    const auto paths = OpenedPaths();
    EXPECT_EQ(std::vector<std::string>(paths.begin() + static_cast<ptrdiff_t>(nBefore) + 7, paths.end()),
              (std::vector<std::string>{EnumKey("YARLOusbser6k"), EnumKey("HSPADataCardusbser"),
                                        EnumKey("ONDAusbser6k"), EnumKey("qcusbser6k"), EnumKey("zgdccdiag"),
                                        EnumKey("zgdcdiag")}));

    m_registry.Clear();
    MakeDialog(m_recorder);
    const size_t nAtBefore = m_recorder.Opens().size();
    EXPECT_EQ(m_pMonitor->FindAtPort(), 0);
    const auto atPaths = OpenedPaths();
    EXPECT_EQ(std::vector<std::string>(atPaths.begin() + static_cast<ptrdiff_t>(nAtBefore), atPaths.end()),
              (std::vector<std::string>{EnumKey("YARLOusbnmea"), EnumKey("zgdccat"), EnumKey("zgdcat"),
                                        EnumKey("zgdccmdm"), EnumKey("zgdcmdm")}));

    for (const auto& open : m_recorder.Opens())
        EXPECT_EQ(open.nAccess, kKeyAllAccess) << open.strPath;
}

// A full FindModemPort reads exactly these keys, in this order, each with KEY_ALL_ACCESS.
TEST_F(DiscoveryTest, ExactKeysOfASuccessfulSearch)
{
    AddDriver(m_registry, "YARLOusbmdm6k", "COM5");
    AddDriver(m_registry, "YARLOusbser6k", "COM6");
    EXPECT_EQ(m_pMonitor->FindModemPort(), 1);
    const auto opens = m_recorder.Opens();
    ASSERT_EQ(opens.size(), 4u);
    EXPECT_EQ(opens[0].strPath, "SYSTEM\\CurrentControlSet\\Services\\YARLOusbmdm6k\\Enum");
    EXPECT_EQ(opens[1].strPath,
              "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_19D2&PID_0001&YARLOusbmdm6k\\6&2C5E1A&0&0000\\Device Parameters");
    EXPECT_EQ(opens[2].strPath, "SYSTEM\\CurrentControlSet\\Services\\YARLOusbser6k\\Enum");
    EXPECT_EQ(opens[3].strPath,
              "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_19D2&PID_0001&YARLOusbser6k\\6&2C5E1A&0&0000\\Device Parameters");
    for (const auto& open : opens)
        EXPECT_EQ(open.nAccess, 0xF003Fu);
    EXPECT_EQ(m_recorder.OpenKeyCount(), 0u);
}

// In every list, of two installed services the earlier one wins and the later one is never opened.
TEST_F(DiscoveryTest, EarlierServiceInListWins)
{
    const struct {
        const char* list;
        std::span<const char* const> services;
    } kLists[] = {{"modem", kModemServices}, {"diag", kDiagServices}, {"at", kAtServices}};

    for (const auto& list : kLists) {
        for (size_t i = 0; i < list.services.size(); ++i) {
            for (size_t j = i + 1; j < list.services.size(); ++j) {
                SCOPED_TRACE(std::string(list.list) + " " + list.services[i] + " before " + list.services[j]);
                m_registry.Clear();
                const bool bDiag = list.services.data() == kDiagServices.data();
                if (bDiag)
                    AddDriver(m_registry, "YARLOusbmdm6k", "COM1");
                AddDriver(m_registry, list.services[j], "COM" + std::to_string(200 + j));
                AddDriver(m_registry, list.services[i], "COM" + std::to_string(100 + i));
                MakeDialog(m_recorder);
                const size_t nBefore = m_recorder.Opens().size();

                if (list.services.data() == kAtServices.data())
                    m_pMonitor->FindAtPort();
                else
                    m_pMonitor->FindModemPort();
                const int nFound = bDiag ? m_pMonitor->State().m_nSecondPort : m_pMonitor->State().m_nModemPort;
                EXPECT_EQ(nFound, static_cast<int>(100 + i));
                const auto opens = m_recorder.Opens();
                for (size_t n = nBefore; n < opens.size(); ++n)
                    EXPECT_NE(opens[n].strPath, EnumKey(list.services[j]));
            }
        }
    }
}

// ---- Count and the instance values ---------------------------------------------------------------

// The value name of the last instance: Count - 1 in 32 bits, printed signed.
TEST(LastInstanceValueNameTest, SignedDecimalOfCountMinusOne)
{
    const struct {
        uint32_t nCount;
        const char* name;
    } kCases[] = {{1, "0"}, {3, "2"}, {0, "-1"}, {0x80000000u, "2147483647"},
                  {0x80000001u, "-2147483648"}, {0xFFFFFFFFu, "-2"}};
    for (const auto& c : kCases)
        EXPECT_EQ(LastInstanceValueName(c.nCount), c.name) << c.nCount;
}

// Only the last listed instance is tried: Count 3 uses value 2; Count 2 with only value 0 skips
// the service without reading value 0; Count 0 with no values skips it too.
TEST_F(DiscoveryTest, OnlyTheLastInstanceIsTried)
{
    MakeDialog(m_spy);
    m_registry.SetDword(EnumKey("YARLOusbmdm6k"), "Count", 0);       // installed, no card
    m_registry.SetDword(EnumKey("ONDAusbmdm6k"), "Count", 2);        // value 1 missing
    m_registry.SetString(EnumKey("ONDAusbmdm6k"), "0", InstanceOf("ONDAusbmdm6k"));
    m_registry.SetString(PortKey(InstanceOf("ONDAusbmdm6k")), "PortName", "COM8");
    m_registry.SetDword(EnumKey("qcusbmdm6k"), "Count", 3);
    for (int n = 0; n < 3; ++n) {
        const std::string strInstance = InstanceOf("qcusbmdm6k") + std::to_string(n);
        m_registry.SetString(EnumKey("qcusbmdm6k"), std::to_string(n), strInstance);
        m_registry.SetString(PortKey(strInstance), "PortName", "COM" + std::to_string(20 + n));
    }

    EXPECT_EQ(m_pMonitor->FindModemPort(), 0);
    EXPECT_EQ(Read(), Modem(22));
    EXPECT_EQ(m_spy.m_reads,
              (std::vector<std::string>{"Count", "-1", "Count", "1", "Count", "2", "PortName"}));
    EXPECT_FALSE(WasOpened(PortKey(InstanceOf("ONDAusbmdm6k"))));
}

// Port names: the first three characters are dropped, the rest read like strtol; a number beyond
// 32 bits gives no port rather than a wrapped one.
TEST(ParsePortNameTest, DecimalAfterThreeCharacters)
{
    const struct {
        const char* name;
        std::optional<int> nPort;
    } kCases[] = {
        {"COM7", 7},
        {"COM123", 123},
        {"COM", 0},
        {"", 0},
        {"CO", 0},
        {"COM0", 0},
        {"XYZ12", 12},
        {"COMx12", 0},
        {"COM12abc", 12},
        {"COM 12", 12},
        {"COM\t\n7", 7},
        {"COM+12", 12},
        {"COM-3", -3},
        {"COM+-1", 0},
        {"COM- 1", 0},
        {"COM000000000000000000012", 12},
        {"COM2147483647", INT_MAX},
        {"COM-2147483648", INT_MIN},
        {"COM2147483648", std::nullopt},
        {"COM-2147483649", std::nullopt},
        {"COM4294967301", std::nullopt},   // would wrap to 5 in 32 bits
        {"COM99999999999999999999999", std::nullopt},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(ParsePortName(c.name), c.nPort) << '"' << c.name << '"';
}

// The whole path from PortName to m_nModemPort, including a port 0 that is still stored and an
// overflowing number that leaves the field and the texts alone.
TEST_F(DiscoveryTest, PortNameToModemPort)
{
    const struct {
        const char* name;
        Fields expected;
    } kCases[] = {
        {"COM7", Modem(7)},
        {"COM123", Modem(123)},
        {"COM", Modem(0)},
        {"COM4294967301", kUntouched},
    };
    for (const auto& c : kCases) {
        m_registry.Clear();
        AddDriver(m_registry, "YARLOusbmdm6k", c.name);
        MakeDialog(m_recorder);
        EXPECT_EQ(m_pMonitor->FindModemPort(), 0);
        EXPECT_EQ(Read(), c.expected) << c.name;
    }
}

// ---- values of unexpected types and sizes ----------------------------------------------------------

// Value types are ignored: "Count" is whatever fits in 4 bytes (a shorter value fills the low bytes,
// a longer one fails the read); strings end at their first NUL or at their size; a value that fills
// the whole 1024-byte buffer without a NUL, or does not fit, is a failed read.
TEST_F(DiscoveryTest, OddValueTypesAndSizes)
{
    const std::string kModem = "YARLOusbmdm6k";
    const auto fill = [](size_t nSize, const std::string& strHead) {
        std::vector<uint8_t> bytes(nSize, 'x');
        std::copy(strHead.begin(), strHead.end(), bytes.begin());
        return bytes;
    };
    const auto asBytes = [](const std::string& str) { return std::vector<uint8_t>(str.begin(), str.end()); };

    const struct {
        const char* name;
        const char* value;   // "Count", "0" (the instance path) or "PortName"
        std::vector<uint8_t> bytes;
        Fields expected;
    } kCases[] = {
        {"CountTwoBytes", "Count", {1, 0}, Modem(7)},
        {"CountOneByte", "Count", {1}, Modem(7)},
        {"CountEightBytes", "Count", {1, 0, 0, 0, 0, 0, 0, 0}, kUntouched},
        {"CountAsString", "Count", {'1', 0}, kUntouched},   // 0x31 = 49: value "48" is missing
        {"CountEmpty", "Count", {}, kUntouched},            // Count 0: value "-1" is missing
        {"PortNameAsDword", "PortName", {7, 0, 0, 0}, Modem(0)},
        {"PortNameUnterminated", "PortName", asBytes("COM12"), Modem(12)},
        {"PortNameNulInside", "PortName", {'C', 'O', 'M', '3', 0, '9'}, Modem(3)},
        {"PortName1024Terminated", "PortName", [&] { auto b = fill(1024, "COM15"); b.back() = 0; return b; }(), Modem(15)},
        {"PortName1024Unterminated", "PortName", fill(1024, "COM15"), kUntouched},
        {"PortName1025", "PortName", [&] { auto b = fill(1025, "COM15"); b.back() = 0; return b; }(), kUntouched},
        {"InstancePathUnterminated", "0", asBytes(InstanceOf("YARLOusbmdm6k")), Modem(7)},
        {"InstancePath1024Unterminated", "0", fill(1024, "USB\\"), kUntouched},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        m_registry.Clear();
        AddDriver(m_registry, kModem, "COM7");
        const std::string strKey = std::string(c.value) == "PortName" ? PortKey(InstanceOf(kModem)) : EnumKey(kModem);
        m_registry.SetBytes(strKey, c.value, c.bytes);
        MakeDialog(m_recorder);
        EXPECT_EQ(m_pMonitor->FindModemPort(), 0);
        EXPECT_EQ(Read(), c.expected);
        EXPECT_EQ(m_recorder.OpenKeyCount(), 0u);
    }
}

// A service whose last instance path cannot be read is skipped for the next one in the list.
TEST_F(DiscoveryTest, UnreadableInstanceFallsThroughToNextService)
{
    AddDriver(m_registry, "YARLOusbmdm6k", "COM7");
    std::vector<uint8_t> bytes(1024, 'x');
    m_registry.SetBytes(EnumKey("YARLOusbmdm6k"), "0", bytes);
    AddDriver(m_registry, "ONDAusbmdm6k", "COM8");
    EXPECT_EQ(m_pMonitor->FindModemPort(), 0);
    EXPECT_EQ(Read(), Modem(8));
}

// ---- lifecycle and failures ---------------------------------------------------------------------------

// Once the card's instances leave the registry, both results drop to 0 and the fields keep what was
// found; when it comes back under another port, the next call finds that port.
TEST_F(DiscoveryTest, VanishingCardKeepsFieldsThenReturns)
{
    AddDriver(m_registry, "zgdccmdm", "COM5");
    AddDriver(m_registry, "zgdccdiag", "COM6");
    EXPECT_EQ(m_pMonitor->FindModemPort(), 1);
    EXPECT_EQ(m_pMonitor->FindAtPort(), 1);
    EXPECT_EQ(Read(), (Fields{5, 6, "AT port:", "Setting using AT port."}));

    m_registry.RemoveKey("SYSTEM\\CurrentControlSet\\Enum\\USB");
    m_registry.SetDword(EnumKey("zgdccmdm"), "Count", 0);
    m_registry.SetDword(EnumKey("zgdccdiag"), "Count", 0);
    EXPECT_EQ(m_pMonitor->FindModemPort(), 0);
    EXPECT_EQ(m_pMonitor->FindAtPort(), 0);
    EXPECT_EQ(Read(), (Fields{5, 6, "AT port:", "Setting using AT port."}));

    AddDriver(m_registry, "zgdccmdm", "COM15");
    AddDriver(m_registry, "zgdccdiag", "COM16");
    EXPECT_EQ(m_pMonitor->FindModemPort(), 1);
    EXPECT_EQ(Read(), Modem(15, 16));
    EXPECT_EQ(m_recorder.OpenKeyCount(), 0u);
}

// Where KEY_ALL_ACCESS is refused (empty: everywhere, as for a user without administrator rights;
// the device tree, which refuses write access to everyone; one driver's key) the window reads that
// key instead and finds the card. The command line asks for KEY_READ alone and takes the same port.
TEST_F(DiscoveryTest, WriteAccessRefused)
{
    for (const std::string& strTop : {std::string(), std::string("SYSTEM\\CurrentControlSet\\Enum"), EnumKey("YARLOusbser6k")}) {
        SCOPED_TRACE(strTop);
        CMemoryRegistry registry;
        CRecordingRegistry recorder(registry);
        AddDriver(registry, "YARLOusbmdm6k", "COM5");
        AddDriver(registry, "YARLOusbser6k", "COM6");
        AddDriver(registry, "YARLOusbnmea", "COM7");
        if (strTop.empty())
            registry.SetGrantedAccess(kKeyRead);
        else
            registry.LimitAccessBelow(strTop, kKeyRead);
        MakeDialog(recorder);
        EXPECT_EQ(m_pMonitor->FindModemPort(), 1);
        EXPECT_EQ(Read(), Modem(5, 6));
        EXPECT_EQ(m_pMonitor->FindAtPort(), 1);
        EXPECT_EQ(Read(), (Fields{7, 6, "AT port:", "Setting using AT port."}));
        const size_t nWindowOpens = recorder.Opens().size();
        EXPECT_EQ(SearchModemPort(recorder, EKeyAccess::kRead).nCommandPort, 5);
        const auto opens = recorder.Opens();
        EXPECT_TRUE(std::all_of(opens.begin() + static_cast<ptrdiff_t>(nWindowOpens), opens.end(),
                                [](const auto& open) { return open.nAccess == kKeyRead; }));
        EXPECT_EQ(recorder.OpenKeyCount(), 0u);
        MakeDialog(m_recorder);
    }
}

// Running out of memory mid-search closes the held key and ends the call with its result so far.
TEST_F(DiscoveryTest, OutOfMemoryClosesKeys)
{
    AddDriver(m_registry, "YARLOusbmdm6k", "COM5");
    AddDriver(m_registry, "YARLOusbser6k", "COM6");
    AddDriver(m_registry, "YARLOusbnmea", "COM7");
    MakeDialog(m_spy);

    const struct {
        const char* throwOn;
        int nModemResult;
        int nAtResult;
    } kCases[] = {{"Count", 0, 0}, {"0", 0, 0}, {"PortName", 0, 1}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.throwOn);
        m_spy.m_strThrowOn = c.throwOn;
        EXPECT_EQ(m_pMonitor->FindModemPort(), c.nModemResult);
        EXPECT_EQ(m_recorder.OpenKeyCount(), 0u);
        EXPECT_EQ(m_pMonitor->FindAtPort(), c.nAtResult);
        EXPECT_EQ(m_recorder.OpenKeyCount(), 0u);
        EXPECT_EQ(Read(), kUntouched);
    }
}

// Running out of memory at any allocation of a search, or of storing what it found, throws nothing
// (on the monitor's thread an exception ends the process) and leaves the state whole: as it was, or
// the port with both of its texts.
TEST_F(DiscoveryTest, OutOfMemoryAnywhereLeavesTheStateWhole)
{
    AddDriver(m_registry, "YARLOusbmdm6k", "COM5");
    AddDriver(m_registry, "YARLOusbser6k", "COM6");
    AddDriver(m_registry, "YARLOusbnmea", "COM7");
    const struct {
        const char* name;
        int (CPortMonitor::*pfnFind)();
        std::vector<Fields> whole;
    } kCases[] = {
        {"modem", &CPortMonitor::FindModemPort, {kUntouched, Modem(5), Modem(5, 6)}},
        {"AT", &CPortMonitor::FindAtPort, {kUntouched, At(7)}},
    };
    for (const auto& c : kCases) {
        bool bFailed = true;
        for (long nAllowed = 0; bFailed && nAllowed < 10000; ++nAllowed) {
            SCOPED_TRACE(std::string(c.name) + " failing after " + std::to_string(nAllowed));
            Seed(*m_pMonitor, kUntouched);
            bool bThrew = false;
            {
                CFailNthAllocation failing(nAllowed);
                try {
                    ((*m_pMonitor).*c.pfnFind)();
                } catch (const std::bad_alloc&) {
                    bThrew = true;
                }
                bFailed = failing.Failed();
            }
            EXPECT_FALSE(bThrew);
            const Fields fields = Read();
            EXPECT_NE(std::find(c.whole.begin(), c.whole.end(), fields), c.whole.end()) << fields;
        }
        EXPECT_FALSE(bFailed) << "the search never got through";
    }
}

// RunMonitorPass: running out of memory at any allocation of a pass, the texts it shows included,
// throws nothing.
TEST_F(DiscoveryTest, OutOfMemoryAnywhereInAPassThrowsNothing)
{
    AddDriver(m_registry, "YARLOusbmdm6k", "COM5");
    AddDriver(m_registry, "YARLOusbser6k", "COM6");
    bool bFailed = true;
    for (long nAllowed = 0; bFailed && nAllowed < 10000; ++nAllowed) {
        SCOPED_TRACE("failing after " + std::to_string(nAllowed));
        CFailNthAllocation failing(nAllowed);
        EXPECT_NO_THROW(m_pMonitor->RunMonitorPass());
        bFailed = failing.Failed();
    }
    EXPECT_FALSE(bFailed) << "the pass never got through";
}

// RegKeyHolder: holds one key, an open through it closes the previous one, a release when empty
// does nothing, and the key is closed when the holder goes out of scope by an exception.
TEST_F(DiscoveryTest, KeyHolderOwnsAtMostOneKey)
{
    m_registry.AddKey("A\\B");
    {
        RegKeyHolder holder(m_recorder);
        holder.Release();   // empty: nothing to close
        ASSERT_TRUE(holder.Open("A"));
        ASSERT_TRUE(holder.Open("A\\B"));
        EXPECT_EQ(m_recorder.OpenKeyCount(), 1u);
        EXPECT_FALSE(holder.Open("A\\C"));   // the held key is closed even when the new open fails
        EXPECT_EQ(m_recorder.OpenKeyCount(), 0u);
        EXPECT_EQ(holder.Get(), 0u);
        ASSERT_TRUE(holder.Open("A"));
    }
    EXPECT_EQ(m_recorder.OpenKeyCount(), 0u);

    EXPECT_THROW(
        {
            RegKeyHolder holder(m_recorder);
            holder.Open("A");
            throw std::bad_alloc();
        },
        std::bad_alloc);
    EXPECT_EQ(m_recorder.OpenKeyCount(), 0u);
}

}  // namespace
