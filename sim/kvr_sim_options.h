#pragma once
// Settings of the simulated command station: timing, faults and demo life.

#include <cstdint>

// The most reports a second one may ask for: a bus of back-to-back 4-byte
// messages would carry 411 (16457 baud, 10 bits a byte). With the gaps the
// bus demands between messages (26 to 46 bit times) it carries about 220;
// reports beyond that wait, and a long backlog is left out.
constexpr unsigned kvr_sim_max_traffic_per_s = 400;

struct kvr_sim_options {
    // Timing. Instant answers every request as soon as it is complete.
    bool instant = false;
    unsigned ack_delay_ms = 20;     // long acknowledges and slot data
    unsigned read_delay_ms = 150;   // final reply of a programming read
    unsigned write_delay_ms = 100;  // final reply of a programming write
    bool pace = false;              // send bytes at the bus rate (16457 baud)

    // Faults.
    unsigned busy_tasks = 0;        // answer the next N programming tasks "busy"
    unsigned drop_answers = 0;      // leave the next N answers out
    bool decoder_present = true;    // a decoder stands on the programming track
    bool decoder_acks_writes = true;
    bool switch_buffer_full = false;
    bool packet_buffer_full = false;  // answer every OPC_IMM_PACKET B4 6D 00
    unsigned noise_per_mille = 0;   // noise bytes / corrupted messages per 1000 messages
    uint32_t seed = 1;

    // Life for a newcomer: fast-clock broadcasts, sensor and turnout reports.
    bool demo = false;
    // Other nodes' sensor and turnout reports, this many a second, spread
    // evenly. The bus is then paced at its byte rate and timing so the load
    // is real: a 4-byte report takes 2.43 ms and the gap after it 1.6 to
    // 2.8 ms, so about 220 a second fill the bus.
    unsigned traffic_per_s = 0;

    // The fast clock starts at day 0, 00:00 and runs at this rate (fast
    // minutes per real minute; 0 stands still).
    uint8_t clock_rate = 4;
};
