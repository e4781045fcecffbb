// DirectNET client internals: the client record, and the pure parts of the
// item syntax, the documentation files and the HEX-mode frames, kept inline
// so that tests and fuzzers reach them without a port.
#pragma once

#include "buslink.h"
#include "platform/posix_serial.h"
#include "platform/wakeup.h"

#include <termios.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace buslink::dnet {

inline constexpr int node_count = 90;
inline constexpr int common_list = node_count; // index of the common nicknames
inline constexpr std::size_t block_chars = 256;
inline constexpr std::size_t header_size = 18;
inline constexpr std::size_t line_limit = 254; // characters of a documentation line

enum : unsigned char { SOH = 0x01, STX = 0x02, ETX = 0x03, EOT = 0x04, ENQ = 0x05, ACK = 0x06, NAK = 0x15,
                       ETB = 0x17 };

enum Direction { dir_write = 1, dir_read = 2 };

inline bool speed_for(int baud, speed_t &speed)
{
    switch (baud) {
    case 300: speed = B300; return true;
    case 600: speed = B600; return true;
    case 1200: speed = B1200; return true;
    case 2400: speed = B2400; return true;
    case 4800: speed = B4800; return true;
    case 9600: speed = B9600; return true;
    case 19200: speed = B19200; return true;
    case 38400: speed = B38400; return true;
    default: return false;
    }
}

// A raw binary line with this driver's codes; 0 or the status of the bad value.
inline int make_line(termios &t, int baud, int parity, int stopbits, int databits)
{
    speed_t speed = B0;
    if (!speed_for(baud, speed))
        return DNETIO_E_BAUDRATE;
    if (parity < 1 || parity > 3)
        return DNETIO_E_PARITY;
    if (stopbits != 1 && stopbits != 2)
        return DNETIO_E_STOPBITS;
    if (databits != 7 && databits != 8)
        return DNETIO_E_DATABITS;
    cfmakeraw(&t);
    t.c_iflag &= ~(IGNPAR | PARMRK | IXON | IXOFF | IXANY | INPCK);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD | (databits == 7 ? CS7 : CS8);
    if (stopbits == 2)
        t.c_cflag |= CSTOPB;
    if (parity != 2) {
        t.c_cflag |= PARENB;
        if (parity == 1)
            t.c_cflag |= PARODD;
        t.c_iflag |= INPCK;
    }
    // Non-blocking descriptor: an empty queue reads as EAGAIN, 0 bytes only on a hang-up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    return 0;
}

// Bytes per element of a data type.
inline unsigned element_size(char type)
{
    switch (type) {
    case 'A': return 4;
    case '2': case '3': case '9': return 1;
    default: return 2;
    }
}

struct Reference {
    char type = 0;
    unsigned address = 0; // as sent: memory address plus one
};

namespace detail {

inline char upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline bool starts_with_nocase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (upper(text[i]) != prefix[i])
            return false;
    return true;
}

// Digits of the base, all of the text; at least one, and the value small
// enough for any reference (the header carries four hex digits).
inline bool parse_number(std::string_view digits, unsigned base, unsigned &value)
{
    if (digits.empty())
        return false;
    value = 0;
    for (const char c : digits) {
        const unsigned d = static_cast<unsigned>(c - '0');
        if (c < '0' || d >= base)
            return false;
        value = value * base + d;
        if (value > 0x10000u * 16u)
            return false;
    }
    return true;
}

} // namespace detail

// Reads a DirectNET reference (Q, CTA, TA, VX, VY, VC, V). False when the
// text is none, or its address does not fit the header's four hex digits.
inline bool parse_reference(std::string_view text, Reference &ref)
{
    using detail::parse_number;
    using detail::starts_with_nocase;
    unsigned n = 0;
    unsigned address = 0;
    if (starts_with_nocase(text, "Q")) {
        // A Q without digits would send address -1.
        if (!parse_number(text.substr(1), 10, n))
            return false;
        ref.type = 'A';
        address = n;
    } else if (starts_with_nocase(text, "CTA")) {
        if (!parse_number(text.substr(3), 8, n))
            return false;
        ref.type = '1';
        address = n + 513;
    } else if (starts_with_nocase(text, "TA")) {
        if (!parse_number(text.substr(2), 8, n))
            return false;
        ref.type = '1';
        address = n + 1;
    } else if (starts_with_nocase(text, "V")) {
        ref.type = '1';
        const std::string_view rest = text.substr(1);
        const char bank = rest.empty() ? 0 : detail::upper(rest[0]);
        const unsigned base = bank == 'X' ? 16640 : bank == 'Y' ? 16704 : bank == 'C' ? 16768 : 0;
        if (base) {
            if (!parse_number(rest.substr(1), 8, n))
                return false;
            address = n / 16 + base + 1;
        } else if (parse_number(rest, 8, n)) {
            address = n + 1;
        } else {
            address = 0; // the PLC refuses it
        }
    } else {
        return false;
    }
    if (address > 0xFFFF)
        return false;
    ref.address = address;
    return true;
}

