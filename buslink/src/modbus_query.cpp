#include "modbus_query.h"

#include "core.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <tuple>

using buslink::modbus::get_be16;
using buslink::modbus::put_be16;

namespace {

using QueryList = std::vector<std::unique_ptr<modbus_query>>;

constexpr std::size_t min_buffer = 8;
// Registers a growing query may reach while queued; the optimiser joins
// neighbours up to max_merged.
constexpr int max_queued_registers = 115;
constexpr int max_merged_registers = 124;
constexpr int max_queued_bits = 1840;
constexpr int max_write_coils = 1968;
constexpr int max_write_registers = 120;

bool is_bit_kind(int kind)
{
    return kind == MODBUS_COIL || kind == MODBUS_DISCRETE_INPUT;
}

bool same_node(const modbus_query &q, uint32_t link, uint32_t unit)
{
    return q.link == link && q.unit == unit;
}

bool may_extend(const modbus_query &q)
{
    if (is_bit_kind(q.kind))
        return q.quantity % 7 != 0 || q.quantity + 1 <= max_queued_bits;
    return 2 * q.quantity + 2 <= 2 * max_queued_registers;
}

void fit_buffer(modbus_query &q)
{
    const std::size_t needed = is_bit_kind(q.kind) ? (static_cast<std::size_t>(q.quantity) + 7) / 8
                                                   : 2 * static_cast<std::size_t>(q.quantity);
    if (q.buffer.size() < needed)
        q.buffer.resize(needed);
}

std::unique_ptr<modbus_query> take_record(modbus *m)
{
    std::unique_ptr<modbus_query> q;
    if (!m->pool.empty()) {
        q = std::move(m->pool.back());
        m->pool.pop_back();
    } else {
        q = std::make_unique<modbus_query>();
    }
    if (q->buffer.size() < min_buffer)
        q->buffer.resize(min_buffer);
    std::fill(q->buffer.begin(), q->buffer.end(), 0);
    return q;
}

modbus_query *find_in(const QueryList &list, uint32_t link, uint32_t unit, int kind, uint16_t address)
{
    for (const auto &entry : list) {
        const modbus_query &q = *entry;
        if (q.kind == kind && same_node(q, link, unit) && address >= q.first &&
            static_cast<long>(address) < static_cast<long>(q.first) + q.quantity)
            return entry.get();
    }
    return nullptr;
}

// The query of this direction that covers or takes the address (growing it
// when it may), or a new one at the front of the list.
modbus_query *queue_item(modbus *m, bool write, uint32_t link, uint32_t unit, int kind, uint16_t address)
{
    QueryList &list = write ? m->writes : m->reads;
    const long a = address;
    // A write whose address some query already holds goes into that query,
    // even when a newer one could grow over it: write queries never overlap,
    // so the last value queued is the one the device ends with, whatever
    // the order of the flush.
    if (write)
        if (modbus_query *q = find_in(list, link, unit, kind, address))
            return q;
    for (auto &entry : list) {
        modbus_query &q = *entry;
        if (q.kind != kind || !same_node(q, link, unit))
            continue;
        const long first = q.first;
        const long end = first + q.quantity;
        if (a >= first && a < end)
            return &q;
        // Writes grow upward only: their buffer already holds the values.
        if (!write && a + 1 == first && may_extend(q)) {
            q.first = address;
            ++q.quantity;
            fit_buffer(q);
            return &q;
        }
        if (a == end && may_extend(q)) {
            ++q.quantity;
            fit_buffer(q);
            return &q;
        }
    }
    std::unique_ptr<modbus_query> q = take_record(m);
    q->link = link;
    q->unit = unit;
    q->first = address;
    q->quantity = 1;
    q->kind = kind;
    q->status = BUSLINK_E_NOT_FLUSHED;
    modbus_query *raw = q.get();
    list.insert(list.begin(), std::move(q));
    return raw;
}

modbus_query *queue_read(modbus *m, uint32_t link, uint32_t unit, int kind, uint16_t address)
{
    if (!m)
        return nullptr;
    try {
        return queue_item(m, false, link, unit, kind, address);
    } catch (...) {
        return nullptr;
    }
}

modbus_query *queue_coil_write(modbus *m, uint32_t link, uint32_t unit, int kind, uint16_t address, bool on)
{
    if (!m)
        return nullptr;
    try {
        modbus_query *q = queue_item(m, true, link, unit, kind, address);
        const unsigned bit = address - q->first;
        const auto mask = static_cast<unsigned char>(1u << (bit % 8));
        if (on)
            q->buffer[bit / 8] |= mask;
        else
            q->buffer[bit / 8] &= static_cast<unsigned char>(~mask);
        return q;
    } catch (...) {
        return nullptr;
    }
}

void set_register(modbus_query &q, std::size_t index, uint16_t value)
{
    std::memcpy(q.buffer.data() + 2 * index, &value, sizeof value);
}

uint16_t get_register(const modbus_query &q, std::size_t index)
{
    uint16_t value = 0;
    std::memcpy(&value, q.buffer.data() + 2 * index, sizeof value);
    return value;
}

modbus_query *find_query(modbus *m, uint32_t link, uint32_t unit, int kind, uint16_t address)
{
    if (!m)
        return nullptr;
    if (modbus_query *q = find_in(m->reads, link, unit, kind, address))
        return q;
    return find_in(m->writes, link, unit, kind, address);
}

int result_bit(modbus *m, uint32_t link, uint32_t unit, int kind, uint16_t address)
{
    const modbus_query *q = find_query(m, link, unit, kind, address);
    if (!q)
        return BUSLINK_E_ITEM_NOT_IN_QUERY;
    if (q->status != 0)
        return q->status;
    const unsigned bit = address - q->first;
    return (q->buffer[bit / 8] >> (bit % 8)) & 1 ? BUSLINK_SUCCESS_TRUE : BUSLINK_SUCCESS_FALSE;
}

int result_register(modbus *m, uint32_t link, uint32_t unit, int kind, uint16_t address, unsigned short *value)
{
    const modbus_query *q = find_query(m, link, unit, kind, address);
    if (!q)
        return BUSLINK_E_ITEM_NOT_IN_QUERY;
    if (value)
        *value = get_register(*q, address - q->first);
    return q->status;
}

// One request through the transport; the answer must carry the request's
// function code (exceptions have become statuses in the transport).
int transact(modbus *m, const modbus_query &q, std::size_t length, std::size_t &response_length, cl_stats_t *stats)
{
    const unsigned char function = m->message[0];
    response_length = 0;
    const int rc = m->exchange(m, q.link, q.unit, length, response_length, stats);
    if (rc != 0)
        return rc;
    if (response_length == 0)
        return BUSLINK_E_SHORT_RESPONSE;
    if (m->message[0] != function)
        return BUSLINK_E_UNEXPECTED_RESPONSE;
    return 0;
}

int run_write(modbus *m, const modbus_query &q, cl_stats_t *stats)
{
    std::size_t length = 0;
    if (const int rc = buslink::modbus::build_request(q, false, m->message, length))
        return rc;
    // The response overwrites the request; keep what it must echo.
    unsigned char echo[4];
    std::memcpy(echo, m->message + 1, sizeof echo);
    std::size_t n = 0;
    if (const int rc = transact(m, q, length, n, stats))
        return rc;
    return buslink::modbus::check_write_response(m->message, n, echo);
}

int run_read(modbus *m, modbus_query &q, cl_stats_t *stats)
{
    std::size_t length = 0;
    buslink::modbus::build_request(q, true, m->message, length);
    std::size_t n = 0;
    if (const int rc = transact(m, q, length, n, stats))
        return rc;
    return buslink::modbus::take_read_response(q, m->message, n);
}

void print_list(FILE *stream, const char *title, const QueryList &list)
{
    buslink_fprintf(stream, "%s%s\n", title, list.empty() ? " none" : "");
    int number = 0;
    for (const auto &entry : list) {
        const modbus_query &q = *entry;
        buslink_fprintf(stream, " #%d  node: %u:%u, first: %dx%04X, qty: %d, bufsz: %lu, status: %d\n", ++number,
                        static_cast<unsigned>(q.link), static_cast<unsigned>(q.unit), q.kind,
                        static_cast<unsigned>(q.first), q.quantity, static_cast<unsigned long>(q.buffer.size()),
                        q.status);
    }
}

int digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Value of the digits in [begin, end) in the base, or -1 for another character.
long parse_digits(const char *begin, const char *end, int base)
{
    long value = 0;
    for (const char *p = begin; p < end; ++p) {
        const int d = digit_value(*p);
        if (d < 0 || d >= base)
            return -1;
        value = value * base + d;
    }
    return value;
}

} // namespace

