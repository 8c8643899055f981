#pragma once
// A LocoNet-over-TCP server that answers by a script, on an ephemeral
// loopback port, serving every client that comes until it goes: the
// hostile and broken servers a client must survive.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

class scripted_server {
public:
    enum class script {
        confirm,  // echoes each SEND, then SENT OK
        echo,     // echoes each SEND and never answers SENT
        refuse,   // SENT ERROR busy to each SEND
        silent,   // reads and says nothing
        garbage,  // a line of no meaning to each SEND
        chatter,  // SENT ERROR lines nobody asked for, without end
    };

    explicit scripted_server(script s) : script_(s) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::listen(fd_, 8);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~scripted_server() {
        stop_.store(true);
        thread_.join();
        for (int c : clients_) ::close(c);
        ::close(fd_);
    }
    std::string url() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
    uint16_t port() const { return port_; }

private:
    void run() {
        std::vector<std::string> pending;
        while (!stop_.load()) {
            std::vector<pollfd> fds{{fd_, POLLIN, 0}};
            for (int c : clients_) fds.push_back({c, POLLIN, 0});
            ::poll(fds.data(), fds.size(), 5);
            if (fds[0].revents & POLLIN) {
                const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (c >= 0) {
                    clients_.push_back(c);
                    pending.emplace_back();
                    say(c, "VERSION scripted\r\n");
                }
            }
            for (std::size_t i = 0; i < clients_.size(); ++i) {
                if (script_ == script::chatter) say(clients_[i], chatter_lines());
                if (!(fds.size() > i + 1 && (fds[i + 1].revents & POLLIN))) continue;
                char buf[4096];
                const ssize_t n = ::recv(clients_[i], buf, sizeof buf, 0);
                if (n <= 0) continue;
                pending[i].append(buf, static_cast<std::size_t>(n));
                for (std::size_t nl; (nl = pending[i].find('\n')) != std::string::npos;) {
                    std::string line = pending[i].substr(0, nl);
                    pending[i].erase(0, nl + 1);
                    if (!line.empty() && line.back() == '\r') line.pop_back();
                    if (line.rfind("SEND ", 0) == 0) answer(clients_[i], line.substr(5));
                }
            }
        }
    }
    void answer(int c, const std::string& bytes) {
        switch (script_) {
        case script::confirm: say(c, "RECEIVE " + bytes + "\r\nSENT OK\r\n"); break;
        case script::echo: say(c, "RECEIVE " + bytes + "\r\n"); break;
        case script::refuse: say(c, "SENT ERROR busy\r\n"); break;
        case script::garbage: say(c, "HELLO \x01 there\r\n"); break;
        case script::silent:
        case script::chatter: break;
        }
    }
    static std::string chatter_lines() {
        std::string lines;
        for (int i = 0; i < 100; ++i) lines += "SENT ERROR nobody asked\r\n";
        return lines;
    }
    static void say(int c, const std::string& text) {
        [[maybe_unused]] ssize_t n = ::send(c, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }

    script script_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::vector<int> clients_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
