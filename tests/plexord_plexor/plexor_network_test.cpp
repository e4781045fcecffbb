// A "plexor" network of the core against the scripted remote server
// tests/peers/plexor_peer.py: what reaches the wire, the answers that come
// back, a server that goes away and comes back, and one that never answers.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <sys/stat.h>

#include <arpa/inet.h>
#include <netinet/in.h>
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

// Device 5 "boiler" holds temp:C = 21.5 and count = 42; reads of
// pump's "speed" are refused (no access).
const char *const kScript = R"({
  "users": {"op": "pw"},
  "devices": [{"id": 5, "name": "boiler"}, {"id": PUMP, "name": "pump"}],
  "values": [{"device": 5, "name": "temp", "qualifier": "C", "value": 21.5},
             {"device": 5, "name": "count", "qualifier": "", "value": 42}],
  "answers": [{"device": PUMP, "name": "speed", "qualifier": "", "op": 1, "status": 4}],
  "misbehave": [MISBEHAVE]
})";

class Server {
public:
    // On a given port (0: any), with the pump under the given id.
    Server(const test::TempDir &dir, int port, int pump_id = 2, const std::string &misbehave = "")
        : record_(dir.file("record" + std::to_string(++count_) + ".json"))
    {
        std::string script = kScript;
        for (std::size_t at; (at = script.find("PUMP")) != std::string::npos;)
            script.replace(at, 4, std::to_string(pump_id));
        script.replace(script.find("MISBEHAVE"), 9, misbehave);
        const std::string path = dir.file("script" + std::to_string(count_) + ".json");
        test::write_file(path, script);
        child_ = std::make_unique<mbtest::Child>(
            std::vector<std::string>{"/usr/bin/python3", mbtest::peer_script("plexor_peer.py"), "serve", "--port",
                                     std::to_string(port), "--script", path, "--record", record_},
            false);
        const std::string line = child_->read_line(15000);
        if (line.rfind("READY ", 0) == 0)
            port_ = std::stoi(line.substr(6));
    }
    int port() const { return port_; }
    void kill() { child_->kill(); }

    // What the server received, one line per exchange: "list" for a device
    // list, and per flush its runs, "dev: type op name/qualifier[=value]".
    std::string exchanges() const
    {
        const std::string cmd =
            "/usr/bin/python3 -c 'import json,sys\n"
            "r = json.load(open(sys.argv[1]))\n"
            "flushes = iter(r[\"flushes\"])\n"
            "for e in r[\"exchanges\"]:\n"
            "    if e[\"command\"] == 2: print(\"list\"); continue\n"
            "    f = next(flushes)\n"
            "    print(\" | \".join(\"%d: \" % run[\"device\"] + \", \".join(\"%s%d %s/%s%s\" % (i[\"type\"], i[\"op\"],"
            " i[\"name\"], i[\"qualifier\"], \"\" if i[\"value\"] is None else \"=%s\" % i[\"value\"])"
            " for i in run[\"items\"]) for run in f[\"runs\"]))\n' " +
            record_;
        std::string out;
        if (FILE *p = ::popen(cmd.c_str(), "r")) {
            char buf[512];
            while (std::fgets(buf, sizeof buf, p))
                out += buf;
            ::pclose(p);
        }
        return out;
    }

private:
    static inline int count_ = 0;
    std::string record_;
    std::unique_ptr<mbtest::Child> child_;
    int port_ = 0;
};

uint16_t plexor_network(int port, const char *password = "pw")
{
    return mbcore::add_network("plexor", [&](network_t *n) {
        EXPECT_TRUE(ok(network_set(n, "name", "Remote", "address", "127.0.0.1", "password", password, "port", port,
                                   "username", "op", (char *)nullptr)));
    });
}

class PlexorNetwork : public testing::Test {
protected:
    void SetUp() override
    {
        session_ = std::make_unique<test::Session>(dir_.path());
        ASSERT_TRUE(plexord_has_network_type("plexor"));
    }
    void add_devices(uint16_t net)
    {
        boiler_ = test::add_device(net, "Boiler", "boiler");
        pump_ = test::add_device(net, "Pump", "pump");
        ghost_ = test::add_device(net, "Ghost", "ghost");
    }

    test::TempDir dir_;
    std::unique_ptr<test::Session> session_;
    uint16_t boiler_ = 0, pump_ = 0, ghost_ = 0;
};

} // namespace

