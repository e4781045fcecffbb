// A test double of the USB chip's driver: one device that can be unplugged,
// with failures on demand, the bytes it is to deliver, and optionally an
// answer made for each packet written.
#pragma once

#include "buslink.h"

#include <functional>
#include <string>

namespace txiftest {

struct FakeChip {
    bool present = true;
    int lists = 0, opens = 0, closes = 0;
    int vendor = 0, product = 0;
    unsigned baud = 0, read_ms = 0;
    bool fail_purge = false, fail_baud = false, fail_write = false, fail_read = false;
    std::string input, output;
    std::function<std::string(const std::string &written)> answer;
};

extern FakeChip chip;
extern const txif_usb_driver_t fake_driver;

} // namespace txiftest
