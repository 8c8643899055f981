// The LocoNet-over-TCP server on 127.0.0.1 with an ephemeral port: what
// clients see on the wire, and that a misbehaving client disturbs no other.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/kvr_exception.h"
#include "link/kvr_lntcp_server.h"
#include "link/lntcp_test_client.h"
#include "support/eventually.h"

namespace {

using lntcp_test::client;

kvr_loconet_msg speed_msg(int i) {
    return kvr_loconet_msg::with_checksum(
        {0xA0, static_cast<uint8_t>(i % 120), static_cast<uint8_t>((i / 120) % 128)});
}

std::string receive_line(const kvr_loconet_msg& m) { return kvr_lntcp_format_receive(m); }

// A server on an ephemeral loopback port. The bus behind it echoes every
// message it is given unless `echo` is off; `refuse` makes the bus refuse.
class server_fixture {
public:
    explicit server_fixture(kvr_lntcp_server_options opt = {}) {
        opt.listen = {"127.0.0.1", 0};
        opt.version = "Busprobe test";
        server_ = std::make_unique<kvr_lntcp_server>(
            opt,
            [this](const kvr_loconet_msg& m) -> std::string {
                std::lock_guard<std::mutex> lk(m_);
                sent_.push_back(m);
                if (!refuse.empty()) return refuse;
                if (echo) server_->bus_message(m);
                return {};
            },
            [this](const kvr_lntcp_report& r) {
                std::lock_guard<std::mutex> lk(m_);
                reports_.push_back(r);
                cv_.notify_all();
            });
        server_->set_withdraw_handler([this](const kvr_loconet_msg& m) {
            std::lock_guard<std::mutex> lk(m_);
            withdrawn_.push_back(m);
            return true;
        });
        server_->start();
    }

    kvr_lntcp_server& server() { return *server_; }
    uint16_t port() const { return server_->port(); }

    std::vector<kvr_loconet_msg> sent() {
        std::lock_guard<std::mutex> lk(m_);
        return sent_;
    }
    std::vector<kvr_loconet_msg> withdrawn() {
        std::lock_guard<std::mutex> lk(m_);
        return withdrawn_;
    }
    // Waits (bounded, as a hang guard) for a report that `pred` accepts.
    template <class P>
    std::optional<kvr_lntcp_report> wait_report(P pred) {
        std::unique_lock<std::mutex> lk(m_);
        std::optional<kvr_lntcp_report> found;
        cv_.wait_for(lk, std::chrono::seconds(20), [&] {
            for (const auto& r : reports_)
                if (pred(r)) found = r;
            return found.has_value();
        });
        return found;
    }
    std::size_t report_count(kvr_lntcp_report::what w) {
        std::lock_guard<std::mutex> lk(m_);
        std::size_t n = 0;
        for (const auto& r : reports_) n += r.event == w;
        return n;
    }

