#include "modbus_xbee.h"

#include "core.h"
#include "serial.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include <termios.h>

namespace mb = buslink::modbus;

namespace {

using Clock = std::chrono::steady_clock;
using Event = mb::XbeeReceiver::Event;

constexpr int api_mode_timeout_ms = 1050;
constexpr int plus_ok_timeout_ms = 1150;
constexpr int exit_command_mode_timeout_ms = 1200;
constexpr int at_timeout_ms = 1000;
// What callers have always been given for an answer that cannot be used.
constexpr int malformed_answer = BUSLINK_E_UNIMPLEMENTED;

Clock::time_point deadline_in(int milliseconds)
{
    return Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0));
}

int remaining_ms(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// A failed wait or write is a cut one when modbus_xbee_abort came.
int failed(const modbus_xbee *x, int status)
{
    return x->wakeup.fired() ? BUSLINK_E_NO_CONNECTION : status;
}

unsigned char next_frame_id(modbus_xbee *x)
{
    // 0 asks the module for no status frame, so it is never used.
    if (++x->frame_id == 0)
        x->frame_id = 1;
    return x->frame_id;
}

// Sends x->frame_data as one API frame. Traffic records show frame data,
// before escaping, in both directions.
int write_frame(modbus_xbee *x, cl_stats_t *stats)
{
    if (!x->port)
        return BUSLINK_E_NO_CONNECTION;
    if (!mb::xbee_encode_frame(x->frame_data.data(), x->frame_data.size(), x->wire))
        return BUSLINK_E_MAX_PAYLOAD;
    const int written = cl_serial_write_all(x->port.get(), x->wire.data(), static_cast<int>(x->wire.size()));
    cl_stats_register_outgoing(stats, static_cast<unsigned>(x->frame_data.size()), x->frame_data.data());
    if (written < 0)
        return failed(x, BUSLINK_E_WRITE);
    return 0;
}

// Waits until the next whole frame is in the receiver: 0, or 106 when the
// deadline passed, 104 a failed read, 102 a bad checksum, 304 a frame too
// long for the frame buffer.
int next_frame(modbus_xbee *x, Clock::time_point deadline, cl_stats_t *stats)
{
    cl_serial_t *port = x->port.get();
    if (!port)
        return BUSLINK_E_NO_CONNECTION;
    for (;;) {
        switch (x->receiver.next()) {
        case Event::frame:
            cl_stats_register_incoming(stats, static_cast<unsigned>(x->receiver.frame_length()), x->receiver.frame());
            return 0;
        case Event::bad_checksum:
            return BUSLINK_E_CHECKSUM;
        case Event::too_long:
            return BUSLINK_E_SHORT_BUFFER;
        case Event::need_more:
            break;
        }
        const int ready = cl_serial_wait_for_data(port, remaining_ms(deadline));
        if (ready == 0)
            return BUSLINK_E_TIMEOUT;
        if (ready < 0)
            return failed(x, BUSLINK_E_READ);
        unsigned char chunk[256];
        const std::size_t room = std::min(sizeof chunk, x->receiver.free_space());
        const int n = cl_serial_read_available(port, chunk, static_cast<int>(room));
        if (n < 0)
            return failed(x, BUSLINK_E_READ);
        x->receiver.push(chunk, static_cast<std::size_t>(n));
    }
}

// Sends an AT command and waits for its answer; value gets the answer's
// value bytes, high byte first.
int at_command(modbus_xbee *x, const char *command, const unsigned char *parameter, std::size_t length,
               int timeout_ms, unsigned long *value)
{
    const unsigned char id = next_frame_id(x);
    x->frame_data.assign({mb::xbee_at_command, id, static_cast<unsigned char>(command[0]),
                          static_cast<unsigned char>(command[1])});
    x->frame_data.insert(x->frame_data.end(), parameter, parameter + length);
    if (const int rc = write_frame(x, nullptr))
        return rc;
    const auto deadline = deadline_in(timeout_ms);
    for (;;) {
        if (const int rc = next_frame(x, deadline, nullptr))
            return rc;
        mb::XbeeAtAnswer answer;
        if (!mb::xbee_parse_at_answer(x->receiver.frame(), x->receiver.frame_length(), answer))
            return BUSLINK_E_INVALID_FRAME_TYPE;
        // An answer to an earlier command that timed out.
        if (answer.frame_id != id)
            continue;
        const int rc = mb::xbee_at_status(answer.status);
        if (rc == 0 && value) {
            *value = 0;
            for (std::size_t i = 0; i < answer.value_length; ++i)
                *value = *value << 8 | answer.value[i];
        }
        return rc;
    }
}

int at_set16(modbus_xbee *x, const char *command, unsigned value)
{
    unsigned char bytes[2];
    mb::put_be16(bytes, value);
    return at_command(x, command, bytes, sizeof bytes, at_timeout_ms, nullptr);
}

// Lets pending output go, then throws away whatever either direction holds.
void purge(modbus_xbee *x)
{
    cl_serial_t *port = x->port.get();
    if (cl_serial_is_ok(port)) {
        tcdrain(port->handle);
        tcflush(port->handle, TCIOFLUSH);
    }
    port->has_lookahead = 0;
    x->receiver.clear();
}

// Frames of earlier requests that timed out would otherwise be taken for
// this request's transmit status and answer.
void discard_input(modbus_xbee *x)
{
    unsigned char scrap[256];
    while (cl_serial_read_available(x->port.get(), scrap, sizeof scrap) > 0) {
    }
    x->receiver.clear();
}

int write_text(modbus_xbee *x, const char *text)
{
    if (cl_serial_write_all(x->port.get(), text, static_cast<int>(std::strlen(text))) < 0)
        return failed(x, BUSLINK_E_WRITE);
    return 0;
}

// The transparent-mode way into API mode 2, for a module that does not
// understand API frames yet.
int enter_api_by_command_mode(modbus_xbee *x)
{
    cl_serial_t *port = x->port.get();
    purge(x);
    int rc = write_text(x, "+++");
    if (rc)
        return rc;
    rc = cl_serial_expect_ok(port, plus_ok_timeout_ms);
    if (rc == BUSLINK_E_TIMEOUT) {
        if ((rc = write_text(x, "AT\r")))
            return rc;
        rc = cl_serial_expect_ok(port, api_mode_timeout_ms);
    }
    if (rc)
        return rc;
    if ((rc = write_text(x, "ATAP2\r")))
        return rc;
    if ((rc = cl_serial_expect_ok(port, api_mode_timeout_ms)))
        return rc;
    purge(x);
    if ((rc = write_text(x, "ATCN\r")))
        return rc;
    return cl_serial_expect_ok(port, exit_command_mode_timeout_ms);
}

int enter_api_mode(modbus_xbee *x)
{
    unsigned long mode = 0;
    int rc = at_command(x, "AP", nullptr, 0, api_mode_timeout_ms, &mode);
    if (rc == 0) {
        if (mode == 2)
            return 0;
        const unsigned char escaped_mode = 2;
        rc = at_command(x, "AP", &escaped_mode, 1, api_mode_timeout_ms, nullptr);
        if (rc == 0)
            return 0;
    }
    if (rc == BUSLINK_E_NO_CONNECTION)
        return rc;
    // A module that answered nonsense gets time to settle before "+++".
    if (rc != BUSLINK_E_TIMEOUT && !buslink_serial_pause(x->port.get(), api_mode_timeout_ms))
        return BUSLINK_E_NO_CONNECTION;
    return enter_api_by_command_mode(x);
}

int set_up(modbus_xbee *x, unsigned short pan_id, unsigned short own_address, unsigned short channel)
{
    if (const int rc = enter_api_mode(x))
        return rc;
    unsigned long hv = 0;
    if (const int rc = at_command(x, "HV", nullptr, 0, at_timeout_ms, &hv))
        return rc == BUSLINK_E_NO_CONNECTION ? rc : BUSLINK_E_AT_ERROR;
    x->series = mb::xbee_series_from_hv(hv);
    if (x->series == 0) {
        buslink_eprintf("Warning: unknown XBee model. Defaulting to series 1.\n");
        x->series = 10;
    }
    if (x->series < 20) {
        x->short_addresses = 1;
        if (const int rc = at_set16(x, "CH", channel))
            return rc;
        if (const int rc = at_set16(x, "MY", own_address))
            return rc;
        const unsigned char mac_mode = 2;
        if (const int rc = at_command(x, "MM", &mac_mode, 1, at_timeout_ms, nullptr))
            return rc;
    } else {
        x->short_addresses = 0;
    }
    return at_set16(x, "ID", pan_id);
}

int read_answer(modbus_xbee *x, uint32_t link, uint32_t unit, unsigned char *message, std::size_t &length,
                cl_stats_t *stats)
{
    if (!x->port)
        return BUSLINK_E_NO_CONNECTION;
    const auto deadline = deadline_in(x->response_timeout_ms);
    for (;;) {
        if (const int rc = next_frame(x, deadline, stats))
            return rc;
        mb::XbeeReceive r;
        switch (mb::xbee_parse_receive(x->receiver.frame(), x->receiver.frame_length(), r)) {
        case mb::XbeeParse::not_receive:
            continue;
        case mb::XbeeParse::malformed:
            return malformed_answer;
        case mb::XbeeParse::ok:
            break;
        }
        if (r.link != link || r.unit != unit)
            continue;
        if (r.length < 2 || r.data[0] != 'M' || r.data[1] != 'B')
            continue;
        const std::size_t n = r.length - 2;
        if (n > mb::message_capacity)
            return malformed_answer;
        if (n > 0 && message)
            std::memcpy(message, r.data + 2, n);
        length = n;
        return 0;
    }
}

int xbee_exchange(modbus *m, uint32_t link, uint32_t unit, std::size_t length, std::size_t &response_length,
                  cl_stats_t *stats)
{
    auto *x = static_cast<modbus_xbee *>(m);
    if (const int rc = modbus_xbee_send_frame(x, link, unit, m->message, static_cast<unsigned>(length), stats))
        return rc;
    if (const int rc = read_answer(x, link, unit, m->message, response_length, stats))
        return rc;
    // The engine expects exceptions as statuses from every transport.
    if (response_length > 0 && (m->message[0] & 0x80))
        return response_length < 2 ? BUSLINK_E_SHORT_RESPONSE : mb::exception_status(m->message[1]);
    return 0;
}

} // namespace

