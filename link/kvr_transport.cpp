#include "link/kvr_transport.h"

#include "link/kvr_adapter.h"
#include "link/kvr_serial_transport.h"
#include "link/kvr_tcp_transport.h"

std::unique_ptr<kvr_transport> kvr_make_transport(kvr_transport_host& host, std::string device_path) {
    if (host.adapter().baud == 0) return std::make_unique<kvr_tcp_transport>(host);
    return std::make_unique<kvr_serial_transport>(host, std::move(device_path));
}
