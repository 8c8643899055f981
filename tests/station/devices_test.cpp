// Discovering devices and the programming exchanges of SV2, LNCV and the
// option switches against a scripted bus. Message layouts: PROTOCOL-FACTS.md
// (SV section) and PROTOCOL-MODERN.md §2 (LNCV), §3 (SV2), §4 (OpSw).

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "fake_link.h"
#include "loconet/kvr_device_msgs.h"
#include "station/kvr_devices.h"

namespace {

kvr_loconet_msg msg_of(const bytes& b) { return kvr_loconet_msg::with_checksum(b.data(), b.size() - 1); }

// An SV2 device and an LNCV module as the fact sheets describe them; each
// behaviour can be spoiled to play a device that answers wrongly.
struct bus_devices {
    // SV2 device
    uint16_t sv_dst = 3;
    kvr_sv2_identity sv_id{13, 1, 0x1234, 0x5678};
    std::map<uint16_t, uint8_t> svs;
    bool sv_silent = false;
    bool sv_ignores_writes = false;
    int sv_refuse = -1;  // B4 65 code answered instead of any reply
    bool sv_no_four = false;

    // LNCV module
    uint16_t article = 6861, module = 1;
    uint16_t answers_article = 6861;  // the article it puts in its replies
    std::map<uint16_t, uint16_t> lncvs;
    bool in_session = false;
    bool lncv_silent = false;
    int lncv_write_ack = 0x7F;
    bool lncv_keeps_old = false;  // acknowledges a write, keeps the old value
    int ends = 0;

    void answer(fake_link& link, const bytes& b) {
        const kvr_loconet_msg m = msg_of(b);
        if (auto sv = kvr_parse_sv2(m); sv && !kvr_sv2_is_reply(sv->cmd)) answer_sv(link, *sv);
        if (auto l = kvr_parse_lncv(m); l && !l->reply) answer_lncv(link, *l);
    }

    void reply_sv(fake_link& link, kvr_sv2_msg r) {
        r.cmd |= kvr_sv2::reply_bit;
        r.dst = sv_dst;
        link.deliver(bytes_of(kvr_build_sv2(r)));
    }

    void answer_sv(fake_link& link, const kvr_sv2_msg& q) {
        if (sv_silent) return;
        const bool to_me = q.dst == sv_dst || q.dst == kvr_sv2::broadcast;
        if (sv_refuse >= 0 && to_me) return link.deliver(long_ack(0xE5, uint8_t(sv_refuse)));
        kvr_sv2_msg r = q;
        switch (q.cmd) {
        case kvr_sv2::discover: kvr_sv2_set_identity(r, sv_id); return reply_sv(link, r);
        case kvr_sv2::identify:
            if (!to_me) return;
            kvr_sv2_set_identity(r, sv_id);
            return reply_sv(link, r);
        case kvr_sv2::change_address:
            if (kvr_sv2_identity_of(q) != sv_id) return;
            sv_dst = q.dst;
            return reply_sv(link, r);
        case kvr_sv2::write_one:
            if (!to_me) return;
            if (!sv_ignores_writes) svs[q.sv] = q.d[0];
            r.d[0] = svs[q.sv];
            return reply_sv(link, r);
        case kvr_sv2::write_four:
            if (!to_me) return;
            for (int i = 0; i < 4; ++i) svs[uint16_t(q.sv + i)] = q.d[i];
            return reply_sv(link, r);
        case kvr_sv2::read_one:
            if (!to_me) return;
            r.d[0] = svs[q.sv];
            return reply_sv(link, r);
        case kvr_sv2::read_four:
            if (!to_me) return;
            if (sv_no_four) return link.deliver(long_ack(0xE5, 0x2B));
            for (int i = 0; i < 4; ++i) r.d[i] = svs[uint16_t(q.sv + i)];
            return reply_sv(link, r);
        case kvr_sv2::reconfigure:
            if (to_me) reply_sv(link, r);
            return;
        default: return;
        }
    }

    void reply_lncv(fake_link& link, uint16_t cv, uint16_t value) {
        link.deliver(bytes_of(kvr_build_lncv(kvr_lncv_reply(answers_article, cv, value))));
    }

