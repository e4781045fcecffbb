// A TCP relay on 127.0.0.1 that holds every byte back for a fixed time in
// each direction, as a link with that latency would: each chunk is written
// when its delay has passed, in the order it came, never joined with a later
// one. Used to measure MODBUS polling over a slow link.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

class DelayRelay {
public:
    // Listens on a free port of 127.0.0.1 (or `listen_port`) and forwards
    // each connection to target_host:target_port. Check listening().
    DelayRelay(const std::string &target_host, int target_port, std::chrono::microseconds delay,
               int listen_port = 0);
    ~DelayRelay();
    DelayRelay(const DelayRelay &) = delete;
    DelayRelay &operator=(const DelayRelay &) = delete;

    bool listening() const { return listener_ >= 0; }
    int port() const { return port_; }
    // Ends on stop() (from another thread or a signal's handler: it only
    // writes to a pipe).
    void serve();
    void stop();

private:
    void relay(int client);

    std::string host_;
    int target_port_;
    std::chrono::microseconds delay_;
    int listener_ = -1;
    int port_ = 0;
    int stop_pipe_[2] = {-1, -1};
    std::mutex m_;
    std::vector<std::thread> connections_;
};

} // namespace bench
