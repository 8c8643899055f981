// Receive path and reply stores of the LocoNet port, driven without a device.

#include <gtest/gtest.h>

#include "link_test_support.h"
#include "link/kvr_loconet_port.h"
#include "link/kvr_repeat_gate.h"

using namespace link_test;

namespace {

// A port without a device: what it is asked to send is kept in order.
class recording_port : public kvr_loconet_port {
public:
    void send(const kvr_loconet_msg& msg, uint8_t key) override {
        sent.push_back(msg);
        event(key).signal(0);
    }
    void open(const std::string&) override { set_open(true); }
    void close() override { set_open(false); }
    void receive(const std::vector<uint8_t>& bytes) { receive_bytes(bytes.data(), bytes.size()); }
    void receive(const kvr_loconet_msg& m) { receive(bytes_of(m)); }

    std::vector<kvr_loconet_msg> sent;
};

struct PortTest : ::testing::Test {
    PortTest() { port.set_window(&sink); }
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

TEST_F(PortTest, StoresFileRepliesUnderTheirKeysAndNewerOnesReplaceOlder) {
    port.reply_event().reset();
    port.receive(msg_of({OPC_GPON}));
    EXPECT_FALSE(port.reply_event().wait(0));  // set only when a reply is filed
    port.receive(slot_read(3, 0x2C, 0x02, 10));
    EXPECT_TRUE(port.reply_event().wait(0));
    port.receive(slot_read(3, 0x2C, 0x02, 20));
    port.receive(slot_read(124, 0x2C, 0x02));
    port.receive(slot_read(123, 0x10, 0x00));
    for (const auto& m : {long_ack(0x3F, 0x00), long_ack(0x6F, 0x01), long_ack(0x6F, 0x7F),
                          msg_of({OPC_RQ_SL_DATA, 0x05, 0x00})})
        port.receive(m);

    std::lock_guard<std::mutex> lk(port.lock());
    EXPECT_EQ(*port.slot_data(3), slot_read(3, 0x2C, 0x02, 20));
    EXPECT_TRUE(port.slot_data(124).has_value());
    EXPECT_TRUE(port.slot_data(123).has_value());
    EXPECT_FALSE(port.slot_data(5).has_value());
    // Address 300 = ADR2 2 * 128 + ADR 44; the programmer and clock slots
    // carry other fields in those bytes and are not addresses.
    EXPECT_EQ(port.slot_of_address(300), 3);
    EXPECT_EQ(port.slot_of_address(0x10), 0xFFFF);
    EXPECT_EQ(*port.ack_for(OPC_LOCO_ADR), long_ack(0x3F, 0x00));
    EXPECT_EQ(port.ack_for(OPC_WR_SL_DATA)->data()[2], 0x7F);
    EXPECT_FALSE(port.ack_for(0x3F).has_value());  // keyed by the full opcode

    port.forget_slot(3);
    port.forget_ack(OPC_WR_SL_DATA);
    port.forget_address(300);
    EXPECT_FALSE(port.slot_data(3).has_value());
    EXPECT_FALSE(port.ack_for(OPC_WR_SL_DATA).has_value());
    EXPECT_EQ(port.slot_of_address(300), 0xFFFF);
}

TEST(PortWithoutWindow, StoresStillFillAndNothingIsPosted) {
    for (bool sink_present : {false, true}) {
        recording_port port;
        line_sink closed_window(false);
        if (sink_present) port.set_window(&closed_window);
        port.receive(slot_read(3, 0x2C, 0x02));
        std::lock_guard<std::mutex> lk(port.lock());
        EXPECT_TRUE(port.slot_data(3).has_value()) << sink_present;
        EXPECT_TRUE(closed_window.lines().empty());
    }
}

TEST_F(PortTest, PostTextCutsLongTextsAndKeepsTheLineEnd) {
    port.post_text("%s\r\n", std::string(3000, 'y').c_str());
    EXPECT_EQ(sink.lines(), std::vector<std::string>{std::string(1021, 'y') + "\r\n"});
}

TEST_F(PortTest, WriteBytesSendsEachFramedMessageOldestFirstAndSignalsItsEvent) {
    const kvr_loconet_msg a = msg_of({OPC_GPOFF});
    const kvr_loconet_msg b = msg_of({OPC_LOCO_SPD, 0x05, 0x3F});
    std::vector<uint8_t> raw{0x11};
    append(raw, a);
    append(raw, b);
    raw.push_back(OPC_GPON);  // checksum still to come
    port.write_bytes(raw.data(), static_cast<int>(raw.size()));
    EXPECT_EQ(port.sent, (std::vector<kvr_loconet_msg>{a, b}));
    const uint8_t rest = 0x7C;
    port.write_bytes(&rest, 1);
    EXPECT_EQ(port.sent, (std::vector<kvr_loconet_msg>{a, b, msg_of({OPC_GPON})}));

    // Waiters read the last result; the station counts successes and 254s.
    kvr_event& ev = port.event(0);
    ev.signal(254);
    ev.signal(3);
    EXPECT_TRUE(ev.wait(0));
    EXPECT_TRUE(ev.wait(0));  // manual reset: stays set
    EXPECT_EQ(ev.result(), 3);
    EXPECT_EQ(ev.successes(), 3u);
    EXPECT_EQ(ev.code254_count(), 1u);
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
