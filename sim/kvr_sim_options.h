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

    // An expanded-slot station (--expanded): TRK bit 6 in every slot it
    // reports, 400 loco slots (1-120, 128-247, 257-375, 385-425), answers
    // OPC_EXP_REQ_SLOT (BE) with E6, both forms of OPC_RQ_SL_DATA (E6 when
    // byte 2 bit 6 is set), takes EE writes, D5 speed and function groups
    // (F0-F28 kept in the slot) and D4 38-3B moves, links and status; slots
    // 248-251 report its status; slot 126 holds OpSw 65-128. With traffic,
    // two other throttles drive locos 1001 and 1002 through BE, EE and D5.
    // Off: the classic station (119 loco slots, no expanded messages).
    bool expanded = false;

    // The devices on the bus (--no-devices takes them off; the station's
    // option switches stay). Each answers `ack_delay_ms` after a request.
    //  - SV2 module (format 2): address 3; manufacturer 13, developer 1,
    //    product 4660 (0x1234), serial 22136 (0x5678). SVs 0..255: SV 0 = 1,
    //    read-only (a write answers B4 65 2C); SV 1/2 = its address low/high
    //    (written, the new address counts from the next reconfigure, 0F);
    //    others 0. SV 256 and up: reads B4 65 2B, writes B4 65 2C. Change
    //    address (09) with its identity takes effect at once.
    //  - LNCV module: article 6861, module address 1. LNCV 0 = the address
    //    (1..65534, else B4 6D 03; a new one counts from programming end),
    //    LNCV 1 = 2, LNCV 2..14 = 0 (0..255, else B4 6D 03), LNCV 15 = 7
    //    read-only (B4 6D 02), LNCV 16 and up unsupported (B4 6D 01). A start
    //    (0x21, flags 0x80) with its article or 0xFFFF and its address or
    //    0xFFFF, a discover included, is answered with LNCV 0 and enters
    //    programming mode; an end (flags 0x40) leaves it. Reads and writes
    //    are answered only in between; a read of 0xFFFF/0xFFFF outside it
    //    is answered without entering.
    //  - Board: occupancy detector (type 1), board 1, OpSw 1..64 thrown at
    //    start; reads and writes by D0 62/72 answered B4 50 vv, the query
    //    of every board (D0 62 00 70 00) with its type report D0 62 00 01 03.
    // The command station's option switches: slot 127 (OpSw 1-64; with
    // --expanded also slot 126, OpSw 65-128), all thrown at start, read by
    // BB 7F 00 and written by EF 0E 7F, answered B4 6F 7F.
    bool devices = true;
};
