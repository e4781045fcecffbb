// The simulated DirectNET PLC for the tests: tests/peers/directnet_plc.py on
// a pseudo-terminal of its own, joined by a relay thread to the one the
// driver opens, so that the test can also cut the driver's line.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace dnettest {

// One pseudo-terminal pair; the slave stays open here too, so that the
// master never sees a hang-up while nobody else holds the slave.
struct PtyPair {
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;
    void close_all();
    int master = -1;
    int slave = -1;
    std::string path;
};

// What the simulator recorded of one request.
struct Request {
    std::string direction, type, result, data;
    long address = -1, bytes = -1;
};

class Plc {
public:
    // script: the JSON script text; empty for none.
    explicit Plc(const std::string &script);
    ~Plc();
    Plc(const Plc &) = delete;
    Plc &operator=(const Plc &) = delete;

    bool ready() const { return ready_; }
    // The port the driver opens.
    const std::string &port() const { return line_->path; }
    // Ends the simulator (it saves its record) and reads what it recorded.
    std::vector<Request> stop();
    // The line vanishes for the driver: its pseudo-terminal is closed.
    void cut_line();
    // A new line for the driver (a new pseudo-terminal, port() changes).
    void new_line();

private:
    void relay();

    std::string dir_;
    std::unique_ptr<PtyPair> line_ = std::make_unique<PtyPair>();
    PtyPair plc_;
    pid_t pid_ = -1;
    bool ready_ = false;
    std::atomic<bool> stop_{false};
    std::thread relay_;
};

// A temporary folder, removed with its files.
std::string make_temp_dir();
void remove_dir(const std::string &dir);
void write_file(const std::string &path, const std::string &text);

} // namespace dnettest
