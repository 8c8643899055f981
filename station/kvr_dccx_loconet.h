#pragma once
// The command station over LocoNet. Requests go out through the link; answers
// are looked for in the station's reply stores (kvr_reply_stores.h).
//
// Threads: the station listens to the link (kvr_link_listener.h), so the
// link's I/O thread files every message in the stores (on_message) while an
// operation on the caller's thread waits and looks. The stores are guarded by
// the station's own mutex, held only to file, look, forget or follow and
// never while waiting or calling the link; after each filed reply the I/O
// thread sets the reply event (auto reset), which wakes the waiting
// operation to look again at once. Nothing here takes the link's lock.
//
// Every request builder (send_...) queues exactly one message and never
// waits; every do_... operation combines requests and waits. A failure inside
// an operation leaves it wrapped under "kvr_dccx_loconet::<operation>()".

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "link/kvr_link_listener.h"
#include "station/kvr_dccx.h"
#include "station/kvr_reply_stores.h"
#include "station/kvr_waiter.h"

class kvr_bus_state;

// How F9..F28 go out: as DCC packets inside OPC_IMM_PACKET, which command
// stations with immediate-packet support put on the track, or as the slot
// function messages A3 / D4 of command stations that keep them.
enum class kvr_function_send : uint8_t { packet, opcodes };

// How a throttle and a read of all slots reach the slots: the classic
// messages (BF, BA, A0..A2, E7), the expanded ones (BE, D4 38.., D5, E6),
// or, automatic, the expanded ones once the command station shows that it
// offers them (TRK bit 6 in slot data it answered).
enum class kvr_slot_choice : uint8_t { automatic, classic, expanded };
// "auto", "classic", "expanded", and back (nothing for another word).
const char* kvr_slot_choice_name(kvr_slot_choice choice);
std::optional<kvr_slot_choice> kvr_parse_slot_choice(const std::string& word);

// What a fast-clock write sets. Without a rate the clock keeps the rate it
// runs at (1 when it stands); a clock that does not run is written rate 0.
struct kvr_clock_setting {
    uint8_t hour = 0;    // 0..23
    uint8_t minute = 0;  // 0..59
    std::optional<uint8_t> rate;  // 1..127
    bool run = true;
    // Run or stop only: the time and the minute's counter are written back
    // as the slot read before the write shows them, so the clock does not
    // jump; hour and minute are not used.
    bool keep_time = false;
};

struct kvr_dccx_timing {
    unsigned wait_unit_ms = 500;   // one wait step
    unsigned slot_wait_ms = 200;   // the slot-data wait after a slot write
    bool notice_at_once = true;    // wake on every filed reply, not only per step
};

class kvr_dccx_loconet : public kvr_dccx, private kvr_link_listener {
public:
    explicit kvr_dccx_loconet(kvr_loconet_port& link, kvr_dccx_timing timing = {});
    ~kvr_dccx_loconet() override;

    // The waiter used for every wait step; null restores the blocking default.
    // Not owned.
    void set_waiter(kvr_waiter* waiter);

    // kvr_dccx
    void do_write_ex_address(uint32_t mode, uint8_t cv17, uint8_t cv18) override;
    bool do_direct_bit_write(uint32_t cv, uint8_t bit_value, uint8_t bit_number) override;
    bool do_direct_bit_verify(uint32_t cv, uint8_t bit_value, uint8_t bit_number) override;
    void do_direct_write(uint32_t cv, uint8_t value) override;
    uint16_t do_direct_read(uint32_t cv) override;
    uint16_t do_direct_readex(uint32_t cv) override;
    void do_paged_write(uint32_t cv, uint8_t value) override;
    uint16_t do_paged_read(uint32_t cv) override;
    void do_register_write(uint32_t reg, uint8_t value) override;
    uint16_t do_register_read(uint32_t reg) override;
    void do_ops_write(uint32_t address, uint32_t cv, uint8_t value, bool feedback) override;
    uint16_t do_ops_read(uint32_t address, uint32_t cv) override;
    uint16_t do_ops_readex(uint32_t address, uint32_t cv) override;
    void do_sw(uint16_t number, uint16_t position, bool on) override;
    void do_128step(uint16_t address, uint16_t direction, uint16_t speed);
    void do_28step(uint16_t address, uint16_t direction, int16_t speed);
    void do_function_grp1(uint16_t address, uint8_t functions);
    void do_function_grp2(uint16_t address, uint8_t functions);
    void do_change_dir(uint16_t address, uint16_t direction);
    bool do_shutdown(uint8_t key) override;
    int do_startup() override;

