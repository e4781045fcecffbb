#include "buslink.h"

#include <gtest/gtest.h>

#include <chrono>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

struct CodeText {
    int code;
    const char *text;
};

std::string hexdump(const std::vector<unsigned char> &data, int length, int indent)
{
    char *buffer = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&buffer, &size);
    buslink_print_hexm(stream, data.data(), length, indent);
    std::fclose(stream);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

std::string hexdump(const std::vector<unsigned char> &data, int indent = 2)
{
    return hexdump(data, static_cast<int>(data.size()), indent);
}

} // namespace

TEST(buslink_core, StatusTextsOfEveryCommonCode)
{
    const CodeText table[] = {
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
    testing::internal::CaptureStderr();
    for (const CodeText &entry : table)
        EXPECT_STREQ(buslink_errmsg(entry.code), entry.text) << "code " << entry.code;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "known codes print no diagnostic";
}

TEST(buslink_core, UnknownStatusCodeWritesOneDiagnosticLine)
{
    testing::internal::CaptureStderr();
    EXPECT_STREQ(buslink_errmsg(230), "Unknown error");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "modbus_errmsg: undocumented errno 230\n");

    for (int code : {-1, 6, 99, 112, 209, 219, 299, 309}) {
        testing::internal::CaptureStderr();
        EXPECT_STREQ(buslink_errmsg(code), "Unknown error") << code;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "modbus_errmsg: undocumented errno " + std::to_string(code) + "\n");
    }
}

