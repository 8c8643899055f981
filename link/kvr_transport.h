#pragma once
// One way to the bus for the link's I/O thread (kvr_link.h). The link owns
// the thread, the failure gate and the listeners; it hands a transport the
// transmit queue (kvr_tx_queue.h) and what else it may use through
// kvr_transport_host. A transport owns its descriptor and how bytes cross
// it:
//
//   kvr_serial_transport  a serial adapter (MS100, LocoBuffer, ...): raw
//                         bytes; the MS100 keeps the bus's access rules
//   kvr_tcp_transport     a LocoNet-over-TCP server: SEND and RECEIVE lines,
//                         one SEND at a time, confirmed by the server
//
// A new transport is one more class here and one line in
// kvr_make_transport; the link has no branch per kind. Every call but
// open(), purge() and close() is made on the I/O thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "link/kvr_tx_gate.h"

class kvr_exception;
class kvr_serial_io;
class kvr_tx_queue;
class kvr_loconet_msg;
struct kvr_adapter_info;

// What the link lends its transport. The references live as long as the
// transport.
class kvr_transport_host {
public:
    virtual ~kvr_transport_host() = default;
    // The port as its user named it ("/dev/ttyUSB0", "tcp://host:1234").
    virtual const std::string& port_name() const = 0;
    virtual const kvr_adapter_info& adapter() const = 0;
    // The calls on a device (tests make them fail).
    virtual kvr_serial_io& io() = 0;
    virtual kvr_tx_queue& queue() = 0;
    // The I/O thread: bytes read from the bus for the receive path, and
    // whether framed bytes still wait there.
    virtual void deliver(const uint8_t* bytes, std::size_t n) = 0;
    virtual bool receive_pending() const = 0;
    // The I/O thread: a line of the link's own for the monitor (no line end).
    virtual void note(const std::string& text) = 0;
    // The I/O thread: the bus or server did not carry `msg`; told to the
    // listeners and recorded, with `report` naming why.
    virtual void refused(const kvr_exception& report) = 0;
    // A message given up after collisions on every try: counted, shown and
    // recorded.
    virtual void given_up(const kvr_loconet_msg& msg) = 0;
    // A failure the link lives with: recorded, at most one a minute.
    virtual void record(kvr_exception& e) = 0;
    // For a transport that waits while connecting: the stop flag of the
    // I/O thread and the descriptor that rings when it is raised.
    virtual const std::atomic<bool>& stopping() const = 0;
    virtual int wake_descriptor() const = 0;
};

class kvr_transport {
public:
    using duration = kvr_tx_gate::duration;

    virtual ~kvr_transport() = default;
    // The owner's thread, no I/O thread running: open the descriptor (or
    // check the address). Throws kvr_exception.
    virtual void open() = 0;
    // The I/O thread, before its first cycle: a transport that connects
    // does it here, so open() never waits for the network. Throws
    // kvr_exception; leaves descriptor() at -1 when stopped meanwhile.
    virtual void connect() {}
    // The descriptor the I/O thread polls for input; -1 while there is none.
    virtual int descriptor() const = 0;
    // One poll cycle: read and deliver what waits, write at most one queued
    // message. `hangup`: the poll saw the device hang up. Returns the next
    // poll interval. Throws kvr_exception for a failed call on the device.
    virtual duration cycle(duration interval, bool hangup) = 0;
    // True when the failure code means the device or connection is gone
    // for good (the link is lost, not just one call failed).
    virtual bool gone(uint32_t code) const = 0;
    // The I/O thread ends or the link is lost: a message already on the
    // line counts as sent rather than going again after the next open.
    virtual void settle() {}
    // The owner's thread: drop what the device holds of received input.
    virtual void purge() {}
    // The owner's thread, after the I/O thread stopped.
    virtual void close() = 0;
};

// The transport of the host's adapter kind. `device_path`: the device a
// serial kind opens ("" when the port name names none); a server's address
// comes from the port name.
std::unique_ptr<kvr_transport> kvr_make_transport(kvr_transport_host& host, std::string device_path);
