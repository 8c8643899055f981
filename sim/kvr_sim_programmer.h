#pragma once
// The programmer of the simulated command station (slot 124): it carries out
// one programming task on the decoder of the programming track or on a
// decoder on the main line, and says how the station answers it. The task's
// fields (PCMD, CVH/CVL/DATA7, the bit-task data byte) are those of
// kvr_loconet_proto.h. Example, verify that bit 5 of CV29 is 1 (direct mode):
//   EF 0E 7C 08 00 00 00 00 02 1C 6D 00 00 cs

#include <cstdint>
#include <map>

#include "loconet/kvr_loconet_msg.h"
#include "sim/kvr_sim_decoder.h"
#include "sim/kvr_sim_options.h"

struct kvr_sim_task_outcome {
    uint8_t ack = kvr_proto::lack_not_implemented;  // OPC_LONG_ACK code
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
