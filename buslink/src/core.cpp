#include "core.h"

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <thread>

namespace {

struct CodeText {
    int code;
    const char *text;
};

constexpr CodeText status_texts[] = {
    {0, "Success"},
    {1, "Success (true)"},
    {2, "Success (false)"},
    {3, "Oops, you've hit an unimplemented function"},
    {4, "Undocumented error"},
    {5, "Invalid data type"},
    {100, "No response"},
    {101, "Short response"},
    {102, "Checksum mismatch"},
    {103, "Not delivered"},
    {104, "Read operation failed"},
    {105, "Write operation failed"},
    {106, "Timeout"},
    {107, "No connection"},
    {108, "Quantity out of bounds"},
    {109, "Item not found in query"},
    {110, "No data"},
    {111, "Invalid response"},
    {200, "Unexpected response"},
    {201, "Unexpected response data"},
    {202, "Response from unexpected node"},
    {203, "Illegal item"},
    {204, "Read only parameter"},
    {205, "Query not flushed"},
    {206, "Invalid serial port"},
    {207, "Unexpected transaction id in frame"},
    {208, "Non-MODBUS frame received"},
    {220, "Error exception (unsupported)"},
    {221, "Error exception: illegal function"},
    {222, "Error exception: illegal data address"},
    {223, "Error exception: illegal data value"},
    {224, "Error exception: slave device failure"},
    {225, "Error exception: acknowledge"},
    {226, "Error exception: slave device busy"},
    {227, "Error exception: memory parity error"},
    {228, "Error exception: gateway path unavailable"},
    {229, "Error exception: gateway target device failed to respond"},
    {300, "Max payload exceeded"},
    {301, "Invalid parameter"},
    {302, "Buffer overflow"},
    {303, "Max packet length exceeded"},
    {304, "Too short buffer"},
    {305, "Invalid frame type"},
    {306, "AT error"},
    {307, "Invalid command"},
    {308, "Transmit failure"},
};

constexpr CodeText arcnet_texts[] = {
    {0, "Success"},
    {1, "Incomplete read"},
    {2, "Incomplete write"},
    {3, "Disconnected"},
    {4, "Timeout"},
    {5, "Read failed"},
    {6, "Write failed"},
    {10, "Connect failed"},
    {11, "Illegal node number"},
    {12, "Ioctl failed"},
    {20, "Unexpected packet ignored"},
    {100, "Request limit reached"},
    {101, "Setpoint not found in request"},
    {102, "Illegal setpoint data format"},
    {103, "Unknown setpoint"},
    {104, "Setpoint read error"},
    {110, "Illegal packet"},
    // Spelling kept: callers and logs may match on it.
    {254, "Inernal error: function not implemented"},
    {255, "No error description"},
};

template <std::size_t N>
const char *find_text(const CodeText (&table)[N], int code)
{
    for (const CodeText &entry : table)
        if (entry.code == code)
            return entry.text;
    return nullptr;
}

struct TypeInfo {
    const char *name;
    int bits;
    bool is_float;
};

constexpr TypeInfo type_table[] = {
    {"Invalid type", 0, false}, {"u8", 8, false},   {"i8", 8, false},     {"u16", 16, false},
    {"i16", 16, false},         {"u32", 32, false}, {"i32", 32, false},   {"f", 32, true},
    {"d", 64, true},            {"bcd16", 16, false}, {"bcd32", 32, false},
};

const TypeInfo *type_info(int type)
{
    if (type < 0 || type >= static_cast<int>(std::size(type_table)))
        return nullptr;
    return &type_table[type];
}

char lower(char c)
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool has_letter(const char *text, char letter)
{
    for (; *text; ++text)
        if (lower(*text) == letter)
            return true;
    return false;
}

} // namespace

int buslink_vfprintf(FILE *stream, const char *format, va_list args)
{
    if (!stream || !format)
        return 0;
    return std::vfprintf(stream, format, args);
}

