// The remote-server client against a scripted server on a loopback socket:
// the peer plays its side of each exchange byte by byte and records what the
// client sent, which the tests compare with what the client had to send.
#include "buslink.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::string_literals;

const std::string SOH = "\x01", STX = "\x02", ETX = "\x03", EOT = "\x04", ACK = "\x06", NAK = "\x15",
                  ETB = "\x17";

std::string header(int command) { return SOH + char(command) + ETB; }
std::string str(const std::string &s) { return s + '\0'; }
std::string u16(unsigned v) { return {char(v & 0xFF), char(v >> 8)}; }
std::string u32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string f32(float v)
{
    std::string s(4, '\0');
    std::memcpy(s.data(), &v, 4);
    return s;
}

struct Step {
    enum Kind { Send, Expect, Reset, Shut } kind;
    std::string bytes;
};
Step send(std::string b) { return {Step::Send, std::move(b)}; }
Step expect(std::string b) { return {Step::Expect, std::move(b)}; }
Step reset() { return {Step::Reset, {}}; }
Step shut() { return {Step::Shut, {}}; } // end of the server's output

// One connection's server side. Expect steps read as many bytes as given;
// after the script everything up to the client's close is recorded too, so
// that extra bytes, and a client that neither sends nor closes, show up in
// the comparison.
class Peer {
public:
    explicit Peer(std::vector<Step> script) : script_(std::move(script))
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        ::listen(listener_, 1);
        socklen_t len = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~Peer()
    {
        if (thread_.joinable())
            thread_.join();
        ::close(listener_);
    }
    int port() const { return port_; }

    // What the client should have sent.
    std::string expected() const
    {
        std::string all;
        for (const Step &s : script_)
            if (s.kind == Step::Expect)
                all += s.bytes;
        return all;
    }
    // Waits for the client to close (call after plexor_disconnect/delete).
    std::string received()
    {
        thread_.join();
        return received_;
    }

private:
    bool read_some(int fd, std::size_t limit)
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) {
            // A client stuck in a read shows up in the comparison.
            received_ += "<client silent>";
            return false;
        }
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, std::min(limit, sizeof buf), 0);
        if (n <= 0)
            return false;
        received_.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    void run()
    {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            return;
        const int fd = ::accept(listener_, nullptr, nullptr);
        for (const Step &s : script_) {
            if (s.kind == Step::Send) {
                ::send(fd, s.bytes.data(), s.bytes.size(), MSG_NOSIGNAL);
            } else if (s.kind == Step::Expect) {
                const std::size_t goal = received_.size() + s.bytes.size();
                while (received_.size() < goal && read_some(fd, goal - received_.size())) {
                }
            } else if (s.kind == Step::Shut) {
                ::shutdown(fd, SHUT_WR);
            } else {
                linger l{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                ::close(fd);
                return;
            }
        }
        while (read_some(fd, 4096)) {
        }
        ::close(fd);
    }

    std::vector<Step> script_;
    int listener_ = -1;
    int port_ = 0;
    std::string received_;
    std::thread thread_;
};

struct Client {
    plexor_client_t *c = plexor_new();
    ~Client() { plexor_delete(c); }
    operator plexor_client_t *() const { return c; }
};

const std::string login = str("user") + str("secret");

// A logged-in session over the script; the list is synchronised with the
// given device answer first when it is not empty.
std::vector<Step> session(std::vector<Step> rest, const std::string &devices = {})
{
    std::vector<Step> s{expect(login), send(ACK)};
    if (!devices.empty()) {
        s.push_back(expect(header(2)));
        s.push_back(send(ACK + devices));
        // The client's ACK per device and its closing EOT.
        s.push_back(expect(ACK + ACK + EOT));
    }
    s.insert(s.end(), rest.begin(), rest.end());
    return s;
}

std::string device(unsigned id, const std::string &name, const std::string &end)
{
    return STX + u16(id) + "\x01" + str(name) + str(name + " plant") + str("hw") + end;
}
const std::string two_devices = device(5, "five", ETB) + device(2, "two", ETX) + EOT;

void connect_and_sync(Client &c, Peer &peer)
{
    ASSERT_EQ(plexor_connect(c, "127.0.0.1", peer.port(), "user", "secret"), 0);
    ASSERT_EQ(plexor_sync_devicelist(c), 0);
}

