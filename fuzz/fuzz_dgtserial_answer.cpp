// The LCC1200 answer check sees every byte a controller (or line noise)
// sends; the value texts take any double a client writes.
#include "dgtserial.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace dgt = buslink::dgt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const char department = static_cast<char>(data[0]);
    // Mostly real setpoint numbers, 636 (the CO2 form) among them.
    const unsigned number = static_cast<unsigned>(data[1] << 8 | data[2]) % 1000;
    const char *answer = reinterpret_cast<const char *>(data + 3);
    const size_t length = size - 3;

    const dgt::Answer a = dgt::check_answer(answer, length, department, number);
    const bool ended = std::memchr(answer, '\r', length) || std::memchr(answer, '\n', length);
    switch (a.status) {
    case DGTSERIAL_E_INCOMPLETE:
        if (ended)
            __builtin_trap();
        break;
    case DGTSERIAL_SUCCESS:
        if (!ended || !std::isfinite(a.value) || a.note != dgt::Note::none)
            __builtin_trap();
        if (answer[0] != (number == dgt::co2_setpoint ? '/' : '*'))
            __builtin_trap();
        break;
    case DGTSERIAL_E_BAD_RESPONSE:
    case DGTSERIAL_E_UNEXPECTED_SETPOINT:
    case DGTSERIAL_E_UNAVAILABLE:
        if (!ended)
            __builtin_trap();
        break;
    default:
        __builtin_trap();
    }

    // Any double, as the value of a write: one line, ending in its space.
    if (length >= sizeof(double)) {
        double value;
        std::memcpy(&value, answer, sizeof value);
        const std::string text = dgt::write_text('A', number, value, data[0] & 1);
        if (text.empty() || text.back() != ' ' || text.find_first_of("\r\n") != std::string::npos)
            __builtin_trap();
    }
    return 0;
}
