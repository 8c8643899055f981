#include "ui/kvr_port_list.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "link/kvr_lntcp_connect.h"

namespace {

bool less_nocase(const std::string& a, const std::string& b) {
    const auto lower = [](unsigned char c) { return std::tolower(c); };
    const bool less = std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [&](unsigned char x, unsigned char y) { return lower(x) < lower(y); });
    if (less)
        return true;
    const bool greater = std::lexicographical_compare(
        b.begin(), b.end(), a.begin(), a.end(),
        [&](unsigned char x, unsigned char y) { return lower(x) < lower(y); });
    return !greater && a < b;  // a stable order for names that differ in case only
}

void add_matching(std::vector<std::string>& out, const std::filesystem::path& dir,
                  const std::string& prefix) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) == 0)
            out.push_back(it->path().string());
    }
}

}  // namespace

std::vector<std::string> kvr_scan_serial_devices() {
    std::vector<std::string> found;
    add_matching(found, "/dev", "ttyUSB");
    add_matching(found, "/dev", "ttyACM");
    add_matching(found, "/dev/serial/by-id", "");
    return found;
}

std::vector<std::string> kvr_port_list(const std::vector<std::string>& devices,
                                       const std::string& stored_port) {
    std::vector<std::string> items = {"COM1", "COM2", "COM3", "COM4", "SIM"};
    items.insert(items.end(), devices.begin(), devices.end());
    // A stored device path or tcp:// server stays on offer, so the last one
    // typed need not be typed again.
    if (!stored_port.empty() && (stored_port.front() == '/' || kvr_lntcp_is_url(stored_port)))
        items.push_back(stored_port);
    std::sort(items.begin(), items.end(), less_nocase);
    items.erase(std::unique(items.begin(), items.end()), items.end());
    return items;
}

std::string kvr_first_start_port(const std::vector<std::string>& devices) {
    return devices.empty() ? "SIM" : devices.front();
}

int kvr_port_selection(const std::vector<std::string>& items, const std::string& port) {
    const auto it = std::find(items.begin(), items.end(), port);
    return it == items.end() ? 0 : static_cast<int>(it - items.begin());
}
