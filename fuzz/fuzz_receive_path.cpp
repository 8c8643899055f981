// The framer and the receive path on arbitrary byte streams, arriving in
// arbitrary pieces: framing, the three reply stores and the monitor sink.
//
// Checked on every input:
// - every message dispatched is whole: its checksum holds, its length is the
//   one its opcode (or count byte) gives, no data byte has bit 7 set;
// - every message gets exactly one monitor line, its text plus CR LF;
// - each framing step takes one whole message, drops exactly one byte, or
//   leaves a queue that holds only the start of a message;
// - how the bytes are cut into reads does not change what is framed, and
//   raw bytes given to the link for sending frame the same way;
// - the stores hold the latest slot data per slot and per address (never
//   the programmer's or the fast clock's slot) and the latest acknowledge
//   per acknowledged opcode.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "link/kvr_loconet_port.h"
#include "loconet/kvr_monitor.h"
#include "station/kvr_reply_stores.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// Listens as the command station does: every message once, filed in the
// station's reply stores.
class record_sink : public kvr_link_listener {
public:
    void on_message(const kvr_loconet_msg& msg, const kvr_capture_time&) override {
        messages.push_back(msg);
        stores.file(msg);
    }
    void on_link_lost(const std::string&) override { check(false); }

    std::vector<kvr_loconet_msg> messages;
    kvr_reply_stores stores;
};

class fuzz_port : public kvr_loconet_port {
public:
    void send(const kvr_loconet_msg& msg, uint32_t tag) override {
        check(tag == 0);
        sent.push_back(msg);
    }
    std::vector<kvr_loconet_msg> sent;
    void close() override {}
    void open(const std::string&) override {}
};

void check_whole(const kvr_loconet_msg& m) {
    check(m.length() >= 2 && m.length() <= kvr_loconet_msg::capacity);
    check((m.opcode() & 0x80) != 0);
    check(m.checksum_ok());
    check(m.length() == kvr_expected_length(m.opcode(), m[1]));
    for (int i = 1; i < m.length(); ++i) check((m[i] & 0x80) == 0);
}

// The framer alone, one step at a time.
void check_steps(const std::vector<uint8_t>& stream) {
    std::deque<uint8_t> queue(stream.begin(), stream.end());
    for (;;) {
        const std::size_t before = queue.size();
        kvr_loconet_msg msg;
        const uint8_t opcode = msg.take_from(queue);
        if (opcode != 0) {
            check(opcode == msg.opcode() && before - queue.size() == static_cast<std::size_t>(msg.length()));
            continue;
        }
        if (queue.size() == before - 1) continue;
        check(queue.size() == before);
        break;
    }
    if (queue.empty()) return;
    // What stays is the start of a message still arriving.
    check((queue.front() & 0x80) != 0);
    const int count = queue.size() > 1 ? queue[1] : -1;
    const int expected = kvr_expected_length(queue.front(), count);
    check(expected == 0 ? queue.size() < 2 : queue.size() < static_cast<std::size_t>(expected));
}

void check_stores(const kvr_reply_stores& port, const std::vector<kvr_loconet_msg>& messages) {
    std::map<uint8_t, kvr_loconet_msg> slots;
    std::map<uint8_t, const kvr_loconet_msg*> acks;
    std::map<uint16_t, uint8_t> addresses;
    for (const kvr_loconet_msg& m : messages) {
        // A throttle's speed, direction/F0-F4 or F5-F8 message changes the
        // slot as the command station keeps it (not the clock's or the
        // programmer's): the copy of its slot data follows.
        const bool follows = m.length() == 4 && m[1] != kvr_slot_fast_clock && m[1] != kvr_slot_programmer &&
                             (m.opcode() == OPC_LOCO_SPD || m.opcode() == OPC_LOCO_DIRF || m.opcode() == OPC_LOCO_SND);
        if (follows) {
            const int field = m.opcode() == OPC_LOCO_SPD    ? kvr_proto::slot_spd
                              : m.opcode() == OPC_LOCO_DIRF ? kvr_proto::slot_dirf
                                                            : kvr_proto::slot_snd;
            if (auto it = slots.find(m[1]); it != slots.end()) {
                it->second[field] = m[2];
                it->second.renew_checksum();
            }
        }
        if (m.opcode() == OPC_SL_RD_DATA && m.length() >= 14) {
            slots[m[2]] = m;
            // Slots 121-127 are the command station's (clock, programmer,
            // option switches): their bytes name no loco.
            if (m[2] <= 120) addresses[m.slot_address()] = m[2];
        } else if (m.opcode() == OPC_LONG_ACK) {
            acks[static_cast<uint8_t>(m[1] + 128)] = &m;
        }
    }
    for (int slot = 0; slot < 128; ++slot) {
        auto want = slots.find(static_cast<uint8_t>(slot));
        auto have = port.slot_data(static_cast<uint8_t>(slot));
        check(have.has_value() == (want != slots.end()));
        if (have) check(*have == want->second);
    }
    for (int opcode = 0x80; opcode < 0x100; ++opcode) {
        auto want = acks.find(static_cast<uint8_t>(opcode));
        auto have = port.ack_for(static_cast<uint8_t>(opcode));
        check(have.has_value() == (want != acks.end()));
        if (have) check(*have == *want->second);
    }
    for (const auto& [address, slot] : addresses) check(port.slot_of_address(address) == slot);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    // The cut points come first, then the bytes of the stream.
    const std::vector<uint8_t> cuts = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 16));
    const std::vector<uint8_t> stream = in.ConsumeRemainingBytes<uint8_t>();

    fuzz_port pieces;
    record_sink pieces_sink;
    pieces.add_listener(&pieces_sink);
    std::size_t at = 0;
    for (std::size_t i = 0; at < stream.size(); ++i) {
        const std::size_t n = cuts.empty() ? 1 : std::size_t{cuts[i % cuts.size()]} % 32 + 1;
        const std::size_t take = std::min(n, stream.size() - at);
        pieces.receive_bytes(stream.data() + at, take);
        at += take;
    }

    fuzz_port whole;
    record_sink whole_sink;
    whole.add_listener(&whole_sink);
    whole.receive_bytes(stream.data(), stream.size());

    check(pieces_sink.messages.size() == whole_sink.messages.size());
    for (std::size_t i = 0; i < whole_sink.messages.size(); ++i) {
        check_whole(whole_sink.messages[i]);
        check(pieces_sink.messages[i] == whole_sink.messages[i]);
    }
    check(pieces.receive_pending() == whole.receive_pending());
    check_stores(whole_sink.stores, whole_sink.messages);
    check_steps(stream);

    // Framed for sending, the same bytes make the same messages.
    std::deque<uint8_t> outgoing(stream.begin(), stream.end());
    kvr_frame_all(outgoing, [&whole](const kvr_loconet_msg& m) { whole.send(m, 0); });
    check(whole.sent.size() == whole_sink.messages.size());
    for (std::size_t i = 0; i < whole.sent.size(); ++i) check(whole.sent[i] == whole_sink.messages[i]);

    // With the station alone listening the stores are filled the same.
    fuzz_port blind;
    record_sink station;
    blind.add_listener(&station);
    blind.receive_bytes(stream.data(), stream.size());
    check_stores(station.stores, whole_sink.messages);
    return 0;
}
