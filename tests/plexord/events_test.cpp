// Event delivery: the core's thread, the order, the copies.
#include <cstring>

#include <gtest/gtest.h>

#include "support.h"

using namespace test;

TEST(PlexordEvents, DeliveredInOrderOnTheCoreThread)
{
    TempDir dir;
    Session s(dir.path());
    Recorder::get().clear();
    for (int i = 0; i < 200; ++i)
        EXPECT_TRUE(ok(ncevent_throw_io_event(NCEVENT_READ_REQUEST + i % 4, 3, 4, 0, "T1", "db", i,
                                              i % 2 ? ncerr_t{NCERR_TIMEOUT, 7} : ncerr_ok())));
    ASSERT_TRUE(Recorder::get().wait([](const std::vector<Event> &ev) {
        int n = 0;
        for (const Event &e : ev)
            n += e.type >= NCEVENT_READ_REQUEST && e.type <= NCEVENT_WRITE_RESULT;
        return n == 200;
    }));
    int i = 0;
    std::thread::id core_thread;
    for (const Event &e : Recorder::get().events()) {
        if (e.type < NCEVENT_READ_REQUEST || e.type > NCEVENT_WRITE_RESULT)
            continue;
        EXPECT_EQ(e.value, i);
        EXPECT_EQ(e.type, NCEVENT_READ_REQUEST + i % 4);
        EXPECT_EQ(e.network, 3);
        EXPECT_EQ(e.device, 4);
        EXPECT_EQ(e.item, "T1");
        EXPECT_EQ(e.flag, "db");
        EXPECT_EQ(e.result.code, i % 2 ? NCERR_TIMEOUT : NCERR_OK);
        EXPECT_NE(e.thread, std::this_thread::get_id());
        if (i == 0)
            core_thread = e.thread;
        EXPECT_EQ(e.thread, core_thread);
        ++i;
    }
}

TEST(PlexordEvents, ThrowRefusesOtherTypesAndTakesNullTexts)
{
    TempDir dir;
    Session s(dir.path());
    EXPECT_EQ(cls(ncevent_throw_io_event(NCEVENT_LOG, 0, 0, 0, "x", "", 0, ncerr_ok())), NCERR_INVALID);
    EXPECT_EQ(cls(ncevent_throw_io_event(NCEVENT_NETWORK_ADDED, 0, 0, 0, "x", "", 0, ncerr_ok())), NCERR_INVALID);
    Recorder::get().clear();
    EXPECT_TRUE(ok(ncevent_throw_io_event(NCEVENT_WRITE_RESULT, 1, 2, 9, nullptr, nullptr, 1.5, ncerr_ok())));
    auto io = [](const std::vector<Event> &ev) -> const Event * {
        for (const Event &e : ev)
            if (e.type >= NCEVENT_READ_REQUEST && e.type <= NCEVENT_WRITE_RESULT)
                return &e;
        return nullptr;
    };
    ASSERT_TRUE(Recorder::get().wait([&](const std::vector<Event> &ev) { return io(ev) != nullptr; }));
    auto all = Recorder::get().events();
    Event e = *io(all);
    EXPECT_EQ(e.type, NCEVENT_WRITE_RESULT);
    EXPECT_EQ(e.client, 9u);
    EXPECT_EQ(e.item, "");
    EXPECT_EQ(e.flag, "");
}

TEST(PlexordEvents, CopyIsDeep)
{
    char msg[] = "message", item[] = "item";
    ncevent_t ev{};
    ev.type = NCEVENT_READ_RESULT;
    ev.result = ncerr_t{NCERR_TIMEOUT, 3};
    ev.message = msg;
    ev.item = item;
    ev.value = 2.5;
    ncevent_t *c = ncevent_copy(&ev);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c->message, msg);
    EXPECT_STREQ(c->message, "message");
    EXPECT_STREQ(c->item, "item");
    EXPECT_EQ(c->flag, nullptr);
    EXPECT_EQ(c->client_text, nullptr);
    EXPECT_EQ(c->result.detail, 3);
    msg[0] = 'X';
    EXPECT_STREQ(c->message, "message");
    ncevent_t *c2 = ncevent_copy(c);
    ncevent_delete(c);
    EXPECT_STREQ(c2->item, "item");
    ncevent_delete(c2);
    EXPECT_EQ(ncevent_copy(nullptr), nullptr);
    ncevent_delete(nullptr);
}

TEST(PlexordEvents, NetworkAndDeviceChangesAreAnnounced)
{
    TempDir dir;
    Session s(dir.path());
    Recorder::get().clear();
    uint16_t net = add_db_network("Plant", "sp.ini");
    uint16_t dev = add_device(net, "Boiler", "boiler");

    network_t *n = networkmgr_fetch_network(net, 1000);
    network_set(n, "name", "Renamed", (char *)nullptr);
    networkmgr_drop_network(n);

    device_t *d = devicemgr_fetch_device(dev, 1);
    device_set_name(d, "B1");
    device_set_address(d, "b1");
    devicemgr_drop_device(d);

    devicemgr_remove_device(dev);
    networkmgr_remove_network(net);

    auto want = std::vector<std::pair<int, uint16_t>>{
        {NCEVENT_NETWORK_ADDED, net},   {NCEVENT_DEVICE_ADDED, dev},    {NCEVENT_NETWORK_CHANGED, net},
        {NCEVENT_DEVICE_CHANGED, dev},  {NCEVENT_DEVICE_REMOVED, dev},  {NCEVENT_NETWORK_REMOVED, net}};
    auto pick = [](const std::vector<Event> &ev) {
        std::vector<std::pair<int, uint16_t>> got;
        for (const Event &e : ev)
            if (e.type >= NCEVENT_DEVICE_ADDED)
                got.emplace_back(e.type, e.type <= NCEVENT_DEVICE_CHANGED ? e.device : e.network);
        return got;
    };
    ASSERT_TRUE(Recorder::get().wait([&](const std::vector<Event> &ev) { return pick(ev).size() >= want.size(); }));
    // One change event per fetch, however many setters ran under it.
    EXPECT_EQ(pick(Recorder::get().events()), want);
}

TEST(PlexordResults, TextsNameTheClassAndTheDriverMessage)
{
    TempDir dir;
    Session s(dir.path());
    EXPECT_TRUE(ncerr_is_ok(ncerr_ok()));
    EXPECT_FALSE(ncerr_is_ok(ncerr_t{1, 5}));
    EXPECT_STREQ(ncerr_get_string(ncerr_t{NCERR_NO_DEVICE, 0}), "No such device");
    // Plug-in 1 (db), status 1.
    std::string t = ncerr_get_string(ncerr_t{NCERR_UNKNOWN_SETPOINT | (1 << 8), 1});
    EXPECT_NE(t.find("Unknown setpoint"), std::string::npos) << t;
    EXPECT_NE(t.find("db: unknown setpoint"), std::string::npos) << t;
    EXPECT_NE(std::string(ncerr_get_string(ncerr_t{NCERR_IO, 13})).find("Permission denied"), std::string::npos);
    // Stable pointers: the same text twice is the same storage.
    EXPECT_EQ(ncerr_get_string(ncerr_t{NCERR_TIMEOUT, 0}), ncerr_get_string(ncerr_t{NCERR_TIMEOUT, 0}));
    EXPECT_NE(ncerr_get_string(ncerr_t{999, 0}), nullptr);
}
