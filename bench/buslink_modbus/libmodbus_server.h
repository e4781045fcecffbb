// The references of the MODBUS benchmarks: a libmodbus server on 127.0.0.1
// that serves one connection after another, its holding registers set by a
// function of the address, counting what it answers; and libmodbus's client.
#ifndef BENCH_LIBMODBUS_SERVER_H
#define BENCH_LIBMODBUS_SERVER_H

#include <modbus.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

class LibmodbusServer {
public:
    // nodelay: answers to requests sent ahead go out at once, not after the
    // ACK of the one before (Nagle's rule would add the peer's delayed-ACK
    // time to each of them).
    LibmodbusServer(int registers, uint16_t (*value)(int address), bool nodelay = false) : nodelay_(nodelay)
    {
        map_ = modbus_mapping_new(0, 0, registers, 0);
        for (int a = 0; map_ && a < registers; ++a)
            map_->tab_registers[a] = value(a);
        ctx_ = modbus_new_tcp("127.0.0.1", 0);
        listener_ = ctx_ && map_ ? modbus_tcp_listen(ctx_, 1) : -1;
        if (listener_ < 0) {
            std::fprintf(stderr, "cannot start the libmodbus server\n");
            std::exit(1);
        }
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }

    ~LibmodbusServer()
    {
        stop_ = true;
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
        modbus_free(ctx_);
        modbus_mapping_free(map_);
    }

    LibmodbusServer(const LibmodbusServer &) = delete;
    LibmodbusServer &operator=(const LibmodbusServer &) = delete;

    int port() const { return port_; }
    unsigned requests() const { return requests_; }
    // The most registers one read asked for since the last call.
    unsigned take_largest() { return largest_.exchange(0); }

private:
    void serve()
    {
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        while (!stop_) {
            const int s = modbus_tcp_accept(ctx_, &listener_);
            if (s < 0)
                return;
            const int on = 1;
            if (nodelay_)
                setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            for (;;) {
                const int rc = modbus_receive(ctx_, query);
                if (rc > 0) {
                    ++requests_;
                    // MBAP header, function, address, then the count of a read.
                    const unsigned count = query[10] << 8 | query[11];
                    if (rc >= 12 && query[7] == 3 && count > largest_)
                        largest_ = count;
                    modbus_reply(ctx_, query, rc, map_);
                } else if (rc < 0) {
                    break;
                }
            }
            close(s);
        }
    }

    const bool nodelay_;
    modbus_t *ctx_ = nullptr;
    modbus_mapping_t *map_ = nullptr;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<unsigned> requests_{0};
    std::atomic<unsigned> largest_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// libmodbus's own client, connected to a port on 127.0.0.1, unit 1.
class LibmodbusClient {
public:
    explicit LibmodbusClient(int port)
    {
        ctx_ = modbus_new_tcp("127.0.0.1", port);
        if (!ctx_ || modbus_connect(ctx_) != 0) {
            std::fprintf(stderr, "libmodbus cannot connect\n");
            std::exit(1);
        }
        modbus_set_slave(ctx_, 1);
    }
    ~LibmodbusClient()
    {
        modbus_close(ctx_);
        modbus_free(ctx_);
    }
    LibmodbusClient(const LibmodbusClient &) = delete;
    LibmodbusClient &operator=(const LibmodbusClient &) = delete;

    modbus_t *get() const { return ctx_; }

private:
    modbus_t *ctx_ = nullptr;
};

#endif
