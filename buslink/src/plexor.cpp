#include "plexor.h"

#include "core.h"
#include "platform/wakeup.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <limits>
#include <new>

#include <chrono>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

namespace px = buslink::plexor;
using px::Channel;
using px::DeviceList;
using px::Request;

namespace {

// basekit's socket results (negated for receive).
constexpr int socket_timed_out = 106;
constexpr int socket_closed = 203;
constexpr int socket_reset = 204;

// Replaces an optional text with a copy (null clears it); out of memory
// leaves it cleared rather than half set.
void set_optional_text(std::optional<std::string> &field, const char *text)
{
    try {
        if (text)
            field = text;
        else
            field.reset();
    } catch (const std::bad_alloc &) {
        field.reset();
    }
}

void warn_sync()
{
    buslink_fprintf(px::warning_stream, "Warning! __sync() called\n");
}

// Truncation toward zero that stays defined for NaN and out-of-range values.
int32_t truncate_to_int(double v)
{
    if (std::isnan(v))
        return 0;
    if (v >= 2147483647.0)
        return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0)
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

uint32_t le32(const unsigned char *p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

} // namespace

FILE *px::warning_stream = stderr;

// ---- device list ---------------------------------------------------------

void DeviceList::clear()
{
    for (plexor_device *d = head_; d;) {
        plexor_device *next = d->next;
        delete d;
        d = next;
    }
    head_ = tail_ = nullptr;
    count_ = 0;
}

void DeviceList::append(plexor_device *d)
{
    d->next = nullptr;
    d->prev = tail_;
    if (tail_)
        tail_->next = d;
    else
        head_ = d;
    tail_ = d;
    ++count_;
}

uint16_t DeviceList::lookup(const char *name)
{
    if (!name)
        return 0;
    plexor_device *d = head_;
    while (d && !(d->name && *d->name == name))
        d = d->next;
    if (!d)
        return 0;
    if (d != head_) {
        // Devices in use gather at the front, where the walk finds them first.
        d->prev->next = d->next;
        if (d->next)
            d->next->prev = d->prev;
        else
            tail_ = d->prev;
        d->prev = nullptr;
        d->next = head_;
        head_->prev = d;
        head_ = d;
    }
    return d->id;
}

plexor_device *DeviceList::nth(int index) const
{
    if (index < 0)
        return nullptr;
    plexor_device *d = head_;
    while (d && index-- > 0)
        d = d->next;
    return d;
}

// ---- channel ---------------------------------------------------------------

void Channel::put(const void *data, std::size_t length)
{
    const auto *p = static_cast<const unsigned char *>(data);
    out_.insert(out_.end(), p, p + length);
}

void Channel::put_u16(uint16_t v)
{
    const unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
    put(b, sizeof b);
}

void Channel::put_u32(uint32_t v)
{
    const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    put(b, sizeof b);
}

void Channel::put_string(const char *s)
{
    if (s)
        put(s, std::strlen(s) + 1);
    else
        put_byte(0);
}

int Channel::push()
{
    if (out_.empty())
        return 0;
    const int rc = write(out_.data(), out_.size());
    out_.clear();
    return rc == 0 ? 0 : PLEXOR_E_WRITE;
}

int Channel::get(void *data, std::size_t length)
{
    if (push() != 0)
        return PLEXOR_E_WRITE;
    return read(static_cast<unsigned char *>(data), length) == 0 ? 0 : PLEXOR_E_READ;
}

int Channel::get_u16(uint16_t &v)
{
    unsigned char b[2];
    const int rc = get(b, sizeof b);
    if (rc == 0)
        v = static_cast<uint16_t>(b[0] | (b[1] << 8));
    return rc;
}

int Channel::get_u32(uint32_t &v)
{
    unsigned char b[4];
    const int rc = get(b, sizeof b);
    if (rc == 0)
        v = le32(b);
    return rc;
}

int Channel::get_string(std::string &s, std::size_t max)
{
    s.clear();
    for (;;) {
        unsigned char c = 0;
        const int rc = get_byte(c);
        if (rc != 0)
            return rc;
        if (c == 0)
            return 0;
        if (s.size() + 1 >= max) {
            drop();
            return PLEXOR_E_READ;
        }
        s.push_back(static_cast<char>(c));
    }
}

int px::MemoryChannel::write(const unsigned char *data, std::size_t length)
{
    written.insert(written.end(), data, data + length);
    return 0;
}

int px::MemoryChannel::read(unsigned char *data, std::size_t length)
{
    if (size_ - pos_ < length) {
        pos_ = size_;
        return PLEXOR_E_READ;
    }
    std::memcpy(data, data_ + pos_, length);
    pos_ += length;
    return 0;
}

// ---- client ------------------------------------------------------------------

struct plexor_client {
    plexor_client()
    {
        uxsocket_init(&socket);
        socket.wake_fd = wakeup.fd();
    }
    ~plexor_client() { uxsocket_close(&socket); }

