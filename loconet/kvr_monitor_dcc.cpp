// DCC packets (NMRA S-9.2, S-9.2.1) as the extended monitor shows the
// immediate packets a command station is asked to send.

#include "foundation/kvr_text.h"
#include "loconet/kvr_monitor_ext.h"
#include "loconet/kvr_monitor_families.h"

namespace kvr_monitor {
namespace {

// One decoded instruction and the bytes it took.
struct instruction {
    std::string text;
    int length;
};

// 28-step speed from 01DCSSSS: C is the low bit of the step; steps 0 and 1
// stop, 2 and 3 stop at once, 4..31 are speeds 1..28.
std::string speed28(uint8_t i) {
    const int raw = ((i & 0x0F) << 1) | ((i >> 4) & 1);
    std::string s;
    if (raw == 2 || raw == 3) s = "estop";
    else string_appendf(s, "spd28(%d)", raw < 4 ? 0 : raw - 3);
    return s + ((i & 0x20) ? " DIR(fwd)" : " DIR(rev)");
}

// 1110CCVV VVVVVVVV DDDDDDDD: CC 01 verify, 11 write, 10 bit operation.
std::string cv_access(const uint8_t* p) {
    static const char* const ops[] = {"reserved", "verify", "bit", "write"};
    std::string s;
    return string_appendf(s, "OPS CV#[%d] %s(%d)", ((p[0] & 0x03) << 8 | p[1]) + 1, ops[(p[0] >> 2) & 3], p[2]);
}

// The instruction at `p` of a multi-function decoder packet (n bytes left).
instruction decoder_instruction(const uint8_t* p, int n) {
    const uint8_t i = p[0];
    std::string s;
    if ((i & 0xC0) == 0x40) return {speed28(i), 1};
    if ((i & 0xE0) == 0x80) {
        const uint32_t bits = static_cast<uint32_t>((i >> 4) & 1) | (i & 0x0Fu) << 1;
        return {function_group("F0-4", bits, 5, 0), 1};
    }
    if ((i & 0xF0) == 0xB0) return {function_group("F5-8", i & 0x0Fu, 4, 5), 1};
    if ((i & 0xF0) == 0xA0) return {function_group("F9-12", i & 0x0Fu, 4, 9), 1};
    if (i == 0xDE && n >= 2) return {function_group("F13-20", p[1], 8, 13), 2};
    if (i == 0xDF && n >= 2) return {function_group("F21-28", p[1], 8, 21), 2};
    if (i == 0x3F && n >= 2) {
        if ((p[1] & 0x7F) == 1) return {std::string("estop DIR(") + ((p[1] & 0x80) ? "fwd)" : "rev)"), 2};
        return {string_appendf(s, "spd128(%d) DIR(%s)", p[1] & 0x7F, (p[1] & 0x80) ? "fwd" : "rev"), 2};
    }
    // Analog function group: output 0x7F is a playable whistle, its level next.
    if (i == 0x3D && n >= 3) {
        if (p[1] == 0x7F) return {string_appendf(s, "whistle level(%d)", p[2]), 3};
        return {string_appendf(s, "analog output(%d) value(%d)", p[1], p[2]), 3};
    }
    if ((i & 0xF0) == 0xE0 && n >= 3) return {cv_access(p), 3};
    if ((i & 0xE0) == 0x00) return {string_appendf(s, "control(%02X)", i), 1};
    return {string_appendf(s, "instruction(%02X)", i), n};
}

// Every instruction of the packet, "; " between them. A last byte that is
// the XOR of all before it is the error byte some senders count in.
std::string instructions(const uint8_t* packet, int head, int n) {
    if (n - head < 1) return "no instruction";
    uint8_t x = 0;
    for (int k = 0; k < n - 1; ++k) x ^= packet[k];
    std::string s;
    for (int at = head; at < n;) {
        if (at == n - 1 && at > head && packet[at] == x) break;
        const instruction ins = decoder_instruction(packet + at, n - at);
        if (at > head) s += "; ";
        s += ins.text;
        at += ins.length;
    }
    return s;
}

// Basic accessory: 10AAAAAA 1AAACDDD, the upper three address bits sent
// inverted; C switches the output, DDD picks the output of the board. After
// those two bytes, 1110CCVV VVVVVVVV DDDDDDDD is an ops-mode CV access to
// the accessory decoder. Extended accessory: 10AAAAAA 0AAA0AA1 XXXXXXXX,
// address (board-1)*4 + ((b2>>1)&3) + 1 and an aspect.
std::string dcc_accessory(const uint8_t* p, int n) {
    std::string s;
    if (n < 2) return "ACCESSORY short packet";
    const int board = (p[0] & 0x3F) | (((~p[1] >> 4) & 0x07) << 6);
    if (p[1] & 0x80) {
        if (n >= 5 && (p[2] & 0xF0) == 0xE0) {
            string_appendf(s, "ACCESSORY board(%d) ", board);
            return s + cv_access(p + 2);
        }
        return string_appendf(s, "ACCESSORY board(%d) output(%d) %s", board, p[1] & 0x07, (p[1] & 0x08) ? "on" : "off");
    }
    if ((p[1] & 0x89) == 0x01 && n >= 3) {
        const int address = (board - 1) * 4 + ((p[1] >> 1) & 3) + 1;
        return string_appendf(s, "EXT ACCESSORY address(%d) aspect(%d)", address, p[2]);
    }
    return string_appendf(s, "EXT ACCESSORY board(%d) data(%s)", board, hex_span(p + 1, n - 1).c_str());
}

}  // namespace

std::string dcc_packet_text(const uint8_t* p, int n) {
    std::string s;
    if (n < 2) return "short packet";
    const uint8_t a = p[0];
    // NMRA S-9.2: the idle packet is FF 00 (error byte FF, which some
    // senders count among the bytes); any other packet to address FF is not.
    if (a == 0xFF && p[1] == 0x00 && (n == 2 || (n == 3 && p[2] == 0xFF))) return "IDLE";
    if (a == 0x00) return "BROADCAST " + instructions(p, 1, n);
    if (a < 0x80) {
        string_appendf(s, "LOCO#[%d] ", a);
        return s + instructions(p, 1, n);
    }
    if (a < 0xC0) return dcc_accessory(p, n);
    if (a <= 0xE7) {
        string_appendf(s, "LOCO#[%d] ", ((a & 0x3F) << 8) | p[1]);
        return s + instructions(p, 2, n);
    }
    return string_appendf(s, "reserved(%02X)", a);
}

}  // namespace kvr_monitor
