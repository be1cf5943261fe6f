// FindModemPort, FindAtPort and the monitor pass that follows them, fed registry entries that no
// well-behaved driver writes: values of the wrong type or size, Counts at the ends of the 32-bit
// range, strings at the edge of the 1024-byte value buffer, odd instance paths and port names.
// Every row states the result, the fields that change, the keys opened, and that none stays open.
#include "tests/support/DiscoveryFields.h"
#include "tests/support/MonitorHarness.h"

#include <algorithm>
#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "discovery/PortDiscovery.h"
#include "tests/support/RecordingRegistry.h"

using namespace monitor_test;

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kModem = "YARLOusbmdm6k";
const std::string kDiag = "YARLOusbser6k";
const std::string kModemInstance = "USB\\VID_19D2&PID_0117&MI_02\\7&1A2B&0&0002";
const std::string kDiagInstance = "USB\\VID_19D2&PID_0117&MI_01\\7&1A2B&0&0001";

std::string EnumKey(const std::string& strService)
{
    return kServices + strService + "\\Enum";
}

std::string PortKey(const std::string& strInstance)
{
    return kEnum + strInstance + "\\Device Parameters";
}

Bytes Text(const std::string& str)   // the characters, no terminator
{
    return Bytes(str.begin(), str.end());
}

Bytes Sz(const std::string& str)     // REG_SZ / REG_EXPAND_SZ: the characters and one NUL
{
    Bytes bytes = Text(str);
    bytes.push_back(0);
    return bytes;
}

Bytes Dword(uint32_t n)
{
    return {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
            static_cast<uint8_t>(n >> 24)};
}

// nSize bytes that start with strHead, padded with 'x'; the last byte is NUL when bTerminated.
Bytes Padded(const std::string& strHead, size_t nSize, bool bTerminated)
{
    Bytes bytes(nSize, 'x');
    std::copy(strHead.begin(), strHead.end(), bytes.begin());
    if (bTerminated)
        bytes.back() = 0;
    return bytes;
}

// A path of nLength characters: "USB\" and components of at most nComponent characters.
std::string LongPath(size_t nLength, size_t nComponent)
{
    std::string str = "USB";
    while (str.size() < nLength) {
        str += '\\';
        str += std::string(std::min(nComponent, nLength - str.size()), 'p');
    }
    return str.substr(0, nLength);
}

// The keys a call opened, shortened: "enum SERVICE" for a service's Enum key, "port INSTANCE" for
// an instance's Device Parameters key, anything else as it was asked for.
std::vector<std::string> Shorten(const std::vector<CRecordingRegistry::OpenRecord>& opens)
{
    const std::string kParams = "\\Device Parameters";
    std::vector<std::string> shortened;
    for (const auto& open : opens) {
        const std::string& str = open.strPath;
        if (str.rfind(kServices, 0) == 0 && str.size() > kServices.size() + 5 && str.ends_with("\\Enum"))
            shortened.push_back("enum " + str.substr(kServices.size(), str.size() - kServices.size() - 5));
        else if (str.rfind(kEnum, 0) == 0 && str.ends_with(kParams))
            shortened.push_back("port " + str.substr(kEnum.size(), str.size() - kEnum.size() - kParams.size()));
        else
            shortened.push_back(str);
    }
    return shortened;
}

std::vector<std::string> Enums(std::span<const char* const> services, size_t nFirst = 0)
{
    std::vector<std::string> enums;
    for (size_t i = nFirst; i < services.size(); ++i)
        enums.push_back(std::string("enum ") + services[i]);
    return enums;
}

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

using namespace discovery_test;

Fields Modem(int nPort, int nSecond = kUntouched.nSecondPort)
{
    return {nPort, nSecond, "Modem port:", "Setting using Modem port."};
}

Fields NoModem(int nSecond)
{
    return {kUntouched.nModemPort, nSecond, kUntouched.strLabel, kUntouched.strStatus};
}

class RegistryInputTest : public ::testing::Test {
protected:
    RegistryInputTest() { NewDialog(); }

    void NewDialog()
    {
        m_pMonitor.reset();   // ends with its gate shut, so each monitor gets a new one
        m_pGate = std::make_unique<CMonitorGate>();
        m_pMonitor = std::make_unique<CPortMonitor>(m_clock, m_recorder, *m_pGate);
        Seed(*m_pMonitor, kUntouched);
    }

