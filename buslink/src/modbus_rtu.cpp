#include "modbus_rtu.h"

#include "core.h"
#include "serial.h"

#include <cstring>
#include <new>

namespace mb = buslink::modbus;

namespace {

// The inter-character wait ends a frame: whatever arrives later belongs to
// the next one.
int char_timeout_ms(const modbus_rtu *rtu)
{
    return mb::rtu_char_timeout_ms(rtu->silence_us, rtu->min_char_timeout_ms);
}

// Reads one raw frame into rtu->frame. The byte count, or -1 when a read
// failed (length then holds what came before).
int read_raw(modbus_rtu *rtu, std::size_t &length)
{
    cl_serial_t *port = rtu->port.get();
    length = 0;
    int ready = cl_serial_wait_for_data(port, rtu->response_timeout_ms);
    if (ready <= 0)
        return ready;
    const int timeout = char_timeout_ms(rtu);
    do {
        // A full buffer ends the frame; the excess fails the next check
        // instead of spinning here.
        if (length >= mb::rtu_frame_capacity)
            break;
        const int n = cl_serial_read_available(port, rtu->frame + length,
                                               static_cast<int>(mb::rtu_frame_capacity - length));
        if (n < 0)
            return -1;
        length += static_cast<std::size_t>(n);
        ready = cl_serial_wait_for_data(port, timeout);
        if (ready < 0)
            return -1;
    } while (ready > 0);
    return static_cast<int>(length);
}

// Answers to earlier, timed-out requests must not pass for the next one.
void discard_input(cl_serial_t *port)
{
    unsigned char scrap[64];
    while (cl_serial_read_available(port, scrap, sizeof scrap) > 0) {
    }
}

void report_crc_error(const unsigned char *frame, std::size_t length)
{
    const uint16_t computed = mb::crc16(frame, length - 2);
    // Both shown with the first CRC byte on the wire as the high byte.
    const unsigned expected = static_cast<unsigned>((computed & 0xFF) << 8 | computed >> 8);
    const unsigned received = static_cast<unsigned>(frame[length - 2] << 8 | frame[length - 1]);
    buslink_oprintf("CRC error. Expected 0x%04x. Received 0x%04x.\n", expected, received);
    for (std::size_t i = 0; i < length; ++i)
        buslink_oprintf("%02x ", frame[i]);
    buslink_oprintf("\n");
}

int rtu_exchange(modbus *m, uint32_t /*link*/, uint32_t unit, std::size_t length, std::size_t &response_length,
                 cl_stats_t *stats)
{
    auto *rtu = static_cast<modbus_rtu *>(m);
    // A slave address is one byte; a larger unit would reach another slave.
    if (unit > 0xFF)
        return BUSLINK_E_INVALID_PARAMETER;
    const auto slave = static_cast<unsigned char>(unit);
    if (const int rc = modbus_rtu_send_frame(rtu, slave, m->message, static_cast<unsigned>(length), stats))
        return rc;
    unsigned n = 0;
    const int rc = modbus_rtu_read_frame(rtu, slave, m->message, &n, stats);
    response_length = n;
    return rc;
}

} // namespace

modbus_rtu::modbus_rtu() : modbus(MODBUS_TRANSPORT_RTU, rtu_exchange) {}

extern "C" {

BUSLINK_API modbus_rtu_t *modbus_rtu_new(void)
{
    auto *rtu = new (std::nothrow) modbus_rtu();
    if (rtu && !rtu->wakeup.valid()) {
        delete rtu;
        return nullptr;
    }
    return rtu;
}

BUSLINK_API int modbus_rtu_connect(modbus_rtu_t *rtu, cl_serial_t *port)
{
    if (!rtu || !cl_serial_is_ok(port))
        return BUSLINK_E_INVALID_PORT;
    // Handing over the port already owned must not free it.
    if (rtu->port.get() != port)
        rtu->port.reset(port);
    buslink_serial_set_wakeup(port, rtu->wakeup.fd());
    rtu->silence_us = mb::rtu_silence_us(port->baudrate, port->databits, port->stopbits);
    return 0;
}

BUSLINK_API void modbus_rtu_disconnect(modbus_rtu_t *rtu)
{
    if (rtu)
        rtu->port.reset();
}

BUSLINK_API void modbus_rtu_delete(modbus_rtu_t *rtu)
{
    delete rtu;
}

BUSLINK_API void modbus_rtu_abort(modbus_rtu_t *rtu)
{
    if (rtu)
        rtu->wakeup.fire();
}

BUSLINK_API void modbus_rtu_clear_abort(modbus_rtu_t *rtu)
{
    if (rtu)
        rtu->wakeup.clear();
}

BUSLINK_API int modbus_rtu_get_response_timeout(const modbus_rtu_t *rtu)
{
    return rtu ? rtu->response_timeout_ms : 0;
}

BUSLINK_API void modbus_rtu_set_response_timeout(modbus_rtu_t *rtu, int milliseconds)
{
    if (rtu)
        rtu->response_timeout_ms = milliseconds;
}

BUSLINK_API int modbus_rtu_send_frame(modbus_rtu_t *rtu, unsigned char slave, const void *message, unsigned length,
                                      cl_stats_t *stats)
{
    if (!rtu || !rtu->port || rtu->wakeup.fired())
        return BUSLINK_E_NO_CONNECTION;
    if (length > mb::rtu_max_message || (length > 0 && !message))
        return BUSLINK_E_INVALID_PARAMETER;
    const std::size_t size =
        mb::rtu_build_frame(slave, static_cast<const unsigned char *>(message), length, rtu->frame);
    discard_input(rtu->port.get());
    const int written = cl_serial_write_all(rtu->port.get(), rtu->frame, static_cast<int>(size));
    // A failed write stops the frame; the missing answer reports it.
    cl_stats_register_outgoing(stats, written > 0 ? static_cast<unsigned>(written) : 0u, rtu->frame);
    return 0;
}

BUSLINK_API int modbus_rtu_read_frame(modbus_rtu_t *rtu, unsigned char slave, void *message, unsigned *length,
                                      cl_stats_t *stats)
{
    if (!rtu || !rtu->port)
        return BUSLINK_E_NO_CONNECTION;
    std::size_t received = 0;
    const int rc = read_raw(rtu, received);
    if (received > 0)
        cl_stats_register_incoming(stats, static_cast<unsigned>(received), rtu->frame);
    if (rc < 0)
        return rtu->wakeup.fired() ? BUSLINK_E_NO_CONNECTION : BUSLINK_E_READ;

    std::size_t message_length = 0;
    const int status = mb::rtu_check_frame(rtu->frame, received, slave, message_length);
    if (status == BUSLINK_E_CHECKSUM)
        report_crc_error(rtu->frame, received);
    if (status != 0)
        return status;
    if (message)
        std::memcpy(message, rtu->frame + 1, message_length);
    if (length)
        *length = static_cast<unsigned>(message_length);
    return 0;
}

} // extern "C"
