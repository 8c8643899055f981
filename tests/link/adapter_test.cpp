// Adapter kinds: the default a port name gets, the names the command line
// and the settings file use, and the line a LocoBuffer gets on a
// pseudo-terminal, read back through the other side.

#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <termios.h>

#include "link/kvr_adapter.h"
#include "link/kvr_link.h"
#include "link/kvr_serial.h"
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

// Passes every call through and notes the modem lines set and cleared: a
// pseudo-terminal has none to read back.
class modem_line_io : public kvr_serial_io {
public:
    int ioctl(int fd, unsigned long request, void* arg) override {
        if (request == TIOCMBIS) raised |= *static_cast<int*>(arg);
        if (request == TIOCMBIC) cleared |= *static_cast<int*>(arg);
        return kvr_serial_io::ioctl(fd, request, arg);
    }
    int raised = 0;
    int cleared = 0;
};

// The settings of the slave, as the master sees them: the pseudo-terminal
// keeps what the driver was told, from one open to the next, as a real port
// does. So each kind must set its whole line: an MS100 after a LocoBuffer
// run must not inherit RTS/CTS flow control, which would stall its writes,
// nor software flow control (0x11 and 0x13 are data on the bus).
TEST(Adapter, LineSettingsReachTheDeviceWhateverTheLastRunLeft) {
    const test_pty pty;
    const int master = pty.master();
    termios tio{};
    ASSERT_EQ(::tcgetattr(master, &tio), 0);
    tio.c_iflag |= IXON | IXOFF;
    ASSERT_EQ(::tcsetattr(master, TCSANOW, &tio), 0);

    const struct {
        kvr_adapter kind;
        unsigned baud;
        bool rtscts;
        int raised, cleared;
    } cases[] = {
        {kvr_adapter::locobuffer, 57600, true, TIOCM_DTR | TIOCM_RTS, 0},
        {kvr_adapter::ms100, 16457, false, TIOCM_RTS, TIOCM_DTR},
        {kvr_adapter::locobuffer_19200, 19200, true, TIOCM_DTR | TIOCM_RTS, 0},
        {kvr_adapter::locobuffer_115200, 115200, true, TIOCM_DTR | TIOCM_RTS, 0},
        {kvr_adapter::ms100, 16457, false, TIOCM_RTS, TIOCM_DTR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(kvr_adapter_find(c.kind)->name);
        modem_line_io io;
        kvr_link link(io);
        link.set_adapter(c.kind);
        link.open(pty.path());
        EXPECT_EQ(link.adapter(), c.kind);
        unsigned baud = 0;
        bool rtscts = !c.rtscts;
        bool xonxoff = true;
        ASSERT_EQ(kvr_serial::line_settings(master, &baud, &rtscts, kvr_serial_io::system()), 0);
        ASSERT_EQ(kvr_serial::software_flow(master, &xonxoff, kvr_serial_io::system()), 0);
        EXPECT_EQ(baud, c.baud);
        EXPECT_EQ(rtscts, c.rtscts);
        EXPECT_FALSE(xonxoff);
        EXPECT_EQ(io.raised, c.raised);
        EXPECT_EQ(io.cleared, c.cleared);
        link.close();
    }
}

}  // namespace
