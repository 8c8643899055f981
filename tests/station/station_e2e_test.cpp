// The command station against the simulated layout, through the real serial
// driver on a pseudo-terminal: what the operations do shows in the layout's
// own state (slots, turnouts, track power, decoder CVs).

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <functional>
#include <optional>
#include <thread>

#include "fake_link.h"
#include "link/kvr_link.h"
#include "sim/kvr_sim_port.h"
#include "sim/kvr_sim_runner.h"
#include "support/eventually.h"
#include "support/flood_bus.h"

namespace {

using slot_bytes = std::array<uint8_t, 10>;  // STAT ADR SPD DIRF TRK SS2 ADR2 SND ID1 ID2
enum : int { stat_i = 0, adr_i = 1, spd_i = 2, dirf_i = 3, adr2_i = 6, snd_i = 7, id1_i = 8, id2_i = 9 };

class Layout : public ::testing::Test {
protected:
    Layout() {
        station.set_abort_event(&abort);
        link.open(runner.device_path());
    }
    ~Layout() override { link.close(); }

    template <class F>
    auto sim(F&& f) {
        return runner.with_station(std::forward<F>(f));
    }

    // The layout's slot that holds `address` (in use, unless `any`), if any.
    std::optional<std::pair<uint8_t, slot_bytes>> sim_slot_of(uint16_t address, bool any = false) {
        return sim([&](kvr_sim_station& s) -> std::optional<std::pair<uint8_t, slot_bytes>> {
            for (int n = 1; n <= kvr_sim_station::loco_slots; ++n) {
                const slot_bytes b = s.slot(static_cast<uint8_t>(n));
                if ((any || (b[stat_i] & 0x30) == 0x30) && b[adr2_i] * 128 + b[adr_i] == address)
                    return std::make_pair(static_cast<uint8_t>(n), b);
            }
            return std::nullopt;
        });
    }

    int speed_of(uint16_t address) {
        auto s = sim_slot_of(address);
        return s ? s->second[spd_i] : -1;
    }
    // The speed-step code in STAT and the direction bit of DIRF.
    std::pair<int, int> code_and_direction(uint16_t address) {
        const slot_bytes b = sim_slot_of(address)->second;
        return {b[stat_i] & 0x07, b[dirf_i] & 0x20};
    }

    // Another throttle on the bus, as the layout sees it.
    void other_throttle(std::initializer_list<uint8_t> b) {
        const kvr_loconet_msg m = kvr_loconet_msg::with_checksum(b);
        sim([&](kvr_sim_station& s) { s.receive(m, kvr_sim_time{0}); });
    }

    // Another throttle takes `slot` for `address` with its own identity and
    // asks for it, so that its data travel past this program too.
    void other_throttle_takes(uint8_t slot, uint8_t address, uint8_t speed) {
        other_throttle({0xEF, 0x0E, slot, 0x33, address, speed, 0x20, 0x07, 0x00, 0x00, 0x00, 0x02, 0x05});
        other_throttle({0xBB, slot, 0x00});
        ASSERT_TRUE(eventually([&] {
            auto m = station.with_stores([slot](const kvr_reply_stores& st) { return st.slot_data(slot); });
            return m && m->slot_address() == address && m->throttle_id() == 0x0205;
        }));
    }

    std::vector<int> track_cvs(std::initializer_list<unsigned> cvs) {
        return sim([&](kvr_sim_station& s) {
            std::vector<int> out;
            for (unsigned cv : cvs) out.push_back(s.programmer().track_decoder().cv(cv));
            return out;
        });
    }

