#include "link/kvr_link.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include "foundation/kvr_file.h"
#include "link/kvr_link_core.h"
#include "loconet/kvr_hex_text.h"
#include "loconet/kvr_link_words.h"

using namespace kvr_link_detail;

namespace {

// A write the driver takes only in part is finished within this bound. The
// port lock is held only for each write call, never while waiting for room,
// so other threads never stall behind a stuck write.
constexpr int write_stalls = 20;
constexpr int write_stall_ms = 10;

}  // namespace

namespace kvr_link_detail {

void raise(const std::string& where, int code, int line, std::string plain) {
    kvr_exception e(where, static_cast<uint32_t>(code), source, line);
    e.plain = std::move(plain);
    throw e;
}

std::string port_step(const std::string& port, const char* step) {
    return "(" + port + ") :" + step;
}

// Writes the whole message. A non-blocking descriptor may take only part of
// it when the driver's output buffer is full; half a message on the bus
// would be taken for garbage by every receiver.
int write_whole(kvr_serial_io& io, std::mutex& device_lock, int fd, const uint8_t* p, std::size_t len) {
    int stalls = 0;
    while (len > 0) {
        ssize_t n = 0;
        int err = 0;
        {
            std::lock_guard<std::mutex> lk(device_lock);
            n = io.write(fd, p, len);
            err = errno;
        }
        if (n > 0) {
            p += n;
            len -= static_cast<std::size_t>(n);
            stalls = 0;
            continue;
        }
        if (n < 0 && err == EINTR) continue;
        if (n < 0 && err != EAGAIN && err != EWOULDBLOCK) return err;
        if (++stalls > write_stalls) return EAGAIN;
        pollfd pf{fd, POLLOUT, 0};
        io.poll(&pf, write_stall_ms);
    }
    return 0;
}

}  // namespace kvr_link_detail