namespace buslink::modbus {

int build_request(const modbus_query &q, bool read, unsigned char *msg, std::size_t &length)
{
    length = 5;
    put_be16(msg + 1, q.first);
    if (read) {
        msg[0] = static_cast<unsigned char>(q.kind);
        put_be16(msg + 3, static_cast<unsigned>(q.quantity));
        return 0;
    }
    if (q.kind == MODBUS_COIL) {
        if (q.quantity < 1 || q.quantity > max_write_coils)
            return BUSLINK_E_QUANTITY;
        if (q.quantity == 1) {
            msg[0] = 5;
            put_be16(msg + 3, (q.buffer[0] & 1) ? 0xFF00 : 0x0000);
        } else {
            const std::size_t bytes = (static_cast<std::size_t>(q.quantity) + 7) / 8;
            msg[0] = 15;
            put_be16(msg + 3, static_cast<unsigned>(q.quantity));
            msg[5] = static_cast<unsigned char>(bytes);
            std::memcpy(msg + 6, q.buffer.data(), bytes);
            length = 6 + bytes;
        }
    } else if (q.kind == MODBUS_HOLDING_REGISTER) {
        if (q.quantity < 1 || q.quantity > max_write_registers)
            return BUSLINK_E_QUANTITY;
        if (q.quantity == 1) {
            msg[0] = 6;
            put_be16(msg + 3, get_register(q, 0));
        } else {
            msg[0] = 16;
            put_be16(msg + 3, static_cast<unsigned>(q.quantity));
            msg[5] = static_cast<unsigned char>(2 * q.quantity);
            for (int i = 0; i < q.quantity; ++i)
                put_be16(msg + 6 + 2 * i, get_register(q, static_cast<std::size_t>(i)));
            length = 6 + 2 * static_cast<std::size_t>(q.quantity);
        }
    } else {
        return BUSLINK_E_READ_ONLY;
    }
    return 0;
}

int check_write_response(const unsigned char *msg, std::size_t n, const unsigned char echo[4])
{
    if (n < 5)
        return BUSLINK_E_SHORT_RESPONSE;
    if (std::memcmp(msg + 1, echo, 4) != 0)
        return BUSLINK_E_UNEXPECTED_DATA;
    return 0;
}

int take_read_response(modbus_query &q, const unsigned char *msg, std::size_t n)
{
    if (n < 2)
        return BUSLINK_E_SHORT_RESPONSE;
    const std::size_t count = msg[1];
    // Function code, byte count and every announced data byte must be there.
    if (n < count + 2)
        return BUSLINK_E_SHORT_RESPONSE;
    const unsigned char *data = msg + 2;
    if (is_bit_kind(q.kind)) {
        // Fewer bytes than the bits asked for would leave items unanswered.
        if (count < (static_cast<std::size_t>(q.quantity) + 7) / 8)
            return BUSLINK_E_UNEXPECTED_DATA;
        if (q.quantity == 1)
            q.buffer[0] = data[0] & 1;
        else
            std::memcpy(q.buffer.data(), data, std::min(count, q.buffer.size()));
    } else {
        if (count != 2 * static_cast<std::size_t>(q.quantity))
            return BUSLINK_E_UNEXPECTED_DATA;
        for (int i = 0; i < q.quantity; ++i)
            set_register(q, static_cast<std::size_t>(i), get_be16(data + 2 * i));
    }
    return 0;
}

void delete_queries(::modbus *m)
{
    if (!m)
        return;
    m->pool.clear();
    m->reads.clear();
    m->writes.clear();
}

} // namespace buslink::modbus

