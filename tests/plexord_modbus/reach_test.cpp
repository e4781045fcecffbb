// The MODBUS/TCP plug-in reading through gaps ("max_gap", against pymodbus
// behind a tap that records every request) and keeping requests in flight
// ("window", against pymodbus and the unruly scripted device).
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "modbus_peers.h"
#include "modbus_session.h"
#include "support.h"

using mbcore::Batch;
using mbcore::failure;
using test::ok;

namespace {

// function, address, count of a request as it went on the wire.
using Request = std::tuple<int, int, int>;

// A TCP forwarder in front of a server that records the requests passing.
class Tap {
public:
    explicit Tap(int target) : target_(target)
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(listener_, 8) == 0 &&
            ::getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
        accepting_ = std::thread([this] { accept_loop(); });
    }
    ~Tap()
    {
        stop_ = true;
        accepting_.join();
        for (std::thread &t : links_)
            t.join();
        ::close(listener_);
    }
    int port() const { return port_; }
    std::vector<Request> take()
    {
        std::lock_guard lock(m_);
        return std::exchange(seen_, {});
    }

private:
    void accept_loop()
    {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client >= 0)
                links_.emplace_back([this, client] { forward(client); });
        }
    }

    void forward(int client)
    {
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(target_));
        std::string pending; // requests not yet parsed
        bool up = ::connect(server, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        while (up && !stop_) {
            pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(p, 2, 50) <= 0)
                continue;
            for (int i = 0; i < 2 && up; ++i) {
                if (!p[i].revents)
                    continue;
                char buffer[4096];
                const ssize_t n = ::recv(p[i].fd, buffer, sizeof buffer, 0);
                up = n > 0 && ::send(p[1 - i].fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) == n;
                if (up && i == 0)
                    record(pending.append(buffer, static_cast<size_t>(n)));
            }
        }
        ::close(server);
        ::close(client);
    }

    void record(std::string &bytes)
    {
        auto be = [&](std::size_t at) { return (static_cast<unsigned char>(bytes[at]) << 8) | static_cast<unsigned char>(bytes[at + 1]); };
        while (bytes.size() >= 7 && bytes.size() >= 6u + be(4)) {
            const std::size_t size = 6u + be(4);
            const int function = static_cast<unsigned char>(bytes[7]);
            const bool single = function == 5 || function == 6;
            std::lock_guard lock(m_);
            seen_.emplace_back(function, be(8), single ? 1 : be(10));
            bytes.erase(0, size);
        }
    }

    int target_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread accepting_;
    std::vector<std::thread> links_;
    std::mutex m_;
    std::vector<Request> seen_;
};

// pymodbus (tests/peers/modbus_server.py): holding register a of unit u is
// a * 7 + u, input register a 1000 + a, coil a is a % 3 == 0, discrete
// input a is a % 2 == 1; item 15 and 40 of every table are missing.
double expected(const std::string &item)
{
    const int kind = item.size() == 6 ? item[0] - '0' : 3;
    const int a = std::stoi(item.size() == 6 ? item.substr(2) : item);
    switch (kind) {
    case 1: return a % 3 == 0;
    case 2: return a % 2 == 1;
    case 4: return 1000 + a;
    default: return a * 7 + 1;
    }
}

class ModbusReach : public testing::Test {
protected:
    void SetUp() override
    {
        if (!mbtest::have_pymodbus())
            GTEST_SKIP() << "/usr/bin/python3 cannot import pymodbus (python3-pymodbus)";
        const std::string port = mbtest::start_modbus_server(server_, {"--tcp", "0", "--holes", "15,40"});
        ASSERT_FALSE(port.empty()) << "pymodbus did not start";
        tap_ = std::make_unique<Tap>(std::stoi(port));
        session_ = std::make_unique<test::Session>(dir_.path());
    }

    uint16_t add_network(int port, int max_gap, int window)
    {
        const uint16_t net = mbcore::add_network("modbus/tcp", [&](network_t *n) {
            EXPECT_TRUE(ok(network_set(n, "port", port, "timeout", 1000, (char *)nullptr)));
            // Unset, both keep their defaults: the case of every older configuration.
            if (max_gap >= 0) {
                EXPECT_TRUE(ok(network_set(n, "max_gap", max_gap, (char *)nullptr)));
            }
            if (window >= 0) {
                EXPECT_TRUE(ok(network_set(n, "window", window, (char *)nullptr)));
            }
        });
        device_ = test::add_device(net, "Unit 1", "1");
        return net;
    }

    test::TempDir dir_;
    std::unique_ptr<mbtest::Child> server_;
    std::unique_ptr<Tap> tap_;
    std::unique_ptr<test::Session> session_;
    uint16_t device_ = 0;
};

} // namespace

