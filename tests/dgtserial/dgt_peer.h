// The simulated LCC1200 line (tests/peers/dgt_line.py) on the master side of
// a pseudo-terminal whose slave the driver opens, and what it recorded.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace dgttest {

// One request the simulator took, as its record gives it.
struct Heard {
    double time = 0; // seconds since the simulator was ready
    std::string kind, raw, answer;
};

class Line {
public:
    // script: the simulator's JSON script.
    explicit Line(const std::string &script);
    ~Line();
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    bool ready() const { return pid_ > 0; }
    const std::string &path() const { return path_; }
    std::vector<Heard> heard() const;
    // Waits up to a second until the simulator has recorded count requests.
    bool wait_heard(std::size_t count) const;
    // Ends the simulator and closes both pty ends this side holds, so that
    // the driver's end hangs up.
    void vanish();

private:
    std::string dir_, path_;
    int master_ = -1, slave_ = -1, out_ = -1; // out_: the simulator's output
    pid_t pid_ = -1;
};

} // namespace dgttest
