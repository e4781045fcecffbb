// Throughput of the core's two hand-offs, each against the bare mechanism
// it is built on, measured in the same run:
//  - a flush round trip through a "db" network with no delay, against a
//    mutex + condition variable ping-pong between two threads;
//  - events delivered to the callback, against std::queue push/pop through
//    a condition variable.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <queue>
#include <string>
#include <thread>

#include "plexord.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double ping_pong_per_second(int rounds)
{
    std::mutex m;
    std::condition_variable cv;
    int turn = 0; // 0: main asks, 1: worker answers
    bool quit = false;
    std::thread worker([&] {
        std::unique_lock lk(m);
        for (;;) {
            cv.wait(lk, [&] { return turn == 1 || quit; });
            if (quit)
                return;
            turn = 0;
            cv.notify_all();
        }
    });
    auto t0 = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        std::unique_lock lk(m);
        turn = 1;
        cv.notify_all();
        cv.wait(lk, [&] { return turn == 0; });
    }
    double s = seconds_since(t0);
    {
        std::lock_guard lk(m);
        quit = true;
    }
    cv.notify_all();
    worker.join();
    return rounds / s;
}

double queue_per_second(int items)
{
    std::mutex m;
    std::condition_variable cv;
    std::queue<double> q;
    std::atomic<int> got{0};
    auto t0 = Clock::now();
    std::thread consumer([&] {
        std::unique_lock lk(m);
        while (got < items) {
            cv.wait(lk, [&] { return !q.empty(); });
            while (!q.empty()) {
                q.pop();
                ++got;
            }
        }
    });
    for (int i = 0; i < items; ++i) {
        {
            std::lock_guard lk(m);
            q.push(i);
        }
        cv.notify_one();
    }
    consumer.join();
    return items / seconds_since(t0);
}

std::atomic<int> g_delivered{0};

void count_io(const ncevent_t *ev)
{
    if (ev && ev->type == NCEVENT_READ_RESULT)
        g_delivered.fetch_add(1, std::memory_order_relaxed);
}

double flushes_per_second(int rounds, uint16_t net, uint16_t dev)
{
    network_t *n = networkmgr_fetch_network(net, 1000);
    double v = 0;
    auto t0 = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        network_reset_request(n);
        network_queue_read_float(n, dev, "T1", nullptr);
        network_flush(n);
        if (!ncerr_is_ok(network_result_float(n, dev, "T1", nullptr, &v))) {
            std::fprintf(stderr, " ! flush failed\n");
            std::exit(1);
        }
    }
    double s = seconds_since(t0);
    networkmgr_drop_network(n);
    return rounds / s;
}

double events_per_second(int items)
{
    g_delivered = 0;
    auto t0 = Clock::now();
    for (int i = 0; i < items; ++i)
        ncevent_throw_io_event(NCEVENT_READ_RESULT, 1, 1, 0, "T1", "", i, ncerr_ok());
    while (g_delivered.load(std::memory_order_relaxed) < items)
        std::this_thread::yield();
    return items / seconds_since(t0);
}

} // namespace

int main(int argc, char **argv)
{
    int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
    if (rounds <= 0)
        rounds = 20000;
    std::string tmpl = (fs::temp_directory_path() / "bench-plexord-XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        return 1;
    {
        FILE *f = std::fopen((tmpl + "/sp.ini").c_str(), "w");
        if (!f)
            return 1;
        std::fputs("[dev]\nT1=21.5\n", f);
        std::fclose(f);
    }
    if (!ncerr_is_ok(plexord_init(tmpl.c_str(), "", PLEXORD_BENCH_PLUGIN_DIR, count_io, PLEXORD_INIT_NO_DEMO,
                                  nullptr))) {
        std::fprintf(stderr, " ! init failed\n");
        return 1;
    }
    plexord_load_plugins();
    plexord_load_config();
    plexord_start();
    network_t *n = plexord_create_network("db");
    if (!n) {
        std::fprintf(stderr, " ! no db plug-in in %s\n", PLEXORD_BENCH_PLUGIN_DIR);
        return 1;
    }
    network_set(n, "filename", "sp.ini", "delay", 0, (char *)nullptr);
    networkmgr_add_network(n);
    network_start(n);
    device_t *d = device_new(network_get_id(n));
    device_set_address(d, "dev");
    devicemgr_add_device(d);

    flushes_per_second(rounds / 10, network_get_id(n), d->id); // warm-up
    double ref_rt = ping_pong_per_second(rounds);
    double core_rt = flushes_per_second(rounds, network_get_id(n), d->id);
    std::printf("flush round trips:  %10.0f /s   mutex+condvar ping-pong: %10.0f /s   ratio %.2f\n", core_rt, ref_rt,
                core_rt / ref_rt);

    double ref_ev = queue_per_second(rounds * 5);
    double core_ev = events_per_second(rounds * 5);
    std::printf("events delivered:   %10.0f /s   std::queue via condvar:  %10.0f /s   ratio %.2f\n", core_ev, ref_ev,
                core_ev / ref_ev);

    plexord_stop();
    plexord_finalize();
    std::error_code ec;
    fs::remove_all(tmpl, ec);
    return 0;
}
