// Publications per second from the scan of changing setpoints on a "db"
// network with no delay, against mosquitto_pub publishing the same number of
// messages of the same size to the same broker in the same run. A local
// Mosquitto broker is started on a free loopback port; a libmosquitto client
// counts what arrives.
//   bench_mqtt [setpoints]   (default 10000, in devices of 1000)
#include <mosquitto.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "plexord.h"
#include "../../tests/common/free_port.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<long> g_count{0};
std::atomic<size_t> g_size{0};
Clock::time_point g_first, g_last;

void on_message(mosquitto *, void *, const mosquitto_message *m)
{
    std::string topic = m->topic;
    if (topic.find("/status") != std::string::npos)
        return;
    long n = ++g_count;
    if (n == 1)
        g_first = Clock::now();
    g_last = Clock::now();
    g_size = static_cast<size_t>(m->payloadlen);
}

bool wait_count(long n, int seconds)
{
    auto end = Clock::now() + std::chrono::seconds(seconds);
    while (g_count < n && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return g_count >= n;
}

double rate(long n)
{
    double s = std::chrono::duration<double>(g_last - g_first).count();
    return s > 0 ? n / s : 0;
}

} // namespace

int main(int argc, char **argv)
{
    long points = argc > 1 ? std::atol(argv[1]) : 10000;
    if (points < 1000)
        points = 1000;
    long devices = points / 1000;
    points = devices * 1000;
    std::string dir = (fs::temp_directory_path() / "bench-mqtt-XXXXXX").string();
    if (!mkdtemp(dir.data()))
        return 1;
    int port = free_loopback_port();
    // No limit on what the broker queues for the subscriber: a slow
    // subscriber must not lose messages of either publisher.
    std::ofstream(dir + "/broker.conf") << "listener " << port << " 127.0.0.1\nallow_anonymous true\n"
                                        << "max_queued_messages 0\n"
                                        << (geteuid() == 0 ? "user root\n" : "");
    pid_t broker = fork();
    if (broker == 0) {
        freopen("/dev/null", "w", stdout);
        freopen("/dev/null", "w", stderr);
        execl("/usr/sbin/mosquitto", "mosquitto", "-c", (dir + "/broker.conf").c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    // The broker and the scratch folder go on every way out, failures too.
    struct Cleanup {
        pid_t broker;
        std::string dir;
        ~Cleanup()
        {
            kill(broker, SIGTERM);
            waitpid(broker, nullptr, 0);
            std::error_code ec;
            fs::remove_all(dir, ec);
        }
    } cleanup{broker, dir};
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    {
        std::ofstream sp(dir + "/sp.ini");
        std::ofstream cfg(dir + "/plexord.ini");
        cfg << "[network.1]\ntype=db\nname=Bench\np.filename=sp.ini\np.delay=0\n"
            << "[mqtt]\nhost=127.0.0.1\nport=" << port << "\nprefix=bench\nqos=1\nqueue=" << points * 2 << "\n";
        for (long d = 1; d <= devices; ++d) {
            sp << "[d" << d << "]\n";
            cfg << "[device." << d << "]\nnetwork=1\nname=D" << d << "\naddress=d" << d
                << "\nscan_interval=2000\nscan=";
            for (int i = 0; i < 1000; ++i) {
                sp << "V" << i << "=" << i << "\n";
                cfg << (i ? ", V" : "V") << i;
            }
            cfg << "\n";
        }
    }

    mosquitto_lib_init();
    mosquitto *sub = mosquitto_new(nullptr, true, nullptr);
    mosquitto_message_callback_set(sub, on_message);
    if (mosquitto_connect(sub, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, " ! no broker on port %d\n", port);
        return 1;
    }
    mosquitto_subscribe(sub, nullptr, "bench/#", 1);
    mosquitto_loop_start(sub);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    if (!ncerr_is_ok(plexord_init(dir.c_str(), "", PLEXORD_BENCH_PLUGIN_DIR, nullptr,
                                  PLEXORD_INIT_NO_DEMO | PLEXORD_INIT_NO_LISTEN, nullptr)))
        return 1;
    plexord_load_plugins();
    plexord_load_config();
    plexord_start();
    // The first pass publishes every setpoint; then every value changes in
    // one flush, and the next pass publishes them all again.
    if (!wait_count(points, 60)) {
        std::fprintf(stderr, " ! only %ld of %ld first publications arrived\n", g_count.load(), points);
        return 1;
    }
    g_count = 0;
    network_t *n = networkmgr_fetch_network(1, 1000);
    for (long d = 1; d <= devices; ++d)
        for (int i = 0; i < 1000; ++i)
            network_queue_write_float(n, static_cast<uint16_t>(d), ("V" + std::to_string(i)).c_str(), "", i + 0.5);
    network_flush(n);
    networkmgr_drop_network(n);
    if (!wait_count(points, 60)) {
        std::fprintf(stderr, " ! only %ld of %ld changed publications arrived\n", g_count.load(), points);
        return 1;
    }
    double core = rate(points);
    size_t size = g_size;
    plexord_stop();
    plexord_finalize();

    // The same number of messages of the same size, one per line.
    g_count = 0;
    {
        std::ofstream lines(dir + "/lines");
        for (long i = 0; i < points; ++i)
            lines << std::string(size, 'x') << "\n";
    }
    std::string cmd = "mosquitto_pub -h 127.0.0.1 -p " + std::to_string(port) + " -q 1 -r -t bench/pub/x -l < '" +
                      dir + "/lines'";
    if (std::system(cmd.c_str()) != 0 || !wait_count(points, 60)) {
        std::fprintf(stderr, " ! mosquitto_pub: only %ld of %ld arrived\n", g_count.load(), points);
        return 1;
    }
    double pub = rate(points);
    std::printf("%ld changing setpoints, payload %zu bytes, QoS 1, retained\n", points, size);
    std::printf("core scan -> broker:  %10.0f publications/s   mosquitto_pub -l: %10.0f /s   ratio %.2f\n", core, pub,
                core / pub);

    mosquitto_disconnect(sub);
    mosquitto_loop_stop(sub, true);
    mosquitto_destroy(sub);
    return 0;
}