TEST_F(ModbusReach, ReadsThroughGapsAndRemembersTheGapsADeviceRefused)
{
    struct Case {
        const char *name;
        int max_gap; // -1: not set
        std::vector<std::string> items;
        std::vector<Request> first, second; // the requests of two rounds
    };
    const std::vector<Case> cases = {
        {"default", -1, {"60", "61", "62", "63", "64", "68", "69", "70"}, {{3, 60, 5}, {3, 68, 3}}, {{3, 60, 5}, {3, 68, 3}}},
        {"gap of 3, max_gap 3", 3, {"60", "61", "62", "63", "64", "68", "69", "70"}, {{3, 60, 11}}, {{3, 60, 11}}},
        {"gap of 3, max_gap 2", 2, {"60", "61", "62", "63", "64", "68", "69", "70"}, {{3, 60, 5}, {3, 68, 3}}, {{3, 60, 5}, {3, 68, 3}}},
        // Unsorted, two gaps, one run read twice.
        {"three runs", 4, {"28", "21", "20", "33", "25", "20"}, {{3, 20, 14}}, {{3, 20, 14}}},
        // Register 40 is missing: one bridged query, each item alone, then never again.
        {"missing filler", 4, {"36", "37", "38", "42", "43", "44"},
         {{3, 36, 9}, {3, 36, 1}, {3, 37, 1}, {3, 38, 1}, {3, 42, 1}, {3, 43, 1}, {3, 44, 1}},
         {{3, 36, 3}, {3, 42, 3}}},
        {"coils", 4, {"100001", "100002", "100003", "100007", "100008"}, {{1, 1, 8}}, {{1, 1, 8}}},
        {"input registers", 3, {"400001", "400002", "400006"}, {{4, 1, 6}}, {{4, 1, 6}}},
        {"discrete inputs over a missing one", 2, {"200013", "200014", "200017"},
         {{2, 13, 5}, {2, 13, 1}, {2, 14, 1}, {2, 17, 1}}, {{2, 13, 2}, {2, 17, 1}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const uint16_t net = add_network(tap_->port(), c.max_gap, -1);
        for (const auto *want : {&c.first, &c.second}) {
            Batch b(net);
            for (const std::string &item : c.items)
                b.read(device_, item.c_str());
            const auto r = b.run();
            ASSERT_EQ(r.size(), c.items.size());
            for (std::size_t i = 0; i < r.size(); ++i) {
                EXPECT_TRUE(ok(r[i].result)) << c.items[i] << ": " << failure(r[i].result);
                EXPECT_EQ(r[i].value, expected(c.items[i])) << c.items[i];
            }
            EXPECT_EQ(tap_->take(), *want);
        }
    }
}

TEST_F(ModbusReach, AWindowOfEightAndReadingThroughGapsGiveWhatOneRequestAtATimeGives)
{
    // Reads and writes of both units, read-only and missing items among them.
    auto run = [&](uint16_t net) {
        const uint16_t unit2 = test::add_device(net, "Unit 2", "2");
        Batch b(net);
        b.write(device_, "100", "", 11)
            .read(device_, "100")
            .write(unit2, "101", "u32", 70000)
            .read_int(unit2, "101", "u32")
            .write(device_, "301", "", 5) // then overwritten by the u32's low word
            .write(device_, "300", "u32", 70000)
            .read_int(device_, "300", "u32")
            .write(device_, "100005", "", 1)
            .read(device_, "100005")
            .read(device_, "400003")
            .write(device_, "400003", "", 1)
            .read(device_, "40")
            .read(device_, "41")
            .read(unit2, "14")
            .read(device_, "200001")
            .write(device_, "15", "", 3);
        for (int a = 200; a < 520; a += 40)
            b.read(device_, std::to_string(a).c_str()).read(device_, std::to_string(a + 4).c_str());
        auto results = b.run();
        return std::make_pair(results, tap_->take().size());
    };
    const auto [one, sent_one] = run(add_network(tap_->port(), -1, -1));
    const auto [eight, sent_eight] = run(add_network(tap_->port(), -1, 8));
    const auto [bridged, sent_bridged] = run(add_network(tap_->port(), 8, 8));
    EXPECT_EQ(sent_one, sent_eight);
    EXPECT_LT(sent_bridged, sent_one);
    int failed = 0;
    for (const auto *other : {&eight, &bridged}) {
        ASSERT_EQ(one.size(), other->size());
        for (std::size_t i = 0; i < one.size(); ++i) {
            EXPECT_EQ(failure(one[i].result), failure((*other)[i].result)) << i;
            EXPECT_EQ(one[i].value, (*other)[i].value) << i;
            EXPECT_EQ(one[i].ivalue, (*other)[i].ivalue) << i;
            failed += !ok(one[i].result);
        }
    }
    EXPECT_EQ(one[1].value, 11);
    EXPECT_EQ(one[3].ivalue, 70000);
    EXPECT_EQ(one[6].ivalue, 70000);
    EXPECT_EQ(failed, 2 * 3); // a read-only write, register 40 read, register 15 written
}

TEST(ModbusReachUnruly, ADeviceThatClosesOnRequestsSentAheadGetsThemOneAtATime)
{
    // tests/peers/modbus_tcp_unruly.py: holding register a reads a.
    mbtest::Child device({"/usr/bin/python3", mbtest::peer_script("modbus_tcp_unruly.py"), "--mode", "close"}, false);
    const std::string line = device.read_line(15000);
    ASSERT_EQ(line.rfind("PORT ", 0), 0u) << line;
    test::TempDir dir;
    test::Session session(dir.path());
    test::Recorder::get().clear();
    const uint16_t net = mbcore::add_network("modbus/tcp", [&](network_t *n) {
        EXPECT_TRUE(ok(network_set(n, "port", std::stoi(line.substr(5)), "window", 8, (char *)nullptr)));
    });
    const uint16_t unit = test::add_device(net, "Unit 1", "1");
    for (int round = 0; round < 2; ++round) {
        Batch b(net);
        for (int a = 10; a < 200; a += 40)
            b.read(unit, std::to_string(a).c_str());
        const auto r = b.run();
        for (std::size_t i = 0; i < r.size(); ++i) {
            EXPECT_TRUE(ok(r[i].result)) << round << " " << i << ": " << failure(r[i].result);
            EXPECT_EQ(r[i].value, 10 + 40 * static_cast<double>(i));
        }
    }
    int fallbacks = 0, lost = 0;
    for (const std::string &l : test::Recorder::get().log_lines()) {
        fallbacks += l.find("closed the connection with 8 requests allowed at once") != std::string::npos;
        lost += l.find(" lost (") != std::string::npos;
    }
    EXPECT_EQ(fallbacks, 1);
    EXPECT_EQ(lost, 1); // the first round's only: the second sent one request at a time
}
