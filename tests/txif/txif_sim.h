// The simulated TXIF adapter (tests/peers/txif_adapter.py) on the master
// side of a pseudo-terminal whose slave the driver opens, and what it
// recorded.
#pragma once

#include <string>
#include <vector>

#include "sim_line.h"

namespace txiftest {

// One packet the simulator took, as its record gives it.
struct Heard {
    std::string kind, raw; // raw: lower-case hex
};

class Adapter {
public:
    // script: the simulator's JSON script.
    explicit Adapter(const std::string &script) : line_("txif_adapter.py", script) {}

    bool ready() const { return line_.ready(); }
    const std::string &path() const { return line_.path(); }
    std::vector<Heard> heard() const;
    // Waits up to a second until the simulator has recorded count packets.
    bool wait_heard(std::size_t count) const;
    // Ends the simulator and closes both pty ends this side holds, so that
    // the driver's end hangs up.
    void vanish() { line_.vanish(); }

private:
    peertest::SimLine line_;
};

// An independent CRC-16 (reflected 0xA001, start 0xFFFF) and packet
// builder, so that a shared mistake with the driver cannot hide.
unsigned crc16(const std::string &bytes);
// Function code, length, payload, end mark and CRC.
std::string packet(int fun, const std::string &payload);
std::string hex(const std::string &bytes);

} // namespace txiftest
