// The DirectNET client: item syntax, documentation files and frames without
// a port, then the driver against the simulated PLC.
#include "buslink.h"
#include "dnetio.h"
#include "plc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <termios.h>

namespace dn = buslink::dnet;
using dnettest::Plc;
using Clock = std::chrono::steady_clock;

namespace {

struct ClientFree {
    void operator()(dnetio_t *c) const { dnetio_delete(c); }
};
using Client = std::unique_ptr<dnetio_t, ClientFree>;

Client open_client(const std::string &port, int mode = DNETIO_MODE_HEX)
{
    Client c(dnetio_new());
    EXPECT_EQ(dnetio_set_values(c.get(), port.c_str(), 9600, 2, 1, 8, mode), 0) << dnetio_get_last_error(c.get());
    return c;
}

std::string bytes_of(const unsigned char *p, std::size_t n)
{
    return std::string(reinterpret_cast<const char *>(p), n);
}

} // namespace

TEST(DnetPure, References)
{
    struct Case {
        const char *text;
        bool ok;
        char type;
        unsigned address;
    } cases[] = {
        {"V2000", true, '1', 1025}, {"v0", true, '1', 1},        {"VC7", true, '1', 16769},
        {"vx17", true, '1', 16641}, {"VY20", true, '1', 16706},  {"CTA10", true, '1', 521},
        {"cta0", true, '1', 513},   {"TA0", true, '1', 1},       {"Ta17", true, '1', 16},
        {"Q12", true, 'A', 12},     {"q0", true, 'A', 0},        {"V8", true, '1', 0},
        {"Vabc", true, '1', 0},     {"V177776", true, '1', 65535}, {"V177777", false, 0, 0},
        {"Q", false, 0, 0},         {"Q1x", false, 0, 0},        {"TA8", false, 0, 0},
        {"CTA", false, 0, 0},       {"VX", false, 0, 0},         {"X1", false, 0, 0},
        {"", false, 0, 0},          {"V99999999999999", true, '1', 0},
    };
    for (const auto &c : cases) {
        dn::Reference ref;
        ASSERT_EQ(dn::parse_reference(c.text, ref), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(ref.type, c.type) << c.text;
            EXPECT_EQ(ref.address, c.address) << c.text;
        }
    }
}

TEST(DnetPure, DocumentationFile)
{
    const std::string text = "# comment line\n"
                             "V2000,Tank level\r\n"
                             "V2001,\"Level, high\",ignored\n"
                             "V2002,speed # trailing note\n"
                             "V2003\n"
                             "\"V2004#x\",name\"#\"here\n"
                             "\n"
                             "V2005,last";
    const auto pairs = dn::parse_documentation(text);
    const std::vector<std::pair<std::string, std::string>> want = {
        {"V2000", "Tank level"}, {"V2001", "Level, high"}, {"V2002", "speed "}, {"V2004#x", "name#here"},
        {"V2005", "last"}};
    EXPECT_EQ(pairs, want);

    // An over-long line counts with its head only; its tail is no line of its own.
    const std::string long_line = "V3000,name" + std::string(300, 'x') + ",V3001,tail\nV3002,next\n";
    const auto clipped = dn::parse_documentation(long_line);
    ASSERT_EQ(clipped.size(), 2u);
    EXPECT_EQ(clipped[0].second.size(), dn::line_limit - 6);
    EXPECT_EQ(clipped[1].first, "V3002");
}

