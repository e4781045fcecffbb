// The RS-232 transport against the simulated adapter, and the reader's
// byte-exact cases against a plain pseudo-terminal.
#include "txif_sim.h"

#include "buslink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

namespace {

struct AdapterFree {
    void operator()(txif_t *a) const { txif_free(a); }
};
using AdapterPtr = std::unique_ptr<txif_t, AdapterFree>;

double seconds_since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

const char *const script = R"({
  "networks": {"0": {"12": {"100": 5, "101": {"value": 2.5, "type": 7}, "102": {"value": -1, "type": 3}}},
               "1": {"70000": {"7": -1}}},
  "info": {"type": 2, "version": [1, 4, 0], "node": 1, "next_node": 12, "reconf": 3, "status": 0, "diag": 0,
           "params": 640},
  "misbehave": [
    {"do": "nak", "code": 1, "nth": 1, "node": 20}, {"do": "nak", "code": 2, "nth": 2, "node": 20},
    {"do": "nak", "code": 3, "nth": 3, "node": 20}, {"do": "nak", "code": 4, "nth": 4, "node": 20},
    {"do": "nak", "code": 5, "nth": 5, "node": 20}, {"do": "nak", "code": 6, "nth": 6, "node": 20},
    {"do": "nak", "code": 7, "nth": 7, "node": 20}, {"do": "nak", "code": 100, "nth": 8, "node": 20},
    {"do": "silent", "always": true, "node": 30},
    {"do": "truncate", "nth": 1, "node": 31}, {"do": "truncate", "keep": 2, "nth": 2, "node": 31},
    {"do": "bad_trailer", "nth": 3, "node": 31}, {"do": "bad_trailer", "byte": 0, "nth": 4, "node": 31},
    {"do": "late", "ms": 700, "always": true, "node": 32}]})";

class TxifSerial : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim_.ready());
        ASSERT_EQ(txif_connect_serial(a_.get(), sim_.path().c_str()), 0);
        txif_set_timeout(a_.get(), 300);
    }

    // Purge, send, read: the status of the read.
    int exchange()
    {
        txif_purge_buffers(a_.get());
        const int sent = txif_send_packet(a_.get(), out_);
        return sent ? sent : txif_read_packet(a_.get(), in_);
    }

    int read_of(int network, unsigned node, std::initializer_list<std::pair<unsigned, int>> entries)
    {
        EXPECT_EQ(txif_init_packet_FUN10_READ(out_, network, node), 0);
        for (const auto &e : entries)
            EXPECT_EQ(txif_packet_add_setp_request(out_, e.first, e.second), 0);
        return exchange();
    }

    txiftest::Adapter sim_{script};
    AdapterPtr a_{txif_new()};
    unsigned char out_[TXIF_PACKET_SIZE] = {}, in_[TXIF_PACKET_SIZE] = {};
};

TEST_F(TxifSerial, ReadsWritesAndInformation)
{
    ASSERT_EQ(read_of(0, 12, {{100, TXIF_TYPE_S16}, {101, TXIF_TYPE_FLOAT}, {102, TXIF_TYPE_S16}, {999, 6},
                              {101, TXIF_TYPE_S16}}),
              0);
    ASSERT_EQ(txif_packet_get_funcode(in_), TXIF_FUN110_READ_ANSWER);
    int iv = 0;
    float fv = 0;
    EXPECT_EQ(txif_get_nth_setp_value_i(in_, 0, nullptr, &iv), 0);
    EXPECT_EQ(iv, 5);
    EXPECT_EQ(txif_get_nth_setp_value_f(in_, 1, nullptr, &fv), 0);
    EXPECT_FLOAT_EQ(fv, 2.5f);
    EXPECT_EQ(txif_get_nth_setp_value_i(in_, 2, nullptr, &iv), 0);
    EXPECT_EQ(iv, -1);
    EXPECT_EQ(txif_nak_to_error(txif_get_nth_setp_value_i(in_, 3, nullptr, &iv)), TXIF_E_NAK_SETPOINT);
    EXPECT_EQ(txif_nak_to_error(txif_get_nth_setp_value_i(in_, 4, nullptr, &iv)), TXIF_E_NAK_FORMAT);
    EXPECT_EQ(read_of(1, 70000, {{7, TXIF_TYPE_S32}}), 0);
    EXPECT_EQ(txif_get_nth_setp_value_i(in_, 0, nullptr, &iv), 0);
    EXPECT_EQ(iv, -1);

    ASSERT_EQ(txif_init_packet_FUN20_WRITE(out_, 0, 12), 0);
    EXPECT_EQ(txif_packet_add_setp_value_f(out_, 101, TXIF_TYPE_FLOAT, -7.25f), 0);
    EXPECT_EQ(txif_packet_add_setp_value_i(out_, 100, TXIF_TYPE_U16, 65535), 0);
    ASSERT_EQ(exchange(), 0);
    EXPECT_EQ(txif_get_nth_setp_value_i(in_, 0, nullptr, &iv), 0);
    EXPECT_EQ(read_of(0, 12, {{101, TXIF_TYPE_FLOAT}, {100, TXIF_TYPE_U16}}), 0);
    EXPECT_EQ(txif_get_nth_setp_value_f(in_, 0, nullptr, &fv), 0);
    EXPECT_FLOAT_EQ(fv, -7.25f);
    EXPECT_EQ(txif_get_nth_setp_value_i(in_, 1, nullptr, &iv), 0);
    EXPECT_EQ(iv, 65535);

    txif_init_packet_FUN30_DEVINFOREQ(out_);
    ASSERT_EQ(exchange(), 0);
    txif_devinfo_t info{};
    ASSERT_EQ(txif_packet_get_devinfo(in_, &info), 0);
    EXPECT_EQ(info.type, 2);
    EXPECT_EQ(info.version_minor, 4);
    EXPECT_EQ(info.next_node, 12);
    EXPECT_EQ(info.reconf, 3);
    EXPECT_EQ(info.params, 640);

    // What went on the wire, byte for byte, trailer included.
    const auto heard = sim_.heard();
    ASSERT_EQ(heard.size(), 5u);
    EXPECT_EQ(heard[4].raw, txiftest::hex(txiftest::packet(30, "")));
    EXPECT_EQ(heard[1].raw,
              txiftest::hex(txiftest::packet(10, std::string("\x01\x70\x11\x01\x00\x07\x00\x00\x00\x05\x00\x00\x00",
                                                              13))));
    for (const auto &h : heard)
        EXPECT_NE(h.kind, "incomplete");
}

