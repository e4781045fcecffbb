#include "serial.h"

#include "core.h"
#include "platform/posix_serial.h"
#include "platform/wakeup.h"

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <poll.h>
#include <unistd.h>

namespace {

namespace posix = buslink::posix;

// What the library keeps of a port beside its public record; cl_serial_open
// makes every port as one, so that the record's layout stays as published.
struct PortRecord {
    cl_serial_t port; // first: a port made here points at its PortRecord
    int wake_fd;
};

int wake_fd_of(const cl_serial_t *port)
{
    return port ? reinterpret_cast<const PortRecord *>(port)->wake_fd : -1;
}

struct PortDeleter {
    void operator()(cl_serial_t *port) const { cl_serial_free(port); }
};
using PortPtr = std::unique_ptr<cl_serial_t, PortDeleter>;

bool has_handle(const cl_serial_t *port)
{
    return port && port->handle != CL_SERIAL_INVALID_HANDLE;
}

// A failed read leaves no stale look-ahead byte behind.
void read_failed(cl_serial_t *port, int err)
{
    port->last_read_error = err == EINTR ? CL_SERIAL_READ_ABORTED : CL_SERIAL_READ_FAILED;
    port->has_lookahead = 0;
}

void report_open_failure(const std::string &path, int err)
{
    char *text = buslink_system_error_text(err);
    buslink_eprintf("Failed to open %s: %s\n", path.c_str(), text ? text : "");
    std::free(text);
}

cl_serial_t *open_port(const char *name, int baud, int parity, int stopbits, int databits)
{
    auto *record = static_cast<PortRecord *>(std::calloc(1, sizeof(PortRecord)));
    if (!record)
        return nullptr;
    record->wake_fd = -1;
    PortPtr port(&record->port);
    port->handle = CL_SERIAL_INVALID_HANDLE;
    if (name && !(port->name = buslink_strdup(name)))
        return nullptr;
    port->baudrate = baud;
    port->parity = parity;
    port->stopbits = stopbits;
    port->databits = databits;
    port->has_lookahead = 0;

    const std::string path = posix::device_path(name);
    termios line{};
    int err = 0;
    posix::UniqueFd fd = posix::open_tty(path, line, err);
    if (!fd) {
        report_open_failure(path, err);
        return nullptr;
    }

    switch (posix::make_raw_line(line, baud, parity, stopbits, databits)) {
    case posix::LineError::none:
        break;
    case posix::LineError::baud:
        buslink_eprintf("buslink_open_serial: unsupported baud-rate: %d\n", baud);
        return nullptr;
    case posix::LineError::parity:
        buslink_eprintf("buslink_open_serial: invalid parity: %d\n", parity);
        return nullptr;
    case posix::LineError::stopbits:
        buslink_eprintf("buslink_open_serial: invalid stopbits: %d\n", stopbits);
        return nullptr;
    case posix::LineError::databits:
        buslink_eprintf("buslink_open_serial: invalid data bits: %d\n", databits);
        return nullptr;
    }
    if (posix::apply_line(fd.get(), line) != 0)
        return nullptr;

    port->handle = fd.release();
    return port.release();
}

} // namespace

void buslink_serial_set_wakeup(cl_serial_t *port, int wake_fd)
{
    if (port)
        reinterpret_cast<PortRecord *>(port)->wake_fd = wake_fd;
}

bool buslink_serial_cut(const cl_serial_t *port)
{
    return posix::readable_now(wake_fd_of(port));
}

bool buslink_serial_hung_up(const cl_serial_t *port)
{
    return !has_handle(port) || posix::hung_up(port->handle);
}

bool buslink_serial_pause(const cl_serial_t *port, int timeout_ms)
{
    pollfd p{wake_fd_of(port), POLLIN, 0};
    return ::poll(&p, 1, timeout_ms > 0 ? timeout_ms : 0) <= 0 || p.revents == 0;
}

