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
#include <mutex>
#include <optional>

#include "link/kvr_link_listener.h"
#include "station/kvr_dccx.h"
#include "station/kvr_reply_stores.h"
#include "station/kvr_waiter.h"

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
    int do_reserved_1(uint32_t a, uint32_t b) override;
    void do_write_ex_address(uint32_t mode, uint8_t cv17, uint8_t cv18) override;
    int do_reserved_2(uint32_t a, uint32_t b, uint32_t c, uint32_t d) override;
    void do_reserved_3() override;
    bool do_direct_bit_write(uint32_t cv, uint8_t bit_value, uint8_t bit_number) override;
    bool do_direct_bit_verify(uint32_t cv, uint8_t bit_value, uint8_t bit_number) override;
    void do_direct_write(uint32_t cv, uint8_t value) override;
    uint16_t do_direct_read(uint32_t cv, uint8_t ignored) override;
    uint16_t do_direct_readex(uint32_t cv, uint8_t ignored) override;
    void do_paged_write(uint32_t cv, uint8_t value) override;
    uint16_t do_paged_read(uint32_t cv, uint8_t ignored) override;
    void do_register_write(uint32_t reg, uint8_t value) override;
    uint16_t do_register_read(uint32_t reg, uint8_t ignored) override;
    void do_ops_write(uint32_t address, uint32_t cv, uint8_t value, bool feedback) override;
    uint16_t do_ops_read(uint32_t address, uint32_t cv, uint32_t ignored) override;
    uint16_t do_ops_readex(uint32_t address, uint32_t cv, uint32_t ignored) override;
    void do_sw(uint16_t number, uint16_t position, bool on) override;
    void do_128step(uint16_t address, uint16_t direction, uint16_t speed) override;
    void do_28step(uint16_t address, uint16_t direction, int16_t speed) override;
    void do_function_grp1(uint16_t address, uint8_t functions) override;
    void do_function_grp2(uint16_t address, uint8_t functions) override;
    void do_change_dir(uint16_t address, uint16_t direction) override;
    bool do_shutdown(uint8_t key) override;
    int do_startup() override;

    // Operations of the LocoNet station alone.
    uint16_t do_request_loco(uint32_t address, uint16_t direction, uint8_t code);
    bool do_ops_bit_verify(uint32_t address, uint32_t cv, uint8_t bit_value, uint8_t bit_number);
    // Asks for a slot's data and waits for the answer to this request (any
    // older entry is forgotten first); only the abort event ends the wait.
    kvr_loconet_msg do_read_slot(uint8_t slot);
    // do_sw, then waits for the command station's OPC_LONG_ACK to it and
    // returns that acknowledge (ACK1 0x7F accepted, 0x00 refused: its switch
    // FIFO is full). Only the abort event ends the wait.
    kvr_loconet_msg do_sw_acknowledged(uint16_t number, uint16_t position, bool on);

    // Request builders.
    void send_req_loco_adr(uint32_t address);
    void send_req_sl_data(uint8_t slot);
    void send_move_slot(uint8_t src, uint8_t dst);
    void send_128step(uint8_t slot, uint32_t speed);
    void send_dirf(uint8_t slot, uint8_t dirf);
    void send_snd(uint8_t slot, uint8_t snd);
    void send_sw_req(uint32_t wire_address, uint16_t position, uint16_t on);
    void send_startup();
    void send_shutdown(uint8_t key);
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

    // Evaluations of a programming task's answers.
    static bool check_lack(uint8_t ack1);   // accepted true, busy false, else throws
    static bool check_pstat(uint8_t pstat);  // done true, no write ack false, else throws

    const uint32_t lack_tries = 3;
    const uint32_t read_reply_polls = 60;
    const uint32_t write_reply_polls = 10;
    const uint32_t move_reply_polls = 2;  // the NULL move's own answer, before asking

private:
    // What a wait looks for while it waits.
    enum class answer_kind : uint8_t { ack, slot, address };
    struct answer {
        answer_kind kind;
        uint16_t key;
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

    // Queues one request, a failure wrapped under `label`.
    void send_labelled(const char* label, const kvr_loconet_msg& msg, uint8_t key = 0);

    kvr_waiter& waiter();

    kvr_dccx_timing timing_;
    mutable std::mutex stores_mutex_;
    kvr_reply_stores stores_;  // guarded by stores_mutex_
    kvr_sys_event reply_event_{false};
    kvr_waiter* waiter_ = nullptr;
    unsigned op_depth_ = 0;  // nesting of operations in progress
};
