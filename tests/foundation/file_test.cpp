#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <atomic>
#include <sys/stat.h>

#include "foundation/kvr_file.h"
#include "foundation/kvr_text.h"

namespace fs = std::filesystem;

namespace {

class temp_dir {
public:
    temp_dir() {
        std::string pattern = (fs::temp_directory_path() / "kvr_file_test.XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~temp_dir() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::tm local(int year, int mon, int mday, int hour, int min, int sec) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = mon - 1;
    t.tm_mday = mday;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = sec;
    t.tm_isdst = -1;
    std::mktime(&t);  // fills the day of the year
    return t;
}

// Open descriptors of this process that lead to `target`.
int fds_open_on(const fs::path& target) {
    int n = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(entry.path(), ec) == target) ++n;
    }
    return n;
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

}  // namespace

TEST(File, OpenFailureNamesTheFileAndCarriesErrno) {
    temp_dir dir;
    const std::string name = (dir.path() / "missing" / "x.log").string();
    kvr_file f;
    const kvr_exception e = raised_by([&] { f.open(name.c_str(), "r"); });
    EXPECT_EQ(e.where, "kvr_file::open(" + name + ")=>fail");
    EXPECT_EQ(e.code, static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(e.source.rfind("kvr_file(", 0), 0u);
    EXPECT_FALSE(f.is_open());
    EXPECT_EQ(f.file_name(), name);
}

TEST(File, WritesTextAsGivenAndReopensTheStoredName) {
    temp_dir dir;
    const std::string name = (dir.path() / "a.txt").string();
    kvr_file f;
    f.open(name.c_str(), "a");
    f.write_str("one\n");
    f.write_str("");
    f.flush();
    f.close();
    f.open(nullptr, "a");  // the stored name
    f.write_str("two");
    f.close();
    f.close();  // closing twice is harmless
    EXPECT_EQ(read_all(name), "one\ntwo");
}

TEST(File, WriteAndFlushFailuresNameTheirCall) {
    kvr_file f;
    f.open("/dev/full", "a");
    // Beyond the stream buffer the write itself fails; a short one fails at flush.
    const kvr_exception e = raised_by([&] { f.write_str(std::string(100000, 'x')); });
    EXPECT_EQ(e.where, "kvr_file::write_str(/dev/full).fputs=>fail");
    const kvr_exception e2 = raised_by([&] { f.write_str("y"); f.flush(); });
    EXPECT_EQ(e2.where, "kvr_file::flush(/dev/full).fflush=>fail");
    EXPECT_EQ(e.code, static_cast<uint32_t>(ENOSPC));
    EXPECT_EQ(e2.code, static_cast<uint32_t>(ENOSPC));
    try {
        f.close();
    } catch (const kvr_exception&) {
    }
    EXPECT_FALSE(f.is_open());  // released even when closing failed
}

TEST(File, UsingAClosedFileRaisesInsteadOfCrashing) {
    kvr_file f;
    EXPECT_THROW(f.write_str("x"), kvr_exception);
    EXPECT_THROW(f.flush(), kvr_exception);
}

TEST(DatedLog, LinesOfOneDateShareItsFileWithTimeStamps) {
    temp_dir dir;
    kvr_dated_log log(dir.path().string());
    log.write_line("OPC_GPON", local(2004, 5, 24, 13, 5, 9));
    log.write_line("OPC_GPOFF", local(2004, 5, 24, 13, 5, 10));
    EXPECT_EQ(log.path_for(local(2004, 5, 24, 0, 0, 0)), (dir.path() / "20040524.log").string());
    EXPECT_EQ(read_all(dir.path() / "20040524.log"),
              "2004/05/24 13:05:09 OPC_GPON\n2004/05/24 13:05:10 OPC_GPOFF\n");
}

TEST(DatedLog, MidnightStartsTheNextDaysFileAndOldContentStays) {
    temp_dir dir;
    {
        std::ofstream(dir.path() / "20041231.log") << "earlier\n";
    }
    kvr_dated_log log(dir.path().string() + "/");
    log.write_line("last", local(2004, 12, 31, 23, 59, 59));
    log.write_line("first", local(2005, 1, 1, 0, 0, 1));
    EXPECT_EQ(read_all(dir.path() / "20041231.log"), "earlier\n2004/12/31 23:59:59 last\n");
    EXPECT_EQ(read_all(dir.path() / "20050101.log"), "2005/01/01 00:00:01 first\n");
}

TEST(DatedLog, ExceptionRecordIsOneLineOfStampWhereAndSource) {
    temp_dir dir;
    kvr_dated_log log(dir.path().string());
    kvr_exception e("kvr_ms100::read()\nsecond\r\nthird", 5, "kvr_ms100", 210);
    log.write_exception(e);
    EXPECT_EQ(e.where, "kvr_ms100::read() second\r\nthird");  // changed in place
    const std::string text = read_all(log.today_path());
    const std::regex record(
        R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d,kvr_ms100::read\(\) second\r\nthird,kvr_ms100\(210\)\n)");
    EXPECT_TRUE(std::regex_match(text, record)) << text;
}

TEST(DatedLog, FolderThatCannotHoldTheFileRaisesOpenFailure) {
    temp_dir dir;
    std::ofstream(dir.path() / "plain") << "not a folder";
    kvr_dated_log log((dir.path() / "plain").string());
    const kvr_exception e = raised_by([&] { log.write_line("x"); });
    EXPECT_EQ(e.where, "kvr_file::open(" + log.today_path() + ")=>fail");
    EXPECT_EQ(e.code, static_cast<uint32_t>(ENOTDIR));
}

TEST(DatedLog, ReadOnlyFolderRaisesPermissionDenied) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop root";
    temp_dir dir;
    ::chmod(dir.path().c_str(), 0555);
    kvr_dated_log log(dir.path().string());
    const kvr_exception e = raised_by([&] { log.write_line("x"); });
    EXPECT_EQ(e.where, "kvr_file::open(" + log.today_path() + ")=>fail");
    EXPECT_EQ(e.code, static_cast<uint32_t>(EACCES));
}

TEST(DatedLog, FailedWriteClosesTheFileBeforeRaising) {
    // Today's file is a link to a device that refuses every write.
    temp_dir dir;
    kvr_dated_log log(dir.path().string());
    fs::create_symlink("/dev/full", log.today_path());
    const int before = fds_open_on("/dev/full");

    const kvr_exception line_error = raised_by([&] { log.write_line("lost"); });
    EXPECT_EQ(line_error.code, static_cast<uint32_t>(ENOSPC));
    EXPECT_EQ(fds_open_on("/dev/full"), before);

    kvr_exception e("kvr_ms100::write()", 5, "kvr_ms100", 1);
    const kvr_exception record_error = raised_by([&] { log.write_exception(e); });
    EXPECT_EQ(record_error.where, "kvr_file::flush(" + log.today_path() + ").fflush=>fail");
    EXPECT_EQ(fds_open_on("/dev/full"), before);

    fs::remove(log.today_path());
    log.write_line("recovered");
    EXPECT_NE(read_all(log.today_path()).find(" recovered\n"), std::string::npos);
}

TEST(DatedLog, TwoThreadsNeverInterleaveRecords) {
    // Today's file is a named pipe drained in small pieces: a record larger
    // than the pipe's atomic size then goes in over several partial writes,
    // so without the lock the other thread's record would land in between.
    temp_dir dir;
    kvr_dated_log log(dir.path().string());
    ASSERT_EQ(::mkfifo(log.today_path().c_str(), 0600), 0);
    const int rd = ::open(log.today_path().c_str(), O_RDWR);  // never sees end of file
    ASSERT_GE(rd, 0);
    std::atomic<bool> writers_done{false};
    std::string received;
    std::thread reader([&] {
        char buf[700];
        for (;;) {
            pollfd p{rd, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) {
                if (writers_done) return;
                continue;
            }
            const ssize_t n = ::read(rd, buf, sizeof buf);
            if (n > 0) received.append(buf, static_cast<std::size_t>(n));
        }
    });

    const std::string payload(20000, 'm');
    constexpr int per_thread = 60;
    std::thread monitor([&] {
        for (int i = 0; i < per_thread; ++i) log.write_line("L" + payload);
    });
    std::thread io([&] {
        for (int i = 0; i < per_thread; ++i) {
            kvr_exception e("E" + std::string(20000, 'e'), 5, "kvr_ms100", i);
            log.write_exception(e);
        }
    });
    monitor.join();
    io.join();
    writers_done = true;
    reader.join();
    ::close(rd);

    std::istringstream in(received);
    const std::regex line_rec(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d L)" + payload);
    const std::regex exc_rec(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d,Ee{20000},kvr_ms100\(\d+\))");
    int lines = 0, records = 0, torn = 0;
    for (std::string l; std::getline(in, l);) {
        if (std::regex_match(l, line_rec)) ++lines;
        else if (std::regex_match(l, exc_rec)) ++records;
        else ++torn;
    }
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(lines, per_thread);
    EXPECT_EQ(records, per_thread);
}

TEST(DatedLog, GlobalLogWritesToTheCurrentFolder) {
    kvr_dated_log& log = kvr_global_dated_log();
    EXPECT_EQ(&log, &kvr_global_dated_log());
    EXPECT_EQ(log.today_path(),
              kvr_datetime::format(kvr_datetime::now(), "yyyymmdd") + ".log");
}
