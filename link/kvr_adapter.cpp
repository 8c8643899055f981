#include "link/kvr_adapter.h"

#include <array>

#include "link/kvr_lntcp_connect.h"

namespace {

constexpr std::array<kvr_adapter_info, 5> adapters = {{
    {kvr_adapter::ms100, "ms100", "MS100", 16457, false, true},
    {kvr_adapter::locobuffer, "locobuffer", "LocoBuffer 57600", 57600, true, false},
    {kvr_adapter::locobuffer_19200, "locobuffer-19200", "LocoBuffer 19200", 19200, true, false},
    {kvr_adapter::locobuffer_115200, "locobuffer-115200", "LocoBuffer 115200", 115200, true, false},
    {kvr_adapter::tcp, "tcp", "LocoNet over TCP", 0, false, false},
}};

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

}  // namespace

const kvr_adapter_info* kvr_adapter_find(kvr_adapter kind) {
    for (const kvr_adapter_info& a : adapters)
        if (a.kind == kind) return &a;
    return nullptr;
}

std::optional<kvr_adapter> kvr_adapter_parse(std::string_view name) {
    for (const kvr_adapter& kind : kvr_serial_adapters)
        if (name == kvr_adapter_find(kind)->name) return kind;
    return std::nullopt;
}

kvr_adapter kvr_adapter_for_port(std::string_view port_name) {
    if (kvr_lntcp_is_url(port_name)) return kvr_adapter::tcp;
    if (starts_with(port_name, "/dev/ttyACM") || starts_with(port_name, "/dev/ttyUSB") ||
        starts_with(port_name, "/dev/serial/by-id/"))
        return kvr_adapter::locobuffer;
    return kvr_adapter::ms100;
}

kvr_adapter kvr_adapter_resolve(kvr_adapter chosen, std::string_view port_name) {
    if (kvr_lntcp_is_url(port_name)) return kvr_adapter::tcp;
    if (chosen == kvr_adapter::automatic || chosen == kvr_adapter::tcp) return kvr_adapter_for_port(port_name);
    return chosen;
}
