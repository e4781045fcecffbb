// The simulated LCC1200 line (tests/peers/dgt_line.py) on the master side of
// a pseudo-terminal whose slave the driver opens, and what it recorded.
#pragma once

#include <string>
#include <vector>

#include "sim_line.h"

namespace dgttest {

// One request the simulator took, as its record gives it.
struct Heard {
    double time = 0; // seconds since the simulator was ready
    std::string kind, raw, answer;
};

class Line {
public:
    // script: the simulator's JSON script.
    explicit Line(const std::string &script) : line_("dgt_line.py", script) {}

    bool ready() const { return line_.ready(); }
    const std::string &path() const { return line_.path(); }
    std::vector<Heard> heard() const;
    // Waits up to a second until the simulator has recorded count requests.
    bool wait_heard(std::size_t count) const;
    // Ends the simulator and closes both pty ends this side holds, so that
    // the driver's end hangs up.
    void vanish() { line_.vanish(); }

private:
    peertest::SimLine line_;
};

} // namespace dgttest
