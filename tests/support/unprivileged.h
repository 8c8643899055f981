#pragma once
// Runs a check as an ordinary user. Root passes every permission check and
// may open a terminal that another process holds exclusively, so a test of
// such behaviour means nothing as root: it drops to "nobody" in a forked
// child first. As any other user the child keeps that user.

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>

namespace unprivileged {

// The user the checks run as: nobody when we are root, else ourselves.
inline uid_t uid() {
    if (::geteuid() != 0) return ::geteuid();
    const passwd* pw = ::getpwnam("nobody");
    return pw ? pw->pw_uid : 65534;
}
inline gid_t gid() {
    if (::geteuid() != 0) return ::getegid();
    const passwd* pw = ::getpwnam("nobody");
    return pw ? pw->pw_gid : 65534;
}

// In a child process: drops to `u`/`g` (from uid()/gid(), looked up before
// the fork). False when that failed.
inline bool drop(uid_t u, gid_t g) {
    if (::geteuid() != 0) return true;
    return ::setgroups(0, nullptr) == 0 && ::setgid(g) == 0 && ::setuid(u) == 0 && ::geteuid() != 0;
}

// Makes `path` (a folder the test created) the unprivileged user's own.
inline void hand_over(const std::string& path) {
    if (::geteuid() == 0) [[maybe_unused]] int r = ::chown(path.c_str(), uid(), gid());
}

// Runs `check` in a forked child as the unprivileged user. Returns what the
// check returned ("" for success, else what went wrong), or why the child
// did not finish.
inline std::string run(const std::function<std::string()>& check) {
    int fds[2];
    if (::pipe(fds) != 0) return "no pipe";
    const uid_t u = uid();
    const gid_t g = gid();
    const pid_t pid = ::fork();
    if (pid < 0) return "no fork";
    if (pid == 0) {
        ::close(fds[0]);
        const std::string result = drop(u, g) ? check() : "cannot drop privileges";
        [[maybe_unused]] ssize_t w = ::write(fds[1], result.data(), result.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) != 0;) {
        if (n > 0) out.append(buf, static_cast<std::size_t>(n));
        else if (errno != EINTR) break;
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status)) return "the check ended by signal " + std::to_string(WTERMSIG(status)) + "; " + out;
    return out;
}

}  // namespace unprivileged
