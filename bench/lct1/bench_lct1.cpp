// LCT-1 over a pseudo-terminal: the time of one exchange and of a batch of
// 50 named parameters, beside what the protocol's own read requires.
#include "buslink.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

int data_length(int message)
{
    switch (message) {
    case 3: case 20: return 0;
    case 1: case 10: case 99: return 2;
    case 2: case 50: case 63: return 4;
    case 30: case 31: case 32: case 33: case 34: case 35: case 36: case 60: case 71: case 80: return 6;
    case 61: case 62: case 81: case 82: return 10;
    default: return -1;
    }
}

// Answers every request line on the master at once: reads get fixed data
// of the message's length, writes their own data back.
void transmitter(int master, const std::atomic<bool> &stop)
{
    std::string line;
    while (!stop) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        char buffer[256];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0)
            continue;
        line.append(buffer, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = line.find('\n')) != std::string::npos) {
            const std::string request = line.substr(0, end + 1);
            line.erase(0, end + 1);
            const std::size_t open = request.find('(');
            if (open == std::string::npos || request.size() < open + 9)
                continue;
            const int message = std::atoi(request.substr(open + 2, 2).c_str());
            const int length = data_length(message);
            if (length < 0)
                continue;
            const std::size_t sent = request.size() - open - 9; // data characters sent
            std::string body = request.substr(open + 1, 3);
            body += sent == static_cast<std::size_t>(length) ? request.substr(open + 4, sent)
                                                              : std::string("001234567890").substr(0, length);
            unsigned sum = 0;
            for (const char c : body)
                sum += static_cast<unsigned char>(c);
            char checksum[3];
            std::snprintf(checksum, sizeof checksum, "%02X", sum & 0xFF);
            const std::string answer = "(" + body + checksum + ")";
            if (write(master, answer.data(), answer.size()) < 0)
                return;
        }
    }
}

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main()
{
    int master = -1, slave = -1;
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    std::atomic<bool> stop{false};
    std::thread peer(transmitter, master, std::cref(stop));

    lct1_t *line = lct1_new();
    if (lct1_connect(line, name) != 0) {
        std::fprintf(stderr, "connect: %s\n", lct1_get_system_error(line));
        return 1;
    }
    close(slave);

    constexpr int rounds = 200;
    for (int i = 0; i < 10; ++i)
        lct1_exec(line, 1, 60, nullptr);
    auto t0 = Clock::now();
    for (int i = 0; i < rounds; ++i)
        if (lct1_exec(line, 1, 60, nullptr) != 0)
            std::fprintf(stderr, "exchange failed: %s\n", lct1_error_string(lct1_get_last_error(line)));
    const double one = ms(Clock::now() - t0) / rounds;

    static const char *const names[] = {"value", "status", "version", "filter", "integ",
                                        "r1func", "r2func", "r1low", "r2high", "weight"};
    constexpr int items = 50;
    constexpr int batches = 10;
    t0 = Clock::now();
    for (int b = 0; b < batches; ++b)
        for (int i = 0; i < items; ++i)
            if (lct1_read_setp(line, 1, names[i % 10]) < 0)
                std::fprintf(stderr, "read %s failed\n", names[i % 10]);
    const double batch = ms(Clock::now() - t0) / batches;

    // The read the protocol describes ends on the 50 ms interval silence;
    // on a real line the characters take their time too: 10 bits each at
    // 9600 baud (7 data bits, parity, start and stop), 9 out and 13 back.
    const double silence = 50.0;
    const double wire = (9 + 13) * 10 * 1000.0 / 9600;
    std::printf("LCT-1 over a pseudo-terminal (the peer answers at once)\n");
    std::printf("  one exchange:        %8.3f ms   floor %6.1f ms (interval silence); difference %+8.3f ms\n", one,
                silence, one - silence);
    std::printf("  batch of %d items:   %8.3f ms   floor %6.1f ms; difference %+8.3f ms per exchange\n", items,
                batch, items * silence, batch / items - silence);
    std::printf("  on a 9600 baud line each exchange also takes %.1f ms of wire time (9 + 13 characters)\n",
                wire);

    lct1_delete(line);
    stop = true;
    peer.join();
    close(master);
    return 0;
}
