// The first line of a link failure's report, in plain words: what happened,
// to which port, what to do. The rest of the report stays as it was.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "foundation/kvr_exception.h"
#include "foundation/kvr_file.h"
#include "link_test_support.h"
#include "loconet/kvr_link_words.h"
#include "loconet/kvr_ms100.h"
#include "support/eventually.h"
#include "support/temp_dir.h"
#include "support/test_pty.h"
#include "support/unprivileged.h"

using namespace link_test;

namespace {

// A loopback port where nothing listens: bound, then closed.
uint16_t closed_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(fd);
    return ntohs(sa.sin_port);
}

std::string first_line(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

std::string after_first_line(const std::string& text) {
    const std::size_t nl = text.find('\n');
    return nl == std::string::npos ? std::string() : text.substr(nl + 1);
}

// The report of opening `port`: thrown by open, or for a TCP server the
// lost-link notice of its I/O thread. "" when neither came.
std::string report_of_open(const std::string& port) {
    line_sink sink;
    kvr_ms100 link;
    link.set_window(&sink);
    try {
        link.open(port);
    } catch (const kvr_exception& e) {
        if (e.report() != e.plain + "\n" + e.message) return "report is not the plain line and the message";
        return e.report();
    }
    if (!sink.wait_lost(10000)) return "";
    link.close();
    return sink.reports().at(0);
}

}  // namespace

// Words for failures the tests below cannot bring about.
TEST(LinkWords, SayWhatHappenedToWhichPortAndWhatToDo) {
    const struct { kvr_link_step step; const char* port; int err; const char* words; } cases[] = {
        {kvr_link_step::open, "COM5", ENOENT,
         "There is no port COM5. Plug the adapter in or choose another port and press Connect."},
        {kvr_link_step::not_serial, "/dev/null", ENOTTY,
         "/dev/null is not a serial port. Choose the adapter's port and press Connect."},
        {kvr_link_step::lost, "COM1", EIO, "The adapter COM1 was unplugged. Plug it in and press Connect."},
        {kvr_link_step::lost, "COM1", EAGAIN,
         "Talking to COM1 failed (resource temporarily unavailable); the link goes on."},
        {kvr_link_step::tcp_resolve, "layout.local", EAI_AGAIN,
         "The name layout.local could not be looked up (Temporary failure in name resolution). "
         "Check the network and press Connect."},
        {kvr_link_step::tcp_connect, "10.0.0.9:1234", ETIMEDOUT,
         "No answer from 10.0.0.9:1234 within 3 s. Check the address and the network and press Connect."},
        {kvr_link_step::tcp_lost, "10.0.0.9:1234", ECONNRESET,
         "The server 10.0.0.9:1234 closed the connection. Start it again and press Connect."},
    };
    for (const auto& c : cases) {
        const std::string words = kvr_link_words(c.step, c.port, c.err);
        EXPECT_EQ(words, c.words);
        // The dated log's records are comma-separated.
        EXPECT_EQ(words.find_first_of(",\n"), std::string::npos) << words;
    }
}

// Each failure a user meets when connecting: the first line in plain words,
// then the record as it always was. Permission and a port held by another
// program mean something only for an ordinary user, so all run as one.
TEST(LinkWords, EachReportStartsWithItsPlainLine) {
    test_pty held;  // made by root: an ordinary user may not open it
    const std::string forbidden = held.path();
    const uint16_t refused = closed_port();
    EXPECT_EQ(unprivileged::run([&]() -> std::string {
                  scratch_dir dir;
                  test_pty pty;
                  kvr_ms100 holder;
                  try {
                      holder.open(pty.path());
                  } catch (const kvr_exception& e) {
                      return "cannot hold the port: " + e.message;
                  }
                  const std::string server = "127.0.0.1:" + std::to_string(refused);
                  const struct { std::string port, first, record; } cases[] = {
                      {pty.path(), pty.path() + " is in use by another program. Close that program and press Connect.",
                       "(" + pty.path() + ") :CreateFile (another program holds the port)"},
                      {forbidden,
                       "You may not use " + forbidden +
                           ". Join the dialout group (sudo usermod -aG dialout $USER) and log in again. Then press "
                           "Connect.",
                       "(" + forbidden + ") :CreateFile (the user must be in the dialout group"},
                      {"tcp://" + server,
                       "Nothing listens at " + server +
                           " (connection refused). Start the server or correct the address and press Connect.",
                       "(tcp://" + server + ") :connect (nothing listens at that address)"},
                      // The .invalid domain never resolves (RFC 2606).
                      {"tcp://layout.invalid", "Unknown host layout.invalid. Check the name and press Connect.",
                       "(tcp://layout.invalid) :getaddrinfo ("},
                  };
                  std::string out;
                  for (const auto& c : cases) {
                      const std::string report = report_of_open(c.port);
                      if (first_line(report) != c.first) out += "\nfirst line: " + report;
                      if (after_first_line(report).rfind(c.record, 0) != 0) out += "\nrecord: " + report;
                      if (report.find("No route to host") != std::string::npos) out += "\nno route: " + report;
                  }
                  return out;
              }),
              "");
}

// Pulling the adapter out: the notice starts with its plain line, and the
// dated log's record names the port and the reason.
TEST(LinkWords, UnpluggedAdapterIsSaidAndRecordedWithPortAndReason) {
    scratch_dir dir;
    test_pty pty;
    line_sink sink;
    kvr_ms100 link;
    link.set_window(&sink);
    link.open(pty.path());
    pty.hang_up();
    ASSERT_TRUE(sink.wait_lost(5000));
    link.close();
    const std::string report = sink.reports().at(0);
    EXPECT_EQ(first_line(report), "The adapter " + pty.path() + " was unplugged. Plug it in and press Connect.");
    // The status query or the read meets the loss first, as it happens.
    EXPECT_EQ(after_first_line(report).rfind("kvr_ms100::rx_proc::", 0), 0u) << report;
    std::ifstream in(kvr_global_dated_log().today_path());
    std::string record;
    std::getline(in, record);
    EXPECT_NE(record.find(" (link to " + pty.path() + " lost: Input/output error),kvr_ms100("),
              std::string::npos)
        << record;
}
