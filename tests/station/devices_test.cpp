// Discovering devices and the programming exchanges of SV2, LNCV and the
// option switches against a scripted bus. Message layouts: PROTOCOL-FACTS.md
// (SV section) and PROTOCOL-MODERN.md §2 (LNCV), §3 (SV2), §4 (OpSw).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_link.h"
#include "loconet/kvr_device_msgs.h"
#include "sim/kvr_sim_devices.h"
#include "station/kvr_devices.h"

namespace {

kvr_loconet_msg msg_of(const bytes& b) { return kvr_loconet_msg::with_checksum(b.data(), b.size() - 1); }

// The simulated devices (SV2 device 3, LNCV article 6861 module 1; see
// sim/kvr_sim_devices.h), each spoiler playing a device that answers wrongly.
struct spoiled_devices {
    kvr_sim_devices model;
    bool silent = false;          // nothing answers
    bool keeps_values = false;    // a write is answered as done, the old value kept
    int lncv_write_ack = -2;      // -2 the model's answer; -1 none; else this code, the value kept
    uint16_t article_said = 0;    // not 0: LNCV replies name this article
    bool no_four = false;         // SV2 read four: "not implemented"
    int ends = 0;                 // LNCV ends heard

    void answer(fake_link& link, const bytes& b) {
        const kvr_loconet_msg m = msg_of(b);
        const std::optional<kvr_sv2_msg> sv = kvr_parse_sv2(m);
        const std::optional<kvr_lncv_msg> l = kvr_parse_lncv(m);
        if (l && !l->reply && l->flags == kvr_lncv::flag_end) ++ends;
        if (silent) return;
        if (sv && no_four && sv->cmd == kvr_sv2::read_four) return link.deliver(long_ack(0xE5, 0x2B));
        if (sv && keeps_values && sv->cmd == kvr_sv2::write_one) {
            kvr_sv2_msg r = *sv;
            r.cmd |= kvr_sv2::reply_bit;
            r.d[0] = model.sv(sv->sv);
            return link.deliver(bytes_of(kvr_build_sv2(r)));
        }
        if (l && l->cmd == kvr_lncv::write && (keeps_values || lncv_write_ack != -2)) {
            const int code = keeps_values ? 0x7F : lncv_write_ack;
            if (code >= 0) link.deliver(long_ack(0xED, uint8_t(code)));
            return;
        }
        for (kvr_loconet_msg a : model.hear(m)) {
            if (auto r = kvr_parse_lncv(a); r && r->reply && article_said) {
                r->article = article_said;
                a = kvr_build_lncv(*r);
            }
            link.deliver(bytes_of(a));
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
    bool last_sent_ends_the_session() const {
        return !link.sent.empty() && kvr_parse_lncv(msg_of(link.sent.back())) == kvr_lncv_end(6861, 1);
    }

    spoiled_devices on_bus;
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
    EXPECT_TRUE(last_sent_ends_the_session());
    EXPECT_FALSE(on_bus.model.lncv_programming());
    EXPECT_EQ(clock.units, (std::vector<unsigned>{2000}));
}

TEST_F(Devices, DiscoverCancelledStillEndsTheModulesThatAnswered) {
    abort.set();  // the user cancels while the answers are collected
    EXPECT_TRUE(cancelled([&] { devices.do_discover({}, 2000); }));
    EXPECT_FALSE(on_bus.model.lncv_programming());
    EXPECT_EQ(on_bus.ends, 1);
}

TEST_F(Devices, SvWriteIsReadBackAndAWrongValueOrSilenceFails) {
    devices.do_sv_write(3, 10, 0x85);
    EXPECT_EQ(on_bus.model.sv(10), 0x85);
    EXPECT_EQ(link.sent.size(), 2u);  // the write, the read back
    EXPECT_EQ(kvr_parse_sv2(msg_of(link.sent[1]))->cmd, kvr_sv2::read_one);

    on_bus.keeps_values = true;
    EXPECT_EQ(failure_of([&] { devices.do_sv_write(3, 10, 7); }),
              "SV2 device 3: SV 10 read back 133 after writing 7");

    on_bus.silent = true;
    restart();
    EXPECT_EQ(failure_of([&] { devices.do_sv_write(3, 10, 7); }), "SV2 device 3: SV 10: no answer");
    EXPECT_EQ(link.sent.size(), 2u);  // asked twice, never read back as if written

    // Four in one message, read back four at once.
    on_bus = spoiled_devices{};
    restart();
    devices.do_sv_write_four(3, 40, {1, 2, 0x80, 4});
    EXPECT_EQ(on_bus.model.sv(42), 0x80);
    ASSERT_EQ(link.sent.size(), 2u);
    EXPECT_EQ(kvr_parse_sv2(msg_of(link.sent[1]))->cmd, kvr_sv2::read_four);

    // SV 0 is read-only in the simulated device.
    EXPECT_EQ(failure_of([&] { devices.do_sv_write(3, 0, 7); }), "SV2 device 3: SV 0: write failed (B4 65 2C)");
}

TEST_F(Devices, SvReadTakesFourAtATimeAndFallsBackToOne) {
    EXPECT_EQ(devices.do_sv_read(3, 0, 6), (std::vector<uint8_t>{1, 3, 0, 0, 0, 0}));
    EXPECT_EQ(link.sent.size(), 3u);  // four, one, one
    on_bus.no_four = true;
    restart();
    EXPECT_EQ(devices.do_sv_read(3, 0, 5), (std::vector<uint8_t>{1, 3, 0, 0, 0}));
    EXPECT_EQ(link.sent.size(), 6u);  // the refused four, then five single reads
    // Nobody at 4: device 3's answers never count.
    EXPECT_EQ(failure_of([&] { devices.do_sv_read(4, 1); }), "SV2 device 4: SV 1: no answer");
}

TEST_F(Devices, SvChangeAddressIsCheckedAtTheNewAddress) {
    const kvr_sv2_identity id = kvr_sim_devices::sv2_identity;
    devices.do_sv_change_address(id, 9);
    EXPECT_EQ(on_bus.model.sv2_address(), 9);
    EXPECT_EQ(devices.do_sv_identify(9), id);
    kvr_sv2_identity other = id;
    other.serial = 1;
    EXPECT_EQ(failure_of([&] { devices.do_sv_change_address(other, 10); }),
              "SV2 device serial 1 (product 4660): address 10: no answer");
    devices.do_sv_reconfigure(9);
}

TEST_F(Devices, LncvSessionsReadWriteAndAlwaysEnd) {
    EXPECT_EQ(devices.do_lncv_read(6861, 1, 1, 2), (std::vector<uint16_t>{2, 0}));
    EXPECT_FALSE(on_bus.model.lncv_programming());
    EXPECT_EQ(hex(link.sent[1]), "ED 0F 01 05 00 21 01 4D 1A 01 00 01 00 00 6E");  // PROTOCOL-MODERN.md §2
    devices.do_lncv_write(6861, 1, 2, 200);
    EXPECT_EQ(on_bus.model.lncv(2), 200);
    EXPECT_FALSE(on_bus.model.lncv_programming());
    EXPECT_EQ(on_bus.ends, 2);
}

TEST_F(Devices, LncvFailuresNameTheModuleAndStillEndTheSession) {
    const struct {
        std::function<void(spoiled_devices&)> spoil;
        uint16_t lncv;
        std::string failure;
    } cases[] = {
        {[](spoiled_devices&) {}, 15, "LNCV module 1 of article 6861: LNCV 15: write read-only (B4 6D 02)"},
        {[](spoiled_devices& d) { d.lncv_write_ack = -1; }, 2,
         "LNCV module 1 of article 6861: LNCV 2: the write was not answered"},
        {[](spoiled_devices& d) { d.keeps_values = true; }, 2,
         "LNCV module 1 of article 6861: LNCV 2 read back 0 after writing 100"},
        {[](spoiled_devices& d) { d.article_said = 6862; }, 2,
         "LNCV module 1 of article 6861: start of programming: answered by article 6862"},
        {[](spoiled_devices& d) { d.silent = true; }, 2,
         "LNCV module 1 of article 6861: start of programming: no answer"},
    };
    for (const auto& c : cases) {
        on_bus = spoiled_devices{};
        c.spoil(on_bus);
        restart();
        EXPECT_EQ(failure_of([&] { devices.do_lncv_write(6861, 1, c.lncv, 100); }), c.failure);
        // The last message on the bus ends the session, whatever went wrong.
        EXPECT_TRUE(last_sent_ends_the_session()) << c.failure;
        EXPECT_FALSE(on_bus.model.lncv_programming()) << c.failure;
    }
}

TEST_F(Devices, LncvCancelInTheMiddleStillEndsTheSession) {
    // The module enters the session, then goes quiet; the user cancels
    // during the wait for the read.
    link.on_send = [this](const bytes& m) {
        on_bus.answer(link, m);
        if (on_bus.model.lncv_programming()) on_bus.silent = true;
    };
    clock.on_unit = [&](std::size_t) { abort.set(); };
    EXPECT_TRUE(cancelled([&] { devices.do_lncv_read(6861, 1, 5); }));
    EXPECT_TRUE(last_sent_ends_the_session());
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
    on_bus.silent = true;
    EXPECT_EQ(failure_of([&] { devices.do_board_opsw_read(kvr_board::occupancy_detector, 1, 3); }),
              "occupancy detector board 1: OpSw 3: no answer");
    EXPECT_EQ(sent(), (strings(3, "D0 62 00 71 04 38")));
    EXPECT_EQ(clock.units, (std::vector<unsigned>{500, 20, 500, 20, 500}));

    on_bus.silent = false;
    devices.do_board_opsw_write(kvr_board::occupancy_detector, 1, 3, true);
    EXPECT_TRUE(on_bus.model.board_opsw(3));
    EXPECT_TRUE(devices.do_board_opsw_read(kvr_board::occupancy_detector, 1, 3));
    // A board that says done (B4 00 7F, the other form) but keeps the switch.
    board = [&](const bytes& m) {
        const auto q = kvr_parse_board_opsw(msg_of(m));
        if (q && q->type == kvr_board::signal_board)
            link.deliver(with_checksum({0xB4, 0x00, uint8_t(q->write ? 0x7F : 0x00)}));
    };
    EXPECT_EQ(failure_of([&] { devices.do_board_opsw_write(kvr_board::signal_board, 2, 1, true); }),
              "signal board 2: OpSw 1 read back thrown after writing closed");
}

}  // namespace
