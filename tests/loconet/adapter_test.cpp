// Adapter kinds: the default a port name gets, the names the command line
// and the settings file use, and the line a LocoBuffer gets on a
// pseudo-terminal, read back through the other side.

#include <gtest/gtest.h>

#include "loconet/kvr_adapter.h"
#include "loconet/kvr_ms100.h"
#include "loconet/kvr_serial.h"
#include "support/test_pty.h"

namespace {

TEST(Adapter, DefaultByPortName) {
    const struct {
        const char* port;
        kvr_adapter kind;
    } cases[] = {
        {"COM1", kvr_adapter::ms100},
        {"/dev/ttyS0", kvr_adapter::ms100},
        {"/dev/ttyACM0", kvr_adapter::locobuffer},
        {"/dev/ttyUSB1", kvr_adapter::locobuffer},
        {"/dev/serial/by-id/usb-RR-CirKits_LocoBuffer-USB_1234-if00-port0", kvr_adapter::locobuffer},
        {"tcp://localhost", kvr_adapter::tcp},
        {"SIM", kvr_adapter::ms100},
        {"/dev/pts/3", kvr_adapter::ms100},
    };
    for (const auto& c : cases) EXPECT_EQ(kvr_adapter_for_port(c.port), c.kind) << c.port;

    // A choice wins over the default, except that tcp:// is always TCP and
    // nothing else is.
    EXPECT_EQ(kvr_adapter_resolve(kvr_adapter::locobuffer_19200, "/dev/ttyS0"), kvr_adapter::locobuffer_19200);
    EXPECT_EQ(kvr_adapter_resolve(kvr_adapter::ms100, "tcp://h"), kvr_adapter::tcp);
    EXPECT_EQ(kvr_adapter_resolve(kvr_adapter::tcp, "/dev/ttyUSB0"), kvr_adapter::locobuffer);
    EXPECT_EQ(kvr_adapter_resolve(kvr_adapter::automatic, "COM2"), kvr_adapter::ms100);
}

TEST(Adapter, NamesRoundTrip) {
    for (kvr_adapter kind : kvr_serial_adapters) {
        const kvr_adapter_info* info = kvr_adapter_find(kind);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(kvr_adapter_parse(info->name), kind);
    }
    EXPECT_FALSE(kvr_adapter_parse("locobuffer-9600"));
    EXPECT_FALSE(kvr_adapter_parse("tcp"));
}

// The settings of the slave, as the master sees them: the pseudo-terminal
// keeps what the driver was told.
TEST(Adapter, LineSettingsReachTheDevice) {
    const test_pty pty;
    const int master = pty.master();

    const struct {
        kvr_adapter kind;
        unsigned baud;
        bool rtscts;
    } cases[] = {
        {kvr_adapter::locobuffer, 57600, true},
        {kvr_adapter::locobuffer_19200, 19200, true},
        {kvr_adapter::locobuffer_115200, 115200, true},
        {kvr_adapter::ms100, 16457, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(kvr_adapter_find(c.kind)->name);
        kvr_ms100 link;
        link.set_adapter(c.kind);
        link.open(pty.path());
        EXPECT_EQ(link.adapter(), c.kind);
        unsigned baud = 0;
        bool rtscts = !c.rtscts;
        ASSERT_EQ(kvr_serial::line_settings(master, &baud, &rtscts, kvr_serial_io::system()), 0);
        EXPECT_EQ(baud, c.baud);
        EXPECT_EQ(rtscts, c.rtscts);
        link.close();
        // The next kind starts from a line without flow control, as a
        // fresh device would.
        ASSERT_EQ(kvr_serial::set_hardware_flow(master, false, kvr_serial_io::system()), 0);
    }
}

}  // namespace
