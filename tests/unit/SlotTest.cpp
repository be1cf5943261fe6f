// Slots: the pure forms from sysfs names and LocationInformation, and the registry shapes that the
// every-card listing reads them from.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "discovery/Discovery.h"
#include "discovery/Slot.h"
#include "discovery/memory/MemoryRegistry.h"
#include "tests/support/RecordingRegistry.h"

namespace {

TEST(SlotTest, ParsesEachPlatformsForm)
{
    const struct {
        std::string (*parse)(const std::string&);
        const char* pszText;
        const char* pszSlot;
    } kCases[] = {
        {SlotOfUsbName, "1-4.2", "1-4.2"},
        {SlotOfUsbName, "3-1", "3-1"},
        {SlotOfUsbName, "usb1", ""},
        {SlotOfUsbName, "1-4:1.0", ""},
        {SlotOfUsbName, "1-4.", ""},
        {SlotOfUsbName, "-4", ""},
        {SlotOfUsbName, "1-4..2", ""},
        {SlotOfTopologyAddress, "0000.0014.0000.016.003.004.003.000.000", "0:14.0-16.3.4.3"},
        {SlotOfTopologyAddress, "0000.0014.0000.001.002.000.000.000.000", "0:14.0-1.2"},
        {SlotOfTopologyAddress, "0001.001a.0000.001.000.000.000.000.000", ""},   // hex is not decimal
        {SlotOfTopologyAddress, "0000.0014.0000.016.003.004.003.000", ""},       // eight fields
        {SlotOfTopologyAddress, "0000.0014.0000.000.003.000.000.000.000", ""},   // no root port
        {SlotOfTopologyAddress, "0000.0014.0000.016.000.004.000.000.000", ""},   // a port after none
        {SlotOfTopologyAddress, "0000.0014.0000.016..000.000.000.000", ""},
        {SlotOfTopologyAddress, "Port_#0003.Hub_#0004", ""},
        {SlotOfHubPort, "Port_#0003.Hub_#0004", "hub4-3"},
        {SlotOfHubPort, "Port_#0000.Hub_#0004", ""},
        {SlotOfHubPort, "Port_#000x.Hub_#0004", ""},
        {SlotOfHubPort, "Hub_#0004.Port_#0003", ""},
        {SlotOfHubPort, "", ""},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(c.parse(c.pszText), c.pszSlot) << c.pszText;
}

// One card (modem interface 2, diagnostic 0, parent prefix 7&C0&0) in the registry shapes a
// Windows machine or Wine may hold; the slot and serial the listing reads from each.
TEST(SlotTest, ReadsTheRegistryShapes)
{
    const std::string kEnum = "SYSTEM\\CurrentControlSet\\Enum\\";
    const std::string kModem = "USB\\VID_1209&PID_0001&MI_02\\7&C0&0&0002";
    const std::string kDevices = kEnum + "USB\\VID_1209&PID_0001\\";
    enum EShape { kTopology, kMalformed, kParentOnly, kNeither, kDwordValues, kOtherParent, kParentNoSerial };
    const struct {
        const char* pszName;
        EShape eShape;
        const char* pszSlot;
        const char* pszSerial;
    } kCases[] = {
        {"topology address", kTopology, "0:14.0-1.3", "VOSTREL0002"},
        {"malformed address, the parent's hub port", kMalformed, "hub1-3", "VOSTREL0002"},
        {"the parent's hub port", kParentOnly, "hub1-3", "VOSTREL0002"},
        {"neither", kNeither, "", ""},
        {"values of the wrong type", kDwordValues, "", ""},
        {"a parent of another card only", kOtherParent, "", ""},
        {"a parent named without a serial", kParentNoSerial, "hub1-3", ""},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszName);
        CMemoryRegistry registry;
        const std::string strDriverEnum = "SYSTEM\\CurrentControlSet\\Services\\YARLOusbmdm6k\\Enum";
        registry.SetDword(strDriverEnum, "Count", 1);
        registry.SetString(strDriverEnum, "0", kModem);
        registry.SetString(kEnum + kModem + "\\Device Parameters", "PortName", "COM5");
        registry.AddKey(kDevices + "5&ABC&0&1");   // another device of the same ids, no prefix
        const std::string strParent = kDevices + (c.eShape == kParentNoSerial ? "6&1F&0&2" : "VOSTREL0002");
        if (c.eShape == kTopology)
            registry.SetString(kEnum + kModem, "LocationInformation", "0000.0014.0000.001.003.000.000.000.000");
        if (c.eShape == kMalformed)
            registry.SetString(kEnum + kModem, "LocationInformation", "0000.0014.0000.001.003.000.000.000");
        if (c.eShape == kDwordValues) {
            registry.SetDword(kEnum + kModem, "LocationInformation", 0x30303030);
            registry.SetDword(strParent, "ParentIdPrefix", 7);
        } else if (c.eShape != kNeither) {
            registry.SetString(strParent, "ParentIdPrefix", c.eShape == kOtherParent ? "7&C1&0" : "7&c0&0");
        }
        registry.SetString(strParent, "LocationInformation", "Port_#0003.Hub_#0001");

        CRecordingRegistry recorder(registry);
        const std::vector<CInventoryCard> cards = RegistryInventory(recorder);
        ASSERT_EQ(cards.size(), 1u);
        EXPECT_EQ(cards[0].strSlot, c.pszSlot);
        EXPECT_EQ(cards[0].strSerial, c.pszSerial);
        EXPECT_EQ(recorder.OpenKeyCount(), 0u);
    }
}

// A USB device with one interface is listed by its own instance, named by its serial number when it
// has one; an instance of another bus has no USB serial number, whatever its name.
TEST(SlotTest, ReadsTheSerialOfASingleInterfaceDevice)
{
    CMemoryRegistry registry;
    const std::string strDriverEnum = "SYSTEM\\CurrentControlSet\\Services\\zgdcmdm\\Enum";
    registry.SetDword(strDriverEnum, "Count", 2);
    registry.SetString(strDriverEnum, "0", "USB\\VID_BBBB&PID_0002\\ZG1");
    registry.SetString(strDriverEnum, "1", "ROOT\\PORTS\\0000");
    registry.SetString("SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_BBBB&PID_0002\\ZG1", "LocationInformation",
                       "Port_#0002.Hub_#0003");
    CRecordingRegistry recorder(registry);
    const std::vector<CInventoryCard> cards = RegistryInventory(recorder);
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards[0].strSerial + " " + cards[0].strSlot, "ZG1 hub3-2");
    EXPECT_EQ(cards[1].strSerial + " " + cards[1].strSlot, " ");
}