TEST(DnetPure, HeaderAndBlocks)
{
    const auto read = dn::make_header(1, false, '1', 0x401, 2);
    EXPECT_EQ(bytes_of(read.data(), read.size()), "\x01"
                                                   "01010401000400\x17"
                                                   "01");
    // 258 bytes: two whole blocks and four characters.
    const auto write = dn::make_header(5, true, '1', 0xC01, 258);
    EXPECT_EQ(bytes_of(write.data(), write.size()), "\x01"
                                                    "05810C01020400\x17"
                                                    "78");

    struct Case {
        const char *block;
        bool last;
        int status;
    } cases[] = {
        {"3412\x03"
         "04\r",
         true, 0},
        {"3412\x17"
         "04\r",
         false, 0},
        {"3412\x17"
         "04\r",
         true, DNETIO_E_ERRONEOUS_RESPONSE},
        {"3412\x03"
         "05\r",
         true, DNETIO_E_CHECKSUM},
        {"34G2\x03"
         "04\r",
         true, DNETIO_E_ERRONEOUS_RESPONSE},
        {"ab12\x03"
         "04\r",
         true, DNETIO_E_CHECKSUM},
    };
    for (const auto &c : cases) {
        unsigned char out[2] = {0xEE, 0xEE};
        EXPECT_EQ(dn::check_read_block(reinterpret_cast<const unsigned char *>(c.block), 4, c.last, out), c.status)
            << c.block;
        // Only a sound block reaches the data.
        EXPECT_EQ(out[0], c.status == 0 ? 0x34 : 0xEE);
    }
    unsigned char out[2] = {};
    const unsigned char lower[] = "ab12\x03" "00\r";
    EXPECT_EQ(dn::check_read_block(lower, 4, true, out), 0);
    EXPECT_EQ(out[0], 0xAB);

    const unsigned char good[] = {'N', 0x25, dn::ACK, '\n'}, other[] = {'N', 0x26, dn::ACK, '\r'};
    EXPECT_TRUE(dn::enquiry_answer_ok(good, 5));
    EXPECT_FALSE(dn::enquiry_answer_ok(other, 5));
}

TEST(DnetPure, ErrorStrings)
{
    EXPECT_STREQ(dnetio_error_string(0), "Success");
    EXPECT_STREQ(dnetio_error_string(9), "Request handshake failed");
    EXPECT_STREQ(dnetio_error_string(17), "Not executed");
    EXPECT_STREQ(dnetio_error_string(18), "Unknown error (18)");
    EXPECT_STREQ(dnetio_error_string(-1), "Unknown error (-1)");
    // Each thread keeps its own text.
    const char *mine = dnetio_error_string(100);
    std::thread([] { EXPECT_STREQ(dnetio_error_string(200), "Unknown error (200)"); }).join();
    EXPECT_STREQ(mine, "Unknown error (100)");
}

TEST(DnetClient, ResolutionResultsAndNicknames)
{
    Client c(dnetio_new());
    dnetio_set_nickname(c.get(), 3, "speed", "V2000");
    dnetio_set_nickname(c.get(), -1, "temp", "V2001");
    dnetio_set_nickname(c.get(), -1, "temp", "V2002"); // the newer one wins

    EXPECT_EQ(dnetio_request(c.get(), 3, "SPEED", 3), 0);
    EXPECT_EQ(dnetio_request(c.get(), 4, "temp", 3), 0);
    EXPECT_EQ(dnetio_request(c.get(), 4, "speed", 3), DNETIO_E_UNAVAILABLE_ITEM);
    // A node with nicknames of its own does not see the common ones.
    EXPECT_EQ(dnetio_request(c.get(), 3, "temp", 3), DNETIO_E_UNAVAILABLE_ITEM);
    EXPECT_EQ(dnetio_request(c.get(), 90, "V2000", 3), DNETIO_E_UNAVAILABLE_ITEM);
    EXPECT_EQ(dnetio_write_integer(c.get(), 1, "V2000", 11, 1), DNETIO_E_UNSUPPORTED_TYPE);
    EXPECT_EQ(dnetio_write_integer(c.get(), 1, "nonsense", 3, 1), DNETIO_E_UNAVAILABLE_ITEM);

    unsigned v = 0;
    EXPECT_EQ(dnetio_result_integer(c.get(), 3, "V2000", 3, &v), DNETIO_E_NOT_EXECUTED);
    EXPECT_EQ(dnetio_result_integer(c.get(), 4, "V2002", 3, &v), DNETIO_E_NOT_EXECUTED);
    EXPECT_EQ(dnetio_result_integer(c.get(), 4, "V2001", 3, &v), DNETIO_E_NOT_IN_QUEUE);
    // A u32 needs the word after V2000 too, which nobody asked for.
    EXPECT_EQ(dnetio_result_integer(c.get(), 3, "V2000", 5, &v), DNETIO_E_NOT_IN_QUEUE);
    EXPECT_EQ(dnetio_result_integer(c.get(), 3, "V2000", 12, &v), DNETIO_E_UNSUPPORTED_TYPE);
    EXPECT_EQ(dnetio_result_integer(c.get(), 3, "bogus", 3, &v), DNETIO_E_UNAVAILABLE_ITEM);

    dnetio_set_case_sensitive(c.get(), 1);
    EXPECT_EQ(dnetio_request(c.get(), 3, "SPEED", 3), DNETIO_E_UNAVAILABLE_ITEM);
    EXPECT_EQ(dnetio_request(c.get(), 3, "speed", 3), 0);

    // A documentation file replaces the node's list; a missing one keeps it.
    const std::string dir = dnettest::make_temp_dir();
    dnettest::write_file(dir + "/doc.csv", "V3000,flow\n");
    EXPECT_EQ(dnetio_load_documentation(c.get(), 3, (dir + "/missing.csv").c_str()), 0);
    EXPECT_EQ(dnetio_request(c.get(), 3, "speed", 3), 0);
    EXPECT_EQ(dnetio_load_documentation(c.get(), 3, (dir + "/doc.csv").c_str()), 1);
    EXPECT_EQ(dnetio_request(c.get(), 3, "speed", 3), DNETIO_E_UNAVAILABLE_ITEM);
    EXPECT_EQ(dnetio_request(c.get(), 3, "flow", 3), 0);
    dnettest::remove_dir(dir);

    dnetio_reset(c.get());
    EXPECT_EQ(dnetio_result_integer(c.get(), 3, "flow", 3, &v), DNETIO_E_NOT_IN_QUEUE);

    // Nothing may reach past the last address the header can carry.
    const unsigned char four[4] = {};
    EXPECT_EQ(dnetio_request_buf(c.get(), 1, "V177776", 2), 0);
    EXPECT_EQ(dnetio_request_buf(c.get(), 1, "V177776", 4), DNETIO_E_UNAVAILABLE_ITEM);
    EXPECT_EQ(dnetio_request_buf(c.get(), 1, "V0", 0xFFFFFFFFu), DNETIO_E_UNAVAILABLE_ITEM);
    EXPECT_EQ(dnetio_write_raw(c.get(), 1, '1', 0xFFFF, four, 2), 0);
    EXPECT_EQ(dnetio_write_raw(c.get(), 1, '1', 0xFFFF, four, 4), DNETIO_E_UNAVAILABLE_ITEM);
    EXPECT_EQ(dnetio_write_integer(c.get(), 1, "V177776", 5, 1), DNETIO_E_UNAVAILABLE_ITEM);
}

