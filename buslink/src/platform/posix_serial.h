// The serial line on POSIX termios: port names, line settings and the
// poll()-based reads and writes behind the cl_serial_* operations.
#pragma once

#include <cstddef>
#include <string>
#include <termios.h>

namespace buslink::posix {

// Owns a file descriptor and closes it once.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    ~UniqueFd();

    int get() const { return fd_; }
    int release();
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A name containing '/' is a path; "COMn" (n >= 1) is /dev/ttyS<n-1>; any
// other name lives in /dev. Null gives "".
std::string device_path(const char *name);

enum class LineError { none, baud, parity, stopbits, databits };

// Makes t a raw binary line (no flow control, local, receiver on) with the
// given rate and codes, checked in that order.
LineError make_raw_line(termios &t, int baud, int parity, int stopbits, int databits);

// Opens an existing terminal for exclusive use and reads its settings.
// On failure the result is empty and err holds the errno.
UniqueFd open_tty(const std::string &path, termios &current, int &err);

// Applies the settings, then lets pending output drain and discards both
// queues. 0, or the errno of a failed apply. A pseudo-terminal keeps the
// framing it has (it has none on the wire, and refuses a change of it).
int apply_line(int fd, const termios &t);

// Reads one byte, waiting up to timeout_ms for it: 1 when a byte came, 0
// when the time ran out, -1 with err set when the read failed. A wake_fd
// (when not negative) that is or becomes readable cuts the wait: -1 with
// err ECANCELED.
int read_byte(int fd, int timeout_ms, unsigned char &byte, int &err, int wake_fd = -1);

// Reads what is buffered, up to size bytes, without waiting: the count (0
// when nothing is there), or -1 with err set.
long read_buffered(int fd, void *buffer, std::size_t size, int &err);

// Writes every byte, waiting whenever the output queue is full: size, or -1
// with err set. A readable wake_fd stops it before the first byte or in a
// wait (err ECANCELED).
long write_fully(int fd, const void *buffer, std::size_t size, int &err, int wake_fd = -1);

// True when the line is gone for good: the device vanished (an adapter
// unplugged) or the far end of a pseudo-terminal closed. Never waits.
bool hung_up(int fd);

// "Error %d: " and the system's text for err.
std::string error_text(int err);

} // namespace buslink::posix