    // Operations of the LocoNet station alone.
    // The older driving operations, each taking the slot with a slot write
    // (kept for the soak and the station's own tests; the window and the
    // command-line tool drive through kvr_throttle). direction 1 forward;
    // grp1 bit 0 F1 .. bit 3 F4, bit 4 F0; grp2 bit 0 F5 .. bit 3 F8.
    uint16_t do_request_loco(uint32_t address, uint16_t direction, uint8_t code);

    // The throttle's requests (kvr_throttle.h).
    // The slot data of `address` as the command station answers OPC_LOCO_ADR
    // now: the entry filed for the address before is forgotten first, so an
    // older answer is never taken for this one. Asked again every
    // `lack_tries` units; only the abort event ends the wait.
    kvr_loconet_msg do_read_loco(uint16_t address);
    // The same, giving up (nothing) after `units` wait units unanswered.
    std::optional<kvr_loconet_msg> do_find_loco(uint16_t address, unsigned units);
    // The NULL move (the slot moved to itself) marks the slot in use; returns
    // the slot's data as the command station answers the move.
    kvr_loconet_msg do_take_slot(uint8_t slot);
    // Writes the slot (OPC_WR_SL_DATA, `data` as it stands but for the
    // opcode and checksum) and returns its data read back.
    kvr_loconet_msg do_write_slot(const kvr_loconet_msg& data);
    // OPC_SLOT_STAT1: the slot's STAT; not answered on LocoNet.
    void send_slot_stat1(uint8_t slot, uint8_t stat);
    // A stop, ahead of everything queued and outside any operation, so a
    // cancelled operation never takes it back (kvr_loconet_port::send_first).
    void send_stop(const kvr_loconet_msg& msg);
    bool do_ops_bit_verify(uint32_t address, uint32_t cv, uint8_t bit_value, uint8_t bit_number);
    // Asks for a slot's data and waits for the answer to this request (any
    // older entry is forgotten first); only the abort event ends the wait.
    kvr_loconet_msg do_read_slot(uint8_t slot);
    // do_sw, then waits for the command station's OPC_LONG_ACK to it and
    // returns that acknowledge (ACK1 0x7F accepted, 0x00 refused: its switch
    // FIFO is full). Only the abort event ends the wait.
    kvr_loconet_msg do_sw_acknowledged(uint16_t number, uint16_t position, bool on);

