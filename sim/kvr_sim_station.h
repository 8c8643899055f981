#pragma once
// A simulated LocoNet command station with its layout, as a pure model driven
// by the caller's clock: bytes from the bus go in with the time they arrived,
// and the bytes the station puts on the bus come out when they fall due. No
// threads and no I/O, so every run with the same input and times is the same.
//
// The bus is one shared line: every message that arrives is echoed back
// first (the sender sees its own request, as on LocoNet), then answered the
// way command stations answer:
//   BF 00 03 43            OPC_LOCO_ADR loco 3     -> E7 0E 01 03 03 00 00 07 00 00 00 00 00 cs
//   BB 05 00 41            OPC_RQ_SL_DATA slot 5   -> E7 0E 05 ... (slot data)
//   EF 0E 05 ...           OPC_WR_SL_DATA slot 5   -> B4 6F 7F cs
//   EF 0E 7C 28 ...        programming task        -> B4 6F 01 cs, later E7 0E 7C ... (PSTAT, value)
//   BD 00 30 72            OPC_SW_ACK              -> B4 3D 7F cs
//   BC 00 00 43            OPC_SW_STATE            -> B4 3C 20 cs (closed)
//   BB 7F 00 3B            option switches 1-64    -> E7 0E 7F ... (slot 127; EF writes are kept)
// With expanded slots (kvr_sim_options::expanded), also:
//   BE 00 03 42            OPC_EXP_REQ_SLOT loco 3 -> E6 15 00 01 03 03 00 47 00 ... (slot 1)
//   BB 02 41 07            read slot 130 as E6     -> E6 15 01 02 ...
//   BB 02 01 47            slot 130 the classic way-> B4 3B 00 cs (E7 cannot name it)
//   EE 15 01 02 ...        expanded slot write     -> B4 6E 7F cs
//   D5 11 02 05 31 0D      F0, F1, F5 of slot 130  -> (kept in the slot, no answer)
//   D4 38 02 00 03 cs      move slot 130 to 3      -> E6 of slot 3
// and the classic slot data carry TRK 0x47.
//
// Other devices hear every request too (kvr_sim_devices.h) and answer as
// nodes of their own, after the acknowledge delay. Requests naming a slot the
// station does not have are refused: B4 66 00 (an E6 of it was asked for),
// B4 6E 00 (EE), B4 54 00 (D4).
// TRK (byte 7 of slot data): bit 0 power on, bit 1 running (clear after
// OPC_IDLE, the emergency stop, until power is switched on again), bit 2
// LocoNet 1.1 master, bit 3 programming track busy.
//
// Every outgoing byte is bounded: the framer holds at most one message and
// at most max_pending_bytes wait for the bus; beyond that new output is lost,
// as with a station whose transmit buffer overflows.
//
// Paced (--pace, --traffic) the line keeps LocoNet's timing: bytes 10 bit
// times apart at 16457 baud, and each message of the station or another node
// starts only after the line was idle for its backoff: 20 bit times for the
// command station, 26 plus 0..20 for the other nodes (their priority
// delay), so the station's answers go first. A message from the link that
// arrives on an idle line takes it: other nodes wait for its end. The line
// is idle as far as the link can tell: bytes not yet given out by poll have
// not reached it. One that arrives after bytes of another node's message
// were given out collides with it: neither is carried, the link reads a
// wrecked byte (0x00, a break) instead of its echo, and the other node sends
// again after its backoff.

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <vector>

#include "loconet/kvr_loconet_msg.h"
#include "sim/kvr_sim_clock.h"
#include "sim/kvr_sim_devices.h"
#include "sim/kvr_sim_expanded.h"
#include "sim/kvr_sim_options.h"
#include "sim/kvr_sim_programmer.h"

// How the link used the line, for the tests and the benchmarks. A start is
// inside another message when bytes of it had been given out (the link could
// have heard them; it collides) less than 26 bit times before, unless only
// its first byte was, less than a byte time before (two nodes that started
// together); and inside the backoff when the last message ended less than a
// non-master's 26 bit times before.
struct kvr_sim_bus_stats {
    uint64_t link_messages = 0;  // carried
    uint64_t collisions = 0;
    uint64_t starts_inside_message = 0;
    uint64_t starts_inside_backoff = 0;
};

