// The client side of LocoNet over TCP: port names, connecting on loopback,
// and what each server line becomes for the link.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "foundation/kvr_file.h"
#include "link/kvr_lntcp_connect.h"
#include "link/kvr_link.h"
#include "link/link_test_support.h"
#include "link/lntcp_test_client.h"
#include "support/closed_port.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

namespace {

TEST(LntcpUrl, ParsesTcpPortNames) {
    const struct {
        const char* name;
        bool ok;
        const char* host;
        uint16_t port;
    } cases[] = {
        // The address after the scheme is a server's endpoint (checked with
        // the server's own), with the default port and a port 0 refused.
        {"tcp://localhost", true, "localhost", 1234},
        {"tcp://192.168.1.5:4321", true, "192.168.1.5", 4321},
        {"tcp://[fe80::1]", true, "fe80::1", 1234},
        {"tcp://localhost/", true, "localhost", 1234},
        {"tcp://", false, "", 0},
        {"tcp://host:0", false, "", 0},
        {"COM1", false, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kvr_lntcp_endpoint ep;
        std::string error;
        ASSERT_EQ(kvr_lntcp_parse_url(c.name, ep, error), c.ok) << error;
        if (c.ok) {
            EXPECT_EQ(ep.host, c.host);
            EXPECT_EQ(ep.port, c.port);
        }
    }
}

TEST(LntcpConnect, ConnectsOrSaysWhyWithTheFix) {
    kvr_lntcp_server_options opt;
    opt.listen = {"127.0.0.1", 0};
    opt.version = "test";
    kvr_lntcp_server server(opt, nullptr, nullptr);
    server.start();

    kvr_lntcp_connection ok = kvr_lntcp_connect({"localhost", server.port()}, kvr_lntcp_connect_ms, -1);
    ASSERT_GE(ok.fd, 0) << ok.why;
    char buf[64] = {};
    pollfd p{ok.fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(::read(ok.fd, buf, sizeof buf))), "VERSION test\r\n");
    ::close(ok.fd);

    const uint16_t closed = closed_tcp_port();
    kvr_lntcp_connection refused = kvr_lntcp_connect({"127.0.0.1", closed}, kvr_lntcp_connect_ms, -1);
    EXPECT_EQ(refused.fd, -1);
    EXPECT_EQ(refused.error, ECONNREFUSED);
    EXPECT_EQ(refused.why, "cannot connect to 127.0.0.1:" + std::to_string(closed) +
                               ": Connection refused (nothing listens at that address)");

    // A wake-up for a queued message does not end the connect; closing the
    // link does, at once.
    const int wake = ::eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK);
    std::atomic<bool> stop{false};
    kvr_lntcp_connection news = kvr_lntcp_connect({"127.0.0.1", server.port()}, kvr_lntcp_connect_ms, wake, &stop);
    EXPECT_GE(news.fd, 0) << news.why;
    ::close(news.fd);
    stop = true;
    const uint64_t one = 1;
    ASSERT_EQ(::write(wake, &one, sizeof one), 8);
    kvr_lntcp_connection cancelled = kvr_lntcp_connect({"127.0.0.1", server.port()}, kvr_lntcp_connect_ms, wake, &stop);
    EXPECT_EQ(cancelled.fd, -1);
    EXPECT_EQ(cancelled.error, ECANCELED);
    ::close(wake);
}

TEST(LntcpClientLine, OnlyReceiveIsABusMessage) {
    const struct {
        const char* line;
        bool message;
        bool failed_send;
        const char* note;
    } cases[] = {
        {"RECEIVE 83 7C", true, false, ""},
        {"SENT OK", false, false, ""},
        {"SENT ERROR no echo from the bus within 2000 ms", false, true,
         "LocoNet over TCP: SENT ERROR no echo from the bus within 2000 ms"},
        {"VERSION LbServer 1.0", false, false, "LocoNet over TCP: VERSION LbServer 1.0"},
        {"TIMESTAMP 1234", false, false, "LocoNet over TCP: TIMESTAMP 1234"},
        {"BREAK", false, false, "LocoNet over TCP: BREAK"},
        {"ERROR CHECKSUM 83 7D", false, false, "LocoNet over TCP: ERROR CHECKSUM 83 7D"},
        {"ERROR LINE framing", false, false, "LocoNet over TCP: ERROR LINE framing"},
        {"ERROR MESSAGE odd", false, false, "LocoNet over TCP: ERROR MESSAGE odd"},
        {"RECEIVE 83 7D", false, false, "LocoNet over TCP: bad line (bad checksum): RECEIVE 83 7D"},
        {"FUTURE \x1b[2Jthing\x7f", false, false, "LocoNet over TCP: FUTURE ?[2Jthing?"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const kvr_lntcp_client_event ev = kvr_lntcp_client_line(c.line, false);
        EXPECT_EQ(ev.is_message, c.message);
        EXPECT_EQ(ev.failed_send, c.failed_send);
        EXPECT_EQ(ev.note, c.note);
        if (c.message) {
            EXPECT_EQ(ev.msg, kvr_loconet_msg::with_checksum({0x83}));
        }
    }
    EXPECT_EQ(kvr_lntcp_client_line("RECEIVE 83 7C", true).is_message, false);
}

}  // namespace

