#pragma once
// A fresh folder under the system's temporary folder, removed with its
// contents, and whole-file reading and writing.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

struct temp_dir {
    temp_dir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "busprobe_test.XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~temp_dir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::filesystem::path path;
};

inline std::string read_all(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::filesystem::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

// A fresh temporary folder made the current one for the life of the object.
// The dated log goes to the current folder: each test gets its own.
struct scratch_dir {
    scratch_dir() { std::filesystem::current_path(dir.path); }
    ~scratch_dir() {
        std::error_code ec;
        std::filesystem::current_path(old, ec);
    }
    const std::filesystem::path old = std::filesystem::current_path();
    temp_dir dir;
    const std::string path = dir.path.string();
};
