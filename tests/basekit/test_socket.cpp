#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "basekit.h"

namespace {

// A listening socket on 127.0.0.1 whose single accepted connection is
// handed to a function on its own thread.
class Peer {
public:
    explicit Peer(std::function<void(int)> serve)
    {
        lfd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(lfd_, reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(lfd_, 1) != 0 ||
            getsockname(lfd_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, serve] {
            pollfd p{lfd_, POLLIN, 0};
            if (poll(&p, 1, 5000) != 1)
                return; // the client never came
            int c = accept(lfd_, nullptr, nullptr);
            if (c < 0)
                return;
            serve(c);
            close(c);
        });
    }
    ~Peer()
    {
        join();
        close(lfd_);
    }
    void join()
    {
        if (thread_.joinable())
            thread_.join();
    }
    int port() const { return port_; }

private:
    int lfd_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// Waits until the client closes, so that the server side stays open meanwhile.
void wait_for_close(int c)
{
    char b;
    while (recv(c, &b, 1, 0) > 0) {
    }
}

struct Client {
    Client() { uxsocket_init(&s); }
    ~Client() { uxsocket_close(&s); }
    uxsocket_t s;
};

TEST(BasekitSocket, ConnectSendAndReceiveExactly)
{
    Peer peer([](int c) {
        char buf[5];
        size_t got = 0;
        while (got < sizeof buf) {
            ssize_t n = recv(c, buf + got, sizeof buf - got, 0);
            if (n <= 0)
                return;
            got += static_cast<size_t>(n);
        }
        // Answer in two pieces: recv must gather them.
        send(c, buf, 2, MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        send(c, buf + 2, 3, MSG_NOSIGNAL);
        wait_for_close(c);
    });
    Client cl;
    ASSERT_EQ(uxsocket_connect(&cl.s, "localhost", peer.port(), 2000, nullptr), 0);
    EXPECT_TRUE(uxsocket_is_connected(&cl.s));
    EXPECT_EQ(uxsocket_set_nodelay(&cl.s, 1, nullptr), 0);
    EXPECT_EQ(uxsocket_set_keepalive(&cl.s, 1, nullptr), 0);
    ASSERT_EQ(uxsocket_send_all(&cl.s, "hello", 5, nullptr), 0);
    char buf[8] = {};
    ASSERT_EQ(uxsocket_recv(&cl.s, buf, 5, 5000, nullptr), 5);
    EXPECT_STREQ(buf, "hello");
    uxsocket_close(&cl.s);
    EXPECT_FALSE(uxsocket_is_connected(&cl.s));
    uxsocket_close(&cl.s);
}

TEST(BasekitSocket, TimeOutGivesThePartialCountThenMinus106)
{
    Peer peer([](int c) {
        send(c, "abc", 3, MSG_NOSIGNAL);
        wait_for_close(c);
    });
    Client cl;
    ASSERT_EQ(uxsocket_connect(&cl.s, "127.0.0.1", peer.port(), 2000, nullptr), 0);
    char buf[10];
    EXPECT_EQ(uxsocket_recv(&cl.s, buf, 10, 300, nullptr), 3);
    EXPECT_EQ(memcmp(buf, "abc", 3), 0);

    auto start = std::chrono::steady_clock::now();
    uxerror_t *err = nullptr;
    EXPECT_EQ(uxsocket_recv(&cl.s, buf, 10, 200, &err), -106);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(uxerror_region(err), "uxsocket_recv");
    uxerror_free(err);
    EXPECT_TRUE(uxsocket_is_connected(&cl.s));
}

TEST(BasekitSocket, PeerCloseGivesMinus203)
{
    Peer peer([](int) {});
    Client cl;
    ASSERT_EQ(uxsocket_connect(&cl.s, "127.0.0.1", peer.port(), 2000, nullptr), 0);
    char buf[4];
    EXPECT_EQ(uxsocket_recv(&cl.s, buf, 4, 5000, nullptr), -203);
    EXPECT_FALSE(uxsocket_is_connected(&cl.s));
    EXPECT_EQ(uxsocket_recv(&cl.s, buf, 4, 100, nullptr), -203);
    EXPECT_EQ(uxsocket_send_all(&cl.s, "x", 1, nullptr), 203);
}

// Resets once the client has sent its first byte: a reset that raced the
// connect would fail uxsocket_connect instead of the call under test.
void reset_connection(int c)
{
    char b;
    if (recv(c, &b, 1, 0) != 1)
        return;
    linger l{1, 0};
    setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

TEST(BasekitSocket, PeerResetGives204)
{
    {
        Peer peer(reset_connection);
        Client cl;
        ASSERT_EQ(uxsocket_connect(&cl.s, "127.0.0.1", peer.port(), 2000, nullptr), 0);
        ASSERT_EQ(uxsocket_send_all(&cl.s, "g", 1, nullptr), 0);
        char buf[4];
        EXPECT_EQ(uxsocket_recv(&cl.s, buf, 4, 5000, nullptr), -204);
        EXPECT_FALSE(uxsocket_is_connected(&cl.s));
    }
    {
        Peer peer(reset_connection);
        Client cl;
        ASSERT_EQ(uxsocket_connect(&cl.s, "127.0.0.1", peer.port(), 2000, nullptr), 0);
        ASSERT_EQ(uxsocket_send_all(&cl.s, "g", 1, nullptr), 0);
        peer.join(); // the reset has reached the loopback socket when close() returned
        uxerror_t *err = nullptr;
        EXPECT_EQ(uxsocket_send_all(&cl.s, "data", 4, &err), 204);
        ASSERT_NE(err, nullptr);
        EXPECT_STREQ(uxerror_region(err), "uxsocket_send_all");
        EXPECT_EQ(std::string(uxerror_message(err)).rfind("Error ", 0), 0u);
        uxerror_free(err);
        EXPECT_FALSE(uxsocket_is_connected(&cl.s));
    }
}

TEST(BasekitSocket, ConnectToAClosedPortFails)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), len), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len), 0);
    close(fd); // bound, never listening: the port refuses

    Client cl;
    uxerror_t *err = nullptr;
    EXPECT_NE(uxsocket_connect(&cl.s, "127.0.0.1", ntohs(a.sin_port), 2000, &err), 0);
    EXPECT_FALSE(uxsocket_is_connected(&cl.s));
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(uxerror_region(err), "uxsocket_connect");
    EXPECT_EQ(std::string(uxerror_message(err)), "Error " + std::to_string(ECONNREFUSED) + ": " + strerror(ECONNREFUSED));
    uxerror_free(err);

    EXPECT_NE(uxsocket_connect(&cl.s, "", 80, 100, nullptr), 0);
    EXPECT_NE(uxsocket_connect(&cl.s, "127.0.0.1", 0, 100, nullptr), 0);
    char b;
    EXPECT_EQ(uxsocket_recv(&cl.s, &b, 1, 10, nullptr), -203);
}

