#include "sim/kvr_sim_devices.h"

namespace {

// LACK codes of the SV2 module (B4 65 code).
constexpr uint8_t sv2_not_implemented = 0x2B;
constexpr uint8_t sv2_write_failed = 0x2C;
constexpr uint8_t sv_version = 1;  // SV 0, read-only
constexpr uint16_t sv_address_low = 1;
constexpr uint16_t sv_address_high = 2;

// The LNCVs that take 0..255; 0 takes an address, 15 is read-only.
constexpr uint16_t lncv_read_only = 15;
constexpr uint16_t lncv_value_max = 255;
constexpr uint16_t lncv_version = 7;

// OPC_MULTI_SENSE byte 3 of a device-type report: 0x00 | type.
constexpr uint8_t board_type_report = 0x00;

kvr_loconet_msg lack(uint8_t opcode, uint8_t code) {
    return kvr_loconet_msg::with_checksum({OPC_LONG_ACK, static_cast<uint8_t>(opcode & 0x7F), code});
}

}  // namespace

kvr_sim_devices::kvr_sim_devices() {
    svs_[0] = sv_version;
    svs_[sv_address_low] = static_cast<uint8_t>(sv2_address_ & 0xFF);
    svs_[sv_address_high] = static_cast<uint8_t>(sv2_address_ >> 8);
    lncvs_[0] = lncv_address_;
    lncvs_[1] = 2;
    lncvs_[lncv_read_only] = lncv_version;
}

std::vector<kvr_loconet_msg> kvr_sim_devices::hear(const kvr_loconet_msg& msg) {
    std::vector<kvr_loconet_msg> out;
    if (auto sv2 = kvr_parse_sv2(msg)) {
        if (!kvr_sv2_is_reply(sv2->cmd)) hear_sv2(*sv2, out);
    } else if (auto lncv = kvr_parse_lncv(msg)) {
        hear_lncv(*lncv, out);
    } else if (auto board = kvr_parse_board_opsw(msg)) {
        hear_board(msg, *board, out);
    }
    return out;
}

uint8_t kvr_sim_devices::write_sv(uint16_t n, uint8_t value) {
    if (n == 0 || n >= sv_count) return sv2_write_failed;
    svs_[n] = value;
    return 0;
}

void kvr_sim_devices::hear_sv2(const kvr_sv2_msg& m, std::vector<kvr_loconet_msg>& out) {
    kvr_sv2_msg r;
    r.src = m.src;  // devices keep the requester's SRC
    r.cmd = static_cast<uint8_t>(m.cmd | kvr_sv2::reply_bit);
    r.dst = sv2_address_;
    const bool addressed = m.dst == sv2_address_ || m.dst == kvr_sv2::broadcast;
    switch (m.cmd) {
    case kvr_sv2::discover:
        break;
    case kvr_sv2::identify:
    case kvr_sv2::reconfigure:
        if (!addressed) return;
        break;
    case kvr_sv2::change_address:
        // Only the device whose identity the request carries; 0 is no address.
        if (kvr_sv2_identity_of(m) != sv2_identity || m.dst == kvr_sv2::broadcast) return;
        sv2_address_ = r.dst = m.dst;
        svs_[sv_address_low] = static_cast<uint8_t>(m.dst & 0xFF);
        svs_[sv_address_high] = static_cast<uint8_t>(m.dst >> 8);
        break;
    case kvr_sv2::read_one:
    case kvr_sv2::read_four: {
        if (!addressed) return;
        const int count = m.cmd == kvr_sv2::read_one ? 1 : 4;
        if (m.sv + count > sv_count) {
            out.push_back(lack(OPC_PEER_XFER, sv2_not_implemented));
            return;
        }
        r.sv = m.sv;
        for (int i = 0; i < count; ++i) r.d[i] = svs_[m.sv + i];
        out.push_back(kvr_build_sv2(r));
        return;
    }
    case kvr_sv2::write_one:
    case kvr_sv2::masked_write:
    case kvr_sv2::write_four: {
        if (!addressed) return;
        const int count = m.cmd == kvr_sv2::write_four ? 4 : 1;
        // All or nothing: a write four that reaches a read-only or missing
        // SV changes none.
        for (int i = 0; i < count; ++i) {
            if (m.sv + i == 0 || m.sv + i >= sv_count) {
                out.push_back(lack(OPC_PEER_XFER, sv2_write_failed));
                return;
            }
        }
        for (int i = 0; i < count; ++i) {
            const uint8_t old = svs_[m.sv + i];
            const uint8_t value = m.cmd == kvr_sv2::masked_write
                                      ? static_cast<uint8_t>((old & ~m.d[1]) | (m.d[0] & m.d[1]))
                                      : m.d[i];
            write_sv(static_cast<uint16_t>(m.sv + i), value);
            r.d[i] = svs_[m.sv + i];  // the reply carries what the SV now holds
        }
        r.sv = m.sv;
        out.push_back(kvr_build_sv2(r));
        return;
    }
    default:
        return;
    }
    kvr_sv2_set_identity(r, sv2_identity);
    out.push_back(kvr_build_sv2(r));
    if (m.cmd == kvr_sv2::reconfigure) {
        // The module restarts: SV 1/2 are its address from now on (0 is
        // the broadcast and is not taken).
        const auto a = static_cast<uint16_t>(svs_[sv_address_low] | svs_[sv_address_high] << 8);
        if (a != kvr_sv2::broadcast) sv2_address_ = a;
    }
}

