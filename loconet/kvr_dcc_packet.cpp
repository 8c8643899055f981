#include "loconet/kvr_dcc_packet.h"

namespace kvr_dcc {
namespace {

// NMRA S-9.2.1 addresses of multi-function decoders.
constexpr uint16_t short_address_max = 127;
constexpr uint16_t long_address_max = 10239;
constexpr uint8_t long_address_marker = 0xC0;  // 11AAAAAA
constexpr uint8_t long_address_last_high = 0xE7;  // 10239 >> 8 | 0xC0

// Instruction bytes of the function groups.
constexpr uint8_t instr_f0_f4 = 0x80;      // 100x xxxx
constexpr uint8_t instr_f5_f8 = 0xB0;      // 1011 xxxx
constexpr uint8_t instr_f9_f12 = 0xA0;     // 1010 xxxx
constexpr uint8_t instr_f13_f20 = 0xDE;
constexpr uint8_t instr_f21_f28 = 0xDF;
constexpr uint8_t instr_f0_bit = 0x10;

// OPC_IMM_PACKET: ED 0B 7F REPS DHI IM1..IM5 chk.
constexpr uint8_t imm_count = 0x0B;
constexpr uint8_t imm_marker = 0x7F;
constexpr int imm_length = 11;
constexpr int imm_reps = 3, imm_dhi = 4, imm_first = 5;

// The address bytes; 0 when the address is not a decoder's.
int put_address(uint16_t address, uint8_t* out) {
    if (address >= 1 && address <= short_address_max) {
        out[0] = static_cast<uint8_t>(address);
        return 1;
    }
    if (address > short_address_max && address <= long_address_max) {
        out[0] = static_cast<uint8_t>(long_address_marker | (address >> 8));
        out[1] = static_cast<uint8_t>(address & 0xFF);
        return 2;
    }
    return 0;
}

// The instruction bytes of a group: one byte for F0..F12, two above.
int put_instruction(fn_group g, uint8_t bits, uint8_t* out) {
    switch (g) {
    case fn_group::f0_f4:
        out[0] = static_cast<uint8_t>(instr_f0_f4 | ((bits & 1) ? instr_f0_bit : 0) | ((bits >> 1) & 0x0F));
        return 1;
    case fn_group::f5_f8:
        out[0] = static_cast<uint8_t>(instr_f5_f8 | (bits & 0x0F));
        return 1;
    case fn_group::f9_f12:
        out[0] = static_cast<uint8_t>(instr_f9_f12 | (bits & 0x0F));
        return 1;
    case fn_group::f13_f20:
        out[0] = instr_f13_f20;
        out[1] = bits;
        return 2;
    case fn_group::f21_f28:
        out[0] = instr_f21_f28;
        out[1] = bits;
        return 2;
    }
    return 0;
}

// The group and bits of the instruction at `p` (`n` bytes left, all of
// them the instruction's); nothing when it is not a function instruction.
std::optional<std::pair<fn_group, uint8_t>> read_instruction(const uint8_t* p, int n) {
    if (n == 1 && (p[0] & 0xE0) == instr_f0_f4)
        return std::make_pair(fn_group::f0_f4,
                              static_cast<uint8_t>(((p[0] & instr_f0_bit) ? 1 : 0) | (p[0] & 0x0F) << 1));
    if (n == 1 && (p[0] & 0xF0) == instr_f5_f8) return std::make_pair(fn_group::f5_f8, static_cast<uint8_t>(p[0] & 0x0F));
    if (n == 1 && (p[0] & 0xF0) == instr_f9_f12) return std::make_pair(fn_group::f9_f12, static_cast<uint8_t>(p[0] & 0x0F));
    if (n == 2 && p[0] == instr_f13_f20) return std::make_pair(fn_group::f13_f20, p[1]);
    if (n == 2 && p[0] == instr_f21_f28) return std::make_pair(fn_group::f21_f28, p[1]);
    return std::nullopt;
}

std::optional<function_packet> decode_exact(const uint8_t* p, int n) {
    if (n < 2) return std::nullopt;
    uint16_t address = 0;
    int head = 0;
    if (p[0] >= 1 && p[0] <= short_address_max) {
        address = p[0];
        head = 1;
    } else if (p[0] >= long_address_marker && p[0] <= long_address_last_high && n >= 3) {
        address = static_cast<uint16_t>((p[0] & 0x3F) << 8 | p[1]);
        head = 2;
        if (address <= short_address_max) return std::nullopt;  // not a long address
    } else {
        return std::nullopt;
    }
    const auto instruction = read_instruction(p + head, n - head);
    if (!instruction) return std::nullopt;
    return function_packet{address, instruction->first, instruction->second};
}

}  // namespace

packet_bytes encode_function(const function_packet& p) {
    packet_bytes out;
    const int head = put_address(p.address, out.b.data());
    if (head == 0) return out;
    out.count = head + put_instruction(p.group, p.bits, out.b.data() + head);
    return out;
}

std::optional<function_packet> decode_function(const packet_bytes& bytes) {
    const int n = bytes.count < 0 ? 0 : bytes.count > packet_max ? packet_max : bytes.count;
    if (auto p = decode_exact(bytes.b.data(), n)) return p;
    packet_bytes without = bytes;
    without.count = n - 1;
    if (n >= 3 && error_byte(without) == bytes.b[n - 1]) return decode_exact(bytes.b.data(), n - 1);
    return std::nullopt;
}

uint8_t error_byte(const packet_bytes& bytes) {
    uint8_t x = 0;
    for (int i = 0; i < bytes.count && i < packet_max; ++i) x ^= bytes.b[i];
    return x;
}

kvr_loconet_msg imm_packet_message(const packet_bytes& bytes, uint8_t repeats) {
    const int n = bytes.count < 1 ? 1 : bytes.count > packet_max ? packet_max : bytes.count;
    uint8_t m[imm_length - 1] = {OPC_IMM_PACKET, imm_count, imm_marker,
                                 static_cast<uint8_t>(n << 4 | (repeats & 0x07)), 0};
    for (int i = 0; i < n; ++i) {
        m[imm_first + i] = bytes.b[i] & 0x7F;
        if (bytes.b[i] & 0x80) m[imm_dhi] = static_cast<uint8_t>(m[imm_dhi] | 1u << i);
    }
    return kvr_loconet_msg::with_checksum(m, sizeof m);
}

std::optional<imm_packet> decode_imm_packet(const kvr_loconet_msg& msg) {
    if (msg.opcode() != OPC_IMM_PACKET || msg.length() != imm_length || msg[1] != imm_count || msg[2] != imm_marker)
        return std::nullopt;
    const int n = (msg[imm_reps] >> 4) & 0x07;
    if (n < 1 || n > packet_max) return std::nullopt;
    imm_packet out{{}, static_cast<uint8_t>(msg[imm_reps] & 0x07)};
    out.bytes.count = n;
    for (int i = 0; i < n; ++i)
        out.bytes.b[i] = static_cast<uint8_t>(msg[imm_first + i] | (((msg[imm_dhi] >> i) & 1) << 7));
    return out;
}

}  // namespace kvr_dcc

