// The plug-ins' plain functions: flags, items, device addresses, values in
// registers, and the failure classes of driver statuses.
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "buslink.h"
#include "modbus_batch.h"
#include "modbus_values.h"

using namespace mbplug;

namespace {

ValueType type_of(const char *flag, bool bit = false)
{
    ValueType vt;
    EXPECT_EQ(parse_value_type(flag, bit, vt), 0) << flag;
    return vt;
}

std::vector<uint16_t> encode(const char *flag, double value, bool bit = false)
{
    uint16_t words[4] = {};
    const ValueType vt = type_of(flag, bit);
    EXPECT_EQ(encode_value(vt, true, 0, value, words), 0) << flag << " " << value;
    return std::vector<uint16_t>(words, words + vt.words);
}

int encode_status(const char *flag, bool is_float, int64_t ivalue, double fvalue)
{
    uint16_t words[4] = {};
    return encode_value(type_of(flag), is_float, ivalue, fvalue, words);
}

double decode(const char *flag, std::vector<uint16_t> in, int64_t *ivalue = nullptr)
{
    uint16_t words[4] = {};
    std::copy(in.begin(), in.end(), words);
    int64_t i = 0;
    double f = 0;
    decode_value(type_of(flag), words, i, f);
    if (ivalue)
        *ivalue = i;
    return f;
}

} // namespace

TEST(ModbusValues, FlagsNameTheTypeAndItsWordOrder)
{
    EXPECT_EQ(type_of("").type, CL_TYPE_U16);
    EXPECT_EQ(type_of("").words, 1);
    EXPECT_EQ(type_of("I16").type, CL_TYPE_I16);
    EXPECT_EQ(type_of("u32").words, 2);
    EXPECT_EQ(type_of("f").type, CL_TYPE_FLOAT);
    EXPECT_EQ(type_of("f64").words, 4);
    EXPECT_EQ(type_of("BCD").type, CL_TYPE_BCD16);
    EXPECT_TRUE(type_of("i32,swap").swap);
    EXPECT_TRUE(type_of("f,SWAP").swap);
    EXPECT_FALSE(type_of("i32").swap);
    EXPECT_TRUE(type_of("", true).bit);

    ValueType vt;
    for (const char *bad : {"u17", "d", "swap", ",swap", "u16,swap", "bcd16,swap", "u32,swapped", "u32 ", "u32,"})
        EXPECT_EQ(parse_value_type(bad, false, vt), ST_VALUE_TYPE) << bad;
    // Coils and discrete inputs hold one bit: no type to choose.
    EXPECT_EQ(parse_value_type("u16", true, vt), ST_VALUE_TYPE);
}

TEST(ModbusValues, ItemsUseTheEngineNotationAndStayInsideTheAddressSpace)
{
    Item it;
    ASSERT_EQ(parse_item("300010", "", it), 0);
    EXPECT_EQ(it.kind, MODBUS_HOLDING_REGISTER);
    EXPECT_EQ(it.address, 10);
    ASSERT_EQ(parse_item("10", "", it), 0);
    EXPECT_EQ(it.kind, MODBUS_HOLDING_REGISTER);
    ASSERT_EQ(parse_item("1x00ff", "", it), 0);
    EXPECT_EQ(it.kind, MODBUS_COIL);
    EXPECT_TRUE(it.vt.bit);
    ASSERT_EQ(parse_item("4xFFFC", "f64", it), 0);
    EXPECT_EQ(it.address, 0xFFFC);

    EXPECT_EQ(parse_item("4xFFFD", "f64", it), BUSLINK_E_ILLEGAL_ITEM);
    EXPECT_EQ(parse_item("3xFFFF", "u32", it), BUSLINK_E_ILLEGAL_ITEM);
    EXPECT_EQ(parse_item("5x0000", "", it), BUSLINK_E_ILLEGAL_ITEM);
    EXPECT_EQ(parse_item("T1", "", it), BUSLINK_E_ILLEGAL_ITEM);
    EXPECT_EQ(parse_item("200001", "i16", it), ST_VALUE_TYPE);
    EXPECT_TRUE(is_read_only(MODBUS_DISCRETE_INPUT));
    EXPECT_TRUE(is_read_only(MODBUS_INPUT_REGISTER));
    EXPECT_FALSE(is_read_only(MODBUS_COIL));
}

TEST(ModbusValues, DeviceAddresses)
{
    Node n;
    ASSERT_TRUE(parse_unit_id(" 247 ", 1, 247, n));
    EXPECT_EQ(n.unit, 247u);
    EXPECT_FALSE(n.short_address);
    for (const char *bad : {"0", "248", "1a", "", "-1", "1000"})
        EXPECT_FALSE(parse_unit_id(bad, 1, 247, n)) << bad;
    EXPECT_TRUE(parse_unit_id("0", 0, 255, n));

    ASSERT_TRUE(parse_xbee_address("0013A20040506070", n));
    EXPECT_EQ(n.link, 0x0013A200u);
    EXPECT_EQ(n.unit, 0x40506070u);
    EXPECT_FALSE(n.short_address);
    ASSERT_TRUE(parse_xbee_address("0x1f", n));
    EXPECT_EQ(n.link, 0u);
    EXPECT_EQ(n.unit, 0x1Fu);
    EXPECT_TRUE(n.short_address);
    // The coordinator of a ZigBee network has the 64-bit address 0.
    ASSERT_TRUE(parse_xbee_address("0000000000000000", n));
    EXPECT_FALSE(n.short_address);
    for (const char *bad : {"", "FFFF", "fffe", "000000000000FFFF", "0013A2004050607G", "10013A20040506070", "0x"})
        EXPECT_FALSE(parse_xbee_address(bad, n)) << bad;
}

