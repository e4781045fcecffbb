// The TXIF adapter: its packet rules as pure functions (txif_packet.cpp),
// and the adapter object with its USB and RS-232 transports (txif.cpp).
#pragma once

#include "buslink.h"
#include "platform/wakeup.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace buslink::txif {

constexpr unsigned header_size = 3;
constexpr unsigned trailer_size = 3;
constexpr unsigned max_payload = TXIF_PACKET_SIZE - header_size - trailer_size;
constexpr unsigned char end_mark = 0x04;
constexpr int default_timeout_ms = 2500;
constexpr int default_vendor = 0x0403;
constexpr int default_product = 0x6001;
constexpr unsigned usb_baud = 20000;

// The MODBUS CRC-16: reflected polynomial 0xA001, start 0xFFFF.
uint16_t crc16(const unsigned char *data, std::size_t length);

unsigned payload_length(const unsigned char *packet);
// Puts the end mark and CRC behind the payload; the length must be at most
// max_payload.
void fill_trailer(unsigned char *packet);

// Judges the `received` bytes of an answer (header first): 0 for a whole
// packet with a good trailer, TXIF_E_DATA_FORMAT for a length field above
// max_payload or a bad trailer, `short_status` when fewer than n + 6 bytes
// came.
int check_packet(const unsigned char *packet, std::size_t received, int short_status);

// One of the two transports; each operation answers a status code.
class Transport {
public:
    virtual ~Transport() = default;
    virtual int disconnect() = 0;
    virtual int purge() = 0;
    virtual int send(unsigned char *packet) = 0;
    virtual int read(unsigned char *packet) = 0;
    virtual int connect() = 0;
    virtual void set_timeout(int ms) = 0;
    // Connected, and (for a serial line) the line still there.
    virtual bool up() const = 0;
};

} // namespace buslink::txif

struct txif {
    buslink::posix::Wakeup wakeup; // cuts the waits (txif_abort)
    std::unique_ptr<buslink::txif::Transport> transport;
    int timeout = buslink::txif::default_timeout_ms;
    std::string system_error; // of the last failed serial open
};
