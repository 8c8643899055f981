#include "apps/cli/cli_abort.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "apps/cli/cli_main.h"
#include "foundation/kvr_exception.h"
#include "link/kvr_serial.h"

namespace {

// Write end of the pipe of the watch that catches signals, -1 when none does.
// A lock-free atomic is safe to read inside a signal handler.
std::atomic<int> signal_pipe{-1};
static_assert(std::atomic<int>::is_always_lock_free);

// The signals that end a command in order: each would otherwise end the
// program on the spot, the port still locked.
constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction old_actions[std::size(stop_signals)];
sigset_t old_mask;

sigset_t stop_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : stop_signals) sigaddset(&set, sig);
    return set;
}

// Ends the program now, the ports released first. Only async-signal-safe
// calls: other threads may hold any lock.
[[noreturn]] void end_now(const char* note) {
    kvr_serial::release_held_ports();
    if (note) {
        ssize_t n = write(STDERR_FILENO, note, std::strlen(note));
        (void)n;
    }
    std::_Exit(kvr_cli_cancelled);
}

// The last resort after a stop: a command whose way out blocks (a reader
// that stopped reading its output, a FIFO without its other end) is ended
// once the grace has passed. Detached, and touches only its argument, so it
// may outlive the watch that started it: the way out includes the final
// flush of the output after the watch is gone.
void start_backstop(std::chrono::milliseconds grace) {
    std::thread([grace] {
        std::this_thread::sleep_for(grace);
        end_now("busprobe-cli: the output or a file blocked the way out after the stop: ended\n");
    }).detach();
}

constexpr char byte_signal = 's';
constexpr char byte_stop = 'q';

extern "C" void on_signal(int) {
    int saved = errno;
    int fd = signal_pipe.load();
    if (fd >= 0) {
        char c = byte_signal;
        ssize_t n = write(fd, &c, 1);
        (void)n;  // a full pipe already holds a pending signal byte
    }
    errno = saved;
}

int poll_limit(std::chrono::steady_clock::time_point deadline, bool has_deadline) {
    if (!has_deadline) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    return left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
}

}  // namespace

cli_abort_watch::cli_abort_watch(kvr_sys_event& abort, double timeout_s, bool catch_signals)
    : abort_(abort), signals_(catch_signals) {
    if (pipe2(pipe_, O_CLOEXEC) != 0) KVR_RAISE("busprobe-cli::pipe()", static_cast<uint32_t>(errno), "busprobe-cli");
    // The handler must never block on a full pipe.
    fcntl(pipe_[1], F_SETFL, fcntl(pipe_[1], F_GETFL) | O_NONBLOCK);
    if (signals_) {
        signal_pipe.store(pipe_[1]);
        struct sigaction sa {};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        // A signal the program was started with ignored stays ignored:
        // `nohup busprobe-cli serve` must outlive its terminal's SIGHUP.
        for (std::size_t i = 0; i < std::size(stop_signals); ++i) {
            sigaction(stop_signals[i], nullptr, &old_actions[i]);
            if (old_actions[i].sa_handler != SIG_IGN) sigaction(stop_signals[i], &sa, nullptr);
        }
        // Only the watch thread takes the stop signals: this thread and every
        // thread it starts later (the link's, the server's) keep them blocked.
        // A signal the kernel hands to a busy I/O thread could otherwise be
        // held back there (sanitizer runtimes defer handlers to the next
        // library call) or interrupt its system calls.
        const sigset_t stops = stop_set();
        pthread_sigmask(SIG_BLOCK, &stops, &old_mask);
    }
    bool has_deadline = timeout_s > 0;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(has_deadline ? timeout_s : 0));
    thread_ = std::thread([this, deadline, has_deadline] { run(deadline, has_deadline); });
}

cli_abort_watch::~cli_abort_watch() {
    if (signals_) {
        // After a stop the program is on its way out: a second signal that
        // comes now (timeout(1) and service managers send SIGTERM again)
        // must not end it by the default action, with the port still held
        // and a status that says "killed" for an orderly end.
        const bool stopping = reason_.load() != cli_abort_reason::none;
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        for (std::size_t i = 0; i < std::size(stop_signals); ++i)
            sigaction(stop_signals[i], stopping ? &ignore : &old_actions[i], nullptr);
        signal_pipe.store(-1);
        pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    }
    // The pipe holds at most a few signal bytes, so the stop byte fits.
    char c = byte_stop;
    while (write(pipe_[1], &c, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    ::close(pipe_[0]);
    ::close(pipe_[1]);
}

void cli_abort_watch::fire(cli_abort_reason why) {
    cli_abort_reason none = cli_abort_reason::none;
    if (!reason_.compare_exchange_strong(none, why)) {
        // Already cancelling: a second Ctrl-C means "now".
        if (why == cli_abort_reason::interrupt) end_now(nullptr);
        return;
    }
    abort_.set();
    // Only in the program itself: a test running commands in its own process
    // must not be ended.
    if (signals_) start_backstop(stop_grace);
}

void cli_abort_watch::run(std::chrono::steady_clock::time_point deadline, bool has_deadline) {
    if (signals_) {
        const sigset_t stops = stop_set();
        pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
    }
    for (;;) {
        pollfd p{pipe_[0], POLLIN, 0};
        int r = poll(&p, 1, poll_limit(deadline, has_deadline));
        if (r < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (r == 0) {
            fire(cli_abort_reason::timeout);
            has_deadline = false;
            continue;
        }
        char c = 0;
        ssize_t n = read(pipe_[0], &c, 1);
        if (n <= 0 || c == byte_stop) return;
        fire(cli_abort_reason::interrupt);
    }
}
