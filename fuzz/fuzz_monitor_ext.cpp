// The extended monitor text on arbitrary messages, as the framer delivers
// them (any opcode, any length, a good checksum) and as anyone might build
// them. Properties: every message gets one non-empty line of printable
// ASCII, short enough for the link's line buffer; a message the monitor
// decodes keeps exactly the monitor's line, but for the readings the
// extended text may give (consist state of slot status, interrogation,
// special slot moves, the opcode a long acknowledge names and what its code
// means, the option-switch slot a request names, expanded slots offered in
// a slot's TRK, a short address in a slot, an emergency stop, a reserved
// DIRF bit), which keep the monitor's opcode name, a move, a slot request, a
// speed and a direction all of the monitor's words; and the DCC packet decoder reads any packet of up
// to five bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "loconet/kvr_loconet_msg.h"
#include "loconet/kvr_monitor.h"
#include "loconet/kvr_monitor_ext.h"

namespace {

void check_line(const std::string& text) {
    if (text.empty() || text.size() > 1021) std::abort();
    for (char c : text)
        if (c < 0x20 || c > 0x7E) std::abort();
}

// The opcode name padded to 16 characters and the colon.
constexpr std::size_t head_width = 17;

bool may_reword(uint8_t opcode) {
    switch (opcode) {
    case OPC_SW_REQ:
    case OPC_SLOT_STAT1:
    case OPC_MOVE_SLOTS:
    case OPC_LONG_ACK:
    case OPC_RQ_SL_DATA:
    case OPC_LOCO_SPD:
    case OPC_LOCO_DIRF:
    case OPC_CONSIST_FUNC:
    case OPC_SL_RD_DATA:
    case OPC_WR_SL_DATA:
        return true;
    default:
        return false;
    }
}

void check_message(const kvr_loconet_msg& msg) {
    const std::string plain = kvr_monitor::to_text(msg);
    const std::string extended = kvr_monitor::to_text_extended(msg);
    check_line(extended);
    if (plain.empty() || extended == plain) return;
    if (!may_reword(msg.opcode())) std::abort();
    if (plain.size() < head_width || extended.compare(0, head_width, plain, 0, head_width) != 0) std::abort();
    const bool keeps_words = msg.opcode() == OPC_MOVE_SLOTS || msg.opcode() == OPC_RQ_SL_DATA ||
                             msg.opcode() == OPC_LOCO_SPD || msg.opcode() == OPC_LOCO_DIRF ||
                             msg.opcode() == OPC_CONSIST_FUNC;
    if (keeps_words && extended.compare(0, plain.size(), plain) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // Bit 7 of the first byte is forced on: every message starts with an opcode.
    kvr_loconet_msg msg;
    msg.append(static_cast<uint8_t>(data[0] | 0x80));
    for (size_t i = 1; i < size && i < kvr_loconet_msg::capacity - 1; ++i) msg.append(data[i]);
    msg.append(0xFFFF);
    check_message(msg);

    // The data bytes as the bus carries them: bit 7 clear.
    kvr_loconet_msg bus;
    bus.append(static_cast<uint8_t>(data[0] | 0x80));
    for (size_t i = 1; i < size && i < kvr_loconet_msg::capacity - 1; ++i)
        bus.append(static_cast<uint8_t>(data[i] & 0x7F));
    bus.append(0xFFFF);
    check_message(bus);

    const int n = static_cast<int>(size > 5 ? 5 : size);
    const std::string packet = kvr_monitor::dcc_packet_text(data, n);
    if (packet.empty()) std::abort();
    return 0;
}
