#include "foundation/kvr_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>

#include "foundation/kvr_text.h"

namespace {
constexpr const char* file_label = "kvr_file";
}

kvr_file::kvr_file(std::FILE* stream) : stream_(stream), owns_(false) {}

kvr_file::~kvr_file() {
    if (owns_ && stream_) std::fclose(stream_);
}

void kvr_file::raise(const char* op, const char* suffix, int err, int line) const {
    std::string where;
    string_appendf(where, "%s::%s(%s)%s=>fail", file_label, op, name_.c_str(), suffix);
    kvr_exception e(std::move(where), static_cast<uint32_t>(err), file_label, line);
    std::string why = std::strerror(err);
    if (!why.empty()) why[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(why[0])));
    e.plain = "The file " + name_ + (std::strcmp(op, "open") == 0 ? " cannot be opened (" : " cannot be written (") +
              why + ").";
    throw e;
}

void kvr_file::open(const char* name, const char* mode) {
    if (name) name_ = name;
    // Opening again must not leak the stream still held.
    if (stream_) {
        if (owns_) std::fclose(stream_);
        stream_ = nullptr;
    }
    owns_ = true;
    errno = 0;
    stream_ = std::fopen(name_.c_str(), mode);
    if (!stream_) raise("open", "", errno, __LINE__);
}

void kvr_file::close() {
    if (!stream_) return;
    std::FILE* s = stream_;
    const bool owned = owns_;
    stream_ = nullptr;  // released whatever fclose reports
    // A stream handed in by the caller stays the caller's to close.
    if (owned && std::fclose(s) != 0) raise("close", "", errno, __LINE__);
}

void kvr_file::flush() {
    if (!stream_) raise("flush", ".fflush", EBADF, __LINE__);
    if (std::fflush(stream_) != 0) raise("flush", ".fflush", errno, __LINE__);
}

void kvr_file::write_str(const std::string& text) {
    if (!stream_) raise("write_str", ".fputs", EBADF, __LINE__);
    if (text.empty()) return;
    if (std::fwrite(text.data(), 1, text.size(), stream_) != text.size())
        raise("write_str", ".fputs", errno, __LINE__);
}

void kvr_file::write_whole(const std::string& text) {
    if (!stream_) raise("write_whole", ".write", EBADF, __LINE__);
    if (text.empty()) return;
    const int fd = ::fileno(stream_);
    // Appended ("a" opens with O_APPEND): the record lands at the end.
    const off_t start = ::lseek(fd, 0, SEEK_END);
    ssize_t n = -1;
    do {
        n = ::write(fd, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(text.size())) return;
    const int err = n < 0 ? errno : ENOSPC;
    struct stat st {};
    if (n > 0 && start >= 0 && ::fstat(fd, &st) == 0 && st.st_size == start + n) {
        // Only our own part is cut: another writer's record appended after
        // it would be longer than that.
        const bool cut = ::ftruncate(fd, start) == 0;
        (void)cut;  // the write's own failure is the one reported
    }
    raise("write_whole", ".write", err, __LINE__);
}

bool kvr_make_folders(const std::string& dir, mode_t mode) {
    std::string d = dir;
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    struct stat st {};
    if (d.empty() || ::stat(d.c_str(), &st) == 0) return true;
    const std::size_t slash = d.rfind('/');
    if (slash != std::string::npos && slash > 0) kvr_make_folders(d.substr(0, slash), mode);
    return ::mkdir(d.c_str(), mode) == 0 || errno == EEXIST;
}

kvr_dated_log::kvr_dated_log(std::string directory) : directory_(std::move(directory)) {}

kvr_dated_log::~kvr_dated_log() {
    // Every record was flushed when it was written; nothing is left to lose.
    close_quietly();
}

void kvr_dated_log::set_directory(std::string directory) {
    std::lock_guard<std::mutex> lk(mutex_);
    directory_ = std::move(directory);
}

std::string kvr_dated_log::path_locked(const std::tm& when) const {
    std::string path = directory_;
    if (!path.empty() && path.back() != '/') path += '/';
    path += kvr_datetime::format(when, "yyyymmdd");
    path += ".log";
    return path;
}

std::string kvr_dated_log::path_for(const std::tm& when) const {
    std::lock_guard<std::mutex> lk(mutex_);
    return path_locked(when);
}

std::string kvr_dated_log::today_path() const { return path_for(kvr_datetime::now()); }

void kvr_dated_log::write_line(const std::string& text) { write_line(text, kvr_datetime::now()); }

void kvr_dated_log::write_line(const std::string& text, const std::tm& when) {
    // One clock reading names the file and stamps the line, so a line stamped
    // 23:59:59 never lands in the next day's file.
    std::string record = kvr_datetime::format(when, "yyyy-mm-dd hh:mm:ss");
    record += ' ';
    record += text;
    record += '\n';
    write(when, std::move(record));
}

void kvr_dated_log::write_exception(kvr_exception& e) {
    const std::tm when = kvr_datetime::now();
    replace_bare_lf(e.where, " ");
    std::string record = kvr_datetime::format(when, "yyyy-mm-dd hh:mm:ss");
    record += ',';
    record += e.where;
    record += ',';
    record += e.source;
    record += '\n';
    write(when, std::move(record));
}

void kvr_dated_log::write(const std::tm& when, std::string text) {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        queue_.push_back({path_locked(when), directory_, std::move(text)});
        if (writing_) return;  // the thread writing takes it along
        writing_ = true;
    }
    write_queue();
}

void kvr_dated_log::write_queue() {
    std::optional<kvr_exception> failure;
    std::vector<record> batch;
    for (;;) {
        batch.clear();
        {
            std::lock_guard<std::mutex> lk(mutex_);
            if (queue_.empty()) {
                writing_ = false;
                break;
            }
            batch.swap(queue_);
        }
        for (const record& r : batch) {
            try {
                write_record(r);
            } catch (const kvr_exception& e) {
                // That record is lost, as it was reported; the next one
                // tries the file afresh. The first failure is the one told.
                close_quietly();
                if (!failure) failure = e;
            } catch (...) {
                // Not the file's failure (out of memory): give the queue up
                // to the next writer rather than leave it with no writer.
                close_quietly();
                std::lock_guard<std::mutex> lk(mutex_);
                writing_ = false;
                throw;
            }
        }
    }
    if (failure) throw *failure;
}

void kvr_dated_log::write_record(const record& r) {
    open_for(r);
    file_.write_whole(r.text);
}

void kvr_dated_log::open_for(const record& r) {
    if (file_.is_open()) {
        struct stat named {}, open {};
        const bool same = file_.file_name() == r.path && ::stat(r.path.c_str(), &named) == 0 &&
                          ::fstat(file_.descriptor(), &open) == 0 && named.st_dev == open.st_dev &&
                          named.st_ino == open.st_ino;
        if (same) return;
        close_quietly();
    }
    // Made whenever the file is opened: a folder removed under the log (or
    // on a drive mounted later) is made again, not failed on until a
    // restart. Cheap: one stat when it exists.
    kvr_make_folders(r.directory, 0700);
    file_.open(r.path.c_str(), "a");
}

void kvr_dated_log::close_quietly() {
    // Called after a failure already raised, or on a file whose records were
    // all flushed: a failing close has nothing more to tell.
    try {
        file_.close();
    } catch (const kvr_exception&) {
    }
}

kvr_dated_log& kvr_global_dated_log() {
    static kvr_dated_log log;
    return log;
}
