#include <gtest/gtest.h>

#include "ui/kvr_port_list.h"

using list = std::vector<std::string>;

TEST(PortList, FixedPortsDevicesAndStoredPathSortedWithoutDuplicates) {
    struct {
        list devices;
        std::string stored;
        list expected;
    } cases[] = {
        {{}, "COM1", {"COM1", "COM2", "COM3", "COM4", "SIM"}},
        {{}, "/dev/ttyS9", {"/dev/ttyS9", "COM1", "COM2", "COM3", "COM4", "SIM"}},
        {{"/dev/ttyUSB0", "/dev/serial/by-id/usb-MS100", "/dev/ttyACM0"},
         "/dev/ttyUSB0",
         {"/dev/serial/by-id/usb-MS100", "/dev/ttyACM0", "/dev/ttyUSB0", "COM1", "COM2", "COM3", "COM4",
          "SIM"}},
        {{}, "com9", {"COM1", "COM2", "COM3", "COM4", "SIM"}},  // not a path: not listed
        {{}, "tcp://localhost", {"COM1", "COM2", "COM3", "COM4", "SIM", "tcp://localhost"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kvr_port_list(c.devices, c.stored), c.expected) << c.stored;
}

TEST(PortList, FirstStartOffersTheFirstUsbInterfaceElseSim) {
    EXPECT_EQ(kvr_first_start_port({}), "SIM");
    EXPECT_EQ(kvr_first_start_port({"/dev/ttyUSB0", "/dev/ttyACM0"}), "/dev/ttyUSB0");
}

TEST(PortList, SelectionIsExactElseFirst) {
    const list items = kvr_port_list({}, "");
    EXPECT_EQ(kvr_port_selection(items, "SIM"), 4);
    EXPECT_EQ(kvr_port_selection(items, "COM3"), 2);
    EXPECT_EQ(kvr_port_selection(items, "com3"), 0);
    EXPECT_EQ(kvr_port_selection(items, ""), 0);
}