    // Function n (0..28) of the locomotive on or off. F0..F8 go into its
    // slot (OPC_LOCO_DIRF, OPC_LOCO_SND) with the rest of the byte from the
    // slot copy; F9..F28 as `how` says, with the rest of their group from
    // `known`, which takes the change at once.
    void do_function(uint16_t address, unsigned n, bool on, kvr_bus_state& known,
                     kvr_function_send how = kvr_function_send::packet);
    // Puts one OPC_IMM_PACKET (a DCC packet for the track) on the bus and
    // waits for the command station's answer: OPC_LONG_ACK 7F took it, 00
    // has its packet buffer full, and the packet is sent again, up to
    // `imm_packet_tries` times in all ("ERR:PACKET BUFFER FULL"). A command
    // station without immediate packets answers nothing: when the message's
    // own echo came back from the bus and no acknowledge followed within a
    // wait unit, the packet counts as sent. Neither echo nor acknowledge
    // within `lack_tries` units: "ERR:PACKET NOT ON THE BUS".
    void do_imm_packet(const kvr_loconet_msg& msg);
    // Reads the fast-clock slot (for the days, the track status and the rate
    // kept), writes it with `setting`, and returns the slot as read back. A
    // write refused (OPC_LONG_ACK 00), or one after which the clock does not
    // show the time and rate written, fails; so does a clock slot that is
    // not answered.
    kvr_loconet_msg do_set_fast_clock(const kvr_clock_setting& setting);
    static constexpr const char* text_clock_refused = "ERR:CLOCK WRITE REFUSED";
    static constexpr const char* text_clock_ignored = "ERR:CLOCK NOT SET";
    static constexpr const char* text_clock_silent = "ERR:CLOCK NOT ANSWERED";
    static constexpr const char* text_packet_full = "ERR:PACKET BUFFER FULL";
    static constexpr const char* text_packet_lost = "ERR:PACKET NOT ON THE BUS";
    // Slots (kvr_dccx_slots.cpp).
    // How a slot of a read of all ended.
    enum class slot_answer : uint8_t { data, refused, silent };
    struct slot_read_result {
        unsigned asked = 0;     // slots asked for
        unsigned answered = 0;  // of them, slots whose data came
        unsigned refused = 0;   // of them, slots the command station refused (OPC_LONG_ACK)
        // True when the read stopped because the command station answered
        // none of the first `slot_read_silent_stop` slots.
        bool station_silent = false;
    };
    using slot_read_progress = std::function<void(uint16_t slot, slot_answer answer)>;
    // Asks for slots first..last in turn with one request on the bus at a
    // time, so other traffic still flows: the next request goes out once
    // the slot's data are filed, at once when the command station refuses
    // the request (OPC_LONG_ACK), or after `slot_read_wait_ms` without an
    // answer (such a slot is asked once more, then passed over). When none
    // of the first `slot_read_silent_stop` slots is answered at all the
    // read stops there (station_silent). `progress` is called after each
    // slot, its data already filed. The abort event ends it early
    // ("CANCEL"); `progress` has by then been told every slot read.
    // `expanded`: asked as expanded slots (BB SL 40|hi, answered E6), which
    // reach slots up to 432; the classic request reaches 1..127 only.
    slot_read_result do_read_all_slots(uint16_t first, uint16_t last, const slot_read_progress& progress = {},
                                       bool expanded = false);
    // The loco slots a command station offering expanded slots has beyond
    // the classic ones (128..247, 257..375, 385..432), asked in turn as
    // expanded slots. It stops at the first slot refused or not answered:
    // a station with fewer slots ends its table there.
    slot_read_result do_read_expanded_slots(const slot_read_progress& progress = {});
    // Every loco slot the command station offers: 1..119 as classic slots;
    // then, when the station offers expanded slots (TRK bit 6 seen, or the
    // expanded choice), 1..120 again as E6 (only E6 carries F9..F28) and its
    // other loco slots. `expanded` tells whether that second read was made.
    struct loco_slots_read_result {
        slot_read_result classic;
        slot_read_result expanded;
        bool expanded_read = false;
    };
    loco_slots_read_result do_read_loco_slots(kvr_slot_choice choice, const slot_read_progress& progress = {},
                                              const slot_read_progress& expanded_progress = {});