extern "C" {

BUSLINK_API int modbus_query_read(modbus_base_t *m, uint32_t link, uint32_t unit, int kind, unsigned short address)
{
    if (kind < MODBUS_COIL || kind > MODBUS_INPUT_REGISTER)
        return BUSLINK_E_ILLEGAL_ITEM;
    // Running out of memory leaves the item unqueued: its result says 109.
    queue_read(m, link, unit, kind, address);
    return 0;
}

BUSLINK_API modbus_query_t *modbus_query_read_coil(modbus_base_t *m, uint32_t link, uint32_t unit,
                                                   unsigned short address)
{
    return queue_read(m, link, unit, MODBUS_COIL, address);
}

BUSLINK_API modbus_query_t *modbus_query_read_discrete_input(modbus_base_t *m, uint32_t link, uint32_t unit,
                                                             unsigned short address)
{
    return queue_read(m, link, unit, MODBUS_DISCRETE_INPUT, address);
}

BUSLINK_API modbus_query_t *modbus_query_read_holding_register(modbus_base_t *m, uint32_t link, uint32_t unit,
                                                               unsigned short address)
{
    return queue_read(m, link, unit, MODBUS_HOLDING_REGISTER, address);
}

BUSLINK_API modbus_query_t *modbus_query_read_input_register(modbus_base_t *m, uint32_t link, uint32_t unit,
                                                             unsigned short address)
{
    return queue_read(m, link, unit, MODBUS_INPUT_REGISTER, address);
}

BUSLINK_API int modbus_query_write(modbus_base_t *m, uint32_t link, uint32_t unit, int kind, unsigned short address,
                                   unsigned short value)
{
    switch (kind) {
    case MODBUS_COIL:
        modbus_query_write_coil(m, link, unit, address, value != 0);
        break;
    case MODBUS_HOLDING_REGISTER:
        modbus_query_write_holding_register(m, link, unit, address, value);
        break;
    case MODBUS_DISCRETE_INPUT:
    case MODBUS_INPUT_REGISTER:
        // Both read-only kinds share one query kind; the flush answers 204.
        queue_coil_write(m, link, unit, MODBUS_DISCRETE_INPUT, address, false);
        break;
    default:
        break;
    }
    return 0;
}

BUSLINK_API modbus_query_t *modbus_query_write_coil(modbus_base_t *m, uint32_t link, uint32_t unit,
                                                    unsigned short address, int on)
{
    return queue_coil_write(m, link, unit, MODBUS_COIL, address, on != 0);
}

BUSLINK_API modbus_query_t *modbus_query_write_holding_register(modbus_base_t *m, uint32_t link, uint32_t unit,
                                                                unsigned short address, unsigned short value)
{
    if (!m)
        return nullptr;
    try {
        modbus_query *q = queue_item(m, true, link, unit, MODBUS_HOLDING_REGISTER, address);
        set_register(*q, address - q->first, value);
        return q;
    } catch (...) {
        return nullptr;
    }
}

BUSLINK_API void modbus_query_optimize(modbus_base_t *m)
{
    if (!m)
        return;
    QueryList &reads = m->reads;
    auto key = [](const modbus_query &q) { return std::make_tuple(q.link, q.unit, q.kind, q.first); };
    // Insertion sort: stable, and it allocates nothing in a steady round.
    for (std::size_t i = 1; i < reads.size(); ++i) {
        std::unique_ptr<modbus_query> q = std::move(reads[i]);
        std::size_t j = i;
        for (; j > 0 && key(*q) < key(*reads[j - 1]); --j)
            reads[j] = std::move(reads[j - 1]);
        reads[j] = std::move(q);
    }

    // Join each holding-register query with its neighbour when they meet end
    // to start; the absorbed record is freed.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < reads.size(); ++i) {
        if (kept > 0) {
            modbus_query &a = *reads[kept - 1];
            const modbus_query &b = *reads[i];
            if (a.kind == MODBUS_HOLDING_REGISTER && b.kind == MODBUS_HOLDING_REGISTER &&
                same_node(a, b.link, b.unit) && static_cast<long>(a.first) + a.quantity == b.first &&
                a.quantity + b.quantity <= max_merged_registers) {
                a.quantity += b.quantity;
                fit_buffer(a);
                reads[i].reset();
                continue;
            }
        }
        if (kept != i)
            reads[kept] = std::move(reads[i]);
        ++kept;
    }
    reads.resize(kept);
}