kvr_link_core::kvr_link_core(kvr_link& o, kvr_serial_io& device_calls) : owner(o), calls(device_calls) {
    wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

kvr_link_core::~kvr_link_core() {
    if (wake_fd >= 0) ::close(wake_fd);
}

void kvr_link_core::ring() const {
    if (wake_fd < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t w = ::write(wake_fd, &one, sizeof one);
}

void kvr_link_core::start_thread() {
    stop.store(false);
    lost = false;
    gate.reset();
    try {
        thread = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        const std::string where = port_step(name, "CreateThread");
        owner.close();
        raise(where, e.code().value(), line_create_thread,
              kvr_link_words(kvr_link_step::setup, name, e.code().value()));
    }
}

void kvr_link_core::stop_thread() {
    if (!thread.joinable()) return;
    stop.store(true);
    ring();
    thread.join();
    if (wake_fd >= 0) {
        uint64_t drained = 0;
        [[maybe_unused]] ssize_t r = ::read(wake_fd, &drained, sizeof drained);
    }
    stop.store(false);
}

template <class F>
std::optional<kvr_exception> kvr_link_core::attempt(F&& f) {
    try {
        f();
        return std::nullopt;
    } catch (kvr_exception& e) {
        return e;
    } catch (const std::exception& e) {
        return kvr_exception(std::string("kvr_ms100::rx_proc(") + e.what() + ")", 0, source, line_rx_proc);
    }
}

// The I/O thread (rx_proc). Every wait is bounded by the poll interval, so
// close() always joins it promptly.
void kvr_link_core::run() {
    // One step above normal; an unprivileged process may not raise it, and
    // the link works the same without.
    const int tid = static_cast<int>(::gettid());
    errno = 0;
    const int nice_now = ::getpriority(PRIO_PROCESS, tid);
    if (errno == 0) ::setpriority(PRIO_PROCESS, tid, nice_now - 1);

    // A link that never connected is lost whatever the reason.
    if (auto e = attempt([&] { transport->connect(); })) {
        lose(*e);
        return;
    }
    if (transport->descriptor() < 0) return;  // closed while connecting
    duration interval = poll_idle;
    bool watch_device = true;
    while (!stop.load() && !lost) {
        const bool hangup = wait_input(interval, watch_device);
        if (stop.load()) break;
        auto e = attempt([&] { interval = transport->cycle(interval, hangup); });
        if (e) failed(*e, true);
        // After a failure wait the whole interval: a descriptor that keeps
        // reporting an error condition would otherwise wake poll at once,
        // and the thread would spin.
        watch_device = !e;
        if (e) interval = poll_idle;
    }
    transport->settle();
}

// Waits until input arrives (when `watch_device`), the stop signal comes or
// `wait` passes, to the microsecond: the bus's backoff is counted in bit
// times. True when the device reports a hang-up.
bool kvr_link_core::wait_input(duration wait, bool watch_device) {
    pollfd p[2] = {{wake_fd, POLLIN, 0}, {watch_device ? transport->descriptor() : -1, POLLIN, 0}};
    const auto us = std::max<duration::rep>(wait.count(), 0);
    const timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    if (::ppoll(p, 2, &ts, nullptr) <= 0) return false;
    if (p[0].revents & POLLIN) {
        // Drain the ring so the next poll sleeps again; a stop is still seen
        // through its flag.
        uint64_t drained = 0;
        [[maybe_unused]] ssize_t r = ::read(wake_fd, &drained, sizeof drained);
    }
    return (p[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// Collided at every try: the bus never carried it.
void kvr_link_core::given_up(const kvr_loconet_msg& msg) {
    given_up_count.fetch_add(1);
    const std::string text = "MS100: not sent, " + std::to_string(kvr_tx_gate::max_tries) +
                             " collisions on the bus: " + kvr_hex_bytes(msg);
    note(text);
    kvr_exception e("kvr_ms100::send_raw(" + name + ") " + text, 0, source, line_write);
    write_record(e);
}

// The listeners hear of a refusal before the queue can look empty, so a
// caller that waits for the queue finds the refusal too.
void kvr_link_core::refused(const kvr_exception& report) {
    owner.notify_send_refused(report.report());
    kvr_exception copy = report;
    failed(copy, false);
}

void kvr_link_core::note(const std::string& text) { owner.post_note(text + "\r\n"); }

bool kvr_link_core::receive_pending() const { return owner.receive_pending(); }

// A consumer that fails on one message must not strand the complete
// messages behind it until more bytes arrive, so dispatch goes on after a
// recorded failure.
void kvr_link_core::deliver(const uint8_t* bytes, std::size_t n) {
    bool more = true;
    auto e = attempt([&] {
        owner.receive_bytes(bytes, n);
        more = false;
    });
    while (more) {
        if (e) failed(*e, false);
        e = attempt([&] { more = owner.process_one(); });
    }
}

// Records a failure of the I/O thread. The first one is always written, then
// at most one a minute with the count left out. A device that has gone away
// ends the link: recorded once, the open flag cleared, the listeners told
// once. Only failures of calls on the device can mean that; a consumer's
// failure never does. Returns true when the link is lost.
bool kvr_link_core::failed(kvr_exception& e, bool from_device) {
    if (from_device && transport->gone(e.code)) {
        lose(e);
        return true;
    }
    unsigned left_out = 0;
    if (!gate.pass(kvr_repeat_gate::clock::now(), left_out)) return false;
    if (left_out > 0) e.where += " (" + std::to_string(left_out) + " more since the last record)";
    write_record(e);
    return false;
}

void kvr_link_core::lose(kvr_exception& e) {
    const std::string report = e.report();
    lost = true;
    // Settled before the loss is told: whoever sees it may send at once.
    transport->settle();
    // The record names the port and the reason, as the window's report does.
    // A report in words already says both.
    if (e.code_text.empty()) e.where += " (link lost)";
    else e.where += " (link to " + name + " lost: " + (e.code != 0 ? std::strerror(static_cast<int>(e.code)) : e.plain) + ")";
    write_record(e);
    owner.set_open(false);
    owner.notify_link_lost(report);
}

// The dated log can fail itself (disk full, directory gone); the I/O thread
// must outlive that, so the failure is dropped here.
void kvr_link_core::write_record(kvr_exception& e) {
    try {
        kvr_global_dated_log().write_exception(e);
    } catch (...) {
    }
}

kvr_link::kvr_link() : kvr_link(kvr_serial_io::system()) {}

kvr_link::kvr_link(kvr_serial_io& io) : core_(std::make_unique<kvr_link_core>(*this, io)) {}

kvr_link::~kvr_link() {
    close();
}

void kvr_link::open(const std::string& port_name) {
    kvr_link_core& m = *core_;
    if (m.thread.joinable() || m.transport || m.vport) close();
    // Another open may be another bus: nothing learned or asked for on the
    // last one carries over (no I/O thread runs here).
    start_afresh();
    m.txq.clear();
    m.name = port_name;
    m.kind = kvr_adapter_find(kvr_adapter_resolve(m.chosen, port_name));
    // A virtual port exists only while the link is open; its device is a
    // path like any other. A server's name names no device and gets "".
    std::string path = device_path_for(port_name);
    if (auto it = m.virtual_ports.find(port_name); it != m.virtual_ports.end()) {
        m.vport = it->second();
        path = m.vport ? m.vport->device_path() : std::string();
    }
    try {
        m.transport = kvr_make_transport(m, std::move(path));
        m.transport->open();
    } catch (...) {
        close();
        throw;
    }
    // A failed purge leaves the port held, without thread and not open,
    // until the next open or close.
    purge();
    // Open before the thread runs: a device lost at once must leave the
    // link closed, not be overwritten here.
    set_open(true);
    m.start_thread();
}

void kvr_link::set_adapter(kvr_adapter kind) { core_->chosen = kind; }

kvr_adapter kvr_link::adapter() const {
    return core_->kind ? core_->kind->kind : kvr_adapter_resolve(core_->chosen, core_->name);
}

void kvr_link::close() {
    kvr_link_core& m = *core_;
    set_open(false);
    m.stop_thread();
    // What the thread did not write goes with the link: written after the
    // next open it would reach the bus minutes later, maybe another layout.
    m.txq.clear();
    if (m.transport) m.transport->close();
    m.transport.reset();
    // After the descriptor: a virtual port's peer closing first would look
    // like a pulled adapter.
    m.vport.reset();
}

void kvr_link::purge() {
    // A connection has no device queue; its descriptor belongs to the I/O thread.
    if (core_->transport) core_->transport->purge();
}

void kvr_link::send(const kvr_loconet_msg& msg, uint32_t tag) {
    core_->txq.push(msg, tag);
    core_->ring();
}

void kvr_link::send_first(const kvr_loconet_msg& msg) {
    core_->txq.push_first(msg);
    core_->ring();
}

std::size_t kvr_link::withdraw(uint32_t tag) { return core_->txq.withdraw(tag); }

std::size_t kvr_link::not_sent() const { return core_->given_up_count.load(); }

std::size_t kvr_link::tx_pending() const { return core_->txq.size(); }

bool kvr_link::wait_tx_empty(unsigned ms) const { return core_->txq.wait_empty(std::chrono::milliseconds(ms)); }

void kvr_link::add_virtual_port(const std::string& name, kvr_virtual_port_factory factory) {
    core_->virtual_ports[name] = std::move(factory);
}

bool kvr_link::is_virtual_port(const std::string& name) const {
    return core_->virtual_ports.count(name) != 0;
}
std::string kvr_link::device_path_for(const std::string& port_name) {
    // "./bus" and "../bus" are paths as much as "/dev/pts/3"; a bare word
    // is a port name.
    if (port_name.rfind('/', 0) == 0 || port_name.rfind("./", 0) == 0 || port_name.rfind("../", 0) == 0)
        return port_name;
    if (port_name.size() == 4 && port_name[3] >= '1' && port_name[3] <= '4') {
        std::string head = port_name.substr(0, 3);
        std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::toupper(c); });
        if (head == "COM") return "/dev/ttyS" + std::to_string(port_name[3] - '1');
    }
    return {};
}