TEST(DnetClient, OpeningThePort)
{
    Client c(dnetio_new());
    testing::internal::CaptureStderr();
    EXPECT_EQ(dnetio_set_values(c.get(), "/dev/no-such-port", 9600, 1, 1, 8, 2), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(dnetio_get_last_error(c.get()), DNETIO_E_OPEN);
    EXPECT_EQ(std::string(dnetio_get_system_error(c.get())).rfind("Error 2: ", 0), 0u);
    EXPECT_NE(err.find("Failed to open /dev/no-such-port: Error 2: "), std::string::npos);
    EXPECT_EQ(dnetio_is_connected(c.get()), 0);

    dnettest::PtyPair pty;
    struct Case {
        int baud, parity, stop, data, status;
    } bad[] = {{57600, 1, 1, 8, 2}, {115200, 1, 1, 8, 2}, {9600, 0, 1, 8, 3}, {9600, 4, 1, 8, 3},
               {9600, 1, 0, 8, 4},  {9600, 1, 3, 8, 4},    {9600, 1, 1, 6, 5}, {9600, 1, 1, 9, 5}};
    for (const auto &b : bad) {
        EXPECT_EQ(dnetio_set_values(c.get(), pty.path.c_str(), b.baud, b.parity, b.stop, b.data, 2), -1);
        EXPECT_EQ(dnetio_get_last_error(c.get()), b.status) << b.baud << " " << b.parity << b.stop << b.data;
        EXPECT_EQ(dnetio_is_connected(c.get()), 0);
    }
    // Opened again with parity, which a pseudo-terminal drops the first time.
    for (int again = 0; again < 2; ++again) {
        ASSERT_EQ(dnetio_set_values(c.get(), pty.path.c_str(), 300, 1, 1, 7, 2), 0) << dnetio_get_system_error(c.get());
        EXPECT_EQ(dnetio_get_last_error(c.get()), 0);
        EXPECT_EQ(dnetio_is_connected(c.get()), 1);
    }

    // The line settings themselves (a pseudo-terminal keeps no parity or size).
    struct Good {
        int baud, parity, stop, data;
        speed_t speed;
        tcflag_t size;
        bool parenb, parodd, cstopb;
    } good[] = {{300, 1, 1, 7, B300, CS7, true, true, false},
                {600, 3, 2, 8, B600, CS8, true, false, true},
                {38400, 2, 1, 8, B38400, CS8, false, false, false}};
    for (const auto &g : good) {
        termios t{};
        t.c_iflag = IXON | IXOFF | ISTRIP | ICRNL;
        t.c_cflag = CRTSCTS;
        ASSERT_EQ(dn::make_line(t, g.baud, g.parity, g.stop, g.data), 0);
        EXPECT_EQ(cfgetospeed(&t), g.speed);
        EXPECT_EQ(t.c_cflag & CSIZE, g.size);
        EXPECT_EQ((t.c_cflag & PARENB) != 0, g.parenb);
        EXPECT_EQ((t.c_cflag & PARODD) != 0, g.parodd);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, g.cstopb);
        EXPECT_EQ((t.c_iflag & INPCK) != 0, g.parenb);
        EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ISTRIP | ICRNL), 0u);
    }
    dnetio_disconnect(c.get());
    EXPECT_EQ(dnetio_is_connected(c.get()), 0);
    // The text of the last failed open stays.
    EXPECT_EQ(std::string(dnetio_get_system_error(c.get())).rfind("Error 2: ", 0), 0u);
}

