#include "stats.h"

#include "core.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

struct Piece {
    const void *data;
    std::size_t length;
};

// A piece without bytes is counted with its length but has nothing to keep
// or show.
Piece piece(unsigned length, const void *data)
{
    return {data, data ? length : 0u};
}

void append_packet(cl_stats_t *stats, int direction, Piece first, Piece second = {nullptr, 0})
{
    const std::size_t length = first.length + second.length;
    if (length > UINT_MAX)
        return;
    auto *packet = static_cast<cl_packet_t *>(std::calloc(1, sizeof(cl_packet_t)));
    if (!packet)
        return;
    // One byte longer than the data, so that text payloads are terminated.
    packet->data = static_cast<unsigned char *>(std::calloc(length + 1, 1));
    if (!packet->data) {
        std::free(packet);
        return;
    }
    if (first.length)
        std::memcpy(packet->data, first.data, first.length);
    if (second.length)
        std::memcpy(packet->data + first.length, second.data, second.length);
    packet->direction = direction;
    packet->length = static_cast<unsigned>(length);

    cl_packet_t **tail = &stats->packets;
    while (*tail)
        tail = &(*tail)->next;
    *tail = packet;
}

void dump_packet(int direction, Piece first, Piece second = {nullptr, 0})
{
    buslink_oprintf(direction == CL_PACKET_INCOMING ? "<\n" : ">\n");
    buslink_hexdump(stdout, static_cast<const unsigned char *>(first.data), first.length, 2);
    if (second.length)
        buslink_hexdump(stdout, static_cast<const unsigned char *>(second.data), second.length, 2);
}

} // namespace

extern "C" {

BUSLINK_API void cl_stats_init(cl_stats_t *stats, int print)
{
    if (!stats)
        return;
    stats->out_packets = 0;
    stats->in_packets = 0;
    stats->out_bytes = 0;
    stats->in_bytes = 0;
    stats->print = print;
    stats->collect = 0;
    stats->packets = nullptr;
}

BUSLINK_API void cl_stats_collect_packets(cl_stats_t *stats, int on)
{
    if (stats)
        stats->collect = on;
}

BUSLINK_API void cl_stats_clear_packets(cl_stats_t *stats)
{
    if (!stats)
        return;
    cl_packet_t *packet = stats->packets;
    while (packet) {
        cl_packet_t *next = packet->next;
        std::free(packet->data);
        std::free(packet);
        packet = next;
    }
    stats->packets = nullptr;
}

BUSLINK_API void cl_stats_finalize(cl_stats_t *stats)
{
    cl_stats_clear_packets(stats);
}

BUSLINK_API void cl_stats_register_outgoing(cl_stats_t *stats, unsigned length, const void *data)
{
    if (!stats)
        return;
    stats->out_packets++;
    stats->out_bytes += length;
    const Piece bytes = piece(length, data);
    if (stats->print)
        dump_packet(CL_PACKET_OUTGOING, bytes);
    if (stats->collect)
        append_packet(stats, CL_PACKET_OUTGOING, bytes);
}

BUSLINK_API void cl_stats_register_incoming(cl_stats_t *stats, unsigned length, const void *data)
{
    if (!stats)
        return;
    stats->in_packets++;
    stats->in_bytes += length;
    const Piece bytes = piece(length, data);
    if (stats->collect)
        append_packet(stats, CL_PACKET_INCOMING, bytes);
    if (stats->print)
        dump_packet(CL_PACKET_INCOMING, bytes);
}

BUSLINK_API void cl_stats_register_incoming_c2(cl_stats_t *stats, unsigned length1, const void *data1,
                                               unsigned length2, const void *data2)
{
    if (!stats)
        return;
    stats->in_packets++;
    stats->in_bytes += length1 + length2;
    const Piece head = piece(length1, data1);
    const Piece body = piece(length2, data2);
    if (stats->collect)
        append_packet(stats, CL_PACKET_INCOMING, head, body);
    if (stats->print)
        dump_packet(CL_PACKET_INCOMING, head, body);
}

BUSLINK_API void cl_stats_print(const cl_stats_t *stats, FILE *stream)
{
    if (!stats)
        return;
    buslink_fprintf(stream, "Outgoing: %lu packets (%lu bytes)\n", static_cast<unsigned long>(stats->out_packets),
                    static_cast<unsigned long>(stats->out_bytes));
    buslink_fprintf(stream, "Incoming: %lu packets (%lu bytes)\n", static_cast<unsigned long>(stats->in_packets),
                    static_cast<unsigned long>(stats->in_bytes));
}

BUSLINK_API void cl_stats_packet_print(const cl_packet_t *packet)
{
    if (!packet)
        return;
    dump_packet(packet->direction, {packet->data, packet->data ? packet->length : 0u});
}

BUSLINK_API int cl_stats_packet_cmp(const cl_packet_t *packet, const void *data, unsigned length)
{
    if (!packet)
        return (!data || length == 0) ? 1 : 0;
    if (packet->length != length)
        return 0;
    if (length == 0)
        return 1;
    if (!data || !packet->data)
        return 0;
    return std::memcmp(packet->data, data, length) == 0 ? 1 : 0;
}

} // extern "C"