int buslink_fprintf(FILE *stream, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = buslink_vfprintf(stream, format, args);
    va_end(args);
    return n;
}

int buslink_eprintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = buslink_vfprintf(stderr, format, args);
    va_end(args);
    return n;
}

int buslink_oprintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = buslink_vfprintf(stdout, format, args);
    va_end(args);
    return n;
}

int buslink_snprintf(char *buffer, std::size_t size, const char *format, ...)
{
    if (!buffer || size == 0 || !format)
        return -1;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, size, format, args);
    va_end(args);
    if (n < 0 || static_cast<std::size_t>(n) >= size)
        return -1;
    return n;
}

void buslink_hexdump(FILE *stream, const unsigned char *data, std::size_t length, int indent)
{
    if (!stream || !data)
        return;
    if (indent < 0)
        indent = 0;
    constexpr std::size_t per_line = 8;
    for (std::size_t offset = 0; offset < length; offset += per_line) {
        const std::size_t count = length - offset < per_line ? length - offset : per_line;
        // Text column, two spaces, then three characters per byte.
        char line[per_line + 2 + per_line * 3 + 1];
        char *p = line;
        for (std::size_t i = 0; i < per_line; ++i) {
            if (i < count) {
                const unsigned char c = data[offset + i];
                *p++ = (c >= 0x20 && c <= 0x7F) ? static_cast<char>(c) : '.';
            } else {
                *p++ = ' ';
            }
        }
        *p++ = ' ';
        *p++ = ' ';
        static const char digits[] = "0123456789ABCDEF";
        for (std::size_t i = 0; i < count; ++i) {
            const unsigned char c = data[offset + i];
            *p++ = digits[c >> 4];
            *p++ = digits[c & 0x0F];
            *p++ = ' ';
        }
        *p = '\0';
        // The indent is written separately, so any indent fits.
        std::fprintf(stream, "%*s%s\n", indent, "", line);
    }
}

