#pragma once
// The settings file: INI format, section and key lookup without regard to
// case, defaults for whatever is missing. Every call reads or writes the
// file; nothing is cached. Writes go to a temporary file that is renamed over
// the old one, so a failed write leaves the old file intact. Only a regular
// file of at most 1 MB is read or written: anything else (a FIFO, a folder,
// a huge file) counts as unreadable, with a note on stderr, so its defaults
// hold.

#include <string>

class kvr_ini {
public:
    // Empty name: the executable's path with its extension replaced by
    // ".ini" (appended when it has none); when that folder is not writable, or
    // is the folder the programs are installed to, and no file exists there,
    // $XDG_CONFIG_HOME/busprobe/busprobe.ini.
    explicit kvr_ini(const std::string& name = {});
    virtual ~kvr_ini() = default;

    // Leading decimal digits of the value, after an optional sign, so that
    // set_int(-5) reads back as unsigned(-5) just as a default of -5 would;
    // 0 when the value has no leading digits ("abc"); the default when the
    // file, section or key is missing.
    unsigned get_int(const std::string& section, const std::string& key, int def) const;
    void set_int(const std::string& section, const std::string& key, int value);
    // Values are cut to 2047 characters; "\r" and "\n" escapes are expanded.
    std::string get_string(const std::string& section, const std::string& key,
                           const std::string& def) const;
    void set_string(const std::string& section, const std::string& key, const std::string& value);

    const std::string& path() const { return path_; }

    static std::string default_path();
    // The choice default_path() makes, for a given executable path and
    // environment values (null: unset).
    static std::string default_path_for(const std::string& exe_path, const char* xdg_config_home,
                                        const char* home);

private:
    void write_value(const std::string& section, const std::string& key, const std::string& value);

    std::string path_;
    bool create_folder_ = false;  // default path: its folder may not exist yet
};
