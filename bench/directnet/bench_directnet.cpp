// Time of DirectNET exchanges through the driver over a pseudo-terminal,
// against a PLC played by a thread on the master side that answers at once
// from the wire rules (so that only the driver's own time counts).
#include "buslink.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned char STX = 2, ETX = 3, EOT = 4, ACK = 6, ETB = 0x17;
constexpr int kNode = 1;

class InstantPlc {
public:
    explicit InstantPlc(int fd) : fd_(fd), thread_([this] { serve(); }) {}
    ~InstantPlc()
    {
        stop_ = true;
        thread_.join();
    }

private:
    // False when stopped before n bytes came.
    bool take(unsigned char *out, std::size_t n)
    {
        std::size_t got = 0;
        while (got < n) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                if (stop_)
                    return false;
                continue;
            }
            const ssize_t k = ::read(fd_, out + got, n - got);
            if (k <= 0)
                return false;
            got += static_cast<std::size_t>(k);
        }
        return true;
    }
    void give(const std::string &s) { (void)!::write(fd_, s.data(), s.size()); }
    static std::string hex2(unsigned v)
    {
        static const char digits[] = "0123456789ABCDEF";
        return {digits[(v >> 4) & 15], digits[v & 15]};
    }
    static unsigned value(const unsigned char *p, int n)
    {
        unsigned v = 0;
        for (int i = 0; i < n; ++i)
            v = v * 16 + static_cast<unsigned>(p[i] <= '9' ? p[i] - '0' : p[i] - 'A' + 10);
        return v;
    }

    void serve()
    {
        unsigned char b[600];
        while (take(b, 3)) {
            give(std::string{'N', static_cast<char>(kNode + 0x20), ACK, '\r'});
            if (!take(b, 18))
                return;
            const bool write = b[3] == '8';
            const std::size_t chars = value(b + 9, 2) * 256 + value(b + 11, 2);
            give(std::string{ACK, '\r'});
            for (std::size_t done = 0; done < chars; done += 256) {
                const std::size_t n = std::min<std::size_t>(256, chars - done);
                const bool last = done + n == chars;
                if (write) {
                    if (!take(b, n + 4))
                        return;
                    give(std::string{ACK, '\r'});
                } else {
                    std::string block(1, STX);
                    for (std::size_t i = 0; i < n; ++i)
                        block += static_cast<char>('0' + (i % 10));
                    unsigned lrc = 0;
                    for (std::size_t i = 1; i <= n; ++i)
                        lrc ^= static_cast<unsigned char>(block[i]);
                    block += static_cast<char>(last ? ETX : ETB);
                    block += hex2(lrc) + "\r";
                    give(block);
                    if (!take(b, 1))
                        return;
                }
            }
            if (!write)
                give(std::string{EOT, '\r'});
            if (!take(b, 1))
                return;
        }
    }

    int fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Milliseconds per call of `batch`, over `rounds` rounds; -1 when a result failed.
template <class F>
double time_ms(int rounds, F &&batch)
{
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i)
        if (!batch())
            return -1;
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / rounds;
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

    dnetio_t *c = dnetio_new();
    if (dnetio_set_values(c, name, 38400, 2, 1, 8, DNETIO_MODE_HEX) != 0) {
        std::fprintf(stderr, "open: %s\n", dnetio_error_string(dnetio_get_last_error(c)));
        return 1;
    }
    double one = 0, adjacent = 0, scattered = 0, writes = 0;
    {
        InstantPlc plc(master);
        auto run = [&](int items, int stride, bool write) {
            dnetio_reset(c);
            std::vector<std::string> names;
            for (int i = 0; i < items; ++i) {
                char item[16];
                std::snprintf(item, sizeof item, "V%o", 02000 + i * stride);
                names.push_back(item);
                if (write ? dnetio_write_integer(c, kNode, item, 3, i) : dnetio_request(c, kNode, item, 3))
                    return false;
            }
            dnetio_flush(c);
            for (const std::string &item : names) {
                unsigned v = 0;
                if (dnetio_result_integer(c, kNode, item.c_str(), 3, &v) != 0)
                    return false;
            }
            return true;
        };
        run(1, 1, false); // warm-up
        one = time_ms(500, [&] { return run(1, 1, false); });
        adjacent = time_ms(100, [&] { return run(50, 1, false); });
        scattered = time_ms(20, [&] { return run(50, 2, false); });
        writes = time_ms(20, [&] { return run(50, 2, true); });
    }
    dnetio_delete(c);
    ::close(slave);
    ::close(master);

    if (one < 0 || adjacent < 0 || scattered < 0 || writes < 0) {
        std::fprintf(stderr, "an exchange failed\n");
        return 1;
    }
    // The protocol asks for no pauses or silences: the floor is 0 ms.
    std::printf("DirectNET over a pseudo-terminal, instant PLC (floor: 0 ms, no pauses required)\n");
    std::printf("%-46s %9s %9s %22s\n", "case", "ms", "floor ms", "over floor/exchange");
    std::printf("%-46s %9.3f %9.3f %22.3f\n", "one read (1 exchange)", one, 0.0, one);
    std::printf("%-46s %9.3f %9.3f %22.3f\n", "50 adjacent reads (1 exchange, 100 bytes)", adjacent, 0.0, adjacent);
    std::printf("%-46s %9.3f %9.3f %22.3f\n", "50 scattered reads (50 exchanges)", scattered, 0.0, scattered / 50);
    std::printf("%-46s %9.3f %9.3f %22.3f\n", "50 scattered writes (50 exchanges)", writes, 0.0, writes / 50);
    return 0;
}
