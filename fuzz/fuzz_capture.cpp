// Capture-file lines, as anyone might write or damage them. Properties: a
// line is a message, skipped, or damaged with a non-empty reason; a message
// line passes the framer's rules (opcode first, length, checksum); written
// back, it reads as the same time and bytes; and a whole input streamed
// through the reader numbers its items in order without crashing.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <string_view>

#include "loconet/kvr_capture.h"

namespace {

void check_line(std::string_view line) {
    const kvr_capture_parsed p = kvr_capture_parse_line(line);
    if (p.kind == kvr_capture_kind::damaged && (!p.reason || !*p.reason)) std::abort();
    if (p.kind != kvr_capture_kind::message) return;
    const kvr_loconet_msg& m = p.entry.msg;
    std::deque<uint8_t> q(m.data(), m.data() + m.length());
    kvr_loconet_msg framed;
    if (framed.take_from(q) == 0 || !(framed == m) || !q.empty()) std::abort();
    const kvr_capture_parsed back = kvr_capture_parse_line(kvr_capture_line(p.entry.time, m));
    if (back.kind != kvr_capture_kind::message || !(back.entry.time == p.entry.time) ||
        !(back.entry.msg == m))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        check_line(text.substr(start, end - start));
        start = end + 1;
    }

    std::FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (!f) return 0;
    kvr_capture_reader reader(f);
    kvr_capture_entry entry;
    const char* reason = nullptr;
    long last = 0;
    while (reader.next(entry, reason) != kvr_capture_reader::item::end) {
        if (reader.line_number() <= last) std::abort();
        last = reader.line_number();
    }
    std::fclose(f);
    return 0;
}
