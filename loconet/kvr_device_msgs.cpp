#include "loconet/kvr_device_msgs.h"

#include <array>

namespace {

constexpr int sv2_length = 16;
constexpr uint8_t sv2_count = 0x10;
constexpr uint8_t sv2_type = 0x02;
constexpr uint8_t svx_high = 0x10;

constexpr int lncv_length = 15;
constexpr uint8_t lncv_count = 0x0F;

constexpr std::array<uint8_t, 9> sv2_requests = {0x01, 0x02, 0x03, 0x05, 0x06,
                                                 0x07, 0x08, 0x09, 0x0F};

// Seven-bit bytes with their bit 7s gathered in one extension byte: bit n of
// the extension belongs to byte n of the group.
uint8_t split_high_bits(const uint8_t* full, int count, uint8_t* low7) {
    uint8_t ext = 0;
    for (int i = 0; i < count; ++i) {
        if (full[i] & 0x80) ext |= uint8_t(1u << i);
        low7[i] = full[i] & 0x7F;
    }
    return ext;
}

uint8_t restore(uint8_t low7, uint8_t ext, int bit) {
    return uint8_t((low7 & 0x7F) | (((ext >> bit) & 1u) << 7));
}

}  // namespace

// --- SV2 ------------------------------------------------------------------

bool kvr_sv2_cmd_known(uint8_t cmd) {
    if (cmd & 0x80) return false;
    const uint8_t req = cmd & uint8_t(~kvr_sv2::reply_bit);
    for (uint8_t r : sv2_requests)
        if (r == req) return true;
    return false;
}

bool kvr_sv2_carries_identity(uint8_t cmd) {
    switch (cmd) {
    case 0x47: case 0x48: case 0x09: case 0x49: case 0x4F: return true;
    default: return false;
    }
}

std::optional<kvr_sv2_msg> kvr_parse_sv2(const kvr_loconet_msg& msg) {
    if (msg.length() != sv2_length || msg[0] != OPC_PEER_XFER || msg[1] != sv2_count)
        return std::nullopt;
    if (msg[4] != sv2_type || (msg[5] & 0x70) != svx_high || (msg[10] & 0x70) != svx_high)
        return std::nullopt;
    if (!kvr_sv2_cmd_known(msg[3])) return std::nullopt;
    kvr_sv2_msg m;
    m.src = msg[2];
    m.cmd = msg[3];
    const uint8_t x1 = msg[5], x2 = msg[10];
    m.dst = uint16_t(restore(msg[6], x1, 0) | (restore(msg[7], x1, 1) << 8));
    m.sv = uint16_t(restore(msg[8], x1, 2) | (restore(msg[9], x1, 3) << 8));
    for (int i = 0; i < 4; ++i) m.d[i] = restore(msg[11 + i], x2, i);
    return m;
}

kvr_loconet_msg kvr_build_sv2(const kvr_sv2_msg& m) {
    const uint8_t head[4] = {uint8_t(m.dst & 0xFF), uint8_t(m.dst >> 8),
                             uint8_t(m.sv & 0xFF), uint8_t(m.sv >> 8)};
    uint8_t head7[4], d7[4];
    const uint8_t x1 = split_high_bits(head, 4, head7);
    const uint8_t x2 = split_high_bits(m.d, 4, d7);
    return kvr_loconet_msg::with_checksum(
        {OPC_PEER_XFER, sv2_count, uint8_t(m.src & 0x7F), uint8_t(m.cmd & 0x7F), sv2_type,
         uint8_t(svx_high | x1), head7[0], head7[1], head7[2], head7[3],
         uint8_t(svx_high | x2), d7[0], d7[1], d7[2], d7[3]});
}

