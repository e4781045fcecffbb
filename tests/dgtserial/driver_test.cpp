// The DGT serial driver: its text rules as pure functions, and the line
// object against the simulated LCC1200 line over a pseudo-terminal.
#include "dgt_peer.h"
#include "dgtserial.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace dgt = buslink::dgt;
using Clock = std::chrono::steady_clock;

namespace {

struct LineFree {
    void operator()(dgtserial_t *l) const { dgtserial_delete(l); }
};
using LinePtr = std::unique_ptr<dgtserial_t, LineFree>;

double seconds_since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

TEST(DgtTexts, RequestAndValueTexts)
{
    struct Case {
        std::string got, want;
    };
    const Case cases[] = {
        {dgt::write_text('A', 57, 5.25, false), "A057=05.25 "},
        {dgt::write_text('A', 104, 12, false), "A104=12.0 "},
        {dgt::write_text('A', 300, 12, false), "A300=12 "},
        {dgt::write_text('A', 431, 123.4, false), "A431=99.9 "},
        {dgt::broadcast_text(300, 1.5), "/300=1.50 "},
        {dgt::read_text('B', 7), "B007 "},
        {dgt::read_text('C', 636), "C636 "},
        {dgt::value_text(57, 12.5, false), "12.50 "},
        {dgt::value_text(57, -1, false), "-1.00 "},
        {dgt::value_text(435, 5.25, false), "05.2 "},
        {dgt::value_text(104, 12.25, false), "12.25 "},
        {dgt::value_text(300, 7.9, true), "7 "},
        {dgt::value_text(300, -7.9, true), "-7 "},
        {dgt::value_text(300, 0.125, false), "0.12 "},
        {dgt::value_text(57, 7.9, true), "07.00 "},
        // Rounding up to 10 leaves two integer digits, not three.
        {dgt::value_text(57, 9.999, false), "10.00 "},
        {dgt::value_text(436, 9.96, false), "10.0 "},
        // A negative zero and large whole numbers keep their meaning.
        {dgt::value_text(57, -0.0, false), "00.00 "},
        {dgt::value_text(300, -0.0, false), "0 "},
        {dgt::value_text(300, 1234567, false), "1234567 "},
        {dgt::value_text(300, 123456, false), "123456 "},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.got, c.want);
}

TEST(DgtTexts, AnswerChecks)
{
    struct Case {
        const char *answer;
        char department;
        unsigned number;
        int status;
        double value;
        dgt::Note note;
    };
    using N = dgt::Note;
    const Case cases[] = {
        {"*A57=12.5\r", 'A', 57, 0, 12.5, N::none},
        {"*A057=-3\n", 'A', 57, 0, -3, N::none},
        {"*A57= 12.5 \r", 'A', 57, 0, 12.5, N::none},
        {"/47=412\r", 'A', 636, 0, 412, N::none},
        {"*A57=1.0", 'A', 57, 3, 0, N::none},
        {"", 'A', 57, 3, 0, N::none},
        {"*A57=?1\r", 'A', 57, 7, 0, N::none},
        {"?\r", 'A', 57, 7, 0, N::not_available},
        {"*?\r", 'A', 57, 7, 0, N::not_available},
        {"*B57=1.0\r", 'A', 57, 4, 0, N::bad_department},
        {"*A58=1.0\r", 'A', 57, 6, 0, N::none},
        {"/48=1.0\r", 'A', 636, 6, 0, N::none},
        {"#A57=1.0\r", 'A', 57, 4, 0, N::bad_start},
        {"*A47=412\r", 'A', 636, 4, 0, N::bad_department},
        {"\r", 'A', 57, 4, 0, N::bad_start},
        {"*A=1.0\r", 'A', 57, 4, 0, N::bad_number},
        {"*A57\r", 'A', 57, 4, 0, N::bad_number},
        {"*A57x=1\r", 'A', 57, 4, 0, N::bad_number},
        {"*A99999999999999999999957=1\r", 'A', 57, 6, 0, N::none},
        // Not a number: refused rather than read as 0.
        {"*A57=abc\r", 'A', 57, 4, 0, N::bad_value},
        {"*A57=\r", 'A', 57, 4, 0, N::bad_value},
        {"*A57=1.5x\r", 'A', 57, 4, 0, N::bad_value},
        {"*A57=nan\r", 'A', 57, 4, 0, N::bad_value},
    };
    for (const Case &c : cases) {
        const dgt::Answer a = dgt::check_answer(c.answer, std::strlen(c.answer), c.department, c.number);
        EXPECT_EQ(a.status, c.status) << c.answer;
        EXPECT_EQ(a.note, c.note) << c.answer;
        if (c.status == 0) {
            EXPECT_DOUBLE_EQ(a.value, c.value) << c.answer;
        }
    }
}

TEST(DgtLine, WithoutPortAndStatusTexts)
{
    LinePtr line(dgtserial_new());
    ASSERT_TRUE(line);
    EXPECT_EQ(dgtserial_is_connected(line.get()), 0);
    EXPECT_EQ(dgtserial_connect(line.get(), "/nonexistent/dgt-port", 9600), 1);
    EXPECT_NE(std::string(dgtserial_get_system_error(line.get())).find("No such file"), std::string::npos)
        << dgtserial_get_system_error(line.get());

    dgtserial_queue_read(line.get(), 'A', 57);
    dgtserial_queue_write(line.get(), 'B', 57, 1);
    double v = 42;
    EXPECT_EQ(dgtserial_result(line.get(), 'A', 57, &v), DGTSERIAL_E_UNHANDLED);
    EXPECT_EQ(dgtserial_result(line.get(), 'A', 58, &v), DGTSERIAL_E_NOT_IN_REQUEST);
    const auto start = Clock::now();
    dgtserial_flush(line.get());
    EXPECT_LT(seconds_since(start), 0.2); // no pauses (0.35 s) without a port
    EXPECT_EQ(dgtserial_result(line.get(), 'A', 57, &v), DGTSERIAL_E_DISCONNECTED);
    EXPECT_EQ(dgtserial_result(line.get(), 'B', 57, nullptr), DGTSERIAL_E_DISCONNECTED);
    EXPECT_EQ(v, 42);
    dgtserial_new_request(line.get());
    EXPECT_EQ(dgtserial_result(line.get(), 'A', 57, &v), DGTSERIAL_E_NOT_IN_REQUEST);
    EXPECT_STREQ(dgtserial_get_node_list(line.get()), "");

    const std::pair<int, const char *> texts[] = {{0, "Success"},          {1, "Disconnected"},
                                                  {7, "Unavailable setpoint"}, {11, "Failed to read from serial port"},
                                                  {999, "Implement me!"},   {12, "Unhandled error code"}};
    for (const auto &[code, text] : texts)
        EXPECT_STREQ(dgtserial_get_errmsg(code), text);
}

const char *const line_script = R"({
  "departments": {"A": {"57": 5.25, "300": "12", "104": 3, "636": 412, "431": 20, "777": 1, "778": 2, "779": 3},
                  "B": {"57": 1, "300": 4}},
  "unavailable": {"A": [58]},
  "misbehave": [
    {"do": "corrupt", "dept": "B", "number": 57, "nth": 1},
    {"do": "wrong_node", "dept": "B", "number": 57, "nth": 2},
    {"do": "wrong_setpoint", "dept": "B", "number": 57, "nth": 3},
    {"do": "long", "dept": "B", "number": 57, "nth": 4},
    {"do": "long", "kind": "write", "dept": "B", "number": 300, "nth": 1},
    {"do": "truncate", "dept": "A", "number": 778, "keep": 4, "always": true},
    {"do": "silent", "dept": "A", "number": 777, "always": true},
    {"do": "late", "kind": "write", "dept": "A", "number": 779, "ms": 2120, "always": true}
  ]})";

