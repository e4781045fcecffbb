// Times DGT serial exchanges against an instant peer and sets them beside
// the floor: the fixed pause before every exchange (250 ms before a write or
// broadcast, 100 ms before a read), which no driver may skip.
#include "buslink.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Answers every request on the master side as a controller would: a read
// with its value, a write with the value it carried, a broadcast not at all.
class InstantLine {
public:
    explicit InstantLine(int master) : master_(master), thread_([this] { serve(); }) {}
    ~InstantLine()
    {
        stop_ = true;
        thread_.join();
    }

private:
    void serve()
    {
        std::string request;
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char buffer[256];
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            for (ssize_t i = 0; i < n; ++i) {
                const char c = static_cast<char>(buffer[i] & 0x7F);
                if (c != ' ') {
                    request += c;
                    continue;
                }
                answer(request);
                request.clear();
            }
        }
    }

    void answer(const std::string &request)
    {
        if (request.size() < 2 || request[0] == '/')
            return;
        const std::size_t eq = request.find('=');
        const unsigned number = static_cast<unsigned>(std::stoul(request.substr(1, eq)));
        const std::string value = eq == std::string::npos ? "21.5" : request.substr(eq + 1);
        const std::string text = number == 636 ? "/47=" + value + "\r"
                                               : "*" + request.substr(0, 1) + std::to_string(number) + "=" + value + "\r";
        if (::write(master_, text.data(), text.size()) < 0)
            std::perror("write");
    }

    int master_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

double time_batch(dgtserial_t *line, int reads, int writes, int broadcasts, int &failures)
{
    dgtserial_new_request(line);
    for (int i = 0; i < reads; ++i)
        dgtserial_queue_read(line, 'A', static_cast<unsigned>(100 + i));
    for (int i = 0; i < writes; ++i)
        dgtserial_queue_write(line, 'B', static_cast<unsigned>(300 + i), 12.5);
    for (int i = 0; i < broadcasts; ++i)
        dgtserial_queue_broadcast(line, static_cast<unsigned>(500 + i), 1);
    const auto start = Clock::now();
    dgtserial_flush(line);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    for (int i = 0; i < reads; ++i)
        failures += dgtserial_result(line, 'A', static_cast<unsigned>(100 + i), nullptr) != 0;
    for (int i = 0; i < writes; ++i)
        failures += dgtserial_result(line, 'B', static_cast<unsigned>(300 + i), nullptr) != 0;
    for (int i = 0; i < broadcasts; ++i)
        failures += dgtserial_result(line, 0, static_cast<unsigned>(500 + i), nullptr) != 0;
    return ms;
}

void report(const char *what, int exchanges, double ms, double floor_ms)
{
    std::printf("%-26s %9.1f ms   floor %7.0f ms   over the floor %6.2f ms per exchange\n", what, ms, floor_ms,
                (ms - floor_ms) / exchanges);
}

} // namespace

int main()
{
    int master = -1, slave = -1;
    char name[256] = "";
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
    InstantLine peer(master);

    dgtserial_t *line = dgtserial_new();
    if (!line || dgtserial_connect(line, name, 9600) != 0) {
        std::fprintf(stderr, "cannot open %s\n", name);
        return 1;
    }
    int failures = 0;
    constexpr int rounds = 5;
    double read = 0, write = 0, broadcast = 0;
    for (int i = 0; i < rounds; ++i) {
        read += time_batch(line, 1, 0, 0, failures);
        write += time_batch(line, 0, 1, 0, failures);
        broadcast += time_batch(line, 0, 0, 1, failures);
    }
    report("one read", 1, read / rounds, 100);
    report("one write", 1, write / rounds, 250);
    report("one broadcast", 1, broadcast / rounds, 250);
    report("batch of 50 reads", 50, time_batch(line, 50, 0, 0, failures), 50 * 100);
    report("batch of 25 writes+25 reads", 50, time_batch(line, 25, 25, 0, failures), 25 * 250 + 25 * 100);
    if (failures)
        std::printf("%d exchanges failed\n", failures);
    dgtserial_delete(line);
    ::close(slave);
    return failures ? 1 : 0;
}
