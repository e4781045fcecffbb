// The set messages a broker hands the core: topic and payload, as any
// client of the broker may write them.
#include <cmath>
#include <cstdint>
#include <string>

#include "mqtt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string in(reinterpret_cast<const char *>(data), size);
    size_t cut = in.find('\n');
    std::string topic = in.substr(0, cut);
    std::string payload = cut == std::string::npos ? std::string() : in.substr(cut + 1);
    if (auto r = plexord::mqtt::parse_set_topic("plant", topic)) {
        if (r->network.empty() || r->device.empty() || r->setpoint.empty() ||
            r->network.find('/') != std::string::npos || r->setpoint.find('/') != std::string::npos)
            __builtin_trap();
        // The result topic built from it is never a set topic again.
        std::string result = "plant/" + r->network + "/" + r->device + "/" + r->setpoint + "/set/result";
        if (plexord::mqtt::parse_set_topic("plant", result))
            __builtin_trap();
    }
    if (auto v = plexord::mqtt::parse_set_value(payload); v && !std::isfinite(*v))
        __builtin_trap();
    std::string level = plexord::mqtt::topic_level(payload);
    if (level.empty() || level.find_first_of("/+#") != std::string::npos)
        __builtin_trap();
    plexord::ScanSample s;
    s.item = payload;
    s.result = ncerr_t{NCERR_OK, 0};
    plexord::mqtt::payload(s, payload);
    return 0;
}