    void answer_lncv(fake_link& link, const kvr_lncv_msg& q) {
        const bool mine = q.article == article || q.article == kvr_lncv::all;
        if (!mine || lncv_silent) return;
        if (q.cmd == kvr_lncv::read && q.flags == kvr_lncv::flag_start &&
            (q.value == module || q.value == kvr_lncv::all)) {
            in_session = true;
            return reply_lncv(link, 0, module);
        }
        if (q.cmd == kvr_lncv::read && q.flags == kvr_lncv::flag_end && q.value == module) {
            in_session = false;
            ++ends;
            return;
        }
        if (!in_session) return;
        if (q.cmd == kvr_lncv::read && q.value == module)
            return reply_lncv(link, q.cv, q.cv == 0 ? module : lncvs[q.cv]);
        if (q.cmd == kvr_lncv::write) {
            if (lncv_write_ack == 0x7F && !lncv_keeps_old) lncvs[q.cv] = q.value;
            if (lncv_write_ack >= 0) link.deliver(long_ack(0xED, uint8_t(lncv_write_ack)));
        }
    }
};

class Devices : public Station {
protected:
    Devices() {
        link.on_send = [this](const bytes& m) {
            keeper.answer(link, m);
            on_bus.answer(link, m);
            if (board) board(m);
        };
    }
    // The first line of the failure's report: what the user reads first.
    template <class F>
    std::string failure_of(F&& call) {
        try {
            call();
        } catch (const kvr_exception& e) {
            return e.plain;
        }
        return "(no failure)";
    }
    template <class F>
    bool cancelled(F&& call) {
        try {
            call();
        } catch (const kvr_exception& e) {
            return e.message.find("\nCANCEL ") != std::string::npos;
        }
        return false;
    }

