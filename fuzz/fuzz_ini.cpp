// The settings-file reader on arbitrary files: every lookup of the keys the
// program uses, and a write of a plain value that must read back as written
// whatever else the file holds.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "foundation/kvr_exception.h"
#include "foundation/kvr_ini.h"

namespace {

std::string settings_dir;
std::string settings_path;

void remove_settings() {
    ::unlink(settings_path.c_str());
    ::rmdir(settings_dir.c_str());
}

void check(bool ok) {
    if (!ok) std::abort();
}

bool write_file(const std::string& path, const std::string& content) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    return std::fclose(f) == 0 && ok;
}

// A value the file format carries unchanged: printable, no escapes, no
// blanks at either end, at most what a read returns.
std::string plain_value(const std::string& raw) {
    std::string v;
    for (char c : raw) {
        if (c > ' ' && c < 127 && c != '\\') v += c;
        if (v.size() == 2047) break;
    }
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every write syncs the file: on a memory file system that costs nothing.
    const bool shm = ::access("/dev/shm", W_OK) == 0;
    std::string dir = shm ? "/dev/shm/busprobe-fuzz-ini-XXXXXX" : "/tmp/busprobe-fuzz-ini-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) std::abort();
    settings_dir = dir;
    settings_path = dir + "/busprobe.ini";
    std::atexit(remove_settings);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string value = plain_value(in.ConsumeRandomLengthString(64));
    const std::string content = in.ConsumeRemainingBytesAsString();
    if (!write_file(settings_path, content)) std::abort();

    try {
        kvr_ini ini(settings_path);
        (void)ini.get_string("SETTING", "COMMPORT", "COM1");
        (void)ini.get_int("SETTING", "LOGDIR", 0);
        (void)ini.get_string("setting", "logdir", "");
        (void)ini.get_int("", "", -5);

        ini.set_string("SETTING", "COMMPORT", value);
        check(ini.get_string("SETTING", "COMMPORT", "?") == value);
        ini.set_int("SETTING", "LOGDIR", 1);
        check(ini.get_int("SETTING", "LOGDIR", 0) == 1);
        check(ini.get_string("SETTING", "COMMPORT", "?") == value);
    } catch (const kvr_exception&) {
        // A file the reader cannot use is reported, never a crash.
    }
    return 0;
}