    // Expanded slots (kvr_dccx_expanded.cpp).
    // TRK bit 6 seen in slot data the command station answered since the
    // link opened.
    bool expanded_offered();
    // The expanded slot data (E6) of `address` as OPC_EXP_REQ_SLOT (BE)
    // answers it now. Refused (OPC_LONG_ACK) or unanswered after two
    // requests: "ERR:EXPANDED SLOTS NOT ANSWERED".
    kvr_loconet_msg do_read_loco_expanded(uint16_t address);
    // The null move of an expanded slot (D4 38|hi SL hi SL) marks it in use;
    // returns its E6 as the command station answers the move.
    kvr_loconet_msg do_take_slot_expanded(uint16_t slot);
    // Writes the expanded slot (EE, `data` an E6 as it stands but for the
    // opcode and checksum) and returns its data read back.
    kvr_loconet_msg do_write_slot_expanded(const kvr_loconet_msg& data);
    kvr_loconet_msg do_read_slot_expanded(uint16_t slot);
    // Queues one expanded D4 / D5 message made by the builders below.
    void send_expanded(const kvr_loconet_msg& msg);
    // D5 speed and direction; `id` is the low byte of the throttle id the
    // slot holds (its E6 byte 18).
    static kvr_loconet_msg exp_speed_message(uint16_t slot, uint8_t id, uint8_t spd, bool forward);
    // D5 function group (kvr_proto::d5_*) with its value byte.
    static kvr_loconet_msg exp_function_message(uint16_t slot, uint8_t id, uint8_t group, uint8_t x);
    // D4 38|hi: move `src` to `dst` (src = dst null move, dst 0 dispatch) and
    // set the status of `slot`.
    static kvr_loconet_msg exp_move_message(uint16_t src, uint16_t dst);
    static kvr_loconet_msg exp_status_message(uint16_t slot, uint8_t stat);
    // BB SL 40|hi: the slot's data, answered as E6.
    static kvr_loconet_msg exp_slot_request(uint16_t slot);
    static constexpr const char* text_no_expanded = "ERR:EXPANDED SLOTS NOT ANSWERED";
    // Releases a loco slot (1..119; an expanded one, 128..432, by D4 with
    // status 60): OPC_SLOT_STAT1 with the slot's STAT,
    // usage set to common, the other bits as last seen (the slot is read
    // first when its data were never seen).
    void do_release_slot(uint16_t slot);
    // Dispatches a loco slot (1..119; an expanded one, 128..432, by the D4
    // status and move): the slot is set common first
    // (OPC_SLOT_STAT1, as a release), then moved to 0 (OPC_MOVE_SLOTS slot
    // 0, the dispatch put), since the move alone leaves the status as it
    // was. Waits for the command station's answer to the move: its slot
    // data accept, OPC_LONG_ACK refuses ("ERR:DISPATCH REFUSED"), nothing
    // within `lack_tries` units fails too ("ERR:DISPATCH NOT ANSWERED").
    // A dispatch that failed puts the status back as it was.
    void do_dispatch_slot(uint16_t slot);
    static constexpr const char* text_bad_slot = "ERR:SLOT MUST BE 1 TO 119";
    static constexpr const char* text_dispatch_refused = "ERR:DISPATCH REFUSED";
    static constexpr const char* text_dispatch_silent = "ERR:DISPATCH NOT ANSWERED";
    static constexpr const char* text_slot_silent = "ERR:SLOT NOT ANSWERED";

    // Request builders.
    void send_imm_packet(const kvr_loconet_msg& msg);
    void send_function_opcode(const kvr_loconet_msg& msg);
    void send_idle();
    void send_fast_clock(const kvr_loconet_msg& write);
    void send_req_loco_adr(uint32_t address);
    void send_req_sl_data(uint8_t slot);
    void send_move_slot(uint8_t src, uint8_t dst);
    void send_128step(uint8_t slot, uint32_t speed);
    void send_dirf(uint8_t slot, uint8_t dirf);
    void send_snd(uint8_t slot, uint8_t snd);
    void send_sw_req(uint32_t wire_address, uint16_t position, uint16_t on);
    void send_startup();
    void send_shutdown();
    void send_paged_read(uint32_t cv);
    void send_direct_read(uint32_t cv);
    void send_register_read(uint32_t reg);
    void send_paged_write(uint32_t cv, uint8_t value);
    void send_direct_write(uint32_t cv, uint8_t value);
    void send_register_write(uint32_t reg, uint8_t value);
    void send_direct_bit_verify(uint32_t cv, uint8_t bit_value, uint8_t bit_number);
    void send_direct_mode_bit_write(uint32_t cv, uint8_t bit_value, uint8_t bit_number);
    void send_ops_write(uint32_t address, uint32_t cv, uint8_t value, bool feedback);
    void send_ops_read(uint32_t address, uint32_t cv);
    void send_ops_bit_verify(uint32_t address, uint32_t cv, uint8_t bit_value, uint8_t bit_number);
    // Queues a whole message made elsewhere (one typed by hand), checksum
    // included, as it stands.
    void send_message(const kvr_loconet_msg& msg);

