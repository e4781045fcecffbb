// The LCT-1 driver: its wire rules as pure functions, and the driver against
// the simulated transmitter over a pseudo-terminal.
#include "lct1.h"
#include "lct1_peer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include <unistd.h>

namespace wire = buslink::lct1;
using lct1test::Transmitter;
using Clock = std::chrono::steady_clock;

namespace {

struct LineDeleter {
    void operator()(lct1_t *line) const { lct1_delete(line); }
};
using Line = std::unique_ptr<lct1_t, LineDeleter>;

Line connected(const Transmitter &peer)
{
    Line line(lct1_new());
    EXPECT_EQ(lct1_connect(line.get(), peer.path().c_str()), 0);
    return line;
}

long ms_since(Clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

} // namespace

TEST(Lct1Wire, MessagesAreFormattedByteExactly)
{
    const std::string longest(53, '0'), too_long(54, '0');
    const struct {
        int node, message;
        const char *data;
        bool checksum;
        std::string expected;
    } cases[] = {
        {1, 60, nullptr, true, "(16097)\r\n"},
        {1, 60, nullptr, false, "(160?\?)\r\n"},
        {15, 10, "C0", true, "(F10C01A)\r\n"}, // 70+49+48+67+48 = 282
        {0, 3, nullptr, true, "(00393)\r\n"},
        {1, 30, longest.c_str(), false, "(130" + longest + "?\?)\r\n"}, // 62 long
        {1, 30, too_long.c_str(), false, ""},
        {16, 60, nullptr, true, ""},
        {1, 100, nullptr, true, ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(wire::format_message(c.node, c.message, c.data, c.checksum), c.expected)
            << c.node << "/" << c.message;
}

TEST(Lct1Wire, AnswerChecksInTheirOrder)
{
    using P = wire::Parse;
    const struct {
        std::string bytes;
        bool checksum;
        P expected;
        const char *data;
    } cases[] = {
        {"(160000100B8)", true, P::ok, "000100"},
        {"\r\n(160000100B8)", true, P::ok, "000100"}, // noise before the answer
        {"(10394)", true, P::ok, ""},
        {"160000100B8)", true, P::no_open, nullptr},
        {"", true, P::no_open, nullptr},
        {"(G60000100B8)", true, P::bad_node, nullptr},
        {"(", true, P::bad_node, nullptr},
        {"(1X0000100B8)", true, P::bad_message, nullptr},
        {"(145000100B8)", true, P::bad_message, nullptr}, // not a known number
        {"(100)", true, P::bad_message, nullptr},
        {"(160000100B8", true, P::no_close, nullptr},
        {"(160000100B8]", true, P::no_close, nullptr},
        {"(1600001)", true, P::no_close, nullptr}, // data cut short
        {"(160000100B9)", true, P::bad_checksum, nullptr},
        {"(160000100b8)", true, P::bad_checksum, nullptr},
        {"(160000100?\?)", true, P::bad_checksum, nullptr},
        {"(160000100?\?)", false, P::ok, "000100"},
        {"(16112345678909A)", false, P::ok, nullptr}, // 61 carries ten characters
    };
    for (const auto &c : cases) {
        wire::Answer answer;
        EXPECT_EQ(wire::parse_answer(c.bytes, c.checksum, answer), c.expected) << c.bytes;
        if (c.expected == P::ok && c.data) {
            EXPECT_STREQ(answer.data, c.data) << c.bytes;
        }
    }
    wire::Answer answer;
    ASSERT_EQ(wire::parse_answer("(F99021A)", true, answer), P::ok);
    EXPECT_EQ(answer.node, 15);
    EXPECT_EQ(answer.message, 99);
    EXPECT_STREQ(answer.data, "02");
}

TEST(Lct1Wire, CompleteAnswersAndDigits)
{
    EXPECT_EQ(wire::complete_length("(160000100B8)"), 13u);
    EXPECT_EQ(wire::complete_length("\r\n(160000100B8)\r\n"), 15u);
    EXPECT_EQ(wire::complete_length("(160000100B8"), 0u);
    EXPECT_EQ(wire::complete_length("(10394)"), 7u);
    EXPECT_EQ(wire::complete_length("(1450000000000000"), 0u); // length unknown: wait for silence
    EXPECT_EQ(wire::decode_digits("021000"), 21000);
    EXPECT_EQ(wire::decode_digits("00000A"), 10);
    EXPECT_EQ(wire::decode_digits("1F"), 25);
    EXPECT_EQ(wire::decode_digits("0x"), -1);
    EXPECT_EQ(wire::decode_digits("FFFFFFFFFF"), 16666666665LL); // ten characters, no overflow
}

TEST(Lct1Line, NamedParametersAgainstTheTransmitter)
{
    Transmitter peer(R"({"nodes": {
        "1": {"messages": {"1": "50", "10": "34", "50": "0123", "30": "000777"},
              "readings": ["001000", "021000"]},
        "15": {"readings": ["000050"]}}})");
    Line line = connected(peer);
    EXPECT_EQ(lct1_is_connected(line.get()), 1);

    ASSERT_EQ(lct1_exec(line.get(), 1, 60, nullptr), LCT1_SUCCESS);
    EXPECT_EQ(peer.requests(1).at(0), "(16097)\r\n");
    EXPECT_EQ(lct1_get_answer_node(line.get()), 1);
    EXPECT_EQ(lct1_get_answer_message(line.get()), 60);
    EXPECT_STREQ(lct1_get_answer_data(line.get()), "001000");

    // 1000 weighs 0, 21000 weighs 500; node 15 is calibrated like any other.
    lct1_set_calib(line.get(), 1, 1000, 0.0, 21000, 500.0);
    lct1_set_calib(line.get(), 15, 0, 10.0, 100, 20.0);
    lct1_set_calib(line.get(), 15, 5, 1.0, 5, 2.0); // no slope: ignored
    EXPECT_EQ(lct1_read_setp(line.get(), 1, "weight"), 500);
    EXPECT_EQ(lct1_read_setp(line.get(), 15, "Weight"), 15);

    const struct {
        const char *name;
        int value;
    } reads[] = {{"value", 21000}, {"status", 5},  {"version", 104}, {"filter", 3},  {"INTEG", 4},
                 {"r1func", 1},    {"r2func", 2},  {"r3func", 3},    {"r1low", 777}, {"r2high", 0}};
    for (const auto &r : reads)
        EXPECT_EQ(lct1_read_setp(line.get(), 1, r.name), r.value) << r.name;

    const struct {
        const char *name;
        int value, result, error;
        std::string sent; // the last request's bytes; empty: nothing sent
    } writes[] = {
        {"filter", 12, 12, 0, "(110C4?\?)\r\n"}, // the integration time kept
        {"integ", 7, 7, 0, "(110C7?\?)\r\n"},
        {"r2func", 5, 5, 0, "(1500959?\?)\r\n"},
        {"r1low", 123456, 123456, 0, "(130123456?\?)\r\n"},
        {"r3high", 1234567, 234567, 0, "(135234567?\?)\r\n"},
        {"status", 3, 3, 0, "(10130?\?)\r\n"},
        {"status", 16, -1, LCT1_E_ERROR_MESSAGE, "(101x0?\?)\r\n"},
        {"r1low", -1, -1, LCT1_E_ERROR_MESSAGE, "(130xxxxxx?\?)\r\n"},
        {"value", 5, -1, LCT1_E_SETPOINT, ""},
        {"version", 5, -1, LCT1_E_SETPOINT, ""},
        {"bogus", 5, -1, LCT1_E_SETPOINT, ""},
    };
    for (const auto &w : writes) {
        const std::size_t before = peer.requests().size();
        EXPECT_EQ(lct1_write_setp(line.get(), 1, w.name, w.value), w.result) << w.name;
        EXPECT_EQ(lct1_get_last_error(line.get()), w.error) << w.name;
        const auto sent = peer.requests(before + (w.sent.empty() ? 0 : 1));
        if (w.sent.empty()) {
            EXPECT_EQ(sent.size(), before) << w.name;
            continue;
        }
        ASSERT_GT(sent.size(), before) << w.name;
        // The checksum is the one part the table leaves out.
        std::string got = sent.back();
        const std::size_t at = got.size() - 5;
        if (w.sent.compare(at, 2, "??") == 0)
            got.replace(at, 2, "??");
        EXPECT_EQ(got, w.sent) << w.name;
    }
    EXPECT_EQ(lct1_read_setp(line.get(), 1, "r2func"), 5);
    EXPECT_EQ(lct1_read_setp(line.get(), 1, "r1func"), 1); // "9" left the others alone

    const std::size_t before = peer.requests().size();
    EXPECT_EQ(lct1_read_setp(line.get(), 16, "value"), -1);
    EXPECT_EQ(lct1_get_last_error(line.get()), LCT1_E_NODE);
    EXPECT_EQ(lct1_read_setp(line.get(), 1, nullptr), -1);
    EXPECT_EQ(lct1_get_last_error(line.get()), LCT1_E_SETPOINT);
    usleep(100000);
    EXPECT_EQ(peer.requests().size(), before);

    // Opened again after a close, the line keeps working.
    lct1_disconnect(line.get());
    EXPECT_EQ(lct1_is_connected(line.get()), 0);
    ASSERT_EQ(lct1_connect(line.get(), peer.path().c_str()), 0);
    EXPECT_EQ(lct1_read_setp(line.get(), 1, "status"), 3);

    peer.stop();
    EXPECT_EQ(lct1_is_connected(line.get()), 0);
}

TEST(Lct1Line, FaultyAnswersGiveTheirCodes)
{
    Transmitter peer(R"({"nodes": {"1": {"readings":
        ["000001", "000002", "000003", "000004", "000005", "000006", "000007", "000008"]}},
      "faults": [{"action": "bad_checksum", "request": 1}, {"action": "wrong_node", "request": 2},
                 {"action": "wrong_message", "request": 3}, {"action": "truncate", "request": 4},
                 {"action": "error", "code": "02", "request": 5}, {"action": "delay", "ms": 300, "request": 6},
                 {"action": "delay", "ms": 4900, "request": 7}, {"action": "silent", "request": 9}]})");
    Line line = connected(peer);

    const int expected[] = {LCT1_E_CHECKSUM, LCT1_E_MISMATCH, LCT1_E_MISMATCH};
    for (const int code : expected)
        EXPECT_EQ(lct1_exec(line.get(), 1, 60, nullptr), code);

    testing::internal::CaptureStdout();
    EXPECT_EQ(lct1_exec(line.get(), 1, 60, nullptr), LCT1_E_PARENTHESIS);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Ingen avslutande parantes ')'\n");

    EXPECT_EQ(lct1_read_setp(line.get(), 1, "value"), -1);
    EXPECT_EQ(lct1_get_last_error(line.get()), LCT1_E_ERROR_MESSAGE);
    EXPECT_STREQ(lct1_get_answer_data(line.get()), "02");

    EXPECT_EQ(lct1_read_setp(line.get(), 1, "value"), 5); // late, within the time-outs

    // An answer after the time-outs is no answer, and does not pass for the
    // answer to the next message.
    auto start = Clock::now();
    EXPECT_EQ(lct1_read_setp(line.get(), 1, "value"), -1);
    EXPECT_EQ(lct1_get_last_error(line.get()), LCT1_E_NO_RESPONSE);
    EXPECT_GE(ms_since(start), wire::read_total_ms - 50);
    usleep(400000);
    EXPECT_EQ(lct1_read_setp(line.get(), 1, "value"), 7); // not the late 6

    // A transmitter that resets without answering has done what was asked.
    EXPECT_EQ(lct1_extern_reset(line.get(), 1), LCT1_SUCCESS);
    EXPECT_EQ(peer.requests(9).at(8), "(10394)\r\n");
}

