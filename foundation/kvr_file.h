#pragma once
// A text file that reports every failure as kvr_exception, and the program's
// one dated log ("yyyymmdd.log", appended, one record per line).

#include <sys/types.h>

#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

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
    // The whole of `text` in one write(2) on the descriptor, past the stream's
    // buffer (the stream must hold nothing unwritten). On a short write the
    // file is cut back to where `text` began, when nothing else was added
    // meanwhile, and it raises: the file holds the record whole or not at all,
    // never a torn line the next record would be glued onto.
    void write_whole(const std::string& text);
    bool is_open() const { return stream_ != nullptr; }
    // The open stream's descriptor; -1 when closed.
    int descriptor() const { return stream_ ? ::fileno(stream_) : -1; }
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

// Threads: the window's thread writes monitor lines and the I/O thread
// exception records. A record is handed over under a short queue lock; the
// thread that finds nobody writing writes the queue out (its own record and
// whatever others hand over meanwhile) with no lock held over the file
// work, so neither thread ever waits for the other's disk. A thread that
// finds another writing returns at once; its record is written by that
// thread, which raises the first failure among the records it wrote. Each
// record is its own attempt: a failed one is lost, the next tries afresh.
//
// The file stays open between records and each record goes out in one
// write, whole or not at all, so a record is on disk (for tail -f, or a
// crash) when the call returns. It is
// opened again when the date (and with it the name) changes, after a
// failure, and when its name no longer leads to it (removed, renamed, or a
// relative name seen from another current directory).
class kvr_dated_log {
public:
    // `directory` empty: the process's current directory. A directory that
    // does not exist is created (0700, the user's own) whenever the file
    // must be opened, also after it was removed while in use.
    explicit kvr_dated_log(std::string directory = {});
    virtual ~kvr_dated_log();

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
    struct record {
        std::string path;
        std::string directory;
        std::string text;
    };
    std::string path_locked(const std::tm& when) const;
    void write(const std::tm& when, std::string text);
    // The writer's side: no lock held.
    void write_queue();
    void write_record(const record& r);
    void open_for(const record& r);
    void close_quietly();

    mutable std::mutex mutex_;  // the queue lock: never held over file work
    std::string directory_;          // guarded by mutex_
    std::vector<record> queue_;      // guarded by mutex_
    bool writing_ = false;           // guarded by mutex_: a thread is writing the queue out
    // Touched only by the thread that set writing_.
    kvr_file file_;
};

// The program's one dated log, in the current directory unless the program
// was told another (--log-dir).
kvr_dated_log& kvr_global_dated_log();