class DgtSim : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.ready());
        line.reset(dgtserial_new());
        ASSERT_EQ(dgtserial_connect(line.get(), sim.path().c_str(), 9600), 0);
        EXPECT_EQ(dgtserial_is_connected(line.get()), 1);
        EXPECT_STREQ(dgtserial_get_system_error(line.get()), "");
    }
    int read(char d, unsigned n, double &v)
    {
        dgtserial_new_request(line.get());
        dgtserial_queue_read(line.get(), d, n);
        dgtserial_flush(line.get());
        return dgtserial_result(line.get(), d, n, &v);
    }

    dgttest::Line sim{line_script};
    LinePtr line;
};

TEST_F(DgtSim, BatchOrderPausesAndResults)
{
    dgtserial_t *l = line.get();
    dgtserial_queue_read(l, 'A', 57);
    dgtserial_queue_read(l, 'A', 300);
    dgtserial_queue_read(l, 'A', 636);
    dgtserial_queue_read(l, 'A', 58);
    dgtserial_queue_read(l, 'B', 300);
    dgtserial_queue_write_int(l, 'A', 104, 7);
    dgtserial_queue_write(l, 'A', 431, 123.4);
    dgtserial_queue_write(l, 'A', 58, 1);
    dgtserial_queue_broadcast(l, 300, 1.5);
    testing::internal::CaptureStderr();
    const auto began = Clock::now();
    dgtserial_flush(l);
    const double took = seconds_since(began);
    const std::string err = testing::internal::GetCapturedStderr();

    // Broadcasts, writes, reads; each list newest first. The simulator
    // takes a request only up to its closing space, which it leaves out.
    const char *const order[] = {"/300=1.50", "A058=1", "A431=99.9", "A104=7.0", "B300",
                                 "A058",      "A636",   "A300",      "A057"};
    const auto heard = sim.heard();
    ASSERT_EQ(heard.size(), std::size(order));
    double pauses = 0.25;
    for (std::size_t i = 0; i < heard.size(); ++i) {
        EXPECT_EQ(heard[i].raw, order[i]);
        EXPECT_NE(heard[i].kind, "invalid");
        if (i > 0) {
            const double pause = i < 4 ? 0.25 : 0.1;
            pauses += pause;
            // The simulator's time of an answered request bounds the driver's
            // next pause from below; a broadcast has no answer, so the time
            // it was read may lag its sending under load.
            if (heard[i - 1].raw[0] != '/') {
                EXPECT_GE(heard[i].time - heard[i - 1].time, pause - 0.005) << heard[i].raw;
            }
        }
    }
    // Every request, the broadcast's successor included, waited its pause.
    EXPECT_GE(took, pauses - 0.005);

    double v = 0;
    int iv = 0;
    EXPECT_EQ(dgtserial_result(l, 'A', 57, &v), 0);
    EXPECT_DOUBLE_EQ(v, 5.25);
    // The broadcast reached both departments before their reads.
    EXPECT_EQ(dgtserial_result(l, 'A', 300, &v), 0);
    EXPECT_DOUBLE_EQ(v, 1.5);
    EXPECT_EQ(dgtserial_result_int(l, 'B', 300, &iv), 0);
    EXPECT_EQ(iv, 1);
    EXPECT_EQ(dgtserial_result(l, 'A', 636, &v), 0);
    EXPECT_DOUBLE_EQ(v, 412);
    // A write alone gives the value written; a failed write outranks its read.
    EXPECT_EQ(dgtserial_result(l, 'A', 104, &v), 0);
    EXPECT_DOUBLE_EQ(v, 7);
    EXPECT_EQ(dgtserial_result(l, 'A', 431, &v), 0);
    EXPECT_EQ(dgtserial_result(l, 'A', 58, &v), DGTSERIAL_E_UNAVAILABLE);
    // A department with no write of its own takes the broadcast's status.
    EXPECT_EQ(dgtserial_result(l, 'C', 300, &v), 0);
    EXPECT_DOUBLE_EQ(v, 1.5);
    EXPECT_EQ(dgtserial_result(l, 0, 300, nullptr), 0);
    EXPECT_EQ(dgtserial_result(l, 'A', 999, &v), DGTSERIAL_E_NOT_IN_REQUEST);
    EXPECT_NE(err.find("The setpoint '58' in department 'A' is not available.\n"), std::string::npos) << err;

    // The node-list query goes out and the list stays empty.
    EXPECT_STREQ(dgtserial_get_node_list(l), "");
    EXPECT_TRUE(sim.wait_heard(heard.size() + 1));
    EXPECT_EQ(sim.heard().back().kind, "node_list");
}

