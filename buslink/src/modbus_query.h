// The query header that every MODBUS transport object begins with, the query
// records, and the byte-level helpers the transports share.
#pragma once

#include "buslink.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct modbus_query {
    uint32_t link = 0;
    uint32_t unit = 0;
    uint16_t first = 0;
    int quantity = 1;
    int kind = 0;
    // Bits packed LSB first; registers as host-order 16-bit values.
    std::vector<unsigned char> buffer;
    int status = BUSLINK_E_NOT_FLUSHED;
};

struct modbus {
    // One request/response through the transport: the request is in
    // message[0, length), the response replaces it. 0 or a status code.
    using Exchange = int (*)(modbus *m, uint32_t link, uint32_t unit, std::size_t length,
                             std::size_t &response_length, cl_stats_t *stats);

    modbus(int transport_kind, Exchange exchange_fn) : transport(transport_kind), exchange(exchange_fn) {}

    int transport;
    Exchange exchange;
    // Index 0 is the front of each list: new queries go there.
    std::vector<std::unique_ptr<modbus_query>> pool;
    std::vector<std::unique_ptr<modbus_query>> reads;
    std::vector<std::unique_ptr<modbus_query>> writes;
    unsigned char message[MODBUS_MESSAGE_BUFFER_SIZE] = {};
};

namespace buslink::modbus {

// Function code and data of the longest request or response we keep.
constexpr std::size_t message_capacity = MODBUS_MESSAGE_BUFFER_SIZE;

// MODBUS exception code (the byte after a function code with its top bit
// set) to status 220..229.
constexpr int exception_status(unsigned code)
{
    switch (code) {
    case 1: return BUSLINK_E_EX_ILLEGAL_FUNCTION;
    case 2: return BUSLINK_E_EX_ILLEGAL_ADDRESS;
    case 3: return BUSLINK_E_EX_ILLEGAL_VALUE;
    case 4: return BUSLINK_E_EX_SLAVE_FAILURE;
    case 5: return BUSLINK_E_EX_ACKNOWLEDGE;
    case 6: return BUSLINK_E_EX_SLAVE_BUSY;
    case 8: return BUSLINK_E_EX_MEMORY_PARITY;
    case 10: return BUSLINK_E_EX_GATEWAY_PATH;
    case 11: return BUSLINK_E_EX_GATEWAY_TARGET;
    default: return BUSLINK_E_EXCEPTION;
    }
}

inline uint16_t get_be16(const unsigned char *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

inline void put_be16(unsigned char *p, unsigned value)
{
    p[0] = static_cast<unsigned char>(value >> 8);
    p[1] = static_cast<unsigned char>(value);
}

// A query's request message (function code and data) into msg; 0, or the
// status the query gets unsent (a quantity out of range, a read-only kind).
int build_request(const modbus_query &q, bool read, unsigned char *msg, std::size_t &length);
// Checks a write's response message of n bytes against the address and
// quantity or value (the 4 bytes after the request's function code).
int check_write_response(const unsigned char *msg, std::size_t n, const unsigned char echo[4]);
// Checks a read's response message of n bytes and stores its data in q.
int take_read_response(modbus_query &q, const unsigned char *msg, std::size_t n);

// modbus_query_flush with up to `window` requests outstanding on the TCP
// connection (modbus_tcp.cpp).
int tcp_flush_window(::modbus *m, cl_stats_t *stats, int window);

// Frees every query of a transport object; the transports' delete functions
// call it before freeing themselves.
void delete_queries(::modbus *m);

} // namespace buslink::modbus
