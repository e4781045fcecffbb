// MODBUS TCP polling over a link with latency: the core's MODBUS/TCP
// plug-in reading through gaps (max_gap) with several requests in flight
// (window) against libmodbus's client reading each run with one call, both
// through a relay that adds 1 ms each way in front of one libmodbus server.
// A round is 1000 holding registers in 50 runs of 20, 5 apart.
#include "buslink.h"
#include "delay_relay.h"
#include "modbus_network.h"

#include "libmodbus_server.h"

#include <modbus.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRegisters = 2000;
constexpr int kRuns = 50;
constexpr int kRunLength = 20;
constexpr int kGap = 5;
constexpr int kRounds = 20;
constexpr auto kDelay = std::chrono::microseconds(1000);

uint16_t expected(int address)
{
    return static_cast<uint16_t>(address * 3 + 1);
}

int address_of(int run, int i)
{
    return run * (kRunLength + kGap) + i;
}

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "bench_modbus_window: %s\n", what.c_str());
    std::exit(1);
}

void log_line(void *, const char *line)
{
    std::fprintf(stderr, "%s\n", line);
}

// The MODBUS/TCP plug-in's network, driven as the core drives it.
class Ours {
public:
    Ours(int port, int max_gap, int window) : type_(mbplug::tcp_type())
    {
        host_.config_dir = ".";
        host_.data_dir = ".";
        host_.log = log_line;
        net_ = type_->create(&host_);
        if (!net_ || type_->set_text(net_, "address", "127.0.0.1") != 0 ||
            type_->set_integer(net_, "port", port) != 0 || type_->set_integer(net_, "max_gap", max_gap) != 0 ||
            type_->set_integer(net_, "window", window) != 0 || type_->start(net_) != 0)
            fail("the plug-in refused its parameters");
        type_->connect(net_);
        for (int r = 0; r < kRuns; ++r)
            for (int i = 0; i < kRunLength; ++i)
                items_.push_back(std::to_string(address_of(r, i)));
        requests_.resize(items_.size());
    }
    ~Ours()
    {
        type_->stop(net_);
        type_->destroy(net_);
    }

    void round()
    {
        for (std::size_t k = 0; k < items_.size(); ++k)
            requests_[k] = pxp_request_t{"1", items_[k].c_str(), "", PXP_READ, PXP_INTEGER, 0, 0, -1, -1, nullptr};
        type_->perform(net_, requests_.data(), static_cast<int>(requests_.size()));
        for (std::size_t k = 0; k < items_.size(); ++k) {
            const pxp_request_t &r = requests_[k];
            if (r.result != PXP_OK || r.ivalue != expected(std::stoi(items_[k])))
                fail("the plug-in read " + items_[k] + " wrong: status " + std::to_string(r.status));
        }
    }

private:
    const pxp_type_t *type_;
    pxp_host_t host_{};
    void *net_ = nullptr;
    std::vector<std::string> items_;
    std::vector<pxp_request_t> requests_;
};

class Theirs {
public:
    explicit Theirs(int port) : client_(port) {}

    void round()
    {
        uint16_t values[kRunLength];
        for (int r = 0; r < kRuns; ++r) {
            if (modbus_read_registers(client_.get(), address_of(r, 0), kRunLength, values) != kRunLength)
                fail("libmodbus read failed");
            for (int i = 0; i < kRunLength; ++i)
                if (values[i] != expected(address_of(r, i)))
                    fail("libmodbus read a wrong value");
        }
    }

private:
    LibmodbusClient client_;
};

struct Figures {
    unsigned requests = 0;
    unsigned largest = 0;
    double mean_ms = 0;
    double best_ms = 1e9;
};

template <typename Client>
Figures measure(LibmodbusServer &server, Client &client)
{
    Figures f;
    client.round(); // warm-up: the connection is made
    const unsigned before = server.requests();
    server.take_largest();
    double total = 0;
    for (int i = 0; i < kRounds; ++i) {
        const auto start = Clock::now();
        client.round();
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        total += ms;
        f.best_ms = std::min(f.best_ms, ms);
    }
    f.requests = (server.requests() - before) / kRounds;
    f.largest = server.take_largest();
    f.mean_ms = total / kRounds;
    return f;
}

void row(const char *name, const Figures &f)
{
    std::printf("   %-36s %5u %8u %10.3f %10.3f\n", name, f.requests, f.largest, f.mean_ms, f.best_ms);
}

} // namespace

int main()
{
    LibmodbusServer server(kRegisters, expected, true);
    bench::DelayRelay relay("127.0.0.1", server.port(), kDelay);
    if (!relay.listening())
        fail("the relay cannot listen");
    std::thread relaying([&] { relay.serve(); });

    Figures ours, defaults, theirs;
    {
        Ours client(relay.port(), 8, 8);
        ours = measure(server, client);
    }
    {
        Ours client(relay.port(), 0, 1);
        defaults = measure(server, client);
    }
    {
        Theirs client(relay.port());
        theirs = measure(server, client);
    }
    relay.stop();
    relaying.join();

    const int span = kRuns * (kRunLength + kGap) - kGap;
    std::printf("MODBUS TCP through a relay adding %lld us each way, libmodbus %s server\n",
                static_cast<long long>(kDelay.count()), LIBMODBUS_VERSION_STRING);
    std::printf("Polling round: %d holding registers in %d runs of %d, %d apart (%d registers spanned);\n"
                "requests per round, registers in the largest, round time (mean / best of %d rounds)\n",
                kRuns * kRunLength, kRuns, kRunLength, kGap, span, kRounds);
    std::printf("   %-36s %5s %8s %10s %10s\n", "", "reqs", "largest", "mean ms", "best ms");
    row("plug-in, max_gap 8, window 8", ours);
    row("plug-in, max_gap 0, window 1", defaults);
    row("libmodbus, one call per run", theirs);
    std::printf("   round time ratio plug-in (8, 8) / libmodbus: %.3f\n", ours.mean_ms / theirs.mean_ms);
    std::printf("   requests plug-in (8, 8) / libmodbus: %u / %u\n", ours.requests, theirs.requests);
    std::fflush(stdout);
    return 0;
}
