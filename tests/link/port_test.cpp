// Receive path and listeners of the LocoNet port, driven without a device.

#include <gtest/gtest.h>

#include <stdexcept>

#include "link_test_support.h"
#include "link/kvr_loconet_port.h"
#include "link/kvr_repeat_gate.h"

using namespace link_test;

namespace {

// A port without a device: what it is asked to send is kept in order.
class recording_port : public kvr_loconet_port {
public:
    void send(const kvr_loconet_msg& msg, uint32_t) override { sent.push_back(msg); }
    void open(const std::string&) override { set_open(true); }
    void close() override { set_open(false); }
    void receive(const std::vector<uint8_t>& bytes) { receive_bytes(bytes.data(), bytes.size()); }
    void receive(const kvr_loconet_msg& m) { receive(bytes_of(m)); }

    std::vector<kvr_loconet_msg> sent;
};

struct PortTest : ::testing::Test {
    PortTest() { port.add_listener(&sink); }
    recording_port port;
    line_sink sink;
};

}  // namespace

// A stray byte or a broken candidate must not leave the complete messages
// behind it waiting for the next read.
TEST_F(PortTest, EveryCompleteMessageOfAReadIsDispatchedInOrder) {
    const kvr_loconet_msg gpon = msg_of({OPC_GPON});
    const kvr_loconet_msg sw = msg_of({OPC_SW_REQ, 0x0A, 0x30});
    kvr_loconet_msg bad = msg_of({OPC_LOCO_SPD, 0x05, 0x3F});
    bad[3] ^= 0x01;  // checksum broken
    std::vector<uint8_t> burst{0x05, 0x7F};
    append(burst, gpon);
    append(burst, bad);
    append(burst, sw);
    burst.push_back(OPC_LOCO_DIRF);  // cut short by the next opcode
    append(burst, gpon);
    burst.push_back(OPC_LOCO_SPD);  // still arriving
    burst.push_back(0x01);
    port.receive(burst);
    EXPECT_EQ(sink.lines(), (std::vector<std::string>{line_of(gpon), line_of(sw), line_of(gpon)}));
    EXPECT_EQ(sink.messages(), (std::vector<kvr_loconet_msg>{gpon, sw, gpon}));
    EXPECT_TRUE(port.receive_pending());
}

// Each message once to every listener, in the order they were added, with
// one time stamp; a listener that fails does not rob the ones after it.
TEST_F(PortTest, EveryListenerHearsEachMessageOnceEvenAfterOneFails) {
    struct failing : line_sink {
        void on_message(const kvr_loconet_msg& msg, const kvr_capture_time& time) override {
            line_sink::on_message(msg, time);
            throw std::runtime_error("listener failed");
        }
    } first;
    line_sink last;
    recording_port other;
    other.add_listener(&first);
    other.add_listener(&last);
    const kvr_loconet_msg gpon = msg_of({OPC_GPON});
    EXPECT_THROW(other.receive(gpon), std::runtime_error);
    EXPECT_EQ(first.messages(), std::vector<kvr_loconet_msg>{gpon});
    EXPECT_EQ(last.messages(), std::vector<kvr_loconet_msg>{gpon});

    // Removed: never called again.
    other.remove_listener(&first);
    other.receive(gpon);
    EXPECT_EQ(first.messages().size(), 1u);
    EXPECT_EQ(last.messages().size(), 2u);
}

TEST_F(PortTest, NotesAreCutToOneMonitorLineKeepingTheLineEnd) {
    port.post_note(std::string(3000, 'y') + "\r\n");
    port.post_note("short\r\n");
    EXPECT_EQ(sink.lines(), (std::vector<std::string>{std::string(1021, 'y') + "\r\n", "short\r\n"}));
}

TEST(RepeatGate, FirstPassesThenOnePerPeriodWithTheCountLeftOut) {
    using namespace std::chrono;
    kvr_repeat_gate gate(minutes(1));
    const auto t0 = kvr_repeat_gate::clock::time_point{} + hours(1);
    unsigned left_out = 99;
    EXPECT_TRUE(gate.pass(t0, left_out));
    EXPECT_EQ(left_out, 0u);
    for (int s : {1, 2, 3, 4, 5, 59}) EXPECT_FALSE(gate.pass(t0 + seconds(s), left_out));
    EXPECT_TRUE(gate.pass(t0 + seconds(60), left_out));
    EXPECT_EQ(left_out, 6u);
    gate.reset();
    EXPECT_TRUE(gate.pass(t0 + seconds(61), left_out));
    EXPECT_EQ(left_out, 0u);
}
