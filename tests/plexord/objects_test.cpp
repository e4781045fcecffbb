// Managers: fetch and drop, ids, iteration; devices, hardware, users.
#include <functional>
#include <future>

#include <gtest/gtest.h>

#include "support.h"

using namespace test;
using Clock = std::chrono::steady_clock;

namespace {

class PlexordObjects : public ::testing::Test {
protected:
    void SetUp() override
    {
        session = std::make_unique<Session>(dir.path());
        net = add_db_network("Plant", "sp.ini");
    }
    TempDir dir;
    std::unique_ptr<Session> session;
    uint16_t net = 0;
};

} // namespace

TEST_F(PlexordObjects, ExclusiveFetchBlocksOthersUntilDropOrTimeOut)
{
    uint16_t id = add_device(net, "D", "d");
    device_t *w = devicemgr_fetch_device(id, 1);
    ASSERT_NE(w, nullptr);

    // Another thread waits for the drop...
    auto t0 = Clock::now();
    auto waiter = std::async(std::launch::async, [&] {
        device_t *r = devicemgr_fetch_device(id, 0);
        if (r)
            devicemgr_drop_device(r);
        return r != nullptr;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    devicemgr_drop_device(w);
    EXPECT_TRUE(waiter.get());
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(300));

    // ...or gives up after the lock time-out.
    w = devicemgr_fetch_device(id, 1);
    auto late = std::async(std::launch::async, [&] { return devicemgr_fetch_device(id, 1); });
    EXPECT_EQ(late.get(), nullptr);
    devicemgr_drop_device(w);
}

TEST_F(PlexordObjects, SharedFetchesOverlap)
{
    uint16_t id = add_device(net, "D", "d");
    device_t *a = devicemgr_fetch_device(id, 0);
    device_t *b = devicemgr_fetch_device(id, 0); // the same thread again
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    auto other = std::async(std::launch::async, [&] {
        device_t *c = devicemgr_fetch_device(id, 0);
        if (c)
            devicemgr_drop_device(c);
        return c != nullptr;
    });
    EXPECT_EQ(other.wait_for(std::chrono::seconds(1)), std::future_status::ready);
    EXPECT_TRUE(other.get());
    devicemgr_drop_device(a);
    devicemgr_drop_device(b);
    device_t *w = devicemgr_fetch_device(id, 1);
    EXPECT_NE(w, nullptr);
    devicemgr_drop_device(w);
}

namespace {

struct Kind {
    const char *name;
    std::function<void *(int mode)> fetch;
    std::function<void(void *)> drop;
};

template <typename F> auto elsewhere(F f)
{
    return std::async(std::launch::async, f).get();
}

// Another thread drops its handle twice while this one holds the object
// shared, and drops it again while this one holds it exclusively: neither
// hold may be lost.
void check_double_drop(const Kind &k)
{
    SCOPED_TRACE(k.name);
    void *mine = k.fetch(0);
    ASSERT_NE(mine, nullptr);
    void *theirs = elsewhere([&] {
        void *h = k.fetch(0);
        k.drop(h);
        k.drop(h);
        return h;
    });
    EXPECT_EQ(elsewhere([&] { return k.fetch(1); }), nullptr) << "the shared hold was released";
    k.drop(mine);
    mine = k.fetch(1);
    ASSERT_NE(mine, nullptr);
    elsewhere([&] { k.drop(theirs); });
    EXPECT_EQ(elsewhere([&] { return k.fetch(0); }), nullptr) << "the exclusive hold was released";
    k.drop(mine);
}

} // namespace

TEST_F(PlexordObjects, HandleDroppedTwiceKeepsOtherHoldersLocks)
{
    uint16_t dev = add_device(net, "D", "d");
    user_t *u = user_new();
    ASSERT_TRUE(ok(usermanager_add_user(u)));
    uint16_t user = user_get_id(u);
    sched_task_t *t = scheduler_task_new(SCHED_TASK_FIXED);
    ASSERT_TRUE(ok(scheduler_add_task(g_sched, t, 0)));
    int task = t->id;

    const Kind kinds[] = {
        {"device", [&](int m) -> void * { return devicemgr_fetch_device(dev, m); },
         [](void *h) { devicemgr_drop_device(static_cast<device_t *>(h)); }},
        {"user", [&](int m) -> void * { return usermanager_fetch_user(user, m); },
         [](void *h) { usermanager_drop_user(static_cast<user_t *>(h)); }},
        {"task", [&](int m) -> void * { return scheduler_fetch_task(g_sched, task, m); },
         [](void *h) { scheduler_drop_task(g_sched, static_cast<sched_task_t *>(h)); }},
    };
    // The kinds run side by side: each refused fetch waits out the lock time-out.
    std::vector<std::future<void>> runs;
    for (const Kind &k : kinds)
        runs.push_back(std::async(std::launch::async, [&k] { check_double_drop(k); }));
    for (auto &r : runs)
        r.get();
}

TEST_F(PlexordObjects, NetworkFetchWaitsForARemovalThenGivesNull)
{
    network_t *held = networkmgr_fetch_network(net, 1000);
    ASSERT_NE(held, nullptr);
    auto remover = std::async(std::launch::async, [&] { return networkmgr_remove_network(net); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // The removal waits for the holder, which can still use its handle.
    EXPECT_EQ(remover.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    EXPECT_STREQ(network_get_name(held), "Plant");
    networkmgr_drop_network(held);
    EXPECT_TRUE(ok(remover.get()));
    EXPECT_EQ(networkmgr_fetch_network(net, 50), nullptr);
    EXPECT_EQ(networkmgr_get_network_count(), 0);
}

TEST_F(PlexordObjects, IdsAreNeverReusedAndIterationIsASnapshot)
{
    std::vector<uint16_t> devs;
    for (int i = 0; i < 5; ++i) {
        devs.push_back(add_device(net, "D", "d"));
        EXPECT_TRUE(i == 0 || devs[i] > devs[i - 1]);
    }
    devicemgr_remove_device(devs[4]);
    uint16_t again = add_device(net, "E", "e");
    EXPECT_GT(again, devs[4]);
    network_t *n2 = plexord_create_network("db");
    EXPECT_GT(network_get_id(n2), net);
    user_t *u1 = user_new();
    usermanager_add_user(u1);
    usermanager_remove_user(user_get_id(u1));
    EXPECT_GT(user_get_id(user_new()), user_get_id(u1));
    sched_task_t *t1 = scheduler_task_new(0);
    scheduler_add_task(g_sched, t1, 0);
    scheduler_remove_task(g_sched, t1->id);
    EXPECT_GT(scheduler_task_new(1)->id, t1->id);

    devicemgr_iterate_start();
    std::vector<uint16_t> got;
    uint16_t first = devicemgr_iterate_get_next();
    got.push_back(first);
    devicemgr_remove_device(devs[1]); // later changes do not disturb the walk
    add_device(net, "F", "f");
    for (uint16_t id; (id = devicemgr_iterate_get_next()) != 0;)
        got.push_back(id);
    devicemgr_iterate_end();
    EXPECT_EQ(got, (std::vector<uint16_t>{devs[0], devs[1], devs[2], devs[3], again}));
    // A device removed meanwhile is simply not fetched.
    EXPECT_EQ(devicemgr_fetch_device(devs[1], 0), nullptr);

    scheduler_iterate_start(g_sched);
    EXPECT_EQ(scheduler_iterate_get_next(g_sched), -1);
    scheduler_iterate_end(g_sched);
}

TEST_F(PlexordObjects, RemovedDeviceHandleStaysUsableByItsHolder)
{
    uint16_t id = add_device(net, "Held", "h");
    device_t *d = devicemgr_fetch_device(id, 0);
    ASSERT_TRUE(ok(devicemgr_remove_device(id)));
    EXPECT_STREQ(device_get_name(d), "Held");
    devicemgr_drop_device(d);
    EXPECT_EQ(cls(devicemgr_remove_device(id)), NCERR_NO_DEVICE);
    EXPECT_EQ(devicemgr_get_device_count(), 0);
}

TEST_F(PlexordObjects, DeviceRecordAndHardware)
{
    device_t *d = device_new(net);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->network_id, net);
    EXPECT_NE(d->id, 0);
    EXPECT_NE(d->name, nullptr);
    EXPECT_EQ(d->hardware, nullptr);
    EXPECT_EQ(d->doc_path, nullptr);
    devicemgr_add_device(d);

    ASSERT_GE(hardwaremgr_get_count(), 3);
    std::vector<std::string> names;
    hwiter_t *it = hardwaremgr_get_iter_all();
    do {
        names.push_back(hwinfo_get_name(hardwaremgr_iter_get(it)));
    } while (hardwaremgr_iter_next(it));
    hardwaremgr_iter_free(it);
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_EQ(names.size(), static_cast<size_t>(hardwaremgr_get_count()));

    device_t *w = devicemgr_fetch_device(d->id, 1);
    EXPECT_TRUE(ok(device_set_hardware(w, "tc-200 temperature controller")));
    EXPECT_EQ(cls(device_set_hardware(w, "No such box")), NCERR_INVALID);
    devicemgr_drop_device(w);
    hwinfo_t *hw = d->hardware;
    ASSERT_NE(hw, nullptr);
    EXPECT_STREQ(hwinfo_get_name(hw), "TC-200 Temperature controller");
    EXPECT_STREQ(hwinfo_get_icon_path(hw), "temperature-controller.png");
    EXPECT_EQ(std::string(hwinfo_get_backup_path(hw)), std::string(kDataDir) + "/templates/tc200.xml");

    // The hardware's documentation serves until the device has its own.
    doc_t *doc = device_get_doc(d);
    doc_lock(doc);
    EXPECT_STREQ(doc_get_best_description(doc, "SP1"), "Setpoint 1 (°C)");
    EXPECT_STREQ(doc_get_best_description(doc, "SP1:F"), "Setpoint 1 (°C)");
    EXPECT_EQ(doc_get_best_description(doc, "NOPE"), nullptr);
    doc_unlock(doc);

    write_file(dir.file("own.csv"), "SP1,Own text\nX:B,\"with \"\"quotes\"\", and comma\"\n");
    w = devicemgr_fetch_device(d->id, 1);
    EXPECT_TRUE(ok(device_load_documentation(w, "own.csv"))); // relative to the config folder
    EXPECT_EQ(cls(device_load_documentation(w, "/nonexistent.csv")), NCERR_IO);
    EXPECT_STREQ(d->doc_path, "/nonexistent.csv"); // kept, documents nothing
    EXPECT_TRUE(ok(device_load_documentation(w, dir.file("own.csv").c_str())));
    devicemgr_drop_device(w);
    doc = device_get_doc(d);
    doc_lock(doc);
    EXPECT_STREQ(doc_get_best_description(doc, "SP1"), "Own text");
    EXPECT_STREQ(doc_get_best_description(doc, "X:B"), "with \"quotes\", and comma");
    EXPECT_EQ(doc_get_best_description(doc, "X"), nullptr);
    doc_unlock(doc);

    w = devicemgr_fetch_device(d->id, 1);
    device_set_hardware(w, "");
    device_load_documentation(w, "");
    devicemgr_drop_device(w);
    EXPECT_EQ(d->hardware, nullptr);
    EXPECT_EQ(d->doc_path, nullptr);
    EXPECT_EQ(device_get_doc(d), nullptr);
}

TEST_F(PlexordObjects, UsersAndPasswords)
{
    user_t *u = user_new();
    usermanager_add_user(u);
    uint16_t id = user_get_id(u);
    user_t *w = usermanager_fetch_user(id, 1);
    ASSERT_NE(w, nullptr);
    user_set_name(w, "anna");
    EXPECT_FALSE(user_check_password(w, "")); // no password: no log-in
    user_set_password(w, "secret");
    std::string stored = user_get_password(w);
    EXPECT_EQ(stored.find("secret"), std::string::npos);
    EXPECT_EQ(stored.rfind("$argon2", 0), 0u) << stored;
    EXPECT_TRUE(user_check_password(w, "secret"));
    EXPECT_FALSE(user_check_password(w, "Secret"));
    // What the edit dialog hands back unchanged stays as it is.
    user_set_password(w, stored.c_str());
    EXPECT_EQ(stored, user_get_password(w));
    EXPECT_TRUE(user_check_password(w, "secret"));
    // The same clear text again gets a new salt.
    user_set_password(w, "secret");
    EXPECT_NE(stored, user_get_password(w));
    user_set_read_access(w, "*");
    user_set_write_access(w, "Boiler, pump*");
    usermanager_drop_user(w);

    user_t *r = usermanager_fetch_user(id, 0);
    EXPECT_STREQ(user_get_name(r), "anna");
    EXPECT_TRUE(user_may_read(r, "anything"));
    EXPECT_TRUE(user_may_write(r, "boiler"));
    EXPECT_TRUE(user_may_write(r, "Pump 2"));
    EXPECT_FALSE(user_may_write(r, "Boiler 2"));
    usermanager_drop_user(r);
    EXPECT_EQ(usermanager_get_user_count(), 1);

    EXPECT_FALSE(plexord_local_challenge_is_allowed());
    plexord_allow_local_challenge(1);
    EXPECT_TRUE(plexord_local_challenge_is_allowed());
    EXPECT_EQ(clientmanager_get_client_count(), 0);
}

TEST(PlexordAccessMatch, Patterns)
{
    EXPECT_TRUE(plexord_access_match("*", "x"));
    EXPECT_TRUE(plexord_access_match("*", ""));
    EXPECT_FALSE(plexord_access_match("", "x"));
    EXPECT_TRUE(plexord_access_match(" a , b?c ", "BXC"));
    EXPECT_FALSE(plexord_access_match("a,b?c", "bc"));
    EXPECT_TRUE(plexord_access_match("*house*", "Boiler house 2"));
    EXPECT_FALSE(plexord_access_match("*house", "Boiler house 2"));
    EXPECT_TRUE(plexord_access_match("a**b", "ab"));
    EXPECT_FALSE(plexord_access_match(nullptr, "x"));
}

TEST(PlexordDoc, CsvParsing)
{
    const char text[] = "\xEF\xBB\xBF# comment\r\n"
                        "  \n"
                        "A, plain text, with commas \r\n"
                        "\"B:x\",\"quoted \"\"word\"\"\"\n"
                        "C:f,\"unterminated\n"
                        "D\n"
                        "   # indented comment\n"
                        ",no item\n"
                        "A,second A";
    doc_t *d = doc_parse(text, sizeof text - 1);
    ASSERT_NE(d, nullptr);
    doc_lock(d);
    ASSERT_EQ(doc_get_count(d), 5);
    EXPECT_STREQ(doc_get_item(d, 0), "A");
    EXPECT_STREQ(doc_get_description(d, 0), "plain text, with commas");
    EXPECT_STREQ(doc_get_item(d, 1), "B:x");
    EXPECT_STREQ(doc_get_description(d, 1), "quoted \"word\"");
    EXPECT_STREQ(doc_get_description(d, 2), "unterminated");
    EXPECT_STREQ(doc_get_description(d, 3), "");
    EXPECT_STREQ(doc_get_best_description(d, "A"), "plain text, with commas"); // the first entry wins
    EXPECT_STREQ(doc_get_best_description(d, "b:X"), "quoted \"word\"");
    EXPECT_STREQ(doc_get_best_description(d, "C:f"), "unterminated");
    EXPECT_STREQ(doc_get_best_description(d, "A:zz"), "plain text, with commas");
    EXPECT_EQ(doc_get_item(d, 5), nullptr);
    doc_unlock(d);
    doc_delete(d);
    doc_t *empty = doc_parse(nullptr, 0);
    EXPECT_EQ(doc_get_count(empty), 0);
    doc_delete(empty);
}
