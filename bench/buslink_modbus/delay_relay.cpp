// delay_relay TARGET_PORT DELAY_US [TARGET_HOST [LISTEN_PORT]]
// Forwards each TCP connection made to 127.0.0.1:LISTEN_PORT (a free port
// by default) to TARGET_HOST:TARGET_PORT (127.0.0.1), every byte held back
// DELAY_US microseconds in each direction. Prints "PORT <n>" when it
// listens; SIGTERM or SIGINT ends it.
#include "delay_relay.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bench::DelayRelay *running = nullptr;

void on_signal(int)
{
    if (running)
        running->stop();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr, "usage: %s TARGET_PORT DELAY_US [TARGET_HOST [LISTEN_PORT]]\n", argv[0]);
        return 2;
    }
    const int target_port = std::atoi(argv[1]);
    const long delay_us = std::atol(argv[2]);
    const std::string host = argc > 3 ? argv[3] : "127.0.0.1";
    const int listen_port = argc > 4 ? std::atoi(argv[4]) : 0;
    if (target_port < 1 || target_port > 65535 || delay_us < 0 || listen_port < 0 || listen_port > 65535) {
        std::fprintf(stderr, "%s: bad port or delay\n", argv[0]);
        return 2;
    }
    bench::DelayRelay relay(host, target_port, std::chrono::microseconds(delay_us), listen_port);
    if (!relay.listening()) {
        std::fprintf(stderr, "%s: cannot listen\n", argv[0]);
        return 1;
    }
    running = &relay;
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    std::printf("PORT %d\n", relay.port());
    std::fflush(stdout);
    relay.serve();
    return 0;
}