    // Closes and forgets the socket: back to disconnected.
    void forget()
    {
        uxsocket_close(&socket);
        held = false;
        connected = false;
        inbox.clear();
        inbox_pos = 0;
        peer_closed = false;
    }

    buslink::posix::Wakeup wakeup; // cuts the socket's waits (plexor_abort)
    uxsocket_t socket;
    int timeout_ms = 0;  // each connect, send and receive wait; 0: no limit
    bool held = false; // a socket is ours, from a connect attempt until disconnect
    bool connected = false;
    std::optional<std::string> info;
    std::vector<Request> requests;
    DeviceList devices;
    // Bytes read ahead of the current exchange's reads.
    std::vector<unsigned char> inbox;
    std::size_t inbox_pos = 0;
    // The peer closed after the bytes in the inbox (basekit has closed the
    // descriptor then); they are still read before the loss is reported.
    bool peer_closed = false;
};

namespace {

// The client's socket. A lost connection (reset, aborted, shut down, not
// connected, unreachable: basekit closes the descriptor then) forgets the
// socket; a time-out or another error only fails the operation.
class SocketChannel : public Channel {
public:
    explicit SocketChannel(plexor_client *c) : c_(c) {}
    void drop() override { c_->forget(); }

protected:
    int write(const unsigned char *data, std::size_t length) override
    {
        if (length > static_cast<std::size_t>(std::numeric_limits<int>::max()))
            return PLEXOR_E_WRITE;
        // As a send into a half-closed connection would: accepted, and the
        // loss shows at the next read, once the inbox is used up.
        if (c_->peer_closed)
            return 0;
        if (c_->timeout_ms > 0)
            return bounded_send(data, length);
        const int r = uxsocket_send_all(&c_->socket, data, static_cast<int>(length), nullptr);
        // A cut send leaves a part of a message on the wire.
        if (r == socket_closed || r == socket_reset || r == ECANCELED || !uxsocket_is_connected(&c_->socket))
            c_->forget();
        return r == 0 ? 0 : PLEXOR_E_WRITE;
    }

    int read(unsigned char *data, std::size_t length) override
    {
        while (length > 0) {
            if (c_->inbox_pos == c_->inbox.size() && fill() != 0)
                return PLEXOR_E_READ;
            const std::size_t n = std::min(length, c_->inbox.size() - c_->inbox_pos);
            std::memcpy(data, c_->inbox.data() + c_->inbox_pos, n);
            c_->inbox_pos += n;
            data += n;
            length -= n;
        }
        return 0;
    }

private:
    // Takes whatever has arrived, or waits (up to the client's time-out,
    // if any) for at least one byte.
    int fill()
    {
        constexpr int chunk = 4096;
        c_->inbox.resize(chunk);
        c_->inbox_pos = 0;
        int r = uxsocket_recv(&c_->socket, c_->inbox.data(), chunk, 0, nullptr);
        if (r == -socket_timed_out)
            r = uxsocket_recv(&c_->socket, c_->inbox.data(), 1, c_->timeout_ms > 0 ? c_->timeout_ms : -1, nullptr);
        if (r <= 0) {
            c_->inbox.clear();
            // A time-out or a cut wait leaves the peer in the middle of an
            // exchange: the stream is out of step, so the link goes too.
            if (r == -socket_closed || r == -socket_reset || r == -socket_timed_out || r == -ECANCELED ||
                !uxsocket_is_connected(&c_->socket))
                c_->forget();
            return PLEXOR_E_READ;
        }
        c_->inbox.resize(static_cast<std::size_t>(r));
        if (!uxsocket_is_connected(&c_->socket))
            c_->peer_closed = true;
        return 0;
    }