// A followed card is looked at through its own drivers' lists; only once it has gone is everything
// listed, and then only what is at a followed slot is kept.
TEST(SlotTest, LooksAtTheFollowedSlotsOnly)
{
    CMemoryRegistry registry;
    // The diagnostic driver's list: each instance at its slot (root port 1, hub port n).
    auto plug = [&](const std::vector<std::pair<std::string, int>>& instances) {
        const std::string strList = "SYSTEM\\CurrentControlSet\\Services\\YARLOusbser6k\\Enum";
        registry.RemoveKey(strList);
        for (size_t n = 0; n < instances.size(); ++n) {
            registry.SetString(strList, std::to_string(n), instances[n].first);
            registry.SetString("SYSTEM\\CurrentControlSet\\Enum\\" + instances[n].first, "LocationInformation",
                               "0000.0014.0000.001.00" + std::to_string(instances[n].second) + ".000.000.000.000");
        }
        registry.SetDword(strList, "Count", static_cast<uint32_t>(instances.size()));
    };
    const std::pair<std::string, int> kOther = {"USB\\VID_1209&PID_0001&MI_00\\7&C2&0&0000", 2};
    plug({{"USB\\VID_1209&PID_0001&MI_00\\7&C1&0&0000", 1}, kOther});
    CRecordingRegistry recorder(registry);
    const std::vector<CInventoryCard> cards = RegistryInventory(recorder);
    ASSERT_EQ(cards.size(), 2u);
    const CInventoryCard& followed = cards[0];
    ASSERT_EQ(followed.strSlot, "0:14.0-1.1");
    std::vector<CInventoryCard> seen = LookAtRegistrySlots(recorder, {followed});
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].strId, followed.strId);

    // Gone, and a download device at its slot; the other card stays out of it.
    plug({{"USB\\VID_1209&PID_0002\\7&C9&0&0000", 1}, kOther});
    seen = LookAtRegistrySlots(recorder, {followed});
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].strProductId + " " + seen[0].strSlot, "0002 0:14.0-1.1");
    EXPECT_EQ(recorder.OpenKeyCount(), 0u);
}

TEST(SlotTest, EnumeratesSubkeysByIndex)
{
    CMemoryRegistry registry;
    registry.AddKey("A\\Top\\One\\Deeper");
    registry.AddKey("A\\Top\\Two");
    registry.AddKey("A\\Topless");
    RegKey key = 0;
    ASSERT_TRUE(registry.OpenKey("a\\top", kKeyRead, &key));
    std::string strName;
    std::vector<std::string> names;
    for (uint32_t n = 0; registry.EnumSubkey(key, n, &strName); ++n)
        names.push_back(strName);
    EXPECT_EQ(names, (std::vector<std::string>{"One", "Two"}));
    registry.CloseKey(key);
}

} // namespace
