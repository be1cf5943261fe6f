// Card discovery from udev: the grouping on plain records, and the whole listing through libudev
// against a umockdev testbed (this program runs under umockdev-wrapper).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "UdevTestbed.h"
#include "discovery/udev/UdevCards.h"

namespace {

CUdevTty Tty(const char* pszDevice, const char* pszDriver, const char* pszInterface, const char* pszUsb = "1-1")
{
    const std::string strUsb = std::string("/sys/devices/usb1/") + pszUsb;
    const std::string strInterface = strUsb + ":1." + pszInterface;
    return {pszDevice, strInterface + "/tty", pszDriver, strInterface, pszInterface,
            strUsb,    pszUsb,                "12D1",    "1001",       "SN1"};
}

TEST(GroupUdevTtysTest, FiltersGroupsAndOrders)
{
    struct GroupCase {
        const char* pszName;
        std::vector<CUdevTty> ttys;
        const char* pszListing;
    };
    CUdevTty noNode = Tty("", "option", "01");
    CUdevTty badNumber = Tty("/dev/ttyUSB9", "option", "zz");
    CUdevTty oddIds = Tty("/dev/ttyUSB1", "option", "01");
    oddIds.strVendorId = "12d10";
    oddIds.strProductId = "";
    CUdevTty sameInterface = Tty("/dev/ttyUSB1", "option", "00");
    const GroupCase cases[] = {
        {"ports in interface order, ids lower-cased",
         {Tty("/dev/ttyUSB2", "option", "0a"), Tty("/dev/ttyUSB0", "option", "00"),
          Tty("/dev/ttyUSB1", "option", "01")},
         "1-1 12d1:1001 SN1: 0 /dev/ttyUSB0 option, 1 /dev/ttyUSB1 option, 10 /dev/ttyUSB2 option\n"},
        {"one serial interface is no card", {Tty("/dev/ttyUSB0", "option", "00")}, ""},
        {"other drivers' ports are never listed",
         {Tty("/dev/ttyUSB0", "ftdi_sio", "00"), Tty("/dev/ttyUSB1", "ftdi_sio", "01"), Tty("/dev/ttyUSB2", "", "02"),
          Tty("/dev/ttyUSB3", "option", "03")},
         ""},
        {"a port without a device node does not count", {Tty("/dev/ttyUSB0", "option", "00"), noNode}, ""},
        {"two ttys of one interface are one interface",
         {Tty("/dev/ttyUSB0", "option", "00"), sameInterface}, ""},
        {"a number that is not hex is unknown and last",
         {badNumber, Tty("/dev/ttyUSB0", "qcserial", "02")},
         "1-1 12d1:1001 SN1: 2 /dev/ttyUSB0 qcserial, ? /dev/ttyUSB9 option\n"},
        {"ids that are not four hex digits are empty", {oddIds, Tty("/dev/ttyUSB0", "option", "00")},
         "1-1 : SN1: 0 /dev/ttyUSB0 option, 1 /dev/ttyUSB1 option\n"},
        {"cards by id",
         {Tty("/dev/ttyACM0", "cdc_acm", "00", "2-1"), Tty("/dev/ttyUSB0", "sierra", "03", "1-2"),
          Tty("/dev/ttyACM1", "cdc_acm", "02", "2-1"), Tty("/dev/ttyUSB1", "sierra", "04", "1-2")},
         "1-2 12d1:1001 SN1: 3 /dev/ttyUSB0 sierra, 4 /dev/ttyUSB1 sierra\n"
         "2-1 12d1:1001 SN1: 0 /dev/ttyACM0 cdc_acm, 2 /dev/ttyACM1 cdc_acm\n"},
    };
    for (const GroupCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        EXPECT_EQ(InventoryText(GroupUdevTtys(c.ttys)), c.pszListing);
    }
}

// A three-interface card on option (its tty under a usb-serial port device, as the kernel lays it
// out), a two-interface card on qcserial without a serial number, a one-interface option adapter,
// an FTDI dual adapter, an interface with no driver bound and a tty that is not on USB at all.
TEST(ListUdevCardsTest, ListsCardsFromTheDeviceTree)
{
    CUdevTestbed testbed;
    ASSERT_TRUE(testbed.InMockEnvironment()) << "run this program under umockdev-wrapper";
    const CUsbDeviceRecord devices[] = {
        {"1-2", "12d1", "1001", "HW0001",
         {{"00", "option", "ttyUSB0"}, {"01", "option", "ttyUSB1"}, {"02", "option", "ttyUSB2"}}},
        {"1-1", "05C6", "9215", nullptr, {{"03", "qcserial", "ttyUSB4"}, {"02", "qcserial", "ttyUSB3"}}},
        {"1-3", "19d2", "0001", "ONE", {{"00", "option", "ttyUSB5"}}},
        {"1-4", "0403", "6010", "FT2", {{"00", "ftdi_sio", "ttyUSB6"}, {"01", "ftdi_sio", "ttyUSB7"}}},
        {"1-5", "1199", "68a3", "S", {{"00", "sierra", "ttyUSB8"}, {"01", nullptr, "ttyUSB9"}}},
    };
    for (const CUsbDeviceRecord& d : devices)
        ASSERT_EQ(testbed.Add(UdevRecordText(d)), "") << d.strName;
    ASSERT_EQ(testbed.Add("P: /devices/platform/serial8250/tty/ttyS0\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyS0\n"), "");

    const std::vector<CInventoryCard> cards = ListUdevCards();
    EXPECT_EQ(InventoryText(cards),
              "1-1 05c6:9215 : 2 /dev/ttyUSB3 qcserial, 3 /dev/ttyUSB4 qcserial\n"
              "1-2 12d1:1001 HW0001: 0 /dev/ttyUSB0 option, 1 /dev/ttyUSB1 option, 2 /dev/ttyUSB2 option\n");
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards[1].ports[2].strPath, "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.2/ttyUSB2/tty/ttyUSB2");
}

// Two cards behind two hubs: each one's slot is its place in the tree, whatever its id or serial.
TEST(ListUdevCardsTest, NamesSlotsBehindHubs)
{
    CUdevTestbed testbed;
    ASSERT_TRUE(testbed.InMockEnvironment()) << "run this program under umockdev-wrapper";
    ASSERT_EQ(testbed.Add(UdevHubRecordText("1-1") + UdevHubRecordText("1-2")), "");
    const CUsbDeviceRecord devices[] = {
        {"1-1.1", "1209", "0001", "SAME", {{"00", "option", "ttyUSB0"}, {"02", "option", "ttyUSB1"}}},
        {"1-2.3", "1209", "0001", "SAME", {{"00", "option", "ttyUSB2"}, {"02", "option", "ttyUSB3"}}},
    };
    for (const CUsbDeviceRecord& d : devices)
        ASSERT_EQ(testbed.Add(UdevRecordText(d)), "") << d.strName;

    const std::vector<CInventoryCard> cards = ListUdevCards();
    ASSERT_EQ(cards.size(), 2u) << InventoryText(cards);
    EXPECT_EQ(cards[0].strSlot, "1-1.1");
    EXPECT_EQ(cards[1].strSlot, "1-2.3");
    EXPECT_EQ(cards[1].ports[0].strPath,
              "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.3/1-2.3:1.0/ttyUSB2/tty/ttyUSB2");
}

} // namespace