    // For exchanges built elsewhere on this station (kvr_devices.h).
    // Runs `body` as one operation: what it queues with send_message is
    // tagged and withdrawn when it fails; a failure is wrapped under `label`.
    void run_operation(const char* label, const std::function<void()>& body) { run_labelled(label, body); }
    // Queues `msg` outside any operation's tag, so no withdraw takes it
    // back: for the message that must reach the bus even after a cancel
    // (the end of a module's programming session).
    void send_unwithdrawn(const kvr_loconet_msg& msg) { queue(msg, 0); }
    // Told of every message this station queues, on the thread that queues
    // it and before the link has it (so before its echo can come back). Set
    // it before the first operation; it must not block.
    void set_queued_watch(std::function<void(const kvr_loconet_msg&)> watch) { queued_watch_ = std::move(watch); }
    // Waits up to `ms` for the link's queue to empty (the abort event does
    // not end it): a program about to close the link after a cancel lets
    // such a message out first.
    bool wait_sent(unsigned ms) { return link_.wait_sent(ms); }
    // One wait of up to `ms` on the abort event, looking again at every filed
    // reply: true as soon as `present()` holds, false when the time ran out.
    // Throws "CANCEL" when the abort event is set.
    bool wait_until(unsigned ms, const std::function<bool()>& present);
    // The abort event is set (a cancel is under way).
    bool abort_set() const { return abort_ && abort_->is_set(); }

    // Runs `look(kvr_reply_stores&)` under the stores' lock and returns what
    // it returns; `look` must copy out what it keeps and must not wait.
    template <class F>
    auto with_stores(F&& look) {
        std::lock_guard<std::mutex> lk(stores_mutex_);
        return look(stores_);
    }
    // Set (auto reset) whenever slot data or a long acknowledge is filed.
    kvr_sys_event& reply_event() { return reply_event_; }
    // The throttle identity this program writes into the slots it takes.
    static constexpr uint16_t throttle_id = 0x0100;
    // An immediate packet is put on the track and never refreshed: one lost
    // to a dirty rail stays lost. Repeats make it likelier that the decoder
    // hears it (a decoder takes a repeated function instruction as one).
    static constexpr uint8_t function_repeats = 4;

    // Evaluations of a programming task's answers.
    static bool check_lack(uint8_t ack1);   // accepted true, busy false, else throws
    static bool check_pstat(uint8_t pstat);  // done true, no write ack false, else throws

    const uint32_t lack_tries = 3;
    const uint32_t read_reply_polls = 60;
    const uint32_t write_reply_polls = 10;
    const uint32_t move_reply_polls = 2;  // the NULL move's own answer, before asking
    const unsigned slot_read_wait_ms = 250;  // one slot of do_read_all_slots unanswered
    const unsigned slot_read_silent_stop = 3;  // unanswered slots that end a read of all at its start
    const uint32_t imm_packet_tries = 3;     // an immediate packet sent, buffer full each time
    const unsigned imm_packet_pause_ms = 100;  // before it is sent again

private:
    // What a wait looks for while it waits.
    // slot_or_ack: the slot data of `key` or the acknowledge of `opcode`.
    // exp_slot / exp_address: the E6 of `key`, or the acknowledge of
    // `opcode` when it is not 0.
    enum class answer_kind : uint8_t { ack, slot, address, slot_or_ack, exp_slot, exp_address };
    struct answer {
        answer_kind kind;
        uint16_t key;
        uint8_t opcode = 0;
    };
    // What a programming transaction does when a budget runs out.
    enum class on_exhaust : uint8_t { restart, tone_restart, give_up };
    struct task_plan;
    struct loco_slot {
        uint16_t slot;
        kvr_loconet_msg data;  // the slot data as last received
    };

