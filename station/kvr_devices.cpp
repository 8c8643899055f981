#include "station/kvr_devices.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "foundation/kvr_exception.h"
#include "station/kvr_dccx_loconet.h"

namespace {

constexpr const char* source_name = "kvr_devices";

// The answer's own words are the report's first line: what was asked of
// which device and what came back.
[[noreturn]] void fail(const std::string& what) {
    kvr_exception e(what, 0, source_name, __LINE__);
    e.plain = what;
    throw e;
}

__attribute__((format(printf, 1, 2))) std::string text_of(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

std::string sv_device(uint16_t dst) {
    return dst == kvr_sv2::broadcast ? std::string("SV2 devices (broadcast)") : text_of("SV2 device %u", unsigned(dst));
}

std::string lncv_module(uint16_t article, uint16_t module) {
    return text_of("LNCV module %u of article %u", unsigned(module), unsigned(article));
}

std::string board_name(uint8_t type, uint16_t board) {
    const std::string kind = kvr_board_type_name(type);
    const bool says_board = kind.size() >= 5 && kind.compare(kind.size() - 5, 5, "board") == 0;
    return text_of("%s%s %u", kind.c_str(), says_board ? "" : " board", unsigned(board));
}

const char* lncv_ack_words(uint8_t code) {
    switch (code) {
    case kvr_lncv::ack_unsupported: return "not supported";
    case kvr_lncv::ack_read_only: return "read-only";
    case kvr_lncv::ack_out_of_range: return "value out of range";
    default: return "refused";
    }
}

// SV2 errors come as OPC_LONG_ACK for OPC_PEER_XFER: 2B not implemented,
// 2C write failed.
const char* sv_ack_words(uint8_t code) {
    switch (code) {
    case 0x2B: return "not implemented";
    case 0x2C: return "write failed";
    default: return "refused";
    }
}

std::string on_off(bool closed) { return closed ? "closed" : "thrown"; }

// The TRK byte's bit 6 in slot 127: the station has expanded slots and
// with them OpSw 65-128 in slot 126.
constexpr uint8_t trk_expanded = 0x40;

}  // namespace

std::optional<kvr_device_found> kvr_device_from_answer(const kvr_loconet_msg& msg) {
    if (msg.opcode() != OPC_PEER_XFER) return std::nullopt;
    if (auto sv = kvr_parse_sv2(msg)) {
        if (sv->cmd != 0x47 && sv->cmd != 0x48 && sv->cmd != 0x49) return std::nullopt;
        kvr_device_found d;
        d.kind = kvr_device_found::protocol::sv2;
        d.address = sv->dst;
        d.identity = kvr_sv2_identity_of(*sv);
        // A change-address reply of all zeros asks for a reconfigure first:
        // it names no device.
        if (d.identity == kvr_sv2_identity{}) return std::nullopt;
        return d;
    }
    if (auto l = kvr_parse_lncv(msg)) {
        if (!l->reply || l->cmd != kvr_lncv::read_reply || l->cv != 0) return std::nullopt;
        kvr_device_found d;
        d.kind = kvr_device_found::protocol::lncv;
        d.address = l->value;
        d.article = l->article;
        return d;
    }
    return std::nullopt;
}

std::string kvr_device_line(const kvr_device_found& d) {
    if (d.kind == kvr_device_found::protocol::lncv)
        return text_of("lncv %u article %u", unsigned(d.address), unsigned(d.article));
    return text_of("sv2 %u manufacturer %u developer %u product %u serial %u", unsigned(d.address),
                  unsigned(d.identity.manufacturer), unsigned(d.identity.developer), unsigned(d.identity.product),
                  unsigned(d.identity.serial));
}

kvr_devices::kvr_devices(kvr_dccx_loconet& station, kvr_device_timing timing)
    : station_(station), timing_(timing) {}

std::vector<kvr_loconet_msg> kvr_devices::answers_since(uint64_t mark) const {
    return station_.with_stores([&](kvr_reply_stores& s) { return s.device_answers_since(mark); });
}

uint64_t kvr_devices::mark_forgetting(uint8_t ack_opcode) const {
    return station_.with_stores([&](kvr_reply_stores& s) {
        if (ack_opcode) s.forget_ack(ack_opcode);
        return s.device_mark();
    });
}

std::optional<kvr_loconet_msg> kvr_devices::ack_for(uint8_t opcode) const {
    return station_.with_stores([&](kvr_reply_stores& s) { return s.ack_for(opcode); });
}

bool kvr_devices::await(const std::function<bool()>& done, unsigned ms) {
    if (done()) return true;
    station_.wait_until(ms, done);
    return done();
}

// ---------------------------------------------------------------------------
// Discover

std::vector<kvr_device_found> kvr_devices::do_discover(const std::vector<uint16_t>& articles, unsigned wait_ms,
                                                       bool lncv) {
    std::vector<kvr_device_found> found;
    uint64_t mark = 0;
    // Every LNCV module that answered a discover is in programming mode
    // until it is sent the end: also when the wait was cancelled.
    const auto collect_and_end = [&] {
        const auto answers = station_.with_stores([&](kvr_reply_stores& s) { return s.device_answers_since(mark); });
        for (const kvr_loconet_msg& m : answers) {
            const std::optional<kvr_device_found> d = kvr_device_from_answer(m);
            if (!d || std::find(found.begin(), found.end(), *d) != found.end()) continue;
            found.push_back(*d);
            if (d->kind == kvr_device_found::protocol::lncv)
                station_.send_unwithdrawn(kvr_build_lncv(kvr_lncv_end(d->article, d->address)));
        }
    };
    station_.run_operation("kvr_devices::do_discover()", [&] {
        mark = station_.with_stores([](kvr_reply_stores& s) { return s.device_mark(); });
        station_.send_message(kvr_build_sv2(kvr_sv2_discover()));
        if (lncv) {
            station_.send_message(kvr_build_lncv(kvr_lncv_discover(kvr_lncv::all)));
            for (uint16_t a : articles)
                if (a != kvr_lncv::all) station_.send_message(kvr_build_lncv(kvr_lncv_discover(a)));
        }
        try {
            station_.wait_until(wait_ms, [] { return false; });
        } catch (...) {
            collect_and_end();
            station_.wait_sent(500);
            throw;
        }
        collect_and_end();
    });
    return found;
}

// ---------------------------------------------------------------------------
// SV2

// One request and its reply: the reply command from the device asked (any
// device for a broadcast), for the SV asked where the reply carries one.
// Sent again once when nothing came; a refusal fails at once.
kvr_sv2_msg kvr_devices::sv_exchange(const kvr_sv2_msg& request, uint8_t reply_cmd, const std::string& what,
                                      const std::string& who_given) {
    const std::string who = who_given.empty() ? sv_device(request.dst) : who_given;
    const bool broadcast = request.dst == kvr_sv2::broadcast;
    const bool by_sv = !kvr_sv2_carries_identity(reply_cmd);
    for (unsigned attempt = 0; attempt < timing_.tries; ++attempt) {
        const uint64_t mark = mark_forgetting(OPC_PEER_XFER);
        station_.send_message(kvr_build_sv2(request));
        std::optional<kvr_sv2_msg> reply;
        std::optional<kvr_loconet_msg> refusal;
        const auto done = [&] {
            for (const kvr_loconet_msg& m : answers_since(mark)) {
                const std::optional<kvr_sv2_msg> sv = kvr_parse_sv2(m);
                if (sv && sv->cmd == reply_cmd && (broadcast || sv->dst == request.dst) &&
                    (!by_sv || sv->sv == request.sv)) {
                    reply = sv;
                    return true;
                }
            }
            refusal = ack_for(OPC_PEER_XFER);
            return refusal.has_value();
        };
        await(done, timing_.reply_ms);
        if (reply) return *reply;
        if (refusal)
            fail(text_of("%s: %s: %s (B4 65 %02X)", who.c_str(), what.c_str(),
                        sv_ack_words((*refusal)[2]), unsigned((*refusal)[2])));
    }
    fail(who + ": " + what + ": no answer");
}

std::vector<uint8_t> kvr_devices::do_sv_read(uint16_t dst, uint16_t sv, unsigned count) {
    std::vector<uint8_t> values;
    station_.run_operation("kvr_devices::do_sv_read()", [&] {
        bool four_refused = false;
        while (values.size() < count) {
            const uint16_t at = uint16_t(sv + values.size());
            const unsigned left = count - unsigned(values.size());
            if (left >= 4 && !four_refused) {
                try {
                    const kvr_sv2_msg r = sv_exchange(kvr_sv2_read(dst, at, true), 0x46, text_of("SV %u-%u", unsigned(at), unsigned(at) + 3));
                    values.insert(values.end(), r.d, r.d + 4);
                    continue;
                } catch (const kvr_exception& e) {
                    // A device without the four-SV read says "not
                    // implemented"; read it one SV at a time instead.
                    if (e.plain.find("not implemented") == std::string::npos) throw;
                    four_refused = true;
                }
            }
            const kvr_sv2_msg r = sv_exchange(kvr_sv2_read(dst, at), 0x42, text_of("SV %u", unsigned(at)));
            values.push_back(r.d[0]);
        }
    });
    return values;
}

void kvr_devices::do_sv_write(uint16_t dst, uint16_t sv, uint8_t value) {
    station_.run_operation("kvr_devices::do_sv_write()", [&] { sv_write(dst, sv, {value}); });
}

void kvr_devices::do_sv_write_four(uint16_t dst, uint16_t sv, const std::array<uint8_t, 4>& values) {
    station_.run_operation("kvr_devices::do_sv_write_four()",
                           [&] { sv_write(dst, sv, std::vector<uint8_t>(values.begin(), values.end())); });
}

// One SV (01, read back by 02) or four (05, read back by 06).
void kvr_devices::sv_write(uint16_t dst, uint16_t sv, const std::vector<uint8_t>& values) {
    const bool four = values.size() == 4;
    const std::string what =
        four ? text_of("SV %u-%u", unsigned(sv), unsigned(sv) + 3) : text_of("SV %u", unsigned(sv));
    const uint8_t read_reply = four ? 0x46 : 0x42;
    const auto check = [&](const kvr_sv2_msg& back) {
        for (std::size_t i = 0; i < values.size(); ++i)
            if (back.d[i] != values[i])
                fail(text_of("%s: SV %u read back %u after writing %u", sv_device(back.dst).c_str(),
                             unsigned(sv + i), unsigned(back.d[i]), unsigned(values[i])));
    };
    sv_exchange(four ? kvr_sv2_write_four(dst, sv, values.data()) : kvr_sv2_write(dst, sv, values[0]),
                four ? 0x45 : 0x41, what);
    if (dst != kvr_sv2::broadcast) {
        check(sv_exchange(kvr_sv2_read(dst, sv, four), read_reply, what));
        return;
    }
    // Written to every device: each one that answers the read must show
    // the values, and at least one must answer.
    const uint64_t mark = mark_forgetting(0);
    station_.send_message(kvr_build_sv2(kvr_sv2_read(dst, sv, four)));
    station_.wait_until(timing_.reply_ms, [] { return false; });
    unsigned answered = 0;
    for (const kvr_loconet_msg& m : answers_since(mark)) {
        const std::optional<kvr_sv2_msg> r = kvr_parse_sv2(m);
        if (!r || r->cmd != read_reply || r->sv != sv) continue;
        ++answered;
        check(*r);
    }
    if (answered == 0) fail(sv_device(dst) + ": " + what + ": no device answered the read back");
}

kvr_sv2_identity kvr_devices::do_sv_identify(uint16_t dst) {
    kvr_sv2_identity id;
    station_.run_operation("kvr_devices::do_sv_identify()", [&] {
        id = kvr_sv2_identity_of(sv_exchange(kvr_sv2_identify(dst), 0x48, "identify"));
    });
    return id;
}

void kvr_devices::do_sv_change_address(const kvr_sv2_identity& id, uint16_t new_dst) {
    station_.run_operation("kvr_devices::do_sv_change_address()", [&] {
        const std::string who = text_of("SV2 device serial %u (product %u)", unsigned(id.serial), unsigned(id.product));
        const std::string what = text_of("address %u", unsigned(new_dst));
        const kvr_sv2_msg r = sv_exchange(kvr_sv2_change_address(new_dst, id), 0x49, what, who);
        if (kvr_sv2_identity_of(r) == kvr_sv2_identity{})
            fail(text_of("%s: %s: the device asks for a reconfigure before the address takes effect "
                        "(sv reconfigure %u)",
                        who.c_str(), what.c_str(), unsigned(new_dst)));
        const kvr_sv2_identity back = kvr_sv2_identity_of(sv_exchange(kvr_sv2_identify(new_dst), 0x48, what, who));
        if (back != id)
            fail(text_of("%s: %s: identify there answered serial %u product %u", who.c_str(), what.c_str(),
                        unsigned(back.serial), unsigned(back.product)));
    });
}

void kvr_devices::do_sv_reconfigure(uint16_t dst) {
    station_.run_operation("kvr_devices::do_sv_reconfigure()",
                           [&] { sv_exchange(kvr_sv2_reconfigure(dst), 0x4F, "reconfigure"); });
}

// ---------------------------------------------------------------------------
// LNCV

// A read reply for `cv`; one of another article fails.
uint16_t kvr_devices::lncv_read_one(uint16_t article, uint16_t module, uint16_t cv, bool start) {
    const std::string who = lncv_module(article, module);
    const std::string what = start ? std::string("start of programming") : text_of("LNCV %u", unsigned(cv));
    for (unsigned attempt = 0; attempt < timing_.tries; ++attempt) {
        const uint64_t mark = mark_forgetting(OPC_IMM_PACKET);
        station_.send_message(kvr_build_lncv(start ? kvr_lncv_start(article, module) : kvr_lncv_read(article, module, cv)));
        std::optional<kvr_lncv_msg> reply;
        std::optional<kvr_loconet_msg> refusal;
        const auto done = [&] {
            for (const kvr_loconet_msg& m : answers_since(mark)) {
                const std::optional<kvr_lncv_msg> l = kvr_parse_lncv(m);
                if (l && l->reply && l->cmd == kvr_lncv::read_reply && l->cv == cv) {
                    reply = l;
                    return true;
                }
            }
            refusal = ack_for(OPC_IMM_PACKET);
            return refusal.has_value() && (*refusal)[2] != kvr_lncv::ack_ok;
        };
        await(done, timing_.reply_ms);
        if (reply) {
            if (reply->article != article)
                fail(text_of("%s: %s: answered by article %u", who.c_str(), what.c_str(), unsigned(reply->article)));
            if (start && module != kvr_lncv::all && reply->value != module)
                fail(text_of("%s: %s: answered by module %u", who.c_str(), what.c_str(), unsigned(reply->value)));
            return reply->value;
        }
        if (refusal && (*refusal)[2] != kvr_lncv::ack_ok)
            fail(text_of("%s: %s: %s (B4 6D %02X)", who.c_str(), what.c_str(), lncv_ack_words((*refusal)[2]),
                        unsigned((*refusal)[2])));
    }
    fail(who + ": " + what + ": no answer");
}

// Start, `body`, end. The end goes out whatever happened in between, and
// before a failure is passed on it is given time to leave the queue: a
// module left in programming mode stops doing its job on the layout.
void kvr_devices::lncv_session(uint16_t article, uint16_t module, const std::function<void()>& body) {
    const kvr_loconet_msg end = kvr_build_lncv(kvr_lncv_end(article, module));
    try {
        lncv_read_one(article, module, 0, true);
        body();
    } catch (...) {
        station_.send_unwithdrawn(end);
        station_.wait_sent(500);
        throw;
    }
    station_.send_unwithdrawn(end);
}

std::vector<uint16_t> kvr_devices::do_lncv_read(uint16_t article, uint16_t module, uint16_t cv, unsigned count,
                                                const lncv_progress& progress) {
    std::vector<uint16_t> values;
    station_.run_operation("kvr_devices::do_lncv_read()", [&] {
        lncv_session(article, module, [&] {
            for (unsigned i = 0; i < count; ++i) {
                const auto n = uint16_t(cv + i);
                values.push_back(lncv_read_one(article, module, n, false));
                if (progress) progress(n, values.back());
            }
        });
    });
    return values;
}

void kvr_devices::do_lncv_write(uint16_t article, uint16_t module, uint16_t cv, uint16_t value) {
    station_.run_operation("kvr_devices::do_lncv_write()", [&] {
        lncv_session(article, module, [&] {
            const std::string who = lncv_module(article, module);
            std::optional<kvr_loconet_msg> ack;
            for (unsigned attempt = 0; attempt < timing_.tries && !ack; ++attempt) {
                mark_forgetting(OPC_IMM_PACKET);
                station_.send_message(kvr_build_lncv(kvr_lncv_write(article, cv, value)));
                await([&] { return (ack = ack_for(OPC_IMM_PACKET)).has_value(); }, timing_.reply_ms);
            }
            if (!ack) fail(text_of("%s: LNCV %u: the write was not answered", who.c_str(), unsigned(cv)));
            if ((*ack)[2] != kvr_lncv::ack_ok)
                fail(text_of("%s: LNCV %u: write %s (B4 6D %02X)", who.c_str(), unsigned(cv),
                            lncv_ack_words((*ack)[2]), unsigned((*ack)[2])));
            const uint16_t back = lncv_read_one(article, module, cv, false);
            if (back != value)
                fail(text_of("%s: LNCV %u read back %u after writing %u", who.c_str(), unsigned(cv), unsigned(back),
                            unsigned(value)));
        });
    });
}

// ---------------------------------------------------------------------------
// Command-station option switches

// The slot's data, asked for twice; a refusal (B4 3B 00) fails.
kvr_loconet_msg kvr_devices::cs_slot(uint8_t slot) {
    for (unsigned attempt = 0; attempt < timing_.tries; ++attempt) {
        station_.with_stores([&](kvr_reply_stores& s) {
            s.forget_slot(slot);
            s.forget_ack(OPC_RQ_SL_DATA);
        });
        station_.send_message(kvr_build_cs_opsw_read(slot));
        std::optional<kvr_loconet_msg> data, refusal;
        await(
            [&] {
                data = station_.with_stores([&](kvr_reply_stores& s) { return s.slot_data(slot); });
                refusal = ack_for(OPC_RQ_SL_DATA);
                return data.has_value() || refusal.has_value();
            },
            timing_.reply_ms);
        if (data) return *data;
        if (refusal)
            fail(text_of("command station: option switches (slot %u): read refused (B4 3B %02X)", unsigned(slot),
                        unsigned((*refusal)[2])));
    }
    fail(text_of("command station: option switches (slot %u): no answer", unsigned(slot)));
}

kvr_loconet_msg kvr_devices::do_cs_opsw_read(uint8_t slot) {
    kvr_loconet_msg data;
    station_.run_operation("kvr_devices::do_cs_opsw_read()", [&] {
        if (slot == kvr_slot_opsw_ext && !(cs_slot(kvr_slot_opsw)[kvr_proto::slot_trk] & trk_expanded))
            fail("command station: option switches 65-128: not offered (no expanded slots)");
        data = cs_slot(slot);
    });
    return data;
}

void kvr_devices::do_cs_opsw_write(const std::vector<std::pair<int, bool>>& changes) {
    station_.run_operation("kvr_devices::do_cs_opsw_write()", [&] {
        for (const auto& [n, closed] : changes)
            if (!kvr_cs_opsw_writable(n))
                fail(text_of("command station: OpSw %d cannot be written (1-128, not 8, 16, ... 128)", n));
        for (uint8_t slot : {kvr_slot_opsw, kvr_slot_opsw_ext}) {
            std::vector<std::pair<int, bool>> here;
            for (const auto& c : changes)
                if (kvr_cs_opsw_slot(c.first) == slot) here.push_back(c);
            if (here.empty()) continue;
            if (slot == kvr_slot_opsw_ext && !(cs_slot(kvr_slot_opsw)[kvr_proto::slot_trk] & trk_expanded))
                fail("command station: option switches 65-128: not offered (no expanded slots)");
            kvr_loconet_msg data = cs_slot(slot);
            for (const auto& [n, closed] : here) kvr_cs_opsw_set(data, n, closed);
            station_.with_stores([](kvr_reply_stores& s) { s.forget_ack(OPC_WR_SL_DATA); });
            station_.send_message(kvr_build_cs_opsw_write(data));
            std::optional<kvr_loconet_msg> ack;
            await([&] { return (ack = ack_for(OPC_WR_SL_DATA)).has_value(); }, timing_.reply_ms * timing_.tries);
            const std::string what = text_of("command station: option switches (slot %u)", unsigned(slot));
            if (!ack) fail(what + ": the write was not answered");
            if ((*ack)[2] != 0x7F) fail(text_of("%s: write refused (B4 6F %02X)", what.c_str(), unsigned((*ack)[2])));
            const kvr_loconet_msg back = cs_slot(slot);
            for (const auto& [n, closed] : here)
                if (kvr_cs_opsw_get(back, n) != closed)
                    fail(text_of("command station: OpSw %d read back %s after writing %s", n,
                                on_off(!closed).c_str(), on_off(closed).c_str()));
        }
    });
}

// ---------------------------------------------------------------------------
// Board option switches

// The board's answer to one OpSw request: the request and two retries, each
// waited for half a second, 20 ms apart.
std::optional<kvr_loconet_msg> kvr_devices::board_answer(const kvr_board_opsw_msg& m) {
    for (unsigned attempt = 0; attempt < timing_.board_tries; ++attempt) {
        if (attempt > 0) station_.wait_until(timing_.board_gap_ms, [] { return false; });
        station_.with_stores([](kvr_reply_stores& s) {
            s.forget_ack(OPC_MULTI_SENSE);
            s.forget_ack(0x80);  // B4 00 vv: the other form of the answer
        });
        station_.send_message(kvr_build_board_opsw(m));
        std::optional<kvr_loconet_msg> ack;
        const auto done = [&] {
            ack = ack_for(OPC_MULTI_SENSE);
            if (!ack) ack = ack_for(0x80);
            return ack.has_value();
        };
        if (await(done, timing_.board_wait_ms)) return ack;
    }
    return std::nullopt;
}

bool kvr_devices::do_board_opsw_read(uint8_t type, uint16_t board, uint8_t opsw) {
    bool closed = false;
    station_.run_operation("kvr_devices::do_board_opsw_read()", [&] {
        const std::optional<kvr_loconet_msg> a = board_answer({false, type, board, opsw, false});
        if (!a) fail(text_of("%s: OpSw %u: no answer", board_name(type, board).c_str(), unsigned(opsw)));
        closed = kvr_parse_board_opsw_answer(*a)->closed;
    });
    return closed;
}

void kvr_devices::do_board_opsw_write(uint8_t type, uint16_t board, uint8_t opsw, bool closed) {
    station_.run_operation("kvr_devices::do_board_opsw_write()", [&] {
        const std::string who = board_name(type, board);
        const std::optional<kvr_loconet_msg> a = board_answer({true, type, board, opsw, closed});
        if (!a) fail(text_of("%s: OpSw %u: the write was not answered", who.c_str(), unsigned(opsw)));
        if (!kvr_parse_board_opsw_answer(*a)->write_done)
            fail(text_of("%s: OpSw %u: write not done (B4 %02X %02X)", who.c_str(), unsigned(opsw), unsigned((*a)[1]),
                        unsigned((*a)[2])));
        station_.wait_until(timing_.board_gap_ms, [] { return false; });
        const std::optional<kvr_loconet_msg> back = board_answer({false, type, board, opsw, false});
        if (!back) fail(text_of("%s: OpSw %u: the read back was not answered", who.c_str(), unsigned(opsw)));
        if (kvr_parse_board_opsw_answer(*back)->closed != closed)
            fail(text_of("%s: OpSw %u read back %s after writing %s", who.c_str(), unsigned(opsw),
                        on_off(!closed).c_str(), on_off(closed).c_str()));
    });
}
