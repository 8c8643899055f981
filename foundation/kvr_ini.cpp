#include "foundation/kvr_ini.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "foundation/kvr_build.h"
#include "foundation/kvr_file.h"
#include "foundation/kvr_text.h"

// File layout, as the private-profile functions keep it:
//   ; comment
//   [SETTING]
//   COMMPORT=COM2
//   LOGDIR=1
// Sections and keys match without regard to case; the first match counts.
// Blanks around names and values are not part of them. A write changes the
// one line of its key (or adds the key, or the section and the key) and
// leaves every other byte of the file as it was.

namespace {

// Values are read through a buffer of this many characters, terminator
// included, so longer values come back cut to 2047 characters.
constexpr std::size_t read_buffer_size = 2048;

std::string trim(const std::string& s) {
    const char* blanks = " \t\r\n";
    const auto first = s.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(blanks);
    return s.substr(first, last - first + 1);
}

bool same_name(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

struct line_view {
    enum kind_t { other, section, key } kind = other;
    std::string name;   // section or key name, trimmed
    std::string value;  // key value, trimmed
};

// Editors on other systems start a UTF-8 file with a byte-order mark.
constexpr char utf8_bom[] = "\xEF\xBB\xBF";

line_view classify(const std::string& raw) {
    line_view v;
    const bool bom = raw.rfind(utf8_bom, 0) == 0;
    const std::string t = trim(bom ? raw.substr(sizeof utf8_bom - 1) : raw);
    if (t.empty() || t[0] == ';' || t[0] == '#') return v;
    if (t[0] == '[') {
        const auto close = t.find(']');
        v.kind = line_view::section;
        v.name = trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
        return v;
    }
    const auto eq = t.find('=');
    if (eq == std::string::npos) return v;
    v.kind = line_view::key;
    v.name = trim(t.substr(0, eq));
    v.value = trim(t.substr(eq + 1));
    return v;
}

// A settings file holds a few short lines. Anything larger is no settings
// file of ours (a log saved under the wrong name, a disk image): reading it
// whole, at every look-up, would take minutes and gigabytes before any
// command ran.
constexpr off_t max_settings_size = 1024 * 1024;

// Whole-file read; a missing file reads as empty. Empty optional: the file
// exists but cannot be read, or is no regular file. A FIFO would block the
// open and the read until some writer came, so the open does not wait and
// the type is checked on the descriptor before anything is read.
std::optional<std::string> read_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::string();
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        std::fprintf(stderr, "%s: the settings file %s is not a regular file: ignored\n",
                     program_invocation_short_name, path.c_str());
        return std::nullopt;
    }
    std::string text;
    char buf[4096];
    ssize_t n = 0;
    // The size is checked again while reading: the file may grow meanwhile.
    bool too_large = st.st_size > max_settings_size;
    while (!too_large && (n = ::read(fd, buf, sizeof buf)) != 0) {
        if (n > 0) text.append(buf, static_cast<std::size_t>(n));
        else if (errno != EINTR) break;
        too_large = text.size() > static_cast<std::size_t>(max_settings_size);
    }
    ::close(fd);
    if (too_large) {
        std::fprintf(stderr, "%s: the settings file %s is larger than 1 MB: ignored\n", program_invocation_short_name,
                     path.c_str());
        return std::nullopt;
    }
    if (n < 0) return std::nullopt;
    return text;
}

// Splits after each line end: LF, CR LF, or a CR alone (old Mac editors).
// A last line without one is kept as it is.
std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size() - 1;
        else if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
        lines.push_back(text.substr(start, end - start + 1));
        start = end + 1;
    }
    return lines;
}

std::optional<std::string> lookup(const std::string& path, const std::string& section,
                                  const std::string& key) {
    const auto text = read_file(path);
    if (!text) return std::nullopt;
    bool in_section = false;
    for (const std::string& raw : split_lines(*text)) {
        const line_view v = classify(raw);
        if (v.kind == line_view::section)
            in_section = same_name(v.name, section);
        else if (v.kind == line_view::key && in_section && same_name(v.name, key))
            return v.value;
    }
    return std::nullopt;
}

std::string ending_of(const std::string& line) {
    if (line.empty()) return {};
    if (line.back() == '\r') return "\r";
    if (line.back() != '\n') return {};
    return line.size() >= 2 && line[line.size() - 2] == '\r' ? "\r\n" : "\n";
}

// The line end the file already uses, so an added line matches its lines:
// CR LF when any line has it, else a lone CR when any line has that, else LF.
std::string line_end_of(const std::vector<std::string>& lines) {
    bool cr = false;
    for (const std::string& l : lines) {
        const std::string e = ending_of(l);
        if (e == "\r\n") return e;
        cr = cr || e == "\r";
    }
    return cr ? "\r" : "\n";
}

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) out += l;
    return out;
}

std::string with_new_value(std::vector<std::string> lines, const std::string& section,
                           const std::string& key, const std::string& value) {
    const std::string eol = line_end_of(lines);
    std::optional<std::size_t> section_line;
    std::size_t insert_at = 0;  // after the section's last non-blank line
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const line_view v = classify(lines[i]);
        if (v.kind == line_view::section) {
            if (section_line) break;  // the next section ends ours
            if (same_name(v.name, section)) {
                section_line = i;
                insert_at = i + 1;
            }
            continue;
        }
        if (!section_line) continue;
        if (v.kind == line_view::key && same_name(v.name, key)) {
            // Rewrite in place, keeping the key's spelling, indentation and
            // line end.
            const std::size_t eq = lines[i].find('=');
            lines[i] = lines[i].substr(0, eq + 1) + value + ending_of(lines[i]);
            return joined(lines);
        }
        if (!trim(lines[i]).empty()) insert_at = i + 1;
    }
    if (!section_line) insert_at = lines.size();
    // Whatever comes to stand after a last line without a line end gives it one.
    if (insert_at == lines.size() && !lines.empty() && ending_of(lines.back()).empty())
        lines.back() += eol;
    const std::string entry = key + "=" + value + eol;
    if (section_line) {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insert_at), entry);
    } else {
        if (!lines.empty()) lines.push_back(eol);
        lines.push_back("[" + section + "]" + eol);
        lines.push_back(entry);
    }
    return joined(lines);
}

