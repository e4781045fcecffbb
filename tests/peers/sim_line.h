// A simulator of this folder (dgt_line.py, lct1_transmitter.py,
// txif_adapter.py...) on the master side of a pseudo-terminal whose slave
// the code under test opens by its path, with its script and its record in
// a scratch folder.
#pragma once

#include <string>

#include <sys/types.h>

namespace peertest {

class SimLine {
public:
    // simulator: the file name in tests/peers; script: its JSON script.
    SimLine(const std::string &simulator, const std::string &script);
    ~SimLine();
    SimLine(const SimLine &) = delete;
    SimLine &operator=(const SimLine &) = delete;

    // False when the simulator did not come up (or has vanished).
    bool ready() const { return pid_ > 0; }
    const std::string &path() const { return path_; }
    // The record as the simulator last wrote it ("" before the first).
    std::string record() const;
    // Ends the simulator; the line hangs up under the code under test.
    void vanish();

private:
    std::string dir_, path_;
    int slave_ = -1, out_ = -1;
    pid_t pid_ = -1;
};

} // namespace peertest
