#include "foundation/kvr_exception.h"

#include <cstring>
#include <utility>

#include "foundation/kvr_hooks.h"
#include "foundation/kvr_text.h"

namespace {

// strerror_r comes in two forms; overloads pick whichever the C library has.
// XSI form: returns 0 on success and fills the buffer.
[[maybe_unused]] std::string strerror_result(int rc, const char* buf) {
    return rc == 0 ? std::string(buf) : std::string();
}
// GNU form: returns the text, which may or may not be in the buffer.
[[maybe_unused]] std::string strerror_result(const char* text, const char*) {
    return text ? std::string(text) : std::string();
}

// The system's text for an error code; empty when it has none (the C
// library's "Unknown error N" stands for none).
std::string system_text(uint32_t code) {
    if (code > 0x7fffffffu) return {};
    char buf[256] = {};
    std::string text = strerror_result(strerror_r(static_cast<int>(code), buf, sizeof buf), buf);
    if (text.rfind("Unknown error", 0) == 0) return {};
    return text;
}

}  // namespace

kvr_exception::kvr_exception(std::string where_, uint32_t code_, const char* file, int line_)
    : where(std::move(where_)), line(line_), code(code_) {
    string_appendf(source, "%s(%d)", file ? file : "", line);
    when = kvr_datetime::now();
    if (code != 0)
        string_appendf(code_text, "[WIN32](%04x)%s", code, system_text(code).c_str());
    else
        code_text = "code=0";
    string_appendf(message, "%s %02d/%02d %02d:%02d:%02d %s src:%s", where.c_str(),
                   when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec,
                   code_text.c_str(), source.c_str());
}

kvr_exception kvr_exception::worded(std::string where_, uint32_t code_, std::string source_) {
    kvr_exception e(std::move(where_), code_, nullptr, 0);
    e.source = std::move(source_);
    e.code_text.clear();
    e.message.clear();
    string_appendf(e.message, "%s %02d/%02d %02d:%02d:%02d src:%s", e.where.c_str(), e.when.tm_mon + 1,
                   e.when.tm_mday, e.when.tm_hour, e.when.tm_min, e.when.tm_sec, e.source.c_str());
    return e;
}

kvr_exception::kvr_exception(const kvr_exception& inner, std::string where_, uint32_t code_,
                             const char* file, int line_)
    : kvr_exception(std::move(where_), code_, file, line_) {
    message += '\n';
    message += inner.message;
    plain = inner.plain;
}

std::string kvr_exception::report() const {
    return plain.empty() ? message : plain + '\n' + message;
}

void kvr_exception::show(const char* prefix, const char* caption) const {
    std::string text = prefix ? prefix : plain;
    text += '\n';
    text += message;
    kvr_message_box(text, caption ? caption : source, kvr_icon::exclamation);
}