namespace {

// What serve refuses as serving itself, and what it must not.
TEST(LntcpConnect, ReachesListenerOnlyForTheSameAddressAndPort) {
    const struct {
        kvr_lntcp_endpoint target, listen;
        bool same;
    } cases[] = {
        {{"localhost", 21006}, {"127.0.0.1", 21006}, true},
        {{"127.0.0.1", 21006}, {"0.0.0.0", 21006}, true},  // every address of this machine
        {{"127.0.0.1", 21006}, {"127.0.0.1", 21007}, false},
        {{"127.0.0.2", 21006}, {"127.0.0.1", 21006}, false},
        {{"::1", 21006}, {"0.0.0.0", 21006}, false},  // no IPv6 there
    };
    for (const auto& c : cases)
        EXPECT_EQ(kvr_lntcp_reaches_listener(c.target, c.listen), c.same) << c.target.text() << " " << c.listen.text();
}

// Each refused SEND fails its own message (the sink hears of each), but the
// dated log gets one record a minute however many the server refuses.
TEST(LntcpLink, RefusalsFailTheirMessagesAndAreLoggedThroughTheRepeatGate) {
    class refusals : public link_test::line_sink {
    public:
        void on_send_refused(const std::string& report) override {
            std::lock_guard<std::mutex> lk(m);
            reports.push_back(report);
        }
        std::mutex m;
        std::vector<std::string> reports;
    };
    temp_dir logs;
    kvr_global_dated_log().set_directory(logs.path.string());
    scripted_server server(scripted_server::script::refuse);
    refusals sink;
    {
        kvr_link link;
        link.add_listener(&sink);
        link.open(server.url());
        for (int i = 0; i < 5; ++i) link.send(kvr_loconet_msg::with_checksum({0x83}), 0);
        EXPECT_TRUE(link.wait_tx_empty(10000));
        link.close();
        link.remove_listener(&sink);
    }
    kvr_global_dated_log().set_directory({});
    {
        std::lock_guard<std::mutex> lk(sink.m);
        ASSERT_EQ(sink.reports.size(), 5u);
        EXPECT_NE(sink.reports[0].find("SEND 83 7C refused by the server: SENT ERROR busy"), std::string::npos)
            << sink.reports[0];
    }
    const std::string log = read_all(kvr_dated_log(logs.path.string()).today_path());
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n') + (log.empty() || log.back() == '\n' ? 0 : 1), 1) << log;
}

// A server that greets each client and closes the connection in good order.
class closing_server {
public:
    closing_server() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::listen(fd_, 4);
        socklen_t len = sizeof sa;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
        thread_ = std::thread([this] {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) return;
            const int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            const char hello[] = "VERSION closing\r\n";
            [[maybe_unused]] ssize_t n = ::send(c, hello, sizeof hello - 1, MSG_NOSIGNAL);
            ::shutdown(c, SHUT_WR);
            char sink[256];
            while (::recv(c, sink, sizeof sink, 0) > 0) {
            }
            ::close(c);
        });
    }
    ~closing_server() {
        thread_.join();
        ::close(fd_);
    }
    uint16_t port = 0;

private:
    int fd_ = -1;
    std::thread thread_;
};

// The reports of this path are in words: they name the server and what
// happened, with neither the code tag nor the source line of the serial
// adapter's reports, and a server that ended the connection in good order
// is not reported as a reset.
TEST(LntcpLink, ReportsNameTheServerInPlainWords) {
    const auto plain = [](const std::string& report) {
        for (const char* foreign : {"WIN32", "kvr_ms100", "CreateFile", "Connection reset"})
            EXPECT_EQ(report.find(foreign), std::string::npos) << foreign << " in " << report;
    };
    {
        kvr_link link;
        try {
            link.open("tcp://127.0.0.1:0");
            ADD_FAILURE() << "open succeeded";
        } catch (const kvr_exception& e) {
            EXPECT_EQ(e.where, "tcp://127.0.0.1:0 is not a server address (port 0 is not a server's port)");
            EXPECT_EQ(e.code, uint32_t{EINVAL});
            plain(e.report());
        }
        EXPECT_FALSE(link.is_open());
    }
    const struct {
        uint16_t port;
        std::string words;
    } lost[] = {
        {closed_tcp_port(), ") :connect (nothing listens at that address) "},
        {0, "the LocoNet-over-TCP server at 127.0.0.1:"},
    };
    for (const auto& c : lost) {
        std::optional<closing_server> server;
        if (c.port == 0) server.emplace();
        const uint16_t port = c.port ? c.port : server->port;
        SCOPED_TRACE(port);
        link_test::line_sink sink;
        kvr_link link;
        link.add_listener(&sink);
        link.open("tcp://127.0.0.1:" + std::to_string(port));
        ASSERT_TRUE(sink.wait_lost(5000));
        link.close();
        link.remove_listener(&sink);
        const std::string report = sink.reports().at(0);
        EXPECT_NE(report.find(c.words), std::string::npos) << report;
        if (server) {
            EXPECT_NE(report.find(std::to_string(port) + " closed the connection"), std::string::npos) << report;
        }
        plain(report);
    }
}

}  // namespace