TEST(PlexorClient, ErrorTexts)
{
    EXPECT_STREQ(plexor_error_string(0), "Success");
    EXPECT_STREQ(plexor_error_string(7), "Already connected");
    EXPECT_STREQ(plexor_error_string(14), "Operation not processed. See plexord log for details");
    EXPECT_STREQ(plexor_error_string(19), "Failed to open challenge");
    EXPECT_STREQ(plexor_error_string(20), "Invalid error");
    EXPECT_STREQ(plexor_error_string(-1), "Invalid error");
}

TEST(PlexorClient, PasswordLogin)
{
    struct Case {
        const char *what;
        std::vector<Step> server;
        int rc;
        int connected;
        int again; // a second connect: 7 while a socket is held
    };
    const Case cases[] = {
        {"acknowledged", {expect(login), send(ACK)}, 0, 1, 7},
        {"refused", {expect(login), send(NAK)}, 11, 0, 9},
        {"server gone", {expect(login), reset()}, 3, 0, 9},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        Client c;
        Peer peer(k.server);
        EXPECT_EQ(plexor_connect(c, "127.0.0.1", peer.port(), "user", "secret"), k.rc);
        EXPECT_EQ(plexor_has_connection(c), k.connected);
        // An empty host cannot be resolved: 9 when no socket is held any more.
        EXPECT_EQ(plexor_connect(c, "", peer.port(), "user", "secret"), k.again);
        plexor_disconnect(c);
        EXPECT_EQ(plexor_has_connection(c), 0);
        EXPECT_EQ(peer.received(), peer.expected());
    }
}

TEST(PlexorClient, FailedConnectHoldsTheSocketUntilDisconnect)
{
    // A port that was just free: bound, never listened on.
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(probe, reinterpret_cast<sockaddr *>(&a), &len);
    const int port = ntohs(a.sin_port);

    Client c;
    EXPECT_EQ(plexor_connect(c, "127.0.0.1", port, "u", "p"), 10);
    EXPECT_EQ(plexor_connect(c, "127.0.0.1", port, "u", "p"), 7);
    EXPECT_EQ(plexor_connect_with_challenge(c, port), 7);
    EXPECT_EQ(plexor_disconnect(c), 0);
    EXPECT_EQ(plexor_connect(c, "127.0.0.1", port, "u", "p"), 10);
    EXPECT_EQ(plexor_has_connection(c), 0);
    ::close(probe);
}

