// Our remote-server client (buslink's plexor_) against our core's server:
// logins, the device list, mixed flushes, user access and a lost server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>

#include <gtest/gtest.h>

#include "buslink.h"
#include "support.h"

using namespace test;

namespace {

struct ClientDeleter {
    void operator()(plexor_client_t *c) const { plexor_delete(c); }
};
using Client = std::unique_ptr<plexor_client_t, ClientDeleter>;

class ClientServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        write_file(dir.file("sp.ini"), "[b1]\nT1=21.5\nMODE=2\n[b2]\nMODE=4\nT1=5\n[pump]\nP=3\n");
        session = std::make_unique<Session>(dir.path(), PLEXORD_INIT_NO_DEMO | PLEXORD_INIT_FAST_HASH, false);
        uint16_t net = add_db_network("Plant", "sp.ini");
        ids["Boiler1"] = add_device(net, "Boiler1", "b1");
        ids["Boiler2"] = add_device(net, "Boiler2", "b2");
        ids["Pump"] = add_device(net, "Pump", "pump");
        device_t *d = devicemgr_fetch_device(ids["Boiler1"], 1);
        ASSERT_NE(d, nullptr);
        device_set_description(d, "Hall");
        devicemgr_drop_device(d);
        add_user("admin", "secret", "*", "*");
        add_user("boilers", "bb", "Boiler*", "");
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

    // A client with a bound on every wait, so a stuck exchange fails the test.
    static Client fresh()
    {
        Client c(plexor_new());
        plexor_set_timeout(c.get(), 5000);
        return c;
    }

    Client login(const char *user, const char *password)
    {
        Client c = fresh();
        EXPECT_EQ(plexor_connect(c.get(), "127.0.0.1", port, user, password), PLEXOR_SUCCESS);
        EXPECT_EQ(plexor_sync_devicelist(c.get()), PLEXOR_SUCCESS);
        return c;
    }

    TempDir dir;
    std::unique_ptr<Session> session;
    std::map<std::string, uint16_t> ids;
    int port = 0;
};

} // namespace

TEST_F(ClientServer, LoginsAndTheDeviceList)
{
    struct Case {
        const char *user, *password;
        int expected;
    } cases[] = {
        {"admin", "secret", PLEXOR_SUCCESS},
        {"admin", "Secret", PLEXOR_E_LOGIN},
        {"admin", "", PLEXOR_E_LOGIN},
        {"nobody", "secret", PLEXOR_E_LOGIN},
        {"", "", PLEXOR_E_LOGIN},
    };
    for (const Case &c : cases) {
        Client cl = fresh();
        EXPECT_EQ(plexor_connect(cl.get(), "127.0.0.1", port, c.user, c.password), c.expected) << c.user;
        EXPECT_EQ(plexor_has_connection(cl.get()), c.expected == PLEXOR_SUCCESS) << c.user;
        // A refused login leaves nothing to talk to.
        if (c.expected != PLEXOR_SUCCESS) {
            EXPECT_EQ(plexor_sync_devicelist(cl.get()), PLEXOR_E_NO_CONNECTION) << c.user;
        }
    }

    for (int allow : {0, 1}) {
        plexord_allow_local_challenge(allow);
        Client cl = fresh();
        EXPECT_EQ(plexor_connect_with_challenge(cl.get(), port),
                  allow ? PLEXOR_SUCCESS : PLEXOR_E_CHALLENGE_DISABLED);
        EXPECT_EQ(plexor_has_connection(cl.get()), allow);
    }

    Client cl = login("admin", "secret");
    ASSERT_EQ(plexor_get_device_count(cl.get()), devicemgr_get_device_count());
    std::map<std::string, uint16_t> seen;
    plexor_device_t *it = nullptr;
    for (plexor_device_t *d = plexor_get_first_device(cl.get(), &it); d; d = plexor_get_next_device(cl.get(), &it))
        seen[plexor_device_get_name(d)] = plexor_device_get_id(d);
    EXPECT_EQ(seen, ids);
    for (int i = 0; i < plexor_get_device_count(cl.get()); ++i) {
        plexor_device_t *d = plexor_get_nth_device(cl.get(), i);
        ASSERT_NE(d, nullptr);
        const char *desc = plexor_device_get_description(d);
        EXPECT_EQ(std::string(desc ? desc : ""), plexor_device_get_name(d) == std::string("Boiler1") ? "Hall" : "");
    }
    // A second sync replaces the list rather than appending to it.
    EXPECT_EQ(plexor_sync_devicelist(cl.get()), PLEXOR_SUCCESS);
    EXPECT_EQ(plexor_get_device_count(cl.get()), 3);
    EXPECT_EQ(plexor_send_client_info(cl.get(), "proof client"), PLEXOR_SUCCESS);
}