kvr_sv2_identity kvr_sv2_identity_of(const kvr_sv2_msg& m) {
    kvr_sv2_identity id;
    id.manufacturer = uint8_t(m.sv & 0xFF);
    id.developer = uint8_t(m.sv >> 8);
    id.product = uint16_t(m.d[0] | (m.d[1] << 8));
    id.serial = uint16_t(m.d[2] | (m.d[3] << 8));
    return id;
}

void kvr_sv2_set_identity(kvr_sv2_msg& m, const kvr_sv2_identity& id) {
    m.sv = uint16_t(id.manufacturer | (id.developer << 8));
    m.d[0] = uint8_t(id.product & 0xFF);
    m.d[1] = uint8_t(id.product >> 8);
    m.d[2] = uint8_t(id.serial & 0xFF);
    m.d[3] = uint8_t(id.serial >> 8);
}

kvr_sv2_msg kvr_sv2_read(uint16_t dst, uint16_t sv, bool four) {
    kvr_sv2_msg m;
    m.cmd = four ? kvr_sv2::read_four : kvr_sv2::read_one;
    m.dst = dst;
    m.sv = sv;
    return m;
}

kvr_sv2_msg kvr_sv2_write(uint16_t dst, uint16_t sv, uint8_t value) {
    kvr_sv2_msg m;
    m.cmd = kvr_sv2::write_one;
    m.dst = dst;
    m.sv = sv;
    m.d[0] = value;
    return m;
}

kvr_sv2_msg kvr_sv2_write_four(uint16_t dst, uint16_t sv, const uint8_t values[4]) {
    kvr_sv2_msg m;
    m.cmd = kvr_sv2::write_four;
    m.dst = dst;
    m.sv = sv;
    for (int i = 0; i < 4; ++i) m.d[i] = values[i];
    return m;
}

kvr_sv2_msg kvr_sv2_discover() {
    kvr_sv2_msg m;
    m.cmd = kvr_sv2::discover;
    m.dst = kvr_sv2::broadcast;
    return m;
}

kvr_sv2_msg kvr_sv2_identify(uint16_t dst) {
    kvr_sv2_msg m;
    m.cmd = kvr_sv2::identify;
    m.dst = dst;
    return m;
}

kvr_sv2_msg kvr_sv2_change_address(uint16_t new_dst, const kvr_sv2_identity& id) {
    kvr_sv2_msg m;
    m.cmd = kvr_sv2::change_address;
    m.dst = new_dst;
    kvr_sv2_set_identity(m, id);
    return m;
}

kvr_sv2_msg kvr_sv2_reconfigure(uint16_t dst) {
    kvr_sv2_msg m;
    m.cmd = kvr_sv2::reconfigure;
    m.dst = dst;
    return m;
}

// --- LNCV -----------------------------------------------------------------

std::optional<kvr_lncv_msg> kvr_parse_lncv(const kvr_loconet_msg& msg) {
    if (msg.length() != lncv_length || msg[1] != lncv_count) return std::nullopt;
    if (msg[0] != OPC_PEER_XFER && msg[0] != OPC_IMM_PACKET) return std::nullopt;
    const uint8_t cmd = msg[5];
    if (cmd != kvr_lncv::read_reply && cmd != kvr_lncv::write && cmd != kvr_lncv::read)
        return std::nullopt;
    const uint8_t px = msg[6];
    if (px & 0x80) return std::nullopt;
    uint8_t b[7];
    for (int i = 0; i < 7; ++i) b[i] = restore(msg[7 + i], px, i);
    kvr_lncv_msg m;
    m.reply = msg[0] == OPC_PEER_XFER;
    m.src = msg[2];
    m.dst = uint16_t(msg[3] | (msg[4] << 8));
    m.cmd = cmd;
    m.article = uint16_t(b[0] | (b[1] << 8));
    m.cv = uint16_t(b[2] | (b[3] << 8));
    m.value = uint16_t(b[4] | (b[5] << 8));
    m.flags = b[6];
    return m;
}

