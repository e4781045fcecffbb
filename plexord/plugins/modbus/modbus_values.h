// What the MODBUS plug-ins make of the texts they are given: device
// addresses, items with their value-type flags, and values spread over
// registers. Plain functions, free of I/O.
#ifndef PLEXORD_MODBUS_VALUES_H
#define PLEXORD_MODBUS_VALUES_H

#include <cstdint>

namespace mbplug {

// The plug-ins' own status codes. buslink's common codes stay below 1000
// and keep their meaning; both kinds reach the operator as the detail of a
// result, with status_text.
enum Status : int {
    ST_UNKNOWN_PARAM = 1000,
    ST_BAUDRATE,
    ST_PARITY,
    ST_STOPBITS,
    ST_DATABITS,
    ST_TCP_PORT,
    ST_TIMEOUT,
    ST_NO_PORT_NAME,
    ST_NO_HOST,
    ST_PAN_ID,
    ST_CHANNEL,
    ST_OWN_ADDRESS,
    ST_UNIT,
    ST_TCP_UNIT,
    ST_XBEE_ADDRESS,
    ST_VALUE_TYPE,
    ST_VALUE_RANGE,
    ST_ABORTED,
    ST_NO_MEMORY,
    ST_XBEE_SHORT_ON_SERIES2,
    ST_MAX_GAP,
    ST_WINDOW,
    ST_END
};

// Text of a plug-in or buslink status code; never null.
const char *status_text(int status);

// How an item's value lies in the device: a bit, or a value type of
// cl_string_to_type over `words` registers, high word first unless swapped.
struct ValueType {
    bool bit = false;
    int type = 0; // CL_TYPE_*, 0 for a bit
    int words = 1;
    bool swap = false;
};

// The flag of an item: "" (u16 for registers, 0/1 for bits), a type name,
// or a type name of two or more registers followed by ",swap". Bits take no
// flag. 0 or ST_VALUE_TYPE.
int parse_value_type(const char *flag, bool bit_item, ValueType &out);

struct Item {
    int kind = 0; // MODBUS_COIL .. MODBUS_INPUT_REGISTER
    uint16_t address = 0;
    ValueType vt;
};

// An item in the address notation of modbus_decode_address with its flag.
// BUSLINK_E_ILLEGAL_ITEM for a bad notation or a value that would reach past
// address 65535, ST_VALUE_TYPE for a bad flag.
int parse_item(const char *item, const char *flag, Item &out);

inline bool is_read_only(int kind)
{
    return kind == 2 || kind == 4; // discrete inputs and input registers
}

// A node of buslink's query engine.
struct Node {
    uint32_t link = 0;
    uint32_t unit = 0;
    bool short_address = false; // an XBee module's 16-bit address
};

// A decimal unit identifier from lo to hi (spaces around it allowed).
bool parse_unit_id(const char *text, int lo, int hi, Node &out);
// An XBee module's address in hexadecimal ("0x" allowed): up to 4 digits
// are a 16-bit short address, 5 to 16 digits a 64-bit address. Broadcast
// addresses are refused, since a broadcast gets no answer to wait for.
bool parse_xbee_address(const char *text, Node &out);

// The registers (or the bit, in words[0]) that hold a value, in device
// order. A float value is rounded for the integer types. 0, or
// ST_VALUE_RANGE when the value does not fit the type.
int encode_value(const ValueType &vt, bool is_float, int64_t ivalue, double fvalue, uint16_t words[4]);
// The value held by the registers, as an integer and as a float.
void decode_value(const ValueType &vt, const uint16_t words[4], int64_t &ivalue, double &fvalue);

} // namespace mbplug

#endif