TEST_F(ClientServer, OneFlushMixesReadsAndWritesOnThreeDevices)
{
    Client c = login("admin", "secret");
    plexor_client_t *p = c.get();
    // Queued out of device order on purpose: the answers must still find
    // their requests after the client sorts them by device.
    ASSERT_EQ(plexor_request_integer(p, "Pump", "P", ""), 0);
    ASSERT_EQ(plexor_write_float(p, "Boiler1", "T1", "", 42.25), 0);
    ASSERT_EQ(plexor_request_float(p, "Boiler2", "T1", ""), 0);
    ASSERT_EQ(plexor_write_integer(p, "Boiler2", "MODE", "x", 7), 0);
    ASSERT_EQ(plexor_request_integer(p, "Boiler1", "MODE", ""), 0);
    ASSERT_EQ(plexor_write_integer(p, "Pump", "Q", "", 9), 0);
    ASSERT_EQ(plexor_flush(p), PLEXOR_SUCCESS);

    int i = -1;
    double f = -1;
    EXPECT_EQ(plexor_result_integer(p, "Boiler1", "MODE", "", &i), 0);
    EXPECT_EQ(i, 2);
    EXPECT_EQ(plexor_result_float(p, "Boiler2", "T1", "", &f), 0);
    EXPECT_DOUBLE_EQ(f, 5.0);
    EXPECT_EQ(plexor_result_integer(p, "Pump", "P", "", &i), 0);
    EXPECT_EQ(i, 3);
    // Write results are reported too.
    EXPECT_EQ(plexor_result_float(p, "Boiler1", "T1", "", nullptr), 0);
    EXPECT_EQ(plexor_result_integer(p, "Boiler2", "MODE", "x", nullptr), 0);

    std::string plant = read_file(dir.file("sp.ini"));
    EXPECT_NE(plant.find("T1=42.25"), std::string::npos) << plant;
    EXPECT_NE(plant.find("MODE:x=7"), std::string::npos) << plant;
    EXPECT_NE(plant.find("Q=9"), std::string::npos) << plant;

    // Read back through the server, this time at priority.
    plexor_reset(p);
    EXPECT_EQ(plexor_result_float(p, "Boiler1", "T1", "", &f), PLEXOR_E_NOT_REQUESTED);
    ASSERT_EQ(plexor_request_float(p, "Boiler1", "T1", ""), 0);
    ASSERT_EQ(plexor_request_integer(p, "Boiler2", "MODE", "x"), 0);
    ASSERT_EQ(plexor_request_integer(p, "Pump", "Q", ""), 0);
    ASSERT_EQ(plexor_flush_with_prio(p, 5), PLEXOR_SUCCESS);
    EXPECT_EQ(plexor_result_float(p, "Boiler1", "T1", "", &f), 0);
    EXPECT_DOUBLE_EQ(f, 42.25);
    EXPECT_EQ(plexor_result_integer(p, "Boiler2", "MODE", "x", &i), 0);
    EXPECT_EQ(i, 7);
    EXPECT_EQ(plexor_result_integer(p, "Pump", "Q", "", &i), 0);
    EXPECT_EQ(i, 9);
}

