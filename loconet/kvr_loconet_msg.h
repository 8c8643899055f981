#pragma once
// One LocoNet message and its framing.
//
// Byte rules: the opcode (byte 0) has bit 7 set, every other byte bit 7
// clear. Bits 6..5 of the opcode give the length: 0x80-0x9F 2 bytes,
// 0xA0-0xBF 4, 0xC0-0xDF 6, 0xE0-0xFF byte 1 is the count of the whole
// message. The last byte is the checksum: the complement of the XOR of all
// bytes before it, so the XOR of a whole message is 0xFF.
//   OPC_GPON:             83 7C
//   speed 63 to slot 5:   A0 05 3F 65
//
// Slot messages (OPC_SL_RD_DATA / OPC_WR_SL_DATA), 14 bytes, byte 1 = 0x0E,
// byte 2 = slot:
//   byte  ordinary slot  slot 124 (programmer)  slot 123 (fast clock)
//    3    STAT           PCMD                   CLK_RATE
//    4    ADR            PSTAT                  FRAC_MINSL
//    5    SPD            HOPSA                  FRAC_MINSH
//    6    DIRF           LOPSA                  MINS
//    7    TRK            TRK                    TRK
//    8    SS2            CVH                    HRS
//    9    ADR2           CVL                    DAYS
//   10    SND            DATA7                  CLK_CNTRL
//   11    ID1            0                      ID1
//   12    ID2            0                      ID2

#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>

#include "loconet/kvr_loconet_proto.h"

enum : uint8_t {
    OPC_BUSY = 0x81,
    OPC_GPOFF = 0x82,
    OPC_GPON = 0x83,
    OPC_IDLE = 0x85,
    OPC_LOCO_SPD = 0xA0,
    OPC_LOCO_DIRF = 0xA1,
    OPC_LOCO_SND = 0xA2,
    OPC_SW_REQ = 0xB0,
    OPC_SW_REP = 0xB1,
    OPC_INPUT_REP = 0xB2,
    OPC_LONG_ACK = 0xB4,
    OPC_SLOT_STAT1 = 0xB5,
    OPC_CONSIST_FUNC = 0xB6,
    OPC_UNLINK_SLOTS = 0xB8,
    OPC_LINK_SLOTS = 0xB9,
    OPC_MOVE_SLOTS = 0xBA,
    OPC_RQ_SL_DATA = 0xBB,
    OPC_SW_STATE = 0xBC,
    OPC_SW_ACK = 0xBD,
    OPC_LOCO_ADR = 0xBF,
    OPC_PEER_XFER = 0xE5,
    OPC_SL_RD_DATA = 0xE7,
    OPC_IMM_PACKET = 0xED,
    OPC_WR_SL_DATA = 0xEF,
};

constexpr uint8_t kvr_slot_fast_clock = 123;
constexpr uint8_t kvr_slot_programmer = 124;

// Name of an opcode from the 24-entry table, "?" when it is not there.
const char* kvr_opcode_name(uint8_t opcode);

class kvr_loconet_msg {
public:
    static constexpr int capacity = 128;

    kvr_loconet_msg() = default;
    kvr_loconet_msg(const kvr_loconet_msg&) = default;
    kvr_loconet_msg& operator=(const kvr_loconet_msg&) = default;
    virtual ~kvr_loconet_msg() = default;

    // 0xFFFF appends the checksum; any other value appends its low byte.
    // Appending to a full message is ignored.
    int append(uint16_t value);
    int append_checksum();
    int renew_checksum();
    bool checksum_ok() const;

    uint8_t opcode() const { return data_[0]; }
    void set_opcode(uint8_t op) { data_[0] = op; }
    int length() const { return length_; }
    const uint8_t* data() const { return data_; }
    uint8_t operator[](int i) const { return data_[i]; }
    uint8_t& operator[](int i) { return data_[i]; }

    // Frames at most one message from the front of `queue`, or drops at most
    // one byte that cannot start or continue a message. Returns the opcode of
    // the message taken, else 0. A broken candidate (bad checksum, a byte with
    // bit 7 set among its data, an impossible count) loses only its opcode
    // byte, so the good message behind it is still framed.
    uint8_t take_from(std::deque<uint8_t>& queue);

    // Slot accessors (see the layout above).
    uint8_t speed_steps() const { return data_[3] & 0x07; }
    void set_speed_steps(uint8_t code) { data_[3] = static_cast<uint8_t>((data_[3] & 0xF8) | (code & 0x07)); }
    void set_in_use() { data_[3] |= 0x30; }
    void set_speed(uint8_t spd) { data_[5] = spd; }
    uint8_t dirf() const { return data_[6]; }
    // 1 forward (DIRF bit 5 clear), 0 reverse (bit 5 set). The setter makes
    // the slot run forward only for exactly 1, as the throttle passes it.
    uint16_t direction() const { return (data_[6] & kvr_proto::dirf_reverse) ? 0 : 1; }
    void set_direction(uint16_t dir);
    uint8_t snd() const { return data_[10]; }
    uint16_t throttle_id() const { return static_cast<uint16_t>((data_[11] << 8) | data_[12]); }
    void set_throttle_id(uint16_t id);
    uint8_t pgm_status() const { return data_[4]; }
    uint8_t pgm_data() const;
    // ADR2 * 128 + ADR of an ordinary slot.
    uint16_t slot_address() const { return static_cast<uint16_t>(data_[9] * 128 + data_[4]); }

    bool operator==(const kvr_loconet_msg& o) const;

    // The given bytes (opcode first) with their checksum appended.
    static kvr_loconet_msg with_checksum(const uint8_t* bytes, std::size_t count);
    static kvr_loconet_msg with_checksum(std::initializer_list<uint8_t> bytes) {
        return with_checksum(bytes.begin(), bytes.size());
    }

private:
    uint8_t data_[capacity] = {};
    int32_t length_ = 0;
};

// Frames every whole message at the front of `queue`, oldest first, and
// hands each to `on_message`; strays and broken candidates are dropped on the
// way. Stops when the queue is empty or holds only the start of a message.
template <class F>
void kvr_frame_all(std::deque<uint8_t>& queue, F&& on_message) {
    for (;;) {
        const std::size_t before = queue.size();
        kvr_loconet_msg msg;
        if (msg.take_from(queue) != 0)
            on_message(msg);
        else if (queue.size() == before)
            return;
    }
}

// Length of a message from its first bytes: 2, 4 or 6 by the opcode class,
// or the count byte for 0xE0-0xFF (0 when that byte is not given or has bit 7
// set; a count of 0 or 1 gives 2, the opcode and count byte already seen).
int kvr_expected_length(uint8_t opcode, int count_byte = -1);