struct kvr_sim_turnout {
    bool closed = true;
    bool output_on = false;
};

class kvr_sim_station {
public:
    static constexpr int loco_slots = 119;  // slots 1..119
    // With expanded slots: 1-120, 128-247, 257-375 and 385-425, 400 in all.
    static constexpr int expanded_loco_slots = 400;
    static constexpr int slot_count = 433;  // numbers 0..432
    static constexpr int turnout_count = 2048;
    static constexpr std::size_t max_pending_bytes = 65536;
    // One byte on the bus: 10 bits at 16457 baud.
    static constexpr kvr_sim_time byte_time{608};

    explicit kvr_sim_station(const kvr_sim_options& options, kvr_sim_time start = kvr_sim_time{0});

    // Bytes from the bus at `now`. Times never run backwards: an earlier
    // `now` counts as the latest time seen.
    void receive(const uint8_t* bytes, std::size_t count, kvr_sim_time now);
    void receive(const kvr_loconet_msg& msg, kvr_sim_time now);

    // A message of another device on the bus (a replayed capture), put on
    // the bus at `now` behind what is already waiting. The station neither
    // echoes nor answers it.
    void play(const kvr_loconet_msg& msg, kvr_sim_time now);

    // A request from a node that keeps the bus's rules as every node does
    // (the LocoNet-over-TCP server's clients): paced, it waits for the line
    // to be idle for its backoff, yields to whatever started first, and goes
    // again after a collision; the station carries it out once, when it
    // first takes the line, and everybody sees it on the bus. Unpaced it
    // goes at once, as the link's do.
    void send_from_node(const kvr_loconet_msg& msg, kvr_sim_time now);

    // The bytes due on the bus by `now`, oldest first.
    std::vector<uint8_t> poll(kvr_sim_time now);
    // When the next byte falls due (demo life included); nothing when the
    // station has nothing more to say.
    std::optional<kvr_sim_time> next_due() const;

    // Faults and timing may change while the station runs.
    kvr_sim_options& options() { return options_; }

    kvr_sim_bus_stats bus_stats() const { return stats_; }
    // Messages of the station and other nodes waiting for the line.
    std::size_t queued_messages() const { return scheduled_.size(); }

    // Layout state, as the station holds it.
    uint8_t track_status() const;
    // Bytes 3..12 of a slot message (STAT ADR SPD DIRF TRK SS2 ADR2 SND ID1
    // ID2), TRK as of now; all zero beyond the slots the station has.
    std::array<uint8_t, 10> slot(uint16_t number) const;
    // F0..F28 of a slot (bit n = Fn): F0..F8 from DIRF and SND, F9..F28 as
    // the expanded messages left them.
    uint32_t slot_functions(uint16_t number) const;
    // Whether `number` is one of the station's loco slots.
    bool is_loco_slot(unsigned number) const;
    // The SV2 module, the LNCV module and the board (kvr_sim_devices.h),
    // on the bus unless kvr_sim_options::devices is off.
    const kvr_sim_devices& devices() const { return devices_; }
    kvr_sim_turnout turnout(uint16_t number) const;  // 1..2048
    kvr_sim_clock& clock() { return clock_; }
    kvr_sim_programmer& programmer() { return programmer_; }

private:
    using slot_bytes = std::array<uint8_t, 10>;

    kvr_sim_time clamp(kvr_sim_time now);
    void handle(const kvr_loconet_msg& msg);
    void handle_loco_adr(const kvr_loconet_msg& msg);
    // The slot loco `address` gets among slots 1..`last`: one in use holding
    // it, else a free one (that last held it, never loaded, any); 0 none.
    int find_loco_slot(uint16_t address, int last) const;
    void load_slot(int number, uint16_t address);
    void handle_move(uint16_t from, uint16_t to, bool expanded);
    void handle_slot_request(uint8_t low, uint8_t high_and_flags);
    void handle_slot_write(const kvr_loconet_msg& msg);
    // Expanded slots (kvr_sim_expanded.cpp).
    void handle_expanded(const kvr_loconet_msg& msg);
    void handle_exp_loco_request(const kvr_loconet_msg& msg);
    void handle_exp_slot_write(const kvr_loconet_msg& msg);
    void handle_exp_function(const kvr_loconet_msg& msg);
    void handle_exp_d4(const kvr_loconet_msg& msg);
    void handle_link(uint16_t member, uint16_t lead, bool link);
    kvr_loconet_msg exp_slot_message(uint16_t number) const;
    kvr_loconet_msg status_slot_message(uint16_t number) const;
    bool is_status_slot(unsigned number) const;
    void handle_task(const kvr_loconet_msg& msg);
    void handle_switch(const kvr_loconet_msg& msg);
    void handle_slot_update(const kvr_loconet_msg& msg);

