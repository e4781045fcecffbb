// Remote clients against a real core, driven by the independent Python
// client of the wire protocol (server_driver.py).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include <gtest/gtest.h>

#include "support.h"

using namespace test;

namespace {

class PlexordServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        write_file(dir.file("sp.ini"), "[b1]\nT1=21.5\nMODE=2\n[b2]\nMODE=2\nT1=5\n[pump]\nP=3\n");
        session = std::make_unique<Session>(dir.path(), PLEXORD_INIT_NO_DEMO | PLEXORD_INIT_FAST_HASH, false);
        net = add_db_network("Plant", "sp.ini");
        b1 = add_device(net, "Boiler1", "b1");
        b2 = add_device(net, "Boiler2", "b2");
        pump = add_device(net, "Pump", "pump");
        device_t *d = devicemgr_fetch_device(b1, 1);
        ASSERT_NE(d, nullptr);
        device_set_description(d, "Hall");
        EXPECT_TRUE(ok(device_set_hardware(d, "TC-200 Temperature controller")));
        devicemgr_drop_device(d);
        add_user("op", "pw", "Boiler*,Pump", "Boiler1");
        add_user("guest", "gg", "Pump", "");
        ASSERT_TRUE(ok(plexord_set_listen("127.0.0.1", 0)));
        ASSERT_TRUE(ok(plexord_start()));
        port = plexord_get_listen_port();
        ASSERT_GT(port, 0);
    }

    static void add_user(const char *name, const char *password, const char *read, const char *write)
    {
        user_t *u = user_new();
        user_set_name(u, name);
        user_set_password(u, password);
        user_set_read_access(u, read);
        user_set_write_access(u, write);
        usermanager_add_user(u);
    }

    std::string driver(const std::string &scenario, const std::string &arg = "")
    {
        return "/usr/bin/python3 " PLEXORD_TEST_DRIVER " " + std::to_string(port) + " " + scenario + " " + arg;
    }

    // Runs a scenario to its end; its failed checks are the test's.
    void run(const std::string &scenario, const std::string &arg = "")
    {
        FILE *p = popen((driver(scenario, arg) + " 2>&1").c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string out;
        char buf[512];
        while (size_t n = fread(buf, 1, sizeof buf, p))
            out.append(buf, n);
        EXPECT_EQ(pclose(p), 0) << scenario << ":\n" << out;
    }

    static int count(const std::vector<Event> &ev, int type)
    {
        int n = 0;
        for (const Event &e : ev)
            n += e.type == type;
        return n;
    }

    // Every connection announced has been announced gone, too.
    static bool all_left(const std::vector<Event> &ev)
    {
        int in = count(ev, NCEVENT_CLIENT_CONNECTED);
        return in > 0 && in == count(ev, NCEVENT_CLIENT_DISCONNECTED);
    }

    static bool logged(const std::string &part)
    {
        for (const std::string &l : Recorder::get().log_lines())
            if (l.find(part) != std::string::npos)
                return true;
        return false;
    }

    TempDir dir;
    std::unique_ptr<Session> session;
    uint16_t net = 0, b1 = 0, b2 = 0, pump = 0;
    int port = 0;
};

} // namespace

TEST_F(PlexordServer, LoginsByPasswordAndByChallenge)
{
    run("logins", "off");
    plexord_allow_local_challenge(1);
    run("logins", "on");
    ASSERT_TRUE(Recorder::get().wait(all_left));
    EXPECT_EQ(clientmanager_get_client_count(), 0);
    auto ev = Recorder::get().events();
    bool peer = false, refused = false;
    for (const Event &e : ev) {
        if (e.type == NCEVENT_CLIENT_CONNECTED)
            peer = e.client != 0 && e.message.rfind("127.0.0.1:", 0) == 0;
        if (e.type == NCEVENT_CLIENT_EVENT && e.message.find("refused") != std::string::npos)
            refused = true;
    }
    EXPECT_TRUE(peer);
    EXPECT_TRUE(refused);
    // The administrator's write reached the plant.
    EXPECT_NE(read_file(dir.file("sp.ini")).find("SP=55.5"), std::string::npos);
}