TEST_F(DgtSim, FaultyAnswersAndTheirDiagnostics)
{
    struct Step {
        int status;
        const char *diagnostic;
    };
    // The misbehaviours of B57 in the order the script fires them.
    const Step steps[] = {
        {DGTSERIAL_E_BAD_RESPONSE, "LCC1200 bad response 1: '"},
        {DGTSERIAL_E_BAD_RESPONSE, "LCC1200 bad response 2: '*C57="},
        {DGTSERIAL_E_UNEXPECTED_SETPOINT, nullptr},
        {DGTSERIAL_E_BAD_RESPONSE, "LCC1200 bad response 5: '*B57="},
        {DGTSERIAL_SUCCESS, nullptr},
    };
    for (const Step &s : steps) {
        double v = -1;
        testing::internal::CaptureStderr();
        EXPECT_EQ(read('B', 57, v), s.status);
        const std::string err = testing::internal::GetCapturedStderr();
        if (s.diagnostic) {
            EXPECT_NE(err.find(s.diagnostic), std::string::npos) << err;
        } else {
            EXPECT_EQ(err, "");
        }
        EXPECT_EQ(v, s.status == 0 ? 1 : -1);
    }

    testing::internal::CaptureStderr();
    dgtserial_new_request(line.get());
    dgtserial_queue_write(line.get(), 'B', 300, 5);
    dgtserial_flush(line.get());
    EXPECT_EQ(dgtserial_result(line.get(), 'B', 300, nullptr), DGTSERIAL_E_BAD_RESPONSE);
    const std::string err = testing::internal::GetCapturedStderr();
    // At most 64 characters of the overlong answer are shown.
    const auto at = err.find("LCC1200 bad response 4: '");
    ASSERT_NE(at, std::string::npos) << err;
    EXPECT_EQ(err.find('\'', at + 25), at + 25 + 64) << err;

    // A truncated answer never ends its line: a time-out after the waits.
    double v = 0;
    const auto start = Clock::now();
    EXPECT_EQ(read('A', 778, v), DGTSERIAL_E_TIMEOUT);
    EXPECT_GE(seconds_since(start), 2.0);
    // The next exchange starts afresh.
    EXPECT_EQ(read('A', 57, v), 0);
    EXPECT_DOUBLE_EQ(v, 5.25);
}

