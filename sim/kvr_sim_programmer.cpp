#include "sim/kvr_sim_programmer.h"

namespace {

constexpr uint8_t pcmd_write = 0x40;
constexpr uint8_t pcmd_byte = 0x20;
constexpr uint8_t pcmd_ops = 0x04;
constexpr uint8_t pcmd_reserved = 0x83;  // bits 7, 1 and 0 are never set

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
    unsigned type() const { return (pcmd >> 3) & 3; }
    bool bit_value() const { return (data >> 3) & 1; }
    unsigned bit_number() const { return data & 7; }
};

namespace {

// CVH: bit 0 CV bit 7, bit 1 data bit 7, bit 4 CV bit 8, bit 5 CV bit 9.
unsigned cv_of(const kvr_loconet_msg& m) {
    const uint8_t cvh = m[8];
    const unsigned c = ((cvh >> 5) & 1u) << 9 | ((cvh >> 4) & 1u) << 8 | (cvh & 1u) << 7 | (m[9] & 0x7Fu);
    return c + 1;
}

uint8_t byte_task(kvr_sim_decoder& d, unsigned cv, bool write, uint8_t data, bool acks, uint8_t& value) {
    if (!write) {
        value = d.cv(cv);
        return 0;
    }
    return acks && d.write_cv(cv, data) ? 0 : KVR_PSTAT_NO_WRITE_ACK;
}

// A verify answers like a read compare: the decoder acknowledges only when
// the bit holds the value asked about.
uint8_t bit_task(kvr_sim_decoder& d, unsigned cv, bool write, bool bit_value, unsigned bit_number, bool acks) {
    if (!write) return d.bit(cv, bit_number) == bit_value ? 0 : KVR_PSTAT_NO_WRITE_ACK;
    return acks && d.write_bit(cv, bit_number, bit_value) ? 0 : KVR_PSTAT_NO_WRITE_ACK;
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
        if (t.write()) return acks && track_.write_register(t.cv, t.data) ? 0 : KVR_PSTAT_NO_WRITE_ACK;
        return track_.read_register(t.cv, value) ? 0 : KVR_PSTAT_NO_WRITE_ACK;
    }
}

uint8_t kvr_sim_programmer::run_ops(const task_fields& t, uint8_t& value) {
    // Address 0 is the DCC broadcast address: no decoder answers on it.
    if (t.address == 0) return KVR_PSTAT_NO_WRITE_ACK;
    kvr_sim_decoder& d = main_decoder(t.address);
    if (t.byte_op()) return byte_task(d, t.cv, t.write(), t.data, true, value);
    return bit_task(d, t.cv, t.write(), t.bit_value(), t.bit_number(), true);
}

kvr_sim_task_outcome kvr_sim_programmer::run(const kvr_loconet_msg& task, const kvr_sim_options& options) {
    task_fields t;
    t.pcmd = task[3];
    t.address = static_cast<uint16_t>((task[5] & 0x7F) * 128 + (task[6] & 0x7F));
    t.cv = cv_of(task);
    t.data = static_cast<uint8_t>(((task[8] & 0x02) << 6) | (task[10] & 0x7F));

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
            o.ack = KVR_PGM_ACK_BLIND;
            return o;
        }
        pstat = run_ops(t, value);
    } else {
        if (t.type() == type_reserved || (t.type() == type_paged && !t.byte_op())) return o;
        pstat = options.decoder_present ? run_service(t, options, value) : uint8_t{KVR_PSTAT_NO_DECODER};
    }

    o.ack = KVR_PGM_ACK_ACCEPTED;
    o.final_reply = true;
    o.is_read = !t.write();
    o.reply = task;
    o.reply.set_opcode(OPC_SL_RD_DATA);
    o.reply[4] = pstat;
    const bool byte_read = !t.write() && (t.byte_op() || (!t.ops() && t.type() == type_register));
    if (byte_read && pstat == 0) {
        o.reply[8] = static_cast<uint8_t>((o.reply[8] & ~0x02) | ((value >> 6) & 0x02));
        o.reply[10] = value & 0x7F;
    }
    return o;
}
