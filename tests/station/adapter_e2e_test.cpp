// The command station through the adapter kinds other than the MS100, against
// the simulated layout: a LocoBuffer on the layout's pseudo-terminal, and
// LocoNet over TCP, a client link (tcp://) to our own server, which shares a
// serial link to the layout, all on loopback. What the operations do shows
// in the layout's own state; what the server says shows in the monitor.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "foundation/kvr_exception.h"
#include "foundation/kvr_file.h"
#include "link/kvr_link.h"
#include "link/link_test_support.h"
#include "sim/kvr_sim_runner.h"
#include "station/kvr_dccx_loconet.h"
#include "support/eventually.h"
#include "support/shared_sim.h"
#include "support/temp_dir.h"

namespace {

bool has_line(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& l : lines)
        if (l.find(text) != std::string::npos) return true;
    return false;
}

std::string dated_log_text() { return read_all(kvr_global_dated_log().today_path()); }

// A sink that ends a waiting operation when the link is lost, as the
// window and busprobe-cli do.
class aborting_sink : public link_test::line_sink {
public:
    explicit aborting_sink(kvr_sys_event& abort) : abort_(abort) {}
    void on_link_lost(const std::string& report) override {
        line_sink::on_link_lost(report);
        abort_.set();
    }

private:
    kvr_sys_event& abort_;
};

class TcpLayout : public ::testing::Test {
protected:
    TcpLayout() {
        station.set_abort_event(&abort);
        link.add_listener(&sink);
        link.open(layout.url());
        // Connected once the server's VERSION is in the monitor.
        EXPECT_TRUE(sink.wait_lines(1, 5000));
    }
    ~TcpLayout() override { link.close(); }

    template <class F>
    auto sim(F&& f) {
        return layout.runner.with_station(std::forward<F>(f));
    }
    int track_cv(unsigned cv) {
        return sim([&](kvr_sim_station& s) { return s.programmer().track_decoder().cv(cv); });
    }
    int speed_of(uint16_t address) {
        return sim([&](kvr_sim_station& s) {
            for (int n = 1; n <= kvr_sim_station::loco_slots; ++n) {
                const auto b = s.slot(static_cast<uint8_t>(n));
                if ((b[0] & 0x30) == 0x30 && b[6] * 128 + b[1] == address) return static_cast<int>(b[2]);
            }
            return -1;
        });
    }

    scratch_dir dir;
    shared_sim layout;
    kvr_sys_event abort{true};
    aborting_sink sink{abort};
    kvr_link link;
    kvr_dccx_loconet station{link, kvr_dccx_timing{.wait_unit_ms = 100, .slot_wait_ms = 40}};
};

TEST_F(TcpLayout, OperatesTheLayoutThroughTheServer) {
    EXPECT_EQ(link.adapter(), kvr_adapter::tcp);
    station.do_shutdown(0);
    ASSERT_TRUE(eventually([&] { return sim([](kvr_sim_station& s) { return (s.track_status() & 1) == 0; }); }));
    station.do_startup();
    ASSERT_TRUE(eventually([&] { return sim([](kvr_sim_station& s) { return (s.track_status() & 1) != 0; }); }));

    station.do_128step(3, 1, 40);
    ASSERT_TRUE(eventually([&] { return speed_of(3) == 40; }));

    station.do_sw(12, 0, true);  // thrown
    ASSERT_TRUE(eventually([&] { return sim([](kvr_sim_station& s) { return !s.turnout(12).closed; }); }));

    station.do_direct_write(3, 12);
    EXPECT_EQ(track_cv(3), 12);
    EXPECT_EQ(station.do_direct_read(3), 12);
    EXPECT_EQ(station.do_paged_read(29), track_cv(29));

    // The monitor shows the server, then the bus as every node sees it.
    const auto lines = sink.lines();
    EXPECT_EQ(lines.front(), "LocoNet over TCP: VERSION Busprobe test\r\n");
    EXPECT_TRUE(has_line(lines, "OPC_GPON"));
    EXPECT_TRUE(has_line(lines, "OPC_SW_ACK"));
}

TEST_F(TcpLayout, SentErrorIsShownAndRecorded) {
    layout.port.bus_link.close();  // the server stays, its bus is gone
    station.do_startup();
    ASSERT_TRUE(sink.wait_lines(2, 5000));
    EXPECT_EQ(sink.lines()[1], "LocoNet over TCP: SENT ERROR the bus link is closed\r\n");
    EXPECT_TRUE(eventually([&] { return dated_log_text().find("SENT ERROR the bus link is closed") != std::string::npos; }));
    EXPECT_TRUE(link.is_open());
    EXPECT_TRUE(sink.messages().empty());
}

TEST_F(TcpLayout, ServerGoingAwayMidReadIsALostLink) {
    // The layout takes its time to read, and the server stops meanwhile.
    sim([](kvr_sim_station& s) {
        s.options().instant = false;
        s.options().read_delay_ms = 60'000;
    });
    std::thread stopper([&] {
        eventually([&] { return has_line(sink.lines(), "OPC_WR_SL_DATA"); });
        layout.port.share.stop();
    });
    EXPECT_THROW(station.do_direct_read(29), kvr_exception);
    stopper.join();
    ASSERT_TRUE(sink.wait_lost(5000));
    EXPECT_FALSE(link.is_open());
    EXPECT_EQ(sink.reports().size(), 1u);
    EXPECT_NE(sink.reports()[0].find("the LocoNet-over-TCP server at " + layout.url().substr(6) + " closed the connection"),
              std::string::npos)
        << sink.reports()[0];
}

TEST(LocoBufferLayout, ReadsAndDrivesThroughTheSimulatedLayout) {
    kvr_sim_runner runner{kvr_sim_options{.instant = true}};
    kvr_link link;
    kvr_sys_event abort{true};
    link.set_adapter(kvr_adapter::locobuffer);
    link.open(runner.device_path());
    kvr_dccx_loconet station{link, kvr_dccx_timing{.wait_unit_ms = 100, .slot_wait_ms = 40}};
    station.set_abort_event(&abort);

    const int cv29 = runner.with_station([](kvr_sim_station& s) { return s.programmer().track_decoder().cv(29); });
    EXPECT_EQ(station.do_direct_read(29), cv29);
    station.do_direct_write(3, 7);
    EXPECT_EQ(station.do_paged_read(3), 7);
    station.do_128step(3, 1, 40);
    EXPECT_TRUE(eventually([&] {
        return runner.with_station([](kvr_sim_station& s) {
            for (int n = 1; n <= kvr_sim_station::loco_slots; ++n) {
                const auto b = s.slot(static_cast<uint8_t>(n));
                if ((b[0] & 0x30) == 0x30 && b[1] == 3 && b[6] == 0) return b[2] == 40;
            }
            return false;
        });
    }));
    link.close();
}

}  // namespace