bool is_directory_writable(const std::string& dir) {
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(dir.c_str(), W_OK) == 0;
}

bool file_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string parent_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Writes `text` to a temporary file beside `path` and renames it over the old
// file: a reader, or a crash mid-write, sees the old file or the new one,
// never a part. False when anything failed; the old file is then untouched.
bool replace_file(const std::string& path, const std::string& text) {
    std::string target = path;
    if (char* real = ::realpath(path.c_str(), nullptr)) {  // write through a link
        target = real;
        std::free(real);
    }
    std::string tmp = target + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) return false;
    struct stat st {};
    ::fchmod(fd, ::stat(target.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644);
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else done += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(tmp.c_str(), target.c_str()) == 0;
    if (!ok) {
        const int why = errno;  // for the caller's note, not the clean-up's
        ::unlink(tmp.c_str());
        errno = why;
    }
    return ok;
}

bool bad_name(const std::string& name, char forbidden) {
    return trim(name).empty() || name.find_first_of("\r\n") != std::string::npos ||
           name.find(forbidden) != std::string::npos;
}

// Leading decimal digits after an optional sign, as an int bit pattern.
unsigned leading_int(const std::string& value) {
    std::size_t i = 0;
    bool negative = false;
    if (i < value.size() && (value[i] == '-' || value[i] == '+')) negative = value[i++] == '-';
    int64_t v = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i)
        v = std::min<int64_t>(v * 10 + (value[i] - '0'), UINT32_MAX);
    if (negative) v = std::max<int64_t>(-v, INT32_MIN);
    return static_cast<unsigned>(static_cast<uint32_t>(v));
}

}  // namespace

kvr_ini::kvr_ini(const std::string& name) {
    if (!name.empty()) {
        path_ = name;
    } else {
        path_ = default_path();
        create_folder_ = true;
    }
}

std::string kvr_ini::default_path_for(const std::string& exe_path, const char* xdg_config_home,
                                      const char* home) {
    std::string beside = exe_path;
    const auto slash = beside.rfind('/');
    const auto dot = beside.rfind('.');
    const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
    if (dot != std::string::npos && dot > name_start) beside.erase(dot);
    beside += ".ini";

    // An installed program's folder is not the user's to write: its settings
    // then live in the user's configuration folder, unless a file is already
    // kept beside the program. The folder the programs are installed to counts
    // as not writable even for root, so that `sudo busprobe` leaves no file
    // among the system's programs that removing the package would miss.
    const std::string folder = parent_of(beside);
    if (file_exists(beside) || (folder != BUSPROBE_INSTALL_BINDIR && is_directory_writable(folder))) return beside;
    std::string base;
    if (xdg_config_home && xdg_config_home[0] == '/')
        base = xdg_config_home;
    else if (home && home[0])
        base = std::string(home) + "/.config";
    else
        return beside;
    return base + "/busprobe/busprobe.ini";
}

std::string kvr_ini::default_path() {
    std::string exe(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size());
    exe.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    if (exe.empty()) exe = "busprobe";
    return default_path_for(exe, std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

unsigned kvr_ini::get_int(const std::string& section, const std::string& key, int def) const {
    const auto value = lookup(path_, section, key);
    if (!value) return static_cast<unsigned>(def);
    return leading_int(*value);
}

void kvr_ini::set_int(const std::string& section, const std::string& key, int value) {
    write_value(section, key, std::to_string(value));
}

std::string kvr_ini::get_string(const std::string& section, const std::string& key,
                                const std::string& def) const {
    std::string value = lookup(path_, section, key).value_or(def);
    if (value.size() > read_buffer_size - 1) value.resize(read_buffer_size - 1);
    replace_all(value, "\\r", "\r");
    replace_all(value, "\\n", "\n");
    return value;
}

void kvr_ini::set_string(const std::string& section, const std::string& key,
                         const std::string& value) {
    std::string escaped = value;
    replace_all(escaped, "\r", "\\r");
    replace_all(escaped, "\n", "\\n");
    write_value(section, key, escaped);
}

void kvr_ini::write_value(const std::string& section, const std::string& key,
                          const std::string& value) {
    // A name that would break the line structure is a failed write, ignored.
    if (bad_name(section, ']') || bad_name(key, '=') || key.find_first_of(";#[") == 0) return;
    if (create_folder_) kvr_make_folders(parent_of(path_), 0755);
    const auto text = read_file(path_);
    if (!text) return;  // unreadable: rewriting it would lose what it holds
    // Nothing else tells the user that a changed setting (a port, say) will
    // be gone at the next start.
    if (!replace_file(path_, with_new_value(split_lines(*text), trim(section), trim(key), value)))
        std::fprintf(stderr, "%s: the settings file %s could not be written (%s): the change is not kept\n",
                     program_invocation_short_name, path_.c_str(), std::strerror(errno));
}