kvr_loconet_msg kvr_build_lncv(const kvr_lncv_msg& m) {
    const uint8_t full[7] = {uint8_t(m.article & 0xFF), uint8_t(m.article >> 8),
                             uint8_t(m.cv & 0xFF),      uint8_t(m.cv >> 8),
                             uint8_t(m.value & 0xFF),   uint8_t(m.value >> 8),
                             m.flags};
    uint8_t b[7];
    const uint8_t px = split_high_bits(full, 7, b);
    return kvr_loconet_msg::with_checksum(
        {m.reply ? OPC_PEER_XFER : OPC_IMM_PACKET, lncv_count, uint8_t(m.src & 0x7F),
         uint8_t(m.dst & 0x7F), uint8_t((m.dst >> 8) & 0x7F), uint8_t(m.cmd & 0x7F), px,
         b[0], b[1], b[2], b[3], b[4], b[5], b[6]});
}

namespace {
kvr_lncv_msg lncv_request(uint8_t cmd, uint16_t article, uint16_t cv, uint16_t value,
                          uint8_t flags) {
    kvr_lncv_msg m;
    m.cmd = cmd;
    m.article = article;
    m.cv = cv;
    m.value = value;
    m.flags = flags;
    return m;
}
}  // namespace

kvr_lncv_msg kvr_lncv_start(uint16_t article, uint16_t module) {
    return lncv_request(kvr_lncv::read, article, 0, module, kvr_lncv::flag_start);
}

kvr_lncv_msg kvr_lncv_end(uint16_t article, uint16_t module) {
    return lncv_request(kvr_lncv::read, article, 0, module, kvr_lncv::flag_end);
}

kvr_lncv_msg kvr_lncv_read(uint16_t article, uint16_t module, uint16_t cv) {
    return lncv_request(kvr_lncv::read, article, cv, module, kvr_lncv::flag_none);
}

kvr_lncv_msg kvr_lncv_write(uint16_t article, uint16_t cv, uint16_t value) {
    return lncv_request(kvr_lncv::write, article, cv, value, kvr_lncv::flag_none);
}

kvr_lncv_msg kvr_lncv_discover(uint16_t article) {
    return lncv_request(kvr_lncv::read, article, 0, kvr_lncv::all, kvr_lncv::flag_start);
}

kvr_lncv_msg kvr_lncv_reply(uint16_t article, uint16_t cv, uint16_t value) {
    kvr_lncv_msg m;
    m.reply = true;
    m.src = kvr_lncv::src_module;
    m.dst = kvr_lncv::dst_pc;
    m.cmd = kvr_lncv::read_reply;
    m.article = article;
    m.cv = cv;
    m.value = value;
    return m;
}

// --- command-station option switches --------------------------------------

namespace {
constexpr std::array<int, 8> opsw_bytes = {3, 4, 5, 6, 8, 9, 10, 11};
constexpr int opsw_trk = 7;
constexpr int opsw_id2 = 12;

int opsw_byte(int n) { return opsw_bytes[size_t(((n - 1) % kvr_opsw_count) / 8)]; }
uint8_t opsw_bit(int n) { return uint8_t(1u << ((n - 1) % 8)); }
bool slot_holds(const kvr_loconet_msg& slot, int n) {
    return kvr_is_cs_opsw_slot(slot) && slot[2] == kvr_cs_opsw_slot(n);
}
}  // namespace

uint8_t kvr_cs_opsw_slot(int n) {
    if (n >= 1 && n <= kvr_opsw_count) return kvr_slot_opsw;
    if (n > kvr_opsw_count && n <= 2 * kvr_opsw_count) return kvr_slot_opsw_ext;
    return 0;
}

bool kvr_cs_opsw_writable(int n) { return kvr_cs_opsw_slot(n) != 0 && n % 8 != 0; }