modbus_xbee::modbus_xbee() : modbus(MODBUS_TRANSPORT_XBEE, xbee_exchange) {}

extern "C" {

BUSLINK_API modbus_xbee_t *modbus_xbee_new(void)
{
    auto *x = new (std::nothrow) modbus_xbee();
    if (x && !x->wakeup.valid()) {
        delete x;
        return nullptr;
    }
    return x;
}

BUSLINK_API int modbus_xbee_setup(modbus_xbee_t *x, cl_serial_t *port, unsigned short pan_id,
                                  unsigned short own_address, unsigned short channel)
{
    if (!x || !port)
        return BUSLINK_E_NO_CONNECTION;
    // Handing over the port already owned must not free it.
    if (x->port.get() != port)
        x->port.reset(port);
    buslink_serial_set_wakeup(port, x->wakeup.fd());
    x->receiver.clear();
    x->series = 0;
    try {
        return set_up(x, pan_id, own_address, channel);
    } catch (...) {
        return BUSLINK_E_UNDOCUMENTED;
    }
}

BUSLINK_API void modbus_xbee_disconnect(modbus_xbee_t *x)
{
    if (x)
        x->port.reset();
}

BUSLINK_API void modbus_xbee_delete(modbus_xbee_t *x)
{
    delete x;
}

BUSLINK_API int modbus_xbee_is_connected(const modbus_xbee_t *x)
{
    return x && cl_serial_is_ok(x->port.get()) ? 1 : 0;
}

BUSLINK_API int modbus_xbee_get_series(const modbus_xbee_t *x)
{
    return x ? x->series : 0;
}

BUSLINK_API void modbus_xbee_abort(modbus_xbee_t *x)
{
    if (x)
        x->wakeup.fire();
}

BUSLINK_API void modbus_xbee_clear_abort(modbus_xbee_t *x)
{
    if (x)
        x->wakeup.clear();
}

BUSLINK_API void modbus_xbee_use_short_addresses(modbus_xbee_t *x, int flag)
{
    if (x)
        x->short_addresses = flag;
}

BUSLINK_API modbus_base_t *modbus_xbee_get_base(modbus_xbee_t *x)
{
    return x;
}

BUSLINK_API int modbus_xbee_send_frame(modbus_xbee_t *x, uint32_t link, uint32_t unit, const void *message,
                                       unsigned length, cl_stats_t *stats)
{
    if (!x || !x->port || x->wakeup.fired())
        return BUSLINK_E_NO_CONNECTION;
    if (length > 0 && !message)
        return BUSLINK_E_INVALID_PARAMETER;
    try {
        const unsigned char id = next_frame_id(x);
        mb::xbee_build_request(x->series, x->short_addresses != 0, id, link, unit,
                               static_cast<const unsigned char *>(message), length, x->frame_data);
        discard_input(x);
        if (const int rc = write_frame(x, stats))
            return rc;
        const unsigned char status_type = x->series >= 20 ? mb::xbee_tx_status2 : mb::xbee_tx_status;
        const auto deadline = deadline_in(x->response_timeout_ms);
        for (;;) {
            if (const int rc = next_frame(x, deadline, stats))
                return rc;
            const unsigned char *f = x->receiver.frame();
            const std::size_t n = x->receiver.frame_length();
            mb::XbeeTxStatus status;
            if (n == 0 || f[0] != status_type || !mb::xbee_parse_tx_status(f, n, status))
                return BUSLINK_E_INVALID_FRAME_TYPE;
            // The status of an earlier frame that timed out.
            if (status.frame_id != id)
                continue;
            return status.delivery == 0 ? 0 : BUSLINK_E_NOT_DELIVERED;
        }
    } catch (...) {
        return BUSLINK_E_UNDOCUMENTED;
    }
}

BUSLINK_API int modbus_xbee_read_frame(modbus_xbee_t *x, uint32_t link, uint32_t unit, void *message,
                                       unsigned *length)
{
    if (!x)
        return BUSLINK_E_NO_CONNECTION;
    std::size_t n = 0;
    const int rc = read_answer(x, link, unit, static_cast<unsigned char *>(message), n, nullptr);
    if (rc == 0 && length)
        *length = static_cast<unsigned>(n);
    return rc;
}

} // extern "C"
