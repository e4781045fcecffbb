#include "modbus_tcp.h"

#include "core.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
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

// Reads one response frame into h and tcp->message; 0 when all of it came
// (the caller checks it with mbap_check_response). A frame cut short (by
// the time-out or the peer) closes the connection: its rest would otherwise
// be read as the start of the next answer.
int read_frame(modbus_tcp *tcp, int timeout_ms, mb::MbapHeader &h, cl_stats_t *stats)
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

    h = mb::mbap_parse_header(header);
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
    return 0;
}

// Reads one response frame; on 0 the message is in tcp->message.
int read_response(modbus_tcp *tcp, uint16_t transaction, uint8_t unit, int timeout_ms, std::size_t &message_length,
                  cl_stats_t *stats)
{
    mb::MbapHeader h;
    if (const int rc = read_frame(tcp, timeout_ms, h, stats))
        return rc;
    const int rc = mb::mbap_check_response(h, tcp->message, h.body_length(), transaction, unit);
    if (rc == 0)
        message_length = h.body_length();
    return rc;
}

// Sends a request frame of the message in m->message; 0 or a status.
int send_request(modbus_tcp *tcp, uint16_t transaction, uint8_t unit, std::size_t length, cl_stats_t *stats)
{
    const std::size_t size = mb::mbap_build_frame(transaction, unit, tcp->message, length, tcp->frame);
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
    return 0;
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
    if (const int rc = send_request(tcp, transaction, unit_id, length, stats))
        return rc;

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

// A request on the line under a window.
struct Outstanding {
    modbus_query *query;
    uint16_t transaction;
    uint8_t unit;
    uint8_t function;
    unsigned char echo[4]; // what a write's answer repeats
    Clock::time_point deadline;
    bool overlapped; // other requests were on the line at the same time
    bool passed;     // a later request was answered first
};

class WindowedPhase {
public:
    WindowedPhase(modbus_tcp *tcp, bool read, cl_stats_t *stats, int window)
        : tcp_(tcp), read_(read), stats_(stats), window_(static_cast<std::size_t>(window))
    {
    }

    void run(const std::vector<std::unique_ptr<modbus_query>> &list)
    {
        for (const auto &q : list)
            todo_.push_back(q.get());
        while (!todo_.empty() || !out_.empty()) {
            send_more();
            if (!out_.empty())
                receive_one();
        }
    }

private:
    bool aborted() const { return tcp_->wakeup.fired(); }

    void fall_back(int why)
    {
        if (tcp_->window_fallback == 0 && !aborted())
            tcp_->window_fallback = why;
    }

    void send_more()
    {
        // While an earlier request is passed over, nothing more goes out:
        // it is either late (answers out of order) or lost (dropped).
        const bool suspect = std::any_of(out_.begin(), out_.end(), [](const Outstanding &p) { return p.passed; });
        const std::size_t limit = tcp_->window_fallback || suspect ? 1 : window_;
        while (!todo_.empty() && out_.size() < limit) {
            modbus_query *q = todo_.front();
            todo_.pop_front();
            std::size_t length = 0;
            if (const int rc = mb::build_request(*q, read_, tcp_->message, length)) {
                q->status = rc;
                continue;
            }
            // The unit identifier is one byte; a larger unit would reach another one.
            if (q->unit > 0xFF) {
                q->status = BUSLINK_E_INVALID_PARAMETER;
                continue;
            }
            Outstanding o{q, modbus_tcp_next_transaction_id(tcp_), static_cast<uint8_t>(q->unit), tcp_->message[0],
                          {}, {}, !out_.empty(), false};
            std::memcpy(o.echo, tcp_->message + 1, sizeof o.echo);
            if (const int rc = send_request(tcp_, o.transaction, o.unit, length, stats_)) {
                q->status = rc;
                lose_outstanding(!out_.empty());
                continue;
            }
            o.deadline = Clock::now() + std::chrono::milliseconds(std::max(tcp_->response_timeout_ms, 0));
            for (Outstanding &p : out_)
                p.overlapped = true;
            out_.push_back(o);
        }
    }

    // With the connection gone, nothing on the line will be answered.
    void lose_outstanding(bool overlapped)
    {
        if (modbus_tcp_is_connected(tcp_))
            return;
        for (const Outstanding &p : out_) {
            p.query->status = BUSLINK_E_NO_CONNECTION;
            overlapped = overlapped || p.overlapped;
        }
        out_.clear();
        if (overlapped)
            fall_back(MODBUS_WINDOW_CLOSED);
    }

    // The oldest request's time ran out.
    void time_out()
    {
        Outstanding o = out_.front();
        out_.pop_front();
        if (!o.overlapped || aborted()) {
            o.query->status = BUSLINK_E_NO_RESPONSE;
            return;
        }
        // Left unanswered among others: perhaps dropped for being one too
        // many. It and every request still unanswered go again, one at a
        // time; late answers to the first sending are skipped by their id.
        fall_back(MODBUS_WINDOW_DROPPED);
        for (auto it = out_.rbegin(); it != out_.rend(); ++it)
            todo_.push_front(it->query);
        todo_.push_front(o.query);
        out_.clear();
    }

    void receive_one()
    {
        mb::MbapHeader h;
        const int rc = read_frame(tcp_, remaining_ms(out_.front().deadline), h, stats_);
        if (rc == BUSLINK_E_NO_RESPONSE)
            return time_out();
        if (rc != 0) {
            const Outstanding o = out_.front();
            out_.pop_front();
            o.query->status = rc;
            lose_outstanding(o.overlapped);
            return;
        }
        auto it = std::find_if(out_.begin(), out_.end(),
                               [&](const Outstanding &p) { return p.transaction == h.transaction; });
        if (it == out_.end()) {
            buslink_oprintf("Skipping frame with wrong transaction ID\n");
            if (Clock::now() >= out_.front().deadline)
                time_out();
            return;
        }
        for (auto p = out_.begin(); p != it; ++p)
            p->passed = true;
        if (it->passed)
            fall_back(MODBUS_WINDOW_OUT_OF_ORDER);
        const Outstanding o = *it;
        out_.erase(it);
        o.query->status = take_answer(o, h);
    }

    int take_answer(const Outstanding &o, const mb::MbapHeader &h)
    {
        const std::size_t n = h.body_length();
        if (const int rc = mb::mbap_check_response(h, tcp_->message, n, o.transaction, o.unit))
            return rc;
        if (tcp_->message[0] != o.function)
            return BUSLINK_E_UNEXPECTED_RESPONSE;
        if (read_)
            return mb::take_read_response(*o.query, tcp_->message, n);
        return mb::check_write_response(tcp_->message, n, o.echo);
    }

    modbus_tcp *tcp_;
    bool read_;
    cl_stats_t *stats_;
    std::size_t window_;
    std::deque<modbus_query *> todo_;
    std::deque<Outstanding> out_; // in the order sent
};

} // namespace

namespace buslink::modbus {

int tcp_flush_window(::modbus *m, cl_stats_t *stats, int window)
{
    auto *tcp = static_cast<modbus_tcp *>(m);
    // Every write is answered before a read goes out, so that reads see
    // the values written, as in a flush one request at a time.
    WindowedPhase(tcp, false, stats, window).run(m->writes);
    WindowedPhase(tcp, true, stats, window).run(m->reads);
    int last_failure = 0;
    for (const auto *list : {&m->writes, &m->reads})
        for (const auto &q : *list)
            if (q->status != 0)
                last_failure = q->status;
    return last_failure;
}

} // namespace buslink::modbus

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

BUSLINK_API int modbus_tcp_window_fallback(const modbus_tcp_t *tcp)
{
    return tcp ? tcp->window_fallback : 0;
}

BUSLINK_API void modbus_tcp_reset_window(modbus_tcp_t *tcp)
{
    if (tcp)
        tcp->window_fallback = 0;
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