TEST(DnetPlc, ValuesRunsAndTheClock)
{
    Plc plc(R"({"node": 5, "clock": "2026-01-01T00:00:00",
                "v": {"2000": 1234, "2001": {"bcd": 4321}, "2002": {"float": 1.5}, "2004": {"u32": 70000},
                      "2006": 65535},
                "raw": [{"type": "A", "address": 3, "hex": "0000C0BF"}],
                "timers": {"3": {"value": 42, "running": false}}, "counters": {"5": 12}})");
    ASSERT_TRUE(plc.ready());
    Client c = open_client(plc.port());
    EXPECT_EQ(dnetio_ping(c.get(), 5), 1);

    // V1777 below the run makes it grow downwards: one read of 16 bytes.
    const char *reads[][2] = {{"V2000", "3"}, {"V2001", "0"}, {"V2002", "7"}, {"V2004", "5"},
                              {"V2006", "4"}, {"V1777", "3"}};
    for (const auto &r : reads)
        ASSERT_EQ(dnetio_request(c.get(), 5, r[0], std::atoi(r[1])), 0) << r[0];
    ASSERT_EQ(dnetio_request(c.get(), 5, "TA3", 0), 0);
    ASSERT_EQ(dnetio_request(c.get(), 5, "CTA5", 0), 0);
    ASSERT_EQ(dnetio_request(c.get(), 5, "Q3", 0), 0);
    // BCD16 1234 goes out as 0x34, 0x12; a u32 spans two words.
    ASSERT_EQ(dnetio_write_integer(c.get(), 5, "V3000", 9, 1234), 0);
    ASSERT_EQ(dnetio_write_float(c.get(), 5, "V3001", 3, 77.9), 0);
    ASSERT_EQ(dnetio_write_float(c.get(), 5, "Q20", 7, -1e300), 0);
    ASSERT_EQ(dnetio_write_integer(c.get(), 5, "V7775", 5, 55536741), 0);
    dnetio_flush(c.get());

    unsigned u = 0;
    double f = 0;
    EXPECT_EQ(dnetio_result_integer(c.get(), 5, "V2000", 3, &u), 0);
    EXPECT_EQ(u, 1234u);
    EXPECT_EQ(dnetio_result_integer(c.get(), 5, "V2001", 0, &u), 0);
    EXPECT_EQ(u, 4321u);
    EXPECT_EQ(dnetio_result_float(c.get(), 5, "V2002", 7, &f), 0);
    EXPECT_EQ(f, 1.5);
    EXPECT_EQ(dnetio_result_integer(c.get(), 5, "V2002", 7, &u), 0);
    EXPECT_EQ(u, 1u);
    EXPECT_EQ(dnetio_result_integer(c.get(), 5, "V2004", 5, &u), 0);
    EXPECT_EQ(u, 70000u);
    EXPECT_EQ(dnetio_result_float(c.get(), 5, "V2006", 4, &f), 0);
    EXPECT_EQ(f, -1.0);
    EXPECT_EQ(dnetio_result_integer(c.get(), 5, "TA3", 0, &u), 0);
    EXPECT_EQ(u, 42u);
    EXPECT_EQ(dnetio_result_integer(c.get(), 5, "CTA5", 0, &u), 0);
    EXPECT_EQ(u, 12u);
    EXPECT_EQ(dnetio_result_float(c.get(), 5, "Q3", 0, &f), 0);
    EXPECT_EQ(f, -1.5);
    EXPECT_EQ(dnetio_result_integer(c.get(), 5, "V3000", 9, &u), 0);
    dnetio_reset(c.get());
    ASSERT_EQ(dnetio_request(c.get(), 5, "Q20", 0), 0);
    dnetio_flush(c.get());
    EXPECT_EQ(dnetio_result_float(c.get(), 5, "Q20", 0, &f), 0);
    EXPECT_EQ(f, -HUGE_VAL);
    dnetio_reset(c.get());

    const char *clock[] = {"V7766", "V7767", "V7770", "V7771", "V7772", "V7773", "V7774"};
    for (const char *item : clock)
        ASSERT_EQ(dnetio_request(c.get(), 5, item, 0), 0);
    ASSERT_EQ(dnetio_request(c.get(), 5, "V3000", 3), 0);
    dnetio_flush(c.get());
    unsigned got[7] = {};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(dnetio_result_integer(c.get(), 5, clock[i], 0, &got[i]), 0) << clock[i];
    EXPECT_EQ(got[1], 7u);
    EXPECT_EQ(got[2], 14u);
    EXPECT_EQ(got[4], 5u);
    EXPECT_EQ(got[5], 3u);
    EXPECT_EQ(got[6], 2024u);
    EXPECT_EQ(dnetio_result_integer(c.get(), 5, "V3000", 3, &u), 0);
    EXPECT_EQ(u, 0x1234u);

    const auto record = plc.stop();
    std::vector<std::string> shapes;
    for (const auto &r : record)
        if (r.direction != "-")
            shapes.push_back(r.direction + " " + r.type + " " + std::to_string(r.address) + " " +
                         std::to_string(r.bytes) + " " + r.result);
    const std::vector<std::string> want = {
        "read 1 1024 16 ok", "read 1 4 2 ok",     "read 1 518 2 ok", "read A 3 4 ok",
        "write 1 1537 4 ok", "write A 20 4 ok", "write 1 4094 4 ok", "read A 20 4 ok",
        "read 1 4087 14 ok", "read 1 1537 2 ok"};
    EXPECT_EQ(shapes, want);
    for (const auto &r : record)
        if (r.direction == "write") {
            EXPECT_EQ(r.data, "34124D00");
            break;
        }
}

