// The TXIF packet reader sees every byte an adapter (or line noise) sends:
// the received-packet check and every getter on what passed or failed it,
// in a buffer of exactly the packet size so that a read past it shows.
#include "txif.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace tx = buslink::txif;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    auto packet = std::make_unique<unsigned char[]>(TXIF_PACKET_SIZE);
    const size_t received = size < TXIF_PACKET_SIZE ? size : TXIF_PACKET_SIZE;
    std::memcpy(packet.get(), data, received);
    const unsigned char *p = packet.get();

    const int st = tx::check_packet(p, received, TXIF_E_INCOMPLETE);
    if (st == TXIF_SUCCESS) {
        const unsigned n = tx::payload_length(p);
        if (n > tx::max_payload || received < n + 6 || p[n + 3] != tx::end_mark)
            __builtin_trap();
        const uint16_t crc = tx::crc16(p, n + 4);
        if (p[n + 4] != (crc & 0xFF) || p[n + 5] != (crc >> 8))
            __builtin_trap();
    } else if (st != TXIF_E_INCOMPLETE && st != TXIF_E_DATA_FORMAT) {
        __builtin_trap();
    }

    // The getters take any buffer, whatever its length field says.
    unsigned id = 0;
    if (size >= 7)
        std::memcpy(&id, data + 3, sizeof id);
    (void)txif_packet_get_funcode(p);
    (void)txif_get_recipient(p);
    (void)txif_packet_is_full(p);
    const int index = txif_get_setp_index(p, id);
    if (index >= 0) {
        unsigned got = ~id;
        int value = 0;
        const int entry = txif_get_nth_setp_value_i(p, index, &got, &value);
        if (entry >= 0 && got != id)
            __builtin_trap();
    }
    for (int i = -1; i <= 34; ++i) {
        int iv = 0;
        float fv = 0;
        const int a = txif_get_nth_setp_value_i(p, i, nullptr, &iv);
        const int b = txif_get_nth_setp_value_f(p, i, nullptr, &fv);
        if (a != b || a > 255)
            __builtin_trap();
    }
    (void)txif_get_nak_code(p);
    const int nak = txif_get_nak_error(p);
    if (nak != TXIF_E_UNIMPLEMENTED && (nak < -108 || nak > -101))
        __builtin_trap();
    txif_devinfo_t info{};
    (void)txif_packet_get_devinfo(p, &info);

    // A request built from the input stays within the buffer and reads back.
    auto out = std::make_unique<unsigned char[]>(TXIF_PACKET_SIZE);
    if (txif_init_packet_FUN20_WRITE(out.get(), 0, 1) != 0)
        __builtin_trap();
    unsigned entries = 0;
    for (size_t at = 0; at + 6 <= size; at += 6) {
        int32_t v = 0;
        std::memcpy(&v, data + at + 2, sizeof v);
        const int type = data[at] % 9;
        const int r = (data[at + 1] & 1) ? txif_packet_add_setp_value_f(out.get(), entries, type, static_cast<float>(v) / 7)
                                         : txif_packet_add_setp_value_i(out.get(), entries, type, v);
        if (r == TXIF_E_PACKET_FULL)
            break;
        if (r == 0)
            ++entries;
    }
    if (tx::payload_length(out.get()) != 5 + entries * 10 || entries > 32)
        __builtin_trap();
    for (unsigned k = 0; k < entries; ++k) {
        unsigned got = ~k;
        int value = 0;
        if (txif_get_nth_setp_value_i(out.get(), static_cast<int>(k), &got, &value) != 0 || got != k)
            __builtin_trap();
    }
    tx::fill_trailer(out.get());
    if (tx::check_packet(out.get(), 5 + entries * 10 + 6, TXIF_E_INCOMPLETE) != 0)
        __builtin_trap();
    return 0;
}
