// The XBee receiver takes the module's byte stream in whatever pieces the
// port hands over; every frame it yields is parsed as the transport would.
#include "modbus_xbee.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace mb = buslink::modbus;

namespace {

void parse(const unsigned char *f, size_t n)
{
    mb::XbeeReceive r;
    if (mb::xbee_parse_receive(f, n, r) == mb::XbeeParse::ok && (r.data < f || r.data + r.length != f + n))
        __builtin_trap();
    mb::XbeeTxStatus s;
    mb::xbee_parse_tx_status(f, n, s);
    mb::XbeeAtAnswer a;
    if (mb::xbee_parse_at_answer(f, n, a) && a.value + a.value_length != f + n)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t step = data[0] % 16 + 1;
    mb::XbeeReceiver rx;
    std::vector<unsigned char> wire;
    for (size_t i = 1; i < size; i += step) {
        const size_t piece = i + step <= size ? step : size - i;
        if (rx.push(data + i, piece) != piece)
            __builtin_trap(); // the parser empties the ring before each push
        for (auto e = rx.next(); e != mb::XbeeReceiver::Event::need_more; e = rx.next()) {
            if (e != mb::XbeeReceiver::Event::frame)
                continue;
            if (rx.frame_length() > mb::XbeeReceiver::frame_capacity)
                __builtin_trap();
            parse(rx.frame(), rx.frame_length());

            // A frame we encode again comes back unchanged.
            const std::vector<unsigned char> frame(rx.frame(), rx.frame() + rx.frame_length());
            if (!mb::xbee_encode_frame(frame.data(), frame.size(), wire))
                __builtin_trap();
            mb::XbeeReceiver again;
            again.push(wire.data(), wire.size());
            if (again.next() != mb::XbeeReceiver::Event::frame || again.frame_length() != frame.size() ||
                !std::equal(frame.begin(), frame.end(), again.frame()))
                __builtin_trap();
        }
    }
    return 0;
}