TEST_F(PlexorNetwork, ReadsAndWritesOfTwoDevicesGoOutInOneFlush)
{
    Server server(dir_, 0);
    ASSERT_NE(server.port(), 0) << "plexor_peer.py did not start";
    const uint16_t net = plexor_network(server.port());
    add_devices(net);

    Batch b(net);
    b.read(boiler_, "temp", "C")
        .write(pump_, "level", "", 7.5)
        .read(pump_, "speed")
        .read_int(boiler_, "count")
        .write_int(boiler_, "mode", "auto", 3);
    auto r = b.run();
    ASSERT_EQ(r.size(), 5u);
    EXPECT_TRUE(ok(r[0].result)) << ncerr_get_string(r[0].result);
    EXPECT_EQ(r[0].value, 21.5);
    EXPECT_TRUE(ok(r[1].result)) << ncerr_get_string(r[1].result);
    EXPECT_EQ(failure(r[2].result), "7/16"); // access denied, with the client's status
    EXPECT_TRUE(ok(r[3].result)) << ncerr_get_string(r[3].result);
    EXPECT_EQ(r[3].ivalue, 42);
    EXPECT_TRUE(ok(r[4].result)) << ncerr_get_string(r[4].result);
    // The device list at the login, then one flush: the pump's run (id 2)
    // first, each item with its name, qualifier and value.
    EXPECT_EQ(server.exchanges(), "list\n"
                                  "2: F2 level/=7.5, F1 speed/ | 5: F1 temp/C, I1 count/, I2 mode/auto=3\n");

    // A device the remote server does not have (looked up once more, in
    // case it came since the login), and a write read back in the same
    // batch: the read waits for a flush of its own, so each gets its own
    // answer.
    Batch c(net);
    // Integers keep all their 32 bits; wider ones are refused unsent.
    c.read(ghost_, "x")
        .write(pump_, "level", "", 2.25)
        .read(pump_, "level")
        .write_int(boiler_, "big", "", 16777217)
        .read_int(boiler_, "big")
        .write_int(boiler_, "huge", "", 5000000000L);
    r = c.run();
    EXPECT_EQ(failure(r[0].result), "2/13");
    EXPECT_TRUE(ok(r[1].result)) << ncerr_get_string(r[1].result);
    EXPECT_TRUE(ok(r[2].result)) << ncerr_get_string(r[2].result);
    EXPECT_EQ(r[2].value, 2.25);
    EXPECT_TRUE(ok(r[4].result)) << ncerr_get_string(r[4].result);
    EXPECT_EQ(r[4].ivalue, 16777217);
    EXPECT_EQ(test::cls(r[5].result), NCERR_INVALID);
    EXPECT_EQ(server.exchanges(), "list\n"
                                  "2: F2 level/=7.5, F1 speed/ | 5: F1 temp/C, I1 count/, I2 mode/auto=3\n"
                                  "list\n"
                                  "2: F2 level/=2.25 | 5: I2 big/=16777217\n"
                                  "2: F1 level/ | 5: I1 big/\n");
}

TEST_F(PlexorNetwork, ALostServerIsReachedAgainWithItsNewDeviceList)
{
    // The first two connections close in the middle of the answers: the
    // batch tries a new link once, then fails with the client's status; the
    // next batch logs in again.
    auto server = std::make_unique<Server>(dir_, 0, 2,
                                           R"({"at": "answer_stx", "do": "close", "client": 0},
                                              {"at": "answer_stx", "do": "close", "client": 1})");
    const int port = server->port();
    ASSERT_NE(port, 0) << "plexor_peer.py did not start";
    const uint16_t net = plexor_network(port);
    add_devices(net);

    Batch a(net);
    a.read(boiler_, "temp", "C");
    auto r = a.run();
    EXPECT_EQ(failure(r[0].result), "9/3");
    Batch b(net);
    b.read(boiler_, "temp", "C");
    r = b.run();
    EXPECT_TRUE(ok(r[0].result)) << ncerr_get_string(r[0].result);
    EXPECT_EQ(r[0].value, 21.5);
    EXPECT_EQ(server->exchanges(), "list\n5: F1 temp/C\nlist\n5: F1 temp/C\nlist\n5: F1 temp/C\n");

    // A new server on the same port, whose pump has another id: the idle
    // link's loss shows at the next batch, which links again, takes the new
    // list and sends the pump's item under its new id.
    server->kill();
    server.reset();
    Server again(dir_, port, 9);
    ASSERT_EQ(again.port(), port) << "plexor_peer.py did not start again";
    Batch c(net);
    c.write(pump_, "level", "", 1.5).read(boiler_, "temp", "C");
    r = c.run();
    EXPECT_TRUE(ok(r[0].result)) << ncerr_get_string(r[0].result);
    EXPECT_TRUE(ok(r[1].result)) << ncerr_get_string(r[1].result);
    EXPECT_EQ(again.exchanges(), "list\n5: F1 temp/C | 9: F2 level/=1.5\n");
    EXPECT_TRUE(test::Recorder::get().wait_log("link restored"));
}

