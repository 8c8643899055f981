// The simulated station on arbitrary requests: any bytes at any times, with
// any of its timing and fault settings. Without noise everything it puts on
// the bus frames into whole messages with good checksums, no byte left over;
// with noise, or once a paced bus saw our bytes collide with a message of
// its own (both are wrecked, as on a real bus), its output is only framed,
// as a listener would.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

#include "loconet/kvr_loconet_msg.h"
#include "sim/kvr_sim_station.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

kvr_sim_options options_from(FuzzedDataProvider& in) {
    kvr_sim_options o;
    o.instant = in.ConsumeBool();
    o.pace = in.ConsumeBool();
    o.ack_delay_ms = in.ConsumeIntegralInRange<unsigned>(0, 50);
    o.read_delay_ms = in.ConsumeIntegralInRange<unsigned>(0, 300);
    o.write_delay_ms = in.ConsumeIntegralInRange<unsigned>(0, 300);
    o.busy_tasks = in.ConsumeIntegralInRange<unsigned>(0, 3);
    o.drop_answers = in.ConsumeIntegralInRange<unsigned>(0, 3);
    o.decoder_present = in.ConsumeBool();
    o.decoder_acks_writes = in.ConsumeBool();
    o.switch_buffer_full = in.ConsumeBool();
    o.noise_per_mille = in.ConsumeBool() ? in.ConsumeIntegralInRange<unsigned>(0, 1000) : 0;
    o.seed = in.ConsumeIntegral<uint32_t>();
    o.demo = in.ConsumeBool();
    o.clock_rate = in.ConsumeIntegral<uint8_t>();
    o.expanded = in.ConsumeBool();
    return o;
}

// Frames what the station put on the bus. Returns false when bytes were
// dropped (something not a whole message).
bool frame_all(std::deque<uint8_t>& wire) {
    bool clean = true;
    while (!wire.empty()) {
        const std::size_t before = wire.size();
        kvr_loconet_msg msg;
        if (msg.take_from(wire) != 0) {
            check(msg.checksum_ok());
        } else if (wire.size() == before) {
            break;
        } else {
            clean = false;
        }
    }
    return clean;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const kvr_sim_options options = options_from(in);
    const bool noisy = options.noise_per_mille > 0;
    kvr_sim_station station(options, kvr_sim_time{in.ConsumeIntegralInRange<int64_t>(0, 1'000'000)});

    kvr_sim_time now{0};
    std::deque<uint8_t> wire;
    while (in.remaining_bytes() > 0) {
        now += kvr_sim_time{in.ConsumeIntegralInRange<int64_t>(0, 400'000)};
        const std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(1, 40));
        station.receive(bytes.data(), bytes.size(), now);
        const std::vector<uint8_t> out = station.poll(now);
        wire.insert(wire.end(), out.begin(), out.end());
        const bool wrecked = noisy || station.bus_stats().collisions > 0;
        check(frame_all(wire) || wrecked);
        if (auto due = station.next_due()) check(*due >= kvr_sim_time{0});
    }

    // Everything still scheduled comes out whole, and then nothing is due
    // unless demo life or the fast clock keeps it talking.
    now += kvr_sim_time{100'000'000};
    const std::vector<uint8_t> out = station.poll(now);
    wire.insert(wire.end(), out.begin(), out.end());
    const bool wrecked = noisy || station.bus_stats().collisions > 0;
    check(frame_all(wire) || wrecked);
    if (!wrecked) check(wire.empty());
    if (!options.demo) check(!station.next_due() || *station.next_due() > now);
    (void)station.track_status();
    return 0;
}
