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

    // Slot accessors (see the layout above and kvr_loconet_proto.h).
    uint8_t speed_steps() const { return data_[kvr_proto::slot_stat] & kvr_proto::stat_steps_mask; }
    void set_speed_steps(uint8_t code);
    void set_in_use() { data_[kvr_proto::slot_stat] |= kvr_proto::usage_in_use; }
    void set_speed(uint8_t spd) { data_[kvr_proto::slot_spd] = spd; }
    uint8_t dirf() const { return data_[kvr_proto::slot_dirf]; }
    // 1 forward (DIRF bit 5 clear), 0 reverse (bit 5 set). The setter makes
    // the slot run forward only for exactly 1, as the throttle passes it.
    uint16_t direction() const { return (dirf() & kvr_proto::dirf_reverse) ? 0 : 1; }
    void set_direction(uint16_t dir);
    uint8_t snd() const { return data_[kvr_proto::slot_snd]; }
    uint16_t throttle_id() const;
    void set_throttle_id(uint16_t id);
    uint8_t pgm_status() const { return data_[kvr_proto::pgm_pstat]; }
    uint8_t pgm_data() const;
    // ADR2 * 128 + ADR of an ordinary slot.
    uint16_t slot_address() const;

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
