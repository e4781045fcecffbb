// Soak run of the server core: the demo plant plus a MODBUS/TCP network on
// a pymodbus peer, written and read back through the C interface in a loop
// while the peer is killed and started again now and then. Fails on any
// failure the peer did not cause, on a flush that does not return in time,
// and on resident memory or open descriptors that keep growing.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "modbus_peers.h"
#include "plexord.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    double minutes = 10;
    int warmup_s = 60, sample_s = 10;
    int up_min_s = 40, up_max_s = 90, down_min_s = 3, down_max_s = 6;
    int timeout_ms = 1000, grace_ms = 3000;
    unsigned seed = 0;
    std::string plugins = SOAK_PLUGIN_DIR, data = SOAK_DATA_DIR;
    bool verbose = false;
};

const Clock::time_point t0 = Clock::now();

double now_s()
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

bool ok(ncerr_t r)
{
    return ncerr_is_ok(r) != 0;
}

std::atomic<long> g_events{0};

void on_event(const ncevent_t *ev)
{
    ++g_events;
    if (ev->type == NCEVENT_LOG && std::getenv("SOAK_VERBOSE"))
        std::fprintf(stderr, "%8.1f core: %s\n", now_s(), ev->message);
}

// The pymodbus peer, and the windows in which it was away: from the kill to
// a grace period after it serves again (the network reconnects at its next
// batch).
class Peer {
public:
    explicit Peer(const Options &o) : o_(o), rng_(o.seed + 1) {}
    ~Peer() { stop(); }

    bool start()
    {
        port_ = mbtest::start_modbus_server(child_, {"--tcp", "0"});
        return !port_.empty();
    }
    int port() const { return std::stoi(port_); }

    void run_restarts()
    {
        thread_ = std::thread([this] {
            std::unique_lock lk(m_);
            for (;;) {
                // The first restart falls in the warm-up, so that the memory
                // the reconnect paths take is there at the first sample.
                const auto serve = windows_.empty() ? seconds(o_.warmup_s / 3, o_.warmup_s / 2)
                                                 : seconds(o_.up_min_s, o_.up_max_s);
                if (cv_.wait_for(lk, serve, [&] { return stopping_; }))
                    return;
                windows_.push_back({now_s(), std::numeric_limits<double>::infinity()});
                lk.unlock();
                child_->kill();
                std::this_thread::sleep_for(seconds(o_.down_min_s, o_.down_max_s));
                // The port may linger a moment; try a few times.
                bool up = false;
                for (int i = 0; i < 5 && !up; ++i)
                    up = !mbtest::start_modbus_server(child_, {"--tcp", port_}).empty();
                lk.lock();
                if (!up) {
                    failed_ = true;
                    return;
                }
                windows_.back().end = now_s() + o_.grace_ms / 1000.0;
                std::printf("%8.1f peer down %.1f s (restart %zu)\n", now_s(),
                            windows_.back().end - o_.grace_ms / 1000.0 - windows_.back().start, windows_.size());
                std::fflush(stdout);
            }
        });
    }

    void stop()
    {
        {
            std::lock_guard lk(m_);
            stopping_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable())
            thread_.join();
        child_.reset();
    }

    // True when [from, to] touches a window.
    bool away(double from, double to) const
    {
        std::lock_guard lk(m_);
        for (const Window &w : windows_)
            if (w.start <= to && w.end >= from)
                return true;
        return false;
    }
    size_t restarts() const
    {
        std::lock_guard lk(m_);
        return windows_.size();
    }
    bool failed() const
    {
        std::lock_guard lk(m_);
        return failed_;
    }

private:
    struct Window {
        double start, end;
    };
    std::chrono::milliseconds seconds(int lo, int hi)
    {
        return std::chrono::milliseconds(std::uniform_int_distribution<int>(lo * 1000, hi * 1000)(rng_));
    }

    const Options &o_;
    std::mt19937 rng_;
    std::unique_ptr<mbtest::Child> child_;
    std::string port_;
    std::thread thread_;
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::vector<Window> windows_;
    bool stopping_ = false, failed_ = false;
};