    // The card's modem driver on COM7 and its diagnostic driver on COM8, one instance each.
    void AddCard()
    {
        m_registry.Clear();
        m_registry.SetDword(EnumKey(kModem), "Count", 1);
        m_registry.SetString(EnumKey(kModem), "0", kModemInstance);
        m_registry.SetString(PortKey(kModemInstance), "PortName", "COM7");
        m_registry.SetDword(EnumKey(kDiag), "Count", 1);
        m_registry.SetString(EnumKey(kDiag), "0", kDiagInstance);
        m_registry.SetString(PortKey(kDiagInstance), "PortName", "COM8");
    }

    Fields Read() const
    {
        return FieldsOf(*m_pMonitor);
    }

    // Runs fn and returns the keys it opened.
    template <typename Fn>
    std::vector<std::string> OpensOf(Fn fn)
    {
        const size_t nBefore = m_recorder.Opens().size();
        fn();
        const auto opens = m_recorder.Opens();
        return Shorten({opens.begin() + static_cast<ptrdiff_t>(nBefore), opens.end()});
    }

    CVirtualClock m_clock;
    CMemoryRegistry m_registry;
    CRecordingRegistry m_recorder{m_registry};
    std::unique_ptr<CMonitorGate> m_pGate;
    std::unique_ptr<CPortMonitor> m_pMonitor;
};

// ---- values of the wrong type, size or range -------------------------------------------------------

enum class Slot { ModemCount, ModemInstance, ModemPortName, DiagCount, DiagInstance, DiagPortName };

struct ValueCase {
    const char* name;
    Slot slot;
    Bytes bytes;
    std::vector<std::pair<std::string, Bytes>> extra;   // more values under the same service's Enum key
    int nResult;
    Fields fields;
    std::vector<std::string> opens;
};

const std::vector<std::string> kFullSearch = {"enum " + kModem, "port " + kModemInstance, "enum " + kDiag,
                                              "port " + kDiagInstance};
const std::vector<std::string> kNoDiagPort = {"enum " + kModem, "port " + kModemInstance, "enum " + kDiag};
const std::vector<std::string> kNoModemPort = {"enum " + kModem, "enum " + kDiag, "port " + kDiagInstance};
// The modem service fails its probe: the rest of the modem list is tried in vain, and the search ends.
const std::vector<std::string> kModemSkipped = Enums(kModemServices);
// The diagnostic service fails its probe: the rest of the diagnostic list is tried in vain.
const std::vector<std::string> kDiagSkipped = Concat({{"enum " + kModem, "port " + kModemInstance}, Enums(kDiagServices)});

// A modem instance path that is not a key: the port read fails, the diagnostic list still runs.
std::vector<std::string> ModemPortTried(const std::string& strInstance)
{
    return {"enum " + kModem, "port " + strInstance, "enum " + kDiag, "port " + kDiagInstance};
}