TEST(Lct1Line, WithoutChecksumsAndWithTrailingLineEnds)
{
    Transmitter peer(R"({"checksum": false, "crlf": true, "nodes": {"1": {"readings": ["000042"]}}})");
    Line line = connected(peer);
    lct1_set_checksum(line.get(), 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(lct1_read_setp(line.get(), 1, "value"), 42);
    EXPECT_EQ(peer.requests(1).at(0), "(160?\?)\r\n");
}

TEST(Lct1Line, AbortCutsTheWaitUntilCleared)
{
    Transmitter peer(R"({"faults": [{"action": "delay", "ms": 2000, "request": 1}]})");
    Line line = connected(peer);
    const auto start = Clock::now();
    int rc = -1;
    std::thread exchange([&] { rc = lct1_exec(line.get(), 1, 60, nullptr); });
    usleep(200000);
    lct1_abort(line.get());
    exchange.join();
    EXPECT_EQ(rc, LCT1_E_NO_RESPONSE);
    EXPECT_LT(ms_since(start), 1500);

    EXPECT_EQ(lct1_exec(line.get(), 1, 60, nullptr), LCT1_E_NO_RESPONSE);
    EXPECT_EQ(lct1_extern_reset(line.get(), 1), LCT1_E_NO_RESPONSE); // nothing sent is no reset
    usleep(100000);
    EXPECT_EQ(peer.requests(1).size(), 1u);

    lct1_clear_abort(line.get());
    std::this_thread::sleep_until(start + std::chrono::milliseconds(2300));
    EXPECT_EQ(lct1_exec(line.get(), 1, 60, nullptr), LCT1_SUCCESS);
}

TEST(Lct1Line, PortsThatCannotBeUsed)
{
    Line line(lct1_new());
    EXPECT_EQ(lct1_exec(line.get(), 1, 60, nullptr), LCT1_E_NO_ACCESS);
    EXPECT_EQ(lct1_is_connected(line.get()), 0);

    EXPECT_EQ(lct1_connect(line.get(), "/nonexistent/ttyLCT"), LCT1_E_NO_ACCESS);
    EXPECT_STREQ(lct1_get_system_error(line.get()), "Error 2: No such file or directory");

    char file[] = "/tmp/lct1-notatty-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(lct1_connect(line.get(), file), LCT1_E_COMSTATE);
    EXPECT_STREQ(lct1_error_string(lct1_get_last_error(line.get())), "Comstate failed");
    unlink(file);

    EXPECT_STREQ(lct1_error_string(LCT1_E_MISMATCH), "Sent and received messages does not match");
    EXPECT_STREQ(lct1_error_string(12), "Unknown error");
}
