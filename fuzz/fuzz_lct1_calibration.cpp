// The calibration text of an "lct1" network comes from the configuration file.
#include "lct1_calibration.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const auto parsed = lct1net::parse_calibrations(text);
    if (!parsed)
        return 0;
    for (const auto &[node, points] : *parsed)
        if (node < 0 || node > 15)
            __builtin_trap();
    // What is kept is read back as the same calibrations.
    const auto again = lct1net::parse_calibrations(lct1net::format_calibrations(*parsed));
    if (!again || *again != *parsed)
        __builtin_trap();
    return 0;
}
