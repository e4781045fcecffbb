// MODBUS TCP: the transport object and the MBAP header arithmetic, kept
// free of I/O so that tests and fuzzers can drive it with bytes.
#pragma once

#include "modbus_query.h"
#include "platform/wakeup.h"

#include "basekit.h"

#include <cstddef>
#include <cstdint>

namespace buslink::modbus {

constexpr std::size_t mbap_header_size = 7;

struct MbapHeader {
    uint16_t transaction = 0;
    uint16_t protocol = 0;
    uint16_t length = 0; // unit identifier and message
    uint8_t unit = 0;

    // Bytes that follow the header on the wire.
    std::size_t body_length() const { return length > 0 ? length - 1u : 0u; }
};

inline MbapHeader mbap_parse_header(const unsigned char *header)
{
    MbapHeader h;
    h.transaction = get_be16(header);
    h.protocol = get_be16(header + 2);
    h.length = get_be16(header + 4);
    h.unit = header[6];
    return h;
}

// Header and message into frame (room for 7 + length bytes); the frame length.
inline std::size_t mbap_build_frame(uint16_t transaction, uint8_t unit, const unsigned char *message,
                                    std::size_t length, unsigned char *frame)
{
    put_be16(frame, transaction);
    put_be16(frame + 2, 0);
    put_be16(frame + 4, static_cast<unsigned>(length + 1));
    frame[6] = unit;
    for (std::size_t i = 0; i < length; ++i)
        frame[mbap_header_size + i] = message[i];
    return mbap_header_size + length;
}

// Checks a response whose header is h and of whose body `received` bytes
// arrived; body holds the first min(received, message_capacity) of them.
// 0 when body[0, h.body_length()) is the message; otherwise 101 short,
// 207 another transaction, 208 not MODBUS, 202 another unit, 111 a message
// too long to keep, 220..229 an exception.
inline int mbap_check_response(const MbapHeader &h, const unsigned char *body, std::size_t received,
                               uint16_t transaction, uint8_t unit)
{
    const std::size_t announced = h.body_length();
    if (received < announced)
        return BUSLINK_E_SHORT_RESPONSE;
    if (h.transaction != transaction)
        return BUSLINK_E_UNEXPECTED_TID;
    if (h.protocol != 0)
        return BUSLINK_E_NON_MODBUS_FRAME;
    if (h.unit != unit)
        return BUSLINK_E_UNEXPECTED_NODE;
    if (announced == 0)
        return BUSLINK_E_SHORT_RESPONSE;
    if (announced > message_capacity)
        return BUSLINK_E_INVALID_RESPONSE;
    if (body[0] & 0x80) {
        if (announced < 2)
            return BUSLINK_E_SHORT_RESPONSE;
        return exception_status(body[1]);
    }
    return 0;
}

} // namespace buslink::modbus

struct modbus_tcp : modbus {
    modbus_tcp();
    ~modbus_tcp();

    buslink::posix::Wakeup wakeup; // cuts the socket's waits (modbus_tcp_abort)
    uxsocket_t socket;
    unsigned char frame[buslink::modbus::mbap_header_size + buslink::modbus::message_capacity] = {};
    uint16_t transaction = 0;
    int response_timeout_ms = 800;
    // Why windowed flushes went down to one request at a time (0: they
    // have not); MODBUS_WINDOW_*.
    int window_fallback = 0;
};
