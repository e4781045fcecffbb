#include "txif.h"

#include <cmath>
#include <cstring>

namespace buslink::txif {

namespace {

void put16(unsigned char *p, unsigned v)
{
    p[0] = static_cast<unsigned char>(v & 0xFF);
    p[1] = static_cast<unsigned char>((v >> 8) & 0xFF);
}

void put32(unsigned char *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>((v >> (8 * i)) & 0xFF);
}

unsigned get16(const unsigned char *p)
{
    return p[0] | (static_cast<unsigned>(p[1]) << 8);
}

uint32_t get32(const unsigned char *p)
{
    return p[0] | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

uint32_t float_bits(float f)
{
    uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

bool valid_type(int type)
{
    return type >= TXIF_TYPE_S8 && type <= TXIF_TYPE_FLOAT;
}

// The wire form of an integer of the type: its low bytes, the others zero.
uint32_t integer_bits(int type, int64_t value)
{
    const uint32_t raw = static_cast<uint32_t>(value);
    switch (type) {
    case TXIF_TYPE_S8:
    case TXIF_TYPE_U8:
        return raw & 0xFF;
    case TXIF_TYPE_S16:
    case TXIF_TYPE_U16:
        return raw & 0xFFFF;
    default:
        return raw;
    }
}

// A float truncated toward zero and held within the type's range.
int64_t truncated(int type, double v)
{
    if (!std::isfinite(v))
        return 0;
    double lo = -2147483648.0, hi = 2147483647.0;
    switch (type) {
    case TXIF_TYPE_S8: lo = -128, hi = 127; break;
    case TXIF_TYPE_U8: lo = 0, hi = 255; break;
    case TXIF_TYPE_S16: lo = -32768, hi = 32767; break;
    case TXIF_TYPE_U16: lo = 0, hi = 65535; break;
    case TXIF_TYPE_U32: lo = 0, hi = 4294967295.0; break;
    default: break;
    }
    v = std::trunc(v);
    return static_cast<int64_t>(v < lo ? lo : v > hi ? hi : v);
}

// Where a packet's entries start and how long each is; false for a packet
// without entries.
bool entry_layout(int funcode, unsigned &start, unsigned &size)
{
    switch (funcode) {
    case TXIF_FUN10_READ:
        start = 8, size = 8;
        return true;
    case TXIF_FUN20_WRITE:
        start = 8, size = 10;
        return true;
    case TXIF_FUN110_READ_ANSWER:
        start = 3, size = 10;
        return true;
    default:
        return false;
    }
}

// The end of the payload, bounded so that a stray length field never
// reaches past a packet buffer.
unsigned payload_end(const unsigned char *packet)
{
    const unsigned n = payload_length(packet);
    return header_size + (n < max_payload ? n : max_payload);
}

int init_request(unsigned char *packet, int funcode, int network, unsigned node)
{
    if (!packet)
        return TXIF_E_FUNCTION;
    // The network goes on the wire as one byte.
    if (network == 0) {
        if (node > 254)
            return TXIF_E_NODE;
    } else if (network != 1 && network != 255) {
        return TXIF_E_NETWORK;
    }
    packet[0] = static_cast<unsigned char>(funcode);
    put16(packet + 1, 5);
    packet[3] = static_cast<unsigned char>(network);
    put32(packet + 4, node);
    return TXIF_SUCCESS;
}

int add_value(unsigned char *packet, unsigned id, int type, uint32_t bits)
{
    if (!packet || packet[0] != TXIF_FUN20_WRITE)
        return TXIF_E_FUNCTION;
    const unsigned n = payload_length(packet);
    const unsigned at = header_size + n;
    if (at >= 323)
        return TXIF_E_PACKET_FULL;
    if (!valid_type(type))
        return TXIF_E_DATA_FORMAT;
    put32(packet + at, id);
    packet[at + 4] = static_cast<unsigned char>(type);
    packet[at + 5] = 0;
    put32(packet + at + 6, bits);
    put16(packet + 1, n + 10);
    return TXIF_SUCCESS;
}

// Entry `index` of a read answer or write request: its status byte, with
// the identifier, type and raw value; or a negative status.
int nth_entry(const unsigned char *packet, int index, unsigned &id, int &type, uint32_t &raw)
{
    if (!packet)
        return TXIF_E_FUNCTION;
    unsigned start = 0, size = 0;
    if (packet[0] != TXIF_FUN110_READ_ANSWER && packet[0] != TXIF_FUN20_WRITE)
        return TXIF_E_FUNCTION;
    entry_layout(packet[0], start, size);
    if (index < 0 || index > 32)
        return TXIF_E_INDEX;
    const unsigned at = start + static_cast<unsigned>(index) * size;
    if (at + size > payload_end(packet))
        return TXIF_E_INDEX;
    type = packet[at + 4];
    if (!valid_type(type))
        return TXIF_E_DATA_FORMAT;
    id = get32(packet + at);
    raw = get32(packet + at + 6);
    return packet[at + 5];
}

double decode(int type, uint32_t raw)
{
    switch (type) {
    case TXIF_TYPE_S8: return static_cast<int8_t>(raw & 0xFF);
    case TXIF_TYPE_U8: return raw & 0xFF;
    case TXIF_TYPE_S16: return static_cast<int16_t>(raw & 0xFFFF);
    case TXIF_TYPE_U16: return raw & 0xFFFF;
    case TXIF_TYPE_S32: return static_cast<int32_t>(raw);
    case TXIF_TYPE_U32: return raw;
    default: {
        float f = 0;
        std::memcpy(&f, &raw, sizeof f);
        return f;
    }
    }
}

} // namespace

uint16_t crc16(const unsigned char *data, std::size_t length)
{
    uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

unsigned payload_length(const unsigned char *packet)
{
    return get16(packet + 1);
}

void fill_trailer(unsigned char *packet)
{
    const unsigned at = header_size + payload_length(packet);
    packet[at] = end_mark;
    put16(packet + at + 1, crc16(packet, at + 1));
}

int check_packet(const unsigned char *packet, std::size_t received, int short_status)
{
    if (received < header_size)
        return short_status;
    const unsigned n = payload_length(packet);
    if (n > max_payload)
        return TXIF_E_DATA_FORMAT;
    const unsigned at = header_size + n;
    if (received < at + trailer_size)
        return short_status;
    if (packet[at] != end_mark || get16(packet + at + 1) != crc16(packet, at + 1))
        return TXIF_E_DATA_FORMAT;
    return TXIF_SUCCESS;
}

} // namespace buslink::txif

namespace tx = buslink::txif;

extern "C" {

BUSLINK_API void txif_prepare_packet(unsigned char *)
{
}

BUSLINK_API int txif_init_packet_FUN10_READ(unsigned char *packet, int network, unsigned node)
{
    return tx::init_request(packet, TXIF_FUN10_READ, network, node);
}

BUSLINK_API int txif_init_packet_FUN20_WRITE(unsigned char *packet, int network, unsigned node)
{
    return tx::init_request(packet, TXIF_FUN20_WRITE, network, node);
}

BUSLINK_API int txif_init_packet_FUN30_DEVINFOREQ(unsigned char *packet)
{
    if (!packet)
        return TXIF_E_FUNCTION;
    packet[0] = TXIF_FUN30_DEVINFOREQ;
    tx::put16(packet + 1, 0);
    packet[3] = tx::end_mark;
    return TXIF_SUCCESS;
}

BUSLINK_API int txif_packet_add_setp_request(unsigned char *packet, unsigned id, int type)
{
    // Read entries in any other packet would be taken for something else.
    if (!packet || packet[0] != TXIF_FUN10_READ)
        return TXIF_E_FUNCTION;
    const unsigned n = tx::payload_length(packet);
    const unsigned at = tx::header_size + n;
    if (at >= 264)
        return TXIF_E_PACKET_FULL;
    if (!tx::valid_type(type))
        return TXIF_E_DATA_FORMAT;
    tx::put32(packet + at, id);
    packet[at + 4] = static_cast<unsigned char>(type);
    packet[at + 5] = packet[at + 6] = packet[at + 7] = 0;
    tx::put16(packet + 1, n + 8);
    return TXIF_SUCCESS;
}

BUSLINK_API int txif_packet_add_setp_value_i(unsigned char *packet, unsigned id, int type, int value)
{
    const uint32_t bits = type == TXIF_TYPE_FLOAT ? tx::float_bits(static_cast<float>(value))
                                                  : tx::integer_bits(type, value);
    return tx::add_value(packet, id, type, bits);
}

BUSLINK_API int txif_packet_add_setp_value_f(unsigned char *packet, unsigned id, int type, float value)
{
    const uint32_t bits =
        type == TXIF_TYPE_FLOAT ? tx::float_bits(value) : tx::integer_bits(type, tx::truncated(type, value));
    return tx::add_value(packet, id, type, bits);
}

BUSLINK_API int txif_packet_is_full(const unsigned char *packet)
{
    if (!packet)
        return TXIF_E_FUNCTION;
    const unsigned n = tx::payload_length(packet);
    switch (packet[0]) {
    case TXIF_FUN10_READ: return n >= 93 ? 1 : 0;
    case TXIF_FUN20_WRITE: return n >= 115 ? 1 : 0;
    case TXIF_FUN110_READ_ANSWER: return n / 10 >= TXIF_PACKET_ENTRIES ? 1 : 0;
    default: return TXIF_E_FUNCTION;
    }
}

BUSLINK_API int txif_packet_get_funcode(const unsigned char *packet)
{
    return packet ? static_cast<int>(packet[0]) : static_cast<int>(TXIF_E_FUNCTION);
}

BUSLINK_API long long txif_get_recipient(const unsigned char *packet)
{
    if (!packet || (packet[0] != TXIF_FUN10_READ && packet[0] != TXIF_FUN20_WRITE))
        return TXIF_E_FUNCTION;
    return tx::get32(packet + 4);
}

BUSLINK_API int txif_get_setp_index(const unsigned char *packet, unsigned id)
{
    unsigned start = 0, size = 0;
    if (!packet || !tx::entry_layout(packet[0], start, size))
        return TXIF_E_FUNCTION;
    const unsigned end = tx::payload_end(packet);
    for (unsigned at = start, index = 0; at + size <= end; at += size, ++index)
        if (tx::get32(packet + at) == id)
            return static_cast<int>(index);
    return TXIF_E_NOT_IN_PACKET;
}

BUSLINK_API int txif_get_nth_setp_value_i(const unsigned char *packet, int index, unsigned *id, int *value)
{
    unsigned i = 0;
    int type = 0;
    uint32_t raw = 0;
    const int status = tx::nth_entry(packet, index, i, type, raw);
    if (status < 0)
        return status;
    if (id)
        *id = i;
    if (value) {
        // Integers keep their 32 bits (an unsigned one above INT_MAX wraps);
        // floats are truncated into an int's range.
        if (type == TXIF_TYPE_FLOAT) {
            const double t = tx::decode(type, raw);
            *value = !std::isfinite(t) ? 0
                     : t >= 2147483647.0 ? 2147483647
                     : t <= -2147483648.0 ? (-2147483647 - 1)
                                          : static_cast<int>(t);
        } else {
            *value = static_cast<int>(static_cast<int64_t>(tx::decode(type, raw)));
        }
    }
    return status;
}

BUSLINK_API int txif_get_nth_setp_value_f(const unsigned char *packet, int index, unsigned *id, float *value)
{
    unsigned i = 0;
    int type = 0;
    uint32_t raw = 0;
    const int status = tx::nth_entry(packet, index, i, type, raw);
    if (status < 0)
        return status;
    if (id)
        *id = i;
    if (value)
        *value = static_cast<float>(tx::decode(type, raw));
    return status;
}

BUSLINK_API int txif_get_nak_code(const unsigned char *packet)
{
    if (!packet || packet[0] != TXIF_FUN255_NAK)
        return TXIF_E_FUNCTION;
    if (tx::payload_length(packet) < 2)
        return TXIF_E_DATA_FORMAT;
    return static_cast<int>(tx::get16(packet + 3));
}

BUSLINK_API int txif_nak_to_error(int code)
{
    if (code >= 1 && code <= 7)
        return -100 - code;
    if (code == 100)
        return TXIF_E_NAK_NOT_READY;
    return TXIF_E_UNIMPLEMENTED;
}

BUSLINK_API int txif_get_nak_error(const unsigned char *packet)
{
    const int code = txif_get_nak_code(packet);
    return code < 0 ? TXIF_E_UNIMPLEMENTED : txif_nak_to_error(code);
}

BUSLINK_API int txif_packet_get_devinfo(const unsigned char *packet, txif_devinfo_t *info)
{
    if (!packet || packet[0] != TXIF_FUN130_DEVINFO)
        return TXIF_E_FUNCTION;
    if (tx::payload_length(packet) < 14)
        return TXIF_E_DATA_FORMAT;
    if (!info)
        return TXIF_SUCCESS;
    const unsigned char *p = packet + tx::header_size;
    info->type = p[0];
    info->version_major = p[1];
    info->version_minor = p[2];
    info->version_patch = p[3];
    info->node = p[4];
    info->next_node = p[5];
    info->reconf = static_cast<int32_t>(tx::get32(p + 6));
    info->status = p[10];
    info->diag_status = p[11];
    info->params = static_cast<uint16_t>(tx::get16(p + 12));
    return TXIF_SUCCESS;
}

BUSLINK_API void txif_print_devinfo(const txif_devinfo_t *info, FILE *stream, const char *prefix)
{
    if (!info || !stream)
        return;
    const char *p = prefix ? prefix : "";
    const char *type = info->type == 1 ? "TXIF USB" : info->type == 2 ? "TXIF 232" : "Unknown";
    std::fprintf(stream, "%sType: %s\n", p, type);
    std::fprintf(stream, "%sVersion: %u.%u.%u\n", p, info->version_major, info->version_minor, info->version_patch);
    std::fprintf(stream, "%sParameters: %u\n", p, static_cast<unsigned>(info->params));
    std::fprintf(stream, "%sARCNET:\n", p);
    std::fprintf(stream, "%s  Node: %u\n", p, static_cast<unsigned>(info->node));
    std::fprintf(stream, "%s  Next node: %u\n", p, static_cast<unsigned>(info->next_node));
    std::fprintf(stream, "%s  Reconf: %d\n", p, static_cast<int>(info->reconf));
    std::fprintf(stream, "%s  Status: %u\n", p, static_cast<unsigned>(info->status));
    std::fprintf(stream, "%s  Diag. status: %u\n", p, static_cast<unsigned>(info->diag_status));
}

BUSLINK_API const char *txif_get_error_string(int code)
{
    switch (code) {
    case 0: return "Success";
    case -1: return "No USB-bus found";
    case -2: return "Failed to get device list";
    case -3: return "TXIF device not found";
    case -4: return "Unable to open TXIF device";
    case -5: return "Unable to claim TXIF device";
    case -6: return "No connection";
    case -7: return "Failed to send packet";
    case -8: return "Invalid network";
    case -9: return "Invalid node number";
    case -10: return "Maximum setpoint count of packet reached";
    case -11: return "Failed to enable bitbang mode";
    case -12: return "Failed to set baud rate";
    case -13: return "Failed to initialize USB-device";
    case -14: return "Failed to purge read/write buffer";
    case -15: return "Failed to read from USB-device";
    case -16: return "Timeout while waiting for packet from TXIF";
    case -17: return "Full packet not receieved";
    case -18: return "Internal error: illegal function code for the operation";
    case -19: return "Invalid index";
    case -20: return "Illegal data format";
    case -21: return "Setpoint not found in packet";
    case -101: return "Illegal function code";
    case -102: return "Unavailable network";
    case -103: return "Invalid node";
    case -104: return "Timeout on remote device";
    case -105: return "Illegal format";
    case -106: return "Illegal setpoint";
    case -107: return "Generic error";
    case -108: return "Internal TXIF setpoints not ready";
    case -200: return "You have struck an unimplemented function!";
    default: return "Undocumented error code";
    }
}

} // extern "C"
