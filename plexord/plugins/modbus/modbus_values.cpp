#include "modbus_values.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include <strings.h>

#include "buslink.h"

namespace mbplug {

namespace {

const char *const kTexts[] = {
    "Unknown parameter",
    "Unsupported baud rate (1200, 2400, 4800, 9600, 19200 or 38400)",
    "Invalid parity code (0 even, 1 odd, 2 none)",
    "Invalid stop bits code (0 one, 2 two)",
    "Invalid data bits code (0 seven, 1 eight)",
    "TCP port out of range (1 to 65535)",
    "Time-out out of range (10 to 60000 ms)",
    "No serial port name",
    "No host address",
    "PAN identifier out of range (0 to 0xFFFF)",
    "Channel out of range (0x0B to 0x1A)",
    "Own address out of range (0 to 0xFFFF)",
    "Invalid device address (a unit identifier from 1 to 247)",
    "Invalid device address (a unit identifier from 0 to 255)",
    "Invalid device address (an XBee module address in hexadecimal: 16-bit or 64-bit)",
    "Unknown value type (u8, i8, u16, i16, u32, i32, f, f64, bcd16 or bcd32, with \",swap\" for low word first)",
    "Value out of range for the value type",
    "Request aborted",
    "Out of memory",
    "16-bit XBee addresses need a series 1 module; give the device the remote module's 64-bit address",
    "Gap out of range (0 to 1000 registers or bits)",
    "Window out of range (1 to 32 requests)",
};
static_assert(std::size(kTexts) == ST_END - ST_UNKNOWN_PARAM, "one text per status");

std::string_view trimmed(const char *text)
{
    std::string_view s = text ? text : "";
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int words_of(int type)
{
    switch (type) {
    case CL_TYPE_U32:
    case CL_TYPE_I32:
    case CL_TYPE_FLOAT:
    case CL_TYPE_BCD32: return 2;
    case CL_TYPE_DOUBLE: return 4;
    default: return 1;
    }
}

bool fits(int type, int64_t v)
{
    switch (type) {
    case CL_TYPE_U8: return v >= 0 && v <= 0xFF;
    case CL_TYPE_I8: return v >= INT8_MIN && v <= INT8_MAX;
    case CL_TYPE_U16: return v >= 0 && v <= 0xFFFF;
    case CL_TYPE_I16: return v >= INT16_MIN && v <= INT16_MAX;
    case CL_TYPE_U32: return v >= 0 && v <= 0xFFFFFFFFll;
    case CL_TYPE_I32: return v >= INT32_MIN && v <= INT32_MAX;
    // Packed BCD has no room for more digits; the conversion would drop them.
    case CL_TYPE_BCD16: return v >= 0 && v <= 9999;
    case CL_TYPE_BCD32: return v >= 0 && v <= 99999999;
    default: return false;
    }
}

// Spreads raw over the value's registers in device order.
void put_words(const ValueType &vt, uint64_t raw, uint16_t words[4])
{
    for (int i = 0; i < vt.words; ++i)
        words[i] = static_cast<uint16_t>(raw >> (16 * (vt.words - 1 - i)));
    if (vt.swap)
        std::reverse(words, words + vt.words);
}

uint64_t get_words(const ValueType &vt, const uint16_t words[4])
{
    uint64_t raw = 0;
    for (int i = 0; i < vt.words; ++i)
        raw = raw << 16 | words[vt.swap ? vt.words - 1 - i : i];
    return raw;
}

int64_t to_int64(double v)
{
    if (!std::isfinite(v))
        return 0;
    return std::llround(std::clamp(v, -9.2e18, 9.2e18));
}

} // namespace

const char *status_text(int status)
{
    if (status >= ST_UNKNOWN_PARAM && status < ST_END)
        return kTexts[status - ST_UNKNOWN_PARAM];
    return buslink_errmsg(status);
}

int parse_value_type(const char *flag, bool bit_item, ValueType &out)
{
    out = ValueType{};
    const std::string_view f = flag ? flag : "";
    if (bit_item) {
        out.bit = true;
        return f.empty() ? 0 : ST_VALUE_TYPE;
    }
    if (f.empty()) {
        out.type = CL_TYPE_U16;
        return 0;
    }
    const std::size_t comma = f.find(',');
    const std::string name(f.substr(0, comma));
    if (comma != std::string_view::npos) {
        const std::string rest(f.substr(comma + 1));
        if (strcasecmp(rest.c_str(), "swap") != 0)
            return ST_VALUE_TYPE;
        out.swap = true;
    }
    out.type = cl_string_to_type(name.c_str(), CL_TYPE_INVALID);
    if (out.type == CL_TYPE_INVALID)
        return ST_VALUE_TYPE;
    out.words = words_of(out.type);
    // A word order means nothing for a value of one register.
    if (out.swap && out.words < 2)
        return ST_VALUE_TYPE;
    return 0;
}

int parse_item(const char *item, const char *flag, Item &out)
{
    int kind = 0;
    unsigned short address = 0;
    if (!item || modbus_decode_address(item, &kind, &address) != 0)
        return BUSLINK_E_ILLEGAL_ITEM;
    out.kind = kind;
    out.address = address;
    if (int st = parse_value_type(flag, kind == MODBUS_COIL || kind == MODBUS_DISCRETE_INPUT, out.vt))
        return st;
    if (static_cast<long>(address) + out.vt.words - 1 > 0xFFFF)
        return BUSLINK_E_ILLEGAL_ITEM;
    return 0;
}

bool parse_unit_id(const char *text, int lo, int hi, Node &out)
{
    const std::string_view s = trimmed(text);
    if (s.empty() || s.size() > 3)
        return false;
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi)
        return false;
    out = Node{0, static_cast<uint32_t>(v), false};
    return true;
}

bool parse_xbee_address(const char *text, Node &out)
{
    std::string_view s = trimmed(text);
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s.remove_prefix(2);
    if (s.empty() || s.size() > 16)
        return false;
    uint64_t v = 0;
    for (char c : s) {
        const int d = hex_digit(c);
        if (d < 0)
            return false;
        v = v << 4 | static_cast<unsigned>(d);
    }
    if (s.size() <= 4) {
        // 0xFFFF is the broadcast, 0xFFFE "no 16-bit address".
        if (v >= 0xFFFE)
            return false;
        out = Node{0, static_cast<uint32_t>(v), true};
        return true;
    }
    if (v == 0xFFFF)
        return false;
    out = Node{static_cast<uint32_t>(v >> 32), static_cast<uint32_t>(v), false};
    return true;
}

int encode_value(const ValueType &vt, bool is_float, int64_t ivalue, double fvalue, uint16_t words[4])
{
    std::fill(words, words + 4, 0);
    if (!vt.bit && cl_is_type_float(vt.type)) {
        const double v = is_float ? fvalue : static_cast<double>(ivalue);
        if (!std::isfinite(v))
            return ST_VALUE_RANGE;
        if (vt.type == CL_TYPE_FLOAT) {
            if (std::fabs(v) > FLT_MAX)
                return ST_VALUE_RANGE;
            const float f = static_cast<float>(v);
            uint32_t bits = 0;
            std::memcpy(&bits, &f, sizeof bits);
            put_words(vt, bits, words);
        } else {
            uint64_t bits = 0;
            std::memcpy(&bits, &v, sizeof bits);
            put_words(vt, bits, words);
        }
        return 0;
    }
    int64_t v = ivalue;
    if (is_float) {
        if (!std::isfinite(fvalue) || std::fabs(fvalue) >= 9.2e18)
            return ST_VALUE_RANGE;
        v = std::llround(fvalue);
    }
    if (vt.bit) {
        words[0] = v != 0;
        return 0;
    }
    if (!fits(vt.type, v))
        return ST_VALUE_RANGE;
    uint64_t raw = static_cast<uint64_t>(v);
    switch (vt.type) {
    case CL_TYPE_U8:
    case CL_TYPE_I8: raw &= 0xFF; break; // the low byte, high byte clear
    case CL_TYPE_BCD16: raw = cl_binary_to_bcd16(static_cast<unsigned short>(v)); break;
    case CL_TYPE_BCD32: raw = cl_binary_to_bcd32(static_cast<unsigned>(v)); break;
    default: break;
    }
    put_words(vt, raw, words);
    return 0;
}

void decode_value(const ValueType &vt, const uint16_t words[4], int64_t &ivalue, double &fvalue)
{
    if (vt.bit) {
        ivalue = words[0] != 0;
        fvalue = static_cast<double>(ivalue);
        return;
    }
    const uint64_t raw = get_words(vt, words);
    if (vt.type == CL_TYPE_FLOAT || vt.type == CL_TYPE_DOUBLE) {
        if (vt.type == CL_TYPE_FLOAT) {
            const auto bits = static_cast<uint32_t>(raw);
            float f = 0;
            std::memcpy(&f, &bits, sizeof f);
            fvalue = f;
        } else {
            std::memcpy(&fvalue, &raw, sizeof fvalue);
        }
        ivalue = to_int64(fvalue);
        return;
    }
    switch (vt.type) {
    case CL_TYPE_U8: ivalue = static_cast<int64_t>(raw & 0xFF); break;
    case CL_TYPE_I8: ivalue = static_cast<int8_t>(raw & 0xFF); break;
    case CL_TYPE_I16: ivalue = static_cast<int16_t>(raw); break;
    case CL_TYPE_I32: ivalue = static_cast<int32_t>(raw); break;
    case CL_TYPE_BCD16: ivalue = cl_bcd16_to_binary(static_cast<unsigned short>(raw)); break;
    case CL_TYPE_BCD32: ivalue = cl_bcd32_to_binary(static_cast<unsigned>(raw)); break;
    default: ivalue = static_cast<int64_t>(raw); break; // u16, u32
    }
    fvalue = static_cast<double>(ivalue);
}

} // namespace mbplug
