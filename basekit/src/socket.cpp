// TCP client sockets. The descriptor stays non-blocking; every wait is a
// poll() bounded by the caller's time-out, and watches the owner's wake-up
// descriptor beside the socket, so that another thread can cut it without
// touching the socket itself.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "internal.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTimedOut = 106;
constexpr int kClosed = 203;
constexpr int kReset = 204;
// send_all has no time-out of its own; a peer that reads nothing for this
// long is treated as gone rather than blocking the caller for ever.
constexpr int kSendStallMs = 60000;

// Milliseconds left until the deadline for poll(); -1 waits without limit.
int remaining_ms(bool bounded, Clock::time_point deadline)
{
    if (!bounded)
        return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

bool connection_lost(int e)
{
    switch (e) {
    case ECONNRESET:
    case EPIPE:
    case ECONNABORTED:
    case ENETRESET:
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENOTCONN:
        return true;
    default:
        return false;
    }
}

// Waits for events on fd or for the wake-up descriptor (ignored when
// negative); poll()'s result, with cut set when the wake-up fired.
int wait_for(int fd, short events, int wake_fd, int timeout_ms, bool &cut)
{
    pollfd p[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
    const int r = ::poll(p, 2, timeout_ms);
    cut = r > 0 && (p[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    return r;
}

bool woken(const uxsocket_t *s)
{
    if (s->wake_fd < 0)
        return false;
    bool cut = false;
    wait_for(-1, 0, s->wake_fd, 0, cut);
    return cut;
}

void close_fd(uxsocket_t *s)
{
    if (s->fd >= 0)
        ::close(s->fd);
    s->fd = -1;
}

// One address: non-blocking connect, then wait for writability.
int try_connect(const addrinfo *ai, bool bounded, Clock::time_point deadline, int wake_fd, int &fd_out)
{
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0)
        return errno;
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
        fd_out = fd;
        return 0;
    }
    if (errno != EINPROGRESS) {
        int e = errno;
        ::close(fd);
        return e;
    }
    for (;;) {
        bool cut = false;
        int r = wait_for(fd, POLLOUT, wake_fd, remaining_ms(bounded, deadline), cut);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0 || cut) {
            int e = cut ? ECANCELED : r == 0 ? ETIMEDOUT : errno;
            ::close(fd);
            return e;
        }
        break;
    }
    int soerr = 0;
    socklen_t len = sizeof soerr;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len) != 0)
        soerr = errno;
    if (soerr != 0) {
        ::close(fd);
        return soerr;
    }
    fd_out = fd;
    return 0;
}

int set_flag(uxsocket_t *s, int level, int option, int on, const char *fn, uxerror_t **err)
{
    if (!s || s->fd < 0) {
        basekit::set_system_error(err, fn, ENOTCONN);
        return ENOTCONN;
    }
    int v = on ? 1 : 0;
    if (::setsockopt(s->fd, level, option, &v, sizeof v) != 0) {
        int e = errno;
        basekit::set_system_error(err, fn, e);
        return e;
    }
    return 0;
}

} // namespace

