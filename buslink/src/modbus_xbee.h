// MODBUS over XBee radios: the transport object and the API-frame layer
// (escaping, the byte-stream receiver, frame parsing and addressing), kept
// free of I/O so that tests and fuzzers can drive it with bytes.
#pragma once

#include "modbus_query.h"
#include "modbus_rtu.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace buslink::modbus {

constexpr unsigned char xbee_start = 0x7E;
constexpr unsigned char xbee_escape = 0x7D;
constexpr std::size_t xbee_max_frame_data = 0xFFFF;

enum XbeeApi : unsigned char {
    xbee_tx64 = 0x00,
    xbee_tx16 = 0x01,
    xbee_at_command = 0x08,
    xbee_tx_request = 0x10,
    xbee_rx64 = 0x80,
    xbee_rx16 = 0x81,
    xbee_at_response = 0x88,
    xbee_tx_status = 0x89,
    xbee_tx_status2 = 0x8B,
    xbee_rx = 0x90,
};

constexpr bool xbee_needs_escape(unsigned char b)
{
    return b == 0x7E || b == 0x7D || b == 0x11 || b == 0x13;
}

// Wraps frame data into an escaped API frame (start byte, length, data,
// checksum) in out. False for data longer than a frame can announce.
inline bool xbee_encode_frame(const unsigned char *data, std::size_t length, std::vector<unsigned char> &out)
{
    out.clear();
    if (length > xbee_max_frame_data)
        return false;
    auto put = [&out](unsigned char b) {
        if (xbee_needs_escape(b)) {
            out.push_back(xbee_escape);
            out.push_back(static_cast<unsigned char>(b ^ 0x20));
        } else {
            out.push_back(b);
        }
    };
    out.push_back(xbee_start);
    put(static_cast<unsigned char>(length >> 8));
    put(static_cast<unsigned char>(length));
    unsigned sum = 0;
    for (std::size_t i = 0; i < length; ++i) {
        sum += data[i];
        put(data[i]);
    }
    put(static_cast<unsigned char>(0xFF - (sum & 0xFF)));
    return true;
}

// Turns the escaped byte stream from the module into frames. Bytes wait in
// a ring buffer until the parser takes them. A start byte cannot occur
// inside an escaped frame, so one always begins a new frame: a frame cut
// short is dropped and the receiver stays in step.
class XbeeReceiver {
public:
    static constexpr std::size_t ring_capacity = 4096;
    static constexpr std::size_t frame_capacity = 512;

    enum class Event { need_more, frame, bad_checksum, too_long };

    std::size_t free_space() const { return ring_capacity - count_; }

    // Takes as many bytes as there is room for; returns how many.
    std::size_t push(const unsigned char *data, std::size_t length)
    {
        std::size_t taken = 0;
        while (taken < length && count_ < ring_capacity) {
            ring_[(head_ + count_) % ring_capacity] = data[taken++];
            ++count_;
        }
        return taken;
    }

    // Parses buffered bytes until a frame is complete or the buffer is empty.
    Event next()
    {
        while (count_ > 0) {
            unsigned char b = ring_[head_];
            head_ = (head_ + 1) % ring_capacity;
            --count_;
            if (b == xbee_start) {
                state_ = State::length_high;
                escaped_ = false;
                continue;
            }
            if (state_ == State::hunt)
                continue;
            if (b == xbee_escape) {
                escaped_ = true;
                continue;
            }
            if (escaped_) {
                b ^= 0x20;
                escaped_ = false;
            }
            switch (state_) {
            case State::hunt:
                break;
            case State::length_high:
                length_ = static_cast<std::size_t>(b) << 8;
                state_ = State::length_low;
                break;
            case State::length_low:
                length_ |= b;
                if (length_ > frame_capacity) {
                    state_ = State::hunt;
                    return Event::too_long;
                }
                got_ = 0;
                sum_ = 0;
                state_ = length_ > 0 ? State::data : State::checksum;
                break;
            case State::data:
                frame_[got_++] = b;
                sum_ += b;
                if (got_ == length_)
                    state_ = State::checksum;
                break;
            case State::checksum:
                state_ = State::hunt;
                if (((sum_ + b) & 0xFF) != 0xFF)
                    return Event::bad_checksum;
                return Event::frame;
            }
        }
        return Event::need_more;
    }

    // The last complete frame's data, API identifier first.
    const unsigned char *frame() const { return frame_.data(); }
    std::size_t frame_length() const { return length_; }

    void clear()
    {
        head_ = 0;
        count_ = 0;
        state_ = State::hunt;
        escaped_ = false;
        length_ = 0;
    }

private:
    enum class State { hunt, length_high, length_low, data, checksum };

    std::array<unsigned char, ring_capacity> ring_{};
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    std::array<unsigned char, frame_capacity> frame_{};
    State state_ = State::hunt;
    bool escaped_ = false;
    std::size_t length_ = 0;
    std::size_t got_ = 0;
    unsigned sum_ = 0;
};

