// The MBAP response check sees every byte a TCP peer sends: the first two
// input bytes choose the expected transaction and unit, the rest is the frame.
#include "modbus_tcp.h"

#include <cstddef>
#include <cstdint>

namespace mb = buslink::modbus;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 + mb::mbap_header_size)
        return 0;
    const uint16_t transaction = data[0];
    const uint8_t unit = data[1];
    const unsigned char *header = data + 2;
    const unsigned char *body = header + mb::mbap_header_size;
    const size_t received = size - 2 - mb::mbap_header_size;

    const mb::MbapHeader h = mb::mbap_parse_header(header);
    const int rc = mb::mbap_check_response(h, body, received, transaction, unit);
    if (rc == 0) {
        const size_t n = h.body_length();
        if (n == 0 || n > received || n > mb::message_capacity || h.transaction != transaction ||
            h.protocol != 0 || h.unit != unit || (body[0] & 0x80))
            __builtin_trap();
    }
    if (rc >= BUSLINK_E_EXCEPTION && rc <= BUSLINK_E_EX_GATEWAY_TARGET && h.body_length() < 2)
        __builtin_trap();
    return 0;
}
