#pragma once
// A text file that reports every failure as kvr_exception, and the program's
// one dated log ("yyyymmdd.log", appended, one record per line).

#include <sys/types.h>

#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "foundation/kvr_exception.h"

class kvr_file {
public:
    kvr_file() = default;
    explicit kvr_file(std::FILE* stream);  // not owned
    kvr_file(const kvr_file&) = delete;
    kvr_file& operator=(const kvr_file&) = delete;
    virtual ~kvr_file();

    // Stores `name` when given, then opens the stored name with `mode`.
    // Failure: "kvr_file::open(<name>)=>fail" with errno.
    void open(const char* name, const char* mode);
    void close();
    void flush();
    void write_str(const std::string& text);
    bool is_open() const { return stream_ != nullptr; }
    const std::string& file_name() const { return name_; }

private:
    [[noreturn]] void raise(const char* op, const char* suffix, int err, int line) const;
    std::string name_;
    std::FILE* stream_ = nullptr;
    bool owns_ = true;
};

// Creates `dir` and any missing folders above it with `mode`; folders that
// exist are left as they are. False when `dir` could not be made (the use of
// the folder then reports why).
bool kvr_make_folders(const std::string& dir, mode_t mode);

class kvr_dated_log {
public:
    // `directory` empty: the process's current directory. A directory that
    // does not exist is created (0700, the user's own) on the first write.
    explicit kvr_dated_log(std::string directory = {});
    virtual ~kvr_dated_log() = default;

    // Where the following records go; set once at start-up (--log-dir).
    void set_directory(std::string directory);

    // "yyyy/mm/dd hh:mm:ss <text>\n"
    void write_line(const std::string& text);
    // As above at the given local time, which picks both the file and the
    // time stamp (lets a caller, or a test, fix the clock).
    void write_line(const std::string& text, const std::tm& when);
    // "yyyy/mm/dd hh:mm:ss,<where, bare LFs made blanks>,<source>\n"
    void write_exception(kvr_exception& e);
    // Path of today's file.
    std::string today_path() const;
    // Path of the file for the local date of `when`.
    std::string path_for(const std::tm& when) const;

private:
    std::string path_locked(const std::tm& when) const;
    void write_locked(const std::tm& when, const std::string& record, bool flush);
    std::string directory_;
    bool directory_made_ = false;
    mutable std::mutex mutex_;  // the window thread and the I/O thread both write
    kvr_file file_;
};

// The program's one dated log, in the current directory unless the program
// was told another (--log-dir).
kvr_dated_log& kvr_global_dated_log();