    // basekit's own send waits up to a minute for a stalled peer; with a
    // time-out set, each wait for room is bounded by it instead.
    int bounded_send(const unsigned char *data, std::size_t length)
    {
        const int fd = c_->socket.fd;
        while (length > 0) {
            if (fd < 0 || c_->wakeup.fired())
                break;
            const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                data += n;
                length -= static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                break;
            pollfd p[2] = {{fd, POLLOUT, 0}, {c_->wakeup.fd(), POLLIN, 0}};
            const int w = ::poll(p, 2, c_->timeout_ms);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0 || p[1].revents != 0)
                break;
        }
        if (length == 0)
            return 0;
        // Lost, timed out or cut: a part of a message may be on the wire.
        c_->forget();
        return PLEXOR_E_WRITE;
    }

    plexor_client *c_;
};

const char *const error_texts[] = {
    "Success",
    "No connection",
    "Socket write failed",
    "Socket read failed",
    "Not acknowledged",
    "Invalid datatype",
    "Unexpected response",
    "Already connected",
    "Socket creation failed",
    "Server not found",
    "No response from server",
    "Login failed",
    "Item not in request list",
    "Device not found",
    "Operation not processed. See plexord log for details",
    "Operation failed. See plexord log for details",
    "No access to this operation",
    "Challenge authentication disabled on server",
    "Challenge not found",
    "Failed to open challenge",
};

bool resolvable(const char *host)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &list) != 0)
        return false;
    ::freeaddrinfo(list);
    return true;
}

// Both logins start here: 0 with the socket connected, else 7 to 10.
int open_connection(plexor_client *c, const char *host, int port)
{
    if (c->connected || c->held)
        return PLEXOR_E_ALREADY_CONNECTED;
    if (!host || !*host || !resolvable(host))
        return PLEXOR_E_SERVER_NOT_FOUND;
    uxerror_t *err = nullptr;
    const int e = uxsocket_connect(&c->socket, host, port, c->timeout_ms, &err);
    if (e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM || e == EAFNOSUPPORT) {
        uxerror_free(err);
        return PLEXOR_E_SOCKET;
    }
    // Kept after a failed connect too, until plexor_disconnect.
    c->held = true;
    if (e != 0) {
        buslink_eprintf("plexor_connect: %s\n", err ? uxerror_message(err) : std::strerror(e));
        uxerror_free(err);
        return PLEXOR_E_NO_RESPONSE;
    }
    uxsocket_set_nodelay(&c->socket, 1, nullptr);
    return 0;
}

// The login's last byte: ACK connects, anything else closes.
int finish_login(plexor_client *c, Channel &ch)
{
    unsigned char b = 0;
    const int rc = ch.get_byte(b);
    if (rc != 0)
        return rc;
    if (b != px::ACK) {
        c->forget();
        return PLEXOR_E_LOGIN;
    }
    c->connected = true;
    return 0;
}

std::string text_or_empty(const char *s)
{
    return s ? std::string(s) : std::string();
}

int queue(plexor_client *c, const char *device, const char *name, const char *qualifier, Request r)
{
    if (!c)
        return PLEXOR_E_NO_DEVICE;
    r.device = c->devices.lookup(device);
    if (r.device == 0)
        return PLEXOR_E_NO_DEVICE;
    r.name = text_or_empty(name);
    r.qualifier = text_or_empty(qualifier);
    c->requests.push_back(std::move(r));
    return 0;
}