    std::atomic<bool> echo{true};
    std::string refuse;  // set before any client sends

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<kvr_loconet_msg> sent_;
    std::vector<kvr_loconet_msg> withdrawn_;
    std::vector<kvr_lntcp_report> reports_;
    std::unique_ptr<kvr_lntcp_server> server_;
};

TEST(LntcpEndpoint, ParsesWhatUsersType) {
    const struct {
        const char* text;
        bool bare_port;
        bool ok;
        const char* host;
        uint16_t port;
    } cases[] = {
        {"127.0.0.1:4321", false, true, "127.0.0.1", 4321},
        {"localhost", false, true, "localhost", 1234},
        {"[::1]:99", false, true, "::1", 99},
        {"[::1]", false, true, "::1", 1234},
        {"::1", false, true, "::1", 1234},
        {"4321", true, true, "127.0.0.1", 4321},
        {"0.0.0.0:1", true, true, "0.0.0.0", 1},
        {"host:0", false, true, "host", 0},
        {"host:65536", false, false, "", 0},
        {"host:12x", false, false, "", 0},
        {"host:", false, false, "", 0},
        {":1234", false, false, "", 0},
        {"[::1", false, false, "", 0},
        {"[::1]x", false, false, "", 0},
        {"", false, false, "", 0},
        {" 21006", true, false, "", 0},  // a blank is no host, nor a port
        {"-1", true, false, "", 0},
        {"h\tx:1", false, false, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        kvr_lntcp_endpoint ep;
        std::string error;
        ASSERT_EQ(kvr_lntcp_parse_endpoint(c.text, c.bare_port, ep, error), c.ok);
        if (c.ok) {
            EXPECT_EQ(ep.host, c.host);
            EXPECT_EQ(ep.port, c.port);
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
    EXPECT_EQ((kvr_lntcp_endpoint{"::1", 1234}).text(), "[::1]:1234");
}

TEST(LntcpServer, SendIsEchoedToEveryClientAndConfirmedToItsSender) {
    server_fixture f;
    EXPECT_EQ(f.server().address(), "127.0.0.1:" + std::to_string(f.port()));
    client a(f.port()), b(f.port());
    ASSERT_TRUE(a.connected() && b.connected());
    EXPECT_EQ(a.line(), "VERSION Busprobe test");
    EXPECT_EQ(b.line(), "VERSION Busprobe test");

    ASSERT_TRUE(a.write("SEND A0 05 3F 65\r\n"));
    EXPECT_EQ(a.line(), "RECEIVE A0 05 3F 65");
    EXPECT_EQ(a.line(), "SENT OK");
    EXPECT_EQ(b.line(), "RECEIVE A0 05 3F 65");
    ASSERT_EQ(f.sent().size(), 1u);
    EXPECT_EQ(f.sent()[0], kvr_loconet_msg::with_checksum({0xA0, 0x05, 0x3F}));

    // B never sent, so its next line is the next bus message, not a SENT.
    f.server().bus_message(kvr_loconet_msg::with_checksum({0x83}));
    EXPECT_EQ(b.line(), "RECEIVE 83 7C");
    EXPECT_EQ(a.line(), "RECEIVE 83 7C");
}

TEST(LntcpServer, EverySendIsAnsweredEvenWhenItCannotGoOut) {
    kvr_lntcp_server_options opt;
    opt.echo_timeout_ms = 50;
    opt.max_line = 256;
    server_fixture f(opt);
    f.echo = false;
    client a(f.port());
    ASSERT_EQ(a.line(), "VERSION Busprobe test");

    const struct {
        std::string line;
        const char* answer;
    } cases[] = {
        {"SEND 83 7D", "SENT ERROR bad checksum"},  // every fault of a line: with the line codec
        {"SEND " + std::string(1000, '8'), "SENT ERROR line too long"},
        {"SEND\t83 7C", "SENT ERROR bad line: SEND, one space, then hex bytes"},
        {std::string("SEND\0 83 7C", 11), "SENT ERROR bad line: SEND, one space, then hex bytes"},
        {"SEND 83 7C", "SENT ERROR not sent: the bus was busy for 50 ms"},  // taken back unwritten
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 20));
        ASSERT_TRUE(a.write(c.line + "\n"));
        EXPECT_EQ(a.line(), c.answer);
    }
    // Only the well-formed message was handed to the bus, and taken back.
    ASSERT_EQ(f.sent().size(), 1u);
    EXPECT_EQ(f.sent()[0], kvr_loconet_msg::with_checksum({0x83}));
    EXPECT_EQ(f.withdrawn(), f.sent());

    // Lines that are not SEND ask nothing and get nothing; the next SEND
    // still gets its own answer.
    f.refuse = "link closed";
    ASSERT_TRUE(a.write("VERSION me\nHELLO\n\x01\x02\xff\nSEND 83 7C\n"));
    EXPECT_EQ(a.line(), "SENT ERROR link closed");
}

// One client sending as fast as it can: the SENDs past its queue are
// refused at once, the bus is never handed more than a few at a time, and
// another client's SEND takes its turn next instead of waiting behind them.
TEST(LntcpServer, FloodingClientIsBoundedAndTheOthersTakeTheirTurn) {
    kvr_lntcp_server_options opt;
    opt.echo_timeout_ms = 60000;
    server_fixture f(opt);
    f.echo = false;  // the test plays the bus
    client flood(f.port()), other(f.port());
    ASSERT_EQ(flood.line(), "VERSION Busprobe test");
    ASSERT_EQ(other.line(), "VERSION Busprobe test");

    std::string burst;
    for (int i = 0; i < 200; ++i) burst += kvr_lntcp_format_send(speed_msg(i)) + "\r\n";
    ASSERT_TRUE(flood.write(burst));
    for (int i = 0; i < 200 - 16; ++i) ASSERT_EQ(flood.line(), "SENT ERROR busy") << i;
    ASSERT_TRUE(eventually([&] { return f.sent().size() == opt.max_in_flight; }));

    const kvr_loconet_msg mine = kvr_loconet_msg::with_checksum({0xA0, 0x7F, 0x40});
    ASSERT_TRUE(other.write(kvr_lntcp_format_send(mine) + "\r\n"));
    // The bus echoes what it was handed, one message at a time.
    const auto handed_mine = [&] {
        const auto handed = f.sent();
        return std::find(handed.begin(), handed.end(), mine) != handed.end();
    };
    std::size_t echoed = 0;
    while (!handed_mine() && echoed < 17) {
        ASSERT_TRUE(eventually([&] { return f.sent().size() > echoed; }));
        f.server().bus_message(f.sent()[echoed++]);
        eventually([&] { return handed_mine() || f.sent().size() > opt.max_in_flight + echoed - 1; });
    }
    f.server().bus_message(mine);
    const auto handed = f.sent();
    const auto at = std::find(handed.begin(), handed.end(), mine) - handed.begin();
    EXPECT_LE(at, static_cast<long>(opt.max_in_flight + 1)) << "waited behind the flood";
    std::optional<std::string> l;
    while ((l = other.line()) && l->rfind("RECEIVE", 0) == 0) continue;
    EXPECT_EQ(l, "SENT OK");
    EXPECT_LE(f.sent().size(), opt.max_in_flight + echoed + 1);  // never more on its way
}

// A SEND answered SENT ERROR never reaches the bus later: those still
// queued are dropped, those handed out taken back.
TEST(LntcpServer, SendAnsweredWithAnErrorIsNeverWrittenLater) {
    kvr_lntcp_server_options opt;
    opt.echo_timeout_ms = 100;
    server_fixture f(opt);
    f.echo = false;
    client a(f.port());
    ASSERT_EQ(a.line(), "VERSION Busprobe test");
    std::string burst;
    for (int i = 0; i < 10; ++i) burst += kvr_lntcp_format_send(speed_msg(i)) + "\r\n";
    ASSERT_TRUE(a.write(burst));
    for (int i = 0; i < 10; ++i) ASSERT_EQ(a.line(), "SENT ERROR not sent: the bus was busy for 100 ms") << i;
    EXPECT_EQ(f.sent().size(), opt.max_in_flight);
    EXPECT_EQ(f.withdrawn(), f.sent());
}

// "SEND ..." and then the end of input: the answer still comes before the
// server closes.
TEST(LntcpServer, HalfClosedClientGetsItsAnswerBeforeTheServerCloses) {
    server_fixture f;
    client a(f.port());
    ASSERT_EQ(a.line(), "VERSION Busprobe test");
    ASSERT_TRUE(a.write("SEND 83 7C\r\n"));
    ASSERT_EQ(::shutdown(a.fd(), SHUT_WR), 0);
    EXPECT_EQ(a.line(), "RECEIVE 83 7C");
    EXPECT_EQ(a.line(), "SENT OK");
    EXPECT_TRUE(a.closed_by_server());
    EXPECT_TRUE(f.wait_report([](const kvr_lntcp_report& r) { return r.reason == "closed by client"; }));
}

// 40 well-behaved clients beside one sending garbage, one sending a 1 MB
// line without an end, and one leaving in the middle of a line.
TEST(LntcpServer, ManyClientsGetEveryMessageOnceAndInOrderDespiteMisbehavingOnes) {
    server_fixture f;
    std::vector<std::unique_ptr<client>> good;
    for (int i = 0; i < 40; ++i) {
        good.push_back(std::make_unique<client>(f.port()));
        ASSERT_EQ(good.back()->line(), "VERSION Busprobe test") << i;
    }
    client garbage(f.port()), endless(f.port()), leaver(f.port());
    for (client* c : {&garbage, &endless, &leaver}) ASSERT_EQ(c->line(), "VERSION Busprobe test");

    ASSERT_TRUE(leaver.write("SEND A0 05"));
    leaver.close();
    std::thread flood([&] {
        std::string junk(1 << 20, 'Z');
        for (std::size_t i = 0; i < junk.size(); i += 7) junk[i] = static_cast<char>(i * 31);
        for (char& ch : junk)
            if (ch == '\r' || ch == '\n') ch = ' ';
        garbage.write(junk.substr(0, 4096) + "\nRECEIVE 83 7C\nSEND zz\n");
        endless.write("SEND " + junk);
    });

    const int count = 300;
    for (int i = 0; i < count; ++i) f.server().bus_message(speed_msg(i));
    flood.join();

    for (std::size_t k = 0; k < good.size(); ++k)
        for (int i = 0; i < count; ++i) ASSERT_EQ(good[k]->line(), receive_line(speed_msg(i))) << k;
    EXPECT_TRUE(f.wait_report([](const kvr_lntcp_report& r) { return r.reason == "closed by client"; }));
    EXPECT_TRUE(f.sent().empty());
    EXPECT_EQ(f.server().client_count(), good.size() + 2);

    // The misbehaving clients are still served: one more message reaches
    // them like everyone else.
    f.server().bus_message(kvr_loconet_msg::with_checksum({0x82}));
    EXPECT_EQ(good.front()->line(), "RECEIVE 82 7D");
    // The garbage client's one well-formed token, a SEND with bad hex, got
    // its answer among the bus messages.
    std::vector<std::string> seen;
    while (seen.size() < count + 2u) seen.push_back(garbage.line().value_or("(nothing)"));
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "SENT ERROR bad hex"), 1);
    EXPECT_EQ(seen.back(), "RECEIVE 82 7D");
}

