#include "delay_relay.h"

#include <cerrno>
#include <cstring>
#include <deque>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

struct Chunk {
    Clock::time_point due;
    std::string bytes;
};

bool write_all(int fd, const char *p, std::size_t n)
{
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

int connect_to(const std::string &host, int port)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0)
        return -1;
    int fd = -1;
    for (addrinfo *a = list; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(list);
    return fd;
}

void no_delay(int fd)
{
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Moves bytes from `from` to `to`, each chunk `delay` after it was read.
// Ends when `from` closes (the close is passed on once everything read is
// written), `to` fails or `stop_fd` becomes readable.
void pump(int from, int to, std::chrono::microseconds delay, int stop_fd)
{
    std::deque<Chunk> held;
    bool open = true;
    char buffer[16384];
    while (open || !held.empty()) {
        pollfd p[2] = {{stop_fd, POLLIN, 0}, {open ? from : -1, POLLIN, 0}};
        timespec wait{};
        timespec *timeout = nullptr;
        if (!held.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(held.front().due - Clock::now());
            const long long ns = std::max<long long>(left.count(), 0);
            wait.tv_sec = static_cast<time_t>(ns / 1000000000);
            wait.tv_nsec = static_cast<long>(ns % 1000000000);
            timeout = &wait;
        }
        if (::ppoll(p, 2, timeout, nullptr) < 0 && errno != EINTR)
            break;
        if (p[0].revents)
            break;
        if (p[1].revents) {
            const ssize_t r = ::recv(from, buffer, sizeof buffer, 0);
            if (r > 0)
                held.push_back({Clock::now() + delay, std::string(buffer, static_cast<std::size_t>(r))});
            else if (r == 0 || errno != EINTR)
                open = false;
        }
        while (!held.empty() && held.front().due <= Clock::now()) {
            if (!write_all(to, held.front().bytes.data(), held.front().bytes.size()))
                return;
            held.pop_front();
        }
    }
    ::shutdown(to, SHUT_WR);
}

} // namespace

DelayRelay::DelayRelay(const std::string &target_host, int target_port, std::chrono::microseconds delay,
                       int listen_port)
    : host_(target_host), target_port_(target_port), delay_(delay)
{
    if (::pipe2(stop_pipe_, O_CLOEXEC) != 0)
        return;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(listen_port));
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        ::close(fd);
        return;
    }
    listener_ = fd;
    port_ = ntohs(a.sin_port);
}

DelayRelay::~DelayRelay()
{
    stop();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(m_);
        threads.swap(connections_);
    }
    for (std::thread &t : threads)
        t.join();
    for (int fd : {listener_, stop_pipe_[0], stop_pipe_[1]})
        if (fd >= 0)
            ::close(fd);
}

void DelayRelay::stop()
{
    if (stop_pipe_[1] >= 0) {
        const char c = 1;
        if (::write(stop_pipe_[1], &c, 1) < 0) {
            // Already full: stopping anyway.
        }
    }
}

void DelayRelay::serve()
{
    while (listening()) {
        pollfd p[2] = {{stop_pipe_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (p[0].revents)
            return;
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        std::lock_guard lock(m_);
        connections_.emplace_back([this, client] { relay(client); });
    }
}

void DelayRelay::relay(int client)
{
    const int server = connect_to(host_, target_port_);
    if (server >= 0) {
        no_delay(client);
        no_delay(server);
        std::thread back([&] { pump(server, client, delay_, stop_pipe_[0]); });
        pump(client, server, delay_, stop_pipe_[0]);
        back.join();
        ::close(server);
    }
    ::close(client);
}

} // namespace bench
