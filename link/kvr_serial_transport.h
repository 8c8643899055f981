#pragma once
// A serial adapter as the link's transport (kvr_transport.h): raw bytes on
// a serial device, at the adapter kind's rate and flow control
// (kvr_adapter.h). With an MS100 the PC drives the bus itself, so this
// transport keeps the bus's rules (kvr_tx_gate.h): it starts only after the
// backoff on an idle line, watches the echo of what it wrote, and sends
// again after a collision; a message that collides every time is given up
// and reported.

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "link/kvr_transport.h"
#include "loconet/kvr_loconet_msg.h"

class kvr_serial_transport : public kvr_transport {
public:
    // `path`: the device to open ("" when the port name names none).
    kvr_serial_transport(kvr_transport_host& host, std::string path);
    ~kvr_serial_transport() override;

    void open() override;
    int descriptor() const override { return fd_; }
    duration cycle(duration interval, bool hangup) override;
    bool gone(uint32_t code) const override;
    void settle() override;
    void purge() override;
    void close() override;

private:
    void configure();
    bool send_raw(bool input_waiting);
    bool line_quiet_now();
    void watch_line(const uint8_t* bytes, std::size_t n);
    void echo_timed_out();
    void echo_whole();
    void collided();

    kvr_transport_host& host_;
    const std::string path_;
    // Written by the owner's thread while no I/O thread runs.
    int fd_ = -1;
    // Serialises the calls on the device: the I/O thread's and a purge from
    // the owner's thread. Never held while a write waits for room.
    std::mutex device_lock_;

    // I/O thread only.
    std::vector<uint8_t> buf_;
    int waiting_in_ = 0;
    int waiting_out_ = 0;
    duration recheck_{0};  // when the transmit gate may open by time alone
    std::chrono::steady_clock::time_point last_rx_{};  // when bytes were last read
    // The MS100's own bus access (kvr_tx_gate.h). While `echo_due_` is set
    // the front message is on the line and its echo is watched; it leaves
    // the queue once it came back whole.
    int priority_ = kvr_tx_gate::priority_max_bits;
    bool echo_due_ = false;
    kvr_loconet_msg echo_msg_;
    kvr_tx_gate::echo_watch echo_;
    std::chrono::steady_clock::time_point echo_deadline_{};
};