TEST(DnetPlc, LongRunsAndTheFixmeLine)
{
    Plc plc(R"({"node": 2})");
    ASSERT_TRUE(plc.ready());
    Client c = open_client(plc.port());
    unsigned char pattern[300];
    for (unsigned i = 0; i < sizeof pattern; ++i)
        pattern[i] = static_cast<unsigned char>(i * 7 + 1);
    ASSERT_EQ(dnetio_write_buf(c.get(), 2, "V5000", pattern, sizeof pattern), 0);
    testing::internal::CaptureStderr();
    ASSERT_EQ(dnetio_write_integer(c.get(), 2, "V6001", 3, 1), 0);
    ASSERT_EQ(dnetio_write_integer(c.get(), 2, "V6000", 3, 2), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "dnetio.c 997: Fixme (3073)\n");
    dnetio_flush(c.get());
    EXPECT_EQ(dnetio_result_buf(c.get(), 2, "V5000", nullptr, 0), 0);
    dnetio_reset(c.get());

    ASSERT_EQ(dnetio_request_buf(c.get(), 2, "V5000", sizeof pattern), 0);
    dnetio_flush(c.get());
    unsigned char back[300] = {};
    EXPECT_EQ(dnetio_result_buf(c.get(), 2, "V5000", back, sizeof back), 0);
    EXPECT_EQ(std::memcmp(back, pattern, sizeof back), 0);

    const auto record = plc.stop();
    std::vector<std::string> shapes;
    for (const auto &r : record)
        if (r.direction != "-")
            shapes.push_back(r.direction + " " + std::to_string(r.address) + " " + std::to_string(r.bytes) + " " +
                         r.result);
    // Writes grow to 256 bytes plus one element, reads stop below 256 less one.
    const std::vector<std::string> want = {"write 2561 258 ok", "write 2690 42 ok", "write 3074 2 ok",
                                           "write 3073 2 ok",   "read 2561 254 ok", "read 2688 46 ok"};
    EXPECT_EQ(shapes, want);
}