// The first request of that type, device, name and qualifier, or null;
// status 13 when the device is unknown.
Request *find(plexor_client *c, char type, const char *device, const char *name, const char *qualifier,
              int &status)
{
    status = PLEXOR_E_NO_DEVICE;
    if (!c)
        return nullptr;
    const uint16_t id = c->devices.lookup(device);
    if (id == 0)
        return nullptr;
    status = PLEXOR_E_NOT_REQUESTED;
    const std::string n = text_or_empty(name);
    const std::string q = text_or_empty(qualifier);
    for (Request &r : c->requests)
        if (r.type == type && r.device == id && r.qualifier == q && r.name == n) {
            switch (r.status) {
            case 0: status = 0; break;
            case 1: status = PLEXOR_E_NOT_PROCESSED; break;
            case 4: status = PLEXOR_E_NO_ACCESS; break;
            default: status = PLEXOR_E_FAILED; break;
            }
            return &r;
        }
    return nullptr;
}

int expect_ack(Channel &ch)
{
    unsigned char b = 0;
    const int rc = ch.get_byte(b);
    if (rc != 0)
        return rc;
    return b == px::ACK ? 0 : PLEXOR_E_NOT_ACKNOWLEDGED;
}

void put_header(Channel &ch, unsigned char command)
{
    const unsigned char h[3] = {px::SOH, command, px::ETB};
    ch.put(h, sizeof h);
}

void put_request(Channel &ch, const Request &r)
{
    ch.put_byte(static_cast<unsigned char>(r.type));
    ch.put_byte(r.operation);
    ch.put_string(r.name);
    ch.put_string(r.qualifier);
    const auto length = static_cast<uint32_t>(std::max(r.length, 0));
    if (r.operation == px::OP_WRITE) {
        if (r.type == 'F') {
            const float f = static_cast<float>(r.float_value);
            ch.put(&f, sizeof f);
        } else if (r.type == 'I') {
            ch.put_u32(static_cast<uint32_t>(r.int_value));
        } else {
            ch.put_u32(length);
            if (r.buffer && length > 0)
                ch.put(r.buffer->data(), length);
        }
    } else if (r.type == 'S') {
        ch.put_u32(length);
    }
}

// One answer item after its type byte; stores it in every matching request.
int read_item(Channel &ch, uint16_t device, char type, std::vector<Request> &requests)
{
    unsigned char present = 0, status = 0;
    std::string name, qualifier;
    int rc = ch.get_byte(present);
    if (rc == 0)
        rc = ch.get_byte(status);
    if (rc == 0)
        rc = ch.get_string(name, px::answer_string_max);
    if (rc == 0)
        rc = ch.get_string(qualifier, px::answer_string_max);
    if (rc != 0)
        return rc;

    double f = 0.0;
    int32_t i = 0;
    std::optional<std::vector<unsigned char>> buffer;
    if (present == 1) {
        if (type == 'F') {
            unsigned char b[4];
            if ((rc = ch.get(b, sizeof b)) != 0)
                return rc;
            float v;
            std::memcpy(&v, b, sizeof v);
            f = v;
            i = truncate_to_int(f);
        } else if (type == 'I') {
            uint32_t v = 0;
            if ((rc = ch.get_u32(v)) != 0)
                return rc;
            i = static_cast<int32_t>(v);
            f = i;
        } else if (type == 'S') {
            uint32_t length = 0;
            if ((rc = ch.get_u32(length)) != 0)
                return rc;
            // A length beyond any setpoint's is a broken stream, not a
            // reason to allocate gigabytes.
            if (length > PLEXOR_MAX_BUFFER_ANSWER) {
                ch.drop();
                return PLEXOR_E_READ;
            }
            // Grown as the bytes come, so that a peer that announces much
            // and sends little costs little.
            buffer.emplace();
            for (std::size_t done = 0; done < length;) {
                const std::size_t piece = std::min<std::size_t>(length - done, 64 * 1024);
                buffer->resize(done + piece);
                if ((rc = ch.get(buffer->data() + done, piece)) != 0)
                    return rc;
                done += piece;
            }
        } else {
            // Its value's size is unknown: the rest of the stream cannot be read.
            ch.drop();
            return PLEXOR_E_INVALID_TYPE;
        }
    }
    for (Request &r : requests) {
        if (r.device != device || r.type != type || r.name != name || r.qualifier != qualifier)
            continue;
        r.status = status;
        if (present == 1) {
            r.float_value = f;
            r.int_value = i;
            if (buffer) {
                r.buffer = buffer;
                r.length = static_cast<int32_t>(buffer->size());
            }
        }
    }
    return 0;
}

} // namespace