BUSLINK_API int modbus_query_flush(modbus_base_t *m, cl_stats_t *stats)
{
    if (!m)
        return BUSLINK_E_NO_CONNECTION;
    int last_failure = 0;
    for (auto &q : m->writes) {
        q->status = run_write(m, *q, stats);
        if (q->status != 0)
            last_failure = q->status;
    }
    for (auto &q : m->reads) {
        q->status = run_read(m, *q, stats);
        if (q->status != 0)
            last_failure = q->status;
    }
    return last_failure;
}

BUSLINK_API int modbus_query_flush_window(modbus_base_t *m, cl_stats_t *stats, int window)
{
    if (m && m->transport == MODBUS_TRANSPORT_TCP && window > 1)
        return buslink::modbus::tcp_flush_window(m, stats, window);
    return modbus_query_flush(m, stats);
}

BUSLINK_API int modbus_result_coil(modbus_base_t *m, uint32_t link, uint32_t unit, unsigned short address)
{
    return result_bit(m, link, unit, MODBUS_COIL, address);
}

BUSLINK_API int modbus_result_discrete_input(modbus_base_t *m, uint32_t link, uint32_t unit, unsigned short address)
{
    return result_bit(m, link, unit, MODBUS_DISCRETE_INPUT, address);
}

BUSLINK_API int modbus_result_holding_register(modbus_base_t *m, uint32_t link, uint32_t unit, unsigned short address,
                                               unsigned short *value)
{
    return result_register(m, link, unit, MODBUS_HOLDING_REGISTER, address, value);
}