TEST_F(TxifSerial, EveryNakAndWholePacketRefusal)
{
    const int want[] = {-101, -102, -103, -104, -105, -106, -107, -108};
    for (int expected : want) {
        ASSERT_EQ(read_of(0, 20, {{1, TXIF_TYPE_S16}}), 0);
        EXPECT_EQ(txif_get_nak_error(in_), expected);
    }
    // The adapter's own refusals: a network or node it does not know.
    ASSERT_EQ(read_of(255, 12, {{1, TXIF_TYPE_S16}}), 0);
    EXPECT_EQ(txif_get_nak_error(in_), TXIF_E_NAK_NETWORK);
    ASSERT_EQ(read_of(0, 13, {{1, TXIF_TYPE_S16}}), 0);
    EXPECT_EQ(txif_get_nak_error(in_), TXIF_E_NAK_REMOTE_TIMEOUT);
}

TEST_F(TxifSerial, SilentTruncatedCorruptAndLateAnswers)
{
    auto start = Clock::now();
    EXPECT_EQ(read_of(0, 30, {{1, 3}}), TXIF_E_TIMEOUT);
    EXPECT_GE(seconds_since(start), 0.25);
    // A packet without its trailer, or cut in its header, is a failure.
    EXPECT_EQ(read_of(0, 31, {{1, 3}}), TXIF_E_INCOMPLETE);
    EXPECT_EQ(read_of(0, 31, {{1, 3}}), TXIF_E_TIMEOUT);
    EXPECT_EQ(read_of(0, 31, {{1, 3}}), TXIF_E_DATA_FORMAT);
    EXPECT_EQ(read_of(0, 31, {{1, 3}}), TXIF_E_DATA_FORMAT);
    EXPECT_EQ(read_of(0, 31, {{1, 3}}), 0);

    // A late answer is missed, and then purged: it never passes for the
    // answer of the next request.
    EXPECT_EQ(read_of(0, 32, {{100, 3}}), TXIF_E_TIMEOUT);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(read_of(0, 12, {{102, 3}}), 0);
    int iv = 0;
    EXPECT_EQ(txif_get_nth_setp_value_i(in_, 0, nullptr, &iv), 0);
    EXPECT_EQ(iv, -1);
}

TEST_F(TxifSerial, AbortCutsTheWaitAndHoldsUntilCleared)
{
    txif_set_timeout(a_.get(), 5000);
    std::thread cut([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        txif_abort(a_.get());
    });
    const auto start = Clock::now();
    EXPECT_EQ(read_of(0, 30, {{1, 3}}), TXIF_E_NO_CONNECTION);
    cut.join();
    EXPECT_LT(seconds_since(start), 2.0);
    EXPECT_EQ(read_of(0, 12, {{100, 3}}), TXIF_E_NO_CONNECTION);
    EXPECT_TRUE(sim_.wait_heard(1));
    EXPECT_EQ(sim_.heard().size(), 1u);
    txif_clear_abort(a_.get());
    EXPECT_EQ(read_of(0, 12, {{100, 3}}), 0);
}

TEST_F(TxifSerial, VanishedLineAndMissingPort)
{
    EXPECT_EQ(txif_is_connected(a_.get()), 1);
    sim_.vanish();
    EXPECT_EQ(txif_is_connected(a_.get()), 0);
    EXPECT_EQ(read_of(0, 12, {{100, 3}}), TXIF_E_NO_CONNECTION);
    EXPECT_EQ(txif_connect_serial(a_.get(), "/nonexistent/txif"), TXIF_E_OPEN);
    EXPECT_NE(std::string(txif_get_system_error(a_.get())).find("No such file"), std::string::npos);
    EXPECT_EQ(txif_send_packet(a_.get(), out_), TXIF_E_NO_CONNECTION);
}

// The reader's limits, fed by hand.
TEST(TxifSerialReader, OversizedLengthIsRefused)
{
    int master = -1, slave = -1;
    char name[256] = "";
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
    AdapterPtr a(txif_new());
    ASSERT_EQ(txif_connect_serial(a.get(), name), 0);
    txif_set_timeout(a.get(), 200);
    unsigned char in[TXIF_PACKET_SIZE];
    const std::string big = std::string("\x6e\x4f\x01", 3) + std::string(40, '\x55');
    ASSERT_EQ(::write(master, big.data(), big.size()), static_cast<ssize_t>(big.size()));
    EXPECT_EQ(txif_read_packet(a.get(), in), TXIF_E_DATA_FORMAT);
    // The largest answer taken: 334 payload bytes.
    const std::string largest = txiftest::packet(110, std::string(334, '\0'));
    ASSERT_EQ(::write(master, largest.data(), largest.size()), static_cast<ssize_t>(largest.size()));
    EXPECT_EQ(txif_read_packet(a.get(), in), 0);
    a.reset();
    ::close(master);
    ::close(slave);
}

} // namespace
