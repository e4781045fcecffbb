// The RTU response check sees every byte a slave (or line noise) sends.
#include "modbus_rtu.h"

#include <cstddef>
#include <cstdint>

namespace mb = buslink::modbus;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const unsigned char slave = data[0];
    const unsigned char *frame = data + 1;
    const size_t length = size - 1;

    size_t message_length = 0;
    const int rc = mb::rtu_check_frame(frame, length, slave, message_length);
    if (rc == 0) {
        // Accepted: addressed to us, CRC good, message within the frame.
        if (length < 4 || frame[0] != slave || message_length != length - 3 || (frame[1] & 0x80))
            __builtin_trap();
        const uint16_t crc = mb::crc16(frame, length - 2);
        if (frame[length - 2] != (crc & 0xFF) || frame[length - 1] != (crc >> 8))
            __builtin_trap();
    } else if (message_length != 0) {
        __builtin_trap();
    }

    // Whatever we frame ourselves must pass our own check.
    if (length <= mb::rtu_max_message && length > 0 && !(frame[0] & 0x80)) {
        unsigned char built[mb::rtu_frame_capacity];
        const size_t n = mb::rtu_build_frame(slave, frame, length, built);
        if (mb::rtu_check_frame(built, n, slave, message_length) != 0 || message_length != length)
            __builtin_trap();
    }
    return 0;
}
