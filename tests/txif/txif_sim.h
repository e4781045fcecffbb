// The simulated TXIF adapter (tests/peers/txif_adapter.py) on the master
// side of a pseudo-terminal whose slave the driver opens, and what it
// recorded.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace txiftest {

// One packet the simulator took, as its record gives it.
struct Heard {
    std::string kind, raw; // raw: lower-case hex
};

class Adapter {
public:
    // script: the simulator's JSON script.
    explicit Adapter(const std::string &script);
    ~Adapter();
    Adapter(const Adapter &) = delete;
    Adapter &operator=(const Adapter &) = delete;

    bool ready() const { return pid_ > 0; }
    const std::string &path() const { return path_; }
    std::vector<Heard> heard() const;
    // Waits up to a second until the simulator has recorded count packets.
    bool wait_heard(std::size_t count) const;
    // Ends the simulator and closes both pty ends this side holds, so that
    // the driver's end hangs up.
    void vanish();

private:
    std::string dir_, path_;
    int master_ = -1, slave_ = -1, out_ = -1;
    pid_t pid_ = -1;
};

// An independent CRC-16 (reflected 0xA001, start 0xFFFF) and packet
// builder, so that a shared mistake with the driver cannot hide.
unsigned crc16(const std::string &bytes);
// Function code, length, payload, end mark and CRC.
std::string packet(int fun, const std::string &payload);
std::string hex(const std::string &bytes);

} // namespace txiftest