TEST(buslink_core, ArcnetTexts)
{
    const CodeText table[] = {
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
        {254, "Inernal error: function not implemented"},
        {255, "No error description"},
    };
    testing::internal::CaptureStderr();
    for (const CodeText &entry : table)
        EXPECT_STREQ(arcnet_errmsg(entry.code), entry.text) << "code " << entry.code;
    for (int code : {-1, 7, 13, 21, 105, 111, 253, 256})
        EXPECT_STREQ(arcnet_errmsg(code), "Internal error: no documentation for error code") << code;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(buslink_core, HexDumpLayout)
{
    // Text column first (0x7F shown as itself), unused positions blank.
    EXPECT_EQ(hexdump({0x41, 0x00, 0x7F}), std::string("  A.\x7F       41 00 7F \n"));

    EXPECT_EQ(hexdump({'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I'}),
              "  ABCDEFGH  41 42 43 44 45 46 47 48 \n"
              "  I         49 \n");

    EXPECT_EQ(hexdump({0x1F, 0x20, 0x80, 0xFF, 0x0A, 0x0D, 0x7E, 0x30}, 0),
              ". ....~0  1F 20 80 FF 0A 0D 7E 30 \n");

    // Exactly 16 bytes: two full lines and nothing more.
    std::vector<unsigned char> sixteen(16, 'z');
    EXPECT_EQ(hexdump(sixteen, 1),
              " zzzzzzzz  7A 7A 7A 7A 7A 7A 7A 7A \n"
              " zzzzzzzz  7A 7A 7A 7A 7A 7A 7A 7A \n");

    // Only `length` bytes are shown, not the whole buffer.
    EXPECT_EQ(hexdump({'a', 'b', 'c'}, 1, 2), "  a         61 \n");
}

TEST(buslink_core, HexDumpWritesNothingForEmptyInput)
{
    EXPECT_EQ(hexdump({'x'}, 0, 2), "");
    EXPECT_EQ(hexdump({'x'}, -5, 2), "");
    buslink_print_hexm(nullptr, reinterpret_cast<const unsigned char *>("x"), 1, 2);
}

TEST(buslink_core, HexDumpWithWideIndentStaysIntact)
{
    const std::string dump = hexdump({'Q'}, 70);
    EXPECT_EQ(dump, std::string(70, ' ') + "Q         51 \n");
}

TEST(buslink_core, TypeTable)
{
    struct Row {
        int code;
        const char *name;
        int bits;
        int is_float;
    };
    const Row rows[] = {
        {0, "Invalid type", 0, 0}, {1, "u8", 8, 0},      {2, "i8", 8, 0},         {3, "u16", 16, 0},
        {4, "i16", 16, 0},         {5, "u32", 32, 0},    {6, "i32", 32, 0},       {7, "f", 32, 1},
        {8, "d", 64, 1},           {9, "bcd16", 16, 0},  {10, "bcd32", 32, 0},    {11, "Unknown type", 0, 0},
        {-1, "Unknown type", 0, 0}, {1000, "Unknown type", 0, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.code);
        EXPECT_STREQ(cl_type_to_string(row.code), row.name);
        EXPECT_EQ(cl_get_type_size_bits(row.code), row.bits);
        EXPECT_EQ(cl_get_type_size_bytes(row.code), row.bits / 8);
        EXPECT_EQ(cl_is_type_float(row.code) != 0, row.is_float != 0);
    }
}

TEST(buslink_core, TypeNamesParse)
{
    const int fb = -7;
    struct Row {
        const char *text;
        int expected;
    };
    const Row rows[] = {
        {"f", 7},       {"F", 7},        {"f32", 7},     {"F64", 8},      {"f64", 8},     {"f6", fb},
        {"f16", fb},    {"f64x", fb},    {"u8", 1},      {"U16", 3},      {"u32", 5},     {"i8", 2},
        {"I16", 4},     {"i32", 6},      {"u", fb},      {"u64", fb},     {"u08", fb},    {"u 8", fb},
        {"bcd", 9},     {"BcD", 9},      {"BCD16", 9},   {"bCd32", 10},   {"bcd32x", fb}, {"bcd32 ", fb},
        {"bcd8", fb},   {"b", fb},       {"bc", fb},     {"d", fb},       {"D", fb},      {"", fb},
        {" u8", fb},    {"x", fb},
    };
    for (const Row &row : rows)
        EXPECT_EQ(cl_string_to_type(row.text, fb), row.expected) << '"' << row.text << '"';
    EXPECT_EQ(cl_string_to_type(nullptr, 42), 42);
}

TEST(buslink_core, DirectNetFlagsParse)
{
    const int fb = -3;
    struct Row {
        const char *flags;
        int expected;
    };
    const Row rows[] = {
        {"R", 7},  {"RH", 7},   {"hr", 7},   {"h", 9},      {"hD", 10},   {"dH", 10},  {"hb", 9},
        {"B", 3},  {"bd", 5},   {"Db", 5},   {"bcd16", 5},  {"bcd32", 5}, {"i16", 4},  {"f64", 8},
        {"u8", 1}, {"d", fb},   {"xyz", fb}, {"", fb},
    };
    for (const Row &row : rows)
        EXPECT_EQ(cl_dnet_flag_to_type(row.flags, fb), row.expected) << '"' << row.flags << '"';
    EXPECT_EQ(cl_dnet_flag_to_type(nullptr, 99), 99);
}

TEST(buslink_core, Bcd16)
{
    EXPECT_EQ(cl_binary_to_bcd16(0), 0x0000);
    EXPECT_EQ(cl_binary_to_bcd16(1234), 0x1234);
    EXPECT_EQ(cl_binary_to_bcd16(9999), 0x9999);
    EXPECT_EQ(cl_binary_to_bcd16(10000), 0x0000);
    EXPECT_EQ(cl_binary_to_bcd16(12345), 0x2345);
    EXPECT_EQ(cl_binary_to_bcd16(65535), 0x5535);

    EXPECT_EQ(cl_bcd16_to_binary(0x1234), 1234);
    EXPECT_EQ(cl_bcd16_to_binary(0x00FF), 165);
    EXPECT_EQ(cl_bcd16_to_binary(0xFFFF), 16665);

    for (unsigned v = 0; v < 10000; ++v)
        ASSERT_EQ(cl_bcd16_to_binary(cl_binary_to_bcd16(static_cast<unsigned short>(v))), v);
}

TEST(buslink_core, Bcd32)
{
    EXPECT_EQ(cl_binary_to_bcd32(12345678u), 0x12345678u);
    EXPECT_EQ(cl_binary_to_bcd32(99999999u), 0x99999999u);
    EXPECT_EQ(cl_binary_to_bcd32(10000u), 0x00010000u);
    EXPECT_EQ(cl_binary_to_bcd32(100000000u), 0x00000000u);
    EXPECT_EQ(cl_binary_to_bcd32(123456789u), 0x23456789u);

    EXPECT_EQ(cl_bcd32_to_binary(0x00010000u), 10000u);
    EXPECT_EQ(cl_bcd32_to_binary(0x12345678u), 12345678u);
    EXPECT_EQ(cl_bcd32_to_binary(0x000000FFu), 165u);

    for (unsigned v = 0; v < 100000000u; v += 9973)
        ASSERT_EQ(cl_bcd32_to_binary(cl_binary_to_bcd32(v)), v);
}

TEST(buslink_core, TimeOfDay)
{
    EXPECT_EQ(cl_gettimeofday(nullptr), 0);

    // time() reads a coarse clock that may lag a tick behind; the system
    // clock is the one gettimeofday reads.
    const auto seconds_now = [] {
        return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    const auto before = seconds_now();
    cl_timeval_t tv{-1, -1};
    EXPECT_EQ(cl_gettimeofday(&tv), 0);
    const auto after = seconds_now();
    EXPECT_GE(tv.tv_sec, static_cast<int32_t>(before));
    EXPECT_LE(tv.tv_sec, static_cast<int32_t>(after));
    EXPECT_GE(tv.tv_usec, 0);
    EXPECT_LT(tv.tv_usec, 1000000);

    cl_timeval_t later{};
    buslink_sleep(20);
    cl_gettimeofday(&later);
    const long long elapsed_us =
        (static_cast<long long>(later.tv_sec) - tv.tv_sec) * 1000000 + (later.tv_usec - tv.tv_usec);
    EXPECT_GE(elapsed_us, 20000);
    EXPECT_LT(elapsed_us, 5000000);
}

TEST(buslink_core, StringCopies)
{
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(buslink_strcpy(buffer, "abc"), buffer);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[4], '#') << "copies the terminator and no more";

    EXPECT_EQ(buslink_strcat(buffer, "def"), buffer);
    EXPECT_STREQ(buffer, "abcdef");
    EXPECT_EQ(buffer[7], '#');
    EXPECT_STREQ(buslink_strcat(buffer, ""), "abcdef");

    // Appending a string to itself doubles it rather than running on.
    char twice[8] = "ab";
    EXPECT_STREQ(buslink_strcat(twice, twice), "abab");

    char exact[4] = "";
    EXPECT_STREQ(buslink_strcat(exact, "xyz"), "xyz");

    EXPECT_EQ(buslink_strcpy(nullptr, "a"), nullptr);
    EXPECT_STREQ(buslink_strcat(buffer, nullptr), "abcdef");

    char *copy = buslink_strdup("hello");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "hello");
    std::free(copy);
    EXPECT_EQ(buslink_strdup(nullptr), nullptr);
}

TEST(buslink_core, FileOpen)
{
    EXPECT_EQ(buslink_fopen("/nonexistent-dir/buslink/file", "r"), nullptr);
    EXPECT_EQ(buslink_fopen(nullptr, "r"), nullptr);
    FILE *file = buslink_fopen("/dev/null", "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
}

TEST(buslink_core, DebugLevel)
{
    EXPECT_EQ(buslink_get_debug_level(), 1);
    EXPECT_EQ(buslink_set_debug_level(10), 10);
    EXPECT_EQ(buslink_get_debug_level(), 10);
    EXPECT_EQ(buslink_set_debug_level(-2), -2);
    EXPECT_EQ(buslink_get_debug_level(), -2);
    buslink_set_debug_level(1);
}