extern "C" {

void uxsocket_init(uxsocket_t *s)
{
    if (s) {
        s->fd = -1;
        s->wake_fd = -1;
    }
}

void uxsocket_close(uxsocket_t *s)
{
    if (s)
        close_fd(s);
}

int uxsocket_is_connected(const uxsocket_t *s)
{
    return s && s->fd >= 0;
}

int uxsocket_connect(uxsocket_t *s, const char *host, int port, int timeout_ms, uxerror_t **err)
{
    static const char fn[] = "uxsocket_connect";
    if (!s || !host || !*host || port <= 0 || port > 65535) {
        basekit::set_system_error(err, fn, EINVAL);
        return EINVAL;
    }
    close_fd(s);

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    addrinfo *list = nullptr;
    std::string service = std::to_string(port);
    int g = ::getaddrinfo(host, service.c_str(), &hints, &list);
    if (g != 0 && g != EAI_SYSTEM) {
        // Loopback-only machines have no configured address: AI_ADDRCONFIG
        // would then hide "localhost", so ask again without it.
        hints.ai_flags = AI_NUMERICSERV;
        g = ::getaddrinfo(host, service.c_str(), &hints, &list);
    }
    if (g != 0) {
        int e = g == EAI_SYSTEM ? errno : EHOSTUNREACH;
        basekit::set_error(err, fn,
                           "Error " + std::to_string(e) + ": " + host + ": " + gai_strerror(g));
        return e;
    }

    bool bounded = timeout_ms > 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(bounded ? timeout_ms : 0);
    int last = ECONNREFUSED;
    for (const addrinfo *ai = list; ai; ai = ai->ai_next) {
        if (woken(s)) {
            last = ECANCELED;
            break;
        }
        int fd = -1;
        last = try_connect(ai, bounded, deadline, s->wake_fd, fd);
        if (last == 0) {
            s->fd = fd;
            break;
        }
        if (last == ECANCELED || (bounded && Clock::now() >= deadline))
            break;
    }
    ::freeaddrinfo(list);
    if (last != 0)
        basekit::set_system_error(err, fn, last);
    return last;
}

int uxsocket_set_nodelay(uxsocket_t *s, int on, uxerror_t **err)
{
    return set_flag(s, IPPROTO_TCP, TCP_NODELAY, on, "uxsocket_set_nodelay", err);
}

int uxsocket_set_keepalive(uxsocket_t *s, int on, uxerror_t **err)
{
    return set_flag(s, SOL_SOCKET, SO_KEEPALIVE, on, "uxsocket_set_keepalive", err);
}

int uxsocket_send_all(uxsocket_t *s, const void *data, int length, uxerror_t **err)
{
    static const char fn[] = "uxsocket_send_all";
    if (!s || s->fd < 0) {
        basekit::set_system_error(err, fn, ENOTCONN);
        return kClosed;
    }
    if (length <= 0)
        return 0;
    if (!data) {
        basekit::set_system_error(err, fn, EINVAL);
        return EINVAL;
    }
    // A cut caller sends nothing more, not even a frame that fits at once.
    if (woken(s)) {
        basekit::set_system_error(err, fn, ECANCELED);
        return ECANCELED;
    }
    const char *p = static_cast<const char *>(data);
    size_t left = static_cast<size_t>(length);
    while (left > 0) {
        ssize_t n = ::send(s->fd, p, left, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            left -= static_cast<size_t>(n);
            continue;
        }
        int e = n < 0 ? errno : EAGAIN;
        if (e == EINTR)
            continue;
        if (e == EAGAIN || e == EWOULDBLOCK) {
            bool cut = false;
            int r = wait_for(s->fd, POLLOUT, s->wake_fd, kSendStallMs, cut);
            if (r < 0 && errno == EINTR)
                continue;
            if (cut) {
                basekit::set_system_error(err, fn, ECANCELED);
                return ECANCELED;
            }
            if (r == 0) {
                basekit::set_system_error(err, fn, ETIMEDOUT);
                return kTimedOut;
            }
            if (r < 0) {
                int pe = errno;
                basekit::set_system_error(err, fn, pe);
                return pe;
            }
            continue; // POLLERR/POLLHUP show up as an error from send()
        }
        basekit::set_system_error(err, fn, e);
        if (connection_lost(e)) {
            close_fd(s);
            return kReset;
        }
        return e;
    }
    return 0;
}

int uxsocket_recv(uxsocket_t *s, void *buffer, int length, int timeout_ms, uxerror_t **err)
{
    static const char fn[] = "uxsocket_recv";
    if (!s || s->fd < 0) {
        basekit::set_system_error(err, fn, ENOTCONN);
        return -kClosed;
    }
    if (length <= 0 || !buffer)
        return 0;
    bool bounded = timeout_ms >= 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(bounded ? timeout_ms : 0);
    char *p = static_cast<char *>(buffer);
    int got = 0;
    while (got < length) {
        ssize_t n = ::recv(s->fd, p + got, static_cast<size_t>(length - got), MSG_DONTWAIT);
        if (n > 0) {
            got += static_cast<int>(n);
            continue;
        }
        if (n == 0) {
            // Peer closed: hand over what came before; the next call reports it.
            close_fd(s);
            if (got > 0)
                return got;
            basekit::set_error(err, fn, "Connection closed by peer");
            return -kClosed;
        }
        int e = errno;
        if (e == EINTR)
            continue;
        if (e == EAGAIN || e == EWOULDBLOCK) {
            bool cut = false;
            int r = wait_for(s->fd, POLLIN, s->wake_fd, remaining_ms(bounded, deadline), cut);
            if (r < 0 && errno == EINTR)
                continue;
            if (cut) {
                if (got > 0)
                    return got;
                basekit::set_system_error(err, fn, ECANCELED);
                return -ECANCELED;
            }
            if (r == 0) {
                if (got > 0)
                    return got;
                basekit::set_system_error(err, fn, ETIMEDOUT);
                return -kTimedOut;
            }
            if (r < 0) {
                int pe = errno;
                basekit::set_system_error(err, fn, pe);
                return got > 0 ? got : -pe;
            }
            continue;
        }
        close_fd(s);
        if (got > 0)
            return got;
        basekit::set_system_error(err, fn, e);
        return connection_lost(e) ? -kReset : -e;
    }
    return got;
}

} // extern "C"