struct XbeeAtAnswer {
    unsigned char frame_id = 0;
    unsigned char status = 0;
    const unsigned char *value = nullptr;
    std::size_t value_length = 0;
};

// Frame data of an AT command answer (0x88).
inline bool xbee_parse_at_answer(const unsigned char *f, std::size_t n, XbeeAtAnswer &a)
{
    if (n < 5 || f[0] != xbee_at_response)
        return false;
    a.frame_id = f[1];
    a.status = f[4];
    a.value = f + 5;
    a.value_length = n - 5;
    return true;
}

// AT answer status to a common status code.
constexpr int xbee_at_status(unsigned status)
{
    switch (status) {
    case 0: return 0;
    case 1: return BUSLINK_E_AT_ERROR;
    case 2: return BUSLINK_E_INVALID_COMMAND;
    case 3: return BUSLINK_E_INVALID_PARAMETER;
    case 4: return BUSLINK_E_TRANSMIT_FAILURE;
    default: return BUSLINK_E_UNDOCUMENTED;
    }
}

struct XbeeTxStatus {
    unsigned char frame_id = 0;
    unsigned char delivery = 0;
};

// Frame data of a transmit status (0x89 for series 1, 0x8B for series 2).
inline bool xbee_parse_tx_status(const unsigned char *f, std::size_t n, XbeeTxStatus &s)
{
    if (n >= 3 && f[0] == xbee_tx_status) {
        s.frame_id = f[1];
        s.delivery = f[2];
        return true;
    }
    if (n >= 7 && f[0] == xbee_tx_status2) {
        s.frame_id = f[1];
        s.delivery = f[5];
        return true;
    }
    return false;
}

struct XbeeReceive {
    uint32_t link = 0;
    uint32_t unit = 0;
    const unsigned char *data = nullptr;
    std::size_t length = 0;
};

enum class XbeeParse { ok, not_receive, malformed };

inline uint32_t get_be32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Frame data of a receive frame (0x80, 0x81, 0x90) with the node it came
// from: a 16-bit source is link 0 and that unit.
inline XbeeParse xbee_parse_receive(const unsigned char *f, std::size_t n, XbeeReceive &r)
{
    if (n == 0)
        return XbeeParse::not_receive;
    std::size_t header = 0;
    switch (f[0]) {
    case xbee_rx64: header = 11; break;
    case xbee_rx16: header = 5; break;
    case xbee_rx: header = 12; break;
    default: return XbeeParse::not_receive;
    }
    if (n < header)
        return XbeeParse::malformed;
    if (f[0] == xbee_rx16) {
        r.link = 0;
        r.unit = get_be16(f + 1);
    } else {
        r.link = get_be32(f + 1);
        r.unit = get_be32(f + 5);
    }
    r.data = f + header;
    r.length = n - header;
    return XbeeParse::ok;
}

// Frame data of a MODBUS request to a node, "MB" before the message. The
// frame data length.
inline std::size_t xbee_build_request(int series, bool short_addresses, unsigned char frame_id, uint32_t link,
                                      uint32_t unit, const unsigned char *message, std::size_t length,
                                      std::vector<unsigned char> &out)
{
    out.clear();
    auto put32 = [&out](uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<unsigned char>(v >> shift));
    };
    if (series >= 20) {
        out.push_back(xbee_tx_request);
        out.push_back(frame_id);
        put32(link);
        put32(unit);
        out.push_back(0xFF);
        out.push_back(0xFE);
        out.push_back(0); // radius
        out.push_back(0); // options
    } else if (short_addresses) {
        out.push_back(xbee_tx16);
        out.push_back(frame_id);
        out.push_back(static_cast<unsigned char>(unit >> 8));
        out.push_back(static_cast<unsigned char>(unit));
        out.push_back(0);
    } else {
        out.push_back(xbee_tx64);
        out.push_back(frame_id);
        put32(link);
        put32(unit);
        out.push_back(0);
    }
    out.push_back('M');
    out.push_back('B');
    out.insert(out.end(), message, message + length);
    return out.size();
}

// Hardware version (the "HV" answer) to the module series; 0 when unknown.
constexpr int xbee_series_from_hv(unsigned long hv)
{
    switch (hv & 0xFF00) {
    case 0x1700: return 10;
    case 0x1800: return 11;
    case 0x1900: return 20;
    case 0x1A00: return 21;
    case 0x1E00: return 22;
    default: return 0;
    }
}

} // namespace buslink::modbus

struct modbus_xbee : modbus {
    modbus_xbee();

    buslink::posix::Wakeup wakeup; // cuts the port's waits (modbus_xbee_abort)
    buslink::modbus::SerialPtr port;
    unsigned char frame_id = 0;
    buslink::modbus::XbeeReceiver receiver;
    int series = 0;
    int short_addresses = 0;
    int response_timeout_ms = 1000;
    std::vector<unsigned char> frame_data; // outgoing, before escaping
    std::vector<unsigned char> wire;       // outgoing, escaped
};
