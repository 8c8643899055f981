#pragma once
// The devices on the simulated bus besides the command station, as a pure
// model: each message heard goes in, the answers the devices give come out.
// The layouts are read and built by loconet/kvr_device_msgs.h.
//
// SV2 module (SV programming format 2): address 3; manufacturer 13,
// developer 1, product 0x1234, serial 0x5678. Its discover reply to SRC 01:
//   E5 10 01 07 02 10 00 00 00 00 10 00 00 00 00 0E  (discover)
//   E5 10 01 47 02 10 03 00 0D 01 10 34 12 78 56 49  (device 3 answers)
// It answers requests to its address or to 0 (every device): reads (02,
// 06), writes (01, 03 masked, 05), identify (08), reconfigure (0F), and a
// change of address (09) carrying its identity. SVs 0..255: SV 0 = 1 and
// read-only, SV 1/2 its address low/high (a new value counts from the next
// reconfigure: the module restarts after its 4F). Errors as LACK of 0xE5:
// B4 65 2B for an SV it lacks (read), B4 65 2C when a write fails.
//
// LNCV module: article 6861, module address 1; LNCV 0 = the address, 1 = 2,
// 2..14 = 0 (0..255), 15 = 7 read-only, 16 and up unsupported. It reads
// ED 0F requests (and an end as E5 0F), answers as E5 0F to 49 4B (or to
// the requester's SRC when that is not 01), writes with B4 6D code:
//   ED 0F 01 05 00 21 01 4D 1A 01 00 01 00 00 6E   read LNCV 1
//   E5 0F 05 49 4B 1F 01 4D 1A 01 00 02 00 00 58   LNCV 1 = 2
// A start (0x21, flags 0x80) for its article or 0xFFFF and its address or
// 0xFFFF enters programming mode and is answered with LNCV 0; reads and
// writes are answered only in programming mode; an end (flags 0x40) leaves
// it without an answer. A read of 0xFFFF/0xFFFF outside a session is
// answered with LNCV 0 and does not enter it. A new address (LNCV 0) counts
// from the end of the session.
//
// Board: occupancy detector (type 1), board 1, OpSw 1..64 (thrown at
// start). D0 62 00 71 b4 reads OpSw (b4 >> 1) + 1 (B4 50 20 closed, B4 50
// 00 thrown), D0 72 00 71 b4 writes b4 bit 0 (B4 50 7F); the query of every
// board, D0 62 00 70 00, is answered D0 62 00 01 03 (type 1, version 3).

#include <array>
#include <cstdint>
#include <vector>

#include "loconet/kvr_device_msgs.h"
#include "loconet/kvr_loconet_msg.h"

class kvr_sim_devices {
public:
    static constexpr uint16_t sv2_first_address = 3;
    static constexpr kvr_sv2_identity sv2_identity{13, 1, 0x1234, 0x5678};
    static constexpr int sv_count = 256;
    static constexpr uint16_t lncv_article = 6861;
    static constexpr uint16_t lncv_first_address = 1;
    static constexpr int lncv_count = 16;
    static constexpr uint8_t board_type = kvr_board::occupancy_detector;
    static constexpr uint16_t board_number = 1;
    static constexpr uint8_t board_version = 3;

    kvr_sim_devices();

    // The answers to `msg`, heard on the bus, oldest first.
    std::vector<kvr_loconet_msg> hear(const kvr_loconet_msg& msg);

    uint16_t sv2_address() const { return sv2_address_; }
    uint8_t sv(uint16_t n) const { return n < sv_count ? svs_[n] : 0; }
    uint16_t lncv_address() const { return lncv_address_; }
    uint16_t lncv(uint16_t n) const { return n < lncv_count ? lncvs_[n] : 0; }
    // Whether the LNCV module is in programming mode (a tool left it so
    // when it did not end its session).
    bool lncv_programming() const { return lncv_programming_; }
    bool board_opsw(int n) const { return n >= 1 && n <= 64 && board_opsw_[static_cast<std::size_t>(n - 1)]; }

private:
    void hear_sv2(const kvr_sv2_msg& m, std::vector<kvr_loconet_msg>& out);
    void hear_lncv(const kvr_lncv_msg& m, std::vector<kvr_loconet_msg>& out);
    void hear_board(const kvr_loconet_msg& msg, const kvr_board_opsw_msg& m, std::vector<kvr_loconet_msg>& out);
    // 0 written, else the LACK code of the refusal.
    uint8_t write_sv(uint16_t n, uint8_t value);
    uint8_t write_lncv(uint16_t n, uint16_t value);

    uint16_t sv2_address_ = sv2_first_address;
    std::array<uint8_t, sv_count> svs_{};
    uint16_t lncv_address_ = lncv_first_address;
    std::array<uint16_t, lncv_count> lncvs_{};
    bool lncv_programming_ = false;
    std::array<bool, 64> board_opsw_{};
};