TEST(ModbusValues, ValuesLieInTheRegistersHighWordFirstUnlessSwapped)
{
    struct Case {
        const char *flag;
        double value;
        std::vector<uint16_t> words;
    };
    const Case cases[] = {
        {"", 65535, {0xFFFF}},
        {"i16", -2, {0xFFFE}},
        {"u8", 200, {0x00C8}},
        {"i8", -1, {0x00FF}},
        {"u32", 0x12345678, {0x1234, 0x5678}},
        {"u32,swap", 0x12345678, {0x5678, 0x1234}},
        {"i32", -2, {0xFFFF, 0xFFFE}},
        {"f", 1.5, {0x3FC0, 0x0000}},
        {"f,swap", -2.5, {0x0000, 0xC020}},
        {"f64", 1.0, {0x3FF0, 0, 0, 0}},
        {"f64,swap", 1.0, {0, 0, 0, 0x3FF0}},
        {"bcd16", 1234, {0x1234}},
        {"bcd32,swap", 12345678, {0x5678, 0x1234}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(encode(c.flag, c.value), c.words) << c.flag;
        EXPECT_EQ(decode(c.flag, c.words), c.value) << c.flag;
    }
    // Rounded for integer types; any value but 0 sets a bit.
    EXPECT_EQ(encode("", 12.6), std::vector<uint16_t>{13});
    EXPECT_EQ(encode("", 5, true), std::vector<uint16_t>{1});

    int64_t i = 0;
    EXPECT_EQ(decode("u8", {0x1234}, &i), 0x34);
    EXPECT_EQ(decode("i8", {0xFF80}), -128);
    EXPECT_EQ(decode("i32", {0x8000, 0x0000}, &i), -2147483648.0);
    EXPECT_EQ(i, INT32_MIN);
    EXPECT_DOUBLE_EQ(decode("f", {0x4049, 0x0FDB}, &i), static_cast<float>(3.14159265));
    EXPECT_EQ(i, 3);
    EXPECT_TRUE(std::isnan(decode("f", {0x7FC0, 0}, &i)));
    EXPECT_EQ(i, 0);
}

TEST(ModbusValues, ValuesThatDoNotFitAreRefused)
{
    EXPECT_EQ(encode_status("", false, 65536, 0), ST_VALUE_RANGE);
    EXPECT_EQ(encode_status("", false, -1, 0), ST_VALUE_RANGE);
    EXPECT_EQ(encode_status("i16", false, 32768, 0), ST_VALUE_RANGE);
    EXPECT_EQ(encode_status("i8", false, -129, 0), ST_VALUE_RANGE);
    EXPECT_EQ(encode_status("u32", false, 0x100000000ll, 0), ST_VALUE_RANGE);
    EXPECT_EQ(encode_status("i32", true, 0, 2147483648.0), ST_VALUE_RANGE);
    // BCD would silently drop the upper digits.
    EXPECT_EQ(encode_status("bcd16", false, 10000, 0), ST_VALUE_RANGE);
    EXPECT_EQ(encode_status("bcd32", false, 100000000, 0), ST_VALUE_RANGE);
    EXPECT_EQ(encode_status("f", true, 0, 1e39), ST_VALUE_RANGE);
    EXPECT_EQ(encode_status("f", true, 0, NAN), ST_VALUE_RANGE);
    EXPECT_EQ(encode_status("f64", true, 0, INFINITY), ST_VALUE_RANGE);
    EXPECT_EQ(encode_status("", true, 0, NAN), ST_VALUE_RANGE);
    EXPECT_EQ(encode_status("u32", false, 0xFFFFFFFFll, 0), 0);
    EXPECT_EQ(encode_status("f64", false, 1ll << 60, 0), 0);
}

TEST(ModbusValues, StatusesHaveClassesAndTexts)
{
    EXPECT_EQ(failure_class(BUSLINK_E_NO_RESPONSE), PXP_FAIL_TIMEOUT);
    EXPECT_EQ(failure_class(BUSLINK_E_TIMEOUT), PXP_FAIL_TIMEOUT);
    EXPECT_EQ(failure_class(BUSLINK_E_READ_ONLY), PXP_FAIL_READ_ONLY);
    EXPECT_EQ(failure_class(BUSLINK_E_EX_ILLEGAL_ADDRESS), PXP_FAIL_UNKNOWN_SETPOINT);
    EXPECT_EQ(failure_class(BUSLINK_E_ILLEGAL_ITEM), PXP_FAIL_INVALID);
    EXPECT_EQ(failure_class(ST_VALUE_RANGE), PXP_FAIL_INVALID);
    EXPECT_EQ(failure_class(ST_XBEE_ADDRESS), PXP_FAIL_INVALID);
    EXPECT_EQ(failure_class(ST_ABORTED), PXP_FAIL_ABORTED);
    EXPECT_EQ(failure_class(BUSLINK_E_NO_CONNECTION), PXP_FAIL_DRIVER);
    EXPECT_EQ(failure_class(BUSLINK_E_EX_SLAVE_BUSY), PXP_FAIL_DRIVER);

    EXPECT_STREQ(status_text(BUSLINK_E_EX_ILLEGAL_ADDRESS), "Error exception: illegal data address");
    EXPECT_STREQ(status_text(ST_BAUDRATE), "Unsupported baud rate (1200, 2400, 4800, 9600, 19200 or 38400)");
}