// ---- exchanges -------------------------------------------------------------

int px::exchange_devicelist(Channel &ch, DeviceList &devices)
{
    put_header(ch, CMD_DEVICELIST);
    int rc = expect_ack(ch);
    if (rc != 0)
        return rc;
    devices.clear();
    unsigned char b = 0;
    for (;;) {
        if ((rc = ch.get_byte(b)) != 0)
            return rc;
        if (b == EOT) {
            ch.put_byte(EOT);
            ch.push();
            return 0;
        }
        if (b != STX) {
            warn_sync();
            return PLEXOR_E_UNEXPECTED_RESPONSE;
        }
        auto d = std::make_unique<plexor_device>();
        std::string name, description;
        rc = ch.get_u16(d->id);
        if (rc == 0)
            rc = ch.get_byte(d->type);
        if (rc == 0)
            rc = ch.get_string(name, device_string_max);
        if (rc == 0)
            rc = ch.get_string(description, device_string_max);
        if (rc == 0)
            rc = ch.get_string(d->hardware, device_string_max);
        if (rc == 0)
            rc = ch.get_byte(b);
        if (rc != 0)
            return rc;
        d->name = std::move(name);
        d->description = std::move(description);
        ch.put_byte(ACK);
        devices.append(d.release());
        if (b != ETB)
            break;
    }
    // The end of the list; whatever comes, the devices read are kept.
    const int end = ch.get_byte(b);
    if (end != 0 || b != EOT)
        warn_sync();
    ch.put_byte(EOT);
    ch.push();
    return 0;
}

int px::exchange_flush(Channel &ch, std::vector<Request> &requests, unsigned char command)
{
    if (requests.empty())
        return 0;
    for (const Request &r : requests)
        if (r.type != 'F' && r.type != 'I' && r.type != 'S')
            return PLEXOR_E_INVALID_TYPE;
    put_header(ch, command);
    int rc = expect_ack(ch);
    if (rc != 0)
        return rc;

    std::stable_sort(requests.begin(), requests.end(),
                     [](const Request &a, const Request &b) { return a.device < b.device; });
    for (std::size_t i = 0; i < requests.size();) {
        const uint16_t device = requests[i].device;
        ch.put_byte(STX);
        ch.put_u16(device);
        for (; i < requests.size() && requests[i].device == device; ++i)
            put_request(ch, requests[i]);
        if (i < requests.size()) {
            ch.put_byte(ETB);
            if ((rc = expect_ack(ch)) != 0)
                return rc;
        } else {
            ch.put_byte(ETX);
        }
    }
    if ((rc = expect_ack(ch)) != 0)
        return rc;

    unsigned char b = 0;
    for (bool last = false; !last;) {
        if ((rc = ch.get_byte(b)) != 0)
            return rc;
        if (b != STX) {
            warn_sync();
            return PLEXOR_E_UNEXPECTED_RESPONSE;
        }
        uint16_t device = 0;
        if ((rc = ch.get_u16(device)) != 0)
            return rc;
        for (;;) {
            if ((rc = ch.get_byte(b)) != 0)
                return rc;
            if (b == ETB || b == ETX) {
                last = b == ETX;
                ch.put_byte(ACK);
                break;
            }
            if ((rc = read_item(ch, device, static_cast<char>(b), requests)) != 0)
                return rc;
        }
    }
    if ((rc = ch.get_byte(b)) != 0)
        return rc;
    if (b != EOT)
        return PLEXOR_E_UNEXPECTED_RESPONSE;
    ch.put_byte(EOT);
    return ch.push();
}