TEST_F(ClientServer, AUserReachesOnlyWhatItMay)
{
    Client c = login("boilers", "bb");
    plexor_client_t *p = c.get();
    // The device list is the whole server's; access is checked per request.
    ASSERT_EQ(plexor_get_device_count(p), 3);
    ASSERT_EQ(plexor_request_float(p, "Boiler1", "T1", ""), 0);
    ASSERT_EQ(plexor_request_integer(p, "Boiler2", "MODE", ""), 0);
    ASSERT_EQ(plexor_request_integer(p, "Pump", "P", ""), 0);
    ASSERT_EQ(plexor_flush(p), PLEXOR_SUCCESS);

    struct Case {
        const char *device, *item;
        bool is_float;
        int expected;
        double value;
    } cases[] = {
        {"Boiler1", "T1", true, 0, 21.5},
        {"Boiler2", "MODE", false, 0, 4},
        {"Pump", "P", false, PLEXOR_E_NO_ACCESS, 0},
    };
    for (const Case &k : cases) {
        if (k.is_float) {
            double f = -1;
            EXPECT_EQ(plexor_result_float(p, k.device, k.item, "", &f), k.expected) << k.device;
            if (k.expected == 0) {
                EXPECT_DOUBLE_EQ(f, k.value) << k.device;
            }
        } else {
            int i = -1;
            EXPECT_EQ(plexor_result_integer(p, k.device, k.item, "", &i), k.expected) << k.device;
            if (k.expected == 0) {
                EXPECT_EQ(i, k.value) << k.device;
            }
        }
    }
    // Nothing may be written: both writes are refused and the plant is as it was.
    plexor_reset(p);
    ASSERT_EQ(plexor_write_float(p, "Boiler1", "T1", "", 99.5), 0);
    ASSERT_EQ(plexor_write_integer(p, "Pump", "P", "", 8), 0);
    ASSERT_EQ(plexor_flush(p), PLEXOR_SUCCESS);
    EXPECT_EQ(plexor_result_float(p, "Boiler1", "T1", "", nullptr), PLEXOR_E_NO_ACCESS);
    EXPECT_EQ(plexor_result_integer(p, "Pump", "P", "", nullptr), PLEXOR_E_NO_ACCESS);
    std::string plant = read_file(dir.file("sp.ini"));
    EXPECT_NE(plant.find("T1=21.5"), std::string::npos) << plant;
    EXPECT_NE(plant.find("P=3"), std::string::npos) << plant;
    EXPECT_EQ(plant.find("99.5"), std::string::npos) << plant;
    EXPECT_EQ(plant.find("P=8"), std::string::npos) << plant;
}

