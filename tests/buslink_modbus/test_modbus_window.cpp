// The windowed flush against a scripted MODBUS/TCP device that answers in
// order, out of order, drops requests or closes the connection on requests
// sent ahead (tests/peers/modbus_tcp_unruly.py: holding register a reads a).
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

// Five reads far enough apart to be five requests.
const std::vector<unsigned short> kAddresses = {10, 50, 90, 130, 170};

class Unruly {
public:
    explicit Unruly(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"/usr/bin/python3", mbtest::peer_script("modbus_tcp_unruly.py")});
        device_ = std::make_unique<mbtest::Child>(args, false);
        const std::string line = device_->read_line(15000);
        if (line.rfind("PORT ", 0) == 0)
            port_ = std::stoi(line.substr(5));
    }
    int port() const { return port_; }
    // The next "REQ ..." line, "" when none came in time.
    std::string request(int ms = 2000) { return device_->read_line(ms); }

private:
    std::unique_ptr<mbtest::Child> device_;
    int port_ = 0;
};

struct Tcp {
    Tcp(int port, int timeout_ms) : tcp(modbus_tcp_new()), port_(port)
    {
        modbus_tcp_set_response_timeout(tcp, timeout_ms);
        connect();
    }
    ~Tcp() { modbus_tcp_delete(tcp); }
    bool connect() { return modbus_tcp_connect(tcp, "127.0.0.1", port_, 2000) == 0; }
    modbus_base_t *m() { return mbtest::base(tcp); }

    // Queues the reads and a write of register 7; flushes with the window.
    // The status of each read, then the write's.
    std::vector<int> flush(int window)
    {
        modbus_query_reset(m());
        for (unsigned short a : kAddresses)
            modbus_query_read_holding_register(m(), 0, 1, a);
        modbus_query_write_holding_register(m(), 0, 1, 7, 77);
        modbus_query_flush_window(m(), nullptr, window);
        std::vector<int> statuses;
        for (unsigned short a : kAddresses) {
            unsigned short value = 0;
            statuses.push_back(modbus_result_holding_register(m(), 0, 1, a, &value));
            if (statuses.back() == 0) {
                EXPECT_EQ(value, a);
            }
        }
        statuses.push_back(modbus_query_result(m(), 0, 1, MODBUS_HOLDING_REGISTER, 7, nullptr));
        return statuses;
    }

    modbus_tcp_t *tcp;
    int port_;
};

} // namespace

TEST(modbus_window, MisbehavingDevicesGetWhatOneRequestAtATimeGets)
{
    if (!mbtest::have_pymodbus())
        GTEST_SKIP() << "/usr/bin/python3 with Debian's packages is missing";
    constexpr int ok = 0, no_response = BUSLINK_E_NO_RESPONSE, closed = BUSLINK_E_NO_CONNECTION;
    struct Case {
        std::vector<std::string> args;
        std::vector<int> first;  // statuses of the first windowed flush
        int fallback;            // modbus_tcp_window_fallback after it
    };
    const std::vector<Case> cases = {
        {{"--mode", "inorder"}, {ok, ok, ok, ok, ok, ok}, 0},
        {{"--mode", "reverse"}, {ok, ok, ok, ok, ok, ok}, MODBUS_WINDOW_OUT_OF_ORDER},
        // Request 1 is the write; the reads, 2 to 6, go at once. The read of
        // 50 (3) is lost, goes again alone (7) and is answered.
        {{"--mode", "drop", "--every", "3"}, {ok, ok, ok, ok, ok, ok}, MODBUS_WINDOW_DROPPED},
        // The reads of 10, 90 and 170 are lost and go again alone (7 to 9):
        // that of 90 is lost again and times out as it would alone.
        {{"--mode", "drop", "--every", "2"}, {ok, ok, no_response, ok, ok, ok}, MODBUS_WINDOW_DROPPED},
        // The write goes alone (the reads wait for it); the first read sent
        // ahead closes the connection.
        {{"--mode", "close"}, {closed, closed, closed, closed, closed, ok}, MODBUS_WINDOW_CLOSED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[1] + (c.args.size() > 2 ? " " + c.args[3] : ""));
        Unruly device(c.args);
        ASSERT_NE(device.port(), 0);
        Tcp t(device.port(), 1000); // room for a loaded machine; dropped requests cost it
        EXPECT_EQ(t.flush(8), c.first);
        EXPECT_EQ(modbus_tcp_window_fallback(t.tcp), c.fallback);
        // From now on one request at a time on this object, reconnected or
        // not: every device here serves that.
        if (!modbus_tcp_is_connected(t.tcp)) {
            EXPECT_TRUE(t.connect());
        }
        const std::vector<int> second = t.flush(8);
        if (c.args[1] != "drop") {
            EXPECT_EQ(second, std::vector<int>(6, ok));
        }
        EXPECT_EQ(modbus_tcp_window_fallback(t.tcp), c.fallback);
        modbus_tcp_reset_window(t.tcp);
        EXPECT_EQ(modbus_tcp_window_fallback(t.tcp), 0);
    }
}

TEST(modbus_window, AnAbortCutsTheWaitsOfEveryRequestInFlight)
{
    if (!mbtest::have_pymodbus())
        GTEST_SKIP() << "/usr/bin/python3 with Debian's packages is missing";
    Unruly device({"--mode", "drop", "--every", "1"});
    ASSERT_NE(device.port(), 0);
    Tcp t(device.port(), 20000);
    std::thread stopper([&] {
        device.request(5000);
        modbus_tcp_abort(t.tcp);
    });
    const auto start = std::chrono::steady_clock::now();
    const std::vector<int> statuses = t.flush(8);
    stopper.join();
    // Well inside the first request's own time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(statuses, std::vector<int>(6, BUSLINK_E_NO_CONNECTION));
    EXPECT_EQ(modbus_tcp_window_fallback(t.tcp), 0); // a stop is no misbehaviour of the device
}

TEST(modbus_window, OtherTransportsFlushAsBefore)
{
    // An RTU object without a port: both flushes fail every query alike.
    modbus_rtu_t *rtu = modbus_rtu_new();
    modbus_base_t *m = mbtest::base(rtu);
    modbus_query_read_holding_register(m, 0, 1, 3);
    EXPECT_EQ(modbus_query_flush_window(m, nullptr, 8), BUSLINK_E_NO_CONNECTION);
    unsigned short v = 0;
    EXPECT_EQ(modbus_result_holding_register(m, 0, 1, 3, &v), BUSLINK_E_NO_CONNECTION);
    modbus_rtu_delete(rtu);
}
