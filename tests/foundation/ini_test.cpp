#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "foundation/kvr_build.h"
#include "foundation/kvr_ini.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

struct Ini : testing::Test {
    void write(const std::string& text) { std::ofstream(file_, std::ios::binary) << text; }
    std::string read() const { return read_all(file_); }
    std::size_t files_in_dir() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()));
    }
    temp_dir dir;
    const fs::path file_ = dir.path / "busprobe.ini";
};

}  // namespace

TEST_F(Ini, MissingPartsGiveDefaultsAndFirstWriteCreatesFileSectionAndKey) {
    kvr_ini ini(file_.string());
    EXPECT_EQ(ini.get_string("SETTING", "COMMPORT", "COM1"), "COM1");
    EXPECT_EQ(ini.get_int("SETTING", "LOGDIR", -1), static_cast<unsigned>(-1));
    EXPECT_FALSE(fs::exists(file_));  // reading creates nothing
    ini.set_string("SETTING", "COMMPORT", "COM2");
    ini.set_int("SETTING", "LOGDIR", 1);
    EXPECT_EQ(read(), "[SETTING]\nCOMMPORT=COM2\nLOGDIR=1\n");
    EXPECT_EQ(files_in_dir(), 1u);  // no temporary file left behind

    write("; settings\n[setting]\n  commport = COM3  \n[Other]\nLOGDIR=7\n");
    EXPECT_EQ(ini.get_string("SETTING", "COMMPORT", "COM1"), "COM3");  // case and blanks
    EXPECT_EQ(ini.get_int("SETTING", "LOGDIR", 4), 4u);  // only in another section
    EXPECT_EQ(ini.get_int("OTHER", "logdir", 4), 7u);
}

TEST_F(Ini, RewritingAKeyChangesOnlyItsLine) {
    write("; keep me\r\n[General]\r\nName = x\r\n\r\n[setting]\r\n  CommPort=COM1\r\n"
          "LOGDIR=0\r\n\r\n[Tail]\r\nz=1");
    kvr_ini ini(file_.string());
    ini.set_string("SETTING", "COMMPORT", "COM4");
    ini.set_int("setting", "NEWKEY", 5);  // after the section's last line
    ini.set_int("Fresh", "A", 2);         // a new section goes at the end
    EXPECT_EQ(read(),
              "; keep me\r\n[General]\r\nName = x\r\n\r\n[setting]\r\n  CommPort=COM4\r\n"
              "LOGDIR=0\r\nNEWKEY=5\r\n\r\n[Tail]\r\nz=1\r\n\r\n[Fresh]\r\nA=2\r\n");
    ini.set_int("Tail", "z", 3);  // a last line keeps its own line end
    EXPECT_NE(read().find("[Tail]\r\nz=3\r\n\r\n[Fresh]"), std::string::npos);
}

