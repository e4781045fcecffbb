// A wake-up descriptor: another thread fires it to cut the waits of a
// transport, whose every poll() watches it beside the socket or port. It
// stays fired until cleared, so the waits after the cut one end at once too.
#pragma once

#include <cstdint>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace buslink::posix {

// True when fd is readable now; false for a negative fd.
inline bool readable_now(int fd)
{
    if (fd < 0)
        return false;
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
}

class Wakeup {
public:
    Wakeup() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Wakeup()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Wakeup(const Wakeup &) = delete;
    Wakeup &operator=(const Wakeup &) = delete;

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Safe from any thread; never blocks.
    void fire() const
    {
        const uint64_t one = 1;
        if (::write(fd_, &one, sizeof one) < 0) {
            // Only a counter at its limit refuses, and that is fired already.
        }
    }
    void clear() const
    {
        uint64_t count = 0;
        if (::read(fd_, &count, sizeof count) < 0) {
            // Not fired: nothing to clear.
        }
    }
    bool fired() const { return readable_now(fd_); }

private:
    int fd_;
};

} // namespace buslink::posix
