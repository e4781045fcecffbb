// LCT-1 transmitter line: the object behind lct1_t and the wire rules of its
// messages. The wire helpers are header-only and pure, so that tests and the
// fuzzer reach them without a port.
//
// Calibration: weight = raw * factor + offset per node 0 to 15, set from two
// points; two points with the same raw reading give no factor and leave the
// node's calibration as it was.
#pragma once

#include "buslink.h"
#include "platform/wakeup.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace buslink::lct1 {

constexpr int max_node = 15;
constexpr std::size_t max_message = 62; // with CR LF
constexpr std::size_t answer_capacity = 63;
constexpr std::size_t max_answer_data = 10;

// Port time-outs: a silence this long after a byte ends the read...
constexpr int interval_ms = 50;
// ...and the whole read may take constant + multiplier x bytes asked.
constexpr int total_multiplier_ms = 50;
constexpr int total_constant_ms = 1500;
constexpr int read_total_ms = total_constant_ms + total_multiplier_ms * static_cast<int>(answer_capacity);

// Data characters an answer to this message number carries; -1 for a number
// the line does not know.
constexpr int data_length(int message)
{
    switch (message) {
    case 3: case 20: return 0;
    case 1: case 10: case 99: return 2;
    case 2: case 50: case 63: return 4;
    case 30: case 31: case 32: case 33: case 34: case 35: case 36:
    case 60: case 71: case 80: return 6;
    case 61: case 62: case 81: case 82: return 10;
    default: return -1;
    }
}

constexpr int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

constexpr char hex_digit(int value)
{
    return "0123456789ABCDEF"[value & 0xF];
}

inline unsigned checksum(std::string_view text)
{
    unsigned sum = 0;
    for (const char c : text)
        sum += static_cast<unsigned char>(c);
    return sum & 0xFF;
}

// The message for node, number and data (null: none) with CR LF, its
// checksum put in when with_checksum, else "??". Empty when the node or
// number has no place in the format or the whole would be too long.
inline std::string format_message(int node, int message, const char *data, bool with_checksum)
{
    if (node < 0 || node > max_node || message < 0 || message > 99)
        return {};
    const std::string_view payload_data = data ? data : "";
    std::string text;
    text.reserve(max_message);
    text += '(';
    text += hex_digit(node);
    text += static_cast<char>('0' + message / 10);
    text += static_cast<char>('0' + message % 10);
    text += payload_data;
    if (with_checksum) {
        const unsigned sum = checksum(std::string_view(text).substr(1));
        text += hex_digit(static_cast<int>(sum >> 4));
        text += hex_digit(static_cast<int>(sum));
    } else {
        text += "??";
    }
    text += ")\r\n";
    if (text.size() > max_message)
        return {};
    return text;
}

// Digits weighted decimally, each read as a hexadecimal digit (-1 for any
// other character), as the transmitter's readings are written.
inline long long decode_digits(std::string_view data)
{
    long long value = 0;
    for (const char c : data)
        value = value * 10 + hex_value(c);
    return value;
}

struct Answer {
    int node = -1;
    int message = 0;
    char data[max_answer_data + 1] = {};
};

// Where a received answer starts: the first opening parenthesis.
inline std::size_t answer_start(std::string_view bytes)
{
    return bytes.find('(');
}

// The byte count after which the answer in bytes is complete (its closing
// parenthesis due), or 0 while it is not or its length cannot be told.
inline std::size_t complete_length(std::string_view bytes)
{
    const std::size_t start = answer_start(bytes);
    if (start == std::string_view::npos || bytes.size() < start + 4)
        return 0;
    const char tens = bytes[start + 2], ones = bytes[start + 3];
    if (tens < '0' || tens > '9' || ones < '0' || ones > '9')
        return 0;
    const int length = data_length((tens - '0') * 10 + (ones - '0'));
    if (length < 0)
        return 0;
    const std::size_t end = start + 1 + 1 + 2 + static_cast<std::size_t>(length) + 2 + 1;
    return bytes.size() >= end ? end : 0;
}

enum class Parse { ok, no_open, bad_node, bad_message, no_close, bad_checksum };

// The checks on a received answer, in their order; fills answer only when
// the answer passes them all.
inline Parse parse_answer(std::string_view bytes, bool with_checksum, Answer &answer)
{
    const std::size_t start = answer_start(bytes);
    if (start == std::string_view::npos)
        return Parse::no_open;
    const std::string_view body = bytes.substr(start + 1);
    if (body.empty() || hex_value(body[0]) < 0)
        return Parse::bad_node;
    if (body.size() < 3 || body[1] < '0' || body[1] > '9' || body[2] < '0' || body[2] > '9')
        return Parse::bad_message;
    const int message = (body[1] - '0') * 10 + (body[2] - '0');
    const int length = data_length(message);
    if (message < 1 || length < 0)
        return Parse::bad_message;
    const std::size_t sum_at = 3 + static_cast<std::size_t>(length);
    if (body.size() < sum_at + 3 || body[sum_at + 2] != ')')
        return Parse::no_close;
    if (with_checksum) {
        const int high = hex_value(body[sum_at]), low = hex_value(body[sum_at + 1]);
        if (high < 0 || low < 0 ||
            static_cast<unsigned>(high * 16 + low) != checksum(body.substr(0, sum_at)))
            return Parse::bad_checksum;
    }
    answer.node = hex_value(body[0]);
    answer.message = message;
    body.substr(3, static_cast<std::size_t>(length)).copy(answer.data, max_answer_data);
    answer.data[length] = '\0';
    return Parse::ok;
}

} // namespace buslink::lct1

struct lct1 {
    int last_error = LCT1_SUCCESS;
    int fd = -1;
    buslink::lct1::Answer answer;
    double offset[buslink::lct1::max_node + 1];
    double factor[buslink::lct1::max_node + 1];
    bool checksum = true;
    std::string system_error;
    buslink::posix::Wakeup wakeup;

    lct1();
    ~lct1();
    lct1(const lct1 &) = delete;
    lct1 &operator=(const lct1 &) = delete;
};