    kvr_loconet_msg slot_message(uint16_t number) const;
    kvr_loconet_msg programmer_message() const;
    bool programmer_busy() const { return now_ < task_done_; }

    // Output. `answer` counts against dropped answers; echoes never do.
    // client: a node whose requests the station carries out.
    enum class sender { station, node, client };
    void put(const kvr_loconet_msg& msg, kvr_sim_time due, sender from);
    void from_link(const kvr_loconet_msg& msg);
    void collide();
    void place_due();
    void place(std::vector<uint8_t> bytes, kvr_sim_time start, bool is_link, sender from, bool heard = false);
    void answer(const kvr_loconet_msg& msg, kvr_sim_time delay, sender from = sender::station);
    void long_ack(uint8_t opcode, uint8_t code);
    // The slot's data as E7, or as E6 (`expanded`).
    void send_slot(uint16_t number, bool expanded = false) {
        answer(expanded ? exp_slot_message(number) : slot_message(number), ack_delay());
    }
    kvr_sim_time ack_delay() const;
    kvr_sim_time task_delay(bool is_read) const;
    void advance(kvr_sim_time now);
    void demo_report(kvr_sim_time at);
    void advance_traffic();
    void traffic_report(kvr_sim_time at);
    void traffic_throttle(kvr_sim_time at, uint32_t n);
    bool paced() const { return options_.pace || options_.traffic_per_s > 0; }

    kvr_sim_options options_;
    kvr_sim_time now_;
    std::deque<uint8_t> rx_;
    std::mt19937 random_;

    uint8_t trk_ = kvr_proto::trk_power_on | kvr_proto::trk_running | kvr_proto::trk_loconet_1_1;
    // E7 bytes and F9..F28 of every slot number.
    std::array<kvr_sim_exp::slot_state, slot_count> slots_{};
    uint16_t dispatched_ = 0;
    uint32_t messages_heard_ = 0;  // LocoNet messages the station took (status slot 251)

    std::array<kvr_sim_turnout, turnout_count> turnouts_{};
    kvr_sim_clock clock_;
    kvr_sim_programmer programmer_;
    kvr_sim_devices devices_;
    kvr_loconet_msg task_;         // the task running or last run (as slot data)
    kvr_loconet_msg task_result_;  // its final reply
    kvr_sim_time task_done_{0};

    // Scheduled messages by due time; equal times keep their order.
    struct pending {
        std::vector<uint8_t> bytes;
        sender from;
        bool heard = false;  // a client's request the station has carried out
    };
    using schedule = std::multimap<kvr_sim_time, pending>;
    schedule scheduled_;
    // The scheduled message that takes the line next, and when it starts.
    std::optional<std::pair<schedule::const_iterator, kvr_sim_time>> next_start() const;
    // Bytes placed on the bus with the time each one is complete.
    std::deque<std::pair<kvr_sim_time, uint8_t>> wire_;
    kvr_sim_time wire_free_{0};
    std::size_t pending_bytes_ = 0;
    // The message placed last: when it started, whether the link sent it,
    // and (another sender's) its bytes, to send again after a collision.
    kvr_sim_time wire_start_{0};
    bool wire_is_link_ = false;
    std::optional<pending> on_wire_;
    kvr_sim_time node_gap_{0};  // the next node's backoff
    kvr_sim_time last_delivery_{0};  // when poll last gave out bytes
    kvr_sim_bus_stats stats_;

    uint8_t demo_sensors_ = 0;
    kvr_sim_time next_demo_ = kvr_sim_time::max();
    kvr_sim_time next_clock_ = kvr_sim_time::max();

    uint32_t traffic_sent_ = 0;  // reports since the traffic began
    kvr_sim_time traffic_start_ = kvr_sim_time::max();
    kvr_sim_time next_traffic_ = kvr_sim_time::max();
};
