// The simulated LCT-1 transmitter on the master side of a pseudo-terminal;
// the code under test opens the slave by its path.
#pragma once

#include <string>
#include <vector>

#include "sim_line.h"

namespace lct1test {

class Transmitter {
public:
    // script: the simulator's JSON script.
    explicit Transmitter(const std::string &script);

    const std::string &path() const { return line_.path(); }
    // The raw requests received so far, in order (read from the record),
    // waiting up to a second until there are at least `count`.
    std::vector<std::string> requests(std::size_t count = 0) const;
    // Ends the simulator; its master closes, so the slave's line vanishes.
    void stop() { line_.vanish(); }

private:
    peertest::SimLine line_;
};

} // namespace lct1test