int px::exchange_client_info(Channel &ch, const char *text)
{
    put_header(ch, CMD_CLIENT_INFO);
    int rc = expect_ack(ch);
    if (rc != 0)
        return rc;
    ch.put_byte(STX);
    ch.put_string(text);
    ch.put_byte(ETX);
    if ((rc = ch.push()) != 0)
        return rc;
    unsigned char b = 0;
    if ((rc = ch.get_byte(b)) != 0)
        return rc;
    if (b != EOT)
        return PLEXOR_E_UNEXPECTED_RESPONSE;
    ch.put_byte(EOT);
    return ch.push();
}

// ---- exported functions ----------------------------------------------------

extern "C" {

BUSLINK_API const char *plexor_error_string(int code)
{
    if (code < 0 || code >= static_cast<int>(std::size(error_texts)))
        return "Invalid error";
    return error_texts[code];
}

BUSLINK_API plexor_client_t *plexor_new(void)
{
    // Linux has no socket library to start, so the start-up failure box of
    // other platforms never shows.
    auto *c = new (std::nothrow) plexor_client;
    if (c && !c->wakeup.valid()) {
        delete c;
        return nullptr;
    }
    return c;
}

BUSLINK_API void plexor_set_timeout(plexor_client_t *client, int milliseconds)
{
    if (client)
        client->timeout_ms = std::max(milliseconds, 0);
}

BUSLINK_API void plexor_abort(plexor_client_t *client)
{
    if (client)
        client->wakeup.fire();
}

BUSLINK_API void plexor_clear_abort(plexor_client_t *client)
{
    if (client)
        client->wakeup.clear();
}

BUSLINK_API void plexor_delete(plexor_client_t *client)
{
    delete client;
}

BUSLINK_API int plexor_connect(plexor_client_t *client, const char *host, int port, const char *user,
                               const char *password)
{
    if (!client)
        return PLEXOR_E_NO_CONNECTION;
    try {
        int rc = open_connection(client, host, port);
        if (rc != 0)
            return rc;
        SocketChannel ch(client);
        ch.put_string(user);
        ch.put_string(password);
        return finish_login(client, ch);
    } catch (const std::bad_alloc &) {
        client->forget();
        return PLEXOR_E_SOCKET;
    }
}

BUSLINK_API int plexor_connect_with_challenge(plexor_client_t *client, int port)
{
    if (!client)
        return PLEXOR_E_NO_CONNECTION;
    try {
        int rc = open_connection(client, "127.0.0.1", port);
        if (rc != 0)
            return rc;
        SocketChannel ch(client);
        ch.put("CHALLENGE", 10);
        unsigned char b = 0;
        if ((rc = ch.get_byte(b)) != 0)
            return rc;
        if (b != px::ACK) {
            client->forget();
            return PLEXOR_E_CHALLENGE_DISABLED;
        }
        std::string path;
        if ((rc = ch.get_string(path, px::challenge_path_max)) != 0)
            return rc;
        std::error_code ec;
        if (path.empty() || !std::filesystem::exists(path, ec)) {
            client->forget();
            return PLEXOR_E_CHALLENGE_NOT_FOUND;
        }
        FILE *f = std::fopen(path.c_str(), "rb");
        if (!f) {
            // The server waits for an answer we cannot give.
            client->forget();
            return PLEXOR_E_CHALLENGE_OPEN;
        }
        char content[px::challenge_content_max + 1];
        std::size_t n = 0;
        while (n < px::challenge_content_max) {
            const std::size_t got = std::fread(content + n, 1, std::min<std::size_t>(128, px::challenge_content_max - n), f);
            n += got;
            if (got == 0)
                break;
        }
        std::fclose(f);
        content[n] = '\0';
        ch.put(content, n + 1);
        return finish_login(client, ch);
    } catch (const std::bad_alloc &) {
        client->forget();
        return PLEXOR_E_SOCKET;
    }
}

BUSLINK_API int plexor_disconnect(plexor_client_t *client)
{
    if (client)
        client->forget();
    return 0;
}

BUSLINK_API int plexor_has_connection(const plexor_client_t *client)
{
    return client && client->connected ? 1 : 0;
}

BUSLINK_API void plexor_set_client_info(plexor_client_t *client, const char *text)
{
    if (!client)
        return;
    set_optional_text(client->info, text);
}

BUSLINK_API const char *plexor_get_client_info(const plexor_client_t *client)
{
    return client && client->info ? client->info->c_str() : nullptr;
}

BUSLINK_API int plexor_send_client_info(plexor_client_t *client, const char *text)
{
    if (!client || !client->connected)
        return PLEXOR_E_NO_CONNECTION;
    try {
        SocketChannel ch(client);
        return px::exchange_client_info(ch, text);
    } catch (const std::bad_alloc &) {
        client->forget();
        return PLEXOR_E_READ;
    }
}

BUSLINK_API int plexor_sync_devicelist(plexor_client_t *client)
{
    if (!client || !client->connected)
        return PLEXOR_E_NO_CONNECTION;
    try {
        SocketChannel ch(client);
        return px::exchange_devicelist(ch, client->devices);
    } catch (const std::bad_alloc &) {
        client->forget();
        return PLEXOR_E_READ;
    }
}

BUSLINK_API int plexor_get_device_count(const plexor_client_t *client)
{
    return client ? client->devices.count() : 0;
}

BUSLINK_API plexor_device_t *plexor_get_first_device(plexor_client_t *client, plexor_device_t **iterator)
{
    plexor_device *d = client ? client->devices.first() : nullptr;
    if (iterator)
        *iterator = d;
    return d;
}

BUSLINK_API plexor_device_t *plexor_get_next_device(plexor_client_t *, plexor_device_t **iterator)
{
    if (!iterator || !*iterator)
        return nullptr;
    *iterator = (*iterator)->next;
    return *iterator;
}

BUSLINK_API plexor_device_t *plexor_get_nth_device(plexor_client_t *client, int index)
{
    return client ? client->devices.nth(index) : nullptr;
}

BUSLINK_API plexor_device_t *plexor_device_new(void)
{
    return new (std::nothrow) plexor_device;
}

BUSLINK_API void plexor_device_delete(plexor_device_t *device)
{
    delete device;
}

BUSLINK_API void plexor_device_set_id(plexor_device_t *device, unsigned short id)
{
    if (device)
        device->id = id;
}

BUSLINK_API unsigned short plexor_device_get_id(const plexor_device_t *device)
{
    return device ? device->id : 0;
}

BUSLINK_API void plexor_device_set_name(plexor_device_t *device, const char *name)
{
    if (!device)
        return;
    set_optional_text(device->name, name);
}

BUSLINK_API const char *plexor_device_get_name(const plexor_device_t *device)
{
    return device && device->name ? device->name->c_str() : "";
}

BUSLINK_API void plexor_device_set_description(plexor_device_t *device, const char *text)
{
    if (!device)
        return;
    set_optional_text(device->description, text);
}

BUSLINK_API const char *plexor_device_get_description(const plexor_device_t *device)
{
    return device && device->description ? device->description->c_str() : nullptr;
}

BUSLINK_API void plexor_device_set_hardware(plexor_device_t *device, const char *text)
{
    if (!device)
        return;
    try {
        device->hardware = text ? text : "";
    } catch (const std::bad_alloc &) {
        device->hardware.clear();
    }
}

BUSLINK_API const char *plexor_device_get_hardware(const plexor_device_t *device)
{
    return device ? device->hardware.c_str() : "";
}

BUSLINK_API void plexor_device_set_type(plexor_device_t *device, unsigned char type)
{
    if (device)
        device->type = type;
}

BUSLINK_API unsigned char plexor_device_get_type(const plexor_device_t *device)
{
    return device ? device->type : 0;
}

} // extern "C"

