#pragma once
// One way to the bus for the link's I/O thread (kvr_link.h). The link owns
// the thread, the transmit queue, the failure gate and the listeners; a
// transport owns its descriptor and how bytes cross it:
//
//   kvr_serial_transport  a serial adapter (MS100, LocoBuffer, ...): raw
//                         bytes; the MS100 keeps the bus's access rules
//   kvr_tcp_transport     a LocoNet-over-TCP server: SEND and RECEIVE lines,
//                         one SEND at a time, confirmed by the server
//
// A new transport is one more class here; the link has no branch per kind.
// Every call but open(), purge() and close() is made on the I/O thread.

#include <cstdint>

#include "link/kvr_tx_gate.h"

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
