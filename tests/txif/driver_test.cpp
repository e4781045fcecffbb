// The TXIF driver: packet building and reading, the USB transport's
// reconnect rules through a test double of the chip's driver, and the
// RS-232 transport against the simulated adapter over a pseudo-terminal.
#include "fake_chip.h"
#include "txif_sim.h"

#include "buslink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;
using txiftest::hex;

namespace {

struct AdapterFree {
    void operator()(txif_t *a) const { txif_free(a); }
};
using AdapterPtr = std::unique_ptr<txif_t, AdapterFree>;

struct Packet {
    unsigned char b[TXIF_PACKET_SIZE] = {};
    std::string bytes() const { return std::string(reinterpret_cast<const char *>(b), 3 + (b[1] | b[2] << 8)); }
    void set(const std::string &wire) { std::memcpy(b, wire.data(), std::min(wire.size(), sizeof b)); }
};

double seconds_since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

TEST(TxifPackets, BuildingLimitsAndEncodings)
{
    Packet p;
    struct Init {
        int network;
        unsigned node, status;
    };
    for (const Init &c : {Init{0, 254, 0}, Init{0, 255, unsigned(TXIF_E_NODE)}, Init{2, 1, unsigned(TXIF_E_NETWORK)},
                          Init{1, 70000, 0}, Init{255, 0xFFFFFFFF, 0}, Init{256, 1, unsigned(TXIF_E_NETWORK)},
                          Init{-1, 1, unsigned(TXIF_E_NETWORK)}})
        EXPECT_EQ(unsigned(txif_init_packet_FUN10_READ(p.b, c.network, c.node)), c.status) << c.network;

    // A read request: header, network, node, 8-byte entries.
    ASSERT_EQ(txif_init_packet_FUN10_READ(p.b, 1, 70000), 0);
    EXPECT_EQ(txif_get_recipient(p.b), 70000);
    EXPECT_EQ(txif_packet_add_setp_request(p.b, 0x01020304, TXIF_TYPE_S16), 0);
    EXPECT_EQ(hex(p.bytes()), "0a0d0001701101000403020103000000");
    EXPECT_EQ(txif_packet_add_setp_request(p.b, 1, 0), TXIF_E_DATA_FORMAT);
    EXPECT_EQ(txif_packet_add_setp_request(p.b, 1, 8), TXIF_E_DATA_FORMAT);
    EXPECT_EQ(txif_packet_add_setp_value_i(p.b, 1, 3, 1), TXIF_E_FUNCTION);
    for (unsigned id = 2; id <= 11; ++id) {
        EXPECT_EQ(txif_packet_is_full(p.b), 0);
        EXPECT_EQ(txif_packet_add_setp_request(p.b, id, 7), 0);
    }
    EXPECT_EQ(p.b[1], 93);
    EXPECT_EQ(txif_packet_is_full(p.b), 1);
    EXPECT_EQ(txif_get_setp_index(p.b, 0x01020304), 0);
    EXPECT_EQ(txif_get_setp_index(p.b, 11), 10);
    EXPECT_EQ(txif_get_setp_index(p.b, 12), TXIF_E_NOT_IN_PACKET);
    // Entries may go on to byte 263; the 33rd would start at 264.
    for (unsigned id = 12; id <= 32; ++id)
        EXPECT_EQ(txif_packet_add_setp_request(p.b, id, 7), 0);
    EXPECT_EQ(txif_packet_add_setp_request(p.b, 33, 7), TXIF_E_PACKET_FULL);

    // A write request and the value encodings.
    ASSERT_EQ(txif_init_packet_FUN20_WRITE(p.b, 0, 12), 0);
    EXPECT_EQ(txif_packet_add_setp_request(p.b, 1, 3), TXIF_E_FUNCTION);
    struct Value {
        int type;
        bool is_float;
        double value;
        const char *wire; // the value's 4 bytes
    };
    const Value values[] = {
        {TXIF_TYPE_S16, false, -1, "ffff0000"},  {TXIF_TYPE_S8, false, -2, "fe000000"},
        {TXIF_TYPE_U16, false, 65535, "ffff0000"}, {TXIF_TYPE_S32, false, -2, "feffffff"},
        {TXIF_TYPE_FLOAT, false, 3, "00004040"},  {TXIF_TYPE_FLOAT, true, 2.5, "00002040"},
        {TXIF_TYPE_S32, true, 2.9, "02000000"},   {TXIF_TYPE_S16, true, -2.9, "feff0000"},
        {TXIF_TYPE_U32, true, 4e9, "00286bee"},   {TXIF_TYPE_S32, true, 1e30, "ffffff7f"}, {TXIF_TYPE_U8, true, -5, "00000000"},
        {TXIF_TYPE_U8, true, std::nan(""), "00000000"},
    };
    unsigned id = 100;
    for (const Value &v : values) {
        const int st = v.is_float ? txif_packet_add_setp_value_f(p.b, id, v.type, static_cast<float>(v.value))
                                  : txif_packet_add_setp_value_i(p.b, id, v.type, static_cast<int>(v.value));
        ASSERT_EQ(st, 0) << id;
        const std::string entry = p.bytes().substr(p.bytes().size() - 10);
        EXPECT_EQ(hex(entry.substr(4, 2)), hex(std::string(1, char(v.type))) + "00") << id;
        EXPECT_EQ(hex(entry.substr(6)), v.wire) << id;
        ++id;
    }
    EXPECT_EQ(txif_packet_add_setp_value_i(p.b, 1, 0, 1), TXIF_E_DATA_FORMAT);
    EXPECT_EQ(txif_packet_add_setp_value_f(p.b, 1, 8, 1), TXIF_E_DATA_FORMAT);
    ASSERT_EQ(txif_init_packet_FUN20_WRITE(p.b, 0, 12), 0);
    for (unsigned i = 0; i < 11; ++i) {
        EXPECT_EQ(txif_packet_is_full(p.b), 0);
        EXPECT_EQ(txif_packet_add_setp_value_i(p.b, i, 5, 1), 0);
    }
    EXPECT_EQ(p.b[1], 115);
    EXPECT_EQ(txif_packet_is_full(p.b), 1);
    for (unsigned i = 11; i < 32; ++i)
        EXPECT_EQ(txif_packet_add_setp_value_i(p.b, i, 5, 1), 0);
    EXPECT_EQ(txif_packet_add_setp_value_i(p.b, 32, 5, 1), TXIF_E_PACKET_FULL);
    // The write request's own entries read back.
    int iv = 0;
    unsigned got_id = 0;
    EXPECT_EQ(txif_get_nth_setp_value_i(p.b, 31, &got_id, &iv), 0);
    EXPECT_EQ(got_id, 31u);
    EXPECT_EQ(iv, 1);
    EXPECT_EQ(txif_get_nth_setp_value_i(p.b, 32, &got_id, &iv), TXIF_E_INDEX);

    ASSERT_EQ(txif_init_packet_FUN30_DEVINFOREQ(p.b), 0);
    EXPECT_EQ(hex(std::string(reinterpret_cast<char *>(p.b), 4)), "1e000004");
    EXPECT_EQ(txif_packet_is_full(p.b), TXIF_E_FUNCTION);
    EXPECT_EQ(txif_get_recipient(p.b), TXIF_E_FUNCTION);
    EXPECT_EQ(txif_get_setp_index(p.b, 1), TXIF_E_FUNCTION);
}

TEST(TxifPackets, ReadingAnswersNaksAndInformation)
{
    using txiftest::packet;
    Packet p;
    // Entries: id, type, status, value.
    const std::string e0("\x07\x00\x00\x00\x03\x00\xff\xff\x00\x00", 10);
    const std::string e1("\x08\x00\x00\x00\x04\x00\xff\xff\x00\x00", 10);
    const std::string e2("\x09\x00\x00\x00\x07\x06\x00\x00\x20\xc0", 10);
    const std::string e3("\x0a\x00\x00\x00\x09\x00\x00\x00\x00\x00", 10);
    const std::string e4("\x0b\x00\x00\x00\x06\x00\xff\xff\xff\xff", 10);
    p.set(packet(110, e0 + e1 + e2 + e3 + e4));
    struct Entry {
        int index, status;
        unsigned id;
        int ivalue;
        float fvalue;
    };
    for (const Entry &e : {Entry{0, 0, 7, -1, -1}, Entry{1, 0, 8, 65535, 65535}, Entry{2, 6, 9, -2, -2.5f},
                           Entry{4, 0, 11, -1, 4294967295.0f}}) {
        unsigned id = 0;
        int iv = 0;
        float fv = 0;
        EXPECT_EQ(txif_get_nth_setp_value_i(p.b, e.index, &id, &iv), e.status) << e.index;
        EXPECT_EQ(txif_get_nth_setp_value_f(p.b, e.index, nullptr, &fv), e.status) << e.index;
        EXPECT_EQ(id, e.id);
        EXPECT_EQ(iv, e.ivalue) << e.index;
        EXPECT_FLOAT_EQ(fv, e.fvalue) << e.index;
    }
    int iv = 0;
    EXPECT_EQ(txif_get_nth_setp_value_i(p.b, 3, nullptr, &iv), TXIF_E_DATA_FORMAT);
    EXPECT_EQ(txif_get_nth_setp_value_i(p.b, 5, nullptr, &iv), TXIF_E_INDEX);
    EXPECT_EQ(txif_get_nth_setp_value_i(p.b, -1, nullptr, &iv), TXIF_E_INDEX);
    EXPECT_EQ(txif_get_nth_setp_value_i(p.b, 33, nullptr, &iv), TXIF_E_INDEX);
    EXPECT_EQ(txif_get_setp_index(p.b, 11), 4);
    EXPECT_EQ(txif_get_nak_error(p.b), TXIF_E_UNIMPLEMENTED);
    EXPECT_EQ(txif_get_nak_code(p.b), TXIF_E_FUNCTION);
    EXPECT_EQ(txif_packet_get_devinfo(p.b, nullptr), TXIF_E_FUNCTION);
    p.set(packet(110, std::string(110, '\0')));
    EXPECT_EQ(txif_packet_is_full(p.b), 1);

    struct Nak {
        int code, status;
    };
    for (const Nak &n : {Nak{1, -101}, Nak{2, -102}, Nak{4, -104}, Nak{7, -107}, Nak{100, -108}, Nak{0, -200},
                         Nak{8, -200}, Nak{256, -200}}) {
        p.set(packet(255, std::string(1, char(n.code & 0xFF)) + char(n.code >> 8)));
        EXPECT_EQ(txif_get_nak_code(p.b), n.code);
        EXPECT_EQ(txif_get_nak_error(p.b), n.status) << n.code;
    }
    EXPECT_EQ(txif_get_nth_setp_value_i(p.b, 0, nullptr, &iv), TXIF_E_FUNCTION);

    p.set(packet(130, std::string("\x02\x01\x04\x00\x01\x0c\xfd\xff\xff\xff\x05\x06\x80\x02", 14)));
    txif_devinfo_t info{};
    ASSERT_EQ(txif_packet_get_devinfo(p.b, &info), 0);
    EXPECT_EQ(info.reconf, -3);
    EXPECT_EQ(info.params, 640);
    char *text = nullptr;
    std::size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    txif_print_devinfo(&info, out, "> ");
    std::fclose(out);
    EXPECT_STREQ(text, "> Type: TXIF 232\n> Version: 1.4.0\n> Parameters: 640\n> ARCNET:\n>   Node: 1\n"
                       ">   Next node: 12\n>   Reconf: -3\n>   Status: 5\n>   Diag. status: 6\n");
    std::free(text);
    info.type = 9;
    out = open_memstream(&text, &size);
    txif_print_devinfo(&info, out, nullptr);
    std::fclose(out);
    EXPECT_EQ(std::string(text).rfind("Type: Unknown\n", 0), 0u);
    std::free(text);
    p.set(packet(130, std::string(13, '\0')));
    EXPECT_EQ(txif_packet_get_devinfo(p.b, &info), TXIF_E_DATA_FORMAT);
}

using txiftest::chip;
using txiftest::fake_driver;

class TxifUsb : public testing::Test {
protected:
    void SetUp() override
    {
        chip = txiftest::FakeChip{};
        txif_set_usb_driver(&fake_driver);
    }
    void TearDown() override { txif_set_usb_driver(nullptr); }
};

TEST_F(TxifUsb, ConnectChoosesTheDeviceAndSetsItUp)
{
    AdapterPtr a(txif_new());
    txif_set_timeout(a.get(), 700);
    ASSERT_EQ(txif_connect_usb(a.get(), -1, -1), 0);
    EXPECT_EQ(chip.vendor, 0x0403);
    EXPECT_EQ(chip.product, 0x6001);
    EXPECT_EQ(chip.baud, 20000u);
    EXPECT_EQ(chip.read_ms, 700u);
    txif_set_timeout(a.get(), 900);
    EXPECT_EQ(chip.read_ms, 900u);
    ASSERT_EQ(txif_connect_usb(a.get(), 0x1234, 0x5678), 0);
    EXPECT_EQ(chip.vendor, 0x1234);
    EXPECT_EQ(chip.product, 0x5678);
    EXPECT_EQ(chip.closes, 1); // the first transport's device

    // Each failing step of a connect leaves the device closed.
    chip.fail_purge = true;
    EXPECT_EQ(txif_connect_usb(a.get(), -1, -1), TXIF_E_PURGE);
    chip.fail_purge = false;
    chip.fail_baud = true;
    EXPECT_EQ(txif_connect_usb(a.get(), -1, -1), TXIF_E_BAUDRATE);
    EXPECT_EQ(txif_is_connected(a.get()), 0);
    EXPECT_EQ(chip.opens, chip.closes);
    chip.present = false;
    EXPECT_EQ(txif_connect_usb(a.get(), -1, -1), TXIF_E_NOT_FOUND);
    a.reset();
    EXPECT_EQ(chip.opens, chip.closes);
}

TEST_F(TxifUsb, ExchangesAndReconnects)
{
    AdapterPtr a(txif_new());
    chip.present = false;
    EXPECT_EQ(txif_connect_usb(a.get(), -1, -1), TXIF_E_NOT_FOUND);
    Packet p;
    txif_init_packet_FUN30_DEVINFOREQ(p.b);
    // The transport stayed attached: each send tries the device again.
    const int lists = chip.lists;
    EXPECT_EQ(txif_send_packet(a.get(), p.b), TXIF_E_NO_CONNECTION);
    EXPECT_EQ(chip.lists, lists + 1);
    chip.present = true;
    EXPECT_EQ(txif_send_packet(a.get(), p.b), 0);
    EXPECT_EQ(chip.output, txiftest::packet(30, ""));
    EXPECT_EQ(txif_is_connected(a.get()), 1);

    const std::string answer = txiftest::packet(255, std::string("\x06\x00", 2));
    struct Case {
        const char *what;
        std::string input;
        bool fail_read;
        int status;
    };
    std::string bad = answer;
    bad[bad.size() - 1] ^= 0x55;
    std::string no_mark = answer;
    no_mark[5] = 0x03;
    const Case cases[] = {
        {"whole", answer, false, 0},
        {"header only", answer.substr(0, 3), false, TXIF_E_TIMEOUT},
        {"short", answer.substr(0, answer.size() - 1), false, TXIF_E_TIMEOUT},
        {"nothing", "", false, TXIF_E_TIMEOUT},
        {"bad crc", bad, false, TXIF_E_DATA_FORMAT},
        {"no end mark", no_mark, false, TXIF_E_DATA_FORMAT},
        {"length too large", std::string("\x6e\xff\xff", 3) + std::string(20, '\0'), false, TXIF_E_DATA_FORMAT},
        {"driver failure", answer, true, TXIF_E_READ},
    };
    for (const Case &c : cases) {
        chip.input = c.input;
        chip.fail_read = c.fail_read;
        const int opens = chip.opens;
        Packet in;
        EXPECT_EQ(txif_read_packet(a.get(), in.b), c.status) << c.what;
        // Only a driver failure opens the device again.
        EXPECT_EQ(chip.opens, opens + (c.fail_read ? 1 : 0)) << c.what;
        if (c.status == 0) {
            EXPECT_EQ(txif_get_nak_error(in.b), TXIF_E_NAK_SETPOINT);
        }
    }
    chip.fail_read = false;

    // Unplugged: the failed write's reconnect fails too; the next send
    // tries again and finds it back.
    chip.present = false;
    EXPECT_EQ(txif_send_packet(a.get(), p.b), TXIF_E_SEND);
    EXPECT_EQ(txif_is_connected(a.get()), 0);
    EXPECT_EQ(txif_purge_buffers(a.get()), TXIF_E_NO_CONNECTION);
    Packet in;
    EXPECT_EQ(txif_read_packet(a.get(), in.b), TXIF_E_NO_CONNECTION);
    chip.present = true;
    chip.output.clear();
    EXPECT_EQ(txif_send_packet(a.get(), p.b), 0);
    EXPECT_EQ(chip.output.size(), 6u);
    chip.fail_purge = true;
    EXPECT_EQ(txif_purge_buffers(a.get()), TXIF_E_PURGE);
    chip.fail_purge = false;
    EXPECT_EQ(txif_disconnect(a.get()), 0);
    EXPECT_EQ(txif_is_connected(a.get()), 0);
    a.reset();
    EXPECT_EQ(chip.opens, chip.closes);
}

TEST(TxifUsbShim, NoAdapterGivesItsStatusAtOnce)
{
    txif_set_usb_driver(nullptr);
    AdapterPtr a(txif_new());
    const auto start = Clock::now();
    const int st = txif_connect_usb(a.get(), -1, -1);
    EXPECT_TRUE(st == TXIF_E_DEVICE_LIST || st == TXIF_E_NOT_FOUND) << st;
    Packet p;
    txif_init_packet_FUN30_DEVINFOREQ(p.b);
    EXPECT_EQ(txif_send_packet(a.get(), p.b), TXIF_E_NO_CONNECTION);
    EXPECT_EQ(txif_read_packet(a.get(), p.b), TXIF_E_NO_CONNECTION);
    EXPECT_LT(seconds_since(start), 5.0);
    AdapterPtr none(txif_new());
    EXPECT_EQ(txif_send_packet(none.get(), p.b), TXIF_E_NO_CONNECTION);
    EXPECT_EQ(txif_disconnect(none.get()), 0);
}

} // namespace
