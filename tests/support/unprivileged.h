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
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

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

// Empty when the unprivileged user may run `path`, else why not. Looked at
// as that user: every folder on the way must let it through, and the file
// system must allow programs (not mounted noexec).
inline std::string may_run(const std::string& path) {
    return run([&path]() -> std::string {
        return ::access(path.c_str(), X_OK) == 0 ? "" : path + ": " + std::strerror(errno);
    });
}

// The program at `exe` where the unprivileged user can run it. A build in a
// folder only its owner may enter (a private temporary folder, /root) is out
// of that user's reach: the program is then copied into a fresh folder open
// to all, removed with the object. The programs link the project's own code
// statically, so the file alone is all a copy needs. `path()` is empty when
// no place was found; `why_not()` says why.
class program_copy {
public:
    explicit program_copy(const std::string& exe) {
        namespace fs = std::filesystem;
        std::string refused = may_run(exe);
        if (refused.empty()) {
            path_ = exe;
            return;
        }
        std::vector<fs::path> places{"/tmp", "/var/tmp"};
        std::error_code ec;
        if (const fs::path t = fs::temp_directory_path(ec); !ec && t != "/tmp") places.insert(places.begin(), t);
        for (const fs::path& place : places) {
            std::string pattern = (place / "busprobe_program.XXXXXX").string();
            if (!::mkdtemp(pattern.data())) continue;
            const fs::path folder = pattern, copy = folder / fs::path(exe).filename();
            // Open to all whatever the umask: mkdtemp makes the folder 0700.
            const fs::perms open_to_all = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                          fs::perms::others_read | fs::perms::others_exec;
            fs::permissions(folder, open_to_all, ec);
            if (!ec) fs::copy_file(exe, copy, ec);
            if (!ec) fs::permissions(copy, open_to_all, ec);
            if (ec) refused = copy.string() + ": " + ec.message();
            else if ((refused = may_run(copy.string())).empty()) {
                folder_ = folder.string();
                path_ = copy.string();
                return;
            }
            fs::remove_all(folder, ec);
        }
        why_not_ = "the unprivileged user cannot run the program or a copy of it (" + refused + ")";
    }
    ~program_copy() {
        std::error_code ec;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
    }
    program_copy(const program_copy&) = delete;
    program_copy& operator=(const program_copy&) = delete;

    const std::string& path() const { return path_; }
    const std::string& why_not() const { return why_not_; }

private:
    std::string path_, folder_, why_not_;
};

}  // namespace unprivileged
