#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "foundation/kvr_ini.h"

namespace fs = std::filesystem;

namespace {

class ini_dir : public testing::Test {
protected:
    ini_dir() {
        std::string pattern = (fs::temp_directory_path() / "kvr_ini_test.XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        file_ = dir_ / "busprobe.ini";
    }
    ~ini_dir() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    void write(const std::string& text) { std::ofstream(file_, std::ios::binary) << text; }
    std::string read() const {
        std::ifstream in(file_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::size_t files_in_dir() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }

    fs::path dir_;
    fs::path file_;
};

using Ini = ini_dir;

}  // namespace

TEST_F(Ini, MissingFileGivesDefaultsAndReadingCreatesNothing) {
    const kvr_ini ini(file_.string());
    EXPECT_EQ(ini.path(), file_.string());
    EXPECT_EQ(ini.get_string("SETTING", "COMMPORT", "COM1"), "COM1");
    EXPECT_EQ(ini.get_int("SETTING", "LOGDIR", 0), 0u);
    EXPECT_EQ(ini.get_int("SETTING", "LOGDIR", -1), static_cast<unsigned>(-1));
    EXPECT_FALSE(fs::exists(file_));
}

TEST_F(Ini, FirstWriteCreatesFileSectionAndKey) {
    kvr_ini ini(file_.string());
    ini.set_string("SETTING", "COMMPORT", "COM2");
    EXPECT_EQ(read(), "[SETTING]\nCOMMPORT=COM2\n");
    ini.set_int("SETTING", "LOGDIR", 1);
    EXPECT_EQ(read(), "[SETTING]\nCOMMPORT=COM2\nLOGDIR=1\n");
    EXPECT_EQ(ini.get_string("SETTING", "COMMPORT", "COM1"), "COM2");
    EXPECT_EQ(ini.get_int("SETTING", "LOGDIR", 0), 1u);
    EXPECT_EQ(files_in_dir(), 1u);  // no temporary file left behind
}

TEST_F(Ini, LookupIgnoresCaseAndBlanksAndMissingPartsGiveDefaults) {
    write("; settings\n[setting]\n  commport = COM3  \nother=1\n[Other]\nLOGDIR=7\n");
    const kvr_ini ini(file_.string());
    EXPECT_EQ(ini.get_string("SETTING", "COMMPORT", "COM1"), "COM3");
    EXPECT_EQ(ini.get_int("SETTING", "LOGDIR", 4), 4u);  // only in another section
    EXPECT_EQ(ini.get_int("OTHER", "logdir", 4), 7u);
    EXPECT_EQ(ini.get_string("NOPE", "COMMPORT", "dflt"), "dflt");
}

TEST_F(Ini, RewritingAKeyChangesOnlyItsLine) {
    const std::string before =
        "; keep me\r\n[General]\r\nName = x\r\n\r\n[setting]\r\n  CommPort=COM1\r\n"
        "LOGDIR=0\r\n\r\n[Tail]\r\nz=1";
    write(before);
    kvr_ini ini(file_.string());
    ini.set_string("SETTING", "COMMPORT", "COM4");
    EXPECT_EQ(read(),
              "; keep me\r\n[General]\r\nName = x\r\n\r\n[setting]\r\n  CommPort=COM4\r\n"
              "LOGDIR=0\r\n\r\n[Tail]\r\nz=1");
    ini.set_int("setting", "NEWKEY", 5);  // added after the section's last line
    EXPECT_EQ(read(),
              "; keep me\r\n[General]\r\nName = x\r\n\r\n[setting]\r\n  CommPort=COM4\r\n"
              "LOGDIR=0\r\nNEWKEY=5\r\n\r\n[Tail]\r\nz=1");
    ini.set_int("Fresh", "A", 2);  // a new section goes at the end
    EXPECT_EQ(read(),
              "; keep me\r\n[General]\r\nName = x\r\n\r\n[setting]\r\n  CommPort=COM4\r\n"
              "LOGDIR=0\r\nNEWKEY=5\r\n\r\n[Tail]\r\nz=1\r\n\r\n[Fresh]\r\nA=2\r\n");
    ini.set_int("Tail", "z", 3);  // a last line keeps its own line end
    EXPECT_NE(read().find("[Tail]\r\nz=3\r\n\r\n[Fresh]"), std::string::npos);
    EXPECT_EQ(kvr_ini(file_.string()).get_int("FRESH", "a", 0), 2u);
}

TEST_F(Ini, LineBreaksInTextValuesAreEscapedOnOneLine) {
    kvr_ini ini(file_.string());
    ini.set_string("S", "K", "one\ntwo\r\nthree");
    EXPECT_EQ(read(), "[S]\nK=one\\ntwo\\r\\nthree\n");
    EXPECT_EQ(ini.get_string("S", "K", ""), "one\ntwo\r\nthree");

    // A stored backslash-r reads back as a carriage return: the escaping is
    // not reversible for such values.
    ini.set_string("S", "K", "C:\\root");
    EXPECT_EQ(ini.get_string("S", "K", ""), "C:\root");
}

TEST_F(Ini, IntegersAreTheLeadingDigits) {
    struct {
        const char* stored;
        unsigned value;
    } cases[] = {
        {"abc", 0},       {"12abc", 12},         {"007", 7},
        {"", 0},          {"-5", static_cast<unsigned>(-5)},
        {"+3", 3},        {"- 3", 0},            {"4294967295", UINT_MAX},
        {"99999999999", UINT_MAX},               {"-99999999999", static_cast<unsigned>(INT_MIN)},
        {"0x10", 0},      {"1 2", 1},
    };
    for (const auto& c : cases) {
        write(std::string("[SETTING]\nLOGDIR=") + c.stored + "\n");
        EXPECT_EQ(kvr_ini(file_.string()).get_int("SETTING", "LOGDIR", 9), c.value) << c.stored;
    }
    kvr_ini ini(file_.string());
    ini.set_int("SETTING", "LOGDIR", -5);
    EXPECT_EQ(static_cast<int>(ini.get_int("SETTING", "LOGDIR", 0)), -5);
}

TEST_F(Ini, LongValuesReadBackCutTo2047Characters) {
    kvr_ini ini(file_.string());
    const std::string value(3000, 'v');
    ini.set_string("S", "K", value);
    EXPECT_EQ(ini.get_string("S", "K", ""), value.substr(0, 2047));
    EXPECT_EQ(ini.get_string("S", "missing", value), value.substr(0, 2047));
}

TEST_F(Ini, NamesThatWouldBreakTheFileAreNotWritten) {
    write("[S]\nK=1\n");
    kvr_ini ini(file_.string());
    ini.set_int("S", "K\n[X]\nY", 2);
    ini.set_int("S]", "K", 2);
    ini.set_int("S", "A=B", 2);
    ini.set_int("", "K", 2);
    EXPECT_EQ(read(), "[S]\nK=1\n");
}

TEST_F(Ini, WriteIntoAFolderThatCannotExistIsIgnored) {
    write("plain file");
    kvr_ini ini((file_ / "sub.ini").string());
    ini.set_string("SETTING", "COMMPORT", "COM2");  // no exception, no crash
    EXPECT_EQ(ini.get_string("SETTING", "COMMPORT", "COM1"), "COM1");
    EXPECT_EQ(read(), "plain file");
}

TEST_F(Ini, FailedWriteLeavesTheOldFileIntact) {
    // A file-size limit makes the write of the new file fail part way (this
    // works for root as well, unlike permissions).
    const std::string before = "[SETTING]\nCOMMPORT=COM3\nLOGDIR=1\n";
    write(before);
    kvr_ini ini(file_.string());
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 512;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    ini.set_string("SETTING", "COMMPORT", std::string(4000, 'x'));
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_EQ(read(), before);
    EXPECT_EQ(files_in_dir(), 1u);  // the partial temporary file is gone
    EXPECT_EQ(ini.get_string("SETTING", "COMMPORT", "COM1"), "COM3");
}

TEST_F(Ini, ReadOnlyFolderKeepsTheOldFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop root";
    write("[SETTING]\nLOGDIR=1\n");
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    kvr_ini ini(file_.string());
    ini.set_int("SETTING", "LOGDIR", 0);
    fs::permissions(dir_, fs::perms::owner_all);
    EXPECT_EQ(ini.get_int("SETTING", "LOGDIR", 5), 1u);
}

TEST_F(Ini, DefaultPathIsBesideTheProgramWhenItsFolderIsWritable) {
    const std::string bin = (dir_ / "bin").string();
    fs::create_directory(bin);
    struct {
        std::string exe;
        std::string ini;
    } cases[] = {
        {bin + "/busprobe", bin + "/busprobe.ini"},
        {bin + "/busprobe.exe", bin + "/busprobe.ini"},
        {bin + "/busprobe.v2.bin", bin + "/busprobe.v2.ini"},
        {bin + "/.hidden", bin + "/.hidden.ini"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kvr_ini::default_path_for(c.exe, "/xdg", "/home/u"), c.ini) << c.exe;

    // The real program's path, whatever the current folder.
    const std::string real = kvr_ini::default_path();
    EXPECT_EQ(real, fs::read_symlink("/proc/self/exe").string() + ".ini");
}

TEST_F(Ini, DefaultPathFallsBackToTheUserConfigFolder) {
    // A folder that does not exist stands in for one the user may not write.
    const std::string exe = (dir_ / "gone.d" / "busprobe").string();
    EXPECT_EQ(kvr_ini::default_path_for(exe, "/xdg", "/home/u"), "/xdg/busprobe/busprobe.ini");
    EXPECT_EQ(kvr_ini::default_path_for(exe, nullptr, "/home/u"),
              "/home/u/.config/busprobe/busprobe.ini");
    EXPECT_EQ(kvr_ini::default_path_for(exe, "", "/home/u"),
              "/home/u/.config/busprobe/busprobe.ini");
    EXPECT_EQ(kvr_ini::default_path_for(exe, "relative", "/home/u"),
              "/home/u/.config/busprobe/busprobe.ini");
}
