#pragma once
// The programmer of the simulated command station (slot 124): it carries out
// one programming task on the decoder of the programming track or on a
// decoder on the main line, and says how the station answers it.
//
// PCMD (byte 3 of the task): bit 6 write, bit 5 byte operation, bits 4..3
// programming type TY1/TY0, bit 2 operations mode (main line).
//   service mode  TY 00 paged, 01 direct, 10 physical register, 11 reserved
//   ops mode      TY0 = with feedback; TY1 must be clear
// A bit operation carries the data byte 1110DBBB: D the bit value, BBB the
// bit number. Example, verify that bit 5 of CV29 is 1 (direct mode):
//   EF 0E 7C 08 00 00 00 00 02 1C 6D 00 00 cs

#include <cstdint>
#include <map>

#include "loconet/kvr_loconet_msg.h"
#include "sim/kvr_sim_decoder.h"
#include "sim/kvr_sim_options.h"

// OPC_LONG_ACK codes of a slot-124 write.
enum : uint8_t {
    KVR_PGM_ACK_BUSY = 0x00,
    KVR_PGM_ACK_ACCEPTED = 0x01,
    KVR_PGM_ACK_BLIND = 0x40,
    KVR_PGM_ACK_NOT_IMPLEMENTED = 0x7F,
};

// PSTAT bits of the final reply.
enum : uint8_t {
    KVR_PSTAT_NO_DECODER = 0x01,
    KVR_PSTAT_NO_WRITE_ACK = 0x02,
    KVR_PSTAT_NO_READ_ACK = 0x04,
    KVR_PSTAT_USER_ABORT = 0x08,
};

struct kvr_sim_task_outcome {
    uint8_t ack = KVR_PGM_ACK_NOT_IMPLEMENTED;
    bool final_reply = false;  // an OPC_SL_RD_DATA of slot 124 follows
    bool is_read = false;      // reads and verifies take the read time
    kvr_loconet_msg reply;     // the final reply, TRK still to be filled in
};

class kvr_sim_programmer {
public:
    // Main-line decoders are made on first use; beyond this many the lowest
    // address is forgotten, so that arbitrary traffic cannot grow the table.
    static constexpr std::size_t max_main_decoders = 256;

    kvr_sim_programmer() = default;

    // `task` is a 14-byte OPC_WR_SL_DATA to slot 124.
    kvr_sim_task_outcome run(const kvr_loconet_msg& task, const kvr_sim_options& options);

    kvr_sim_decoder& track_decoder() { return track_; }
    // The decoder of locomotive `address` on the main line.
    kvr_sim_decoder& main_decoder(uint16_t address);

private:
    struct task_fields;
    uint8_t run_service(const task_fields& t, const kvr_sim_options& options, uint8_t& value);
    uint8_t run_ops(const task_fields& t, uint8_t& value);

    kvr_sim_decoder track_{3};
    std::map<uint16_t, kvr_sim_decoder> main_;
};
