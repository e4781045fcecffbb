#include "dgtserial.h"

#include "core.h"
#include "platform/posix_serial.h"
#include "serial.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>

#include <termios.h>

namespace {

namespace dgt = buslink::dgt;
using dgt::Request;

void print_note(dgt::Note note, const char *answer)
{
    switch (note) {
    case dgt::Note::none:
        break;
    case dgt::Note::not_available:
        buslink_eprintf("Setpoint not available response.\n");
        break;
    case dgt::Note::bad_start:
        buslink_eprintf("LCC1200 bad response 1: '%s'\n", answer);
        break;
    case dgt::Note::bad_department:
        buslink_eprintf("LCC1200 bad response 2: '%s'\n", answer);
        break;
    case dgt::Note::bad_number:
        buslink_eprintf("LCC1200 bad response 3: '%s'\n", answer);
        break;
    case dgt::Note::bad_value:
        buslink_eprintf("LCC1200 bad value in response: '%s'\n", answer);
        break;
    }
}

bool port_up(const dgtserial *line)
{
    return line->port && !buslink_serial_hung_up(line->port.get());
}

// Output still queued goes out, then whatever either direction holds is
// thrown away: late answers of an earlier exchange never mix with the next.
void purge(cl_serial_t *port)
{
    tcdrain(port->handle);
    tcflush(port->handle, TCIOFLUSH);
    tcdrain(port->handle);
    port->has_lookahead = 0;
}

// A wait or write cut by dgtserial_abort counts as no answer.
int failed(const dgtserial *line, int status)
{
    return line->wakeup.fired() ? DGTSERIAL_E_TIMEOUT : status;
}

int read_answer(dgtserial *line, Request &r, bool write)
{
    cl_serial_t *port = line->port.get();
    char answer[dgt::max_answer + 2] = {};
    std::size_t length = 0;
    for (;;) {
        const int ready = cl_serial_wait_for_data(port, dgt::answer_wait_ms);
        if (ready == 0)
            return DGTSERIAL_E_TIMEOUT;
        if (ready < 0)
            return failed(line, DGTSERIAL_E_READ);
        const int n = cl_serial_read_available(port, answer + length,
                                               static_cast<int>(dgt::max_answer + 1 - length));
        if (n <= 0)
            return failed(line, DGTSERIAL_E_READ);
        length += static_cast<std::size_t>(n);
        // A line complete within the limit counts even when the next byte
        // (an LF after its CR) came with it.
        const std::size_t checked = std::min(length, dgt::max_answer);
        const bool ended = std::memchr(answer, '\r', checked) || std::memchr(answer, '\n', checked);
        if (length > dgt::max_answer && !ended) {
            buslink_eprintf(write ? "LCC1200 bad response 4: '%64s'\n" : "LCC1200 bad response 5: '%64s'\n",
                            answer);
            return DGTSERIAL_E_BAD_RESPONSE;
        }
        const dgt::Answer a = dgt::check_answer(answer, checked, r.department, r.number);
        if (a.status == DGTSERIAL_E_INCOMPLETE)
            continue;
        print_note(a.note, answer);
        if (a.status == DGTSERIAL_E_UNAVAILABLE)
            buslink_eprintf("The setpoint '%u' in department '%c' is not available.\n", r.number, r.department);
        if (a.status == DGTSERIAL_SUCCESS && !write)
            r.value = a.value;
        return a.status;
    }
}

// One request: its pause, the purge, its text and, unless it is a
// broadcast, its answer.
int exchange(dgtserial *line, Request &r, int pause_ms, const std::string &text, bool write)
{
    if (!port_up(line))
        return DGTSERIAL_E_DISCONNECTED;
    cl_serial_t *port = line->port.get();
    if (line->wakeup.fired() || !buslink_serial_pause(port, pause_ms))
        return DGTSERIAL_E_TIMEOUT;
    purge(port);
    const int size = static_cast<int>(text.size());
    if (cl_serial_write_all(port, text.data(), size) != size)
        return failed(line, DGTSERIAL_E_WRITE);
    if (r.department == 0)
        return DGTSERIAL_SUCCESS;
    return read_answer(line, r, write);
}

void queue(std::vector<Request> &list, char department, unsigned number, double value,
           bool integer)
{
    try {
        list.push_back(Request{department, number, DGTSERIAL_E_UNHANDLED, value, integer});
    } catch (...) {
        // Out of memory: the request is not queued and its result says so.
    }
}

// The newest record of the setpoint, as the lists are searched front first.
const Request *find(const std::vector<Request> &list, char department, unsigned number)
{
    for (auto it = list.rbegin(); it != list.rend(); ++it)
        if (it->department == department && it->number == number)
            return &*it;
    return nullptr;
}

int result_of(const dgtserial *line, char department, unsigned number, double &value)
{
    const Request *read = find(line->reads, department, number);
    const Request *write = find(line->writes, department, number);
    if (!write)
        write = find(line->broadcasts, 0, number);
    if (read && write) {
        if (write->status != DGTSERIAL_SUCCESS)
            return write->status;
        if (read->status == DGTSERIAL_SUCCESS)
            value = read->value;
        return read->status;
    }
    const Request *only = read ? read : write;
    if (!only)
        return DGTSERIAL_E_NOT_IN_REQUEST;
    if (only->status == DGTSERIAL_SUCCESS)
        value = only->value;
    return only->status;
}

} // namespace