// Ends the run when a flush outlives its bound: a request that never
// returns is a hang, whatever the reason.
class Watchdog {
public:
    Watchdog()
    {
        thread_ = std::thread([this] {
            while (!stop_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                const double since = started_.load();
                if (since >= 0 && now_s() - since > bound_s_.load()) {
                    std::printf("%8.1f ! HANG: a flush of %d items on %s has run %.1f s (bound %.1f s)\nFAIL\n",
                                now_s(), items_.load(), what_.load(), now_s() - since, bound_s_.load());
                    std::fflush(stdout);
                    std::_Exit(1);
                }
            }
        });
    }
    ~Watchdog()
    {
        stop_ = true;
        thread_.join();
    }
    void arm(const char *what, int items, double bound_s)
    {
        what_ = what;
        items_ = items;
        bound_s_ = bound_s;
        started_ = now_s();
    }
    void disarm() { started_ = -1; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<double> started_{-1}, bound_s_{0};
    std::atomic<int> items_{0};
    std::atomic<const char *> what_{""};
    std::thread thread_;
};

struct Item {
    uint16_t device;
    std::string item, flag;
    bool integer;
    double value; // written (and echoed by the result), or expected on a read
    ncerr_t result{};
    double got = 0;
};

struct Tally {
    long requests = 0, peer_failures = 0, unexpected = 0;
    long flushes = 0, slowest_ms = 0;
};

struct Samples {
    std::vector<long> rss, fds;
};

long rss_kb()
{
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

long open_fds()
{
    long n = 0;
    for (const auto &e : fs::directory_iterator("/proc/self/fd"))
        (void)e, ++n;
    return n - 1; // the iterator's own
}

class Soak {
public:
    Soak(const Options &o, Peer &peer, uint16_t modbus_net) : o_(o), peer_(peer), modbus_net_(modbus_net), rng_(o.seed)
    {
    }

    // One batch on a fresh handle, as the console's data view sends it.
    // Returns the window [start, end] it ran in.
    std::pair<double, double> flush(uint16_t net, const char *what, std::vector<Item> &items, bool writes)
    {
        const double start = now_s();
        network_t *n = networkmgr_fetch_network(net, 1000);
        if (!n) {
            for (Item &i : items)
                i.result = ncerr_t{NCERR_BUSY, 0};
            return {start, now_s()};
        }
        network_reset_request(n);
        for (Item &i : items) {
            ncevent_throw_io_event(writes ? NCEVENT_WRITE_REQUEST : NCEVENT_READ_REQUEST, net, i.device, 0,
                                   i.item.c_str(), i.flag.c_str(), writes ? i.value : 0.0, ncerr_ok());
            if (writes && i.integer)
                network_queue_write_integer(n, i.device, i.item.c_str(), i.flag.c_str(), std::lround(i.value));
            else if (writes)
                network_queue_write_float(n, i.device, i.item.c_str(), i.flag.c_str(), i.value);
            else if (i.integer)
                network_queue_read_integer(n, i.device, i.item.c_str(), i.flag.c_str());
            else
                network_queue_read_float(n, i.device, i.item.c_str(), i.flag.c_str());
        }
        // A batch may take a time-out per item, twice (the items lost with
        // a link go again on a new one), plus the connect.
        watchdog_.arm(what, static_cast<int>(items.size()), (2.0 * items.size() + 2) * o_.timeout_ms / 1000.0 + 5);
        const ncerr_t flushed = network_flush(n);
        watchdog_.disarm();
        bool all_ok = true;
        for (Item &i : items) {
            long iv = 0;
            i.result = i.integer ? network_result_integer(n, i.device, i.item.c_str(), i.flag.c_str(), &iv)
                                 : network_result_float(n, i.device, i.item.c_str(), i.flag.c_str(), &i.got);
            if (i.integer)
                i.got = static_cast<double>(iv);
            all_ok = all_ok && ok(i.result);
            ncevent_throw_io_event(writes ? NCEVENT_WRITE_RESULT : NCEVENT_READ_RESULT, net, i.device, 0,
                                   i.item.c_str(), i.flag.c_str(), i.got, i.result);
        }
        networkmgr_drop_network(n);
        const double end = now_s();
        ++tally_.flushes;
        tally_.slowest_ms = std::max(tally_.slowest_ms, std::lround((end - start) * 1000));
        // The flush answers success exactly when every item succeeded.
        if (ok(flushed) != all_ok)
            fault(what, "flush answered " + std::string(ncerr_get_string(flushed)) + " but the items " +
                            (all_ok ? "all succeeded" : "did not"));
        return {start, end};
    }

    // Counts the items; a failure or a wrong value is the peer's doing when
    // the peer was away in [from, to] (a restarted peer has lost what was
    // written to it).
    void judge(const char *what, const std::vector<Item> &items, bool peer_may_fail, double from, double to)
    {
        const bool peer_away = peer_may_fail && peer_.away(from, to);
        for (const Item &i : items) {
            ++tally_.requests;
            std::string problem;
            if (!ok(i.result))
                problem = ncerr_get_string(i.result);
            else if (i.got != i.value)
                problem = "read " + std::to_string(i.got) + ", expected " + std::to_string(i.value);
            if (problem.empty())
                continue;
            if (peer_away)
                ++tally_.peer_failures;
            else
                fault(what, "device " + std::to_string(i.device) + " " + i.item + (i.flag.empty() ? "" : ":") +
                                i.flag + ": " + problem);
        }
    }

    void modbus_round(uint16_t unit1, uint16_t unit2)
    {
        std::vector<Item> writes, reads;
        for (uint16_t dev : {unit1, unit2}) {
            // Disjoint addresses: the order of writes to one address is
            // not what this run is about. Few of them: the core keeps the
            // last value of every item, which must fill up in the warm-up.
            const int a = 100 + 10 * pick(0, 7);
            const int coil = 100 + pick(0, 15);
            writes.push_back({dev, addr(3, a), "", true, double(pick(0, 65535))});
            writes.push_back({dev, addr(3, a + 2), "i32", true, double(pick(-2000000000, 2000000000))});
            writes.push_back({dev, addr(3, a + 4), "f", false, pick(-80000, 80000) / 8.0});
            writes.push_back({dev, addr(1, coil), "", true, double(pick(0, 1))});
            for (const Item &w : writes)
                if (w.device == dev)
                    reads.push_back({dev, w.item, w.flag, w.integer, w.value});
            // Fixed by the peer: input register a is 1000 + a, discrete input a is odd a.
            const int b = 500 + pick(0, 15);
            reads.push_back({dev, addr(4, b), "", true, 1000.0 + b});
            reads.push_back({dev, addr(2, b), "", true, double(b % 2)});
        }
        const auto w = flush(modbus_net_, "modbus/tcp writes", writes, true);
        judge("modbus/tcp writes", writes, true, w.first, w.second);
        const auto r = flush(modbus_net_, "modbus/tcp reads", reads, false);
        judge("modbus/tcp reads", reads, true, w.first, r.second);
    }

    void db_round(uint16_t net, const std::vector<std::pair<uint16_t, std::string>> &devices)
    {
        static const char *const items[][3] = {
            {"Boiler", "SP2", ""},     {"Boiler", "SPLO", ""},      {"Greenhouse", "SP2", ""},
            {"Pump station", "V2001", ""}, {"Pump station", "V2011", "B"}, {"Main line", "URV", "F"},
            {"Main line", "SP2", "F"},
        };
        std::vector<Item> writes, reads;
        for (const auto &it : items)
            for (const auto &d : devices)
                if (d.second == it[0]) {
                    const bool integer = pick(0, 1) == 1;
                    const double v = integer ? pick(-100000, 100000) : pick(-100000, 100000) / 4.0;
                    writes.push_back({d.first, it[1], it[2], integer, v});
                    reads.push_back({d.first, it[1], it[2], false, v});
                }
        const auto w = flush(net, "db writes", writes, true);
        judge("db writes", writes, false, w.first, w.second);
        const auto r = flush(net, "db reads", reads, false);
        judge("db reads", reads, false, w.first, r.second);
    }

    const Tally &tally() const { return tally_; }

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    static std::string addr(int kind, int a)
    {
        char b[16];
        std::snprintf(b, sizeof b, "%d%05d", kind, a);
        return b;
    }
    void fault(const char *what, const std::string &text)
    {
        ++tally_.unexpected;
        if (tally_.unexpected <= 50)
            std::printf("%8.1f ! UNEXPECTED %s: %s\n", now_s(), what, text.c_str());
        std::fflush(stdout);
    }

    const Options &o_;
    Peer &peer_;
    uint16_t modbus_net_;
    std::mt19937 rng_;
    Watchdog watchdog_;
    Tally tally_;
};

double growth(const std::vector<long> &v)
{
    return v.empty() || v.front() <= 0 ? 0 : 100.0 * double(v.back() - v.front()) / double(v.front());
}

void usage()
{
    std::puts("usage: plexord_soak [--minutes N] [--warmup S] [--seed N] [--plugins DIR] [--data DIR]\n"
              "Core with the demo plant and a MODBUS/TCP network on a pymodbus peer that is restarted\n"
              "once in the warm-up (default 60 s), then every 40-90 s; read and written in a loop.\n"
              "Memory and descriptors are sampled every 10 s after the warm-up. Prints the figures\n"
              "and PASS or FAIL.\n"
              "SOAK_VERBOSE=1 in the environment echoes the core's log on stderr.");
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    o.seed = static_cast<unsigned>(std::random_device{}());
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--help" || a == "-h") {
            usage();
            return 0;
        }
        if (!v) {
            usage();
            return 2;
        }
        if (a == "--minutes")
            o.minutes = std::atof(v);
        else if (a == "--warmup")
            o.warmup_s = std::atoi(v);
        else if (a == "--seed")
            o.seed = static_cast<unsigned>(std::strtoul(v, nullptr, 10));
        else if (a == "--plugins")
            o.plugins = v;
        else if (a == "--data")
            o.data = v;
        else {
            usage();
            return 2;
        }
        ++i;
    }
    if (!mbtest::have_pymodbus()) {
        std::fputs("plexord_soak: /usr/bin/python3 cannot import pymodbus (python3-pymodbus)\n", stderr);
        return 2;
    }
    std::printf("soak: %.1f min, seed %u\n", o.minutes, o.seed);

