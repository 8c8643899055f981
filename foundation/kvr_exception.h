#pragma once
// The one failure type of the program and its one-line-per-level report.
//
// Report line layout (one per raiser, outermost first):
//   "<where> MM/DD hh:mm:ss <code_text> src:<source>"
// where code_text is "[WIN32](%04x)<system text>" for a nonzero code (the
// bracketed tag is kept as users and their logs know it) or "code=0".
// Example: "kvr_file::open(20040524.log)=>fail 05/24 13:05:09
// [WIN32](000d)Permission denied src:kvr_file(63)"

#include <cstdint>
#include <ctime>
#include <string>

class kvr_exception {
public:
    // Raised by a failing operation. `code` is errno read right after the
    // failing call, another nonzero code of the raiser's choice, or 0.
    kvr_exception(std::string where, uint32_t code, const char* file, int line);
    // Raised by a layer that adds its label: this report's line, a line
    // feed, then the inner report.
    kvr_exception(const kvr_exception& inner, std::string where, uint32_t code,
                  const char* file, int line);
    // A report in words alone, for a path whose report format is not the
    // adapter's own: `where` says what failed and why (the system's text
    // included), with no code tag and no source line. The code is kept for
    // the raiser's callers; code_text stays empty.
    static kvr_exception worded(std::string where, uint32_t code, std::string source);
    kvr_exception(const kvr_exception&) = default;
    kvr_exception& operator=(const kvr_exception&) = default;
    virtual ~kvr_exception() = default;

    // Message box without owner, exclamation icon, OK button. Text: prefix
    // (or, when none is given, the plain line), a line feed, then `message`.
    // Caption: `caption` or, when none is given, `source`. Goes through the
    // message-box hook.
    void show(const char* prefix = nullptr, const char* caption = nullptr) const;

    // What a person at the layout reads: the plain line (when there is one),
    // a line feed, then `message`, which stays as it is for those who need
    // the details.
    std::string report() const;

    std::string where;
    std::string message;
    std::string source;
    std::string code_text;
    std::tm when{};
    int line = 0;
    uint32_t code = 0;
    // One line in plain words: what happened, to which port, what to do
    // ("The adapter /dev/ttyUSB0 was unplugged. Plug it in and press
    // Connect."). Empty when the raiser has none; a wrapping report keeps the
    // inner one's, since the innermost raiser knows the cause.
    std::string plain;
};

// Raise with the current source line; `file` is the short source name that
// the report shows, for example "kvr_ms100".
#define KVR_RAISE(where, code, file) throw kvr_exception((where), (code), (file), __LINE__)
#define KVR_RAISE_WRAPPED(inner, where, file) \
    throw kvr_exception((inner), (where), 0, (file), __LINE__)