namespace kvr_dcc {
namespace {

constexpr uint32_t span(unsigned first, unsigned count) { return ((1u << count) - 1) << first; }

// The D4 groups: which functions each carries, bit by bit (0: none).
struct func_ex_row {
    uint8_t group;
    std::array<uint8_t, 7> functions;
};
constexpr func_ex_row func_ex_rows[] = {
    {func_ex_f13_f19, {13, 14, 15, 16, 17, 18, 19}},
    {func_ex_f21_f27, {21, 22, 23, 24, 25, 26, 27}},
    {func_ex_f12_f20_f28, {0, 0, 0, 0, 12, 20, 28}},
};

const func_ex_row* func_ex_row_for(unsigned n) {
    for (const func_ex_row& row : func_ex_rows)
        for (uint8_t f : row.functions)
            if (f == n && n != 0) return &row;
    return nullptr;
}

}  // namespace

function_set functions_of(const function_packet& p) {
    const group_range r = range_of(p.group);
    const uint32_t mask = span(r.first, r.count);
    return {mask, (static_cast<uint32_t>(p.bits) << r.first) & mask};
}

function_packet packet_for(uint16_t address, fn_group group, uint32_t on) {
    const group_range r = range_of(group);
    return {address, group, static_cast<uint8_t>((on >> r.first) & ((1u << r.count) - 1))};
}

kvr_loconet_msg function_opcode_message(uint8_t slot, unsigned n, uint32_t on) {
    slot &= 0x7F;
    // F12 goes with F9..F11, where the older opcode has carried it.
    if (n >= 9 && n <= 12)
        return kvr_loconet_msg::with_checksum({OPC_LOCO_F9F12, slot, static_cast<uint8_t>((on >> 9) & 0x0F)});
    const func_ex_row* row = func_ex_row_for(n);
    if (!row) return {};
    uint8_t bits = 0;
    for (int i = 0; i < 7; ++i)
        if (row->functions[i] != 0 && ((on >> row->functions[i]) & 1)) bits = static_cast<uint8_t>(bits | 1u << i);
    return kvr_loconet_msg::with_checksum({OPC_LOCO_FUNC_EX, func_ex_marker, slot, row->group, bits});
}

std::optional<slot_functions> decode_function_opcode(const kvr_loconet_msg& msg) {
    if (msg.opcode() == OPC_LOCO_F9F12 && msg.length() == 4)
        return slot_functions{msg[1], {span(9, 4), static_cast<uint32_t>(msg[2] & 0x0F) << 9}};
    if (msg.opcode() != OPC_LOCO_FUNC_EX || msg.length() != 6 || msg[1] != func_ex_marker) return std::nullopt;
    for (const func_ex_row& row : func_ex_rows) {
        if (row.group != msg[3]) continue;
        function_set set;
        for (int i = 0; i < 7; ++i) {
            if (row.functions[i] == 0) continue;
            set.mask |= 1u << row.functions[i];
            if ((msg[4] >> i) & 1) set.on |= 1u << row.functions[i];
        }
        return slot_functions{msg[2], set};
    }
    return std::nullopt;
}

}  // namespace kvr_dcc
