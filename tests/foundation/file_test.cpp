#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "foundation/kvr_file.h"
#include "support/eventually.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

// "yyyy-mm-dd hh:mm:ss" as a local time with its day of the year filled in.
std::tm local(const char* text) {
    std::tm t{};
    ::strptime(text, "%Y-%m-%d %H:%M:%S", &t);
    t.tm_isdst = -1;
    std::mktime(&t);
    return t;
}

template <typename F>
kvr_exception raised_by(F f) {
    try {
        f();
    } catch (const kvr_exception& e) {
        return e;
    }
    ADD_FAILURE() << "nothing raised";
    return kvr_exception("", 0, "", 0);
}

// How many of this process's descriptors are open on `p`.
int descriptors_on(const fs::path& p) {
    std::error_code ec;
    const fs::path target = fs::canonical(p, ec);
    int n = 0;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd"))
        if (fs::read_symlink(fd.path(), ec) == target) ++n;
    return n;
}

}  // namespace

TEST(File, OpenWriteReopenAndFailuresNameTheirCall) {
    temp_dir dir;
    const std::string missing = (dir.path / "missing" / "x.log").string();
    kvr_file f;
    EXPECT_THROW(f.write_str("x"), kvr_exception);  // closed: raises, no crash
    const kvr_exception e = raised_by([&] { f.open(missing.c_str(), "r"); });
    EXPECT_EQ(e.where, "kvr_file::open(" + missing + ")=>fail");
    EXPECT_EQ(e.code, static_cast<uint32_t>(ENOENT));

    const std::string name = (dir.path / "a.txt").string();
    f.open(name.c_str(), "a");
    f.write_str("one\n");
    f.close();
    f.open(nullptr, "a");  // the stored name
    f.write_str("two");
    f.close();
    f.close();
    EXPECT_EQ(read_all(name), "one\ntwo");

    f.open("/dev/full", "a");
    // Beyond the stream buffer the write itself fails; a short one fails at flush.
    EXPECT_EQ(raised_by([&] { f.write_str(std::string(100000, 'x')); }).where,
              "kvr_file::write_str(/dev/full).fputs=>fail");
    const kvr_exception flush_error = raised_by([&] { f.write_str("y"); f.flush(); });
    EXPECT_EQ(flush_error.where, "kvr_file::flush(/dev/full).fflush=>fail");
    EXPECT_EQ(flush_error.code, static_cast<uint32_t>(ENOSPC));
    // Each report opens with the file and the reason in plain words.
    EXPECT_EQ(e.plain, "The file " + missing + " cannot be opened (no such file or directory).");
    EXPECT_EQ(flush_error.plain, "The file /dev/full cannot be written (no space left on device).");
    try {
        f.close();
    } catch (const kvr_exception&) {
    }
    EXPECT_FALSE(f.is_open());  // released even when closing failed
}

TEST(DatedLog, DateChoosesTheFileAndOldContentStays) {
    temp_dir dir;
    std::ofstream(dir.path / "20041231.log") << "earlier\n";
    kvr_dated_log log(dir.path.string() + "/");
    log.write_line("OPC_GPON", local("2004-12-31 23:59:58"));
    log.write_line("last", local("2004-12-31 23:59:59"));
    log.write_line("first", local("2005-01-01 00:00:01"));
    EXPECT_EQ(read_all(dir.path / "20041231.log"),
              "earlier\n2004/12/31 23:59:58 OPC_GPON\n2004/12/31 23:59:59 last\n");
    EXPECT_EQ(read_all(dir.path / "20050101.log"), "2005/01/01 00:00:01 first\n");
}

