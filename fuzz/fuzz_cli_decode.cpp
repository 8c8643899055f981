// `busprobe-cli decode` on arbitrary input: the hex parser and the whole
// command reading its bytes from standard input.
//
// A parse that succeeds gives bytes that, written back as two hex digits
// each, parse to the same bytes; a failed parse names a token of the input.
// The command either decodes (status 0) or refuses with status 2 and writes
// nothing to its output; given the text as HEX words it refuses a typed
// message with a wrong checksum the same way. Input with capture-file lines (a line whose first
// visible character is '(' or '#') is read line by line instead: then the
// status is 0 or 2, and a 2 comes with a report and whole output lines.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "apps/cli/cli_decode.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

bool has_capture_line(const std::string& text) {
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::size_t first = text.find_first_not_of(" \t", start);
        if (first < end && (text[first] == '(' || text[first] == '#')) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::string bad;
    const auto bytes = kvr_parse_hex_bytes(text, &bad);
    if (bytes) {
        std::string again;
        for (uint8_t b : *bytes) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02X ", b);
            again += hex;
        }
        const auto reparsed = kvr_parse_hex_bytes(again, nullptr);
        check(reparsed && *reparsed == *bytes);
    } else {
        check(!bad.empty() && text.find(bad) != std::string::npos);
    }

    // The same text given as HEX words: decoded, or refused (a bad token, a
    // typed message with a wrong checksum) with status 2, a report and
    // nothing printed.
    if (!text.empty() && text[0] != '-') {
        std::istringstream none;
        std::ostringstream words_out;
        std::ostringstream words_err;
        const int words_status = kvr_cli_decode({text}, none, words_out, words_err);
        check(words_status == 0 || (words_status == 2 && words_out.str().empty() && !words_err.str().empty()));
        if (bytes && words_status == 2) check(words_err.str().find("bad checksum") != std::string::npos);
    }

    std::istringstream in(text);
    std::ostringstream out;
    std::ostringstream err;
    const int status = kvr_cli_decode({}, in, out, err);
    check(status == 0 || status == 2);
    if (has_capture_line(text)) {
        check(status == 0 || (!err.str().empty() && (out.str().empty() || out.str().back() == '\n')));
        return 0;
    }
    check(status == (bytes ? 0 : 2));
    // Standard input streams: a bad line is named by its number on the error
    // stream and skipped; the output holds whole lines only.
    if (status == 2) {
        check(out.str().empty() || out.str().back() == '\n');
        check(err.str().rfind("busprobe-cli decode: line ", 0) == 0);
    }
    return 0;
}
