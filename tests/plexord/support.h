// Helpers shared by the core's tests: a scratch folder, an event recorder
// and a core session with the real "db" plug-in.
#ifndef PLEXORD_TEST_SUPPORT_H
#define PLEXORD_TEST_SUPPORT_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plexord.h"

namespace test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);

struct Event {
    int type;
    ncerr_t result;
    std::string message, item, flag;
    uint32_t client;
    uint16_t device, network;
    double value;
    std::thread::id thread;
};

// Records every event the core delivers (one recorder per process: the
// callback is a plain function).
class Recorder {
public:
    static Recorder &get();
    static void callback(const ncevent_t *ev);
    void clear();
    std::vector<Event> events();
    std::vector<std::string> log_lines();
    // Waits until pred holds for the recorded events, or the time runs out.
    bool wait(const std::function<bool(const std::vector<Event> &)> &pred, int ms = 5000);
    bool wait_log(const std::string &part, int ms = 5000);

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Event> events_;
};

// init .. finalize around a test, with the built db plug-in and the
// source data folder.
class Session {
public:
    explicit Session(const std::string &config_dir, unsigned flags = PLEXORD_INIT_NO_DEMO | PLEXORD_INIT_FAST_HASH,
                     bool start = true);
    ~Session();
    void finish(); // save, stop, finalize now

private:
    bool done_ = false;
};

// A started db network on a setpoint file in the config folder; returns its id.
uint16_t add_db_network(const char *name, const char *filename, int delay = 0);
uint16_t add_device(uint16_t network, const char *name, const char *address);

// One read or write through a fetched network handle, as the console does it.
ncerr_t read_float(uint16_t device, const char *item, const char *flag, double &value);
ncerr_t write_float(uint16_t device, const char *item, const char *flag, double value);
ncerr_t read_int(uint16_t device, const char *item, const char *flag, long &value);
ncerr_t write_int(uint16_t device, const char *item, const char *flag, long value);

inline bool ok(ncerr_t r) { return r.code == 1 && r.detail == 0; }
inline int cls(ncerr_t r) { return r.code & 0xff; }

extern const char *const kPluginDir;
extern const char *const kDataDir;

} // namespace test

#endif