namespace {

Request read_request(char type, int size)
{
    Request r;
    r.type = type;
    r.operation = px::OP_READ;
    if (type == 'S')
        r.length = std::max(size, 0);
    return r;
}

// Queues what make builds: 0, 13 for an unknown device, 14 when memory
// runs out (nothing is queued then).
template <typename Make>
int queue_safely(plexor_client *c, const char *device, const char *name, const char *qualifier, Make make)
{
    try {
        return queue(c, device, name, qualifier, make());
    } catch (const std::bad_alloc &) {
        return PLEXOR_E_NOT_PROCESSED;
    }
}

} // namespace

extern "C" {

BUSLINK_API int plexor_request_integer(plexor_client_t *client, const char *device, const char *name,
                                       const char *qualifier)
{
    return queue_safely(client, device, name, qualifier, [] { return read_request('I', 0); });
}

BUSLINK_API int plexor_request_float(plexor_client_t *client, const char *device, const char *name,
                                     const char *qualifier)
{
    return queue_safely(client, device, name, qualifier, [] { return read_request('F', 0); });
}

BUSLINK_API int plexor_request_buf(plexor_client_t *client, const char *device, const char *name,
                                   const char *qualifier, int size)
{
    return queue_safely(client, device, name, qualifier, [size] { return read_request('S', size); });
}

BUSLINK_API int plexor_write_integer(plexor_client_t *client, const char *device, const char *name,
                                     const char *qualifier, int value)
{
    return queue_safely(client, device, name, qualifier, [value] {
        Request r;
        r.type = 'I';
        r.operation = px::OP_WRITE;
        r.int_value = value;
        r.float_value = value;
        return r;
    });
}

BUSLINK_API int plexor_write_float(plexor_client_t *client, const char *device, const char *name,
                                   const char *qualifier, double value)
{
    return queue_safely(client, device, name, qualifier, [value] {
        Request r;
        r.type = 'F';
        r.operation = px::OP_WRITE;
        r.float_value = value;
        r.int_value = truncate_to_int(value);
        return r;
    });
}

BUSLINK_API int plexor_write_buf(plexor_client_t *client, const char *device, const char *name,
                                 const char *qualifier, const void *data, int size)
{
    return queue_safely(client, device, name, qualifier, [data, size] {
        Request r;
        r.type = 'S';
        r.operation = px::OP_WRITE;
        const auto *p = static_cast<const unsigned char *>(data);
        const std::size_t n = p && size > 0 ? static_cast<std::size_t>(size) : 0;
        r.buffer.emplace(p, p + n);
        r.length = static_cast<int32_t>(n);
        return r;
    });
}

BUSLINK_API int plexor_flush(plexor_client_t *client)
{
    return plexor_flush_with_prio(client, -1);
}

BUSLINK_API int plexor_flush_with_prio(plexor_client_t *client, int priority)
{
    if (!client || !client->connected)
        return PLEXOR_E_NO_CONNECTION;
    try {
        SocketChannel ch(client);
        return px::exchange_flush(ch, client->requests, priority < 1 ? px::CMD_FLUSH : px::CMD_FLUSH_PRIO);
    } catch (const std::bad_alloc &) {
        client->forget();
        return PLEXOR_E_READ;
    }
}

BUSLINK_API int plexor_result_integer(plexor_client_t *client, const char *device, const char *name,
                                      const char *qualifier, int *value)
{
    int status = 0;
    const Request *r = find(client, 'I', device, name, qualifier, status);
    if (r && value)
        *value = r->int_value;
    return status;
}

BUSLINK_API int plexor_result_float(plexor_client_t *client, const char *device, const char *name,
                                    const char *qualifier, double *value)
{
    int status = 0;
    const Request *r = find(client, 'F', device, name, qualifier, status);
    if (r && value)
        *value = r->float_value;
    return status;
}

BUSLINK_API int plexor_result_buf(plexor_client_t *client, const char *device, const char *name,
                                  const char *qualifier, void *buffer, int size)
{
    int status = 0;
    const Request *r = find(client, 'S', device, name, qualifier, status);
    if (r && buffer && size > 0) {
        std::memset(buffer, 0, static_cast<std::size_t>(size));
        if (r->buffer)
            std::memcpy(buffer, r->buffer->data(), std::min(r->buffer->size(), static_cast<std::size_t>(size)));
    }
    return status;
}

BUSLINK_API void plexor_reset(plexor_client_t *client)
{
    if (client)
        client->requests.clear();
}

} // extern "C"