char *buslink_system_error_text(int err)
{
    try {
        return buslink_strdup(posix::error_text(err).c_str());
    } catch (...) {
        return nullptr;
    }
}

extern "C" {

BUSLINK_API cl_serial_t *cl_serial_open(const char *name, int baud, int parity, int stopbits, int databits)
{
    try {
        return open_port(name, baud, parity, stopbits, databits);
    } catch (...) {
        return nullptr;
    }
}

BUSLINK_API int cl_serial_is_ok(const cl_serial_t *port)
{
    return has_handle(port) ? 1 : 0;
}

BUSLINK_API void cl_serial_disconnect(cl_serial_t *port)
{
    if (!has_handle(port))
        return;
    ::close(port->handle);
    // So that a later free does not close the number again.
    port->handle = CL_SERIAL_INVALID_HANDLE;
}

BUSLINK_API void cl_serial_free(cl_serial_t *port)
{
    if (!port)
        return;
    cl_serial_disconnect(port);
    std::free(port->name);
    std::free(port);
}

BUSLINK_API int cl_serial_wait_for_data(cl_serial_t *port, int timeout_ms)
{
    if (!port)
        return -1;
    if (port->has_lookahead)
        return 1;
    if (!has_handle(port)) {
        read_failed(port, EBADF);
        return -1;
    }
    int err = 0;
    const int got = posix::read_byte(port->handle, timeout_ms, port->lookahead, err, wake_fd_of(port));
    if (got < 0) {
        read_failed(port, err);
        return -1;
    }
    port->has_lookahead = got;
    return got;
}

BUSLINK_API int cl_serial_read_available(cl_serial_t *port, void *buffer, int count)
{
    if (!port || (count > 0 && !buffer))
        return -1;
    if (count <= 0)
        return 0;
    auto *bytes = static_cast<unsigned char *>(buffer);
    int given = 0;
    if (port->has_lookahead) {
        bytes[given++] = port->lookahead;
        port->has_lookahead = 0;
        if (given == count)
            return given;
    }
    if (!has_handle(port)) {
        read_failed(port, EBADF);
        return -1;
    }
    int err = 0;
    const long n = posix::read_buffered(port->handle, bytes + given, static_cast<std::size_t>(count - given), err);
    if (n < 0) {
        read_failed(port, err);
        return -1;
    }
    return given + static_cast<int>(n);
}

BUSLINK_API int cl_serial_write_all(cl_serial_t *port, const void *buffer, int count)
{
    if (!port)
        return -1;
    if (count < 1)
        return 0;
    if (!buffer || !has_handle(port))
        return -1;
    int err = 0;
    if (posix::write_fully(port->handle, buffer, static_cast<std::size_t>(count), err, wake_fd_of(port)) < 0)
        return -1;
    return count;
}

BUSLINK_API int cl_serial_expect_ok(cl_serial_t *port, int timeout_ms)
{
    if (!port)
        return BUSLINK_E_INVALID_PORT;
    static const unsigned char expected[] = {'O', 'K', '\r'};
    constexpr int wanted = sizeof expected;
    int matched = 0;
    while (matched < wanted) {
        const int ready = cl_serial_wait_for_data(port, timeout_ms);
        if (ready == 0)
            return BUSLINK_E_TIMEOUT;
        int n = -1;
        unsigned char chunk[32];
        // Only the reply itself is taken; what follows stays for the caller.
        if (ready > 0)
            n = cl_serial_read_available(port, chunk, wanted - matched);
        if (n < 0) {
            if (buslink_serial_cut(port))
                return BUSLINK_E_NO_CONNECTION;
            if (port->last_read_error == CL_SERIAL_READ_ABORTED)
                continue;
            return BUSLINK_E_READ;
        }
        for (int i = 0; i < n; ++i)
            if (chunk[i] != expected[matched++])
                return BUSLINK_E_INVALID_RESPONSE;
    }
    return 0;
}

} // extern "C"
