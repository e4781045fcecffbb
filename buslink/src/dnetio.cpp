#include "dnetio.h"

#include "core.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <new>
#include <sstream>

#include <poll.h>
#include <strings.h>
#include <termios.h>
#include <unistd.h>

namespace dn = buslink::dnet;
namespace posix = buslink::posix;

namespace {

using Clock = std::chrono::steady_clock;

// The line's time-outs: a read may take the constant plus the multiplier per
// byte asked, and once bytes flow a silence of the interval ends it.
constexpr int read_interval_ms = 50;
constexpr int read_multiplier_ms = 50;
constexpr int read_constant_ms = 500;

int ms_until(Clock::time_point t)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(t - Clock::now()).count();
    return left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Lets pending output go out, then drops what came in. Output is drained,
// not discarded: on a pseudo-terminal a discard also takes back bytes
// already handed to the far end (the EOT that closes a refused exchange).
void purge(dnetio *c)
{
    if (!c->fd)
        return;
    tcdrain(c->fd.get());
    tcflush(c->fd.get(), TCIFLUSH);
}

bool send(dnetio *c, const void *data, std::size_t length)
{
    int err = 0;
    return c->fd && posix::write_fully(c->fd.get(), data, length, err, c->wakeup.fd()) ==
                        static_cast<long>(length);
}

bool send_byte(dnetio *c, unsigned char byte)
{
    return send(c, &byte, 1);
}

// Reads `length` bytes under the line's time-outs: the count that came
// (short when the time ran out), or -1 when the read failed or was cut.
long receive(dnetio *c, unsigned char *buffer, std::size_t length)
{
    if (!c->fd)
        return -1;
    const int fd = c->fd.get();
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(read_constant_ms + read_multiplier_ms * static_cast<long>(length));
    Clock::time_point last_byte{};
    std::size_t got = 0;
    while (got < length) {
        if (c->wakeup.fired())
            return -1;
        const ssize_t n = ::read(fd, buffer + got, length - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            last_byte = Clock::now();
            continue;
        }
        if (n == 0)
            return -1;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        int wait = ms_until(deadline);
        if (got > 0)
            wait = std::min(wait, ms_until(last_byte + std::chrono::milliseconds(read_interval_ms)));
        if (wait == 0)
            break;
        pollfd p[2] = {{fd, POLLIN, 0}, {c->wakeup.fd(), POLLIN, 0}};
        if (::poll(p, 2, wait) < 0 && errno != EINTR)
            return -1;
    }
    return static_cast<long>(got);
}

bool receive_exact(dnetio *c, unsigned char *buffer, std::size_t length)
{
    return receive(c, buffer, length) == static_cast<long>(length);
}

// Input left over from an earlier, failed exchange must not pass for an answer.
void discard_input(dnetio *c)
{
    unsigned char scrap[256];
    int err = 0;
    // Bounded, so that a line that never stops talking cannot hold the flush.
    for (int round = 0; round < 64 && c->fd; ++round)
        if (posix::read_buffered(c->fd.get(), scrap, sizeof scrap, err) <= 0)
            break;
}

int enquire(dnetio *c, int node)
{
    discard_input(c);
    const unsigned char enq[3] = {'N', static_cast<unsigned char>(node + 0x20), dn::ENQ};
    unsigned char answer[4];
    if (!send(c, enq, sizeof enq)) {
        purge(c);
        return DNETIO_E_HANDSHAKE;
    }
    if (!receive_exact(c, answer, sizeof answer)) {
        if (!c->wakeup.fired())
            buslink_eprintf("_dnetio_dnet_initiate_request: timeout\n");
        purge(c);
        return DNETIO_E_HANDSHAKE;
    }
    if (!dn::enquiry_answer_ok(answer, node)) {
        purge(c);
        return DNETIO_E_HANDSHAKE;
    }
    return 0;
}

// The PLC's two-byte acknowledgement; a NAK or EOT is answered with EOT.
int acknowledgement(dnetio *c)
{
    unsigned char ack[2];
    if (!receive_exact(c, ack, sizeof ack))
        return DNETIO_E_NO_RESPONSE;
    if (ack[0] == dn::NAK || ack[0] == dn::EOT) {
        send_byte(c, dn::EOT);
        return DNETIO_E_NOT_ACCEPTED;
    }
    return ack[0] == dn::ACK ? 0 : DNETIO_E_NOT_ACCEPTED;
}

int write_blocks(dnetio *c, const dn::Run &run)
{
    const std::size_t chars = run.data.size() * 2;
    unsigned char block[1 + dn::block_chars + 3];
    for (std::size_t start = 0; start < chars; start += dn::block_chars) {
        const std::size_t n = std::min(dn::block_chars, chars - start);
        const bool last = start + n == chars;
        block[0] = dn::STX;
        for (std::size_t i = 0; i < n; i += 2)
            dn::put_hex(&block[1 + i], run.data[(start + i) / 2], 2);
        block[1 + n] = last ? dn::ETX : dn::ETB;
        dn::put_hex(&block[2 + n], dn::lrc(&block[1], n), 2);
        if (!send(c, block, n + 4))
            return DNETIO_E_WRITE;
        if (const int rc = acknowledgement(c))
            return rc;
    }
    return send_byte(c, dn::EOT) ? 0 : DNETIO_E_WRITE;
}

int read_blocks(dnetio *c, dn::Run &run)
{
    const std::size_t chars = run.data.size() * 2;
    unsigned char tail[2];
    if (chars == 0) {
        if (!receive_exact(c, tail, 2))
            return DNETIO_E_NO_RESPONSE;
        return tail[0] == dn::EOT ? 0 : DNETIO_E_NO_EOT;
    }
    unsigned char block[dn::block_chars + 4];
    for (std::size_t start = 0; start < chars; start += dn::block_chars) {
        const std::size_t n = std::min(dn::block_chars, chars - start);
        const bool last = start + n == chars;
        unsigned char stx = 0;
        if (!receive_exact(c, &stx, 1))
            return DNETIO_E_NO_RESPONSE;
        if (stx != dn::STX)
            return DNETIO_E_ERRONEOUS_RESPONSE;
        if (!receive_exact(c, block, n + 4))
            return DNETIO_E_NO_RESPONSE;
        if (const int rc = dn::check_read_block(block, n, last, &run.data[start / 2]))
            return rc;
        if (!send_byte(c, dn::ACK))
            return DNETIO_E_WRITE;
    }
    if (!receive_exact(c, tail, 2))
        return DNETIO_E_NO_RESPONSE;
    if (tail[0] != dn::EOT)
        return DNETIO_E_NO_EOT;
    send_byte(c, dn::EOT);
    return 0;
}

int exchange(dnetio *c, dn::Run &run)
{
    // Cut or closed: fail at once with nothing more written.
    if (!c->fd || c->wakeup.fired())
        return DNETIO_E_NO_RESPONSE;
    // Only the HEX mode has a data path; nothing is sent in another.
    if (c->mode != DNETIO_MODE_HEX) {
        buslink_eprintf("to be done\n");
        return DNETIO_E_WRITE;
    }
    if (const int rc = enquire(c, run.node))
        return c->wakeup.fired() ? DNETIO_E_NO_RESPONSE : rc;
    const bool write = run.direction == dn::dir_write;
    const auto header = dn::make_header(run.node, write, run.type, run.address, run.data.size());
    if (!send(c, header.data(), header.size()))
        return DNETIO_E_WRITE;
    if (const int rc = acknowledgement(c))
        return rc;
    return write ? write_blocks(c, run) : read_blocks(c, run);
}

bool valid_node(int node)
{
    return node >= 0 && node < dn::node_count;
}

// The item as a reference, through the node's nicknames (or the common ones
// when the node has none).
bool resolve(const dnetio *c, int node, const char *item, dn::Reference &ref)
{
    if (!item)
        return false;
    const std::vector<dn::Nickname> *list = &c->nicknames[dn::common_list];
    if (valid_node(node) && !c->nicknames[node].empty())
        list = &c->nicknames[node];
    std::string_view text(item);
    for (auto it = list->rbegin(); it != list->rend(); ++it) {
        const bool same = c->case_sensitive ? it->name == item : strcasecmp(it->name.c_str(), item) == 0;
        if (same) {
            text = it->item;
            break;
        }
    }
    return dn::parse_reference(text, ref);
}

int effective_type(int type, char datatype)
{
    return type == 0 ? (datatype == 'A' ? 7 : 9) : type;
}

// Bytes of a value type on the wire (doubles go as single floats); 0 when unsupported.
unsigned value_bytes(int type)
{
    switch (type) {
    case 1: case 2: return 1;
    case 3: case 4: case 9: return 2;
    case 5: case 6: case 7: case 8: case 10: return 4;
    default: return 0;
    }
}

bool is_float(int type)
{
    return type == 7 || type == 8;
}

// Truncation toward zero that cannot overflow: NaN gives 0, the rest saturates.
long long truncate_value(double v)
{
    if (std::isnan(v))
        return 0;
    if (v <= -2147483648.0)
        return INT_MIN;
    if (v >= 4294967295.0)
        return UINT_MAX;
    return static_cast<long long>(v);
}

void encode_integer(int type, long long value, unsigned char *out)
{
    auto v = static_cast<uint32_t>(value);
    if (type == 9)
        v = cl_binary_to_bcd32(static_cast<unsigned>(value % 10000 + 10000) % 10000) & 0xFFFF;
    else if (type == 10)
        v = cl_binary_to_bcd32(v);
    for (unsigned i = 0; i < value_bytes(type); ++i)
        out[i] = static_cast<unsigned char>(v >> (8 * i));
}

void encode_float(double value, unsigned char *out)
{
    // Beyond the range of a float the value is an infinity, not undefined.
    const float f = std::isfinite(value) && std::fabs(value) > std::numeric_limits<float>::max()
                        ? std::copysign(std::numeric_limits<float>::infinity(), static_cast<float>(value > 0 ? 1 : -1))
                        : static_cast<float>(value);
    uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(bits >> (8 * i));
}

uint32_t little_endian(const unsigned char *in, unsigned bytes)
{
    uint32_t v = 0;
    for (unsigned i = 0; i < bytes; ++i)
        v |= static_cast<uint32_t>(in[i]) << (8 * i);
    return v;
}

float decode_float(const unsigned char *in)
{
    const uint32_t bits = little_endian(in, 4);
    float f = 0;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// The integer a non-float type holds, signed types sign-extended.
long long decode_integer(int type, const unsigned char *in)
{
    const uint32_t v = little_endian(in, value_bytes(type));
    switch (type) {
    case 2: return static_cast<int8_t>(v);
    case 4: return static_cast<int16_t>(v);
    case 6: return static_cast<int32_t>(v);
    case 9: return cl_bcd16_to_binary(static_cast<unsigned short>(v));
    case 10: return cl_bcd32_to_binary(v);
    default: return v;
    }
}

// Adds the element at `address` to a run of its own kind, or starts one.
dn::Run &place_element(dnetio *c, int node, char type, unsigned address, int direction)
{
    const unsigned size = dn::element_size(type);
    bool below_write = false;
    for (auto &run : c->runs) {
        if (run.node != node || run.type != type || run.direction != direction)
            continue;
        const unsigned count = run.elements();
        const std::size_t bytes = run.data.size();
        if (address >= run.address && address < run.address + count)
            return run;
        if (direction == dn::dir_read && run.address == address + 1 && bytes < dn::block_chars) {
            run.data.insert(run.data.begin(), size, 0);
            run.address = address;
            return run;
        }
        const std::size_t limit = direction == dn::dir_read ? dn::block_chars - size : dn::block_chars + size;
        if (address == run.address + count && bytes < limit) {
            run.data.resize(bytes + size, 0);
            return run;
        }
        if (direction == dn::dir_write && run.address == address + 1)
            below_write = true;
    }
    if (below_write)
        buslink_eprintf("dnetio.c 997: Fixme (%d)\n", static_cast<int>(address));
    c->runs.push_back(dn::Run{node, type, address, direction, std::vector<unsigned char>(size, 0)});
    return c->runs.back();
}

// True when every element of the item has an address the header can carry;
// a run past the last one would start at a wrapped address.
bool fits(unsigned address, char type, unsigned bytes)
{
    const unsigned size = dn::element_size(type);
    const unsigned long long elements = std::max(1ull, (bytes + static_cast<unsigned long long>(size) - 1) / size);
    return address + elements - 1 <= 0xFFFF;
}

int queue_read(dnetio *c, int node, const dn::Reference &ref, unsigned bytes)
{
    if (!fits(ref.address, ref.type, bytes))
        return DNETIO_E_UNAVAILABLE_ITEM;
    const unsigned size = dn::element_size(ref.type);
    const unsigned elements = std::max(1u, static_cast<unsigned>((bytes + 0ull + size - 1) / size));
    for (unsigned e = 0; e < elements; ++e)
        place_element(c, node, ref.type, ref.address + e, dn::dir_read);
    return 0;
}

int queue_write(dnetio *c, int node, char type, unsigned address, const unsigned char *data, unsigned bytes)
{
    if (!fits(address, type, bytes))
        return DNETIO_E_UNAVAILABLE_ITEM;
    const unsigned size = dn::element_size(type);
    for (unsigned offset = 0, e = 0; offset < bytes; offset += size, ++e) {
        dn::Run &run = place_element(c, node, type, address + e, dn::dir_write);
        const std::size_t at = static_cast<std::size_t>(address + e - run.address) * size;
        const unsigned n = std::min(size, bytes - offset);
        std::memcpy(&run.data[at], data + offset, n);
        std::fill(run.data.begin() + static_cast<long>(at + n), run.data.begin() + static_cast<long>(at + size), 0);
    }
    return 0;
}

const dn::Run *covering_run(const dnetio *c, int node, char type, unsigned address, int direction)
{
    for (const auto &run : c->runs)
        if (run.node == node && run.type == type && run.direction == direction && address >= run.address &&
            address < run.address + run.elements())
            return &run;
    return nullptr;
}

// Copies the item's bytes out of the runs that hold them, a read before a
// write; the first failure among them, or 16 when a part is in no run.
int gather(const dnetio *c, int node, const dn::Reference &ref, unsigned char *out, unsigned bytes)
{
    const unsigned size = dn::element_size(ref.type);
    const unsigned elements = std::max(1u, (bytes + size - 1) / size);
    int status = 0;
    for (unsigned e = 0; e < elements; ++e) {
        const unsigned address = ref.address + e;
        const dn::Run *run = covering_run(c, node, ref.type, address, dn::dir_read);
        if (!run)
            run = covering_run(c, node, ref.type, address, dn::dir_write);
        if (!run)
            return DNETIO_E_NOT_IN_QUEUE;
        const unsigned offset = e * size;
        if (offset < bytes)
            std::memcpy(out + offset, &run->data[(address - run->address) * size], std::min(size, bytes - offset));
        if (status == 0)
            status = run->status;
    }
    return status;
}

// Looks up an item for a result: 8, 18, or 0 with its reference and type.
int result_item(const dnetio *c, int node, const char *item, int type, dn::Reference &ref, int &effective)
{
    if (!c || !resolve(c, node, item, ref))
        return DNETIO_E_UNAVAILABLE_ITEM;
    effective = effective_type(type, ref.type);
    return value_bytes(effective) ? 0 : DNETIO_E_UNSUPPORTED_TYPE;
}

const char *const error_texts[] = {"Success",
                                   "Failed to open port",
                                   "Invalid baudrate",
                                   "Invalid parity",
                                   "Invalid stop bits",
                                   "Invalid data bits",
                                   "Failed to set com port settings",
                                   "Failed to set com timeout",
                                   "Unavailable item",
                                   "Request handshake failed",
                                   "General write failure",
                                   "No response",
                                   "Command not accepted by device",
                                   "Erroneous response",
                                   "Checksum test failure",
                                   "No EOT",
                                   "Address not found in queue",
                                   "Not executed"};

} // namespace

extern "C" {

BUSLINK_API dnetio_t *dnetio_new(void)
{
    auto *c = new (std::nothrow) dnetio();
    if (c && !c->wakeup.valid()) {
        delete c;
        return nullptr;
    }
    return c;
}

BUSLINK_API void dnetio_delete(dnetio_t *client)
{
    delete client;
}

BUSLINK_API int dnetio_set_values(dnetio_t *client, const char *port, int baud, int parity, int stopbits,
                                  int databits, int mode)
{
    if (!client)
        return -1;
    client->fd = posix::UniqueFd();
    client->mode = mode;
    const std::string path = posix::device_path(port);
    termios line{};
    int err = 0;
    posix::UniqueFd fd = posix::open_tty(path, line, err);
    if (!fd) {
        client->system_error = posix::error_text(err);
        buslink_eprintf("Failed to open %s: %s\n", path.c_str(), client->system_error.c_str());
        client->last_error = DNETIO_E_OPEN;
        return -1;
    }
    if (const int rc = dn::make_line(line, baud, parity, stopbits, databits)) {
        client->last_error = rc;
        return -1;
    }
    if (const int applied = posix::apply_line(fd.get(), line)) {
        client->system_error = posix::error_text(applied);
        client->last_error = DNETIO_E_SETTINGS;
        return -1;
    }
    client->fd = std::move(fd);
    client->last_error = 0;
    purge(client);
    return 0;
}

BUSLINK_API int dnetio_get_last_error(const dnetio_t *client)
{
    return client ? client->last_error : DNETIO_E_OPEN;
}

BUSLINK_API const char *dnetio_get_system_error(const dnetio_t *client)
{
    return client ? client->system_error.c_str() : "";
}

BUSLINK_API int dnetio_is_connected(const dnetio_t *client)
{
    return client && client->fd && !posix::hung_up(client->fd.get()) ? 1 : 0;
}

BUSLINK_API void dnetio_disconnect(dnetio_t *client)
{
    if (client)
        client->fd = posix::UniqueFd();
}

BUSLINK_API void dnetio_set_verbose(dnetio_t *, int) {}

BUSLINK_API void dnetio_set_case_sensitive(dnetio_t *client, int flag)
{
    if (client)
        client->case_sensitive = flag != 0;
}

BUSLINK_API int dnetio_set_nickname(dnetio_t *client, int node, const char *name, const char *item)
{
    if (!client || !name || !item || (node != -1 && !valid_node(node)))
        return 0;
    client->nicknames[node < 0 ? dn::common_list : node].push_back({name, item});
    return 0;
}

BUSLINK_API int dnetio_load_documentation(dnetio_t *client, int node, const char *path)
{
    if (!client || !path || (node != -1 && !valid_node(node)))
        return 0;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return 0;
    std::ostringstream text;
    text << in.rdbuf();
    auto &list = client->nicknames[node < 0 ? dn::common_list : node];
    list.clear();
    for (auto &[item, name] : dn::parse_documentation(text.str()))
        list.push_back({std::move(name), std::move(item)});
    return 1;
}

BUSLINK_API int dnetio_request(dnetio_t *client, int node, const char *item, int type)
{
    dn::Reference ref;
    if (!client || !valid_node(node) || !resolve(client, node, item, ref))
        return DNETIO_E_UNAVAILABLE_ITEM;
    return queue_read(client, node, ref, value_bytes(effective_type(type, ref.type)));
}

BUSLINK_API int dnetio_request_buf(dnetio_t *client, int node, const char *item, unsigned bytes)
{
    dn::Reference ref;
    if (!client || !valid_node(node) || !resolve(client, node, item, ref))
        return DNETIO_E_UNAVAILABLE_ITEM;
    return queue_read(client, node, ref, bytes);
}

BUSLINK_API int dnetio_write_integer(dnetio_t *client, int node, const char *item, int type, int value)
{
    dn::Reference ref;
    if (!client || !valid_node(node) || !resolve(client, node, item, ref))
        return DNETIO_E_UNAVAILABLE_ITEM;
    const int t = effective_type(type, ref.type);
    if (!value_bytes(t))
        return DNETIO_E_UNSUPPORTED_TYPE;
    unsigned char data[4];
    if (is_float(t))
        encode_float(value, data);
    else
        encode_integer(t, value, data);
    return queue_write(client, node, ref.type, ref.address, data, value_bytes(t));
}

BUSLINK_API int dnetio_write_float(dnetio_t *client, int node, const char *item, int type, double value)
{
    dn::Reference ref;
    if (!client || !valid_node(node) || !resolve(client, node, item, ref))
        return DNETIO_E_UNAVAILABLE_ITEM;
    const int t = effective_type(type, ref.type);
    if (!value_bytes(t))
        return DNETIO_E_UNSUPPORTED_TYPE;
    unsigned char data[4];
    if (is_float(t))
        encode_float(value, data);
    else
        encode_integer(t, truncate_value(value), data);
    return queue_write(client, node, ref.type, ref.address, data, value_bytes(t));
}

BUSLINK_API int dnetio_write_buf(dnetio_t *client, int node, const char *item, const void *data, unsigned bytes)
{
    dn::Reference ref;
    if (!client || !valid_node(node) || (bytes > 0 && !data) || !resolve(client, node, item, ref))
        return DNETIO_E_UNAVAILABLE_ITEM;
    return queue_write(client, node, ref.type, ref.address, static_cast<const unsigned char *>(data), bytes);
}

BUSLINK_API int dnetio_write_raw(dnetio_t *client, int node, char datatype, unsigned address, const void *data,
                                 unsigned bytes)
{
    if (!client || !valid_node(node) || (bytes > 0 && !data) || address > 0xFFFF)
        return DNETIO_E_UNAVAILABLE_ITEM;
    return queue_write(client, node, datatype, address, static_cast<const unsigned char *>(data), bytes);
}

BUSLINK_API void dnetio_flush(dnetio_t *client)
{
    if (!client)
        return;
    for (auto &run : client->runs) {
        run.status = exchange(client, run);
        if (run.status == 0)
            continue;
        // A PLC left inside the failed exchange would take the next
        // enquiry for part of it: end its session first.
        if (run.status != DNETIO_E_HANDSHAKE && !client->wakeup.fired())
            send_byte(client, dn::EOT);
        purge(client);
    }
}

BUSLINK_API int dnetio_result_integer(dnetio_t *client, int node, const char *item, int type, unsigned *value)
{
    dn::Reference ref;
    int t = 0;
    if (const int rc = result_item(client, node, item, type, ref, t))
        return rc;
    unsigned char data[4] = {};
    const int status = gather(client, node, ref, data, value_bytes(t));
    if (status != DNETIO_E_NOT_IN_QUEUE && value) {
        const long long v = is_float(t) ? truncate_value(decode_float(data)) : decode_integer(t, data);
        *value = static_cast<unsigned>(v);
    }
    return status;
}

BUSLINK_API int dnetio_result_float(dnetio_t *client, int node, const char *item, int type, double *value)
{
    dn::Reference ref;
    int t = 0;
    if (const int rc = result_item(client, node, item, type, ref, t))
        return rc;
    unsigned char data[4] = {};
    const int status = gather(client, node, ref, data, value_bytes(t));
    if (status != DNETIO_E_NOT_IN_QUEUE && value)
        *value = is_float(t) ? decode_float(data) : static_cast<double>(decode_integer(t, data));
    return status;
}

BUSLINK_API int dnetio_result_buf(dnetio_t *client, int node, const char *item, void *buffer, unsigned bytes)
{
    dn::Reference ref;
    if (!client || !resolve(client, node, item, ref))
        return DNETIO_E_UNAVAILABLE_ITEM;
    if (bytes > 0 && !buffer)
        return DNETIO_E_NOT_IN_QUEUE;
    std::vector<unsigned char> data(std::max(bytes, 1u));
    const int status = gather(client, node, ref, data.data(), bytes);
    if (status != DNETIO_E_NOT_IN_QUEUE && bytes > 0)
        std::memcpy(buffer, data.data(), bytes);
    return status;
}

BUSLINK_API void dnetio_reset(dnetio_t *client)
{
    if (client)
        client->runs.clear();
}

BUSLINK_API int dnetio_ping(dnetio_t *client, int node)
{
    if (!client || !valid_node(node) || !client->fd || client->wakeup.fired())
        return -1;
    discard_input(client);
    const unsigned char enq[3] = {'N', static_cast<unsigned char>(node + 0x20), dn::ENQ};
    unsigned char answer[4];
    const bool sent = send(client, enq, sizeof enq);
    const bool answered = sent && receive_exact(client, answer, sizeof answer);
    const bool ended = answered && send_byte(client, dn::EOT);
    return ended ? 1 : -1;
}

BUSLINK_API void dnetio_abort(dnetio_t *client)
{
    if (client)
        client->wakeup.fire();
}

BUSLINK_API void dnetio_clear_abort(dnetio_t *client)
{
    if (client)
        client->wakeup.clear();
}

BUSLINK_API const char *dnetio_error_string(int code)
{
    if (code >= 0 && code < static_cast<int>(std::size(error_texts)))
        return error_texts[code];
    // One buffer per thread, so that two threads do not garble each other's text.
    thread_local char unknown[64];
    std::snprintf(unknown, sizeof unknown, "Unknown error (%d)", code);
    return unknown;
}

} // extern "C"
