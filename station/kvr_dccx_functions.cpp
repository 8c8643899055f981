// Functions F0 to F28, the stops, and the setting of the fast clock.

#include <chrono>
#include <mutex>

#include "foundation/kvr_exception.h"
#include "loconet/kvr_dcc_packet.h"
#include "station/kvr_dccx_loconet.h"
#include "station/kvr_bus_state.h"

namespace {

using namespace kvr_proto;

constexpr const char* source_name = "kvr_dccx_loconet";

constexpr const char* text_bad_function = "ERR:FUNCTION MUST BE 0 TO 28";
constexpr const char* text_bad_address = "ERR:LOCO ADDRESS MUST BE 1 TO 10239";
constexpr const char* text_bad_time = "ERR:TIME MUST BE 00:00 TO 23:59";
constexpr const char* text_bad_rate = "ERR:RATE MUST BE 1 TO 127";

[[noreturn]] void refuse(const char* text) { KVR_RAISE(text, 0, source_name); }

}  // namespace

void kvr_dccx_loconet::send_imm_packet(const kvr_loconet_msg& msg) {
    send_labelled("kvr_dccx_loconet::send_imm_packet()", msg);
}

void kvr_dccx_loconet::send_function_opcode(const kvr_loconet_msg& msg) {
    send_labelled("kvr_dccx_loconet::send_function_opcode()", msg);
}

void kvr_dccx_loconet::send_idle() {
    send_labelled("kvr_dccx_loconet::send_idle()", kvr_loconet_msg::with_checksum({OPC_IDLE}));
}

void kvr_dccx_loconet::send_fast_clock(const kvr_loconet_msg& write) {
    send_labelled("kvr_dccx_loconet::send_fast_clock()", write);
}

void kvr_dccx_loconet::do_function(uint16_t address, unsigned n, bool on, kvr_bus_state& known,
                                   kvr_function_send how) {
    run_labelled("kvr_dccx_loconet::do_function()", [&] {
        if (n > kvr_dcc::function_max) refuse(text_bad_function);
        if (n <= slot_function_max) {
            const loco_slot loco = request_loco_labelled(address, 0, 0);
            const bool in_dirf = function_in_dirf(n);
            const uint8_t old = in_dirf ? loco.data.dirf() : loco.data.snd();
            const uint8_t value = with_function(old, n, on);
            if (in_dirf) send_dirf(static_cast<uint8_t>(loco.slot), value);
            else send_snd(static_cast<uint8_t>(loco.slot), value);
            follow_sent(in_dirf ? OPC_LOCO_DIRF : OPC_LOCO_SND, loco.slot, value);
            return;
        }
        if (!is_loco_address(address)) refuse(text_bad_address);
        const uint32_t others = known.functions(address);
        const uint32_t wanted = on ? others | 1u << n : others & ~(1u << n);
        if (how == kvr_function_send::packet) {
            const kvr_dcc::function_packet p = kvr_dcc::packet_for(address, kvr_dcc::group_of(n), wanted);
            do_imm_packet(kvr_dcc::imm_packet_message(kvr_dcc::encode_function(p), function_repeats));
        } else {
            const loco_slot loco = request_loco_labelled(address, 0, 0);
            send_function_opcode(kvr_dcc::function_opcode_message(static_cast<uint8_t>(loco.slot), n, wanted));
        }
        known.note_sent_functions(address, 1u << n, on ? 1u << n : 0);
    });
}

// LocoNet PE: the command station answers OPC_IMM_PACKET with OPC_LONG_ACK
// 6D, 7F when it took the packet, 00 when its buffer is full.
kvr_dccx_loconet::packet_answer kvr_dccx_loconet::await_packet_answer(const kvr_loconet_msg& msg) {
    for (uint32_t left = lack_tries;;) {
        if (std::optional<kvr_loconet_msg> ack = look_ack(OPC_IMM_PACKET))
            return (*ack)[lack_ack1] == ack_refused ? packet_answer::buffer_full : packet_answer::taken;
        if (wait_unit(timing_.wait_unit_ms, {answer_kind::ack, OPC_IMM_PACKET})) continue;
        // A whole unit after its echo with no acknowledge: a station that
        // does not answer packets. Another throttle's packet is no echo.
        const std::optional<kvr_loconet_msg> echo =
            with_stores([](const kvr_reply_stores& st) { return st.packet_echo(); });
        if (echo && *echo == msg) return packet_answer::echo_only;
        if (--left == 0) return packet_answer::nothing;
    }
}