TEST_F(DgtSim, AbortCutsTheWaitAndLaterExchanges)
{
    dgtserial_t *l = line.get();
    dgtserial_queue_read(l, 'A', 300);
    dgtserial_queue_read(l, 'A', 777); // silent, and exchanged first
    const auto start = Clock::now();
    std::thread stopper([l] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        dgtserial_abort(l);
    });
    dgtserial_flush(l);
    stopper.join();
    EXPECT_LT(seconds_since(start), 1.0);
    EXPECT_EQ(dgtserial_result(l, 'A', 777, nullptr), DGTSERIAL_E_TIMEOUT);
    EXPECT_EQ(dgtserial_result(l, 'A', 300, nullptr), DGTSERIAL_E_TIMEOUT);
    const std::size_t heard = sim.heard().size();
    EXPECT_EQ(heard, 1u);

    // Until cleared, nothing more goes out.
    double v = 0;
    EXPECT_EQ(read('A', 57, v), DGTSERIAL_E_TIMEOUT);
    EXPECT_EQ(sim.heard().size(), heard);
    dgtserial_clear_abort(l);
    EXPECT_EQ(read('A', 57, v), 0);
    EXPECT_DOUBLE_EQ(v, 5.25);

    // A line that vanished is no longer connected and fails at once.
    sim.vanish();
    EXPECT_EQ(dgtserial_is_connected(l), 0);
    const auto again = Clock::now();
    EXPECT_EQ(read('A', 57, v), DGTSERIAL_E_DISCONNECTED);
    EXPECT_LT(seconds_since(again), 0.09); // under the read pause
}

TEST_F(DgtSim, SilentAndLateAnswers)
{
    double v = 0;
    const auto start = Clock::now();
    EXPECT_EQ(read('C', 57, v), DGTSERIAL_E_TIMEOUT);
    EXPECT_GE(seconds_since(start), 2.0);
    EXPECT_LT(seconds_since(start), 3.0);

    // An answer that comes after the wait, within the next write's pause,
    // is purged rather than taken for that write's answer.
    dgtserial_new_request(line.get());
    dgtserial_queue_write(line.get(), 'A', 57, 6);
    dgtserial_queue_write(line.get(), 'A', 779, 4); // exchanged first
    dgtserial_flush(line.get());
    EXPECT_EQ(dgtserial_result(line.get(), 'A', 779, nullptr), DGTSERIAL_E_TIMEOUT);
    EXPECT_EQ(dgtserial_result(line.get(), 'A', 57, nullptr), 0);
}

} // namespace