bool kvr_is_cs_opsw_slot(const kvr_loconet_msg& msg) {
    return msg.length() == 14 && (msg[0] == OPC_SL_RD_DATA || msg[0] == OPC_WR_SL_DATA) &&
           msg[1] == kvr_proto::slot_msg_count &&
           (msg[2] == kvr_slot_opsw || msg[2] == kvr_slot_opsw_ext);
}

bool kvr_cs_opsw_get(const kvr_loconet_msg& slot, int n) {
    if (!kvr_cs_opsw_writable(n) || !slot_holds(slot, n)) return false;
    return (slot[opsw_byte(n)] & opsw_bit(n)) != 0;
}

bool kvr_cs_opsw_set(kvr_loconet_msg& slot, int n, bool closed) {
    if (!kvr_cs_opsw_writable(n) || !slot_holds(slot, n)) return false;
    uint8_t& b = slot[opsw_byte(n)];
    b = closed ? uint8_t(b | opsw_bit(n)) : uint8_t(b & ~opsw_bit(n));
    slot.renew_checksum();
    return true;
}

kvr_loconet_msg kvr_build_cs_opsw_read(uint8_t slot) {
    return kvr_loconet_msg::with_checksum({OPC_RQ_SL_DATA, uint8_t(slot & 0x7F), 0x00});
}

kvr_loconet_msg kvr_build_cs_opsw_write(const kvr_loconet_msg& read) {
    uint8_t b[13] = {OPC_WR_SL_DATA, kvr_proto::slot_msg_count, read[2]};
    for (int i = 3; i < 13; ++i) b[i] = read[i] & 0x7F;
    b[opsw_trk] = 0;
    b[opsw_id2] = 0;
    return kvr_loconet_msg::with_checksum(b, sizeof b);
}

// --- board option switches ------------------------------------------------

namespace {
constexpr uint8_t board_read = 0x62;
constexpr uint8_t board_write_bit = 0x10;
constexpr uint8_t board_opsw_access = 0x70;
}  // namespace

std::optional<kvr_board_opsw_msg> kvr_parse_board_opsw(const kvr_loconet_msg& msg) {
    if (msg.length() != 6 || msg[0] != OPC_MULTI_SENSE) return std::nullopt;
    if ((msg[1] & 0xEE) != board_read || (msg[3] & 0xF0) != board_opsw_access)
        return std::nullopt;
    kvr_board_opsw_msg m;
    m.write = (msg[1] & board_write_bit) != 0;
    m.type = msg[3] & 0x07;
    m.board = uint16_t(msg[2] + 1 + (msg[1] & 1) * 128);
    m.opsw = uint8_t((msg[4] & 0x7E) / 2 + 1);
    m.closed = (msg[4] & 1) != 0;
    return m;
}

kvr_loconet_msg kvr_build_board_opsw(const kvr_board_opsw_msg& m) {
    const unsigned b = unsigned(m.board - 1) & 0xFF;
    const unsigned o = unsigned(m.opsw - 1) & 0x3F;
    return kvr_loconet_msg::with_checksum(
        {OPC_MULTI_SENSE, uint8_t(board_read | (m.write ? board_write_bit : 0) | (b >> 7)),
         uint8_t(b & 0x7F), uint8_t(board_opsw_access | (m.type & 7)),
         uint8_t(o * 2 | (m.closed ? 1 : 0))});
}

std::optional<kvr_board_opsw_answer> kvr_parse_board_opsw_answer(const kvr_loconet_msg& msg) {
    if (msg.length() != 4 || msg[0] != OPC_LONG_ACK) return std::nullopt;
    if (msg[1] != 0x50 && msg[1] != 0x00) return std::nullopt;
    kvr_board_opsw_answer a;
    a.closed = (msg[2] & 0x20) != 0;
    a.write_done = msg[2] == 0x7F;
    return a;
}

const char* kvr_board_type_name(uint8_t type) {
    static constexpr const char* names[] = {"power manager", "occupancy detector",
                                            "signal board", "stationary decoder"};
    return type < 4 ? names[type] : "board";
}