    // kvr_link_listener, on the link's I/O thread (on_open: the thread that
    // opens the link).
    void on_message(const kvr_loconet_msg& msg, const kvr_capture_time& time) override;
    void on_open() override;

    // Store looks, each under the stores' lock, copying the message out.
    std::optional<kvr_loconet_msg> look_slot(uint8_t slot) const;
    std::optional<kvr_loconet_msg> look_ack(uint8_t opcode) const;
    uint16_t look_address(uint16_t address) const;
    bool answer_present(answer a) const;

    // One wait unit of `ms` on the abort event. True when a filed reply woke
    // the wait and `a` is now there; false when the unit ran out in full.
    // Throws "CANCEL" when the abort event is set.
    bool wait_unit(unsigned ms, answer a);
    // Looks for slot data, waiting in units of `unit_ms`; budget 0 waits on.
    std::optional<kvr_loconet_msg> await_slot(uint8_t slot, uint32_t budget, unsigned unit_ms);

    std::optional<kvr_loconet_msg> read_loco(uint16_t address, unsigned units);
    loco_slot request_loco(uint32_t address, uint16_t direction, uint8_t code);
    loco_slot request_loco_labelled(uint32_t address, uint16_t direction, uint8_t code);
    uint16_t find_loco_slot(uint16_t address);
    kvr_loconet_msg fetch_slot_data(uint8_t slot);
    kvr_loconet_msg take_slot(uint8_t slot);
    kvr_loconet_msg write_slot(kvr_loconet_msg copy, bool code_changed);
    void follow_sent(uint8_t opcode, uint16_t slot, uint8_t value);
    void drive_speed(uint16_t slot, uint8_t speed);

    std::optional<kvr_loconet_msg> run_task(const task_plan& plan);
    bool lack_phase(const task_plan& plan);
    void queue_task(const task_plan& plan);
    uint16_t read_task(const task_plan& plan);
    void write_task(const task_plan& plan, const char* fail_text);

    class operation_scope;
    template <class F>
    auto labelled(const char* label, F&& body) -> decltype(body());
    // labelled, for the operations defined in the class's other files.
    void run_labelled(const char* label, const std::function<void()>& body);
    // Every message this station sends goes through here (stops through
    // send_stop): the watch hears of it first.
    void queue(const kvr_loconet_msg& msg, uint32_t tag) {
        if (queued_watch_) queued_watch_(msg);
        link_.send(msg, tag);
    }
    std::function<void(const kvr_loconet_msg&)> queued_watch_;

    slot_answer read_one_slot(uint16_t slot, bool expanded);
    std::optional<kvr_loconet_msg> look_exp_slot(uint16_t slot) const;
    uint8_t exp_stat_of(uint16_t slot);
    void dispatch_expanded(uint16_t slot, const char*& failure);
    kvr_loconet_msg fetch_exp_slot(uint16_t slot);
    uint8_t slot_stat_of(uint8_t slot);
    const char* await_dispatch(uint8_t slot);
    // Slot data asked for at most twice, each waited for `write_reply_polls`
    // units of slot_wait_ms; nothing when neither request was answered.
    std::optional<kvr_loconet_msg> ask_slot(uint8_t slot);
    enum class packet_answer : uint8_t { taken, buffer_full, echo_only, nothing };
    packet_answer await_packet_answer(const kvr_loconet_msg& msg);

    // Queues one request, a failure wrapped under `label`.
    void send_labelled(const char* label, const kvr_loconet_msg& msg);

    kvr_waiter& waiter();

    kvr_dccx_timing timing_;
    mutable std::mutex stores_mutex_;
    kvr_reply_stores stores_;  // guarded by stores_mutex_
    kvr_sys_event reply_event_{false};
    kvr_waiter* waiter_ = nullptr;
    unsigned op_depth_ = 0;  // nesting of operations in progress
    uint32_t op_tag_ = 0;    // the outermost operation's transmit tag, 0 between operations
};
