// A simulated local XBee module on the master side of a pseudo-terminal:
// transparent and API modes, AT commands, transmit status, and the remote
// modules behind it that answer MODBUS ("MB" and the message) from their
// registers.
#pragma once

#include "modbus_peers.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mbtest {

class XbeeModule {
public:
    struct Options {
        unsigned hv = 0x1944;
        int api_mode = 2; // 0: transparent
        unsigned char delivery = 0;
        Bytes before_answer; // frames (escaped) sent ahead of each answer
        bool answer = true;
        bool corrupt_answer = false;
    };

    static Options with_hv(unsigned hv, int api_mode = 2)
    {
        Options o;
        o.hv = hv;
        o.api_mode = api_mode;
        return o;
    }

    // Fill `remotes` before the library talks to the module.
    XbeeModule(const Pty &pty, Options options);
    ~XbeeModule();

    // AT commands and transparent-mode lines, in arrival order ("ID:3332").
    std::vector<std::string> commands() const;

    // Remote modules by 64-bit address (16-bit ones as 0:address).
    std::map<uint64_t, Registers> remotes;
    std::vector<int> frame_ids;

    // An escaped API frame around the frame data.
    static Bytes frame(const Bytes &data);

private:
    void record(std::string text);
    void run();
    void transparent(Bytes &in);
    void api(const Bytes &data);

    const Pty &pty_;
    Options options_;
    bool command_mode_ = false;
    int ap_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::string> commands_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace mbtest