    Peer peer(o);
    if (!peer.start()) {
        std::fputs("plexord_soak: the pymodbus peer did not start\n", stderr);
        return 2;
    }
    std::string dir = (fs::temp_directory_path() / "plexord-soak-XXXXXX").string();
    if (!mkdtemp(dir.data()))
        return 2;
    // Without a configuration the core builds the demo plant.
    if (!ok(plexord_init(dir.c_str(), o.data.c_str(), o.plugins.c_str(), on_event, PLEXORD_INIT_FAST_HASH, nullptr))) {
        std::fputs("plexord_soak: plexord_init failed\n", stderr);
        return 2;
    }
    plexord_load_plugins();
    plexord_load_config();
    network_t *mb = plexord_create_network("modbus/tcp");
    if (!mb || !ok(network_set(mb, "name", "Soak peer", "address", "127.0.0.1", "port", peer.port(), "timeout",
                               o.timeout_ms, (char *)nullptr)) ||
        !ok(networkmgr_add_network(mb))) {
        std::fprintf(stderr, "plexord_soak: no modbus/tcp network (plug-ins in %s?)\n", o.plugins.c_str());
        plexord_finalize();
        return 2;
    }
    const uint16_t mb_id = network_get_id(mb);
    uint16_t units[2] = {};
    for (int u = 0; u < 2; ++u) {
        device_t *d = device_new(mb_id);
        device_set_name(d, u ? "Unit 2" : "Unit 1");
        device_set_address(d, u ? "2" : "1");
        devicemgr_add_device(d);
        units[u] = d->id;
    }
    uint16_t db_net = 0;
    std::vector<std::pair<uint16_t, std::string>> demo;
    devicemgr_iterate_start();
    while (uint16_t id = devicemgr_iterate_get_next()) {
        device_t *d = devicemgr_fetch_device(id, 0);
        if (d && d->network_id != mb_id) {
            db_net = d->network_id;
            demo.emplace_back(id, d->name);
        }
        if (d)
            devicemgr_drop_device(d);
    }
    devicemgr_iterate_end();
    if (demo.size() < 4) {
        std::fprintf(stderr, "plexord_soak: no demo plant (data folder %s?)\n", o.data.c_str());
        plexord_finalize();
        return 2;
    }
    plexord_start();
    peer.run_restarts();