const ValueCase kValueCases[] = {
    // "Count" of other types: whatever its first four bytes say, names the value that is read.
    {"CountBinary", Slot::ModemCount, {1, 0, 0, 0}, {}, 1, Modem(7, 8), kFullSearch},
    {"CountThreeBytes", Slot::ModemCount, {1, 0, 0}, {}, 1, Modem(7, 8), kFullSearch},
    {"CountFiveBytes", Slot::ModemCount, {1, 0, 0, 0, 0}, {}, 0, kUntouched, kModemSkipped},
    {"CountMultiSz", Slot::ModemCount, {'1', 0, 0}, {}, 0, kUntouched, kModemSkipped},       // 49: "48"
    {"CountExpandSz", Slot::DiagCount, Sz("%COUNT%"), {}, 0, Modem(7), kDiagSkipped},        // 8 bytes: unread
    {"CountSzOfItsOwnName", Slot::ModemCount, Sz("1"), {{"48", Sz(kModemInstance)}}, 1, Modem(7, 8), kFullSearch},
    // An empty "Count" reads as 0: with a value "-1" the diagnostic service is found without a port.
    {"DiagCountEmptyWithMinusOne", Slot::DiagCount, {}, {{"-1", Sz(kDiagInstance)}}, 1, Modem(7), kNoDiagPort},
    // Counts at the ends of the range name values that a registry may hold; Count is not 0, so the
    // port is read.
    {"CountAllOnes", Slot::ModemCount, Dword(0xFFFFFFFFu), {{"-2", Sz(kModemInstance)}}, 1, Modem(7, 8), kFullSearch},
    {"CountTopBit", Slot::ModemCount, Dword(0x80000000u), {{"2147483647", Sz(kModemInstance)}}, 1, Modem(7, 8), kFullSearch},
    {"CountTopBitPlusOne", Slot::DiagCount, Dword(0x80000001u), {{"-2147483648", Sz(kDiagInstance)}}, 1, Modem(7, 8), kFullSearch},
    {"CountNegative", Slot::DiagCount, Dword(static_cast<uint32_t>(-2)), {{"-3", Sz(kDiagInstance)}}, 1, Modem(7, 8), kFullSearch},
    {"CountAllOnesNoValue", Slot::ModemCount, Dword(0xFFFFFFFFu), {}, 0, kUntouched, kModemSkipped},
    // Strings at the buffer's edge: 1024 bytes hold 1023 characters and the NUL; a value without a
    // NUL ends at its size while it is shorter than the buffer.
    {"PortName1023Terminated", Slot::ModemPortName, Padded("COM15", 1023, true), {}, 1, Modem(15, 8), kFullSearch},
    {"PortName1023Unterminated", Slot::ModemPortName, Padded("COM15", 1023, false), {}, 1, Modem(15, 8), kFullSearch},
    {"PortName1025Unterminated", Slot::DiagPortName, Padded("COM16", 1025, false), {}, 0, Modem(7), kFullSearch},
    {"Instance1023Terminated", Slot::ModemInstance, Padded("USB\\", 1023, true), {}, 1, NoModem(8),
     ModemPortTried("USB\\" + std::string(1018, 'x'))},
    {"Instance1024Terminated", Slot::ModemInstance, Padded("USB\\", 1024, true), {}, 1, NoModem(8),
     ModemPortTried("USB\\" + std::string(1019, 'x'))},
    {"Instance1025Terminated", Slot::ModemInstance, Padded("USB\\", 1025, true), {}, 0, kUntouched, kModemSkipped},
    {"Instance1025Unterminated", Slot::DiagInstance, Padded("USB\\", 1025, false), {}, 0, Modem(7), kDiagSkipped},
    // A NUL inside ends the text; what follows it is never used.
    {"InstanceNulInside", Slot::ModemInstance, [] { Bytes b = Sz(kModemInstance); b.insert(b.end() - 1, {0, 'Z'}); return b; }(),
     {}, 1, Modem(7, 8), kFullSearch},
    {"InstanceEmpty", Slot::ModemInstance, {0}, {}, 1, NoModem(8), ModemPortTried("")},
    {"InstanceDword", Slot::ModemInstance, Dword(1), {}, 1, NoModem(8), ModemPortTried("\x01")},
    {"InstanceNoBytes", Slot::DiagInstance, {}, {}, 0, Modem(7), {"enum " + kModem, "port " + kModemInstance, "enum " + kDiag, "port "}},
    // Port names of other types: a list ends at its first string, variables are not expanded.
    {"PortNameMultiSz", Slot::ModemPortName, {'C', 'O', 'M', '5', 0, 'C', 'O', 'M', '6', 0, 0}, {}, 1, Modem(5, 8), kFullSearch},
    {"PortNameExpandSz", Slot::ModemPortName, Sz("COM%PORT%"), {}, 1, Modem(0, 8), kFullSearch},
    {"PortNameBinaryZeros", Slot::DiagPortName, Bytes(16, 0), {}, 1, Modem(7, 0), kFullSearch},
    {"PortNameEmptyValue", Slot::DiagPortName, {}, {}, 1, Modem(7, 0), kFullSearch},
};

void PrintTo(const ValueCase& c, std::ostream* pOut)
{
    *pOut << c.name;
}

class RegistryValueTest : public RegistryInputTest, public ::testing::WithParamInterface<ValueCase> {};

