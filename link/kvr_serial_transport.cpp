#include "link/kvr_serial_transport.h"

#include <algorithm>
#include <cerrno>

#include "link/kvr_link_core.h"
#include "link/kvr_tx_queue.h"
#include "loconet/kvr_link_words.h"

using namespace kvr_link_detail;

namespace {

// The fix for an open that failed, as a Linux user meets it; "" when the
// code needs no words beyond its own text.
const char* open_hint(int code) {
    switch (code) {
    case EACCES:
    case EPERM:
        return "the user must be in the dialout group: sudo usermod -aG dialout $USER, then log in again";
    case EBUSY: return "another program holds the port";
    case ENOENT:
    case ENODEV:
    case ENXIO: return "unplugged, or the wrong name";
    default: return "";
    }
}

}  // namespace

kvr_serial_transport::kvr_serial_transport(kvr_transport_host& host, std::string path)
    : host_(host), path_(std::move(path)), buf_(read_buffer) {}

kvr_serial_transport::~kvr_serial_transport() { close(); }

void kvr_serial_transport::open() {
    const std::string& name = host_.port_name();
    const int err = path_.empty() ? ENOENT : kvr_serial::open_exclusive(path_.c_str(), &fd_);
    if (err) {
        fd_ = -1;
        std::string where = port_step(name, "CreateFile");
        if (*open_hint(err)) where += std::string(" (") + open_hint(err) + ")";
        raise(where, err, line_create_file, kvr_link_words(kvr_link_step::open, name, err));
    }
    configure();
}

// Open steps 3 to 7. Each failure raises; the link then closes the port.
void kvr_serial_transport::configure() {
    const std::string& name = host_.port_name();
    const kvr_adapter_info& kind = host_.adapter();
    kvr_serial_io& io = host_.io();
    auto fail = [&name](const char* step, int code, int line, kvr_link_step words = kvr_link_step::setup) {
        raise(port_step(name, step), code, line, kvr_link_words(words, name, code));
    };
    // ENOTTY is "Inappropriate ioctl for device", which tells a user little:
    // the report names the cause and keeps the code.
    if (int err = kvr_serial::probe_terminal(fd_, io))
        fail(err == ENOTTY ? "GetCommProperties (not a serial device)" : "GetCommProperties", err,
             line_get_properties, err == ENOTTY ? kvr_link_step::not_serial : kvr_link_step::setup);

    bool accepted = false;
    if (int err = kvr_serial::set_custom_baud(fd_, kind.baud, &accepted, io))
        fail("GetCommProperties", err, line_get_properties);
    if (!accepted) fail("not support BAUD_USER", 0, line_baud_user, kvr_link_step::rate);

    bool on_write = false;
    if (int err = kvr_serial::set_raw_8n1(fd_, &on_write, io))
        fail(on_write ? "SetCommState" : "GetCommState", err, on_write ? line_set_state : line_get_state);
    // The LocoBuffer class paces the PC with CTS and wants DTR and RTS up
    // before it talks. The MS100 has no handshake: flow control left on by
    // an earlier LocoBuffer run on the same port would stall its writes
    // (software flow control went with the raw settings above).
    if (int err = kvr_serial::set_hardware_flow(fd_, kind.rtscts, io)) fail("SetCommState", err, line_set_state);
    const int lines = kind.rtscts ? kvr_serial::raise_dtr_rts(fd_, io) : kvr_serial::set_ms100_modem_lines(fd_, io);
    if (lines) fail("EscapeCommFunction", lines, line_set_state);
    if (int err = kvr_serial::set_nonblocking_reads(fd_, &on_write, io))
        fail(on_write ? "SetCommTimeouts" : "GetCommTimeouts", err,
             on_write ? line_set_timeouts : line_get_timeouts);
    // Queue sizes: the tty layer sizes its own buffers; nothing to ask for.
}

void kvr_serial_transport::purge() {
    if (fd_ < 0) return;
    int err = 0;
    {
        std::lock_guard<std::mutex> lk(device_lock_);
        err = kvr_serial::flush_input(fd_, host_.io());
    }
    if (err) raise("kvr_ms100::purge", err, line_purge, kvr_link_words(kvr_link_step::setup, host_.port_name(), err));
}

void kvr_serial_transport::close() {
    if (fd_ < 0) return;
    kvr_serial::close_exclusive(fd_);
    fd_ = -1;
}

// An adapter pulled out or a pseudo-terminal whose other side closed: the
// descriptor will never work again.
bool kvr_serial_transport::gone(uint32_t code) const {
    return code == EIO || code == ENXIO || code == ENODEV;
}

void kvr_serial_transport::settle() {
    if (!echo_due_) return;
    echo_due_ = false;
    host_.queue().finish_front();
}

