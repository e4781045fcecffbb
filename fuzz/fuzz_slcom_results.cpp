// The SuperLink result-file reader on arbitrary bytes; and every request
// line the driver accepts to write reads back as the same setpoint.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "slcom.h"

namespace sl = buslink::sl;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    for (const sl::ResultLine &line : sl::parse_results(text)) {
        if (line.name.data() < text.data() || line.name.data() + line.name.size() > text.data() + text.size())
            std::abort();
        if (line.value_ok && (!line.has_value || !std::isfinite(line.value)))
            std::abort();
        int rounded = 0;
        if (line.value_ok && sl::round_result(line.value, &rounded) && std::fabs(rounded - line.value) > 0.5)
            std::abort();
    }

    if (size < 1 + sizeof(int) + sizeof(double))
        return 0;
    const char department = static_cast<char>(data[0]);
    int number;
    double value;
    std::memcpy(&number, data + 1, sizeof number);
    std::memcpy(&value, data + 1 + sizeof number, sizeof value);
    const std::string_view name = std::string_view(text).substr(1 + sizeof number + sizeof value);
    if (sl::check_request(name, department) != SLCOM_SUCCESS || !std::isfinite(value))
        return 0;
    const std::string request = sl::request_line(name, department, number, sl::Kind::write, value);
    const auto back = sl::parse_results(request);
    if (back.size() != 1 || back[0].name != name || back[0].department != department || back[0].number != number ||
        !back[0].value_ok || std::fabs(back[0].value - value) > 0.05000001 * std::fmax(1.0, std::fabs(value)))
        std::abort();
    return 0;
}
