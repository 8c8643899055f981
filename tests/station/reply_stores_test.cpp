// The command station's reply stores: what is filed under which key, and
// how the station fills them from the link.

#include <gtest/gtest.h>

#include "fake_link.h"
#include "link/link_test_support.h"
#include "loconet/kvr_device_msgs.h"
#include "station/kvr_reply_stores.h"

using link_test::msg_of;
using link_test::slot_read;

namespace {

kvr_loconet_msg ack(uint8_t lopc, uint8_t code) { return link_test::long_ack(lopc, code); }

}  // namespace

TEST(ReplyStores, FileRepliesUnderTheirKeysAndNewerOnesReplaceOlder) {
    kvr_reply_stores st;
    EXPECT_FALSE(st.file(msg_of({OPC_GPON})));  // nothing to file
    EXPECT_TRUE(st.file(slot_read(3, 0x2C, 0x02, 10)));
    st.file(slot_read(3, 0x2C, 0x02, 20));
    st.file(slot_read(124, 0x2C, 0x02));
    st.file(slot_read(123, 0x10, 0x00));
    for (const auto& m : {ack(0x3F, 0x00), ack(0x6F, 0x01), ack(0x6F, 0x7F),
                          msg_of({OPC_RQ_SL_DATA, 0x05, 0x00})})
        st.file(m);

    EXPECT_EQ(*st.slot_data(3), slot_read(3, 0x2C, 0x02, 20));
    EXPECT_TRUE(st.slot_data(124).has_value());
    EXPECT_TRUE(st.slot_data(123).has_value());
    EXPECT_FALSE(st.slot_data(5).has_value());
    // Address 300 = ADR2 2 * 128 + ADR 44; the programmer and clock slots
    // carry other fields in those bytes and are not addresses.
    EXPECT_EQ(st.slot_of_address(300), 3);
    EXPECT_EQ(st.slot_of_address(0x10), 0xFFFF);
    EXPECT_EQ(*st.ack_for(OPC_LOCO_ADR), ack(0x3F, 0x00));
    EXPECT_EQ(st.ack_for(OPC_WR_SL_DATA)->data()[2], 0x7F);
    EXPECT_FALSE(st.ack_for(0x3F).has_value());  // keyed by the full opcode

    st.forget_slot(3);
    st.forget_ack(OPC_WR_SL_DATA);
    st.forget_address(300);
    EXPECT_FALSE(st.slot_data(3).has_value());
    EXPECT_FALSE(st.ack_for(OPC_WR_SL_DATA).has_value());
    EXPECT_EQ(st.slot_of_address(300), 0xFFFF);
}

// The station files what its link delivers, whoever else listens or not,
// and wakes a waiting operation only when a reply was filed; a new open
// forgets what the last bus taught.
TEST(ReplyStores, TheStationFilesWhatItsLinkDeliversAndForgetsItOnOpen) {
    fake_link link;
    kvr_dccx_loconet station(link);
    kvr_sys_event& filed = station.reply_event();
    filed.reset();
    link.deliver(bytes_of(msg_of({OPC_GPON})));
    EXPECT_FALSE(filed.wait(0));  // set only when a reply is filed
    link.deliver(bytes_of(slot_read(3, 0x2C, 0x02)));
    EXPECT_TRUE(filed.wait(0));
    link.deliver(bytes_of(ack(0x3F, 0x7F)));
    const auto has = [&] {
        return station.with_stores([](const kvr_reply_stores& st) {
            return st.slot_data(3).has_value() && st.ack_for(OPC_LOCO_ADR).has_value() && st.slot_of_address(300) == 3;
        });
    };
    EXPECT_TRUE(has());
    link.reopen();
    EXPECT_FALSE(station.with_stores([](const kvr_reply_stores& st) {
        return st.slot_data(3).has_value() || st.ack_for(OPC_LOCO_ADR).has_value() || st.slot_of_address(300) != 0xFFFF;
    }));
}

// Device answers (PROTOCOL-MODERN.md §2, §3): a discover collects many
// answers to one request, so each is kept in order and numbered; requests
// (ours or another program's) are not answers, and an LNCV request is not
// taken for an immediate packet's echo.
TEST(ReplyStores, DeviceAnswersAreKeptInOrderFromAMark) {
    kvr_reply_stores st;
    const auto sv_reply = kvr_build_sv2(kvr_sv2_msg{1, 0x47, 3, 0x010D, {0x34, 0x12, 0x78, 0x56}});
    const auto lncv_reply = kvr_build_lncv(kvr_lncv_reply(6861, 0, 1));
    EXPECT_FALSE(st.file(kvr_build_sv2(kvr_sv2_discover())));
    EXPECT_FALSE(st.file(kvr_build_lncv(kvr_lncv_discover())));
    EXPECT_FALSE(st.packet_echo());
    const uint64_t mark = st.device_mark();
    EXPECT_TRUE(st.file(sv_reply));
    EXPECT_TRUE(st.file(lncv_reply));
    EXPECT_EQ(st.device_answers_since(mark), (std::vector<kvr_loconet_msg>{sv_reply, lncv_reply}));
    EXPECT_EQ(st.device_answers_since(mark + 1), (std::vector<kvr_loconet_msg>{lncv_reply}));
    for (std::size_t i = 0; i < kvr_reply_stores::device_log_size + 5; ++i) st.file(sv_reply);
    EXPECT_EQ(st.device_answers_since(mark).size(), kvr_reply_stores::device_log_size);
    st.clear();
    EXPECT_TRUE(st.device_answers_since(mark).empty());
    EXPECT_GT(st.device_mark(), mark);  // numbers go on across a clear
}

// PROTOCOL-MODERN.md §4: slot 127 holds option switches, not a loco. Its
// bytes 4 and 9 (OpSw 9-15, 41-47) must not name a loco's slot, or a stop
// for that loco would go to slot 127.
TEST(ReplyStores, OptionSwitchSlotsNameNoLoco) {
    kvr_reply_stores st;
    const auto opsw = kvr_loconet_msg::with_checksum({0xE7, 0x0E, 0x7F, 0x10, 0x03, 0, 0, 0x07, 0, 0, 0, 0, 0});
    st.file(opsw);
    EXPECT_EQ(st.slot_data(127), opsw);
    EXPECT_EQ(st.slot_of_address(3), 0xFFFF);
    EXPECT_FALSE(st.address_data(3));
    st.file(slot_read(120, 3, 0));
    EXPECT_EQ(st.slot_of_address(3), 120);
}
