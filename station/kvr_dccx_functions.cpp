// Functions F0 to F28, the stops, and the setting of the fast clock.

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
            send_imm_packet(kvr_dcc::imm_packet_message(kvr_dcc::encode_function(p), function_repeats));
        } else {
            const loco_slot loco = request_loco_labelled(address, 0, 0);
            send_function_opcode(kvr_dcc::function_opcode_message(static_cast<uint8_t>(loco.slot), n, wanted));
        }
        known.note_sent_functions(address, 1u << n, on ? 1u << n : 0);
    });
}

// The write keeps what the slot read says of the days and the track, and
// names this program as the setter. The fraction of the minute starts at 0.
kvr_loconet_msg kvr_dccx_loconet::do_set_fast_clock(const kvr_clock_setting& setting) {
    kvr_loconet_msg back;
    run_labelled("kvr_dccx_loconet::do_set_fast_clock()", [&] {
        if (setting.hour > 23 || setting.minute > 59) refuse(text_bad_time);
        if (setting.rate && (*setting.rate < 1 || *setting.rate > 127)) refuse(text_bad_rate);
        const kvr_loconet_msg now = fetch_slot_data(kvr_slot_fast_clock);
        uint8_t rate = 0;
        if (setting.run) rate = setting.rate ? *setting.rate : now[clk_rate] ? now[clk_rate] : uint8_t{1};
        const clock_bytes hm = encode_clock_time({setting.hour, setting.minute});
        kvr_loconet_msg write = slot_message(
            OPC_WR_SL_DATA, kvr_slot_fast_clock,
            {rate, 0, 0, hm.mins, static_cast<uint8_t>(now[slot_trk] & 0x7F), hm.hrs,
             static_cast<uint8_t>(now[clk_days] & 0x7F), static_cast<uint8_t>((now[clk_cntrl] | clk_cntrl_valid) & 0x7F),
             0, 0});
        write.set_throttle_id(throttle_id);
        write.renew_checksum();
        send_fast_clock(write);
        back = fetch_slot_data(kvr_slot_fast_clock);
    });
    return back;
}
