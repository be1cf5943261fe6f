// ListRegistryCards: every instance of every driver, grouped into cards by the prefix that the interfaces of
// one USB device share; and the last failing call that a serial port records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discovery/Discovery.h"
#include "discovery/memory/MemoryRegistry.h"
#include "tests/support/RecordingRegistry.h"
#include "serial/SerialPort.h"

namespace {

const std::string kServices = "SYSTEM\\CurrentControlSet\\Services\\";
const std::string kEnum = "SYSTEM\\CurrentControlSet\\Enum\\";

// Lists instances under the driver (value names 0, 1, ...) with Count nCount, each with its port.
void AddDriver(CMemoryRegistry& registry, const std::string& strService, uint32_t nCount,
               const std::vector<std::pair<std::string, std::string>>& instances)
{
    const std::string strEnumKey = kServices + strService + "\\Enum";
    registry.SetDword(strEnumKey, "Count", nCount);
    for (size_t n = 0; n < instances.size(); ++n) {
        registry.SetString(strEnumKey, std::to_string(n), instances[n].first);
        if (!instances[n].second.empty())
            registry.SetString(kEnum + instances[n].first + "\\Device Parameters", "PortName", instances[n].second);
    }
}

// One line per card: "id: role service#instance=port ...", port 0 when unreadable.
std::vector<std::string> Summary(const std::vector<CRegistryCard>& cards)
{
    std::vector<std::string> lines;
    for (const CRegistryCard& card : cards) {
        std::string str = card.strId + ":";
        for (const CRegistryPort& port : card.ports)
            str += std::string(" ") + PortRoleName(port.eRole) + " " + port.strService + "#" +
                   std::to_string(port.nInstance) + "=" + std::to_string(port.nPort.value_or(0));
        lines.push_back(str);
    }
    return lines;
}

TEST(CardIdOfInstanceTest, DropsTheLastFieldOfTheLastSegment)
{
    const struct {
        const char* pszPath;
        const char* pszId;
    } kCases[] = {
        {"USB\\VID_AAAA&PID_0001&MI_02\\7&11&0&0002", "7&11&0"},
        {"USB\\VID_AAAA&PID_0001&MI_00\\7&11&0&0000", "7&11&0"},
        {"USB\\VID_AAAA&PID_0001\\SERIAL123", "SERIAL123"},   // no '&': the whole segment
        {"7&22&1&0001", "7&22&1"},                            // no backslash
        {"USB\\X\\", ""},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(CardIdOfInstance(c.pszPath), c.pszId) << c.pszPath;
}

// Two cards of three interfaces each across the modem, diagnostic and AT drivers; a Count larger
// than the instances present; a driver on two lists listed once, in its first role; a port whose
// name is missing.
TEST(ListRegistryCardsTest, GroupsEveryInstanceIntoCards)
{
    CMemoryRegistry registry;
    AddDriver(registry, "YARLOusbmdm6k", 5,
              {{"USB\\VID_AAAA&PID_0001&MI_02\\7&11&0&0002", "COM5"},
               {"USB\\VID_AAAA&PID_0001&MI_02\\7&22&0&0002", "COM15"}});
    AddDriver(registry, "YARLOusbser6k", 2,
              {{"USB\\VID_AAAA&PID_0001&MI_00\\7&11&0&0000", "COM6"},
               {"USB\\VID_AAAA&PID_0001&MI_00\\7&22&0&0000", ""}});
    AddDriver(registry, "YARLOusbnmea", 1, {{"USB\\VID_AAAA&PID_0001&MI_03\\7&22&0&0003", "COM17"}});
    AddDriver(registry, "zgdcmdm", 1, {{"USB\\VID_BBBB&PID_0002\\ZG1", "COM30"}});

    CRecordingRegistry recorder(registry);
    EXPECT_EQ(Summary(ListRegistryCards(recorder)),
              (std::vector<std::string>{
                  "7&11&0: modem YARLOusbmdm6k#0=5 diagnostic YARLOusbser6k#0=6",
                  "7&22&0: modem YARLOusbmdm6k#1=15 diagnostic YARLOusbser6k#1=0 AT YARLOusbnmea#0=17",
                  "ZG1: modem zgdcmdm#0=30",
              }));
    EXPECT_EQ(recorder.OpenKeyCount(), 0u);
}

// Without administrator rights (read access only) the listing is the same.
TEST(ListRegistryCardsTest, ReadAccessIsEnough)
{
    CMemoryRegistry registry;
    AddDriver(registry, "qcusbmdm6k", 1, {{"USB\\VID_AAAA&PID_0001&MI_02\\7&33&0&0002", "COM9"}});
    registry.SetGrantedAccess(kKeyRead);
    EXPECT_EQ(Summary(ListRegistryCards(registry)), (std::vector<std::string>{"7&33&0: modem qcusbmdm6k#0=9"}));
}

TEST(ListRegistryCardsTest, NothingListedGivesNoCards)
{
    CMemoryRegistry registry;
    AddDriver(registry, "qcusbmdm6k", 0, {});
    EXPECT_TRUE(ListRegistryCards(registry).empty());
}

// CSerialPort::LastError: a failed open names the system call and its error; it stays after a
// later success and is gone after ClearLastError.
TEST(SerialLastErrorTest, NamesTheFailingCall)
{
    CSerialPort port;
    EXPECT_TRUE(port.LastError().strCall.empty());
    EXPECT_EQ(port.Open(7777, 115200, 8, 1), 0);   // no device at that number
    EXPECT_FALSE(port.LastError().strCall.empty());
    EXPECT_NE(port.LastError().nCode, 0);
    port.ClearLastError();
    EXPECT_TRUE(port.LastError().strCall.empty());
}

} // namespace