void kvr_dccx_loconet::do_imm_packet(const kvr_loconet_msg& msg) {
    run_labelled("kvr_dccx_loconet::do_imm_packet()", [&] {
        for (uint32_t attempt = 1;; ++attempt) {
            // Only answers to this sending count.
            with_stores([](kvr_reply_stores& st) {
                st.forget_ack(OPC_IMM_PACKET);
                st.forget_packet_echo();
            });
            send_imm_packet(msg);
            switch (await_packet_answer(msg)) {
            case packet_answer::taken:
            case packet_answer::echo_only:
                return;
            case packet_answer::nothing:
                refuse(text_packet_lost);
            case packet_answer::buffer_full:
                break;
            }
            if (attempt == imm_packet_tries) refuse(text_packet_full);
            // A moment for the command station to put its packets out.
            with_stores([](kvr_reply_stores& st) { st.forget_ack(OPC_IMM_PACKET); });
            wait_unit(imm_packet_pause_ms, {answer_kind::ack, OPC_IMM_PACKET});
        }
    });
}

std::optional<kvr_loconet_msg> kvr_dccx_loconet::ask_slot(uint8_t slot) {
    for (int round = 0; round < 2; ++round) {
        with_stores([slot](kvr_reply_stores& st) { st.forget_slot(slot); });
        send_req_sl_data(slot);
        if (auto data = await_slot(slot, write_reply_polls, timing_.slot_wait_ms)) return data;
    }
    return std::nullopt;
}

namespace {

// True when the clock read back runs at `rate` and shows the time written,
// or a later one that `elapsed_ms` of real time at that rate can explain
// (one minute more for the roll the counter was set close to).
bool clock_shows(const kvr_loconet_msg& back, uint8_t rate, clock_time written, int64_t elapsed_ms) {
    if (back[clk_rate] != rate) return false;
    const clock_time t = decode_clock_time({back[clk_hrs], back[clk_mins]});
    constexpr int day = 24 * 60;
    const int ahead = ((t.hour * 60 + t.minute) - (written.hour * 60 + written.minute) + day) % day;
    return ahead <= 1 + static_cast<int64_t>(rate) * elapsed_ms / 60'000;
}

}  // namespace

// The write keeps what the slot read says of the days and the track, sets
// the counter a minute's ticks short of the roll, as a command station
// counts from the write on, and names this program as the setter with a PC's
// identity. The command station acknowledges a slot write (OPC_LONG_ACK 6F:
// 7F taken, 00 refused, LocoNet PE); the clock read back shows whether the
// write took.
kvr_loconet_msg kvr_dccx_loconet::do_set_fast_clock(const kvr_clock_setting& setting) {
    kvr_loconet_msg back;
    run_labelled("kvr_dccx_loconet::do_set_fast_clock()", [&] {
        if (setting.hour > 23 || setting.minute > 59) refuse(text_bad_time);
        if (setting.rate && (*setting.rate < 1 || *setting.rate > 127)) refuse(text_bad_rate);
        const std::optional<kvr_loconet_msg> now = ask_slot(kvr_slot_fast_clock);
        if (!now) refuse(text_clock_silent);
        uint8_t rate = 0;
        if (setting.run) rate = setting.rate ? *setting.rate : (*now)[clk_rate] ? (*now)[clk_rate] : uint8_t{1};
        clock_bytes hm = encode_clock_time({setting.hour, setting.minute});
        byte_pair frac = split14(clk_frac_set);
        if (setting.keep_time) {
            hm = {.hrs = static_cast<uint8_t>((*now)[clk_hrs] & 0x7F), .mins = static_cast<uint8_t>((*now)[clk_mins] & 0x7F)};
            frac = {.high = static_cast<uint8_t>((*now)[clk_frac_minsh] & 0x7F),
                    .low = static_cast<uint8_t>((*now)[clk_frac_minsl] & 0x7F)};
        }
        const clock_time written = decode_clock_time(hm);
        const kvr_loconet_msg write = slot_message(
            OPC_WR_SL_DATA, kvr_slot_fast_clock,
            {rate, frac.low, frac.high, hm.mins, static_cast<uint8_t>((*now)[slot_trk] & 0x7F), hm.hrs,
             static_cast<uint8_t>((*now)[clk_days] & 0x7F),
             static_cast<uint8_t>(((*now)[clk_cntrl] | clk_cntrl_valid) & 0x7F), pc_id1, pc_id2});
        with_stores([](kvr_reply_stores& st) { st.forget_ack(OPC_WR_SL_DATA); });
        const auto sent_at = std::chrono::steady_clock::now();
        send_fast_clock(write);
        for (uint32_t left = lack_tries;;) {
            if (std::optional<kvr_loconet_msg> ack = look_ack(OPC_WR_SL_DATA)) {
                if ((*ack)[lack_ack1] == ack_refused) refuse(text_clock_refused);
                break;
            }
            if (wait_unit(timing_.wait_unit_ms, {answer_kind::ack, OPC_WR_SL_DATA})) continue;
            // Silence is no refusal: the clock read back tells.
            if (--left == 0) break;
        }
        const std::optional<kvr_loconet_msg> read = ask_slot(kvr_slot_fast_clock);
        if (!read) refuse(text_clock_silent);
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent_at);
        if (!clock_shows(*read, rate, written, elapsed.count())) refuse(text_clock_ignored);
        back = *read;
    });
    return back;
}
