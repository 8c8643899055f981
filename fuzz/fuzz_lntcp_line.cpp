// The LocoNet-over-TCP line splitter and parser on arbitrary byte streams,
// arriving in arbitrary pieces.
//
// Checked on every input:
// - a line handed on never holds CR or LF, is never empty and never longer
//   than the bound; how the stream is cut into reads does not change the
//   lines;
// - a SEND or RECEIVE that parses is one whole LocoNet message (checksum,
//   length by its opcode or count byte, bit 7 only in the opcode), and
//   formatting it again gives a line that parses to the same message;
// - a malformed line always names its fault.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "loconet/kvr_lntcp_line.h"

namespace {

constexpr std::size_t max_line = 300;

void check(bool ok) {
    if (!ok) std::abort();
}

void check_message(const kvr_loconet_msg& m) {
    check(m.length() >= 2 && m.checksum_ok());
    check(kvr_expected_length(m[0], m[1]) == m.length());
    check((m[0] & 0x80) != 0);
    for (int i = 1; i < m.length(); ++i) check((m[i] & 0x80) == 0);
}

void check_line(std::string_view line, bool too_long) {
    check(!line.empty() && line.size() <= max_line);
    check(line.find_first_of("\r\n") == std::string_view::npos);
    if (too_long) return;
    const kvr_lntcp_line p = kvr_lntcp_parse(line);
    if (p.kind == kvr_lntcp_kind::malformed) {
        check(p.fault != kvr_lntcp_fault::none && *kvr_lntcp_fault_text(p.fault) != '\0');
        return;
    }
    if (p.kind == kvr_lntcp_kind::send || p.kind == kvr_lntcp_kind::receive) {
        check_message(p.msg);
        const std::string again = p.kind == kvr_lntcp_kind::send ? kvr_lntcp_format_send(p.msg)
                                                                 : kvr_lntcp_format_receive(p.msg);
        const kvr_lntcp_line q = kvr_lntcp_parse(again);
        check(q.kind == p.kind && q.msg == p.msg);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    const std::string stream = fdp.ConsumeRemainingBytesAsString();

    std::vector<std::string> whole;
    kvr_lntcp_splitter one(max_line);
    one.feed(stream.data(), stream.size(), [&](std::string_view line, bool too_long) {
        check_line(line, too_long);
        whole.emplace_back(line);
    });
    check(one.pending() <= max_line);

    // The same stream in pieces whose sizes come from the stream itself.
    std::vector<std::string> pieces;
    kvr_lntcp_splitter two(max_line);
    std::size_t pos = 0;
    while (pos < stream.size()) {
        const std::size_t n = 1 + static_cast<uint8_t>(stream[pos]) % 17;
        const std::size_t take = std::min(n, stream.size() - pos);
        two.feed(stream.data() + pos, take, [&](std::string_view line, bool) { pieces.emplace_back(line); });
        pos += take;
    }
    check(pieces == whole);
    return 0;
}
