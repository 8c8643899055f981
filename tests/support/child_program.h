#pragma once
// A program run as a child process with its output on a pipe the test
// reads. Every wait is bounded: a child that hangs fails the test instead of
// hanging it. The child is ended (TERM, then KILL) when the object goes.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/unprivileged.h"

extern char** environ;

struct child_options {
    std::vector<std::string> env{};   // NAME=value, set over the test's environment
    std::string dir{};                // the working folder, when given
    const char* stdout_to = nullptr;  // a file for standard output ("" closes it); else the pipe
    bool stderr_to_pipe = true;       // else the test's own standard error
    int also_fd = -1;                 // the pipe on this descriptor too (a server's -displayfd)
    bool own_group = false;           // a process group of its own, ended as a whole
    bool ordinary_user = false;       // runs as unprivileged::uid()
};

class child_program {
public:
    using ms = std::chrono::milliseconds;

    // argv[0] is looked up on PATH unless it holds a slash.
    explicit child_program(std::vector<std::string> argv, child_options o = {}) : group_(o.own_group) {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0) return;
        std::vector<char*> args, envp;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        for (std::string& e : o.env) envp.push_back(e.data());
        for (char** e = environ; *e; ++e) {
            const std::string_view name(*e, std::string_view(*e).find('=') + 1);
            if (std::none_of(o.env.begin(), o.env.end(), [&](const std::string& s) { return s.starts_with(name); }))
                envp.push_back(*e);
        }
        envp.push_back(nullptr);
        const uid_t u = unprivileged::uid();
        const gid_t g = unprivileged::gid();
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls from here on: the test may run threads.
            if (!o.stdout_to) ::dup2(p[1], 1);
            else if (!*o.stdout_to) ::close(1);
            else if (const int f = ::open(o.stdout_to, O_WRONLY); f >= 0) ::dup2(f, 1);
            if (o.stderr_to_pipe) ::dup2(p[1], 2);
            if (o.also_fd >= 0) {
                ::dup2(p[1], o.also_fd);
                ::fcntl(o.also_fd, F_SETFD, 0);  // dup2 onto itself keeps close-on-exec
            }
            if (o.own_group) ::setpgid(0, 0);
            if ((!o.dir.empty() && ::chdir(o.dir.c_str()) != 0) || (o.ordinary_user && !unprivileged::drop(u, g)))
                ::_exit(126);
            ::execvpe(args[0], args.data(), envp.data());
            ::_exit(127);
        }
        ::close(p[1]);
        fd_ = p[0];
    }
    ~child_program() {
        end();
        if (fd_ >= 0) ::close(fd_);
    }
    child_program(const child_program&) = delete;
    child_program& operator=(const child_program&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig) const {
        if (pid_ > 0) ::kill(pid_, sig);
    }

    // Reads what comes within `wait_ms`; false when nothing came or the
    // output has ended.
    bool pump(int wait_ms) {
        if (fd_ < 0 || ended_) {
            std::this_thread::sleep_for(ms(std::min(wait_ms, 5)));
            return false;
        }
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, wait_ms) != 1) return false;
        char buf[4096];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) {
            ended_ = true;
            return false;
        }
        out.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    // Reads until `text` has come; false when it did not by `bound`.
    bool read_until(const std::string& text, ms bound = std::chrono::seconds(10)) {
        const auto until = std::chrono::steady_clock::now() + bound;
        for (std::size_t from = 0; out.find(text, from) == std::string::npos;) {
            from = out.size() > text.size() ? out.size() - text.size() : 0;
            if (std::chrono::steady_clock::now() >= until || (!pump(20) && ended_)) return false;
        }
        return true;
    }

    // The next line of output not taken yet, without its line end; nothing
    // when no whole line came by `bound` or the output ended.
    std::optional<std::string> read_line(ms bound = std::chrono::seconds(10)) {
        const auto until = std::chrono::steady_clock::now() + bound;
        std::size_t nl;
        while ((nl = out.find('\n', taken_)) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= until || (!pump(20) && ended_)) return std::nullopt;
        }
        std::string line = out.substr(taken_, nl - taken_);
        taken_ = nl + 1;
        return line;
    }

    // The exit status (128 + the signal for a signal); -1 when the child did
    // not end by `bound`. While `reading`, output goes on being read, so a
    // child that writes much never blocks; the rest is read once it ended.
    int wait(ms bound = std::chrono::seconds(10), bool reading = true) {
        for (const auto until = std::chrono::steady_clock::now() + bound; pid_ > 0;) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                while (reading && pump(20)) continue;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (std::chrono::steady_clock::now() >= until) return -1;
            if (!reading || !pump(20)) std::this_thread::sleep_for(ms(5));
        }
        return -1;
    }

    // Ends the child: TERM, then KILL when it did not end within five
    // seconds. Reads no output, so a thread of the test may be reading it.
    void end() {
        if (pid_ <= 0) return;
        ::kill(group_ ? -pid_ : pid_, SIGTERM);
        if (const pid_t pid = pid_; wait(std::chrono::seconds(5), false) < 0 && pid_ > 0) {
            ::kill(group_ ? -pid : pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            pid_ = -1;
        }
    }

    std::string out;  // all output read so far

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    bool group_ = false;
    bool ended_ = false;
    std::size_t taken_ = 0;
};
