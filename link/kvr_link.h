#pragma once
// The link to the bus: one I/O thread, the transmit queue, and a transport
// for the device (kvr_transport.h). The thread waits for input up to the
// poll interval (10 ms, 2 ms after a write), reads whatever waits, hands it
// to the receive path, and writes at most one queued message per cycle.
//
// Port names: "COM1".."COM4" are /dev/ttyS0../dev/ttyS3; a name starting
// with "/", "./" or "../" is a device path; "tcp://HOST[:PORT]" is a
// LocoNet-over-TCP server; other names (such as "SIM") are virtual ports
// that the program offers on this one link (a simulated layout on a
// pseudo-terminal, with the options of this link's user).
//
// The adapter kind (kvr_adapter.h) picks the transport (kvr_transport.h),
// which is handed the transmit queue (kvr_tx_queue.h): the serial kinds
// differ in rate and flow control, and only the MS100 waits for a quiet bus
// itself (kvr_serial_transport.h); LocoNet over TCP connects on the I/O
// thread and has every SEND confirmed (kvr_tcp_transport.h). The serial
// path's reports keep the adapter's own name ("kvr_ms100") as users and
// their logs know it; a server's reports name the server.

#include <functional>
#include <memory>
#include <string>

#include "link/kvr_adapter.h"
#include "link/kvr_loconet_port.h"

class kvr_serial_io;
struct kvr_link_core;

// A port that exists only while the link is open, such as the simulated
// layout: it owns its peer and offers a device path to open.
class kvr_virtual_port {
public:
    virtual ~kvr_virtual_port() = default;
    virtual std::string device_path() const = 0;
};
using kvr_virtual_port_factory = std::function<std::unique_ptr<kvr_virtual_port>()>;

class kvr_link : public kvr_loconet_port {
public:
    kvr_link();
    // Makes the calls on the device through `io` (not owned; it must outlive
    // the link), so tests can make them fail.
    explicit kvr_link(kvr_serial_io& io);
    ~kvr_link() override;  // closes the port when the owner did not

    // The adapter kind of the next open (kvr_adapter.h); automatic picks it
    // by the port name, and a tcp:// name is always LocoNet over TCP.
    // Called while the link is closed.
    void set_adapter(kvr_adapter kind);
    // The kind in use (while open) or the one the next open would use.
    kvr_adapter adapter() const;

    void open(const std::string& port_name) override;
    void close() override;
    void purge() override;
    void send(const kvr_loconet_msg& msg, uint32_t tag = 0) override;
    void send_first(const kvr_loconet_msg& msg) override;
    std::size_t withdraw(uint32_t tag) override;

    // Messages still waiting to be written (an MS100's message counts until
    // its echo came back).
    std::size_t tx_pending() const;
    // Messages given up since the link was made: the bus never carried them
    // (a collision at every try). Each is also reported in the monitor and
    // the dated log.
    std::size_t not_sent() const;
    // Waits until the transmit queue is empty (true) or `ms` ran out (false).
    bool wait_tx_empty(unsigned ms) const;
    bool wait_sent(unsigned ms) override { return wait_tx_empty(ms); }

    // Offers a virtual port name on this link only, so that two users of
    // the link class in one process never share each other's port options.
    // Called by the link's owner, while the link is closed.
    void add_virtual_port(const std::string& name, kvr_virtual_port_factory factory);
    bool is_virtual_port(const std::string& name) const;
    // "COM1" -> "/dev/ttyS0"; a path ("/dev/pts/3", "./bus") stays; "" for
    // other names.
    static std::string device_path_for(const std::string& port_name);

private:
    // The I/O thread's state and what the transports may use of the link
    // (kvr_link_core.h).
    friend struct kvr_link_core;
    std::unique_ptr<kvr_link_core> core_;
};
