#include "platform/posix_serial.h"
#include "platform/wakeup.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace buslink::posix {

namespace {

using Clock = std::chrono::steady_clock;

bool speed_for(int baud, speed_t &speed)
{
    switch (baud) {
    case 1200: speed = B1200; return true;
    case 2400: speed = B2400; return true;
    case 4800: speed = B4800; return true;
    case 9600: speed = B9600; return true;
    case 19200: speed = B19200; return true;
    case 38400: speed = B38400; return true;
    default: return false;
    }
}

// strerror_r comes in a GNU and an XSI flavour; take the text from either.
[[maybe_unused]] const char *strerror_text(int result, const char *buffer)
{
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char *strerror_text(const char *result, const char *)
{
    return result;
}

// Milliseconds left until deadline, rounded up so that a wait never ends early.
int remaining_ms(Clock::time_point deadline)
{
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

} // namespace

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

UniqueFd::~UniqueFd()
{
    if (fd_ >= 0)
        ::close(fd_);
}

int UniqueFd::release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

std::string device_path(const char *name)
{
    if (!name)
        return {};
    const std::string_view text(name);
    if (text.find('/') != std::string_view::npos)
        return std::string(text);
    if (text.size() > 3 && strncasecmp(name, "COM", 3) == 0) {
        const std::string_view digits = text.substr(3);
        unsigned number = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
        if (ec == std::errc() && end == digits.data() + digits.size() && number >= 1) {
            char path[32];
            std::snprintf(path, sizeof path, "/dev/ttyS%u", number - 1);
            return path;
        }
    }
    return "/dev/" + std::string(text);
}

LineError make_raw_line(termios &t, int baud, int parity, int stopbits, int databits)
{
    speed_t speed = B0;
    if (!speed_for(baud, speed))
        return LineError::baud;
    if (parity < 0 || parity > 2)
        return LineError::parity;
    if (stopbits != 0 && stopbits != 2)
        return LineError::stopbits;
    if (databits != 0 && databits != 1)
        return LineError::databits;

    // Binary and transparent: no line editing, no character translation or
    // stripping, no signals, and a bad byte does not stop reception.
    cfmakeraw(&t);
    t.c_iflag &= ~(IGNPAR | PARMRK | IXON | IXOFF | IXANY);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag |= databits == 0 ? CS7 : CS8;
    if (stopbits == 2)
        t.c_cflag |= CSTOPB;
    if (parity == 2) {
        t.c_iflag &= ~INPCK;
    } else {
        t.c_cflag |= PARENB;
        if (parity == 1)
            t.c_cflag |= PARODD;
        t.c_iflag |= INPCK;
    }
    // The descriptor stays non-blocking; VMIN 1 makes an empty queue read as
    // EAGAIN, so that a read of 0 bytes can only mean a hang-up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    return LineError::none;
}

UniqueFd open_tty(const std::string &path, termios &current, int &err)
{
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        err = errno;
        return {};
    }
    if (tcgetattr(fd.get(), &current) != 0) {
        err = errno;
        return {};
    }
    // The port is not shared: flock keeps other users of this library out,
    // TIOCEXCL every other unprivileged program.
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || ioctl(fd.get(), TIOCEXCL) != 0) {
        err = errno;
        return {};
    }
    return fd;
}

bool is_pseudo_terminal(int fd)
{
    struct stat st {};
    // The slaves of /dev/ptmx.
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

int apply_line(int fd, const termios &t)
{
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        const int err = errno;
        // A pseudo-terminal has no framing: once set, the kernel keeps it at
        // 8 bits without parity, and the C library refuses another request
        // when it is opened again. Keep the framing it has.
        termios current{};
        if (err != EINVAL || !is_pseudo_terminal(fd) || tcgetattr(fd, &current) != 0)
            return err;
        constexpr tcflag_t framing = CSIZE | PARENB | PARODD;
        termios kept = t;
        kept.c_cflag = (kept.c_cflag & ~framing) | (current.c_cflag & framing);
        if (tcsetattr(fd, TCSANOW, &kept) != 0)
            return errno;
    }
    tcdrain(fd);
    tcflush(fd, TCIOFLUSH);
    return 0;
}

int read_byte(int fd, int timeout_ms, unsigned char &byte, int &err, int wake_fd)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        // Cut before reading: a device that keeps talking must not hold a
        // stopped transport.
        if (readable_now(wake_fd)) {
            err = ECANCELED;
            return -1;
        }
        const ssize_t n = ::read(fd, &byte, 1);
        if (n == 1)
            return 1;
        if (n == 0) {
            err = EIO;
            return -1;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            err = errno;
            return -1;
        }
        const int wait = remaining_ms(deadline);
        if (wait == 0)
            return 0;
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        const int ready = ::poll(p, 2, wait);
        if (ready < 0 && errno != EINTR) {
            err = errno;
            return -1;
        }
        // Ready, hung up, interrupted or cut: the next round tells which.
    }
}

long read_buffered(int fd, void *buffer, std::size_t size, int &err)
{
    const ssize_t n = ::read(fd, buffer, size);
    if (n > 0)
        return static_cast<long>(n);
    if (n == 0) {
        err = EIO;
        return -1;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return 0;
    err = errno;
    return -1;
}

long write_fully(int fd, const void *buffer, std::size_t size, int &err, int wake_fd)
{
    const auto *bytes = static_cast<const unsigned char *>(buffer);
    std::size_t done = 0;
    while (done < size) {
        if (readable_now(wake_fd)) {
            err = ECANCELED;
            return -1;
        }
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            err = errno;
            return -1;
        }
        // Output queue full; a line without flow control always drains.
        pollfd p[2] = {{fd, POLLOUT, 0}, {wake_fd, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) {
            err = errno;
            return -1;
        }
    }
    return static_cast<long>(size);
}

bool hung_up(int fd)
{
    if (fd < 0)
        return true;
    pollfd p{fd, 0, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

std::string error_text(int err)
{
    char buffer[256] = "";
    const char *text = strerror_text(strerror_r(err, buffer, sizeof buffer), buffer);
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "Error %d: ", err);
    return prefix + std::string(text);
}

} // namespace buslink::posix
