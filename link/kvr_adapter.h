#pragma once
// The adapter kinds behind the one link, and how a port name picks one.
//
//   kind                 line                       bus access   name (CLI, settings)
//   MS100                16457 baud 8N1, no flow,   the PC       "ms100"
//                        RTS on, DTR off
//   LocoBuffer           57600 baud 8N1, RTS/CTS    the adapter  "locobuffer"
//   LocoBuffer 19200     19200 baud 8N1, RTS/CTS    the adapter  "locobuffer-19200"
//   LocoBuffer 115200    115200 baud 8N1, RTS/CTS   the adapter  "locobuffer-115200"
//   TCP                  LocoNet over TCP           the server   (by its tcp:// name)
//
// Every kind echoes what it sends, so the receive path sees the link's own
// messages as every other node does. Default by port name: "COMn" and
// /dev/ttyS* are on-board UARTs, where an MS100 sits; /dev/ttyACM* (CDC-ACM),
// /dev/ttyUSB* (FTDI) and /dev/serial/by-id/* are the USB interfaces of the
// LocoBuffer class; "tcp://..." is a LocoNet-over-TCP server; anything else
// (a pseudo-terminal, "SIM") keeps the MS100 settings it always had.

#include <optional>
#include <string>
#include <string_view>

enum class kvr_adapter { automatic, ms100, locobuffer, locobuffer_19200, locobuffer_115200, tcp };

struct kvr_adapter_info {
    kvr_adapter kind;
    const char* name;       // as the CLI and the settings file spell it
    const char* label;      // as the window shows it
    unsigned baud;          // 0: not a serial line
    bool rtscts;            // hardware flow control, DTR and RTS raised
    bool pc_accesses_bus;   // the link itself waits for a quiet line
};

// The entry of a kind; automatic has none.
const kvr_adapter_info* kvr_adapter_find(kvr_adapter kind);
// "ms100", "locobuffer", ... -> kind; nothing for other names.
std::optional<kvr_adapter> kvr_adapter_parse(std::string_view name);
// The kind a port name gets when none is chosen.
kvr_adapter kvr_adapter_for_port(std::string_view port_name);
// `chosen`, or the port's default when it is automatic; tcp:// names are
// always TCP and only they are.
kvr_adapter kvr_adapter_resolve(kvr_adapter chosen, std::string_view port_name);
// The serial kinds, in the order menus list them.
inline constexpr kvr_adapter kvr_serial_adapters[] = {kvr_adapter::ms100, kvr_adapter::locobuffer,
                                                      kvr_adapter::locobuffer_19200,
                                                      kvr_adapter::locobuffer_115200};