extern "C" {

BUSLINK_API const char *buslink_errmsg(int code)
{
    if (const char *text = find_text(status_texts, code))
        return text;
    buslink_eprintf("modbus_errmsg: undocumented errno %d\n", code);
    return "Unknown error";
}

BUSLINK_API const char *arcnet_errmsg(int code)
{
    if (const char *text = find_text(arcnet_texts, code))
        return text;
    return "Internal error: no documentation for error code";
}

BUSLINK_API void buslink_print_hexm(FILE *stream, const unsigned char *data, int length, int indent)
{
    if (length < 1)
        return;
    buslink_hexdump(stream, data, static_cast<std::size_t>(length), indent);
}

BUSLINK_API const char *cl_type_to_string(int type)
{
    const TypeInfo *info = type_info(type);
    return info ? info->name : "Unknown type";
}

BUSLINK_API int cl_get_type_size_bits(int type)
{
    const TypeInfo *info = type_info(type);
    return info ? info->bits : 0;
}

BUSLINK_API int cl_get_type_size_bytes(int type)
{
    return cl_get_type_size_bits(type) / 8;
}

BUSLINK_API int cl_is_type_float(int type)
{
    const TypeInfo *info = type_info(type);
    return info && info->is_float ? 1 : 0;
}

BUSLINK_API int cl_string_to_type(const char *text, int fallback)
{
    if (!text)
        return fallback;
    const char first = lower(text[0]);
    const char *rest = first ? text + 1 : text;
    auto is = [&](const char *s) { return std::strcmp(rest, s) == 0; };
    switch (first) {
    case 'f':
        if (is("") || is("32"))
            return CL_TYPE_FLOAT;
        if (is("64"))
            return CL_TYPE_DOUBLE;
        break;
    case 'u':
        if (is("8"))
            return CL_TYPE_U8;
        if (is("16"))
            return CL_TYPE_U16;
        if (is("32"))
            return CL_TYPE_U32;
        break;
    case 'i':
        if (is("8"))
            return CL_TYPE_I8;
        if (is("16"))
            return CL_TYPE_I16;
        if (is("32"))
            return CL_TYPE_I32;
        break;
    case 'b':
        if (lower(rest[0]) == 'c' && lower(rest[1]) == 'd') {
            rest += 2;
            if (is("") || is("16"))
                return CL_TYPE_BCD16;
            if (is("32"))
                return CL_TYPE_BCD32;
        }
        break;
    default:
        break;
    }
    return fallback;
}

BUSLINK_API int cl_dnet_flag_to_type(const char *flags, int fallback)
{
    if (!flags)
        return fallback;
    if (has_letter(flags, 'r'))
        return CL_TYPE_FLOAT;
    if (has_letter(flags, 'h'))
        return has_letter(flags, 'd') ? CL_TYPE_BCD32 : CL_TYPE_BCD16;
    if (has_letter(flags, 'b'))
        return has_letter(flags, 'd') ? CL_TYPE_U32 : CL_TYPE_U16;
    return cl_string_to_type(flags, fallback);
}

BUSLINK_API unsigned short cl_binary_to_bcd16(unsigned short value)
{
    const unsigned v = value;
    return static_cast<unsigned short>(((v / 1000) % 10) << 12 | ((v / 100) % 10) << 8 |
                                       ((v / 10) % 10) << 4 | (v % 10));
}

BUSLINK_API unsigned short cl_bcd16_to_binary(unsigned short bcd)
{
    const unsigned b = bcd;
    // Nibbles above 9 are not rejected; they count with their binary value.
    return static_cast<unsigned short>((((b >> 12) & 0xF) * 10 + ((b >> 8) & 0xF)) * 100 +
                                       ((b >> 4) & 0xF) * 10 + (b & 0xF));
}

BUSLINK_API unsigned int cl_binary_to_bcd32(unsigned int value)
{
    const auto high = static_cast<unsigned short>((value / 10000) % 10000);
    const auto low = static_cast<unsigned short>(value % 10000);
    return static_cast<unsigned int>(cl_binary_to_bcd16(high)) << 16 | cl_binary_to_bcd16(low);
}

BUSLINK_API unsigned int cl_bcd32_to_binary(unsigned int bcd)
{
    const unsigned high = cl_bcd16_to_binary(static_cast<unsigned short>(bcd >> 16));
    const unsigned low = cl_bcd16_to_binary(static_cast<unsigned short>(bcd & 0xFFFF));
    return high * 10000 + low;
}

BUSLINK_API int cl_gettimeofday(cl_timeval_t *tv)
{
    if (!tv)
        return 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const int64_t usec = static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    // The record keeps 32-bit seconds; callers rely on that layout.
    tv->tv_sec = static_cast<int32_t>(usec / 1000000);
    tv->tv_usec = static_cast<int32_t>(usec % 1000000);
    return 0;
}

BUSLINK_API void buslink_sleep(unsigned int milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

BUSLINK_API FILE *buslink_fopen(const char *path, const char *mode)
{
    if (!path || !mode)
        return nullptr;
    return std::fopen(path, mode);
}

BUSLINK_API char *buslink_strcpy(char *dst, const char *src)
{
    if (!dst || !src)
        return dst;
    std::memmove(dst, src, std::strlen(src) + 1);
    return dst;
}

BUSLINK_API char *buslink_strcat(char *dst, const char *src)
{
    if (!dst || !src)
        return dst;
    // Exactly strlen(src) + 1 bytes go behind the end of dst, measured before
    // the copy, so appending a string to itself works too.
    const std::size_t dst_length = std::strlen(dst);
    std::memmove(dst + dst_length, src, std::strlen(src) + 1);
    return dst;
}

BUSLINK_API char *buslink_strdup(const char *s)
{
    if (!s)
        return nullptr;
    const std::size_t size = std::strlen(s) + 1;
    auto *copy = static_cast<char *>(std::malloc(size));
    if (copy)
        std::memcpy(copy, s, size);
    return copy;
}

} // extern "C"