TEST(LntcpServer, ClientThatStopsReadingIsDroppedWhileTheOthersKeepUp) {
    kvr_lntcp_server_options opt;
    opt.max_output = 64 * 1024;
    server_fixture f(opt);
    client reader(f.port());
    client stalled(f.port(), 4096);
    ASSERT_EQ(reader.line(), "VERSION Busprobe test");
    ASSERT_EQ(stalled.line(), "VERSION Busprobe test");

    std::mutex m;
    std::condition_variable cv;
    std::size_t seen = 0;
    std::vector<std::string> got;
    const std::string marker = receive_line(kvr_loconet_msg::with_checksum({0x85}));
    std::thread read_all([&] {
        while (auto l = reader.line()) {
            std::lock_guard<std::mutex> lk(m);
            if (*l == marker) break;
            got.push_back(*l);
            ++seen;
            cv.notify_all();
        }
    });

    // Rounds of messages, each read by the reader before the next, until the
    // kernel's buffers for the stalled client are full and its output passes
    // the bound (a few MB at most; the round count is a hang guard).
    const auto dropped = [](const kvr_lntcp_report& r) { return r.reason.find("not reading") != std::string::npos; };
    int sent = 0;
    for (int round = 0; round < 2000 && f.server().client_count() == 2; ++round) {
        for (int i = 0; i < 1000; ++i) f.server().bus_message(speed_msg(sent++));
        std::unique_lock<std::mutex> lk(m);
        ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(20), [&] { return seen == static_cast<std::size_t>(sent); }));
    }
    f.server().bus_message(kvr_loconet_msg::with_checksum({0x85}));
    read_all.join();

    const auto report = f.wait_report(dropped);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->event, kvr_lntcp_report::what::disconnected);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(sent));
    for (int i = 0; i < sent; ++i) ASSERT_EQ(got[static_cast<std::size_t>(i)], receive_line(speed_msg(i)));
    EXPECT_TRUE(stalled.closed_by_server());
}