    bus_devices on_bus;
    std::function<void(const bytes&)> board;
    kvr_devices devices{station};
};

TEST_F(Devices, DiscoverFindsBothKindsAndEndsTheLncvSessionsItOpened) {
    const auto found = devices.do_discover({6861}, 2000);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(kvr_device_line(found[0]), "sv2 3 manufacturer 13 developer 1 product 4660 serial 22136");
    EXPECT_EQ(kvr_device_line(found[1]), "lncv 1 article 6861");
    // The SV2 broadcast, the LNCV discover for all and for 6861, then the end.
    ASSERT_EQ(link.sent.size(), 4u);
    EXPECT_EQ(hex(link.sent[0]), "E5 10 01 07 02 10 00 00 00 00 10 00 00 00 00 0E");
    EXPECT_EQ(*kvr_parse_lncv(msg_of(link.sent[3])), kvr_lncv_end(6861, 1));
    EXPECT_FALSE(on_bus.in_session);
    EXPECT_EQ(clock.units, (std::vector<unsigned>{2000}));
}

TEST_F(Devices, DiscoverCancelledStillEndsTheModulesThatAnswered) {
    abort.set();  // the user cancels while the answers are collected
    EXPECT_TRUE(cancelled([&] { devices.do_discover({}, 2000); }));
    EXPECT_FALSE(on_bus.in_session);
    EXPECT_EQ(on_bus.ends, 1);
}

TEST_F(Devices, SvWriteIsReadBackAndAWrongValueOrSilenceFails) {
    devices.do_sv_write(3, 10, 0x85);
    EXPECT_EQ(on_bus.svs[10], 0x85);
    EXPECT_EQ(link.sent.size(), 2u);  // the write, the read back
    EXPECT_EQ(kvr_parse_sv2(msg_of(link.sent[1]))->cmd, kvr_sv2::read_one);

    on_bus.sv_ignores_writes = true;
    EXPECT_EQ(failure_of([&] { devices.do_sv_write(3, 10, 7); }),
              "SV2 device 3: SV 10 read back 133 after writing 7");

    on_bus.sv_silent = true;
    restart();
    EXPECT_EQ(failure_of([&] { devices.do_sv_write(3, 10, 7); }), "SV2 device 3: SV 10: no answer");
    EXPECT_EQ(link.sent.size(), 2u);  // asked twice, never read back as if written

    // Four in one message, read back four at once.
    on_bus.sv_silent = false;
    on_bus.sv_ignores_writes = false;
    restart();
    devices.do_sv_write_four(3, 40, {1, 2, 0x80, 4});
    EXPECT_EQ(on_bus.svs[42], 0x80);
    ASSERT_EQ(link.sent.size(), 2u);
    EXPECT_EQ(kvr_parse_sv2(msg_of(link.sent[1]))->cmd, kvr_sv2::read_four);

    on_bus.sv_refuse = 0x2C;
    EXPECT_EQ(failure_of([&] { devices.do_sv_write(3, 10, 7); }), "SV2 device 3: SV 10: write failed (B4 65 2C)");
}

TEST_F(Devices, SvReadTakesFourAtATimeAndFallsBackToOne) {
    for (uint16_t i = 0; i < 6; ++i) on_bus.svs[uint16_t(20 + i)] = uint8_t(i * 3);
    EXPECT_EQ(devices.do_sv_read(3, 20, 6), (std::vector<uint8_t>{0, 3, 6, 9, 12, 15}));
    EXPECT_EQ(link.sent.size(), 3u);  // four, one, one
    on_bus.sv_no_four = true;
    restart();
    EXPECT_EQ(devices.do_sv_read(3, 20, 5), (std::vector<uint8_t>{0, 3, 6, 9, 12}));
    EXPECT_EQ(link.sent.size(), 6u);  // the refused four, then five single reads
    // An answer from another device never counts.
    on_bus.sv_dst = 4;
    EXPECT_EQ(failure_of([&] { devices.do_sv_read(3, 20); }), "SV2 device 3: SV 20: no answer");
}

TEST_F(Devices, SvChangeAddressIsCheckedAtTheNewAddress) {
    devices.do_sv_change_address(on_bus.sv_id, 9);
    EXPECT_EQ(on_bus.sv_dst, 9);
    EXPECT_EQ(devices.do_sv_identify(9), on_bus.sv_id);
    kvr_sv2_identity other = on_bus.sv_id;
    other.serial = 1;
    EXPECT_EQ(failure_of([&] { devices.do_sv_change_address(other, 10); }),
              "SV2 device serial 1 (product 4660): address 10: no answer");
    devices.do_sv_reconfigure(9);
}

TEST_F(Devices, LncvSessionsReadWriteAndAlwaysEnd) {
    on_bus.lncvs = {{1, 2}, {2, 40}};
    EXPECT_EQ(devices.do_lncv_read(6861, 1, 1, 2), (std::vector<uint16_t>{2, 40}));
    EXPECT_FALSE(on_bus.in_session);
    EXPECT_EQ(hex(link.sent[1]), "ED 0F 01 05 00 21 01 4D 1A 01 00 01 00 00 6E");  // PROTOCOL-MODERN.md §2
    devices.do_lncv_write(6861, 1, 2, 300);
    EXPECT_EQ(on_bus.lncvs[2], 300);
    EXPECT_FALSE(on_bus.in_session);
    EXPECT_EQ(on_bus.ends, 2);
}

TEST_F(Devices, LncvFailuresNameTheModuleAndStillEndTheSession) {
    const struct {
        std::function<void(bus_devices&)> spoil;
        std::string failure;
    } cases[] = {
        {[](bus_devices& d) { d.lncv_write_ack = 0x02; },
         "LNCV module 1 of article 6861: LNCV 2: write read-only (B4 6D 02)"},
        {[](bus_devices& d) { d.lncv_write_ack = -1; }, "LNCV module 1 of article 6861: LNCV 2: the write was not answered"},
        {[](bus_devices& d) { d.lncv_keeps_old = true; },
         "LNCV module 1 of article 6861: LNCV 2 read back 0 after writing 300"},
        {[](bus_devices& d) { d.answers_article = 6862; },
         "LNCV module 1 of article 6861: start of programming: answered by article 6862"},
        {[](bus_devices& d) { d.lncv_silent = true; }, "LNCV module 1 of article 6861: start of programming: no answer"},
    };
    for (const auto& c : cases) {
        on_bus = bus_devices{};
        c.spoil(on_bus);
        restart();
        EXPECT_EQ(failure_of([&] { devices.do_lncv_write(6861, 1, 2, 300); }), c.failure);
        // The last message on the bus ends the session, whatever went wrong.
        ASSERT_FALSE(link.sent.empty());
        EXPECT_EQ(*kvr_parse_lncv(msg_of(link.sent.back())), kvr_lncv_end(6861, 1)) << c.failure;
        EXPECT_FALSE(on_bus.in_session) << c.failure;
    }
}

TEST_F(Devices, LncvCancelInTheMiddleStillEndsTheSession) {
    on_bus.lncv_silent = false;
    // The module enters the session, then goes quiet; the user cancels
    // during the wait for the read.
    link.on_send = [this](const bytes& m) {
        on_bus.answer(link, m);
        if (on_bus.in_session) on_bus.lncv_silent = true;
    };
    clock.on_unit = [&](std::size_t) { abort.set(); };
    EXPECT_TRUE(cancelled([&] { devices.do_lncv_read(6861, 1, 5); }));
    EXPECT_EQ(*kvr_parse_lncv(msg_of(link.sent.back())), kvr_lncv_end(6861, 1));
}

// PROTOCOL-MODERN.md §4: read BB 7F 00, write EF with TRK 0 and ID 0,
// accepted B4 6F 7F, refused read B4 3B 00.
TEST_F(Devices, CommandStationOpswWriteReadsChangesWritesAndReadsBack) {
    keeper.put(with_checksum({0xE7, 0x0E, 0x7F, 0x10, 0, 0, 0, 0x47, 0, 0, 0, 0, 0}));
    link.on_send = [this](const bytes& m) {
        keeper.answer(link, m);
        if (m[0] == 0xEF) link.deliver(long_ack(0xEF, 0x7F));
    };
    devices.do_cs_opsw_write({{5, false}, {36, true}});
    EXPECT_EQ(sent(), (strings{"BB 7F 00 3B", w({0xEF, 0x0E, 0x7F, 0, 0, 0, 0, 0, 0x08, 0, 0, 0, 0}), "BB 7F 00 3B"}));

    // OpSw 8 falls on bit 7: refused before anything is sent.
    restart();
    EXPECT_EQ(failure_of([&] { devices.do_cs_opsw_write({{8, true}}); }),
              "command station: OpSw 8 cannot be written (1-128, not 8, 16, ... 128)");
    EXPECT_TRUE(link.sent.empty());
    // Slot 127 shows TRK 0x47 (bit 6): slot 126 is there.
    keeper.put(with_checksum({0xE7, 0x0E, 0x7F, 0, 0, 0, 0, 0x47, 0, 0, 0, 0, 0}));
    keeper.put(with_checksum({0xE7, 0x0E, 0x7E, 0, 0, 0, 0, 0x47, 0, 0, 0, 0, 0}));
    EXPECT_EQ(devices.do_cs_opsw_read(126)[2], 0x7E);
}

TEST_F(Devices, CommandStationOpswFailures) {
    // A station that takes the write but keeps its switches.
    keeper.put(with_checksum({0xE7, 0x0E, 0x7F, 0, 0, 0, 0, 0x07, 0, 0, 0, 0, 0}));
    link.on_send = [this](const bytes& m) {
        if (m[0] == 0xBB) link.deliver(keeper.slots[0x7F]);
        if (m[0] == 0xEF) link.deliver(long_ack(0xEF, 0x7F));
    };
    EXPECT_EQ(failure_of([&] { devices.do_cs_opsw_write({{2, true}}); }),
              "command station: OpSw 2 read back thrown after writing closed");
    EXPECT_EQ(failure_of([&] { devices.do_cs_opsw_read(126); }),
              "command station: option switches 65-128: not offered (no expanded slots)");
    link.on_send = [this](const bytes& m) {
        if (m[0] == 0xBB) link.deliver(long_ack(0xBB, 0x00));
    };
    EXPECT_EQ(failure_of([&] { devices.do_cs_opsw_read(); }),
              "command station: option switches (slot 127): read refused (B4 3B 00)");
    link.on_send = {};
    restart();
    EXPECT_EQ(failure_of([&] { devices.do_cs_opsw_read(); }),
              "command station: option switches (slot 127): no answer");
}

// PROTOCOL-MODERN.md §4 boards: 0.5 s wait, two retries, 20 ms apart.
TEST_F(Devices, BoardOpswRetriesTwiceAndWritesAreReadBack) {
    EXPECT_EQ(failure_of([&] { devices.do_board_opsw_read(kvr_board::occupancy_detector, 1, 3); }),
              "occupancy detector board 1: OpSw 3: no answer");
    EXPECT_EQ(sent(), (strings(3, "D0 62 00 71 04 38")));
    EXPECT_EQ(clock.units, (std::vector<unsigned>{500, 20, 500, 20, 500}));

    bool closed = false;
    board = [&](const bytes& m) {
        const auto q = kvr_parse_board_opsw(msg_of(m));
        if (!q) return;
        if (q->write) closed = q->closed;
        link.deliver(with_checksum({0xB4, 0x50, uint8_t(q->write ? 0x7F : closed ? 0x20 : 0x00)}));
    };
    devices.do_board_opsw_write(kvr_board::occupancy_detector, 1, 3, true);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(devices.do_board_opsw_read(kvr_board::occupancy_detector, 1, 3));
    // A board that says done but keeps the switch fails.
    board = [&](const bytes& m) {
        const auto q = kvr_parse_board_opsw(msg_of(m));
        if (q) link.deliver(with_checksum({0xB4, 0x00, uint8_t(q->write ? 0x7F : 0x00)}));
    };
    EXPECT_EQ(failure_of([&] { devices.do_board_opsw_write(kvr_board::signal_board, 2, 1, true); }),
              "signal board 2: OpSw 1 read back thrown after writing closed");
}

}  // namespace