    kvr_sim_runner runner{kvr_sim_options{.instant = true, .clock_rate = 1}};
    kvr_link link;
    kvr_sys_event abort{true};
    kvr_dccx_loconet station{link, kvr_dccx_timing{.wait_unit_ms = 100, .slot_wait_ms = 40}};
};

TEST_F(Layout, DrivesALocomotiveThroughBothStepModes) {
    // DIRF bit 5 set is reverse, clear forward (these pairs were once swapped).
    station.do_128step(3, 1, 40);
    ASSERT_TRUE(eventually([&] { return speed_of(3) == 40; }));
    EXPECT_EQ(code_and_direction(3), std::pair(7, 0));

    station.do_28step(3, 0, 14);
    ASSERT_TRUE(eventually([&] { return speed_of(3) == 63; }));
    EXPECT_EQ(code_and_direction(3), std::pair(4, 0x20));

    station.do_function_grp1(3, 0x15);
    station.do_function_grp2(3, 0x0A);
    ASSERT_TRUE(eventually([&] {
        const slot_bytes b = sim_slot_of(3)->second;
        return b[dirf_i] == 0x35 && (b[snd_i] & 0x0F) == 0x0A;  // reverse kept
    }));
    station.do_change_dir(3, 1);
    EXPECT_TRUE(eventually([&] { return code_and_direction(3).second == 0; }));

    station.do_128step(1234, 1, 100);
    EXPECT_TRUE(eventually([&] { return speed_of(1234) == 100; }));
    station.do_128step(1234, 1, 500);  // clamped, never a byte with bit 7 set
    EXPECT_TRUE(eventually([&] { return speed_of(1234) == 127; }));
}

TEST_F(Layout, TakesOverOtherThrottlesSlotsAndRepairsStaleStores) {
    other_throttle({0xBF, 0x00, 0x05});
    ASSERT_TRUE(eventually([&] { return sim_slot_of(5, true).has_value(); }));
    const uint8_t slot = sim_slot_of(5, true)->first;
    other_throttle_takes(slot, 5, 0x10);

    station.do_128step(5, 1, 30);
    ASSERT_TRUE(eventually([&] { return speed_of(5) == 30; }));
    const auto b = sim_slot_of(5);
    EXPECT_EQ(b->first, slot);
    EXPECT_EQ(b->second[id1_i] * 256 + b->second[id2_i], 0x0100);
    EXPECT_EQ(code_and_direction(5), std::pair(7, 0));  // forward: bit 5 clear

    // Slot stores gone stale are repaired before driving.
    station.do_128step(3, 1, 20);
    ASSERT_TRUE(eventually([&] { return speed_of(3) == 20; }));
    const uint8_t old_slot = sim_slot_of(3)->first;
    other_throttle_takes(old_slot, 4, 5);
    station.do_128step(3, 1, 50);
    ASSERT_TRUE(eventually([&] { return speed_of(3) == 50; }));
    EXPECT_NE(sim_slot_of(3)->first, old_slot);
    EXPECT_EQ(speed_of(4), 5);  // locomotive 4 kept its speed

    // An address entry whose slot data went missing asks for them again.
    const uint8_t new_slot = sim_slot_of(3)->first;
    station.with_stores([new_slot](kvr_reply_stores& st) { st.forget_slot(new_slot); });
    station.do_function_grp1(3, 0x10);
    // Forward and F0: DIRF bit 5 clear (once 0x30).
    EXPECT_TRUE(eventually([&] { return sim_slot_of(3)->second[dirf_i] == 0x10; }));
}

// Slot numbers learned on one bus mean nothing on the next: after Close and
// Connect to another layout, where the slot that held loco 3 holds loco 5, a
// function for loco 3 asks for its address again and loco 5 keeps its own.
TEST_F(Layout, EveryOpenStartsAfreshSoAnotherLayoutsLocoIsNeverDriven) {
    station.do_function_grp1(3, 0x10);
    ASSERT_TRUE(eventually([&] { return sim_slot_of(3) && sim_slot_of(3)->second[dirf_i] == 0x10; }));
    const uint8_t slot = sim_slot_of(3)->first;

    std::mutex m;
    std::vector<kvr_loconet_msg> seen;
    kvr_sim_runner other(kvr_sim_options{.instant = true}, [&](const kvr_loconet_msg& msg) {
        std::lock_guard<std::mutex> lk(m);
        seen.push_back(msg);
    });
    const auto other_slot = [&](uint8_t n) {
        return other.with_station([&](kvr_sim_station& s) { return s.slot(n); });
    };
    other.with_station([&](kvr_sim_station& s) {
        s.receive(kvr_loconet_msg::with_checksum({0xBF, 0x00, 0x05}), kvr_sim_time{0});
        s.receive(kvr_loconet_msg::with_checksum({0xBA, slot, slot}), kvr_sim_time{0});
    });
    ASSERT_EQ(other_slot(slot)[adr_i], 5);

    link.close();
    link.open(other.device_path());
    station.do_function_grp1(3, 0x11);
    station.do_128step(3, 1, 48);
    link.close();

    const slot_bytes five = other_slot(slot);
    EXPECT_EQ(five[dirf_i], 0x00);
    EXPECT_EQ(five[spd_i], 0);
    std::lock_guard<std::mutex> lk(m);
    EXPECT_NE(std::find(seen.begin(), seen.end(), kvr_loconet_msg::with_checksum({0xBF, 0x00, 0x03})), seen.end());
}

TEST_F(Layout, ReadsAndWritesCvsInEveryMode) {
    using cvs = std::vector<int>;
    station.do_paged_write(3, 25);
    station.do_direct_write(4, 200);
    station.do_register_write(2, 9);
    EXPECT_EQ(track_cvs({3, 4, 2}), (cvs{25, 200, 9}));
    EXPECT_EQ((cvs{station.do_paged_read(3), station.do_direct_read(4), station.do_direct_readex(4),
                   station.do_register_read(2)}),
              (cvs{25, 200, 200, 9}));

    EXPECT_TRUE(station.do_direct_bit_write(4, 0, 7));
    EXPECT_EQ(track_cvs({4}), cvs{200 - 128});
    EXPECT_TRUE(station.do_direct_bit_verify(4, 0, 7));
    EXPECT_FALSE(station.do_direct_bit_verify(4, 1, 7));

    station.do_ops_write(1234, 5, 77, false);
    EXPECT_TRUE(eventually([&] {
        return sim([](kvr_sim_station& s) { return s.programmer().main_decoder(1234).cv(5); }) == 77;
    }));
    station.do_ops_write(1234, 6, 0x88, true);
    EXPECT_EQ((cvs{station.do_ops_read(1234, 6), station.do_ops_readex(1234, 6)}), (cvs{0x88, 0x88}));
    EXPECT_TRUE(station.do_ops_bit_verify(1234, 6, 1, 3));

    const int cv29 = track_cvs({29})[0];
    station.do_write_ex_address(0, 0xC0, 0x10);
    EXPECT_EQ(track_cvs({17, 18, 29}), (cvs{0xC0, 0x10, cv29}));  // paged mode leaves CV 29 alone
    station.do_write_ex_address(1, 0xC4, 0xD2);
    EXPECT_EQ(track_cvs({17, 18, 29}), (cvs{0xC4, 0xD2, cv29 | 0x20}));
}

TEST_F(Layout, SetsTurnoutsAndPowerAndReportsFailures) {
    station.do_sw(200, 0, true);
    station.do_sw(1, 1, false);
    ASSERT_TRUE(eventually([&] {
        return sim([](kvr_sim_station& s) {
            return !s.turnout(200).closed && s.turnout(200).output_on && s.turnout(1).closed &&
                   !s.turnout(1).output_on;
        });
    }));

    EXPECT_TRUE(station.do_shutdown(0));
    auto power = [&] { return sim([](kvr_sim_station& s) { return s.track_status() & 1; }); };
    EXPECT_TRUE(eventually([&] { return power() == 0; }));
    EXPECT_EQ(station.do_startup(), 0);
    EXPECT_TRUE(eventually([&] { return power() == 1; }));
    station.send_req_sl_data(123);
    EXPECT_TRUE(eventually(
        [&] { return station.with_stores([](const kvr_reply_stores& st) { return st.slot_data(123).has_value(); }); }));

    sim([](kvr_sim_station& s) { s.options().busy_tasks = 2; });
    EXPECT_EQ(station.do_direct_read(1), 3);  // busy twice, then done
    sim([](kvr_sim_station& s) { s.options().decoder_acks_writes = false; });
    expect_failure([&] { station.do_direct_write(3, 1); }, {op("do_direct_write"), "FAIL:"});
    sim([](kvr_sim_station& s) { s.options().decoder_present = false; });
    expect_failure([&] { station.do_paged_read(1); },
                   {op("do_paged_read"), "No Decoder Detected"});
}

// Sets the abort event (Cancel) unless the test ends first.
class watchdog {
public:
    watchdog(kvr_sys_event& abort, std::chrono::milliseconds after)
        : thread_([&abort, after](std::stop_token stop) {
              std::mutex m;
              std::condition_variable_any cv;
              std::unique_lock<std::mutex> lk(m);
              cv.wait_for(lk, stop, after, [] { return false; });
              if (!stop.stop_requested()) abort.set();
          }) {}

private:
    std::jthread thread_;
};

// Another node fills the bus with sensor reports, one after the other. A throttle
// takeover (another throttle holds the locomotive), turnouts and a Power Off
// still reach the station; a time-out cancels an operation that hangs.
TEST(BusyLayout, TakeoverAndPowerOffCompleteOnABusyBus) {
    flood_test::flood_bus bus(1.0);
    const uint8_t slot = bus.with_station([](kvr_sim_station& s) -> uint8_t {
        s.receive(kvr_loconet_msg::with_checksum({0xBF, 0x00, 0x03}), kvr_sim_time{0});
        for (int n = 1; n <= kvr_sim_station::loco_slots; ++n) {
            const slot_bytes b = s.slot(static_cast<uint8_t>(n));
            if (b[adr2_i] * 128 + b[adr_i] == 3) {
                s.receive(kvr_loconet_msg::with_checksum({0xEF, 0x0E, static_cast<uint8_t>(n), 0x33, 0x03, 0x10,
                                                          0x20, 0x07, 0x00, 0x00, 0x00, 0x02, 0x05}),
                          kvr_sim_time{0});
                return static_cast<uint8_t>(n);
            }
        }
        return 0;
    });
    ASSERT_NE(slot, 0);

    kvr_link link;
    kvr_sys_event abort(true);
    kvr_dccx_loconet station(link, kvr_dccx_timing{.wait_unit_ms = 100, .slot_wait_ms = 40});
    station.set_abort_event(&abort);
    link.open(bus.path());
    {
        const watchdog cancel(abort, std::chrono::seconds(30));
        EXPECT_NO_THROW(station.do_128step(3, 1, 40));
        // Turnouts set in a row queue behind one another, then Power Off.
        for (uint16_t sw = 1; sw <= 8; ++sw) EXPECT_NO_THROW(station.do_sw(sw, 0, true));
        EXPECT_NO_THROW(station.do_shutdown(9));
        // On the bus, as the station sees it.
        EXPECT_TRUE(eventually([&] {
            return bus.with_station([](kvr_sim_station& s) { return (s.track_status() & 1) == 0; });
        }));
        EXPECT_FALSE(abort.is_set()) << "not done within the time-out";
    }
    const slot_bytes b = bus.with_station([slot](kvr_sim_station& s) { return s.slot(slot); });
    EXPECT_EQ(b[spd_i], 40);
    EXPECT_EQ(b[id1_i] * 256 + b[id2_i], 0x0100);
    EXPECT_TRUE(bus.with_station([](kvr_sim_station& s) { return !s.turnout(8).closed && s.turnout(8).output_on; }));
    link.close();
}

// A takeover cancelled while the link is closed (the station never
// answered): none of its messages reach the station connected next, and the
// next READ takes its own answer, not the acknowledge of a stale slot write.
// Nothing asked for while the link was closed reaches the next station.
TEST(StaleMessages, CancelledTakeoverNeverReachesTheNextStation) {
    kvr_link link;
    kvr_sys_event abort(true);
    kvr_dccx_loconet station(link, kvr_dccx_timing{.wait_unit_ms = 100, .slot_wait_ms = 40});
    station.set_abort_event(&abort);

    std::jthread takeover([&] {
        expect_failure([&] { station.do_128step(3, 1, 40); }, {op("do_128step"), op("do_request_loco"), "CANCEL"});
    });
    // The closed link has no receiver: the test files the answer to the
    // address request itself, slot 5 held by another throttle.
    ASSERT_TRUE(eventually([&] { return link.tx_pending() >= 1; }));
    const bytes held = slot_data({.slot = 5, .address = 3, .stat = 0x33, .id = 0x0205});
    link.receive_bytes(held.data(), held.size());
    // Then the takeover queues its slot move, slot write and slot request.
    ASSERT_TRUE(eventually([&] { return link.tx_pending() >= 4; }));
    abort.set();
    takeover.join();
    EXPECT_EQ(link.tx_pending(), 0u);
    abort.reset();
    station.do_startup();

    std::mutex m;
    std::vector<kvr_loconet_msg> seen;
    kvr_sim_runner other(kvr_sim_options{.instant = true}, [&](const kvr_loconet_msg& msg) {
        std::lock_guard<std::mutex> lk(m);
        seen.push_back(msg);
    });
    const int cv8 = other.with_station([](kvr_sim_station& s) { return s.programmer().track_decoder().cv(8); });
    link.open(other.device_path());
    EXPECT_EQ(station.do_paged_read(8), cv8);
    link.close();

    std::lock_guard<std::mutex> lk(m);
    ASSERT_FALSE(seen.empty());
    for (const kvr_loconet_msg& msg : seen) {
        EXPECT_NE(msg.opcode(), OPC_GPON);
        EXPECT_NE(msg.opcode(), OPC_LOCO_ADR);
        EXPECT_NE(msg.opcode(), OPC_MOVE_SLOTS);
        EXPECT_NE(msg.opcode(), OPC_RQ_SL_DATA);
        EXPECT_FALSE(msg.opcode() == OPC_WR_SL_DATA && msg[2] == 5);
    }
}

}  // namespace