// Files saved by other editors: a UTF-8 byte-order mark before the first
// section, and CR alone as the line end. Both read as written and are kept
// byte for byte when a key is rewritten or added.
TEST_F(Ini, ByteOrderMarkAndCrOnlyLineEndsAreReadAndKept) {
    const struct {
        const char* name;
        std::string before, after;
    } cases[] = {
        {"mark", "\xEF\xBB\xBF[SETTING]\nCOMMPORT=COM3\n", "\xEF\xBB\xBF[SETTING]\nCOMMPORT=COM2\nLOGDIR=1\n"},
        {"CR", "[SETTING]\rCOMMPORT=COM3\r[X]\ry=1", "[SETTING]\rCOMMPORT=COM2\rLOGDIR=1\r[X]\ry=1"},
        {"mark and CR", "\xEF\xBB\xBF[SETTING]\rCOMMPORT=COM3\r", "\xEF\xBB\xBF[SETTING]\rCOMMPORT=COM2\rLOGDIR=1\r"},
        {"mark on a key", "\xEF\xBB\xBF" "COMMPORT=COM3\r\n[SETTING]\r\nCOMMPORT=COM3\r\n",
         "\xEF\xBB\xBF" "COMMPORT=COM3\r\n[SETTING]\r\nCOMMPORT=COM2\r\nLOGDIR=1\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write(c.before);
        kvr_ini ini(file_.string());
        EXPECT_EQ(ini.get_string("SETTING", "COMMPORT", "COM1"), "COM3");
        ini.set_string("SETTING", "COMMPORT", "COM2");
        ini.set_int("SETTING", "LOGDIR", 1);
        EXPECT_EQ(read(), c.after);
    }
}

// A FIFO (or any other file that is not a regular one) is never read: the
// read would wait for a writer forever. The defaults hold, a note says why,
// and nothing replaces it. The check runs in a child, so that a read that
// hangs ends as a failure rather than hanging the suite.
TEST_F(Ini, AFifoIsIgnoredWithANoteInsteadOfBlocking) {
    ASSERT_EQ(::mkfifo(file_.c_str(), 0600), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::alarm(20);
        kvr_ini ini(file_.string());
        const bool ok = ini.get_string("SETTING", "COMMPORT", "none") == "none" &&
                        ini.get_int("SETTING", "LOGDIR", 3) == 3;
        ini.set_string("SETTING", "COMMPORT", "COM2");
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    struct stat st {};
    ASSERT_EQ(::stat(file_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO was replaced";

    testing::internal::CaptureStderr();
    kvr_ini(dir.path.string()).get_string("SETTING", "COMMPORT", "x");  // a folder
    EXPECT_NE(testing::internal::GetCapturedStderr().find(dir.path.string() + " is not a regular file: ignored"),
              std::string::npos);
}

// A file far beyond any settings file is not read at all (whole, at every
// look-up, it took minutes and gigabytes before a command ran) and not
// rewritten: the defaults hold and a note says why.
TEST_F(Ini, AFileOverOneMegabyteIsIgnoredWithANote) {
    const std::string huge = "[SETTING]\nCOMMPORT=COM2\n; " + std::string(1024 * 1024, 'x') + "\n";
    write(huge);
    kvr_ini ini(file_.string());
    testing::internal::CaptureStderr();
    EXPECT_EQ(ini.get_string("SETTING", "COMMPORT", "none"), "none");
    ini.set_string("SETTING", "COMMPORT", "COM3");
    EXPECT_NE(testing::internal::GetCapturedStderr().find(file_.string() + " is larger than 1 MB: ignored"),
              std::string::npos);
    EXPECT_TRUE(read() == huge) << "the file was rewritten";
}

TEST_F(Ini, TextValuesAreEscapedAndCutAndBadNamesAreNotWritten) {
    kvr_ini ini(file_.string());
    ini.set_string("S", "K", "one\ntwo\r\nthree");
    EXPECT_EQ(read(), "[S]\nK=one\\ntwo\\r\\nthree\n");
    EXPECT_EQ(ini.get_string("S", "K", ""), "one\ntwo\r\nthree");
    ini.set_string("S", "K", "C:\\root");  // not reversible for such values
    EXPECT_EQ(ini.get_string("S", "K", ""), "C:\root");

    const std::string value(3000, 'v');
    ini.set_string("S", "L", value);
    EXPECT_EQ(ini.get_string("S", "L", ""), value.substr(0, 2047));

    write("[S]\nK=1\n");
    ini.set_int("S", "K\n[X]\nY", 2);
    ini.set_int("S]", "K", 2);
    ini.set_int("S", "A=B", 2);
    ini.set_int("", "K", 2);
    EXPECT_EQ(read(), "[S]\nK=1\n");
}

TEST_F(Ini, IntegersAreTheLeadingDigits) {
    const struct {
        const char* stored;
        unsigned value;
    } cases[] = {
        {"abc", 0}, {"12abc", 12}, {"-5", static_cast<unsigned>(-5)}, {"+3", 3}, {"- 3", 0},
        {"4294967295", UINT_MAX}, {"99999999999", UINT_MAX},
        {"-99999999999", static_cast<unsigned>(INT_MIN)}, {"0x10", 0},
    };
    for (const auto& c : cases) {
        write(std::string("[SETTING]\nLOGDIR=") + c.stored + "\n");
        EXPECT_EQ(kvr_ini(file_.string()).get_int("SETTING", "LOGDIR", 9), c.value) << c.stored;
    }
}

TEST_F(Ini, FailedWritesLeaveTheOldFileIntact) {
    write("plain file");
    kvr_ini(file_.string() + "/sub.ini").set_string("SETTING", "COMMPORT", "COM2");  // no throw
    EXPECT_EQ(read(), "plain file");

    // A file-size limit makes the write of the new file fail part way (this
    // works for root as well, unlike permissions).
    const std::string before = "[SETTING]\nCOMMPORT=COM3\nLOGDIR=1\n";
    write(before);
    kvr_ini ini(file_.string());
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{512, old.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    testing::internal::CaptureStderr();
    ini.set_string("SETTING", "COMMPORT", std::string(4000, 'x'));
    const std::string note = testing::internal::GetCapturedStderr();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(read(), before);
    EXPECT_EQ(files_in_dir(), 1u);  // the partial temporary file is gone
    // The user hears that the change is lost.
    EXPECT_NE(note.find(file_.string() + " could not be written (File too large): the change is not kept"),
              std::string::npos)
        << note;
}

TEST_F(Ini, DefaultPathBesideTheProgramOrInTheUserConfigFolder) {
    const std::string bin = (dir.path / "bin").string();
    fs::create_directory(bin);
    const std::string gone = (dir.path / "gone.d" / "busprobe").string();  // not writable
    const struct {
        std::string exe;
        const char* xdg;
        std::string ini;
    } cases[] = {
        {bin + "/busprobe", "/xdg", bin + "/busprobe.ini"},
        {bin + "/busprobe.v2.bin", "/xdg", bin + "/busprobe.v2.ini"},
        {gone, "/xdg", "/xdg/busprobe/busprobe.ini"},
        {gone, nullptr, "/home/u/.config/busprobe/busprobe.ini"},
        {gone, "relative", "/home/u/.config/busprobe/busprobe.ini"},
        // Installed: never beside, even for root, who may write that folder.
        {BUSPROBE_INSTALL_BINDIR "/busprobe", "/xdg", "/xdg/busprobe/busprobe.ini"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kvr_ini::default_path_for(c.exe, c.xdg, "/home/u"), c.ini) << c.exe;
    // This program's own path and environment; beside it when its folder is
    // writable (not so for an ordinary user running a root-owned build).
    EXPECT_EQ(kvr_ini::default_path(), kvr_ini::default_path_for(fs::read_symlink("/proc/self/exe").string(),
                                                                 std::getenv("XDG_CONFIG_HOME"),
                                                                 std::getenv("HOME")));
}
