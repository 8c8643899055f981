#include "sim/kvr_sim_port.h"

#include <memory>

#include "link/kvr_link.h"
#include "sim/kvr_sim_runner.h"

namespace {

// The station lives exactly as long as the link holds the port open.
class sim_port : public kvr_virtual_port {
public:
    explicit sim_port(const kvr_sim_options& options) : runner_(options) {}
    std::string device_path() const override { return runner_.device_path(); }

private:
    kvr_sim_runner runner_;
};

}  // namespace

void kvr_sim_register_port(kvr_link& link, const kvr_sim_options& options) {
    link.add_virtual_port(kvr_sim_port_name, [options] { return std::make_unique<sim_port>(options); });
}
