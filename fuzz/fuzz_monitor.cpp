// The monitor text on arbitrary messages: any opcode, any length up to the
// message's 128 bytes, any data bytes, with and without a good checksum.
// A line is one line (no CR or LF inside) and stays short enough for the
// link's 1024-byte line buffer with its CR LF.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "loconet/kvr_loconet_msg.h"
#include "loconet/kvr_monitor.h"

namespace {

void check_line(const std::string& text) {
    if (text.size() > 1021 || text.find_first_of("\r\n") != std::string::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    kvr_loconet_msg msg;
    for (size_t i = 0; i < size && i < kvr_loconet_msg::capacity; ++i) msg.append(data[i]);
    check_line(kvr_monitor::to_text(msg));

    // The same bytes as the framer would deliver them: a good checksum in
    // the last byte.
    if (msg.length() >= 2) {
        msg.renew_checksum();
        check_line(kvr_monitor::to_text(msg));
    }

    // The field decoders on their own, with the first bytes as arguments.
    const uint8_t a = data[0];
    const uint8_t b = size > 1 ? data[1] : 0;
    check_line(kvr_monitor::switch_text(a, b));
    check_line(kvr_monitor::input_text(a, b));
    check_line(kvr_monitor::switch_report_text(a, b));
    check_line(kvr_monitor::dirf_text(a));
    check_line(kvr_monitor::snd_text(a));
    check_line(kvr_monitor::slot_status_text(a));
    check_line(kvr_monitor::ack_text(a, b));
    check_line(kvr_monitor::track_text(a));
    check_line(kvr_monitor::pgm_command_name(a));
    check_line(kvr_monitor::slot_text(msg));
    check_line(kvr_monitor::pgm_task_text(msg));
    check_line(kvr_monitor::fast_clock_text(msg));
    return 0;
}
