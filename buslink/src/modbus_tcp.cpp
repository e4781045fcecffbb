#include "modbus_tcp.h"

#include "core.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>

namespace mb = buslink::modbus;

namespace {

using Clock = std::chrono::steady_clock;

// basekit's socket results (negated for receive).
constexpr int socket_timed_out = 106;
constexpr int socket_closed = 203;
constexpr int socket_reset = 204;

int receive_status(int result)
{
    if (result == -socket_timed_out)
        return BUSLINK_E_NO_RESPONSE;
    // A wait cut by modbus_tcp_abort, too: the caller closes the link.
    if (result == -socket_closed || result == -socket_reset || result == -ECANCELED)
        return BUSLINK_E_NO_CONNECTION;
    return BUSLINK_E_READ;
}

int remaining_ms(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reads the rest of a message too long to keep, so that the next frame
// starts in step. The bytes read.
int skip_body(uxsocket_t *socket, std::size_t count, int timeout_ms, int &status)
{
    unsigned char scrap[256];
    std::size_t done = 0;
    while (done < count) {
        const int want = static_cast<int>(std::min(count - done, sizeof scrap));
        const int r = uxsocket_recv(socket, scrap, want, timeout_ms, nullptr);
        if (r < 0) {
            status = receive_status(r);
            break;
        }
        done += static_cast<std::size_t>(r);
        if (r < want)
            break;
    }
    return static_cast<int>(done);
}

// Reads one response frame; on 0 the message is in tcp->message. A frame
// cut short (by the time-out or the peer) closes the connection: its rest
// would otherwise be read as the start of the next answer.
int read_response(modbus_tcp *tcp, uint16_t transaction, uint8_t unit, int timeout_ms, std::size_t &message_length,
                  cl_stats_t *stats)
{
    auto cut = [tcp](int status) {
        uxsocket_close(&tcp->socket);
        return status;
    };
    unsigned char header[mb::mbap_header_size];
    int r = uxsocket_recv(&tcp->socket, header, sizeof header, timeout_ms, nullptr);
    if (r < 0)
        return receive_status(r);
    if (r != static_cast<int>(sizeof header))
        return cut(BUSLINK_E_SHORT_RESPONSE);

    const mb::MbapHeader h = mb::mbap_parse_header(header);
    const std::size_t announced = h.body_length();
    const std::size_t kept = std::min(announced, mb::message_capacity);
    std::size_t received = 0;
    if (kept > 0) {
        r = uxsocket_recv(&tcp->socket, tcp->message, static_cast<int>(kept), timeout_ms, nullptr);
        if (r < 0)
            return cut(receive_status(r));
        received = static_cast<std::size_t>(r);
    }
    int status = 0;
    if (received == kept && announced > kept)
        received += static_cast<std::size_t>(skip_body(&tcp->socket, announced - kept, timeout_ms, status));
    cl_stats_register_incoming_c2(stats, sizeof header, header, static_cast<unsigned>(std::min(received, kept)),
                                  tcp->message);
    if (status != 0)
        return cut(status);
    if (received < announced)
        return cut(BUSLINK_E_SHORT_RESPONSE);

    const int rc = mb::mbap_check_response(h, tcp->message, received, transaction, unit);
    if (rc == 0)
        message_length = announced;
    return rc;
}

int tcp_exchange(modbus *m, uint32_t /*link*/, uint32_t unit, std::size_t length, std::size_t &response_length,
                 cl_stats_t *stats)
{
    auto *tcp = static_cast<modbus_tcp *>(m);
    // The unit identifier is one byte; a larger unit would reach another one.
    if (unit > 0xFF)
        return BUSLINK_E_INVALID_PARAMETER;
    const auto unit_id = static_cast<uint8_t>(unit);
    const uint16_t transaction = modbus_tcp_next_transaction_id(tcp);
    const std::size_t size = mb::mbap_build_frame(transaction, unit_id, m->message, length, tcp->frame);
    const int sent = uxsocket_send_all(&tcp->socket, tcp->frame, static_cast<int>(size), nullptr);
    cl_stats_register_outgoing(stats, static_cast<unsigned>(size), tcp->frame);
    if (sent == socket_closed || sent == socket_reset) {
        uxsocket_close(&tcp->socket);
        return BUSLINK_E_NO_CONNECTION;
    }
    if (sent == ECANCELED)
        return BUSLINK_E_NO_CONNECTION;
    if (sent != 0)
        return BUSLINK_E_WRITE;

    // Answers to earlier, timed-out requests are skipped, but only within
    // this request's time-out: a peer that keeps sending them cannot hold
    // the flush for ever.
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(tcp->response_timeout_ms, 0));
    for (;;) {
        const int rc = read_response(tcp, transaction, unit_id, remaining_ms(deadline), response_length, stats);
        if (rc != BUSLINK_E_UNEXPECTED_TID)
            return rc;
        buslink_oprintf("Skipping frame with wrong transaction ID\n");
        if (Clock::now() >= deadline)
            return BUSLINK_E_NO_RESPONSE;
    }
}

} // namespace

modbus_tcp::modbus_tcp() : modbus(MODBUS_TRANSPORT_TCP, tcp_exchange)
{
    uxsocket_init(&socket);
    socket.wake_fd = wakeup.fd();
}

modbus_tcp::~modbus_tcp()
{
    uxsocket_close(&socket);
}

extern "C" {

BUSLINK_API modbus_tcp_t *modbus_tcp_new(void)
{
    auto *tcp = new (std::nothrow) modbus_tcp();
    if (tcp && !tcp->wakeup.valid()) {
        delete tcp;
        return nullptr;
    }
    return tcp;
}

BUSLINK_API int modbus_tcp_connect(modbus_tcp_t *tcp, const char *host, int port, int connect_timeout_ms)
{
    if (!tcp)
        return BUSLINK_E_NO_CONNECTION;
    uxsocket_close(&tcp->socket);
    if (uxsocket_connect(&tcp->socket, host, port, connect_timeout_ms, nullptr) != 0)
        return BUSLINK_E_NO_CONNECTION;
    uxsocket_set_nodelay(&tcp->socket, 1, nullptr);
    uxsocket_set_keepalive(&tcp->socket, 1, nullptr);
    return 0;
}

BUSLINK_API void modbus_tcp_disconnect(modbus_tcp_t *tcp)
{
    if (tcp)
        uxsocket_close(&tcp->socket);
}

BUSLINK_API int modbus_tcp_is_connected(const modbus_tcp_t *tcp)
{
    return tcp ? uxsocket_is_connected(&tcp->socket) : 0;
}

BUSLINK_API void modbus_tcp_abort(modbus_tcp_t *tcp)
{
    if (tcp)
        tcp->wakeup.fire();
}

BUSLINK_API void modbus_tcp_clear_abort(modbus_tcp_t *tcp)
{
    if (tcp)
        tcp->wakeup.clear();
}

BUSLINK_API void modbus_tcp_set_response_timeout(modbus_tcp_t *tcp, int milliseconds)
{
    if (tcp)
        tcp->response_timeout_ms = milliseconds;
}

BUSLINK_API unsigned short modbus_tcp_next_transaction_id(modbus_tcp_t *tcp)
{
    if (!tcp)
        return 0;
    return ++tcp->transaction;
}

BUSLINK_API void modbus_tcp_delete(modbus_tcp_t *tcp)
{
    delete tcp;
}

} // extern "C"
