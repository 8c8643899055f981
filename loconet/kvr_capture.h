#pragma once
// Capture files: recorded bus traffic as plain text, one message a line.
//
//   # comment lines start with '#'; blank lines are ignored
//   (1733500000.123456) B0 0A 30 75
//   (1733500000.130002) 83 7C
//
// Each line: the receive time in parentheses as seconds since the epoch
// (UTC, up to twelve digits), a point and exactly six digits of
// microseconds when written (one to six are read, ".5" being half a
// second), one or more blanks, then the message bytes as two-digit hex
// pairs separated by blanks (either case is read, upper case is written).
// Trailing blanks and a CR before the LF are ignored. A line holds one
// whole message: opcode first (bit 7 set), data bytes with bit 7 clear, the
// length the opcode gives, a good checksum.
//
// Damaged lines are reported with a reason; readers go on with the next
// line, so one bad line costs only itself.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "loconet/kvr_loconet_msg.h"

// Receive time: whole seconds since the epoch and microseconds (0..999999).
struct kvr_capture_time {
    int64_t seconds = 0;
    uint32_t micros = 0;

    static kvr_capture_time now();  // the system (wall) clock
    // Microseconds since the epoch; differences give replay delays.
    int64_t total_micros() const { return seconds * 1000000 + micros; }
    bool operator==(const kvr_capture_time&) const = default;
};

struct kvr_capture_entry {
    kvr_capture_time time;
    kvr_loconet_msg msg;
};

// Appends "(<seconds>.<micros>) <hex bytes>\n" to `out`. No allocation
// beyond the string's own growth; meant for tight loops.
void kvr_capture_append_line(std::string& out, const kvr_capture_time& time,
                             const kvr_loconet_msg& msg);
// The same line without its line feed.
std::string kvr_capture_line(const kvr_capture_time& time, const kvr_loconet_msg& msg);

enum class kvr_capture_kind {
    message,  // `entry` holds the line's message
    skip,     // blank line or comment
    damaged,  // `reason` says why; the caller adds the line number
};

struct kvr_capture_parsed {
    kvr_capture_kind kind = kvr_capture_kind::skip;
    kvr_capture_entry entry;
    const char* reason = "";  // a fixed text: "bad hex", "bad checksum", ...
};

// Reads one line (without its line feed; a trailing CR is allowed).
kvr_capture_parsed kvr_capture_parse_line(std::string_view line);

// Writes a capture file. Lines are buffered; flush() or close() puts them on
// disk. Not thread-safe: one thread writes (the caller hands messages over).
class kvr_capture_writer {
public:
    kvr_capture_writer() = default;
    kvr_capture_writer(const kvr_capture_writer&) = delete;
    kvr_capture_writer& operator=(const kvr_capture_writer&) = delete;
    virtual ~kvr_capture_writer();

    // Creates or truncates `path` and writes a comment header. False on
    // failure, with the reason in error().
    bool open(const std::string& path);
    // Writes to a stream the caller owns (stdout). Writes the header too.
    bool attach(std::FILE* stream);
    bool write(const kvr_capture_time& time, const kvr_loconet_msg& msg);
    // "# <text>" on a line of its own (line feeds in `text` become blanks).
    bool comment(std::string_view text);
    bool flush();
    // Flushes and closes; false when any write since open() failed.
    bool close();
    bool is_open() const { return stream_ != nullptr; }
    long count() const { return count_; }
    const std::string& error() const { return error_; }

private:
    bool fail(const char* op);
    bool write_header();
    std::FILE* stream_ = nullptr;
    bool owns_ = false;
    bool failed_ = false;
    long count_ = 0;
    std::string line_;
    std::string path_;
    std::string error_;
};

// Streams a capture file line by line in bounded memory: a line longer than
// max_line is reported damaged ("line too long") and skipped to its end.
class kvr_capture_reader {
public:
    static constexpr std::size_t max_line = 4096;

    kvr_capture_reader() = default;
    explicit kvr_capture_reader(std::FILE* stream) : stream_(stream) {}  // not owned
    kvr_capture_reader(const kvr_capture_reader&) = delete;
    kvr_capture_reader& operator=(const kvr_capture_reader&) = delete;
    virtual ~kvr_capture_reader();

    // False when the file cannot be opened, with the reason in error().
    bool open(const std::string& path);
    // Asked every `cancel_stride` bytes read: true ends the
    // reading (next() returns `end`, cancelled() tells). A line that never
    // ends (/dev/zero) would otherwise keep next() reading for ever.
    void set_cancel(std::function<bool()> cancel) { cancel_ = std::move(cancel); }
    bool cancelled() const { return cancelled_; }
    static constexpr std::size_t cancel_stride = 64 * 1024;

    enum class item { message, damaged, end };
    // The next message or damaged line (blank lines and comments are passed
    // over). `reason` is set for a damaged line; line_number() is the line
    // of the item returned (1-based). `end` also after a read error, which
    // error() then names.
    item next(kvr_capture_entry& entry, const char*& reason);
    long line_number() const { return line_no_; }
    const std::string& error() const { return error_; }

private:
    bool read_line();  // fills line_; false at the end of the input
    std::FILE* stream_ = nullptr;
    bool owns_ = false;
    long line_no_ = 0;
    bool too_long_ = false;
    bool cancelled_ = false;
    std::size_t unchecked_ = 0;  // bytes read since cancel_ was last asked
    std::function<bool()> cancel_;
    std::string line_;
    std::string error_;
};