TEST_F(PlexordServer, FlushReachesThePlantWithinEachUsersAccess)
{
    run("flush");
    std::string plant = read_file(dir.file("sp.ini"));
    EXPECT_NE(plant.find("T1=42.25"), std::string::npos) << plant;
    EXPECT_NE(plant.find("MODE:x=7"), std::string::npos) << plant;
    EXPECT_NE(plant.find("T1=5\n"), std::string::npos) << "denied write reached the plant:\n" << plant;
    EXPECT_NE(plant.find("P=3"), std::string::npos) << plant;

    ASSERT_TRUE(Recorder::get().wait(all_left));
    EXPECT_TRUE(logged("no write access to device \"Boiler2\""));
    EXPECT_TRUE(logged("no read access to device \"Boiler1\""));
    auto ev = Recorder::get().events();
    int client_writes = 0, client_reads = 0, described = 0;
    for (const Event &e : ev) {
        if (e.type == NCEVENT_WRITE_RESULT && e.client != 0 && e.device == b1 && e.item == "T1" && ok(e.result))
            client_writes += e.value == 42.25;
        if (e.type == NCEVENT_READ_RESULT && e.client != 0 && e.device == pump && ok(e.result))
            client_reads += e.value == 3;
        if (e.type == NCEVENT_WRITE_RESULT && e.device == b2 && e.item == "T1") {
            EXPECT_EQ(cls(e.result), NCERR_ACCESS_DENIED);
        }
        described += e.type == NCEVENT_CLIENT_CHANGED && e.message == "driver of the tests";
    }
    EXPECT_EQ(client_writes, 1);
    EXPECT_GE(client_reads, 3);
    EXPECT_EQ(described, 1);
    // Requests and results pair up.
    EXPECT_EQ(count(ev, NCEVENT_READ_REQUEST), count(ev, NCEVENT_READ_RESULT));
    EXPECT_EQ(count(ev, NCEVENT_WRITE_REQUEST), count(ev, NCEVENT_WRITE_RESULT));
}

TEST_F(PlexordServer, MalformedExchangesEndOnlyTheirClient)
{
    run("malformed");
    ASSERT_TRUE(Recorder::get().wait(all_left));
    EXPECT_TRUE(logged("malformed exchange"));
    EXPECT_EQ(clientmanager_get_client_count(), 0);
    EXPECT_EQ(plexord_get_listen_port(), port);
}

TEST_F(PlexordServer, ClientsAreCountedAndAStopCutsThem)
{
    TempDir scratch;
    for (bool stop_while_held : {false, true}) {
        std::string release = scratch.file(stop_while_held ? "r2" : "r1");
        FILE *p = popen(driver("hold", release).c_str(), "r");
        ASSERT_NE(p, nullptr);
        char line[64] = {};
        ASSERT_NE(fgets(line, sizeof line, p), nullptr);
        EXPECT_STREQ(line, "HELD\n");
        ASSERT_TRUE(Recorder::get().wait([](const std::vector<Event> &ev) { return count(ev, 3) >= 3; }));
        EXPECT_EQ(clientmanager_get_client_count(), 3);
        if (stop_while_held) {
            ASSERT_TRUE(ok(plexord_stop()));
            EXPECT_EQ(clientmanager_get_client_count(), 0);
            EXPECT_EQ(plexord_get_listen_port(), 0);
        }
        write_file(release, "");
        EXPECT_EQ(pclose(p), 0);
        if (!stop_while_held) {
            ASSERT_TRUE(Recorder::get().wait(all_left));
            EXPECT_EQ(clientmanager_get_client_count(), 0);
            Recorder::get().clear();
        }
    }
}

TEST_F(PlexordServer, ListenSettingsAreCheckedSavedAndABusyPortIsNotFatal)
{
    EXPECT_EQ(cls(plexord_set_listen("127.0.0.1", 70000)), NCERR_INVALID);
    EXPECT_EQ(cls(plexord_set_listen("127.0.0.1", -1)), NCERR_INVALID);
    // Someone else holds the port.
    int other = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(other, 1), 0);
    socklen_t len = sizeof a;
    getsockname(other, reinterpret_cast<sockaddr *>(&a), &len);
    int busy = ntohs(a.sin_port);
    ASSERT_TRUE(ok(plexord_set_listen("127.0.0.1", busy)));
    plexord_stop();
    Recorder::get().clear();
    ASSERT_TRUE(ok(plexord_start()));
    EXPECT_TRUE(plexord_is_started());
    EXPECT_EQ(plexord_get_listen_port(), 0);
    EXPECT_TRUE(Recorder::get().wait_log(" ! Cannot listen for remote clients on 127.0.0.1:" + std::to_string(busy)));
    close(other);

    // Off, then saved and read back.
    ASSERT_TRUE(ok(plexord_set_listen("", 4321)));
    plexord_stop();
    ASSERT_TRUE(ok(plexord_start()));
    EXPECT_EQ(plexord_get_listen_port(), 0);
    ASSERT_TRUE(ok(plexord_set_listen("127.0.0.2", 4321)));
    session->finish();
    std::string ini = read_file(dir.file("plexord.ini"));
    EXPECT_NE(ini.find("[server]\naddress=127.0.0.2\nport=4321"), std::string::npos) << ini;

    // A core without the test hold listens where its file says.
    ini.replace(ini.find("127.0.0.2"), 9, "127.0.0.1").replace(ini.find("port=4321"), 9, "port=0");
    write_file(dir.file("plexord.ini"), ini);
    ASSERT_TRUE(ok(plexord_init(dir.path().c_str(), kDataDir, kPluginDir, Recorder::callback, PLEXORD_INIT_NO_DEMO,
                                nullptr)));
    plexord_load_plugins();
    plexord_load_config();
    plexord_start();
    EXPECT_GT(plexord_get_listen_port(), 0);
    plexord_finalize();
}