TEST(LntcpServer, ReportsEveryConnectAndDisconnectAndClosesAllOnStop) {
    kvr_lntcp_server_options opt;
    opt.max_clients = 2;
    server_fixture f(opt);
    const std::string prefix = "client 127.0.0.1:";

    client a(f.port());
    ASSERT_EQ(a.line(), "VERSION Busprobe test");
    const auto connected = f.wait_report([](const kvr_lntcp_report& r) { return r.event == kvr_lntcp_report::what::connected; });
    ASSERT_TRUE(connected);
    EXPECT_EQ(connected->text().rfind(prefix, 0), 0u);
    EXPECT_EQ(connected->text().substr(connected->text().size() - 10), " connected");

    client b(f.port());
    ASSERT_EQ(b.line(), "VERSION Busprobe test");
    client third(f.port());
    EXPECT_EQ(third.line(), "ERROR MESSAGE server full: 2 clients already connected");
    EXPECT_TRUE(third.closed_by_server());
    EXPECT_TRUE(f.wait_report([](const kvr_lntcp_report& r) { return r.reason.rfind("refused", 0) == 0; }));

    a.close();
    const auto left = f.wait_report([](const kvr_lntcp_report& r) { return r.reason == "closed by client"; });
    ASSERT_TRUE(left);
    EXPECT_NE(left->text().find(" disconnected: closed by client"), std::string::npos);

    f.server().stop();
    EXPECT_TRUE(b.closed_by_server());
    EXPECT_TRUE(f.wait_report([](const kvr_lntcp_report& r) { return r.reason == "server stopping"; }));
    EXPECT_EQ(f.report_count(kvr_lntcp_report::what::connected), 2u);
    EXPECT_EQ(f.server().client_count(), 0u);
}

TEST(LntcpServer, NamesTheAddressItCannotListenOn) {
    server_fixture f;
    kvr_lntcp_server_options opt;
    opt.listen = {"127.0.0.1", f.port()};
    kvr_lntcp_server second(opt, nullptr, nullptr);
    try {
        second.start();
        FAIL() << "bound a port already in use";
    } catch (const kvr_exception& e) {
        EXPECT_NE(e.message.find("127.0.0.1:" + std::to_string(f.port())), std::string::npos) << e.message;
    }
}

}  // namespace
