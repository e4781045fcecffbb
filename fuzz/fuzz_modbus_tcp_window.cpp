// The windowed flush matches whatever a TCP peer sends to the requests on
// the line: the first input byte chooses the window, the rest is the peer's
// byte stream, after which the peer stops sending. Every query must end
// flushed, whatever came.
#include "modbus_tcp.h"

#include <cstddef>
#include <cstdint>

#include <sys/socket.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 65536)
        return 0;
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return 0;
    // Everything the peer says is there before the first request leaves.
    const size_t stream = size - 1;
    if (stream > 0 && ::send(sv[1], data + 1, stream, MSG_NOSIGNAL) != static_cast<ssize_t>(stream)) {
        ::close(sv[0]);
        ::close(sv[1]);
        return 0;
    }
    ::shutdown(sv[1], SHUT_WR);

    modbus_tcp_t *tcp = modbus_tcp_new();
    if (!tcp) {
        ::close(sv[0]);
        ::close(sv[1]);
        return 0;
    }
    tcp->socket.fd = sv[0];
    modbus_tcp_set_response_timeout(tcp, 5);
    auto *m = reinterpret_cast<modbus_base_t *>(tcp);
    modbus_query_write_coil(m, 0, 1, 5, 1);
    modbus_query_write_holding_register(m, 0, 1, 6, 0x1234);
    for (unsigned short a = 0; a < 10; ++a)
        modbus_query_read_coil(m, 0, 1, a);
    modbus_query_read_discrete_input(m, 0, 1, 3);
    modbus_query_read_holding_register(m, 0, 1, 100);
    modbus_query_read_holding_register(m, 0, 1, 101);
    modbus_query_read_input_register(m, 0, 2, 7);
    modbus_query_optimize(m);
    modbus_query_flush_window(m, nullptr, 2 + data[0] % 7);

    const struct {
        uint32_t unit;
        int kind;
        unsigned short address;
    } items[] = {{1, MODBUS_COIL, 5},  {1, MODBUS_HOLDING_REGISTER, 6},   {1, MODBUS_COIL, 9},
                 {1, MODBUS_DISCRETE_INPUT, 3}, {1, MODBUS_HOLDING_REGISTER, 101}, {2, MODBUS_INPUT_REGISTER, 7}};
    for (const auto &it : items) {
        unsigned short value = 0;
        if (modbus_query_result(m, 0, it.unit, it.kind, it.address, &value) == BUSLINK_E_NOT_FLUSHED)
            __builtin_trap();
    }
    if (modbus_tcp_window_fallback(tcp) < 0 || modbus_tcp_window_fallback(tcp) > MODBUS_WINDOW_CLOSED)
        __builtin_trap();
    modbus_tcp_delete(tcp); // closes sv[0] when still open
    ::close(sv[1]);
    return 0;
}