// FindModemPort: each odd value in place of one of the card's entries.
TEST_P(RegistryValueTest, FindModemPortOutcome)
{
    const ValueCase& c = GetParam();
    AddCard();
    const bool bModem = c.slot == Slot::ModemCount || c.slot == Slot::ModemInstance || c.slot == Slot::ModemPortName;
    const std::string& strService = bModem ? kModem : kDiag;
    const std::string& strInstance = bModem ? kModemInstance : kDiagInstance;
    switch (c.slot) {
    case Slot::ModemCount:
    case Slot::DiagCount: m_registry.SetBytes(EnumKey(strService), "Count", c.bytes); break;
    case Slot::ModemInstance:
    case Slot::DiagInstance: m_registry.SetBytes(EnumKey(strService), "0", c.bytes); break;
    case Slot::ModemPortName:
    case Slot::DiagPortName: m_registry.SetBytes(PortKey(strInstance), "PortName", c.bytes); break;
    }
    for (const auto& [strName, bytes] : c.extra)
        m_registry.SetBytes(EnumKey(strService), strName, bytes);

    int nResult = -1;
    EXPECT_EQ(OpensOf([&] { nResult = m_pMonitor->FindModemPort(); }), c.opens);
    EXPECT_EQ(nResult, c.nResult);
    EXPECT_EQ(Read(), c.fields);
    EXPECT_EQ(m_recorder.OpenKeyCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(OddValues, RegistryValueTest, ::testing::ValuesIn(kValueCases),
                         [](const ::testing::TestParamInfo<ValueCase>& info) { return info.param.name; });

// FindAtPort: an AT instance is found whenever its path is read, so an unusable port name still
// gives 1 and leaves the fields; a port name that parses is stored with the AT texts.
TEST_F(RegistryInputTest, FindAtPortWithOddPortNames)
{
    const struct {
        const char* name;
        Bytes bytes;
        std::optional<int> nStored;
    } kCases[] = {
        {"Binary", {'C', 'O', 'M', '9'}, 9},
        {"Dword", Dword(9), 0},
        {"TooLong", Padded("COM9", 1025, true), std::nullopt},
        {"Overflowing", Sz("COM99999999999"), std::nullopt},
        {"Negative", Sz("COM-5"), -5},
    };
    const std::string strInstance = "USB\\VID_19D2&PID_0117&MI_03\\7&1A2B&0&0003";
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        m_registry.Clear();
        m_registry.SetDword(EnumKey("YARLOusbnmea"), "Count", 1);
        m_registry.SetString(EnumKey("YARLOusbnmea"), "0", strInstance);
        m_registry.SetBytes(PortKey(strInstance), "PortName", c.bytes);
        NewDialog();

        EXPECT_EQ(OpensOf([&] { EXPECT_EQ(m_pMonitor->FindAtPort(), 1); }),
                  (std::vector<std::string>{"enum YARLOusbnmea", "port " + strInstance}));
        const Fields expected = c.nStored ? Fields{*c.nStored, kUntouched.nSecondPort, "AT port:", "Setting using AT port."}
                                          : kUntouched;
        EXPECT_EQ(Read(), expected);
        EXPECT_EQ(m_recorder.OpenKeyCount(), 0u);
    }
}

// ---- instance paths ------------------------------------------------------------------------------------

// The instance path is used as read: no backslash is added, dropped or merged and no dot is
// resolved, so ".." cannot reach a key outside the Enum tree. Long paths are passed whole.
TEST_F(RegistryInputTest, InstancePathsAreUsedAsRead)
{
    const struct {
        const char* name;
        std::string strInstance;
    } kCases[] = {
        {"LeadingBackslash", "\\USB\\VID_19D2\\1"},
        {"TrailingBackslash", "USB\\VID_19D2\\1\\"},
        {"DoubledBackslash", "USB\\\\VID_19D2\\1"},
        {"OnlyBackslashes", "\\\\\\"},
        {"Dots", "USB\\.\\VID_19D2\\..\\1"},
        {"Thousand", LongPath(1000, 200)},
        {"OverKeyNameLimit", LongPath(1000, 600)},   // one component of 600 characters
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        AddCard();
        m_registry.SetString(EnumKey(kModem), "0", c.strInstance);
        m_registry.SetString(PortKey(c.strInstance), "PortName", "COM3");
        NewDialog();

        int nResult = -1;
        EXPECT_EQ(OpensOf([&] { nResult = m_pMonitor->FindModemPort(); }), ModemPortTried(c.strInstance));
        EXPECT_EQ(nResult, 1);
        EXPECT_EQ(Read(), Modem(3, 8));
        EXPECT_EQ(m_recorder.OpenKeyCount(), 0u);
    }
}

// An instance path that climbs with ".." names a key of its own; a PortName under the key it would
// reach in a file system is not read.
TEST_F(RegistryInputTest, DotDotDoesNotLeaveTheEnumTree)
{
    AddCard();
    const std::string strInstance = "..\\Services\\" + kModem;
    m_registry.SetString(EnumKey(kModem), "0", strInstance);
    m_registry.SetString("SYSTEM\\CurrentControlSet\\Services\\" + kModem + "\\Device Parameters", "PortName", "COM66");

    EXPECT_EQ(OpensOf([&] { EXPECT_EQ(m_pMonitor->FindModemPort(), 1); }), ModemPortTried(strInstance));
    EXPECT_EQ(Read(), NoModem(8));
    EXPECT_EQ(m_recorder.OpenKeyCount(), 0u);
}

// ---- port names, through a whole monitor pass ---------------------------------------------------------

// What the monitor does with each port name: the number stored (or the previous one kept), the list
// entry selected (none outside 0..256), and whether a port is opened at all (only 1..99999999
// name a device). Cards answer on COM7, COM123 and COM300; the previous modem port is COM3.
class PortNamePassTest : public MonitorTestBase {
protected:
    void SetUp() override { CreateDialog(); }
};

TEST_F(PortNamePassTest, EachNameGivesADefinedPass)
{
    const struct {
        const char* name;
        Bytes portName;
        int nStored;
        int nSelection;      // the port list's selection afterwards; -1 for none
        int nOpenedCard;     // the card whose port the channel opened; 0 for none
    } kCases[] = {
        {"COM7", Sz("COM7"), 7, 7, 7},
        {"com7", Sz("com7"), 7, 7, 7},
        {"COM 7", Sz("COM 7"), 7, 7, 7},
        {"COM7 without NUL", Text("COM7"), 7, 7, 7},
        {"COM123", Sz("COM123"), 123, 123, 123},
        {"COM300", Sz("COM300"), 300, -1, 300},                 // beyond the list: opened, not shown
        {"COM", Sz("COM"), 0, 0, 0},                            // the list's "NULL" entry
        {"COMx", Sz("COMx"), 0, 0, 0},
        {"empty", Sz(""), 0, 0, 0},
        {"COM-5", Sz("COM-5"), -5, -1, 0},
        {"COM99999999", Sz("COM99999999"), 99999999, -1, 0},   // a device name, but no card there
        {"COM100000000", Sz("COM100000000"), 100000000, -1, 0},
        {"COM2147483647", Sz("COM2147483647"), INT_MAX, -1, 0},
        {"COM2147483648", Sz("COM2147483648"), 3, 3, 0},       // does not fit: COM3 is kept
        {"COM99999999999", Sz("COM99999999999"), 3, 3, 0},
    };
    const std::string strInstance = "USB\\VID_X&PID_Y\\1";
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        sim::UnplugAll();
        std::shared_ptr<CSimCard> cards[] = {sim::Plug(7, m_clock), sim::Plug(123, m_clock), sim::Plug(300, m_clock)};
        m_registry.Clear();
        AddDriver(m_registry, kDiag, "USB\\VID_X&PID_Y\\2", "COM6");
        AddDriver(m_registry, kModem, strInstance, "COM1");
        m_registry.SetBytes(PortKey(strInstance), "PortName", c.portName);
        SetModemPort(Monitor(), 3);

        EXPECT_TRUE(Monitor().RunMonitorPass());
        EXPECT_EQ(Monitor().State().m_nModemPort, c.nStored);
        EXPECT_EQ(Window().Control(IDC_PORT_LIST).nSelection, c.nSelection);
        int nOpened = 0;
        for (const auto& pCard : cards)
            if (pCard->OpenCount() > 0)
                nOpened = nOpened ? -1 : pCard->Port();
        EXPECT_EQ(nOpened, c.nOpenedCard);
        EXPECT_EQ(Monitor().State().m_bConnected, c.nOpenedCard ? 1 : 0);
        EXPECT_EQ(Window().Control(IDC_STATUS_PICTURE).nBitmap, c.nOpenedCard ? IDB_READY : IDB_SEARCHING);
        EXPECT_EQ(m_recorder.OpenKeyCount(), 0u);
    }
}

}  // namespace