// One poll cycle: read and dispatch what waits, then write at most one
// queued message when the transmit gate allows. Returns the next poll
// interval: shorter while a message waits for the gate or its echo.
duration kvr_serial_transport::cycle(duration interval, bool hangup) {
    const std::string& name = host_.port_name();
    kvr_serial_io& io = host_.io();
    std::unique_lock<std::mutex> lk(device_lock_);
    if (int err = kvr_serial::queue_counts(fd_, &waiting_in_, &waiting_out_, io)) {
        lk.unlock();
        raise("kvr_ms100::rx_proc::ClearCommError", err, line_status, kvr_link_words(kvr_link_step::lost, name, err));
    }
    const bool input = waiting_in_ > 0;
    if (input) {
        const std::size_t want = std::min(static_cast<std::size_t>(waiting_in_), buf_.size());
        const ssize_t n = io.read(fd_, buf_.data(), want);
        const int err = errno;
        lk.unlock();
        interval = poll_idle;
        if (n < 0 && err != EAGAIN && err != EINTR)
            raise("kvr_ms100::rx_proc::ReadFile", err, line_read, kvr_link_words(kvr_link_step::lost, name, err));
        if (n > 0) {
            last_rx_ = tx_clock::now();
            watch_line(buf_.data(), static_cast<std::size_t>(n));
            host_.deliver(buf_.data(), static_cast<std::size_t>(n));
        }
    } else {
        lk.unlock();
        // Hung up with nothing left to read: the device has gone away.
        if (hangup)
            raise("kvr_ms100::rx_proc::ReadFile", EIO, line_read, kvr_link_words(kvr_link_step::lost, name, EIO));
    }
    if (echo_due_ && tx_clock::now() >= echo_deadline_) echo_timed_out();
    recheck_ = duration{0};
    if (send_raw(input)) interval = poll_after_write;
    else if (recheck_ > duration{0}) interval = std::min(interval, recheck_);
    if (echo_due_) interval = std::min(interval, std::max(since(tx_clock::now(), echo_deadline_), duration{1}));
    return interval;
}

// The MS100 watches its own echo and the other nodes' starts in every byte
// read (kvr_tx_gate.h).
void kvr_serial_transport::watch_line(const uint8_t* bytes, std::size_t n) {
    if (!host_.adapter().pc_accesses_bus) return;
    std::size_t used = 0;
    if (echo_due_) {
        const auto r = echo_.feed(echo_msg_.data(), static_cast<std::size_t>(echo_msg_.length()), bytes, n);
        if (r.state == kvr_tx_gate::echo_state::pending) return;
        if (r.state == kvr_tx_gate::echo_state::differs) {
            collided();
            return;  // the rest is the wreck of both messages
        }
        echo_whole();
        used = r.used;
    }
    if (host_.queue().size() > 0)
        priority_ = kvr_tx_gate::after_losses(priority_, kvr_tx_gate::message_starts(bytes + used, n - used));
}

// Our whole message did not come back in time. Nothing at all: a line
// without echo, the message counts as sent. Anything else: it was cut short
// or never got onto the line.
void kvr_serial_transport::echo_timed_out() {
    if (!echo_.seen_anything()) {
        echo_due_ = false;
        host_.queue().finish_front();
        return;
    }
    collided();
}

void kvr_serial_transport::echo_whole() {
    echo_due_ = false;
    priority_ = kvr_tx_gate::priority_max_bits;
    host_.queue().finish_front();
}

// Another node started with us. Both messages are lost: a break tells the
// other node so, and ours goes again after the backoff, or is given up
// after the last try.
void kvr_serial_transport::collided() {
    echo_due_ = false;
    {
        std::lock_guard<std::mutex> lk(device_lock_);
        kvr_serial::send_break(fd_, kvr_tx_gate::bits(kvr_tx_gate::break_bits).count(), host_.io());
    }
    last_rx_ = tx_clock::now();
    if (auto msg = host_.queue().collided_front(kvr_tx_gate::max_tries)) host_.given_up(*msg);
}

// A last look at the driver right before a write: a byte that arrived since
// the cycle's read is another node's start.
bool kvr_serial_transport::line_quiet_now() {
    int in = 0, out = 0;
    std::lock_guard<std::mutex> lk(device_lock_);
    return kvr_serial::queue_counts(fd_, &in, &out, host_.io()) != 0 || in == 0;
}

// Writes the oldest queued message when the transmit gate allows. Other
// adapter kinds take it off the queue at once, whether or not the write
// succeeds, so a failing port cannot wedge it; the MS100 keeps it until its
// echo came back. The port lock is not held while the write waits for room
// in the driver.
bool kvr_serial_transport::send_raw(bool input_waiting) {
    if (echo_due_) return false;
    kvr_tx_queue& q = host_.queue();
    if (q.size() == 0) return false;
    const auto now = tx_clock::now();
    const kvr_tx_gate::line_state line{input_waiting, host_.receive_pending(), since(last_rx_, now), priority_, false};
    // Only the MS100 leaves bus access to the PC; the other kinds wait for
    // a free bus themselves.
    const bool own_access = host_.adapter().pc_accesses_bus;
    if (own_access && !kvr_tx_gate::may_write(line)) {
        recheck_ = std::max(kvr_tx_gate::recheck_after(line), duration{1});
        return false;
    }
    // In flight from here: a stop queued now goes behind it, and nothing
    // takes it back while its bytes may be on the line.
    const std::optional<kvr_loconet_msg> front = q.start_front();
    if (!front) return false;
    const kvr_loconet_msg msg = *front;
    if (own_access && !line_quiet_now()) {
        q.release_front();
        recheck_ = duration{1};
        return false;
    }
    kvr_serial_io& io = host_.io();
    const int err = write_whole(io, device_lock_, fd_, msg.data(), static_cast<std::size_t>(std::max(msg.length(), 0)));
    if (own_access && !err) {
        int in = 0, out = 0;
        {
            std::lock_guard<std::mutex> hold(device_lock_);
            kvr_serial::queue_counts(fd_, &in, &out, io);
        }
        echo_due_ = true;
        echo_msg_ = msg;
        echo_.start();
        echo_deadline_ = tx_clock::now() + kvr_tx_gate::echo_window(static_cast<std::size_t>(msg.length()),
                                                                     static_cast<std::size_t>(out));
        return true;
    }
    q.finish_front();
    if (err)
        raise("kvr_ms100::send_raw", err, line_write, kvr_link_words(kvr_link_step::lost, host_.port_name(), err));
    return true;
}
