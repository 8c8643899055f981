#include "loconet/kvr_hand_message.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "foundation/kvr_text.h"
#include "loconet/kvr_hex_text.h"

namespace {

constexpr const char* blanks = " \t";

kvr_hand_message refused(std::string notice) {
    kvr_hand_message out;
    out.notice = std::move(notice);
    return out;
}

// Each blank-separated word is handed to the one hex-byte parser on its
// own, so a refusal can name the word at fault.
bool split_bytes(std::string_view text, std::vector<uint8_t>& bytes, std::string& bad) {
    std::size_t pos = 0;
    while ((pos = text.find_first_not_of(blanks, pos)) != std::string_view::npos) {
        std::size_t end = text.find_first_of(blanks, pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view word = text.substr(pos, end - pos);
        const std::optional<uint8_t> byte = kvr_parse_hex_byte(word, kvr_hex_byte_form::one_or_two_digits);
        if (!byte) {
            bad = std::string(word.substr(0, 20));
            return false;
        }
        bytes.push_back(*byte);
        pos = end;
    }
    return true;
}

// The whole length the opcode gives, or 0 with the reason in `why`.
int wanted_length(const std::vector<uint8_t>& bytes, std::string& why) {
    const int n = kvr_expected_length(bytes[0]);
    if (n != 0) return n;
    if (bytes.size() < 2) {
        string_appendf(why, "Opcode %02X is followed by a count byte giving the message's length: type it too.",
                       bytes[0]);
        return 0;
    }
    // Opcode, count and checksum at the least; a smaller count cannot make
    // a message whose checksum closes it.
    if (bytes[1] < 3) {
        string_appendf(why, "The count byte %02X is too small: a message is 3 bytes at the least.", bytes[1]);
        return 0;
    }
    return bytes[1];
}

}  // namespace

kvr_hand_message kvr_parse_hand_message(std::string_view text) {
    std::vector<uint8_t> bytes;
    std::string bad;
    if (!split_bytes(text, bytes, bad)) {
        kvr_hand_message out = refused("'" + bad + "' is not a hex byte: type each byte as 00 to FF, blanks between them.");
        out.token = bad;
        return out;
    }
    if (bytes.empty()) return refused("Nothing to send: type the message's bytes in hex, e.g. B0 0B 30.");
    std::string why;
    if (!(bytes[0] & 0x80)) {
        string_appendf(why, "The first byte %02X is not an opcode: an opcode is 80 to FF.", bytes[0]);
        return refused(why);
    }
    for (std::size_t i = 1; i < bytes.size(); ++i) {
        if (bytes[i] & 0x80) {
            string_appendf(why, "Byte %zu (%02X) has bit 7 set: only the opcode may be 80 or above.", i + 1,
                           bytes[i]);
            return refused(why);
        }
    }
    const int want = wanted_length(bytes, why);
    if (want == 0) return refused(why);
    const int have = static_cast<int>(bytes.size());
    if (have != want && have != want - 1) {
        string_appendf(why, "Opcode %02X makes a message of %d bytes with its checksum (%d without it); %d given.",
                       bytes[0], want, want - 1, have);
        return refused(why);
    }
    kvr_hand_message out;
    out.msg = kvr_loconet_msg::with_checksum(bytes.data(), static_cast<std::size_t>(want - 1));
    out.checksum_added = have == want - 1;
    const uint8_t expected = out.msg[want - 1];
    if (!out.checksum_added && bytes.back() != expected) {
        string_appendf(why, "Wrong checksum %02X: this message's checksum is %02X.",
                       bytes.back(), expected);
        return refused(why);
    }
    out.ok = true;
    return out;
}
