// Track power as last seen on the bus.

#include <gtest/gtest.h>

#include <array>

#include "station/kvr_track_power.h"

namespace {

kvr_loconet_msg slot_read(uint8_t slot, uint8_t trk) {
    std::array<uint8_t, kvr_proto::slot_field_count> fields{};
    fields[kvr_proto::slot_trk - 3] = trk;
    return kvr_proto::slot_message(OPC_SL_RD_DATA, slot, fields);
}

const kvr_capture_time t1{1733500000, 100};
const kvr_capture_time t2{1733500001, 200};

TEST(TrackPower, FollowsPowerMessagesAndTheTrkByteOfSlotReads) {
    kvr_track_power power;
    EXPECT_EQ(power.state(), kvr_power_state::unknown);
    // LocoNet PE opcode summary: OPC_GPON 83 7C, OPC_GPOFF 82 7D; TRK bit 0
    // (GTRK_POWER) of every slot read answer is the track power.
    EXPECT_TRUE(power.on_message(kvr_loconet_msg::with_checksum({OPC_GPON}), t1));
    EXPECT_EQ(power.state(), kvr_power_state::on);
    EXPECT_EQ(power.since(), t1);
    EXPECT_FALSE(power.on_message(kvr_loconet_msg::with_checksum({OPC_GPON}), t2));
    EXPECT_EQ(power.since(), t1) << "a repeat is no change";

    EXPECT_TRUE(power.on_message(slot_read(5, 0x06), t2));  // running, LocoNet 1.1, power bit clear
    EXPECT_EQ(power.state(), kvr_power_state::off);
    EXPECT_TRUE(power.on_message(slot_read(kvr_slot_fast_clock, 0x07), t2));
    EXPECT_EQ(power.state(), kvr_power_state::on);
    EXPECT_TRUE(power.on_message(kvr_loconet_msg::with_checksum({OPC_GPOFF}), t2));
    EXPECT_EQ(power.state(), kvr_power_state::off);
}

TEST(TrackPower, MessagesThatDoNotReportPowerLeaveIt) {
    kvr_track_power power;
    std::array<uint8_t, kvr_proto::slot_field_count> fields{};
    fields[kvr_proto::slot_trk - 3] = kvr_proto::trk_power_on;
    const kvr_loconet_msg others[] = {
        // A throttle's slot write carries the TRK it read, not the track's.
        kvr_proto::slot_message(OPC_WR_SL_DATA, 5, fields),
        // Emergency stop of every loco: power stays as it is.
        kvr_loconet_msg::with_checksum({OPC_IDLE}),
        kvr_loconet_msg::with_checksum({OPC_LOCO_SPD, 5, 0x3F}),
        // A variable-length E7 too short to hold TRK.
        kvr_loconet_msg::with_checksum({OPC_SL_RD_DATA, 0x06, 0x05, 0x01, 0x01}),
    };
    for (const kvr_loconet_msg& m : others) EXPECT_FALSE(power.on_message(m, t1));
    EXPECT_EQ(power.state(), kvr_power_state::unknown);
}

TEST(TrackPower, ForgetsOnAnotherLayout) {
    kvr_track_power power;
    power.on_message(kvr_loconet_msg::with_checksum({OPC_GPON}), t1);
    power.forget();
    EXPECT_EQ(power.state(), kvr_power_state::unknown);
    EXPECT_STREQ(kvr_power_state_name(power.state()), "unknown");
    EXPECT_TRUE(power.on_message(kvr_loconet_msg::with_checksum({OPC_GPON}), t2));
}

}  // namespace
