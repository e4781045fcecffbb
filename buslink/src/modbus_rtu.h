// MODBUS RTU: the transport object and the frame arithmetic (CRC, timing,
// building and checking frames), kept free of I/O so that tests and fuzzers
// can drive it with bytes.
#pragma once

#include "modbus_query.h"
#include "platform/wakeup.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace buslink::modbus {

struct SerialFree {
    void operator()(cl_serial_t *port) const { cl_serial_free(port); }
};
using SerialPtr = std::unique_ptr<cl_serial_t, SerialFree>;

// Slave address, message and CRC.
constexpr std::size_t rtu_frame_capacity = 300;
constexpr std::size_t rtu_max_message = rtu_frame_capacity - 3;

constexpr std::array<uint16_t, 256> make_crc_table()
{
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001u : crc >> 1;
        table[i] = static_cast<uint16_t>(crc);
    }
    return table;
}

inline constexpr std::array<uint16_t, 256> crc_table = make_crc_table();

// CRC-16/MODBUS; it goes on the wire low byte first.
constexpr uint16_t crc16(const unsigned char *data, std::size_t length)
{
    unsigned crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i)
        crc = (crc >> 8) ^ crc_table[(crc ^ data[i]) & 0xFF];
    return static_cast<uint16_t>(crc);
}

// Five times the 3.5-character gap of the serial line standard, in
// microseconds, rounded up. The parity bit is not counted.
constexpr long rtu_silence_us(int baud, int databits_code, int stopbits_code)
{
    if (baud <= 0)
        return 0;
    const long bits = 1 + (databits_code == CL_DATABITS_7 ? 7 : 8) + (stopbits_code == CL_STOPBITS_TWO ? 2 : 1);
    // bits * 1e6 / baud * 3.5 * 5, in integers so that exact values stay exact.
    const long numerator = bits * 17500000L;
    return (numerator + baud - 1) / baud;
}

constexpr int rtu_char_timeout_ms(long silence_us, int minimum_ms)
{
    const long from_silence = (silence_us + 1000) / 1000;
    long ms = from_silence > 1 ? from_silence : 1;
    if (ms < minimum_ms)
        ms = minimum_ms;
    return static_cast<int>(ms);
}

// Writes address, message and CRC into frame (room for length + 3 bytes);
// returns the frame length.
inline std::size_t rtu_build_frame(unsigned char slave, const unsigned char *message, std::size_t length,
                                   unsigned char *frame)
{
    frame[0] = slave;
    for (std::size_t i = 0; i < length; ++i)
        frame[1 + i] = message[i];
    const uint16_t crc = crc16(frame, length + 1);
    frame[length + 1] = static_cast<unsigned char>(crc & 0xFF);
    frame[length + 2] = static_cast<unsigned char>(crc >> 8);
    return length + 3;
}

// Checks a received frame: 100 empty, 101 short, 102 CRC, 202 another
// slave, 220..229 exception; 0 when frame[1, 1 + message_length) is the
// message for this slave.
inline int rtu_check_frame(const unsigned char *frame, std::size_t length, unsigned char slave,
                           std::size_t &message_length)
{
    message_length = 0;
    if (length == 0)
        return BUSLINK_E_NO_RESPONSE;
    if (length < 4)
        return BUSLINK_E_SHORT_RESPONSE;
    const uint16_t crc = crc16(frame, length - 2);
    if (frame[length - 2] != (crc & 0xFF) || frame[length - 1] != (crc >> 8))
        return BUSLINK_E_CHECKSUM;
    if (frame[0] != slave)
        return BUSLINK_E_UNEXPECTED_NODE;
    if (frame[1] & 0x80) {
        // Address, function and CRC alone: the exception code is missing.
        if (length < 5)
            return BUSLINK_E_SHORT_RESPONSE;
        return exception_status(frame[2]);
    }
    message_length = length - 3;
    return 0;
}

} // namespace buslink::modbus

struct modbus_rtu : modbus {
    modbus_rtu();

    buslink::posix::Wakeup wakeup; // cuts the port's waits (modbus_rtu_abort)
    buslink::modbus::SerialPtr port;
    int response_timeout_ms = 800;
    long silence_us = 0;
    int min_char_timeout_ms = 10;
    unsigned char frame[buslink::modbus::rtu_frame_capacity] = {};
};