// The owner's wake-up descriptor, made readable by another thread, cuts a
// receive; until it is cleared nothing more is sent, and the socket stays
// open for its user to close.
TEST(BasekitSocket, AWakeUpFromAnotherThreadCutsTheWait)
{
    std::string received;
    Peer peer([&received](int c) {
        char b[16];
        for (ssize_t n; (n = recv(c, b, sizeof b, 0)) > 0;)
            received.append(b, static_cast<size_t>(n));
    });
    Client cl;
    cl.s.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_EQ(uxsocket_connect(&cl.s, "127.0.0.1", peer.port(), 2000, nullptr), 0);
    std::thread firing([&cl] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const uint64_t one = 1;
        EXPECT_EQ(write(cl.s.wake_fd, &one, sizeof one), 8);
    });
    const auto start = std::chrono::steady_clock::now();
    char buf[4];
    EXPECT_EQ(uxsocket_recv(&cl.s, buf, 4, 30000, nullptr), -ECANCELED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    firing.join();
    EXPECT_TRUE(uxsocket_is_connected(&cl.s));
    EXPECT_EQ(uxsocket_send_all(&cl.s, "late", 4, nullptr), ECANCELED);
    uint64_t count;
    EXPECT_EQ(read(cl.s.wake_fd, &count, sizeof count), 8);
    EXPECT_EQ(uxsocket_send_all(&cl.s, "next", 4, nullptr), 0);
    EXPECT_EQ(uxsocket_recv(&cl.s, buf, 4, 50, nullptr), -106);
    uxsocket_close(&cl.s);
    peer.join();
    EXPECT_EQ(received, "next");
    close(cl.s.wake_fd);
}

} // namespace
