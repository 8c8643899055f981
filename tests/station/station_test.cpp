// Request bytes, the throttle's slot handling, turnouts and power, against
// the scripted link. Golden bytes are the worked LocoNet examples the
// command station documentation gives for each request.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_link.h"
#include "loconet/kvr_monitor.h"

namespace {

using call = std::function<void(kvr_dccx_loconet&)>;

TEST_F(Station, RequestsGoOutByteExact) {
    const struct {
        call c;
        std::string wire;
    } cases[] = {
        {[](auto& s) { s.send_req_loco_adr(3); }, "BF 00 03 43"},
        {[](auto& s) { s.send_req_loco_adr(267); }, "BF 02 0B 49"},
        {[](auto& s) { s.send_req_sl_data(5); }, "BB 05 00 41"},
        {[](auto& s) { s.send_move_slot(5, 5); }, "BA 05 05 45"},
        {[](auto& s) { s.send_128step(5, 63); }, "A0 05 3F 65"},
        {[](auto& s) { s.send_dirf(5, 0x30); }, "A1 05 30 6B"},
        {[](auto& s) { s.send_snd(5, 0x01); }, "A2 05 01 59"},
        {[](auto& s) { s.send_req_sl_data(123); }, "BB 7B 00 3F"},  // fast clock
        {[](auto& s) { s.do_sw(1, 1, true); }, "BD 00 30 72"},
        {[](auto& s) { s.do_sw(1, 0, false); }, "BD 00 00 42"},
        {[](auto& s) { s.do_sw(200, 0, true); }, "BD 47 11 14"},
        {[](auto& s) { s.do_sw(2048, 1, false); }, "BD 7F 2F 12"},
        {[](auto& s) { s.do_sw(129, 1, true); }, "BD 00 31 73"},  // reaches SW2
        {[](auto& s) { s.do_sw(1, 2, true); }, "BD 00 30 72"},  // position 2 is closed
        {[](auto& s) { EXPECT_EQ(s.do_startup(), 0); }, "83 7C"},
        {[](auto& s) { EXPECT_TRUE(s.do_shutdown(0)); }, "82 7D"},
        {[](auto& s) { s.send_direct_read(29); }, "EF 0E 7C 28 00 00 00 00 00 1C 00 00 00 56"},
        {[](auto& s) { s.send_paged_write(1, 3); }, "EF 0E 7C 60 00 00 00 00 00 00 03 00 00 01"},
        {[](auto& s) { s.send_direct_write(17, 0xC0); }, "EF 0E 7C 68 00 00 00 00 02 10 40 00 00 58"},
        {[](auto& s) { s.send_direct_mode_bit_write(29, 1, 5); }, "EF 0E 7C 48 00 00 00 00 02 1C 6D 00 00 59"},
        {[](auto& s) { s.send_ops_write(3, 3, 10, false); }, "EF 0E 7C 64 00 00 03 00 00 02 0A 00 00 0D"},
        {[](auto& s) { s.send_ops_write(1234, 3, 10, true); }, "EF 0E 7C 6C 00 09 52 00 00 02 0A 00 00 5D"},
        {[](auto& s) { s.send_ops_read(3, 29); }, "EF 0E 7C 24 00 00 03 00 00 1C 00 00 00 59"},
        {[](auto& s) { s.send_ops_bit_verify(3, 29, 1, 2); }, "EF 0E 7C 0C 00 00 03 00 02 1C 6A 00 00 19"},
        {[](auto& s) { s.send_paged_read(1); }, "EF 0E 7C 20 00 00 00 00 00 00 00 00 00 42"},
        // CVs travel 0-based in ten bits: CVH bits 0 and 4..5 hold bits 7..9.
        {[](auto& s) { s.send_paged_read(128); }, w({0xEF, 0x0E, 0x7C, 0x20, 0, 0, 0, 0, 0x00, 0x7F, 0, 0, 0})},
        {[](auto& s) { s.send_paged_read(129); }, w({0xEF, 0x0E, 0x7C, 0x20, 0, 0, 0, 0, 0x01, 0x00, 0, 0, 0})},
        {[](auto& s) { s.send_paged_read(257); }, w({0xEF, 0x0E, 0x7C, 0x20, 0, 0, 0, 0, 0x10, 0x00, 0, 0, 0})},
        {[](auto& s) { s.send_paged_read(1024); }, w({0xEF, 0x0E, 0x7C, 0x20, 0, 0, 0, 0, 0x31, 0x7F, 0, 0, 0})},
        {[](auto& s) { s.send_register_read(1); }, "EF 0E 7C 10 00 00 00 00 00 00 00 00 00 72"},
        {[](auto& s) { s.send_register_write(1, 5); }, "EF 0E 7C 50 00 00 00 00 00 00 05 00 00 37"},
        {[](auto& s) { s.send_direct_bit_verify(1, 0, 7); }, "EF 0E 7C 08 00 00 00 00 02 00 67 00 00 0F"},
        {[](auto& s) { s.send_direct_mode_bit_write(1, 0, 0); }, "EF 0E 7C 48 00 00 00 00 02 00 60 00 00 48"},
        // Data bit 7 travels in CVH.
        {[](auto& s) { s.send_paged_write(1, 0x80); }, "EF 0E 7C 60 00 00 00 00 02 00 00 00 00 00"},
    };
    for (const auto& c : cases) {
        link.sent.clear();
        c.c(station);
        EXPECT_EQ(sent(), strings{c.wire});
    }
}

// --- throttle ---------------------------------------------------------------
// Slot data with DIRF 0 run forward: DIRF bit 5 set means reverse, so these
// slots no longer carry the 0x20 they had when the bit was read the other way.

TEST_F(Station, ThrottleTakesHoldsAndMovesSlotsAsNeeded) {
    const struct {
        const char* what;
        bytes known;  // slot data filed before the call
        call c;
        strings wire;
    } cases[] = {
        // DIRF 0x00 already runs forward (bit 5 set is reverse): the write carries 00, once 20.
        {"worked example: known slot, code set",
         {0xE7, 0x0E, 0x05, 0x03, 0x03, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x14},
         [](auto& s) { s.do_128step(3, 1, 40); },
         {"EF 0E 05 37 03 00 00 07 00 00 00 01 00 29", "BB 05 00 41", "A0 05 28 72"}},
        {"held by us: only the speed", slot_data({.slot = 5, .address = 3, .stat = 0x37, .id = 0x0100}),
         [](auto& s) { s.do_128step(3, 1, 40); }, {"A0 05 28 72"}},
        {"free slot, same direction: taken with the NULL move, its answer read, no write",
         slot_data({.slot = 5, .address = 3, .stat = 0x07}), [](auto& s) { s.do_128step(3, 1, 1); },
         {"BA 05 05 45", "A0 05 01 5B"}},
        // Reverse sets DIRF bit 5 (the write once carried 00 here).
        {"free slot, direction differs: written, never moved",
         slot_data({.slot = 5, .address = 3, .stat = 0x07}), [](auto& s) { s.do_128step(3, 0, 1); },
         {w({0xEF, 0x0E, 0x05, 0x37, 0x03, 0, 0x20, 0x07, 0, 0, 0, 0x01, 0}), "BB 05 00 41", "A0 05 01 5B"}},
        {"another throttle's slot is moved, then written",
         slot_data({.slot = 5, .address = 3, .stat = 0x37, .id = 0x0205}),
         [](auto& s) { s.do_128step(3, 1, 40); },
         {"BA 05 05 45", w({0xEF, 0x0E, 0x05, 0x37, 0x03, 0, 0x00, 0x07, 0, 0, 0, 0x01, 0}), "BB 05 00 41",
          "A0 05 28 72"}},
        {"28 steps: code 4 written with speed 0",
         slot_data({.slot = 5, .address = 3, .stat = 0x37, .spd = 0x40, .id = 0x0100}),
         [](auto& s) { s.do_28step(3, 1, 14); },
         {w({0xEF, 0x0E, 0x05, 0x34, 0x03, 0, 0x00, 0x07, 0, 0, 0, 0x01, 0}), "BB 05 00 41", "A0 05 3F 65"}},
        {"functions and direction keep the other bits",
         slot_data({.slot = 5, .address = 3, .stat = 0x37, .dirf = 0x2F, .snd = 0x7A, .id = 0x0100}),
         [](auto& s) {
             s.do_function_grp1(3, 0x10);
             s.do_function_grp2(3, 0x05);
             s.do_change_dir(3, 0);
             s.do_change_dir(3, 2);
         },
         // Reverse sets bit 5, forward (any nonzero) clears it: once the other way round.
         // Each message keeps what the one before it set (F0 alone on).
         {"A1 05 30 6B", w({0xA2, 0x05, 0x75}), w({0xA1, 0x05, 0x30}), w({0xA1, 0x05, 0x10})}},
        {"function change takes over, code and direction kept",
         slot_data({.slot = 5, .address = 3, .stat = 0x33, .spd = 0x10, .dirf = 0x0F, .id = 0x0205}),
         [](auto& s) { s.do_function_grp1(3, 0x10); },
         {"BA 05 05 45", w({0xEF, 0x0E, 0x05, 0x33, 0x03, 0x10, 0x0F, 0x07, 0, 0, 0, 0x01, 0}), "BB 05 00 41",
          w({0xA1, 0x05, 0x10})}},
        {"address filed by another throttle needs no request",
         slot_data({.slot = 12, .address = 44, .stat = 0x37, .id = 0x0100}),
         [](auto& s) { s.do_128step(44, 1, 3); }, {w({0xA0, 0x0C, 0x03})}},
    };
    for (const auto& c : cases) {
        seen(c.known);
        link.sent.clear();
        c.c(station);
        EXPECT_EQ(sent(), c.wire) << c.what;
    }
}

// The slot copy follows the bus: our own direction and function messages
// and other throttles' alike. Built from the copy read when the loco was
// taken, a tick on F2 reversed a running loco and a click on a direction
// switched its headlight off.
TEST_F(Station, DirectionAndFunctionsKeepWhatTheBusLastSetForTheSlot) {
    seen(slot_data({.slot = 1, .address = 3, .stat = 0x37, .spd = 65, .dirf = 0x00, .id = 0x0100}));
    station.do_function_grp1(3, 0x11);  // F0, F1
    station.do_change_dir(3, 0);        // reverse, F0 and F1 kept
    station.do_function_grp1(3, 0x13);  // F2 too, still reverse
    // Another throttle runs the loco forward with its functions off, then
    // switches F5 on; our next clicks keep both.
    link.deliver(with_checksum({0xA1, 0x01, 0x00}));
    link.deliver(with_checksum({0xA2, 0x01, 0x01}));
    station.do_function_grp1(3, 0x10);  // F0
    station.do_change_dir(3, 0);
    EXPECT_EQ(sent(), (strings{w({0xA1, 0x01, 0x11}), w({0xA1, 0x01, 0x31}), w({0xA1, 0x01, 0x33}),
                               w({0xA1, 0x01, 0x10}), w({0xA1, 0x01, 0x30})}));
    // The copy is the command station's slot as the bus showed it, not only
    // what this program sent: the slot store holds the other throttle's F5.
    const kvr_loconet_msg copy = *station.with_stores([](const kvr_reply_stores& st) { return st.slot_data(1); });
    EXPECT_EQ(copy.snd(), 0x01);
    EXPECT_EQ(copy.dirf(), 0x30);
}

// Functions or direction alone for a slot that is not in use take it first
// with the NULL move and read it back, as a throttle does after the address
// request: a command station may purge a free slot or give it away.
TEST_F(Station, FunctionsAndDirectionTakeAFreeSlotFirst) {
    keeper.put(slot_data({.slot = 1, .address = 3, .stat = 0x03}));  // as after OPC_LOCO_ADR
    station.do_function_grp1(3, 0x10);
    station.do_change_dir(3, 0);
    // The move's own answer is the read-back: no request of ours follows it,
    // whose later answer, built before the function message, could undo F0
    // in the slot copy (LocoNet PE: OPC_MOVE_SLOTS is answered with slot data).
    EXPECT_EQ(sent(), (strings{"BF 00 03 43", "BA 01 01 45", w({0xA1, 0x01, 0x10}), w({0xA1, 0x01, 0x30})}));
    EXPECT_EQ(keeper.slots[1][3] & 0x30, 0x30);

    // A command station that refuses the move: the slot write takes the slot.
    restart();
    keeper.refuse_moves = true;
    seen(slot_data({.slot = 2, .address = 4, .stat = 0x03, .dirf = 0x20}));
    station.do_function_grp2(4, 0x01);
    EXPECT_EQ(sent(), (strings{"BA 02 02 45", "BB 02 00 46",
                               w({0xEF, 0x0E, 0x02, 0x33, 0x04, 0, 0x20, 0x07, 0, 0, 0, 0x01, 0}),
                               "BB 02 00 46", w({0xA2, 0x02, 0x01})}));
}

TEST_F(Station, SpeedsScaleAndClampToOneDataByte) {
    seen(slot_data({.slot = 5, .address = 3, .stat = 0x34, .id = 0x0100}));
    const struct {
        int16_t steps;
        uint8_t wire;
    } steps28[] = {{0, 0}, {1, 4}, {2, 9}, {14, 63}, {28, 127}, {29, 127}, {-1, 0}, {-32768, 0}};
    for (const auto& c : steps28) {
        link.sent.clear();
        station.do_28step(3, 1, c.steps);
        EXPECT_EQ(sent(), strings{w({0xA0, 0x05, c.wire})}) << c.steps;
    }
    seen(slot_data({.slot = 5, .address = 3, .stat = 0x37, .id = 0x0100}));
    for (uint16_t speed : {127, 128, 65535}) {
        link.sent.clear();
        station.do_128step(3, 1, speed);
        EXPECT_EQ(sent(), strings{"A0 05 7F 25"}) << speed;
    }
}

TEST_F(Station, SlotWaitsAskAgainUntilTheDataCome) {
    // An unknown address is asked for every three units; after a slot write
    // the slot data are asked for twice, then waited for.
    keeper.silent = true;
    clock.on_unit = [this](std::size_t unit) {
        if (unit == 4) link.deliver(slot_data({.slot = 9, .address = 267, .stat = 0x37, .id = 0x0100}));
    };
    station.do_128step(267, 1, 2);
    EXPECT_EQ(sent(), (strings{"BF 02 0B 49", "BF 02 0B 49", w({0xA0, 0x09, 0x02})}));
    EXPECT_EQ(clock.units, (std::vector<unsigned>(4, 500)));

    seen(slot_data({.slot = 5, .address = 3, .stat = 0x03}));
    restart();
    clock.on_unit = [this](std::size_t unit) {
        if (unit == 25) link.deliver(keeper.slots[5]);
    };
    station.do_128step(3, 1, 1);
    EXPECT_EQ(sent(), (strings{"EF 0E 05 37 03 00 00 07 00 00 00 01 00 29", "BB 05 00 41", "BB 05 00 41",
                               "A0 05 01 5B"}));
    EXPECT_EQ(clock.units, (std::vector<unsigned>(25, 200)));
}

TEST_F(Station, SlotTakenByAnotherLocomotiveIsFoundAfresh) {
    seen(slot_data({.slot = 5, .address = 3, .stat = 0x37, .id = 0x0100}));
    // The command station gave slot 5 to locomotive 4; locomotive 3 now
    // lives in slot 7, which the address store does not know yet.
    seen(slot_data({.slot = 5, .address = 4, .stat = 0x37, .id = 0x0205}));
    keeper.put(slot_data({.slot = 7, .address = 3, .stat = 0x37, .id = 0x0100}));
    station.do_128step(3, 1, 40);
    EXPECT_EQ(sent(), (strings{"BF 00 03 43", w({0xA0, 0x07, 0x28})}));
}

TEST_F(Station, AddressEntryWithoutSlotDataAsksForTheSlot) {
    seen(slot_data({.slot = 5, .address = 3, .stat = 0x37, .dirf = 0x2F, .id = 0x0100}));
    station.with_stores([](kvr_reply_stores& st) { st.forget_slot(5); });
    station.do_function_grp1(3, 0x01);
    EXPECT_EQ(sent(), (strings{"BB 05 00 41", w({0xA1, 0x05, 0x21})}));
}

// Captured from a command station while a person pressed its own forward and
// reverse buttons, F0 on: forward A1 01 10, reverse A1 01 30. The throttle
// must put the same bytes on the bus and the monitor must name them the same.
TEST_F(Station, DirectionMatchesTrafficCapturedFromACommandStation) {
    const struct {
        uint16_t direction;  // as the throttle passes it: 1 forward, 0 reverse
        uint8_t dirf;        // the captured byte
        const char* name;
    } cases[] = {{1, 0x10, "fwd"}, {0, 0x30, "rev"}};
    for (const auto& c : cases) {
        const auto other_way = static_cast<uint8_t>(c.dirf ^ 0x20);
        // A direction change of a held locomotive: one OPC_LOCO_DIRF.
        seen(slot_data({.slot = 1, .address = 3, .stat = 0x37, .dirf = other_way, .id = 0x0100}));
        link.sent.clear();
        station.do_change_dir(3, c.direction);
        ASSERT_EQ(sent(), strings{w({0xA1, 0x01, c.dirf})}) << c.name;
        const kvr_loconet_msg dirf_msg = kvr_loconet_msg::with_checksum(link.sent[0].data(), 3);
        EXPECT_EQ(kvr_monitor::to_text(dirf_msg),
                  std::string("OPC_LOCO_DIRF   :SLOT#[1] DIR(") + c.name + ") F0-4(10000)");

        // A speed in the other direction: the slot write carries the byte.
        seen(slot_data({.slot = 1, .address = 3, .stat = 0x37, .dirf = other_way, .id = 0x0100}));
        link.sent.clear();
        station.do_128step(3, c.direction, 10);
        ASSERT_EQ(link.sent.size(), 3u) << c.name;
        EXPECT_EQ(link.sent[0][6], c.dirf) << c.name;
        kvr_loconet_msg write;
        for (uint8_t b : link.sent[0]) write.append(b);
        EXPECT_NE(kvr_monitor::to_text(write).find(std::string("DIR(") + c.name + ") F0-4(10000)"),
                  std::string::npos)
            << kvr_monitor::to_text(write);
    }
}

}  // namespace
