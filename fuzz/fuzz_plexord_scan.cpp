// The scan list of a device's configuration, and the publishing choice on
// the points it gave.
#include <cmath>
#include <cstdint>
#include <string>

#include "scan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> problems;
    std::vector<plexord::ScanPoint> points = plexord::parse_scan_list(text, problems);
    for (const plexord::ScanPoint &p : points) {
        // What is kept can be scanned: an item, a usable deadband.
        if (p.item.empty() || !std::isfinite(p.deadband) || p.deadband < 0)
            __builtin_trap();
        plexord::ScanState s;
        if (!plexord::scan_publish(s, 1, ncerr_t{NCERR_OK, 0}, p.deadband, 0))
            __builtin_trap(); // the first reading is always published
    }
    return 0;
}