uint8_t kvr_sim_devices::write_lncv(uint16_t n, uint16_t value) {
    if (n >= lncv_count) return kvr_lncv::ack_unsupported;
    if (n == lncv_read_only) return kvr_lncv::ack_read_only;
    const bool fits = n == 0 ? value != 0 && value != kvr_lncv::all : value <= lncv_value_max;
    if (!fits) return kvr_lncv::ack_out_of_range;
    lncvs_[n] = value;
    return kvr_lncv::ack_ok;
}

void kvr_sim_devices::hear_lncv(const kvr_lncv_msg& m, std::vector<kvr_loconet_msg>& out) {
    if (m.article != lncv_article && m.article != kvr_lncv::all) return;
    const bool ours = m.value == lncv_address_ || m.value == kvr_lncv::all;
    const auto reply = [&](uint16_t cv, uint16_t value) {
        kvr_lncv_msg r = kvr_lncv_reply(lncv_article, cv, value);
        // A reply goes to 49 4B for the PC's SRC 01, else to the requester.
        if (m.src != kvr_lncv::src_pc) r.dst = m.src;
        out.push_back(kvr_build_lncv(r));
    };
    // Replies travel as E5 0F; of those only a programming end is a request.
    if (m.reply && !(m.cmd == kvr_lncv::read && (m.flags & kvr_lncv::flag_end))) return;
    if (m.reply && m.src == kvr_lncv::src_module) return;
    if (m.cmd == kvr_lncv::read && (m.flags & kvr_lncv::flag_end)) {
        if (ours && lncv_programming_) {
            lncv_programming_ = false;
            lncv_address_ = lncvs_[0];  // a new address counts from here
        }
        return;
    }
    if (m.cmd == kvr_lncv::read && (m.flags & kvr_lncv::flag_start)) {
        if (!ours) return;
        lncv_programming_ = true;
        reply(0, lncv_address_);
        return;
    }
    if (!lncv_programming_) {
        // Asked by everybody's address without a session: who is there.
        if (m.cmd == kvr_lncv::read && m.value == kvr_lncv::all && m.cv == 0) reply(0, lncv_address_);
        return;
    }
    if (m.cmd == kvr_lncv::read) {
        if (!ours) return;
        if (m.cv >= lncv_count)
            out.push_back(lack(OPC_IMM_PACKET, kvr_lncv::ack_unsupported));
        else
            reply(m.cv, lncvs_[m.cv]);
    } else if (m.cmd == kvr_lncv::write) {
        out.push_back(lack(OPC_IMM_PACKET, write_lncv(m.cv, m.value)));
    }
}

void kvr_sim_devices::hear_board(const kvr_loconet_msg& msg, const kvr_board_opsw_msg& m,
                                 std::vector<kvr_loconet_msg>& out) {
    // Type 0, board 1, byte 4 = 0: every board reports its type.
    if (!m.write && m.type == kvr_board::power_manager && m.board == 1 && msg[4] == 0) {
        const unsigned b = board_number - 1u;
        out.push_back(kvr_loconet_msg::with_checksum(
            {OPC_MULTI_SENSE, static_cast<uint8_t>(0x62 | b >> 7), static_cast<uint8_t>(b & 0x7F),
             static_cast<uint8_t>(board_type_report | board_type), board_version}));
        return;
    }
    if (m.type != board_type || m.board != board_number) return;
    bool& opsw = board_opsw_[static_cast<std::size_t>(m.opsw - 1)];
    if (m.write) {
        opsw = m.closed;
        out.push_back(lack(OPC_MULTI_SENSE, 0x7F));
    } else {
        out.push_back(lack(OPC_MULTI_SENSE, opsw ? 0x20 : 0x00));
    }
}