BUSLINK_API int modbus_result_input_register(modbus_base_t *m, uint32_t link, uint32_t unit, unsigned short address,
                                             unsigned short *value)
{
    return result_register(m, link, unit, MODBUS_INPUT_REGISTER, address, value);
}

BUSLINK_API int modbus_query_result(modbus_base_t *m, uint32_t link, uint32_t unit, int kind, unsigned short address,
                                    unsigned short *value)
{
    if (kind == MODBUS_COIL || kind == MODBUS_DISCRETE_INPUT) {
        const int rc = result_bit(m, link, unit, kind, address);
        if (rc != BUSLINK_SUCCESS_TRUE && rc != BUSLINK_SUCCESS_FALSE)
            return rc;
        if (value)
            *value = rc == BUSLINK_SUCCESS_TRUE ? 1 : 0;
        return 0;
    }
    if (kind == MODBUS_HOLDING_REGISTER || kind == MODBUS_INPUT_REGISTER)
        return result_register(m, link, unit, kind, address, value);
    return BUSLINK_E_ILLEGAL_ITEM;
}

BUSLINK_API void modbus_query_reset(modbus_base_t *m)
{
    if (!m)
        return;
    try {
        for (QueryList *list : {&m->writes, &m->reads})
            for (auto &q : *list)
                m->pool.push_back(std::move(q));
    } catch (...) {
        // The pool could not grow: what did not fit is freed with the lists.
    }
    m->writes.clear();
    m->reads.clear();
}

BUSLINK_API void modbus_queries_delete(modbus_base_t *m)
{
    buslink::modbus::delete_queries(m);
}

BUSLINK_API void modbus_query_print(modbus_base_t *m, FILE *stream)
{
    if (!m)
        return;
    print_list(stream, "Write queries:", m->writes);
    print_list(stream, "Read queries:", m->reads);
    buslink_fprintf(stream, "Pool: %d queries\n", static_cast<int>(m->pool.size()));
}

BUSLINK_API int modbus_decode_address(const char *text, int *kind, unsigned short *address)
{
    if (!text || !kind || !address)
        return BUSLINK_E_ILLEGAL_ITEM;
    const std::size_t length = std::strlen(text);
    int k = MODBUS_HOLDING_REGISTER;
    long value = 0;
    if (length == 6) {
        if (text[0] < '1' || text[0] > '4')
            return BUSLINK_E_ILLEGAL_ITEM;
        k = text[0] - '0';
        if (text[1] == 'x' || text[1] == 'X') {
            value = parse_digits(text + 2, text + 6, 16);
        } else {
            // The second digit is checked but does not count.
            if (parse_digits(text + 1, text + 2, 10) < 0)
                return BUSLINK_E_ILLEGAL_ITEM;
            value = parse_digits(text + 2, text + 6, 10);
        }
    } else if (length < 6) {
        value = parse_digits(text, text + length, 10);
    } else {
        return BUSLINK_E_ILLEGAL_ITEM;
    }
    if (value < 0 || value > 0xFFFF)
        return BUSLINK_E_ILLEGAL_ITEM;
    *kind = k;
    *address = static_cast<unsigned short>(value);
    return 0;
}

} // extern "C"
