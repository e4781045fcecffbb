// The scan list: setpoints each device has read periodically, the decision
// what of it to publish, and the threads (one per network) that read them.
#ifndef PLEXORD_SCAN_H
#define PLEXORD_SCAN_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "plexord.h"

namespace plexord {

struct ScanPoint {
    std::string item, flag;
    double deadband = 0; // a change must exceed it to be published
};

// The "scan" key of a device: entries "ITEM[:FLAG][/DEADBAND]" separated by
// commas. Entries that cannot be read are left out, one problem text each.
std::vector<ScanPoint> parse_scan_list(std::string_view text, std::vector<std::string> &problems);

// What was last published of one setpoint.
struct ScanState {
    bool published = false;
    bool good = false;
    int code = 0, detail = 0;
    double value = 0;
    unsigned scans = 0; // scans since the last publication
};

// Whether a new reading is published: the first one, a change of status, a
// value further than the deadband from the value last published (so a slow
// drift is published once it adds up), or every keepalive scans (0: never).
bool scan_publish(ScanState &s, double value, ncerr_t result, double deadband, unsigned keepalive);

struct ScanSample {
    uint16_t network = 0, device = 0;
    std::string network_name, device_name, item, flag;
    double value = 0;
    ncerr_t result{};
    std::chrono::system_clock::time_point when;
};

// Where published readings go; called from the scan threads, must not block.
class ScanSink {
public:
    virtual ~ScanSink() = default;
    virtual void publish(const ScanSample &s) = 0;
};

class Scanner {
public:
    ~Scanner() { stop(); }
    // A thread for every network not scanned yet; each one finds the
    // scanned devices of its network again at every pass.
    void start(const std::vector<uint16_t> &networks);
    void stop();
    void set_sink(std::shared_ptr<ScanSink> sink);

private:
    struct Device {
        std::chrono::steady_clock::time_point due{};
        std::string signature; // the scan list the states belong to
        std::vector<ScanState> states;
    };
    struct Network {
        uint16_t id = 0;
        std::map<uint16_t, Device> devices;
        bool slow_logged = false;
    };
    void run(uint16_t network);
    // Reads every due point of the network in one flush; the time the next
    // pass is due.
    std::chrono::steady_clock::time_point pass(Network &n);
    std::shared_ptr<ScanSink> sink();

    std::mutex m_;
    std::condition_variable cv_;
    bool stopping_ = false;
    std::map<uint16_t, std::thread> threads_;
    std::shared_ptr<ScanSink> sink_;
};

} // namespace plexord

#endif