TEST_F(PlexorNetwork, StopAndRemovalCutASilentServer)
{
    // Accepts connections (the kernel does, from the backlog) and never
    // says a word: the login waits for an answer that does not come.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
    const uint16_t net = plexor_network(ntohs(a.sin_port));
    add_devices(net);

    for (bool remove : {false, true}) {
        SCOPED_TRACE(remove ? "remove" : "stop");
        std::vector<mbcore::Result> r;
        std::thread flush([&] {
            Batch b(net);
            b.read(boiler_, "temp", "C");
            r = b.run();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto t0 = std::chrono::steady_clock::now();
        network_t *n = networkmgr_fetch_network(net, 1000);
        ASSERT_NE(n, nullptr);
        if (remove) {
            networkmgr_drop_network(n);
            EXPECT_TRUE(ok(networkmgr_remove_network(net)));
        } else {
            network_stop(n);
            networkmgr_drop_network(n);
        }
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        flush.join();
        std::printf("[ timing ] %s: %.1f ms\n", remove ? "remove" : "stop", ms);
        // The client's own time-out is 10 s.
        EXPECT_LT(ms, 1000);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(test::cls(r[0].result), NCERR_ABORTED) << ncerr_get_string(r[0].result);
        if (!remove) {
            n = networkmgr_fetch_network(net, 1000);
            ASSERT_NE(n, nullptr);
            EXPECT_TRUE(ok(network_start(n)));
            networkmgr_drop_network(n);
        }
    }
    ::close(listener);
}

TEST(PlexorSecret, ThePasswordIsStoredEncryptedAndComesBack)
{
    test::TempDir dir;
    const std::string ini = dir.file("plexord.ini"), key = dir.file("secret.key");
    const std::string password = "Tr0ub4dor&3 horse";
    auto password_of = [](uint16_t net) {
        std::string got = "<none>";
        network_t *n = networkmgr_fetch_network(net, 1000);
        const char *p = nullptr;
        if (n && ok(network_get(n, "password", &p, (char *)nullptr)) && p)
            got = p;
        networkmgr_drop_network(n);
        return got;
    };

    uint16_t net = 0;
    {
        test::Session s(dir.path());
        net = plexor_network(1, password.c_str()); // nothing listens there: no link, and no harm
        ASSERT_NE(net, 0);
        s.finish();
    }
    const std::string saved = test::read_file(ini);
    EXPECT_EQ(saved.find(password), std::string::npos) << saved;
    EXPECT_NE(saved.find("p.password=secretbox:"), std::string::npos) << saved;
    struct stat st {};
    ASSERT_EQ(::stat(key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(test::read_file(key).find(password), std::string::npos);

    {
        test::Session s(dir.path());
        EXPECT_EQ(password_of(net), password);
        s.finish();
    }
    // Saved again under the same key: it still decrypts.
    std::string again = test::read_file(ini);
    EXPECT_EQ(again.find(password), std::string::npos);

    // An edited value (one base64 digit changed), then a value from another
    // folder's key: each is logged and left empty, the rest loads.
    const std::size_t at = again.find("p.password=secretbox:") + std::strlen("p.password=secretbox:") + 30;
    std::string tampered = again;
    tampered[at] = tampered[at] == 'A' ? 'B' : 'A';
    test::TempDir other;
    {
        test::Session s(other.path());
        plexor_network(1, password.c_str());
        s.finish();
    }
    for (const std::string &file : {tampered, test::read_file(other.file("plexord.ini"))}) {
        test::write_file(ini, file);
        test::Session s(dir.path());
        EXPECT_TRUE(test::Recorder::get().wait_log("\"password\" not restored"));
        EXPECT_EQ(password_of(net), "");
        network_t *n = networkmgr_fetch_network(net, 1000);
        ASSERT_NE(n, nullptr);
        const char *user = nullptr;
        EXPECT_TRUE(ok(network_get(n, "username", &user, (char *)nullptr)));
        EXPECT_STREQ(user, "op");
        networkmgr_drop_network(n);
    }
}