TEST(DnetPlc, StatusCodes)
{
    Plc plc(R"({"node": 7, "faults": [
        {"request": 1, "action": "silent"},
        {"request": 2, "action": "wrong_node"},
        {"request": 3, "action": "nak", "stage": "header"},
        {"request": 4, "action": "bad_lrc"},
        {"request": 5, "action": "no_eot"},
        {"request": 6, "action": "nak", "stage": "block"},
        {"request": 7, "action": "nak", "stage": "enquiry"},
        {"request": 8, "action": "truncate", "stage": "data"}]})");
    ASSERT_TRUE(plc.ready());
    Client c = open_client(plc.port());
    struct Case {
        const char *item;
        bool write;
        int status;
    } cases[] = {{"V100", false, DNETIO_E_HANDSHAKE},    {"V200", false, DNETIO_E_HANDSHAKE},
                 {"V300", false, DNETIO_E_NOT_ACCEPTED}, {"V400", false, DNETIO_E_CHECKSUM},
                 {"V500", false, DNETIO_E_NO_EOT},       {"V600", true, DNETIO_E_NOT_ACCEPTED},
                 {"V700", false, DNETIO_E_HANDSHAKE},    {"V1000", false, DNETIO_E_NO_RESPONSE}};
    for (const auto &k : cases)
        ASSERT_EQ(k.write ? dnetio_write_integer(c.get(), 7, k.item, 3, 9) : dnetio_request(c.get(), 7, k.item, 3),
                  0);
    testing::internal::CaptureStderr();
    dnetio_flush(c.get());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("_dnetio_dnet_initiate_request: timeout\n"),
              std::string::npos);
    for (const auto &k : cases) {
        unsigned v = 0;
        EXPECT_EQ(dnetio_result_integer(c.get(), 7, k.item, 3, &v), k.status) << k.item;
    }
    dnetio_reset(c.get());
    // A run after the failures works again.
    ASSERT_EQ(dnetio_request(c.get(), 7, "V2000", 3), 0);
    dnetio_flush(c.get());
    unsigned v = 1;
    EXPECT_EQ(dnetio_result_integer(c.get(), 7, "V2000", 3, &v), 0);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(dnetio_ping(c.get(), 8), -1);
}

TEST(DnetPlc, OtherModeAbortAndLostLine)
{
    Plc plc(R"({"node": 1, "faults": [{"request": 1, "action": "silent"}]})");
    ASSERT_TRUE(plc.ready());

    // Another mode sends nothing and fails every run with 10.
    Client ascii = open_client(plc.port(), 1);
    ASSERT_EQ(dnetio_request(ascii.get(), 1, "V2000", 3), 0);
    testing::internal::CaptureStderr();
    dnetio_flush(ascii.get());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "to be done\n");
    unsigned v = 0;
    EXPECT_EQ(dnetio_result_integer(ascii.get(), 1, "V2000", 3, &v), DNETIO_E_WRITE);
    ascii.reset();

    Client c = open_client(plc.port());
    for (const char *item : {"V100", "V200", "V300", "V400", "V500"})
        ASSERT_EQ(dnetio_request(c.get(), 1, item, 3), 0);
    const auto start = Clock::now();
    std::thread cutter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        dnetio_abort(c.get());
    });
    dnetio_flush(c.get());
    cutter.join();
    // Five silent enquiries would take 3.5 s; the cut ends them all.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
    for (const char *item : {"V100", "V200", "V300", "V400", "V500"})
        EXPECT_EQ(dnetio_result_integer(c.get(), 1, item, 3, &v), DNETIO_E_NO_RESPONSE) << item;
    EXPECT_EQ(dnetio_ping(c.get(), 1), -1);

    dnetio_clear_abort(c.get());
    dnetio_reset(c.get());
    ASSERT_EQ(dnetio_request(c.get(), 1, "V100", 3), 0);
    dnetio_flush(c.get());
    EXPECT_EQ(dnetio_result_integer(c.get(), 1, "V100", 3, &v), 0);

    EXPECT_EQ(dnetio_is_connected(c.get()), 1);
    plc.cut_line();
    EXPECT_EQ(dnetio_is_connected(c.get()), 0);
    dnetio_flush(c.get());
    EXPECT_NE(dnetio_result_integer(c.get(), 1, "V100", 3, &v), 0);
}
