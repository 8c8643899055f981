// The station served on a pseudo-terminal: raw clients, and the real serial
// driver through the "SIM" port.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loconet/kvr_loconet_msg.h"
#include "loconet/kvr_ms100.h"
#include "sim/kvr_sim_port.h"
#include "sim/kvr_sim_runner.h"

namespace {

using bytes = std::vector<uint8_t>;
using msgs = std::vector<bytes>;
using namespace std::chrono_literals;

const bytes loco3 = {0xBF, 0x00, 0x03, 0x43};
const bytes slot1_loco3 = {0xE7, 0x0E, 0x01, 0x03, 0x03, 0x00, 0x20, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x30};

// A client of the device, as a serial program opens it.
class client {
public:
    explicit client(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY)) {
        termios t{};
        if (fd_ >= 0 && ::tcgetattr(fd_, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~client() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool is_open() const { return fd_ >= 0; }

    void write(const bytes& b) { ASSERT_EQ(::write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size())); }

    // Whole messages read within `limit`, at most `count` of them.
    msgs read(std::size_t count, std::chrono::milliseconds limit = 2000ms) {
        msgs out;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (out.size() < count && std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            uint8_t buf[256];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) continue;
            queue_.insert(queue_.end(), buf, buf + n);
            kvr_loconet_msg m;
            for (;;) {
                const std::size_t before = queue_.size();
                if (m.take_from(queue_) != 0) {
                    out.emplace_back(m.data(), m.data() + m.length());
                } else if (queue_.size() == before) {
                    break;
                }
            }
        }
        return out;
    }

private:
    int fd_;
    std::deque<uint8_t> queue_;
};

kvr_sim_options instant() {
    kvr_sim_options o;
    o.instant = true;
    return o;
}

// Waits until `ready` holds, looking every few milliseconds.
template <class F>
bool eventually(F ready, std::chrono::milliseconds limit = 3000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (ready()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return ready();
}

kvr_loconet_msg msg_of(std::initializer_list<uint8_t> b) {
    kvr_loconet_msg m;
    for (uint8_t x : b) m.append(x);
    m.append(0xFFFF);
    return m;
}

}  // namespace

TEST(SimRunner, AnswersOnThePseudoTerminalAcrossReopens) {
    std::mutex m;
    msgs seen;
    kvr_sim_runner runner(instant(), [&](const kvr_loconet_msg& msg) {
        std::lock_guard<std::mutex> lock(m);
        seen.emplace_back(msg.data(), msg.data() + msg.length());
    });
    ASSERT_EQ(runner.device_path().rfind("/dev/pts/", 0), 0u) << runner.device_path();
    {
        client c(runner.device_path());
        ASSERT_TRUE(c.is_open());
        c.write({0xBD, 0x00, 0x30, 0x72});
        EXPECT_EQ(c.read(2), (msgs{{0xBD, 0x00, 0x30, 0x72}, {0xB4, 0x3D, 0x7F, 0x09}}));
    }
    std::this_thread::sleep_for(50ms);  // the runner sees nobody on the line meanwhile
    client again(runner.device_path());
    ASSERT_TRUE(again.is_open());
    again.write(loco3);
    EXPECT_EQ(again.read(2), (msgs{loco3, slot1_loco3}));
    std::lock_guard<std::mutex> lock(m);  // the observer saw every message on the bus
    EXPECT_EQ(seen, (msgs{{0xBD, 0x00, 0x30, 0x72}, {0xB4, 0x3D, 0x7F, 0x09}, loco3, slot1_loco3}));
}

// The whole serial path: the driver opens "SIM", its I/O thread writes the
// requests to the pseudo-terminal and files the answers in its stores.
TEST(SimLink, SlotRequestAndDirectReadComeBackThroughTheSerialDriver) {
    kvr_sim_register_port(kvr_sim_options{});  // realistic timing
    ASSERT_TRUE(kvr_ms100::is_virtual_port("SIM"));
    kvr_ms100 link;
    link.open("SIM");
    ASSERT_TRUE(link.is_open());

    link.send(msg_of({OPC_LOCO_ADR, 0x00, 0x03}), 0);
    uint16_t slot = 0xFFFF;
    EXPECT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(link.lock());
        slot = link.slot_of_address(3);
        return slot != 0xFFFF;
    }));
    EXPECT_EQ(slot, 1);

    link.send(msg_of({OPC_WR_SL_DATA, 0x0E, 0x7C, 0x28, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1C, 0x00, 0x00, 0x00}), 0);
    std::optional<kvr_loconet_msg> ack;
    std::optional<kvr_loconet_msg> reply;
    EXPECT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(link.lock());
        ack = link.ack_for(OPC_WR_SL_DATA);
        reply = link.slot_data(kvr_slot_programmer);
        return ack && reply;
    }));
    ASSERT_TRUE(ack && reply);
    EXPECT_EQ((*ack)[2], 0x01);
    EXPECT_EQ(reply->pgm_status(), 0);
    EXPECT_EQ(reply->pgm_data(), 6);
    link.close();

    // Closing stopped the station; opening again starts a fresh one.
    link.open("SIM");
    link.send(msg_of({OPC_RQ_SL_DATA, 0x01, 0x00}), 0);
    EXPECT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(link.lock());
        auto s = link.slot_data(1);
        return s && (*s)[4] == 0;  // slot 1 blank again
    }));
    link.close();
}
