// RTU and TCP transports against scripted slaves: framing on the wire, and
// every kind of bad answer giving its status without spoiling the next one.
#include "modbus_rtu.h"
#include "modbus_tcp.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include "../common/free_port.h"

using mbtest::Answer;
using mbtest::B;
using mbtest::Bytes;

namespace {

const Bytes read_reg0 = B("\x03\x02\x00\x2A"); // holding register 0 = 42

cl_serial_t *open_pty(const mbtest::Pty &pty, int baud = 38400)
{
    return cl_serial_open(pty.path().c_str(), baud, CL_PARITY_NONE, CL_STOPBITS_ONE, CL_DATABITS_8);
}

// One read of holding register 0 of unit 1; the flush status.
int poll_register(modbus_base_t *m, unsigned short *value = nullptr)
{
    modbus_query_reset(m);
    modbus_query_read_holding_register(m, 0, 1, 0);
    const int rc = modbus_query_flush(m, nullptr);
    if (value)
        modbus_result_holding_register(m, 0, 1, 0, value);
    return rc;
}

} // namespace

TEST(modbus_rtu, ConnectTakesOnlyAnOpenPort)
{
    mbtest::Pty pty;
    modbus_rtu_t *rtu = modbus_rtu_new();
    EXPECT_EQ(modbus_rtu_get_response_timeout(rtu), 800);
    EXPECT_EQ(modbus_rtu_send_frame(rtu, 1, "\x03", 1, nullptr), BUSLINK_E_NO_CONNECTION);
    unsigned length = 0;
    EXPECT_EQ(modbus_rtu_read_frame(rtu, 1, nullptr, &length, nullptr), BUSLINK_E_NO_CONNECTION);
    EXPECT_EQ(modbus_rtu_connect(rtu, nullptr), BUSLINK_E_INVALID_PORT);

    mbtest::PortPtr closed(open_pty(pty));
    ASSERT_NE(closed, nullptr);
    cl_serial_disconnect(closed.get());
    EXPECT_EQ(modbus_rtu_connect(rtu, closed.get()), BUSLINK_E_INVALID_PORT);
    closed.reset();

    ASSERT_EQ(modbus_rtu_connect(rtu, open_pty(pty, 9600)), 0);
    EXPECT_EQ(rtu->silence_us, 18230);
    // A second port replaces the first, which is closed and freed.
    mbtest::Pty other;
    cl_serial_t *port = open_pty(other);
    ASSERT_EQ(modbus_rtu_connect(rtu, port), 0);
    EXPECT_EQ(rtu->silence_us, 4558);
    // Handing over the same port again keeps it.
    ASSERT_EQ(modbus_rtu_connect(rtu, port), 0);
    EXPECT_EQ(modbus_rtu_send_frame(rtu, 1, "\x03", 1, nullptr), 0);
    EXPECT_EQ(other.read_burst(1000, 20), mbtest::rtu(1, "\x03"));
    mbtest::PortPtr again(open_pty(pty));
    EXPECT_NE(again, nullptr) << "the replaced port is still open";
    again.reset();

    modbus_rtu_disconnect(rtu);
    EXPECT_EQ(modbus_rtu_send_frame(rtu, 1, "\x03", 1, nullptr), BUSLINK_E_NO_CONNECTION);
    modbus_rtu_delete(rtu);
}

TEST(modbus_rtu, FramesCarryAddressAndCrcAndAreCounted)
{
    mbtest::Pty pty;
    modbus_rtu_t *rtu = modbus_rtu_new();
    ASSERT_EQ(modbus_rtu_connect(rtu, open_pty(pty)), 0);
    cl_stats_t stats;
    cl_stats_init(&stats, 0);
    cl_stats_collect_packets(&stats, 1);

    const Bytes request = B("\x03\x00\x00\x00\x01");
    ASSERT_EQ(modbus_rtu_send_frame(rtu, 1, request.data(), 5, &stats), 0);
    EXPECT_EQ(pty.read_burst(1000, 20), B("\x01\x03\x00\x00\x00\x01\x84\x0A"));

    pty.write(mbtest::rtu(1, read_reg0));
    unsigned char message[MODBUS_MESSAGE_BUFFER_SIZE];
    unsigned length = 0;
    ASSERT_EQ(modbus_rtu_read_frame(rtu, 1, message, &length, &stats), 0);
    EXPECT_EQ(Bytes(reinterpret_cast<char *>(message), length), read_reg0);
    EXPECT_EQ(stats.out_packets, 1u);
    EXPECT_EQ(stats.out_bytes, 8u);
    EXPECT_EQ(stats.in_packets, 1u);
    EXPECT_EQ(stats.in_bytes, 7u);
    ASSERT_NE(stats.packets, nullptr);
    ASSERT_NE(stats.packets->next, nullptr);
    EXPECT_EQ(cl_stats_packet_cmp(stats.packets->next, mbtest::rtu(1, read_reg0).data(), 7), 1);

    // A time-out registers nothing.
    modbus_rtu_set_response_timeout(rtu, 50);
    EXPECT_EQ(modbus_rtu_read_frame(rtu, 1, message, &length, &stats), BUSLINK_E_NO_RESPONSE);
    EXPECT_EQ(stats.in_packets, 1u);
    cl_stats_finalize(&stats);
    modbus_rtu_delete(rtu);
}

