// Request bytes, the throttle's slot handling, turnouts and power, against
// the scripted link. Golden bytes are the worked LocoNet examples the
// command station documentation gives for each request.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_link.h"
#include "foundation/kvr_hooks.h"
#include "station/kvr_dccx_loconet.h"

namespace {

class Station : public ::testing::Test {
protected:
    Station() {
        station.set_waiter(&clock);
        link.set_abort_event(&abort);
        link.on_send = [this](const bytes& m) { keeper.answer(link, m); };
    }

    std::vector<std::string> sent() const { return hex_all(link.sent); }

    // Files slot data as the receive thread would and lets the keeper know it.
    void seen(const bytes& s) {
        keeper.put(s);
        link.deliver(s);
    }

    fake_link link;
    unit_clock clock;
    kvr_sys_event abort{true};
    slot_keeper keeper;
    kvr_dccx_loconet station{link};
};

struct golden_case {
    const char* what;
    std::function<void(kvr_dccx_loconet&)> call;
    const char* wire;
};

TEST_F(Station, RequestsGoOutByteExact) {
    const golden_case cases[] = {
        {"address of loco 3", [](auto& s) { s.send_req_loco_adr(3); }, "BF 00 03 43"},
        {"address of loco 267", [](auto& s) { s.send_req_loco_adr(267); }, "BF 02 0B 49"},
        {"slot 5 data", [](auto& s) { s.send_req_sl_data(5); }, "BB 05 00 41"},
        {"move slot 5 to itself", [](auto& s) { s.send_move_slot(5, 5); }, "BA 05 05 45"},
        {"speed 63 to slot 5", [](auto& s) { s.send_128step(5, 63); }, "A0 05 3F 65"},
        {"DIRF 0x30 to slot 5", [](auto& s) { s.send_dirf(5, 0x30); }, "A1 05 30 6B"},
        {"SND 0x01 to slot 5", [](auto& s) { s.send_snd(5, 0x01); }, "A2 05 01 59"},
        {"fast clock", [](auto& s) { s.send_req_sl_data(123); }, "BB 7B 00 3F"},
        {"switch 1 closed on", [](auto& s) { s.do_sw(1, 1, true); }, "BD 00 30 72"},
        {"switch 1 thrown off", [](auto& s) { s.do_sw(1, 0, false); }, "BD 00 00 42"},
        {"switch 200 thrown on", [](auto& s) { s.do_sw(200, 0, true); }, "BD 47 11 14"},
        {"switch 2048 closed off", [](auto& s) { s.do_sw(2048, 1, false); }, "BD 7F 2F 12"},
        {"switch 129 reaches SW2", [](auto& s) { s.do_sw(129, 1, true); }, "BD 00 31 73"},
        {"position 2 is closed", [](auto& s) { s.do_sw(1, 2, true); }, "BD 00 30 72"},
        {"power on", [](auto& s) { EXPECT_EQ(s.do_startup(), 0); }, "83 7C"},
        {"direct read of CV 29", [](auto& s) { s.send_direct_read(29); },
         "EF 0E 7C 28 00 00 00 00 00 1C 00 00 00 56"},
        {"paged write of 3 to CV 1", [](auto& s) { s.send_paged_write(1, 3); },
         "EF 0E 7C 60 00 00 00 00 00 00 03 00 00 01"},
        {"direct write of 0xC0 to CV 17", [](auto& s) { s.send_direct_write(17, 0xC0); },
         "EF 0E 7C 68 00 00 00 00 02 10 40 00 00 58"},
        {"direct bit write CV 29 bit 5 := 1",
         [](auto& s) { s.send_direct_mode_bit_write(29, 1, 5); },
         "EF 0E 7C 48 00 00 00 00 02 1C 6D 00 00 59"},
        {"ops write 10 to CV 3 of loco 3", [](auto& s) { s.send_ops_write(3, 3, 10, false); },
         "EF 0E 7C 64 00 00 03 00 00 02 0A 00 00 0D"},
        {"ops write with feedback, loco 1234",
         [](auto& s) { s.send_ops_write(1234, 3, 10, true); },
         "EF 0E 7C 6C 00 09 52 00 00 02 0A 00 00 5D"},
        {"ops read of CV 29 of loco 3", [](auto& s) { s.send_ops_read(3, 29); },
         "EF 0E 7C 24 00 00 03 00 00 1C 00 00 00 59"},
        {"ops verify CV 29 bit 2 is 1", [](auto& s) { s.send_ops_bit_verify(3, 29, 1, 2); },
         "EF 0E 7C 0C 00 00 03 00 02 1C 6A 00 00 19"},
    };
    for (const golden_case& c : cases) {
        link.sent.clear();
        c.call(station);
        ASSERT_EQ(link.sent.size(), 1u) << c.what;
        EXPECT_EQ(hex(link.sent[0]), c.wire) << c.what;
    }
}

TEST_F(Station, ProgrammingCommandsPerRequest) {
    struct pcmd_case {
        const char* what;
        std::function<void(kvr_dccx_loconet&)> call;
        uint8_t pcmd;
        uint8_t data7;
    };
    const pcmd_case cases[] = {
        {"paged read", [](auto& s) { s.send_paged_read(1); }, 0x20, 0x00},
        {"register read", [](auto& s) { s.send_register_read(1); }, 0x10, 0x00},
        {"register write", [](auto& s) { s.send_register_write(1, 5); }, 0x50, 0x05},
        {"direct bit verify 0", [](auto& s) { s.send_direct_bit_verify(1, 0, 7); }, 0x08, 0x67},
        {"direct bit write 0", [](auto& s) { s.send_direct_mode_bit_write(1, 0, 0); }, 0x48, 0x60},
    };
    for (const pcmd_case& c : cases) {
        link.sent.clear();
        c.call(station);
        ASSERT_EQ(link.sent.size(), 1u);
        EXPECT_EQ(link.sent[0][3], c.pcmd) << c.what;
        EXPECT_EQ(link.sent[0][10], c.data7) << c.what;
        EXPECT_EQ(link.sent[0], with_checksum(bytes(link.sent[0].begin(), link.sent[0].end() - 1)))
            << c.what;
    }
}

TEST_F(Station, CvNumbersEncodeOneBasedInTenBits) {
    struct cv_case {
        uint32_t cv;
        uint8_t cvh, cvl;
    };
    // CV 0 and CV 1025 show the wrap that the do_ operations refuse.
    const cv_case cases[] = {{1, 0x00, 0x00},   {8, 0x00, 0x07},    {128, 0x00, 0x7F},
                             {129, 0x01, 0x00}, {256, 0x01, 0x7F},  {257, 0x10, 0x00},
                             {1024, 0x31, 0x7F}, {0, 0x31, 0x7F},   {1025, 0x00, 0x00}};
    for (const cv_case& c : cases) {
        link.sent.clear();
        station.send_paged_read(c.cv);
        EXPECT_EQ(link.sent.at(0)[8], c.cvh) << "CV " << c.cv;
        EXPECT_EQ(link.sent.at(0)[9], c.cvl) << "CV " << c.cv;
    }
    link.sent.clear();
    station.send_paged_write(1, 0x80);
    EXPECT_EQ(link.sent.at(0)[8], 0x02);
    EXPECT_EQ(link.sent.at(0)[10], 0x00);
}

TEST_F(Station, OpsAddressesEncodeInFourteenBits) {
    struct adr_case {
        uint32_t address;
        uint8_t hopsa, lopsa;
    };
    const adr_case cases[] = {{3, 0x00, 0x03}, {127, 0x00, 0x7F}, {128, 0x01, 0x00},
                              {1234, 0x09, 0x52}};
    for (const adr_case& c : cases) {
        link.sent.clear();
        station.send_ops_read(c.address, 1);
        EXPECT_EQ(link.sent.at(0)[5], c.hopsa) << c.address;
        EXPECT_EQ(link.sent.at(0)[6], c.lopsa) << c.address;
    }
}

// --- throttle ---------------------------------------------------------------

TEST_F(Station, TakesAKnownSlotAndSetsItsCodeAndDirection) {
    seen({0xE7, 0x0E, 0x05, 0x03, 0x03, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x14});
    station.do_128step(3, 1, 40);
    EXPECT_EQ(sent(), (std::vector<std::string>{"EF 0E 05 37 03 00 20 07 00 00 00 01 00 09",
                                                "BB 05 00 41", "A0 05 28 72"}));
}

TEST_F(Station, HeldLocomotiveCostsOnlyTheSpeedMessage) {
    seen(slot_data({.slot = 5, .address = 3, .stat = 0x37, .dirf = 0x20, .id = 0x0100}));
    station.do_128step(3, 1, 40);
    EXPECT_EQ(sent(), (std::vector<std::string>{"A0 05 28 72"}));
}

TEST_F(Station, FreeSlotIsWrittenWithoutAMove) {
    seen(slot_data({.slot = 5, .address = 3, .stat = 0x07, .dirf = 0x20}));
    station.do_128step(3, 1, 1);
    EXPECT_EQ(sent(), (std::vector<std::string>{"A0 05 01 5B"}));

    link.sent.clear();
    station.do_128step(3, 0, 1);  // direction differs: write, still no move
    ASSERT_EQ(link.sent.size(), 3u);
    EXPECT_EQ(link.sent[0][0], 0xEF);
    EXPECT_EQ(link.sent[0][6], 0x00);  // DIRF reverse
    EXPECT_EQ(link.sent[0][11], 0x01);
    EXPECT_EQ(link.sent[0][12], 0x00);
}

TEST_F(Station, SlotOfAnotherThrottleIsMovedThenWritten) {
    seen(slot_data({.slot = 5, .address = 3, .stat = 0x37, .dirf = 0x20, .id = 0x0205}));
    station.do_128step(3, 1, 40);
    EXPECT_EQ(sent(), (std::vector<std::string>{
                          "BA 05 05 45", hex(with_checksum({0xEF, 0x0E, 0x05, 0x37, 0x03, 0x00,
                                                            0x20, 0x07, 0x00, 0x00, 0x00, 0x01,
                                                            0x00})),
                          "BB 05 00 41", "A0 05 28 72"}));
}

TEST_F(Station, SwitchingTo28StepsWritesCodeFourAndStops) {
    seen(slot_data({.slot = 5, .address = 3, .stat = 0x37, .spd = 0x40, .dirf = 0x20,
                    .id = 0x0100}));
    station.do_28step(3, 1, 14);
    EXPECT_EQ(sent(), (std::vector<std::string>{
                          hex(with_checksum({0xEF, 0x0E, 0x05, 0x34, 0x03, 0x00, 0x20, 0x07,
                                             0x00, 0x00, 0x00, 0x01, 0x00})),
                          "BB 05 00 41", "A0 05 3F 65"}));
}

TEST_F(Station, SpeedsScaleAndClampToOneDataByte) {
    seen(slot_data({.slot = 5, .address = 3, .stat = 0x34, .dirf = 0x20, .id = 0x0100}));
    const struct {
        int16_t steps;
        uint8_t wire;
    } steps28[] = {{0, 0}, {1, 4}, {2, 9}, {14, 63}, {27, 122}, {28, 127}, {29, 127},
                   {1000, 127}, {-1, 0}, {-32768, 0}};
    for (const auto& c : steps28) {
        link.sent.clear();
        station.do_28step(3, 1, c.steps);
        ASSERT_EQ(link.sent.size(), 1u) << c.steps;
        EXPECT_EQ(link.sent[0][2], c.wire) << c.steps;
    }

    seen(slot_data({.slot = 5, .address = 3, .stat = 0x37, .dirf = 0x20, .id = 0x0100}));
    const struct {
        uint16_t speed;
        uint8_t wire;
    } steps128[] = {{0, 0}, {127, 127}, {128, 127}, {65535, 127}};
    for (const auto& c : steps128) {
        link.sent.clear();
        station.do_128step(3, 1, c.speed);
        ASSERT_EQ(link.sent.size(), 1u) << c.speed;
        EXPECT_EQ(link.sent[0][2], c.wire) << c.speed;
    }
}

TEST_F(Station, FunctionsAndDirectionKeepTheOtherBitsOfTheLastSlotRead) {
    seen(slot_data({.slot = 5, .address = 3, .stat = 0x37, .dirf = 0x2F, .snd = 0x7A,
                    .id = 0x0100}));
    station.do_function_grp1(3, 0x10);
    station.do_function_grp2(3, 0x05);
    station.do_change_dir(3, 0);
    station.do_change_dir(3, 2);
    EXPECT_EQ(sent(),
              (std::vector<std::string>{"A1 05 30 6B", hex(with_checksum({0xA2, 0x05, 0x75})),
                                        hex(with_checksum({0xA1, 0x05, 0x0F})),
                                        hex(with_checksum({0xA1, 0x05, 0x2F}))}));
}

TEST_F(Station, FunctionChangeTakesOverWithoutChangingCodeOrDirection) {
    seen(slot_data({.slot = 5, .address = 3, .stat = 0x33, .spd = 0x10, .dirf = 0x0F,
                    .id = 0x0205}));
    station.do_function_grp1(3, 0x10);
    EXPECT_EQ(sent(), (std::vector<std::string>{
                          "BA 05 05 45",
                          hex(with_checksum({0xEF, 0x0E, 0x05, 0x33, 0x03, 0x10, 0x0F, 0x07,
                                             0x00, 0x00, 0x00, 0x01, 0x00})),
                          "BB 05 00 41", hex(with_checksum({0xA1, 0x05, 0x10}))}));
}

TEST_F(Station, UnknownAddressIsAskedForAgainEveryThreeUnits) {
    keeper.silent = true;
    clock.on_unit = [this](std::size_t unit) {
        if (unit == 4)
            link.deliver(slot_data({.slot = 9, .address = 267, .stat = 0x37, .dirf = 0x20,
                                    .id = 0x0100}));
    };
    station.do_128step(267, 1, 2);
    EXPECT_EQ(sent(), (std::vector<std::string>{"BF 02 0B 49", "BF 02 0B 49",
                                                hex(with_checksum({0xA0, 0x09, 0x02}))}));
    EXPECT_EQ(clock.units, (std::vector<unsigned>(4, 500)));
}

TEST_F(Station, AddressAnotherThrottleFiledNeedsNoRequest) {
    link.deliver(slot_data({.slot = 12, .address = 44, .stat = 0x37, .dirf = 0x20,
                            .id = 0x0100}));
    station.do_128step(44, 1, 3);
    EXPECT_EQ(sent(), (std::vector<std::string>{hex(with_checksum({0xA0, 0x0C, 0x03}))}));
}

TEST_F(Station, SlotWaitAfterAWriteAsksTwiceThenWaitsOn) {
    seen(slot_data({.slot = 5, .address = 3, .stat = 0x03}));
    keeper.silent = true;
    clock.on_unit = [this](std::size_t unit) {
        if (unit == 25) link.deliver(keeper.slots[0]);
    };
    station.do_128step(3, 1, 1);
    ASSERT_EQ(link.sent.size(), 4u);
    EXPECT_EQ(link.sent[0][0], 0xEF);
    EXPECT_EQ(hex(link.sent[1]), "BB 05 00 41");
    EXPECT_EQ(hex(link.sent[2]), "BB 05 00 41");
    EXPECT_EQ(hex(link.sent[3]), "A0 05 01 5B");
    EXPECT_EQ(clock.units, (std::vector<unsigned>(25, 200)));
}

TEST_F(Station, SlotTakenByAnotherLocomotiveIsFoundAfresh) {
    seen(slot_data({.slot = 5, .address = 3, .stat = 0x37, .dirf = 0x20, .id = 0x0100}));
    // The command station gave slot 5 to locomotive 4; locomotive 3 now
    // lives in slot 7, which the address store does not know yet.
    seen(slot_data({.slot = 5, .address = 4, .stat = 0x37, .dirf = 0x20, .id = 0x0205}));
    keeper.put(slot_data({.slot = 7, .address = 3, .stat = 0x37, .dirf = 0x20, .id = 0x0100}));
    station.do_128step(3, 1, 40);
    EXPECT_EQ(sent(), (std::vector<std::string>{"BF 00 03 43",
                                                hex(with_checksum({0xA0, 0x07, 0x28}))}));
}

TEST_F(Station, AddressEntryWithoutSlotDataAsksForTheSlot) {
    seen(slot_data({.slot = 5, .address = 3, .stat = 0x37, .dirf = 0x2F, .id = 0x0100}));
    {
        std::lock_guard<std::mutex> lk(link.lock());
        link.forget_slot(5);
    }
    station.do_function_grp1(3, 0x01);
    EXPECT_EQ(sent(), (std::vector<std::string>{"BB 05 00 41",
                                                hex(with_checksum({0xA1, 0x05, 0x21}))}));
}

TEST_F(Station, AddressesBeyondFourteenBitsAreRefused) {
    try {
        station.do_128step(16384, 1, 1);
        FAIL() << "no exception";
    } catch (const kvr_exception& e) {
        EXPECT_EQ(e.where, "kvr_dccx_loconet::do_128step()");
        EXPECT_TRUE(has_labels(e, {"kvr_dccx_loconet::do_128step()",
                                   "kvr_dccx_loconet::do_request_loco()",
                                   "ERR:LOCO ADDRESS MUST BE 0 TO 16383"}));
    }
    EXPECT_THROW(station.do_request_loco(70000, 0, 0), kvr_exception);
    EXPECT_THROW(station.do_function_grp2(20000, 1), kvr_exception);
    EXPECT_TRUE(link.sent.empty());
}

TEST_F(Station, CancelCarriesEveryLabelItPassed) {
    keeper.silent = true;
    abort.set();
    try {
        station.do_128step(3, 1, 1);
        FAIL() << "no exception";
    } catch (const kvr_exception& e) {
        EXPECT_TRUE(has_labels(e, {"kvr_dccx_loconet::do_128step()",
                                   "kvr_dccx_loconet::do_request_loco()", "CANCEL"}));
    }
    // The request was queued before the first wait.
    EXPECT_EQ(sent(), (std::vector<std::string>{"BF 00 03 43"}));
}

TEST_F(Station, CancelWithTheBlockingWaiterEndsTheFirstWait) {
    station.set_waiter(nullptr);
    keeper.silent = true;
    abort.set();
    try {
        station.do_direct_read(1, 255);
        FAIL() << "no exception";
    } catch (const kvr_exception& e) {
        EXPECT_TRUE(has_labels(e, {"kvr_dccx_loconet::do_direct_read()", "CANCEL"}));
    }
    EXPECT_EQ(link.sent.size(), 1u);
}

// --- switches, power, the unused operations ----------------------------------

TEST_F(Station, SwitchNumbersOutsideTheWireRangeAreRefused) {
    for (uint16_t number : {0, 2049, 9999}) {
        try {
            station.do_sw(number, 1, true);
            FAIL() << number;
        } catch (const kvr_exception& e) {
            EXPECT_TRUE(has_labels(e, {"kvr_dccx_loconet::do_sw()", "ERR:SWITCH MUST BE 1 TO 2048"}))
                << number;
        }
    }
    EXPECT_TRUE(link.sent.empty());
}

TEST_F(Station, PowerOffReturnsOnceQueuedWithItsKey) {
    EXPECT_EQ(station.do_startup(), 0);
    EXPECT_TRUE(station.do_shutdown(0));
    EXPECT_TRUE(station.do_shutdown(7));
    EXPECT_EQ(sent(), (std::vector<std::string>{"83 7C", "82 7D", "82 7D"}));
    EXPECT_EQ(link.keys, (std::vector<uint8_t>{0, 0, 7}));
}

TEST_F(Station, ReservedOperationsShowTheMessageBoxAndSendNothing) {
    std::vector<std::string> shown;
    kvr_set_message_box_hook([&](const std::string& text, const std::string& caption, kvr_icon icon) {
        shown.push_back(text + "|" + caption + (icon == kvr_icon::warning ? "|warning" : "|?"));
        return 1;
    });
    EXPECT_EQ(station.do_reserved_1(1, 2), 1);
    EXPECT_EQ(station.do_reserved_2(1, 2, 3, 4), 1);
    station.do_reserved_3();
    kvr_set_message_box_hook({});
    EXPECT_EQ(shown, (std::vector<std::string>(2, "NOT IMPLIMENTED|NOT IMPLIMENTED|warning")));
    EXPECT_TRUE(link.sent.empty());
}

TEST_F(Station, DeletingThroughTheInterfaceLeavesTheLinkUsable) {
    kvr_dccx* other = new kvr_dccx_loconet(link);
    delete other;
    station.do_startup();
    EXPECT_EQ(sent(), (std::vector<std::string>{"83 7C"}));
}

}  // namespace