TEST(PlexorClient, ChallengeLogin)
{
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("plexor-challenge-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string file = (dir / "secret").string();
    std::string content;
    for (int i = 0; i < 2000; ++i)
        content += char('a' + i % 26);
    std::ofstream(file, std::ios::binary) << content;
    const std::string missing = (dir / "gone").string();
    const std::string hello = str("CHALLENGE");

    struct Case {
        const char *what;
        std::vector<Step> server;
        int rc;
        int connected;
    };
    const Case cases[] = {
        {"first 1023 bytes answered", {expect(hello), send(ACK + str(file)), expect(str(content.substr(0, 1023))), send(ACK)}, 0, 1},
        {"answer refused", {expect(hello), send(ACK + str(file)), expect(str(content.substr(0, 1023))), send(NAK)}, 11, 0},
        {"no such file", {expect(hello), send(ACK + str(missing))}, 18, 0},
        {"switched off", {expect(hello), send(NAK)}, 17, 0},
        // A path without an end would run past any buffer: refused, link dropped.
        {"endless path", {expect(hello), send(ACK + std::string(3000, 'x'))}, 3, 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        Client c;
        Peer peer(k.server);
        EXPECT_EQ(plexor_connect_with_challenge(c, peer.port()), k.rc);
        EXPECT_EQ(plexor_has_connection(c), k.connected);
        if (!k.connected) { // no socket is held after a refusal
            EXPECT_EQ(plexor_connect(c, "", 1, "u", "p"), 9);
        }
        plexor_disconnect(c);
        EXPECT_EQ(peer.received(), peer.expected());
    }
    std::filesystem::remove_all(dir);
}

TEST(PlexorClient, DeviceList)
{
    struct Case {
        const char *what;
        std::vector<Step> server; // after the header
        int rc;
        std::vector<std::string> names;
        int connected;
    };
    const std::string long_name(300, 'n');
    const Case cases[] = {
        {"two devices", {send(ACK + two_devices), expect(ACK + ACK + EOT)}, 0, {"five", "two"}, 1},
        {"empty", {send(ACK + EOT), expect(EOT)}, 0, {}, 1},
        {"other byte after the last", {send(ACK + device(5, "five", ETX) + "Z"), expect(ACK + EOT)}, 0, {"five"}, 1},
        {"closed after the last", {send(ACK + device(5, "five", ETX)), expect(ACK), shut()}, 0, {"five"}, 0},
        {"not STX", {send(ACK + "Z")}, 6, {}, 1},
        {"cut inside a device", {send(ACK + device(5, "five", ETB)), expect(ACK), send(STX + u16(2)), shut()}, 3, {"five"}, 0},
        {"over-long name", {send(ACK + device(5, "five", ETB) + STX + u16(2) + "\x01" + long_name), expect(ACK)}, 3, {"five"}, 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        Client c;
        std::vector<Step> script{expect(header(2))};
        script.insert(script.end(), k.server.begin(), k.server.end());
        Peer peer(session(script));
        ASSERT_EQ(plexor_connect(c, "127.0.0.1", peer.port(), "user", "secret"), 0);
        EXPECT_EQ(plexor_sync_devicelist(c), k.rc);
        std::vector<std::string> names;
        plexor_device_t *it = nullptr;
        for (plexor_device_t *d = plexor_get_first_device(c, &it); d; d = plexor_get_next_device(c, &it))
            names.push_back(plexor_device_get_name(d));
        EXPECT_EQ(names, k.names);
        EXPECT_EQ(plexor_get_device_count(c), int(k.names.size()));
        EXPECT_EQ(plexor_has_connection(c), k.connected);
        plexor_disconnect(c);
        EXPECT_EQ(peer.received(), peer.expected());
    }
}

TEST(PlexorClient, DeviceRecordsAndLookup)
{
    Client c;
    Peer peer(session({}, two_devices));
    connect_and_sync(c, peer);
    plexor_device_t *two = plexor_get_nth_device(c, 1);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(plexor_device_get_id(two), 2);
    EXPECT_STREQ(plexor_device_get_description(two), "two plant");
    EXPECT_STREQ(plexor_device_get_hardware(two), "hw");
    EXPECT_EQ(plexor_get_nth_device(c, 2), nullptr);

    EXPECT_EQ(plexor_request_integer(c, "nine", "a", nullptr), 13);
    EXPECT_EQ(plexor_result_integer(c, "nine", "a", nullptr, nullptr), 13);
    // A device in use moves to the front.
    EXPECT_EQ(plexor_request_integer(c, "two", "a", nullptr), 0);
    EXPECT_EQ(plexor_get_nth_device(c, 0), two);
    EXPECT_STREQ(plexor_device_get_name(plexor_get_nth_device(c, 1)), "five");
    EXPECT_EQ(plexor_result_integer(c, "two", "b", nullptr, nullptr), 12);
    EXPECT_EQ(plexor_result_float(c, "two", "a", nullptr, nullptr), 12);
    plexor_disconnect(c);
    peer.received();

    plexor_device_t *own = plexor_device_new();
    EXPECT_STREQ(plexor_device_get_name(own), "");
    EXPECT_EQ(plexor_device_get_description(own), nullptr);
    plexor_device_set_name(own, "x");
    plexor_device_set_name(own, nullptr);
    EXPECT_STREQ(plexor_device_get_name(own), "");
    plexor_device_delete(own);
}

TEST(PlexorClient, FlushRunsAndAnswers)
{
    // Queued in the order five, two, five: the run for 2 goes first, then
    // one run with both requests for 5.
    const std::string runs = STX + u16(2) + "F\x02" + str("b") + str("") + f32(2.5f) + ETB;
    const std::string run5 = STX + u16(5) + "I\x01" + str("a") + str("q") + "S\x01" + str("c") + str("") + u32(8) +
                             "F\x01" + str("e") + str("") + "I\x01" + str("d") + str("") + "I\x01" +
                             str("never") + str("") + ETX;
    const std::string answers = STX + u16(2) + "F\x01\x00"s + str("b") + str("") + f32(2.5f) + ETB;
    const std::string answers5 = STX + u16(5) + "I\x01\x04"s + str("a") + str("q") + u32(7) + "S\x01\x00"s +
                                 str("c") + str("") + u32(10) + "ABCDEFGHIJ" + "F\x01\x09"s + str("e") + str("") +
                                 f32(-3.75f) + "I\x00\x01"s + str("d") + str("") + ETX;
    Client c;
    Peer peer(session({expect(header(1)), send(ACK), expect(runs), send(ACK), expect(run5), send(ACK + answers),
                       expect(ACK), send(answers5), expect(ACK), send(EOT), expect(EOT), expect(header(8)),
                       send(NAK)},
                      two_devices));
    connect_and_sync(c, peer);
    EXPECT_EQ(plexor_flush(c), 0); // nothing queued: nothing sent
    ASSERT_EQ(plexor_request_integer(c, "five", "a", "q"), 0);
    ASSERT_EQ(plexor_write_float(c, "two", "b", nullptr, 2.5), 0);
    ASSERT_EQ(plexor_request_buf(c, "five", "c", nullptr, 8), 0);
    ASSERT_EQ(plexor_request_float(c, "five", "e", ""), 0);
    ASSERT_EQ(plexor_request_integer(c, "five", "d", ""), 0);
    ASSERT_EQ(plexor_request_integer(c, "five", "never", ""), 0);
    int i = 0;
    EXPECT_EQ(plexor_result_integer(c, "five", "a", "q", &i), 14);
    EXPECT_EQ(plexor_flush(c), 0);

    double f = 0;
    EXPECT_EQ(plexor_result_float(c, "two", "b", "", &f), 0);
    EXPECT_EQ(f, 2.5);
    EXPECT_EQ(plexor_result_integer(c, "five", "a", "q", &i), 16);
    EXPECT_EQ(i, 7);
    EXPECT_EQ(plexor_result_integer(c, "five", "a", "other", &i), 12);
    char buf[12];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(plexor_result_buf(c, "five", "c", nullptr, buf, 8), 0);
    EXPECT_EQ(std::string(buf, 9), "ABCDEFGHx");
    EXPECT_EQ(plexor_result_float(c, "five", "e", nullptr, &f), 15);
    EXPECT_EQ(f, -3.75);
    EXPECT_EQ(plexor_result_integer(c, "five", "d", "", nullptr), 14);
    EXPECT_EQ(plexor_result_integer(c, "five", "never", "", nullptr), 14);
    // A priority flush announces itself with command 8; a NAK refuses it.
    EXPECT_EQ(plexor_flush_with_prio(c, 1), 4);
    EXPECT_EQ(plexor_has_connection(c), 1);
    plexor_reset(c);
    EXPECT_EQ(plexor_result_float(c, "two", "b", nullptr, &f), 12);
    plexor_disconnect(c);
    EXPECT_EQ(peer.received(), peer.expected());
}

TEST(PlexorClient, BrokenFlushLeavesADefinedClient)
{
    const std::string run = STX + u16(2) + "S\x01" + str("c") + str("") + u32(4) + ETX;
    const std::string item = STX + u16(2) + "S\x01\x00"s + str("c") + str("");
    struct Case {
        const char *what;
        std::vector<Step> rest; // after the header
        int rc;
        int connected;
        int result = 14; // of the one request
    };
    const Case cases[] = {
        {"reset during the runs", {send(ACK), expect(run), reset()}, 3, 0},
        {"answer not opened by STX", {send(ACK), expect(run), send(ACK + "Z")}, 6, 1},
        {"absurd buffer length", {send(ACK), expect(run), send(ACK + item + u32(0xFFFFFFF0u))}, 3, 0},
        {"over-long name", {send(ACK), expect(run), send(ACK + STX + u16(2) + "S\x01\x00"s + std::string(400, 'n'))}, 3, 0},
        {"unknown value type", {send(ACK), expect(run), send(ACK + STX + u16(2) + "Q\x01\x00"s + str("c") + str("") + u32(1))}, 5, 0},
        {"no EOT at the end", {send(ACK), expect(run), send(ACK + item + u32(0) + ETX), expect(ACK), send(ETX)}, 6, 1, 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        Client c;
        std::vector<Step> script{expect(header(1))};
        script.insert(script.end(), k.rest.begin(), k.rest.end());
        Peer peer(session(script, two_devices));
        connect_and_sync(c, peer);
        ASSERT_EQ(plexor_request_buf(c, "two", "c", nullptr, 4), 0);
        EXPECT_EQ(plexor_flush(c), k.rc);
        EXPECT_EQ(plexor_has_connection(c), k.connected);
        EXPECT_EQ(plexor_result_buf(c, "two", "c", nullptr, nullptr, 0), k.result);
        if (!k.connected) { // the socket is forgotten: a new login may start
            EXPECT_EQ(plexor_flush(c), 1);
            EXPECT_EQ(plexor_connect(c, "", 1, "u", "p"), 9);
        }
        plexor_disconnect(c);
        EXPECT_EQ(peer.received(), peer.expected());
    }
}

TEST(PlexorClient, ClientInformation)
{
    Client c;
    Peer peer(session({expect(header(3)), send(ACK), expect(STX + str("console 1") + ETX), send(EOT), expect(EOT),
                       expect(header(3)), send(ACK), expect(STX + str("") + ETX), send(ACK)}));
    EXPECT_EQ(plexor_send_client_info(c, "x"), 1);
    ASSERT_EQ(plexor_connect(c, "127.0.0.1", peer.port(), "user", "secret"), 0);
    EXPECT_EQ(plexor_send_client_info(c, "console 1"), 0);
    EXPECT_EQ(plexor_send_client_info(c, nullptr), 6);
    plexor_set_client_info(c, "kept");
    EXPECT_STREQ(plexor_get_client_info(c), "kept");
    plexor_set_client_info(c, nullptr);
    EXPECT_EQ(plexor_get_client_info(c), nullptr);
    plexor_disconnect(c);
    EXPECT_EQ(peer.received(), peer.expected());
}

TEST(PlexorClient, TimeOutAndAbortCutASilentServer)
{
    // The server takes the request and never answers: a time-out or an abort
    // from another thread ends the wait, and the link, whose stream is out
    // of step, is dropped.
    struct Case {
        const char *what;
        bool in_flush; // else the login waits
        bool abort;    // else the time-out ends it
    };
    const Case cases[] = {
        {"login, time-out", false, false},
        {"login, abort", false, true},
        {"flush, time-out", true, false},
        {"flush, abort", true, true},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        Client c;
        Peer peer(k.in_flush ? session({expect(header(1))}, two_devices) : std::vector<Step>{expect(login)});
        if (k.in_flush) {
            connect_and_sync(c, peer);
            ASSERT_EQ(plexor_request_float(c, "five", "t", nullptr), 0);
        }
        std::thread cutter;
        if (k.abort)
            cutter = std::thread([&c] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                plexor_abort(c);
            });
        else
            plexor_set_timeout(c, 100);
        const int rc = k.in_flush ? plexor_flush(c) : plexor_connect(c, "127.0.0.1", peer.port(), "user", "secret");
        if (cutter.joinable())
            cutter.join();
        EXPECT_EQ(rc, 3);
        EXPECT_EQ(plexor_has_connection(c), 0);
        EXPECT_EQ(plexor_result_float(c, "five", "t", nullptr, nullptr), k.in_flush ? 14 : 13);
        // The socket is forgotten: a new login may start (an empty host gives 9).
        EXPECT_EQ(plexor_connect(c, "", peer.port(), "u", "p"), 9);
        if (k.abort) {
            // Cut until cleared: a new connect fails at once, then works.
            EXPECT_EQ(plexor_connect(c, "127.0.0.1", peer.port(), "u", "p"), 10);
            plexor_disconnect(c);
            plexor_clear_abort(c);
            Peer again({expect(str("u") + str("p")), send(ACK)});
            EXPECT_EQ(plexor_connect(c, "127.0.0.1", again.port(), "u", "p"), 0);
            plexor_disconnect(c);
            EXPECT_EQ(again.received(), again.expected());
        }
        plexor_disconnect(c);
        EXPECT_EQ(peer.received(), peer.expected());
    }
}

} // namespace
