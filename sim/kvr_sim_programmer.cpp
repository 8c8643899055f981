#include "sim/kvr_sim_programmer.h"

using namespace kvr_proto;

namespace {

// PCMD bits 4..3 (TY1, TY0) in service mode.
enum : unsigned { type_paged = 0, type_direct = 1, type_register = 2, type_reserved = 3 };

}  // namespace

struct kvr_sim_programmer::task_fields {
    uint8_t pcmd = 0;
    unsigned cv = 1;  // 1..1024; a register number in register mode
    uint8_t data = 0;
    uint16_t address = 0;  // locomotive address in ops mode

    bool write() const { return pcmd & pcmd_write; }
    bool byte_op() const { return pcmd & pcmd_byte; }
    bool ops() const { return pcmd & pcmd_ops; }
    unsigned type() const { return ((pcmd & pcmd_ty1) ? 2u : 0u) | ((pcmd & pcmd_ty0) ? 1u : 0u); }
    bool bit_value() const { return bit_task_value(data); }
    unsigned bit_number() const { return bit_task_number(data); }
};

namespace {

uint8_t byte_task(kvr_sim_decoder& d, unsigned cv, bool write, uint8_t data, bool acks, uint8_t& value) {
    if (!write) {
        value = d.cv(cv);
        return 0;
    }
    return acks && d.write_cv(cv, data) ? 0 : pstat_no_write_ack;
}

// A verify answers like a read compare: the decoder acknowledges only when
// the bit holds the value asked about.
uint8_t bit_task(kvr_sim_decoder& d, unsigned cv, bool write, bool bit_value, unsigned bit_number, bool acks) {
    if (!write) return d.bit(cv, bit_number) == bit_value ? 0 : pstat_no_write_ack;
    return acks && d.write_bit(cv, bit_number, bit_value) ? 0 : pstat_no_write_ack;
}

}  // namespace

kvr_sim_decoder& kvr_sim_programmer::main_decoder(uint16_t address) {
    auto it = main_.find(address);
    if (it != main_.end()) return it->second;
    if (main_.size() >= max_main_decoders) main_.erase(main_.begin());
    return main_.emplace(address, kvr_sim_decoder(address)).first->second;
}

uint8_t kvr_sim_programmer::run_service(const task_fields& t, const kvr_sim_options& options, uint8_t& value) {
    const bool acks = options.decoder_acks_writes;
    switch (t.type()) {
    case type_paged:
        track_.select_page_of(t.cv);
        return byte_task(track_, t.cv, t.write(), t.data, acks, value);
    case type_direct:
        if (t.byte_op()) return byte_task(track_, t.cv, t.write(), t.data, acks, value);
        return bit_task(track_, t.cv, t.write(), t.bit_value(), t.bit_number(), acks);
    default:  // physical register
        if (t.write()) return acks && track_.write_register(t.cv, t.data) ? 0 : pstat_no_write_ack;
        return track_.read_register(t.cv, value) ? 0 : pstat_no_write_ack;
    }
}

uint8_t kvr_sim_programmer::run_ops(const task_fields& t, uint8_t& value) {
    // Address 0 is the DCC broadcast address: no decoder answers on it.
    if (t.address == 0) return pstat_no_write_ack;
    kvr_sim_decoder& d = main_decoder(t.address);
    if (t.byte_op()) return byte_task(d, t.cv, t.write(), t.data, true, value);
    return bit_task(d, t.cv, t.write(), t.bit_value(), t.bit_number(), true);
}

kvr_sim_task_outcome kvr_sim_programmer::run(const kvr_loconet_msg& task, const kvr_sim_options& options) {
    task_fields t;
    t.pcmd = task[pgm_pcmd];
    t.address = decode_loco_address(task[pgm_hopsa], task[pgm_lopsa]);
    t.cv = decode_cv(task[pgm_cvh], task[pgm_cvl]);
    t.data = decode_cv_data(task[pgm_cvh], task[pgm_data7]);

    kvr_sim_task_outcome o;
    if (t.pcmd & pcmd_reserved) return o;
    uint8_t value = 0;
    uint8_t pstat = 0;
    if (t.ops()) {
        if (t.type() & 2) return o;
        const bool feedback = t.type() & 1;
        if (t.write() && !feedback) {
            // Sent onto the main line without waiting for the decoder.
            run_ops(t, value);
            o.ack = lack_blind;
            return o;
        }
        pstat = run_ops(t, value);
    } else {
        if (t.type() == type_reserved || (t.type() == type_paged && !t.byte_op())) return o;
        pstat = options.decoder_present ? run_service(t, options, value) : uint8_t{pstat_no_decoder};
    }

    o.ack = lack_accepted;
    o.final_reply = true;
    o.is_read = !t.write();
    o.reply = task;
    o.reply.set_opcode(OPC_SL_RD_DATA);
    o.reply[pgm_pstat] = pstat;
    const bool byte_read = !t.write() && (t.byte_op() || (!t.ops() && t.type() == type_register));
    if (byte_read && pstat == 0) {
        // The value goes into DATA7 and CVH bit 1; the CV bits of CVH stay.
        const cv_fields f = encode_cv(t.cv, value);
        o.reply[pgm_cvh] = static_cast<uint8_t>((o.reply[pgm_cvh] & ~cvh_data_bit7) | (f.cvh & cvh_data_bit7));
        o.reply[pgm_data7] = f.data7;
    }
    return o;
}
