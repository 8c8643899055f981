#pragma once
// The LocoNet-over-TCP line protocol: plain ASCII lines, each an upper-case
// token, then optionally one space and a parameter. A line ends with CR, LF
// or both; empty lines carry nothing. Bytes are hex pairs separated by spaces.
//
//   client -> server   SEND A0 2F 00 70          one message for the bus
//   server -> client   VERSION Busprobe 2.1.0    once, on connect
//                      RECEIVE 83 7C             every bus message, to every
//                                                client, the sender's echo too
//                      SENT OK                   once per SEND: echo came back
//                      SENT ERROR bad checksum   once per SEND: it did not
//   version 2 adds     TIMESTAMP 1234.5          (server -> client)
//                      BREAK
//                      ERROR CHECKSUM 83 7D      a bus message that failed
//                      ERROR LINE <text>
//                      ERROR MESSAGE <text>
//
// Parsing is lenient where nothing is lost (lower-case hex digits, a single
// digit per byte, several blanks between bytes) and strict where a mistake
// would put a wrong message on the bus: a SEND or RECEIVE must carry exactly
// one whole LocoNet message with its checksum, else the line is malformed
// and says why.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "loconet/kvr_loconet_msg.h"

enum class kvr_lntcp_kind : uint8_t {
    send,
    receive,
    version,
    sent_ok,
    sent_error,
    timestamp,
    line_break,      // BREAK
    error_checksum,  // ERROR CHECKSUM <bytes>
    error_line,      // ERROR LINE <text>
    error_message,   // ERROR MESSAGE <text>
    unknown,         // a token this program does not know
    malformed,       // a known token with a bad parameter (see fault)
};

// Why a SEND, RECEIVE or ERROR CHECKSUM parameter was refused.
enum class kvr_lntcp_fault : uint8_t {
    none,
    bad_hex,       // not hex digits, or more than two digits to a byte
    bad_opcode,    // the first byte has bit 7 clear
    bad_data,      // a byte after the opcode has bit 7 set
    wrong_length,  // fewer or more bytes than the opcode (or count byte) asks
    bad_checksum,  // the XOR of all bytes is not 0xFF
};

// The reason text of a fault, as sent after "SENT ERROR ": "bad hex",
// "bad opcode", "bad data byte", "wrong length", "bad checksum".
const char* kvr_lntcp_fault_text(kvr_lntcp_fault fault);

struct kvr_lntcp_line {
    kvr_lntcp_kind kind = kvr_lntcp_kind::unknown;
    kvr_lntcp_fault fault = kvr_lntcp_fault::none;
    // SEND, RECEIVE: the message. ERROR CHECKSUM: the bytes as given, in
    // `raw` (they are a broken message by definition).
    kvr_loconet_msg msg;
    std::vector<uint8_t> raw;
    // VERSION text, SENT comment, TIMESTAMP value, ERROR LINE/MESSAGE text;
    // for unknown lines the whole line.
    std::string text;
};

// One line without its line end.
kvr_lntcp_line kvr_lntcp_parse(std::string_view line);

// The hex bytes of a parameter ("a0 2f 0 70" -> A0 2F 00 70); false on a
// character that is neither a hex digit nor a blank, or a byte of three or
// more digits. Blanks are spaces and tabs.
bool kvr_lntcp_parse_hex(std::string_view text, std::vector<uint8_t>& out);

// Whether `bytes` are exactly one LocoNet message with its checksum.
kvr_lntcp_fault kvr_lntcp_check_message(const std::vector<uint8_t>& bytes);

// Formatting: each returns one line without its line end; the writer adds
// "\r\n". Bytes are upper-case hex pairs with one space between them.
std::string kvr_lntcp_hex(const uint8_t* bytes, std::size_t count);
std::string kvr_lntcp_format_send(const kvr_loconet_msg& msg);
std::string kvr_lntcp_format_receive(const kvr_loconet_msg& msg);
std::string kvr_lntcp_format_version(std::string_view text);
std::string kvr_lntcp_format_sent_ok(std::string_view comment = {});
std::string kvr_lntcp_format_sent_error(std::string_view comment);
std::string kvr_lntcp_format_timestamp(std::string_view value);
std::string kvr_lntcp_format_break();
std::string kvr_lntcp_format_error_checksum(const std::vector<uint8_t>& bytes);
std::string kvr_lntcp_format_error_line(std::string_view text);
std::string kvr_lntcp_format_error_message(std::string_view text);

// Splits a byte stream into lines. CR, LF and any run of them end a line;
// empty lines are skipped. A line longer than `max_line` is not kept whole:
// its first `max_line` characters are handed on once, flagged too long, and
// the rest up to the next line end is dropped, so a sender that never ends
// its line costs at most `max_line` bytes of memory.
class kvr_lntcp_splitter {
public:
    static constexpr std::size_t default_max_line = 1024;

    explicit kvr_lntcp_splitter(std::size_t max_line = default_max_line) : max_line_(max_line) {}

    // Calls on_line(std::string_view line, bool too_long) for every line
    // that `count` bytes finish, oldest first.
    template <class F>
    void feed(const char* data, std::size_t count, F&& on_line) {
        for (std::size_t i = 0; i < count; ++i) {
            const char c = data[i];
            if (c == '\r' || c == '\n') {
                if (!skipping_ && !buffer_.empty()) on_line(std::string_view(buffer_), false);
                buffer_.clear();
                skipping_ = false;
            } else if (skipping_) {
                continue;
            } else if (buffer_.size() < max_line_) {
                buffer_.push_back(c);
            } else {
                on_line(std::string_view(buffer_), true);
                buffer_.clear();
                skipping_ = true;
            }
        }
    }

    // Bytes of an unfinished line held now.
    std::size_t pending() const { return buffer_.size(); }

private:
    std::string buffer_;
    std::size_t max_line_;
    bool skipping_ = false;
};