TEST(DatedLog, MissingFolderIsMadeOnFirstUseForTheUserAlone) {
    temp_dir dir;
    kvr_dated_log log;
    const fs::path state = dir.path / "state" / "busprobe";  // neither exists
    log.set_directory(state.string());
    EXPECT_FALSE(fs::exists(state));  // nothing is made before a record is written
    log.write_line("first", local("2024-05-01 10:00:00"));
    EXPECT_EQ(read_all(state / "20240501.log"), "2024/05/01 10:00:00 first\n");
    struct stat st {};
    ASSERT_EQ(::stat(state.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// The folder removed while the log is in use (a clean-up by hand) is made
// again for the next record, not failed on until a restart.
TEST(DatedLog, AFolderRemovedInUseIsMadeAgain) {
    temp_dir dir;
    const fs::path logs = dir.path / "logs";
    kvr_dated_log log(logs.string());
    log.write_line("first", local("2024-05-01 10:00:00"));
    fs::remove_all(logs);
    log.write_line("second", local("2024-05-01 10:00:01"));
    EXPECT_EQ(read_all(logs / "20240501.log"), "2024/05/01 10:00:01 second\n");
}

// A full disk that takes part of a record: nothing of it is left, and the
// next record starts a line of its own. RLIMIT_FSIZE stands in for the disk
// (the write past it is cut short, SIGXFSZ ignored).
TEST(DatedLog, ARecordIsWholeOrAbsentAfterAShortWrite) {
    temp_dir dir;
    kvr_dated_log log(dir.path.string());
    const std::tm when = local("2024-05-01 10:00:00");
    log.write_line("whole", when);
    const std::string path = log.path_for(when);
    const auto size = static_cast<rlim_t>(fs::file_size(path));
    rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tight = old;
    tight.rlim_cur = size + 10;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    const kvr_exception e = raised_by([&] { log.write_line("a record longer than ten bytes", when); });
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(e.where, "kvr_file::write_whole(" + path + ").write=>fail");
    EXPECT_EQ(read_all(path), "2024/05/01 10:00:00 whole\n");
    log.write_line("next", when);
    EXPECT_EQ(read_all(path), "2024/05/01 10:00:00 whole\n2024/05/01 10:00:00 next\n");
}

TEST(DatedLog, ExceptionRecordIsOneLineOfStampWhereAndSource) {
    temp_dir dir;
    kvr_dated_log log(dir.path.string());
    kvr_exception e("kvr_ms100::read()\nsecond\r\nthird", 5, "kvr_ms100", 210);
    log.write_exception(e);
    EXPECT_EQ(e.where, "kvr_ms100::read() second\r\nthird");  // changed in place
    const std::string text = read_all(log.today_path());
    const std::regex record(
        R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d,kvr_ms100::read\(\) second\r\nthird,kvr_ms100\(210\)\n)");
    EXPECT_TRUE(std::regex_match(text, record)) << text;
}

TEST(DatedLog, FailuresRaiseAndCloseTheFileFirst) {
    temp_dir dir;
    std::ofstream(dir.path / "plain") << "not a folder";
    kvr_dated_log bad_dir((dir.path / "plain").string());
    const kvr_exception e = raised_by([&] { bad_dir.write_line("x"); });
    EXPECT_EQ(e.where, "kvr_file::open(" + bad_dir.today_path() + ")=>fail");
    EXPECT_EQ(e.code, static_cast<uint32_t>(ENOTDIR));

    // Today's file is a link to a device that refuses every write. Were the
    // stream left open after a failure, the later write would fail as well.
    kvr_dated_log log(dir.path.string());
    fs::create_symlink("/dev/full", log.today_path());
    EXPECT_EQ(raised_by([&] { log.write_line("lost"); }).code, static_cast<uint32_t>(ENOSPC));
    kvr_exception record("kvr_ms100::write()", 5, "kvr_ms100", 1);
    EXPECT_EQ(raised_by([&] { log.write_exception(record); }).where,
              "kvr_file::write_whole(" + log.today_path() + ").write=>fail");
    fs::remove(log.today_path());
    log.write_line("recovered");
    EXPECT_NE(read_all(log.today_path()).find(" recovered\n"), std::string::npos);
}

TEST(DatedLog, TwoThreadsNeverInterleaveRecords) {
    // Today's file is a pipe drained in small pieces, so a record goes in over
    // several partial writes; without the lock the other's would land between.
    temp_dir dir;
    kvr_dated_log log(dir.path.string());
    ASSERT_EQ(::mkfifo(log.today_path().c_str(), 0600), 0);
    const int rd = ::open(log.today_path().c_str(), O_RDWR);  // never sees end of file
    ASSERT_GE(rd, 0);
    constexpr int per_thread = 60;
    std::string received;
    std::thread reader([&] {
        char buf[700];
        pollfd p{rd, POLLIN, 0};
        for (long records = 0; records < 2 * per_thread && ::poll(&p, 1, 2000) > 0;) {
            const ssize_t n = ::read(rd, buf, sizeof buf);
            if (n <= 0) continue;
            records += std::count(buf, buf + n, '\n');
            received.append(buf, static_cast<std::size_t>(n));
        }
    });

    const std::string payload(20000, 'm');
    std::thread monitor([&] {
        for (int i = 0; i < per_thread; ++i) log.write_line("L" + payload);
    });
    std::thread io([&] {
        kvr_exception e("E" + std::string(20000, 'e'), 5, "kvr_ms100", 1);
        for (int i = 0; i < per_thread; ++i) log.write_exception(e);
    });
    monitor.join();
    io.join();
    reader.join();
    ::close(rd);

    std::istringstream in(received);
    const std::regex line_rec(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d L)" + payload);
    const std::regex exc_rec(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d,Ee{20000},kvr_ms100\(1\))");
    int lines = 0, records = 0, torn = 0;
    for (std::string l; std::getline(in, l);)
        ++(std::regex_match(l, line_rec) ? lines : std::regex_match(l, exc_rec) ? records : torn);
    EXPECT_EQ(std::tuple(lines, records, torn), std::tuple(per_thread, per_thread, 0));
}

TEST(DatedLog, FileStaysOpenUntilTheDateOrItsNameChanges) {
    temp_dir dir;
    const fs::path day1 = dir.path / "20041231.log", day2 = dir.path / "20050101.log";
    {
        kvr_dated_log log(dir.path.string());
        log.write_line("a", local("2004-12-31 23:59:58"));
        log.write_line("b", local("2004-12-31 23:59:59"));
        EXPECT_EQ(descriptors_on(day1), 1);  // one descriptor, kept, not one a line
        EXPECT_EQ(read_all(day1), "2004/12/31 23:59:58 a\n2004/12/31 23:59:59 b\n");  // flushed as written

        log.write_line("c", local("2005-01-01 00:00:01"));
        EXPECT_EQ(descriptors_on(day1), 0);
        EXPECT_EQ(descriptors_on(day2), 1);

        // A file removed under the log (rotated away by hand) comes back.
        fs::remove(day2);
        log.write_line("d", local("2005-01-01 00:00:02"));
        EXPECT_EQ(read_all(day2), "2005/01/01 00:00:02 d\n");
        EXPECT_EQ(descriptors_on(day2), 1);
    }
    EXPECT_EQ(descriptors_on(day2), 0);  // closed with the log
    EXPECT_EQ(read_all(day1), "2004/12/31 23:59:58 a\n2004/12/31 23:59:59 b\n");
}

TEST(DatedLog, AFailedOpenIsTriedAgainAndLaterLinesAreWrittenOnce) {
    temp_dir dir;
    kvr_dated_log log(dir.path.string());
    const std::string path = log.path_for(local("2024-05-01 10:00:00"));
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);  // the name is taken by a folder
    const kvr_exception e = raised_by([&] { log.write_line("lost", local("2024-05-01 10:00:00")); });
    EXPECT_EQ(e.where, "kvr_file::open(" + path + ")=>fail");
    ASSERT_EQ(::rmdir(path.c_str()), 0);
    log.write_line("one", local("2024-05-01 10:00:01"));
    log.write_line("two", local("2024-05-01 10:00:02"));
    EXPECT_EQ(read_all(path), "2024/05/01 10:00:01 one\n2024/05/01 10:00:02 two\n");
}

TEST(DatedLog, AWriterStuckOnTheDiskHoldsNoOtherThreadBack) {
    // Today's file is a pipe nobody reads yet: whichever thread writes first
    // waits in open(). The other hands its record over and returns.
    temp_dir dir;
    kvr_dated_log log(dir.path.string());
    const std::string path = log.today_path();
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    std::atomic<int> returned{0};
    std::thread monitor([&] {
        log.write_line("monitor line");
        ++returned;
    });
    std::thread io([&] {
        kvr_exception e("kvr_ms100::rx_proc()", 5, "kvr_ms100", 1);
        log.write_exception(e);
        ++returned;
    });
    EXPECT_TRUE(eventually([&] { return returned.load() == 1; }));
    EXPECT_EQ(log.today_path(), path);  // the queue lock is free too

    const int rd = ::open(path.c_str(), O_RDWR);  // lets the stuck open go on, never sees end of file
    ASSERT_GE(rd, 0);
    std::string received;
    char buf[256];
    pollfd p{rd, POLLIN, 0};
    while (std::count(received.begin(), received.end(), '\n') < 2 && ::poll(&p, 1, 5000) > 0) {
        const ssize_t n = ::read(rd, buf, sizeof buf);
        if (n <= 0) break;
        received.append(buf, static_cast<std::size_t>(n));
    }
    monitor.join();
    io.join();
    ::close(rd);
    // Both records, each once, whole.
    const std::regex both(
        R"((\d{4}/\d\d/\d\d \d\d:\d\d:\d\d( monitor line|,kvr_ms100::rx_proc\(\),kvr_ms100\(1\))\n){2})");
    EXPECT_TRUE(std::regex_match(received, both)) << received;
    EXPECT_NE(received.find("monitor line"), std::string::npos);
    EXPECT_NE(received.find("rx_proc"), std::string::npos);
}