// The (item, nickname) pairs of a documentation file: per line the first
// field and the second; '#' outside quotes ends the useful part, '"' toggles
// quoting and is dropped, ',' outside quotes separates fields. A line longer
// than the limit counts with its first characters only.
inline std::vector<std::pair<std::string, std::string>> parse_documentation(std::string_view text)
{
    std::vector<std::pair<std::string, std::string>> pairs;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(pos, std::min(end - pos, line_limit));
        pos = end + 1;

        std::string fields[2];
        int field = 0;
        bool quoted = false;
        for (const char c : line) {
            if (c == '\0' || (c == '#' && !quoted))
                break;
            if (c == '"') {
                quoted = !quoted;
            } else if (c == ',' && !quoted) {
                if (++field == 2)
                    break;
            } else if (field < 2) {
                fields[field] += c;
            }
        }
        if (field >= 1)
            pairs.emplace_back(std::move(fields[0]), std::move(fields[1]));
    }
    return pairs;
}

inline unsigned char lrc(const unsigned char *data, std::size_t length)
{
    unsigned char x = 0;
    for (std::size_t i = 0; i < length; ++i)
        x ^= data[i];
    return x;
}

inline void put_hex(unsigned char *out, unsigned value, int digits)
{
    static const char hex[] = "0123456789ABCDEF";
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = static_cast<unsigned char>(hex[value & 0xF]);
        value >>= 4;
    }
}

// -1 for anything but a hex digit (either case).
inline int hex_value(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The HEX-mode header of a run of `bytes` data bytes.
inline std::array<unsigned char, header_size> make_header(int node, bool write, char type, unsigned address,
                                                         std::size_t bytes)
{
    const std::size_t chars = bytes * 2;
    std::array<unsigned char, header_size> h{};
    h[0] = SOH;
    put_hex(&h[1], static_cast<unsigned>(node), 2);
    h[3] = write ? '8' : '0';
    h[4] = static_cast<unsigned char>(type);
    put_hex(&h[5], address, 4);
    put_hex(&h[9], static_cast<unsigned>(chars / block_chars), 2);
    put_hex(&h[11], static_cast<unsigned>(chars % block_chars), 2);
    h[13] = '0';
    h[14] = '0';
    h[15] = ETB;
    put_hex(&h[16], lrc(&h[1], 14), 2);
    return h;
}

// The PLC's answer to an enquiry: "N", node + 0x20, ACK, then CR or LF.
inline bool enquiry_answer_ok(const unsigned char *answer, int node)
{
    return answer[0] == 'N' && answer[1] == static_cast<unsigned char>(node + 0x20) && answer[2] == ACK &&
           (answer[3] == '\r' || answer[3] == '\n');
}

// One read block as it follows its STX: `chars` data characters, the end
// character, two LRC characters and one more byte. Decodes the data into
// out (chars / 2 bytes) only when the block is sound: 0, 13 for a wrong end
// or a character that is not hex, 14 for a wrong LRC.
inline int check_read_block(const unsigned char *block, std::size_t chars, bool last, unsigned char *out)
{
    if (chars % 2 != 0 || block[chars] != (last ? ETX : ETB))
        return DNETIO_E_ERRONEOUS_RESPONSE;
    const int hi = hex_value(block[chars + 1]);
    const int lo = hex_value(block[chars + 2]);
    if (hi < 0 || lo < 0)
        return DNETIO_E_ERRONEOUS_RESPONSE;
    for (std::size_t i = 0; i < chars; ++i)
        if (hex_value(block[i]) < 0)
            return DNETIO_E_ERRONEOUS_RESPONSE;
    if (lrc(block, chars) != static_cast<unsigned char>(hi << 4 | lo))
        return DNETIO_E_CHECKSUM;
    for (std::size_t i = 0; i < chars; i += 2)
        out[i / 2] = static_cast<unsigned char>(hex_value(block[i]) << 4 | hex_value(block[i + 1]));
    return 0;
}

struct Nickname {
    std::string name;
    std::string item;
};

// One exchange with a PLC: a stretch of one data type, read or written.
struct Run {
    int node;
    char type;
    unsigned address; // of the first element
    int direction;
    std::vector<unsigned char> data;
    int status = DNETIO_E_NOT_EXECUTED;

    unsigned elements() const { return static_cast<unsigned>(data.size()) / element_size(type); }
};

} // namespace buslink::dnet

struct dnetio {
    buslink::posix::UniqueFd fd;
    int last_error = 0;
    std::string system_error;
    int mode = 0;
    // One list per node and the common one last; newest nicknames at the end.
    std::array<std::vector<buslink::dnet::Nickname>, buslink::dnet::node_count + 1> nicknames;
    bool case_sensitive = false;
    std::vector<buslink::dnet::Run> runs;
    buslink::posix::Wakeup wakeup;
};