TEST(modbus_rtu, BadAnswersGiveTheirStatusAndTheNextRequestWorks)
{
    const Bytes good = mbtest::rtu(1, read_reg0);
    Bytes bad_crc = good;
    bad_crc[4] ^= 0x01;
    struct Case {
        const char *what;
        Answer answer;
        int status;
    };
    const Case cases[] = {
        {"silence", {}, BUSLINK_E_NO_RESPONSE},
        {"truncated", {{0, good.substr(0, 3)}}, BUSLINK_E_SHORT_RESPONSE},
        {"bad crc", {{0, bad_crc}}, BUSLINK_E_CHECKSUM},
        {"another unit", {{0, mbtest::rtu(2, read_reg0)}}, BUSLINK_E_UNEXPECTED_NODE},
        {"exception 7", {{0, mbtest::rtu(1, "\x83\x07")}}, BUSLINK_E_EXCEPTION},
        // Arrives after the time-out, before the next request.
        {"late answer", {{300, mbtest::rtu(1, B("\x03\x02\x00\x07"))}}, BUSLINK_E_NO_RESPONSE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        mbtest::Pty pty;
        int requests = 0;
        mbtest::SerialSlave slave(pty, [&](const Bytes &) { return ++requests == 1 ? c.answer : Answer{{0, good}}; });
        modbus_rtu_t *rtu = modbus_rtu_new();
        ASSERT_EQ(modbus_rtu_connect(rtu, open_pty(pty)), 0);
        modbus_rtu_set_response_timeout(rtu, 200);

        testing::internal::CaptureStdout();
        EXPECT_EQ(poll_register(mbtest::base(rtu)), c.status);
        const std::string out = testing::internal::GetCapturedStdout();
        if (c.status == BUSLINK_E_CHECKSUM) {
            const uint16_t crc = mbtest::crc16(bad_crc.substr(0, 5));
            char expected[128];
            std::snprintf(expected, sizeof expected,
                          "CRC error. Expected 0x%04x. Received 0x%04x.\n01 03 02 00 2b %02x %02x \n",
                          (crc & 0xFF) << 8 | crc >> 8, static_cast<unsigned char>(bad_crc[5]) << 8 |
                          static_cast<unsigned char>(bad_crc[6]), bad_crc[5] & 0xFF, bad_crc[6] & 0xFF);
            EXPECT_EQ(out, expected);
        } else {
            EXPECT_EQ(out, "");
        }
        // Whatever the slave sends for the first request is on the line now.
        ASSERT_TRUE(slave.wait_answered(1, 5000));
        unsigned short value = 0;
        EXPECT_EQ(poll_register(mbtest::base(rtu), &value), 0);
        EXPECT_EQ(value, 42);
        modbus_rtu_delete(rtu);
    }
}

TEST(modbus_rtu, AFrameEndsAtTheInterCharacterSilence)
{
    const Bytes good = mbtest::rtu(1, read_reg0);
    for (const auto &[gap, status] : {std::pair{1, 0}, std::pair{80, int(BUSLINK_E_CHECKSUM)}}) {
        SCOPED_TRACE(gap);
        const Answer answer{{0, good.substr(0, 4)}, {gap, good.substr(4)}};
        mbtest::Pty pty;
        mbtest::SerialSlave slave(pty, [answer](const Bytes &) { return answer; });
        modbus_rtu_t *rtu = modbus_rtu_new();
        // 9600 baud: the frame ends after 19 ms of silence.
        ASSERT_EQ(modbus_rtu_connect(rtu, open_pty(pty, 9600)), 0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(poll_register(mbtest::base(rtu)), status);
        testing::internal::GetCapturedStdout();
        modbus_rtu_delete(rtu);
    }
}

TEST(modbus_tcp, ConnectAndTheTransactionCounter)
{
    modbus_tcp_t *tcp = modbus_tcp_new();
    EXPECT_EQ(modbus_tcp_next_transaction_id(tcp), 1);
    tcp->transaction = 65534;
    EXPECT_EQ(modbus_tcp_next_transaction_id(tcp), 65535);
    EXPECT_EQ(modbus_tcp_next_transaction_id(tcp), 0);
    EXPECT_EQ(modbus_tcp_next_transaction_id(tcp), 1);

    EXPECT_EQ(modbus_tcp_is_connected(tcp), 0);
    EXPECT_EQ(modbus_tcp_connect(tcp, "127.0.0.1", free_loopback_port(), 500), BUSLINK_E_NO_CONNECTION);
    EXPECT_EQ(poll_register(mbtest::base(tcp)), BUSLINK_E_NO_CONNECTION);

    mbtest::TcpSlave slave([](const Bytes &) { return Answer{}; });
    ASSERT_EQ(modbus_tcp_connect(tcp, "127.0.0.1", slave.port(), 500), 0);
    EXPECT_NE(modbus_tcp_is_connected(tcp), 0);
    modbus_tcp_disconnect(tcp);
    EXPECT_EQ(modbus_tcp_is_connected(tcp), 0);
    modbus_tcp_delete(tcp);
}

TEST(modbus_tcp, BadAnswersGiveTheirStatusAndTheNextRequestWorks)
{
    using Reply = std::function<Answer(uint16_t tid)>;
    const auto frame = mbtest::mbap;
    struct Case {
        const char *what;
        Reply reply;
        int status;
        const char *printed_next; // on the following, good request
        const char *printed = "";
        // A frame cut short leaves the connection out of step: it is closed
        // and the next request needs a new one.
        bool closes = false;
    };
    const Case cases[] = {
        {"silence", [](uint16_t) { return Answer{}; }, BUSLINK_E_NO_RESPONSE, ""},
        {"protocol 1", [&](uint16_t t) { return Answer{{0, frame(t, 1, 1, read_reg0)}}; },
         BUSLINK_E_NON_MODBUS_FRAME, ""},
        {"another unit", [&](uint16_t t) { return Answer{{0, frame(t, 0, 2, read_reg0)}}; },
         BUSLINK_E_UNEXPECTED_NODE, ""},
        {"header without its message",
         [&](uint16_t t) { return Answer{{0, frame(t, 0, 1, read_reg0).substr(0, 7)}}; },
         BUSLINK_E_NO_RESPONSE, "", "", true},
        {"half a header",
         [&](uint16_t t) { return Answer{{0, frame(t, 0, 1, read_reg0).substr(0, 5)}}; },
         BUSLINK_E_SHORT_RESPONSE, "", "", true},
        {"message cut by the time-out, its rest late",
         [&](uint16_t t) {
             const Bytes f = frame(t, 0, 1, read_reg0);
             return Answer{{0, f.substr(0, 9)}, {300, f.substr(9)}};
         },
         BUSLINK_E_SHORT_RESPONSE, "", "", true},
        {"header cut by the time-out, its rest late",
         [&](uint16_t t) {
             const Bytes f = frame(t, 0, 1, read_reg0);
             return Answer{{0, f.substr(0, 3)}, {300, f.substr(3)}};
         },
         BUSLINK_E_SHORT_RESPONSE, "", "", true},
        {"overlong message cut short",
         [&](uint16_t t) { return Answer{{0, frame(t, 0, 1, Bytes(1000, '\x03')).substr(0, 600)}}; },
         BUSLINK_E_SHORT_RESPONSE, "", "", true},
        {"exception", [&](uint16_t t) { return Answer{{0, frame(t, 0, 1, "\x83\x02")}}; },
         BUSLINK_E_EX_ILLEGAL_ADDRESS, ""},
        {"message too long to keep",
         [&](uint16_t t) { return Answer{{0, frame(t, 0, 1, Bytes(1000, '\x03'))}}; },
         BUSLINK_E_INVALID_RESPONSE, ""},
        {"late answer", [&](uint16_t t) { return Answer{{300, frame(t, 0, 1, B("\x03\x02\x00\x07"))}}; },
         BUSLINK_E_NO_RESPONSE, "Skipping frame with wrong transaction ID\n"},
        {"another transaction only",
         [&](uint16_t t) { return Answer{{0, frame(static_cast<uint16_t>(t + 5), 0, 1, read_reg0)}}; },
         BUSLINK_E_NO_RESPONSE, "", "Skipping frame with wrong transaction ID\n"},
        {"another transaction first",
         [&](uint16_t t) {
             return Answer{{0, frame(static_cast<uint16_t>(t - 1), 0, 1, "\x83\x04") + frame(t, 0, 1, read_reg0)}};
         },
         0, "", "Skipping frame with wrong transaction ID\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        int requests = 0;
        mbtest::TcpSlave slave([&](const Bytes &request) {
            const uint16_t tid = mbtest::transaction_of(request);
            return ++requests == 1 ? c.reply(tid) : Answer{{0, frame(tid, 0, 1, read_reg0)}};
        });
        modbus_tcp_t *tcp = modbus_tcp_new();
        ASSERT_EQ(modbus_tcp_connect(tcp, "127.0.0.1", slave.port(), 1000), 0);
        modbus_tcp_set_response_timeout(tcp, 200);
        testing::internal::CaptureStdout();
        EXPECT_EQ(poll_register(mbtest::base(tcp)), c.status);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
        EXPECT_EQ(modbus_tcp_is_connected(tcp) == 0, c.closes);
        if (c.closes) {
            EXPECT_EQ(poll_register(mbtest::base(tcp)), BUSLINK_E_NO_CONNECTION);
            ASSERT_EQ(modbus_tcp_connect(tcp, "127.0.0.1", slave.port(), 1000), 0);
        }
        // A late answer reaches the stream ahead of the next one, whenever it comes.
        testing::internal::CaptureStdout();
        unsigned short value = 0;
        EXPECT_EQ(poll_register(mbtest::base(tcp), &value), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed_next);
        EXPECT_EQ(value, 42);
        EXPECT_EQ(slave.connections(), c.closes ? 2 : 1);
        modbus_tcp_delete(tcp);
    }
}

TEST(modbus_tcp, RequestsCarryTheMbapHeader)
{
    Bytes seen;
    mbtest::TcpSlave slave([&](const Bytes &request) {
        seen = request;
        return Answer{{0, mbtest::mbap(mbtest::transaction_of(request), 0, 7, read_reg0)}};
    });
    modbus_tcp_t *tcp = modbus_tcp_new();
    ASSERT_EQ(modbus_tcp_connect(tcp, "localhost", slave.port(), 1000), 0);
    cl_stats_t stats;
    cl_stats_init(&stats, 0);
    modbus_query_read_holding_register(mbtest::base(tcp), 0, 7, 0);
    ASSERT_EQ(modbus_query_flush(mbtest::base(tcp), &stats), 0);
    EXPECT_EQ(seen, mbtest::mbap(1, 0, 7, B("\x03\x00\x00\x00\x01")));
    EXPECT_EQ(stats.out_packets, 1u);
    EXPECT_EQ(stats.out_bytes, 12u);
    EXPECT_EQ(stats.in_packets, 1u);
    EXPECT_EQ(stats.in_bytes, 11u);
    // A unit identifier is one byte.
    modbus_query_read_holding_register(mbtest::base(tcp), 0, 263, 0);
    EXPECT_EQ(modbus_query_flush(mbtest::base(tcp), &stats), BUSLINK_E_INVALID_PARAMETER);
    EXPECT_EQ(stats.out_packets, 2u);
    modbus_tcp_delete(tcp);
}

TEST(modbus_tcp, LostConnectionGives107UntilReconnected)
{
    int requests = 0;
    mbtest::TcpSlave slave([&](const Bytes &request) {
        if (++requests == 2)
            return Answer{{-1, ""}};
        return Answer{{0, mbtest::mbap(mbtest::transaction_of(request), 0, 1, read_reg0)}};
    });
    modbus_tcp_t *tcp = modbus_tcp_new();
    ASSERT_EQ(modbus_tcp_connect(tcp, "127.0.0.1", slave.port(), 1000), 0);
    EXPECT_EQ(poll_register(mbtest::base(tcp)), 0);
    EXPECT_EQ(poll_register(mbtest::base(tcp)), BUSLINK_E_NO_CONNECTION);
    EXPECT_EQ(modbus_tcp_is_connected(tcp), 0);
    EXPECT_EQ(poll_register(mbtest::base(tcp)), BUSLINK_E_NO_CONNECTION);
    ASSERT_EQ(modbus_tcp_connect(tcp, "127.0.0.1", slave.port(), 1000), 0);
    EXPECT_EQ(poll_register(mbtest::base(tcp)), 0);
    EXPECT_EQ(slave.connections(), 2);
    modbus_tcp_delete(tcp);
}