    Samples s;
    bool unexpected = false;
    {
        Soak soak(o, peer, mb_id);
        double next_sample = o.warmup_s;
        const double end = o.minutes * 60;
        while (now_s() < end && !peer.failed()) {
            soak.modbus_round(units[0], units[1]);
            soak.db_round(db_net, demo);
            const double t = now_s();
            // Sampled while the peer serves, so that its pipe and the
            // network's socket are both counted every time.
            if (t >= next_sample && !peer.away(t - 1, t)) {
                s.rss.push_back(rss_kb());
                s.fds.push_back(open_fds());
                if (s.rss.size() % 6 == 1) // about once a minute
                    std::printf("%8.1f rss %ld kB, fds %ld, requests %ld\n", t, s.rss.back(), s.fds.back(),
                                soak.tally().requests);
                std::fflush(stdout);
                next_sample = t + o.sample_s;
            }
        }
        peer.stop();
        plexord_stop();
        plexord_finalize();
        const Tally &k = soak.tally();
        std::printf("requests: %ld done in %ld flushes (slowest %ld ms), failed %ld: %ld caused by the peer "
                    "(%zu restarts), %ld unexpected; %ld core events\n",
                    k.requests, k.flushes, k.slowest_ms, k.peer_failures + k.unexpected, k.peer_failures,
                    peer.restarts(), k.unexpected, g_events.load());
        unexpected = k.unexpected > 0;
    }
    std::error_code ec;
    fs::remove_all(dir, ec);

    bool pass = !unexpected && !peer.failed() && s.rss.size() >= 2;
    if (s.rss.size() < 2)
        std::puts("! too short: fewer than two samples after the warm-up");
    if (peer.failed())
        std::puts("! the peer did not come back after a restart");
    auto line = [&](const char *what, const std::vector<long> &v) {
        if (v.empty())
            return;
        const double g = growth(v);
        std::printf("%s: first %ld, last %ld, max %ld, growth %.1f%% (%zu samples)\n", what, v.front(), v.back(),
                    *std::max_element(v.begin(), v.end()), g, v.size());
        pass = pass && g < 5;
    };
    line("rss (kB)", s.rss);
    line("fds", s.fds);
    std::puts(pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
