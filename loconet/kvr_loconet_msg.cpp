#include "loconet/kvr_loconet_msg.h"

#include <algorithm>
#include <iterator>

namespace {

struct opcode_name_row {
    uint8_t opcode;
    const char* name;
};

// Searched front to back; the order is the one the long-acknowledge text has
// always used.
constexpr opcode_name_row opcode_names[] = {
    {OPC_IDLE, "OPC_IDLE"},
    {OPC_GPON, "OPC_GPON"},
    {OPC_GPOFF, "OPC_GPOFF"},
    {OPC_BUSY, "OPC_BUSY"},
    {OPC_LOCO_ADR, "OPC_LOCO_ADR"},
    {OPC_SW_ACK, "OPC_SW_ACK"},
    {OPC_SW_STATE, "OPC_SW_STATE"},
    {OPC_RQ_SL_DATA, "OPC_RQ_SL_DATA"},
    {OPC_MOVE_SLOTS, "OPC_MOVE_SLOTS"},
    {OPC_LINK_SLOTS, "OPC_LINK_SLOTS"},
    {OPC_UNLINK_SLOTS, "OPC_UNLINK_SLOTS"},
    {OPC_CONSIST_FUNC, "OPC_CONSIST_FUNC"},
    {OPC_SLOT_STAT1, "OPC_SLOT_STAT1"},
    {OPC_LONG_ACK, "OPC_LONG_ACK"},
    {OPC_INPUT_REP, "OPC_INPUT_REP"},
    {OPC_SW_REP, "OPC_SW_REP"},
    {OPC_SW_REQ, "OPC_SW_REQ"},
    {OPC_LOCO_SND, "OPC_LOCO_SND"},
    {OPC_LOCO_DIRF, "OPC_LOCO_DIRF"},
    {OPC_LOCO_SPD, "OPC_LOCO_SPD"},
    {OPC_WR_SL_DATA, "OPC_WR_SL_DATA"},
    {OPC_SL_RD_DATA, "OPC_SL_RD_DATA"},
    {OPC_PEER_XFER, "OPC_PEER_XFER"},
    {OPC_IMM_PACKET, "OPC_IMM_PACKET"},
};
static_assert(std::size(opcode_names) == 24);

constexpr bool is_opcode_byte(uint8_t b) { return (b & 0x80) != 0; }

}  // namespace

const char* kvr_opcode_name(uint8_t opcode) {
    for (const auto& row : opcode_names) {
        if (row.opcode == opcode) return row.name;
    }
    return "?";
}

int kvr_expected_length(uint8_t opcode, int count_byte) {
    switch (opcode & 0x60) {
    case 0x00: return 2;
    case 0x20: return 4;
    case 0x40: return 6;
    default: break;
    }
    // The count covers the whole message. Bit 7 set (or anything above 127)
    // is not a count at all. A count of 0 or 1 is taken as the two bytes
    // already seen (opcode and count byte); the checksum then decides.
    if (count_byte < 0 || count_byte > 127) return 0;
    return count_byte < 2 ? 2 : count_byte;
}

int kvr_loconet_msg::append(uint16_t value) {
    if (value == 0xFFFF) return append_checksum();
    if (length_ >= capacity) return length_;
    data_[length_++] = static_cast<uint8_t>(value & 0xFF);
    return length_;
}

int kvr_loconet_msg::append_checksum() {
    if (length_ >= capacity) return length_;
    uint8_t x = 0;
    for (int i = 0; i < length_; ++i) x ^= data_[i];
    data_[length_++] = static_cast<uint8_t>(~x);
    return length_;
}

int kvr_loconet_msg::renew_checksum() {
    // An empty message has no checksum to replace; it just gets one.
    if (length_ > 0) --length_;
    return append_checksum();
}

bool kvr_loconet_msg::checksum_ok() const {
    if (length_ < 1) return false;
    uint8_t x = 0;
    for (int i = 0; i < length_; ++i) x ^= data_[i];
    return x == 0xFF;
}

void kvr_loconet_msg::set_speed_steps(uint8_t code) {
    uint8_t& stat = data_[kvr_proto::slot_stat];
    stat = static_cast<uint8_t>((stat & ~kvr_proto::stat_steps_mask) | (code & kvr_proto::stat_steps_mask));
}

void kvr_loconet_msg::set_direction(uint16_t dir) {
    uint8_t& dirf = data_[kvr_proto::slot_dirf];
    dirf = static_cast<uint8_t>(dirf & ~kvr_proto::dirf_reverse);
    if (dir != 1) dirf |= kvr_proto::dirf_reverse;
}

// ID1 and ID2 are plain bytes of a 16-bit identity, each kept to 7 bits:
// 0x0100 is ID1 01, ID2 00.
uint16_t kvr_loconet_msg::throttle_id() const {
    return static_cast<uint16_t>((data_[kvr_proto::slot_id1] << 8) | data_[kvr_proto::slot_id2]);
}

void kvr_loconet_msg::set_throttle_id(uint16_t id) {
    data_[kvr_proto::slot_id1] = static_cast<uint8_t>((id >> 8) & 0x7F);
    data_[kvr_proto::slot_id2] = static_cast<uint8_t>(id & 0x7F);
}

uint8_t kvr_loconet_msg::pgm_data() const {
    return kvr_proto::decode_cv_data(data_[kvr_proto::pgm_cvh], data_[kvr_proto::pgm_data7]);
}

uint16_t kvr_loconet_msg::slot_address() const {
    return kvr_proto::decode_loco_address(data_[kvr_proto::slot_adr2], data_[kvr_proto::slot_adr]);
}

bool kvr_loconet_msg::operator==(const kvr_loconet_msg& o) const {
    return length_ == o.length_ && std::equal(data_, data_ + length_, o.data_);
}

// The queue only ever loses bytes from its front, and never more than one
// message or one byte per call. A candidate that turns out broken gives up
// only its opcode byte: its data bytes (bit 7 clear) then fall away one per
// call as strays, and whatever opcode follows is framed normally. A byte with
// bit 7 set inside a candidate can only be the next message's opcode (a
// sender that lost a collision stops mid-message), so the candidate is given
// up at once instead of waiting for bytes that will never complete it.
// This object changes only when a message is taken.
uint8_t kvr_loconet_msg::take_from(std::deque<uint8_t>& queue) {
    if (queue.empty()) return 0;
    const uint8_t op = queue.front();
    if (!is_opcode_byte(op)) {
        queue.pop_front();
        return 0;
    }

    int need = kvr_expected_length(op);
    if (need == 0) {
        if (queue.size() < 2) return 0;  // the count byte has not arrived
        need = kvr_expected_length(op, is_opcode_byte(queue[1]) ? 0x80 : queue[1]);
        if (need == 0) {
            queue.pop_front();
            return 0;
        }
    }

    const int have = static_cast<int>(std::min<std::size_t>(queue.size(), need));
    for (int i = 1; i < have; ++i) {
        if (is_opcode_byte(queue[i])) {
            queue.pop_front();
            return 0;
        }
    }
    if (have < need) return 0;

    kvr_loconet_msg candidate;
    for (int i = 0; i < need; ++i) candidate.append(queue[i]);
    if (!candidate.checksum_ok()) {
        queue.pop_front();
        return 0;
    }
    queue.erase(queue.begin(), queue.begin() + need);
    *this = candidate;
    return op;
}

kvr_loconet_msg kvr_loconet_msg::with_checksum(const uint8_t* bytes, std::size_t count) {
    kvr_loconet_msg m;
    for (std::size_t i = 0; i < count; ++i) m.append(bytes[i]);
    m.append(0xFFFF);
    return m;
}