extern "C" {

BUSLINK_API dgtserial_t *dgtserial_new(void)
{
    auto *line = new (std::nothrow) dgtserial();
    if (line && !line->wakeup.valid()) {
        delete line;
        return nullptr;
    }
    return line;
}

BUSLINK_API void dgtserial_delete(dgtserial_t *line)
{
    delete line;
}

BUSLINK_API int dgtserial_connect(dgtserial_t *line, const char *port, int baud)
{
    if (!line)
        return 1;
    line->port.reset();
    line->system_error.clear();
    errno = 0;
    cl_serial_t *opened = cl_serial_open(port, baud, CL_PARITY_EVEN, CL_STOPBITS_TWO, CL_DATABITS_7);
    if (!opened) {
        // The failed system call's errno survives the open's clean-up.
        const int err = errno;
        try {
            line->system_error = err ? buslink::posix::error_text(err) : "the port's settings were refused";
        } catch (...) {
        }
        return 1;
    }
    line->port.reset(opened);
    buslink_serial_set_wakeup(opened, line->wakeup.fd());
    return 0;
}

BUSLINK_API void dgtserial_disconnect(dgtserial_t *line)
{
    if (line)
        line->port.reset();
}

BUSLINK_API int dgtserial_is_connected(const dgtserial_t *line)
{
    return line && port_up(line) ? 1 : 0;
}

BUSLINK_API const char *dgtserial_get_system_error(const dgtserial_t *line)
{
    return line ? line->system_error.c_str() : "";
}

BUSLINK_API void dgtserial_queue_read(dgtserial_t *line, char department, unsigned number)
{
    if (line)
        queue(line->reads, department, number, 0, false);
}

BUSLINK_API void dgtserial_queue_write(dgtserial_t *line, char department, unsigned number, double value)
{
    if (line)
        queue(line->writes, department, number, value, false);
}

BUSLINK_API void dgtserial_queue_write_int(dgtserial_t *line, char department, unsigned number, int value)
{
    if (line)
        queue(line->writes, department, number, value, true);
}

BUSLINK_API void dgtserial_queue_broadcast(dgtserial_t *line, unsigned number, double value)
{
    if (line)
        queue(line->broadcasts, 0, number, value, false);
}

BUSLINK_API void dgtserial_flush(dgtserial_t *line)
{
    if (!line)
        return;
    try {
        for (auto it = line->broadcasts.rbegin(); it != line->broadcasts.rend(); ++it)
            it->status = exchange(line, *it, dgt::write_pause_ms, dgt::broadcast_text(it->number, it->value), true);
        for (auto it = line->writes.rbegin(); it != line->writes.rend(); ++it)
            it->status = exchange(line, *it, dgt::write_pause_ms,
                                  dgt::write_text(it->department, it->number, it->value, it->integer), true);
        for (auto it = line->reads.rbegin(); it != line->reads.rend(); ++it)
            it->status = exchange(line, *it, dgt::read_pause_ms, dgt::read_text(it->department, it->number), false);
    } catch (...) {
        // Out of memory for a text: the records not reached stay unhandled.
    }
}

BUSLINK_API int dgtserial_result(dgtserial_t *line, char department, unsigned number, double *value)
{
    if (!line)
        return DGTSERIAL_E_NOT_IN_REQUEST;
    double v = 0;
    const int status = result_of(line, department, number, v);
    if (status == DGTSERIAL_SUCCESS && value)
        *value = v;
    return status;
}

BUSLINK_API int dgtserial_result_int(dgtserial_t *line, char department, unsigned number, int *value)
{
    if (!line)
        return DGTSERIAL_E_NOT_IN_REQUEST;
    double v = 0;
    const int status = result_of(line, department, number, v);
    if (status == DGTSERIAL_SUCCESS && value) {
        // Truncated, and held within an int's range.
        v = std::trunc(v);
        *value = v >= 2147483647.0 ? 2147483647 : v <= -2147483648.0 ? (-2147483647 - 1) : static_cast<int>(v);
    }
    return status;
}

BUSLINK_API void dgtserial_new_request(dgtserial_t *line)
{
    if (!line)
        return;
    line->reads.clear();
    line->writes.clear();
    line->broadcasts.clear();
}

BUSLINK_API const char *dgtserial_get_node_list(dgtserial_t *line)
{
    if (!line)
        return "";
    // The controllers never answer the query; the list stays empty.
    if (line->node_list.empty() && port_up(line) && !line->wakeup.fired() &&
        buslink_serial_pause(line->port.get(), dgt::read_pause_ms)) {
        purge(line->port.get());
        cl_serial_write_all(line->port.get(), "/@ ", 3);
    }
    return line->node_list.c_str();
}

BUSLINK_API void dgtserial_abort(dgtserial_t *line)
{
    if (line)
        line->wakeup.fire();
}

BUSLINK_API void dgtserial_clear_abort(dgtserial_t *line)
{
    if (line)
        line->wakeup.clear();
}

BUSLINK_API const char *dgtserial_get_errmsg(int code)
{
    switch (code) {
    case 0: return "Success";
    case 1: return "Disconnected";
    case 2: return "Unhandled request";
    case 3: return "Incomplete response";
    case 4: return "Bad response";
    case 5: return "Unexpected node in response";
    case 6: return "Unexpected setpoint in response";
    case 7: return "Unavailable setpoint";
    case 8: return "Timeout";
    case 9: return "Setpoint not in request list";
    case 10: return "Failed to write to serial port";
    case 11: return "Failed to read from serial port";
    case 999: return "Implement me!";
    default: return "Unhandled error code";
    }
}

} // extern "C"