TEST_F(ClientServer, EdgeCasesOfTheClient)
{
    Client c = login("admin", "secret");
    plexor_client_t *p = c.get();
    int i = -1;
    // Unknown device: nothing queued, so the flush sends nothing.
    EXPECT_EQ(plexor_request_integer(p, "Boiler3", "P", ""), PLEXOR_E_NO_DEVICE);
    EXPECT_EQ(plexor_result_integer(p, "Boiler3", "P", "", &i), PLEXOR_E_NO_DEVICE);
    EXPECT_EQ(plexor_request_integer(p, "boiler1", "MODE", ""), PLEXOR_E_NO_DEVICE);
    // Queued but not yet sent.
    ASSERT_EQ(plexor_request_integer(p, "Boiler1", "MODE", ""), 0);
    EXPECT_EQ(plexor_result_integer(p, "Boiler1", "MODE", "", &i), PLEXOR_E_NOT_PROCESSED);
    // Results match on type, qualifier and name exactly.
    EXPECT_EQ(plexor_result_float(p, "Boiler1", "MODE", "", nullptr), PLEXOR_E_NOT_REQUESTED);
    EXPECT_EQ(plexor_result_integer(p, "Boiler1", "MODE", "x", nullptr), PLEXOR_E_NOT_REQUESTED);
    ASSERT_EQ(plexor_flush(p), 0);
    EXPECT_EQ(plexor_result_integer(p, "Boiler1", "MODE", "", &i), 0);
    EXPECT_EQ(i, 2);
    // A setpoint the plant lacks fails on its own; the link stays usable.
    plexor_reset(p);
    ASSERT_EQ(plexor_request_float(p, "Pump", "NOSUCH", ""), 0);
    ASSERT_EQ(plexor_request_integer(p, "Pump", "P", ""), 0);
    ASSERT_EQ(plexor_flush(p), 0);
    const int r = plexor_result_float(p, "Pump", "NOSUCH", "", nullptr);
    EXPECT_EQ(r, PLEXOR_E_FAILED);
    EXPECT_EQ(plexor_result_integer(p, "Pump", "P", "", &i), 0);
    EXPECT_EQ(i, 3);
    // An empty flush is a no-op, and a logged-in client cannot log in again.
    plexor_reset(p);
    EXPECT_EQ(plexor_flush(p), 0);
    EXPECT_EQ(plexor_connect(p, "127.0.0.1", port, "admin", "secret"), PLEXOR_E_ALREADY_CONNECTED);
    EXPECT_TRUE(plexor_has_connection(p));

    // A port nobody listens on: 10, then 7 until the socket is given back.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    const int dead = ntohs(a.sin_port); // bound, never listening
    Client d = fresh();
    EXPECT_EQ(plexor_connect(d.get(), "127.0.0.1", dead, "admin", "secret"), PLEXOR_E_NO_RESPONSE);
    EXPECT_EQ(plexor_connect(d.get(), "127.0.0.1", port, "admin", "secret"), PLEXOR_E_ALREADY_CONNECTED);
    EXPECT_EQ(plexor_disconnect(d.get()), 0);
    EXPECT_EQ(plexor_connect(d.get(), "127.0.0.1", port, "admin", "secret"), 0);
    close(s);
}

TEST_F(ClientServer, AServerStoppedUnderTheClient)
{
    Client c = login("admin", "secret");
    plexor_client_t *p = c.get();
    ASSERT_EQ(plexor_request_integer(p, "Pump", "P", ""), 0);
    ASSERT_EQ(plexor_flush(p), 0);
    ASSERT_TRUE(Recorder::get().wait([](const std::vector<Event> &) { return clientmanager_get_client_count() == 1; }));
    ASSERT_TRUE(ok(plexord_stop()));

    plexor_reset(p);
    ASSERT_EQ(plexor_request_integer(p, "Pump", "P", ""), 0);
    const int r = plexor_flush(p);
    EXPECT_TRUE(r == PLEXOR_E_WRITE || r == PLEXOR_E_READ) << r;
    EXPECT_FALSE(plexor_has_connection(p));
    EXPECT_EQ(plexor_result_integer(p, "Pump", "P", "", nullptr), PLEXOR_E_NOT_PROCESSED);
    EXPECT_EQ(plexor_flush(p), PLEXOR_E_NO_CONNECTION);
    EXPECT_EQ(plexor_sync_devicelist(p), PLEXOR_E_NO_CONNECTION);

    // Back up: the same client logs in again after giving back its socket.
    ASSERT_TRUE(ok(plexord_start()));
    const int again = plexord_get_listen_port();
    ASSERT_GT(again, 0);
    plexor_disconnect(p);
    EXPECT_EQ(plexor_connect(p, "127.0.0.1", again, "admin", "secret"), 0);
    EXPECT_EQ(plexor_flush(p), 0);
    int i = -1;
    EXPECT_EQ(plexor_result_integer(p, "Pump", "P", "", &i), 0);
    EXPECT_EQ(i, 3);
}
