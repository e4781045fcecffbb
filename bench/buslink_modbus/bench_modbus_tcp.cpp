// MODBUS TCP throughput and polling rounds: buslink's query engine against
// libmodbus's client, both served by one libmodbus server on 127.0.0.1.
//   1. single-register read transactions per second;
//   2. one polling round over 1000 holding registers in 50 runs of 20
//      neighbours: requests sent and round time, buslink (queue, optimise,
//      flush) against libmodbus reading each run with one call, and one
//      call per register.
#include "buslink.h"

#include "libmodbus_server.h"

#include <modbus.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <type_traits>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRegisters = 2000;
constexpr int kTransactions = 20000;
constexpr int kTrials = 3;
constexpr int kRuns = 50;
constexpr int kRunLength = 20;
constexpr int kRunStride = 37;
constexpr int kRounds = 30;

uint16_t expected(int address)
{
    return static_cast<uint16_t>(address * 3 + 1);
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "bench_modbus_tcp: %s\n", what);
    std::exit(1);
}

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class Ours {
public:
    explicit Ours(int port)
    {
        tcp_ = modbus_tcp_new();
        if (!tcp_ || modbus_tcp_connect(tcp_, "127.0.0.1", port, 2000) != 0)
            fail("buslink cannot connect");
        m_ = reinterpret_cast<modbus_base_t *>(tcp_);
        cl_stats_init(&stats_, 0);
    }
    ~Ours() { modbus_tcp_delete(tcp_); }

    void read_one(int address)
    {
        modbus_query_reset(m_);
        modbus_query_read_holding_register(m_, 0, 1, static_cast<unsigned short>(address));
        unsigned short value = 0;
        if (modbus_query_flush(m_, &stats_) != 0 ||
            modbus_result_holding_register(m_, 0, 1, static_cast<unsigned short>(address), &value) != 0 ||
            value != expected(address))
            fail("buslink read failed");
    }

    // One polling round; the requests it sent.
    unsigned round()
    {
        const unsigned before = stats_.out_packets;
        modbus_query_reset(m_);
        for (int r = 0; r < kRuns; ++r)
            for (int i = 0; i < kRunLength; ++i)
                modbus_query_read_holding_register(m_, 0, 1, static_cast<unsigned short>(r * kRunStride + i));
        modbus_query_optimize(m_);
        if (modbus_query_flush(m_, &stats_) != 0)
            fail("buslink round failed");
        for (int r = 0; r < kRuns; ++r) {
            for (int i = 0; i < kRunLength; ++i) {
                const int a = r * kRunStride + i;
                unsigned short value = 0;
                modbus_result_holding_register(m_, 0, 1, static_cast<unsigned short>(a), &value);
                if (value != expected(a))
                    fail("buslink round read a wrong value");
            }
        }
        return stats_.out_packets - before;
    }

private:
    modbus_tcp_t *tcp_ = nullptr;
    modbus_base_t *m_ = nullptr;
    cl_stats_t stats_{};
};

class Theirs {
public:
    explicit Theirs(int port) : client_(port) {}

    void read(int address, int count, uint16_t *values)
    {
        ++requests_;
        if (modbus_read_registers(client_.get(), address, count, values) != count)
            fail("libmodbus read failed");
        for (int i = 0; i < count; ++i)
            if (values[i] != expected(address + i))
                fail("libmodbus read a wrong value");
    }

    // One polling round, one call per run or per register; the requests sent.
    unsigned round(bool per_register)
    {
        const unsigned before = requests_;
        uint16_t values[kRunLength];
        for (int r = 0; r < kRuns; ++r) {
            if (per_register) {
                for (int i = 0; i < kRunLength; ++i)
                    read(r * kRunStride + i, 1, values);
            } else {
                read(r * kRunStride, kRunLength, values);
            }
        }
        return requests_ - before;
    }

private:
    LibmodbusClient client_;
    unsigned requests_ = 0;
};

// Best rate of several trials, each on a fresh connection.
template <typename Client>
double transactions_per_second(int port)
{
    double best = 0;
    for (int trial = 0; trial < kTrials; ++trial) {
        Client client(port);
        uint16_t value = 0;
        for (int i = 0; i < 200; ++i) {
            if constexpr (std::is_same_v<Client, Ours>)
                client.read_one(i);
            else
                client.read(i, 1, &value);
        }
        const auto start = Clock::now();
        for (int i = 0; i < kTransactions; ++i) {
            if constexpr (std::is_same_v<Client, Ours>)
                client.read_one(i % kRegisters);
            else
                client.read(i % kRegisters, 1, &value);
        }
        best = std::max(best, kTransactions / seconds_since(start));
    }
    return best;
}

struct RoundFigures {
    unsigned requests = 0;
    double mean_ms = 0;
    double best_ms = 1e9;
};

template <typename F>
RoundFigures rounds(F &&round)
{
    RoundFigures f;
    round(); // warm-up
    double total = 0;
    for (int i = 0; i < kRounds; ++i) {
        const auto start = Clock::now();
        f.requests = round();
        const double ms = seconds_since(start) * 1000;
        total += ms;
        f.best_ms = std::min(f.best_ms, ms);
    }
    f.mean_ms = total / kRounds;
    return f;
}

} // namespace

int main()
{
    LibmodbusServer server(kRegisters, expected);
    std::printf("MODBUS TCP on 127.0.0.1:%d, libmodbus %s server\n\n", server.port(), LIBMODBUS_VERSION_STRING);

    const double ours_tps = transactions_per_second<Ours>(server.port());
    const double theirs_tps = transactions_per_second<Theirs>(server.port());
    std::printf("1. Single-register reads (best of %d x %d transactions)\n", kTrials, kTransactions);
    std::printf("   buslink   %9.0f transactions/s\n", ours_tps);
    std::printf("   libmodbus %9.0f transactions/s\n", theirs_tps);
    std::printf("   ratio buslink/libmodbus: %.2f\n\n", ours_tps / theirs_tps);

    RoundFigures ours;
    {
        Ours client(server.port());
        ours = rounds([&] { return client.round(); });
    }
    RoundFigures per_run;
    RoundFigures per_register;
    {
        Theirs client(server.port());
        per_run = rounds([&] { return client.round(false); });
        per_register = rounds([&] { return client.round(true); });
    }
    std::printf("2. Polling round: %d holding registers in %d runs of %d (mean / best of %d rounds)\n",
                kRuns * kRunLength, kRuns, kRunLength, kRounds);
    std::printf("   %-32s %5s %10s %10s\n", "", "reqs", "mean ms", "best ms");
    std::printf("   %-32s %5u %10.3f %10.3f\n", "buslink queue+optimise+flush", ours.requests, ours.mean_ms,
                ours.best_ms);
    std::printf("   %-32s %5u %10.3f %10.3f\n", "libmodbus, one call per run", per_run.requests, per_run.mean_ms,
                per_run.best_ms);
    std::printf("   %-32s %5u %10.3f %10.3f\n", "libmodbus, one call per register", per_register.requests,
                per_register.mean_ms, per_register.best_ms);
    std::printf("   round time ratio buslink / per-run:      %.2f\n", ours.mean_ms / per_run.mean_ms);
    std::printf("   round time ratio buslink / per-register: %.2f\n", ours.mean_ms / per_register.mean_ms);
    std::printf("   requests buslink / per-run: %u / %u\n", ours.requests, per_run.requests);
    return 0;
}
