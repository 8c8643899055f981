// The first line of a link failure's report, in plain words: what happened,
// to which port, what to do. The rest of the report stays as it was.

#include <gtest/gtest.h>

#include <netdb.h>

#include <cerrno>
#include <fstream>

#include "foundation/kvr_exception.h"
#include "foundation/kvr_file.h"
#include "link_test_support.h"
#include "loconet/kvr_link_words.h"
#include "link/kvr_link.h"
#include "support/temp_dir.h"
#include "support/test_pty.h"
#include "support/unprivileged.h"

using namespace link_test;

namespace {

std::string first_line(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

std::string after_first_line(const std::string& text) {
    const std::size_t nl = text.find('\n');
    return nl == std::string::npos ? std::string() : text.substr(nl + 1);
}

}  // namespace

// The dated log's records are comma-separated and one a line: no words may
// break them, whatever the failure.
TEST(LinkWords, NeverHoldACommaOrALineEnd) {
    for (int step = 0; step <= static_cast<int>(kvr_link_step::tcp_refused); ++step)
        for (int err : {0, EIO, ENOENT, EACCES, EBUSY, ECONNREFUSED, ETIMEDOUT, EHOSTUNREACH, ECONNRESET, EAI_AGAIN,
                        EAI_NONAME}) {
            const std::string words = kvr_link_words(static_cast<kvr_link_step>(step), "COM1", err, "why");
            EXPECT_EQ(words.find_first_of(",\n"), std::string::npos) << words;
            EXPECT_FALSE(words.empty());
        }
}

// Permission and a port held by another program: the first line says what
// to do, the record follows as it was. Both mean something only for an
// ordinary user. (The window's test covers the other failures.)
TEST(LinkWords, PermissionAndBusyPortsSayWhatToDo) {
    test_pty held;  // made by root: an ordinary user may not open it
    const std::string forbidden = held.path();
    EXPECT_EQ(unprivileged::run([&]() -> std::string {
                  test_pty pty;
                  kvr_link holder;
                  try {
                      holder.open(pty.path());
                  } catch (const kvr_exception& e) {
                      return "cannot hold the port: " + e.message;
                  }
                  const struct { std::string port, first, record; } cases[] = {
                      {pty.path(), pty.path() + " is in use by another program. Close that program and press Connect.",
                       "(" + pty.path() + ") :CreateFile (another program holds the port)"},
                      {forbidden,
                       "You may not use " + forbidden +
                           ". Join the dialout group (sudo usermod -aG dialout $USER) and log in again. Then press "
                           "Connect.",
                       "(" + forbidden + ") :CreateFile (the user must be in the dialout group"},
                  };
                  std::string out;
                  for (const auto& c : cases) {
                      kvr_link link;
                      try {
                          link.open(c.port);
                          out += "\nopened " + c.port;
                      } catch (const kvr_exception& e) {
                          const std::string report = e.report();
                          if (first_line(report) != c.first) out += "\nfirst line: " + report;
                          if (after_first_line(report).rfind(c.record, 0) != 0) out += "\nrecord: " + report;
                      }
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
    kvr_link link;
    link.add_listener(&sink);
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
