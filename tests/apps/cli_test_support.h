#pragma once
// Peers for busprobe-cli tests: the simulated station on a pseudo-terminal
// with a record of what reached the bus, a bare pseudo-terminal whose
// master the test holds, and a scripted station on such a terminal.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "apps/cli/cli_main.h"
#include "loconet/kvr_loconet_msg.h"
#include "sim/kvr_sim_runner.h"

using cli_bytes = std::vector<uint8_t>;

struct cli_result {
    int status = -1;
    std::string out;
    std::string err;
    double seconds = 0;
};

// Runs kvr_cli_run in this process with captured streams, no signal
// handling, and a settings file that does not exist unless given.
cli_result run_cli(const std::vector<std::string>& args, const std::string& settings_path = {},
                   const std::string& input = {});

// A whole message with its checksum appended: msg({0x83}) is 83 7C.
kvr_loconet_msg make_msg(const cli_bytes& without_checksum);
cli_bytes bytes_of(const kvr_loconet_msg& m);

// The simulated station; every message it puts on the bus is recorded, and
// since it echoes each request first, the requests that reached it are there.
class sim_bus {
public:
    explicit sim_bus(kvr_sim_options options = instant_options());
    static kvr_sim_options instant_options();

    const std::string& path() const { return runner_.device_path(); }
    std::vector<cli_bytes> seen() const;
    // True when every message of `expected` was seen, in this order (other
    // messages may come between), within a second. The tool returns once
    // its bytes are written; the station reads them a moment later.
    bool saw_in_order(const std::vector<cli_bytes>& expected) const;
    // Waits until no message has come for a while, so that the layout shows
    // the effect of every byte written so far.
    void settle() const;
    void clear();

    template <class F>
    auto with_station(F&& f) { return runner_.with_station(std::forward<F>(f)); }

private:
    mutable std::mutex mutex_;
    std::vector<cli_bytes> seen_;
    kvr_sim_runner runner_;
};

// A pseudo-terminal whose master side the test holds. Its slave is kept open
// in raw mode, so the line discipline never echoes.
class bare_pty {
public:
    bare_pty();
    ~bare_pty();
    bare_pty(const bare_pty&) = delete;
    bare_pty& operator=(const bare_pty&) = delete;

    const std::string& path() const { return path_; }
    int master() const { return master_; }
    void write_master(const cli_bytes& bytes);
    // Closes both sides held here: the client's device reports the loss.
    void hang_up();

private:
    std::string path_;
    int master_ = -1;
    int slave_ = -1;
};

// A station that answers each framed request with what `answer` returns.
class scripted_station {
public:
    using answer_fn = std::function<std::vector<kvr_loconet_msg>(const kvr_loconet_msg&)>;
    explicit scripted_station(answer_fn answer);
    ~scripted_station();

    const std::string& path() const { return pty_.path(); }
    std::vector<cli_bytes> received() const;

private:
    void run();

    bare_pty pty_;
    answer_fn answer_;
    mutable std::mutex mutex_;
    std::vector<cli_bytes> received_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
