// The configuration file: round trips, failures, the demo plant.
#include <csignal>
#include <filesystem>

#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support.h"

namespace fs = std::filesystem;
using namespace test;

namespace {

// Everything the configuration holds, as text, to compare two runs.
std::string snapshot()
{
    std::string s = "challenge=" + std::to_string(plexord_local_challenge_is_allowed()) + "\n";
    networkmgr_iterate_start();
    for (uint16_t id; (id = networkmgr_iterate_get_next()) != 0;) {
        network_t *n = networkmgr_fetch_network(id, 1000);
        char *file = nullptr;
        int delay = 0;
        network_get(n, "filename", &file, "delay", &delay, (char *)nullptr);
        s += "net " + std::to_string(id) + " " + network_get_type(n) + " " + network_get_name(n) + " " + file + " " +
             std::to_string(delay) + "\n";
        networkmgr_drop_network(n);
    }
    networkmgr_iterate_end();
    devicemgr_iterate_start();
    for (uint16_t id; (id = devicemgr_iterate_get_next()) != 0;) {
        device_t *d = devicemgr_fetch_device(id, 0);
        s += "dev " + std::to_string(id) + " net " + std::to_string(d->network_id) + " " + d->name + "|" +
             (d->description ? d->description : "-") + "|" + (d->address ? d->address : "-") + "|" +
             hwinfo_get_name(d->hardware) + "|" + (d->doc_path ? d->doc_path : "-") + "|" +
             std::to_string(device_cache_is_enforced(d)) + "/" + std::to_string(device_get_max_cache_age(d)) + "\n";
        devicemgr_drop_device(d);
    }
    devicemgr_iterate_end();
    usermanager_iterate_start();
    for (uint16_t id; (id = usermanager_iterate_get_next()) != 0;) {
        user_t *u = usermanager_fetch_user(id, 0);
        s += "user " + std::to_string(id) + " " + user_get_name(u) + "|" + user_get_password(u) + "|" +
             user_get_read_access(u) + "|" + user_get_write_access(u) + "\n";
        usermanager_drop_user(u);
    }
    usermanager_iterate_end();
    scheduler_iterate_start(g_sched);
    for (int id; (id = scheduler_iterate_get_next(g_sched)) != -1;) {
        sched_task_t *t = scheduler_fetch_task(g_sched, id, 0);
        const sched_condition_t &k = t->condition;
        auto str = [](const char *p) { return std::string(p ? p : "-"); };
        s += "task " + std::to_string(id) + " " + str(t->name) + " type " + std::to_string(t->type) + " first " +
             std::to_string(t->first) + " every " + std::to_string(t->interval) + " src " +
             std::to_string(t->source_device_id) + ":" + str(t->source_item) + ":" + str(t->source_flag) + " dst " +
             std::to_string(t->target_device_id) + ":" + str(t->target_item) + ":" + str(t->target_flag) +
             " fixed " + std::to_string(t->fixed_value) + " cond " + std::to_string(k.left.is_fixed) +
             std::to_string(k.left.device_id) + str(k.left.item) + str(k.left.flag) + std::to_string(k.left.value) +
             " op " + std::to_string(k.op) + " " + std::to_string(k.right.is_fixed) + std::to_string(k.right.value) +
             " then " + std::to_string(k.then_target.device_id) + str(k.then_target.item) +
             std::to_string(k.then_value) + " else " + std::to_string(k.do_nothing_else) +
             std::to_string(k.else_target.device_id) + str(k.else_target.item) + str(k.else_target.flag) +
             std::to_string(k.else_value) + "\n";
        scheduler_drop_task(g_sched, t);
    }
    scheduler_iterate_end(g_sched);
    return s;
}

void build_some()
{
    uint16_t net = add_db_network("Plant = main; #1", "sp.ini", 25);
    device_t *d = devicemgr_fetch_device(add_device(net, "Boiler", "boiler"), 1);
    device_set_description(d, "Boiler house");
    device_set_hardware(d, "MC-16 Compact PLC");
    device_cache_enforce(d, 1, 30);
    devicemgr_drop_device(d);
    add_device(net, "Ünïcode", "u");
    user_t *u = user_new();
    user_set_name(u, "anna");
    user_set_password(u, "clear-text-secret");
    user_set_read_access(u, "*");
    user_set_write_access(u, "Boiler,Pump*");
    usermanager_add_user(u);
    plexord_allow_local_challenge(1);

    sched_task_t *t = scheduler_task_new(SCHED_TASK_CONDITION);
    scheduler_task_set_name(t, "Cond");
    scheduler_task_set_first_date_time(t, 1700000000);
    scheduler_task_set_interval(t, 86430);
    sched_condition_t *k = scheduler_task_get_condition(t);
    k->left.is_fixed = 0;
    k->left.device_id = 1;
    k->left.item = ux_strdup("T1");
    k->left.flag = ux_strdup("db");
    k->op = SCHED_OP_NE;
    k->right.value = -2.5;
    k->then_target.device_id = 2;
    k->then_target.item = ux_strdup("X");
    k->then_value = 0.1;
    k->do_nothing_else = 1;
    scheduler_add_task(g_sched, t, 0);
    sched_task_t *c = scheduler_task_new(SCHED_TASK_COPY);
    scheduler_task_set_source_device(c, 1);
    scheduler_task_set_source_item(c, "A");
    scheduler_task_set_source_flag(c, "f");
    scheduler_task_set_target_device(c, 2);
    scheduler_task_set_target_item(c, "B");
    scheduler_task_set_fixed_value(c, 1e-7);
    scheduler_add_task(g_sched, c, 0);
}

} // namespace

TEST(PlexordConfig, RoundTrip)
{
    TempDir dir;
    std::string before;
    {
        Session s(dir.path());
        build_some();
        before = snapshot();
        EXPECT_TRUE(plexord_config_is_dirty());
        EXPECT_TRUE(ok(plexord_save_config()));
        EXPECT_FALSE(plexord_config_is_dirty());
    }
    std::string file = read_file(dir.file("plexord.ini"));
    EXPECT_EQ(file.find("clear-text-secret"), std::string::npos) << file;
    EXPECT_NE(file.find("$argon2"), std::string::npos);
    {
        Session s(dir.path());
        EXPECT_EQ(snapshot(), before);
        EXPECT_FALSE(plexord_config_is_dirty());
        user_t *u = usermanager_fetch_user(1, 0);
        EXPECT_TRUE(user_check_password(u, "clear-text-secret"));
        usermanager_drop_user(u);
        // New objects do not take ids of loaded ones.
        EXPECT_GT(device_new(1)->id, 2);
    }
}

TEST(PlexordConfig, DemoPlantReloadsTheSame)
{
    TempDir dir;
    std::string before;
    {
        Session s(dir.path(), PLEXORD_INIT_FAST_HASH, false);
        before = snapshot();
        EXPECT_NE(before.find("Boiler"), std::string::npos);
        EXPECT_TRUE(fs::exists(dir.file("demo-setpoints.ini")));
        s.finish();
    }
    ASSERT_TRUE(fs::exists(dir.file("plexord.ini")));
    Session s(dir.path(), PLEXORD_INIT_FAST_HASH, false);
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(networkmgr_get_network_count(), 1);
    EXPECT_EQ(devicemgr_get_device_count(), 4);
    EXPECT_EQ(scheduler_get_task_count(g_sched), 2);
    EXPECT_EQ(usermanager_get_user_count(), 1);
}

TEST(PlexordConfig, DemoPlantRunsAtOnce)
{
    TempDir dir;
    Session s(dir.path(), PLEXORD_INIT_FAST_HASH);
    // Both tasks read and write within a few seconds, successfully.
    ASSERT_TRUE(Recorder::get().wait(
        [](const std::vector<Event> &ev) {
            int ok_writes = 0, reads = 0;
            for (const Event &e : ev) {
                ok_writes += e.type == NCEVENT_WRITE_RESULT && ok(e.result);
                reads += e.type == NCEVENT_READ_RESULT && ok(e.result);
            }
            return ok_writes >= 3 && reads >= 3;
        },
        8000));
    for (const std::string &l : Recorder::get().log_lines())
        EXPECT_NE(l.rfind(" ! ", 0), 0u) << l;
    // Every demo device has a hardware type with an icon, and its setpoints read.
    devicemgr_iterate_start();
    for (uint16_t id; (id = devicemgr_iterate_get_next()) != 0;) {
        device_t *d = devicemgr_fetch_device(id, 0);
        EXPECT_NE(hwinfo_get_icon_path(d->hardware), nullptr) << d->name;
        devicemgr_drop_device(d);
    }
    devicemgr_iterate_end();
    double v = 0;
    EXPECT_TRUE(ok(read_float(1, "SP1", "", v)));
    EXPECT_TRUE(ok(read_float(4, "URV", "F", v)));
}

TEST(PlexordConfig, MalformedFileIsReportedKeptAndTheCoreStarts)
{
    TempDir dir;
    const std::string bad = "[plexord]\nlocal_challenge=1\n\n[network.1]\ntype=db\nname=Kept\np.delay=fast\n\n"
                            "[device.7]\nnetwork=1\nname=Pump\n\n[task.3]\ntype=9\n\n[bogus]\nx=1\n";
    write_file(dir.file("plexord.ini"), bad);
    {
        Session s(dir.path());
        EXPECT_TRUE(plexord_is_started());
        ASSERT_TRUE(Recorder::get().wait_log("has errors"));
        auto lines = Recorder::get().log_lines();
        auto has = [&](const std::string &part) {
            for (const std::string &l : lines)
                if (l.rfind(" ! ", 0) == 0 && l.find(part) != std::string::npos)
                    return true;
            return false;
        };
        std::string f = dir.file("plexord.ini");
        EXPECT_TRUE(has(fs::canonical(f).string() + ":7: ")) << "bad delay on line 7";
        EXPECT_TRUE(has(":14: ")) << "bad task type on line 14";
        EXPECT_TRUE(has(":16: ")) << "unknown section on line 16";
        // What was readable is there.
        EXPECT_EQ(networkmgr_get_network_count(), 1);
        EXPECT_EQ(devicemgr_get_device_count(), 1);
        EXPECT_TRUE(plexord_local_challenge_is_allowed());
        EXPECT_TRUE(ok(plexord_save_config()));
        plexord_stop();
    }
    EXPECT_EQ(read_file(dir.file("plexord.ini")), bad);
    {
        // A change lets the save through, and the file is clean afterwards.
        Session s(dir.path());
        add_device(1, "New", "n");
        s.finish();
    }
    std::string now = read_file(dir.file("plexord.ini"));
    EXPECT_NE(now, bad);
    EXPECT_EQ(now.find("bogus"), std::string::npos);
    EXPECT_EQ(read_file(dir.file("plexord.ini.bak")), bad);
    Session s(dir.path());
    ASSERT_TRUE(Recorder::get().wait_log("Configuration loaded"));
    for (const std::string &l : Recorder::get().log_lines())
        EXPECT_NE(l.rfind(" ! ", 0), 0u) << l;
    EXPECT_EQ(devicemgr_get_device_count(), 2);
}

TEST(PlexordConfig, SyntaxErrorNamesTheLine)
{
    TempDir dir;
    const std::string bad = "[plexord]\nlocal_challenge=0\n[network.1\ntype=db\n";
    write_file(dir.file("plexord.ini"), bad);
    Session s(dir.path());
    EXPECT_TRUE(Recorder::get().wait_log("plexord.ini:3:"));
    EXPECT_TRUE(plexord_is_started());
    EXPECT_EQ(networkmgr_get_network_count(), 0);
    s.finish();
    EXPECT_EQ(read_file(dir.file("plexord.ini")), bad);
}

TEST(PlexordConfig, FailedSaveLeavesTheOldFile)
{
    TempDir dir;
    Session s(dir.path());
    add_db_network("Small", "sp.ini");
    ASSERT_TRUE(ok(plexord_save_config()));
    const std::string old = read_file(dir.file("plexord.ini"));

    // Grow the configuration past what the file may hold, then save.
    for (int i = 0; i < 200; ++i)
        add_device(1, "A device with a long name to make the file grow", "address");
    struct rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit small = saved;
    small.rlim_cur = old.size() + 100;
    auto prev = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    ncerr_t r = plexord_save_config();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, prev);

    EXPECT_EQ(cls(r), NCERR_IO);
    EXPECT_TRUE(Recorder::get().wait_log("Cannot save the configuration"));
    EXPECT_EQ(read_file(dir.file("plexord.ini")), old);
    EXPECT_TRUE(plexord_config_is_dirty());
    for (const auto &e : fs::directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
    EXPECT_TRUE(ok(plexord_save_config()));
}

TEST(PlexordConfig, UnavailableNetworkTypeIsKeptInTheFile)
{
    TempDir dir;
    write_file(dir.file("plexord.ini"), "[network.4]\ntype=modbus/ascii\nname=Line\np.port=502\n"
                                        "[device.1]\nnetwork=4\nname=Meter\nhardware=Gone Box\n");
    {
        Session s(dir.path());
        EXPECT_EQ(networkmgr_get_network_count(), 0);
        EXPECT_EQ(devicemgr_get_device_count(), 1);
        // A new network does not take the kept one's id.
        EXPECT_NE(add_db_network("Other", "sp.ini"), 4);
        s.finish();
    }
    std::string file = read_file(dir.file("plexord.ini"));
    EXPECT_NE(file.find("[network.4]"), std::string::npos) << file;
    EXPECT_NE(file.find("p.port=502"), std::string::npos) << file;
    EXPECT_NE(file.find("hardware=Gone Box"), std::string::npos) << file;
}

TEST(PlexordConfig, HandEditedClearPasswordIsHashed)
{
    // Only what libsodium reads as a hash is one, here of "pw-i" and
    // "pw-id"; every other text is its own clear password.
    const std::string argon2i = "$argon2i$v=19$m=8,t=3,p=1$oZTqVbuhUgkckaKQheQDrw$"
                                "Z15gLbRCcyD6c81UBfGGWHhn1dQ0YsucNY5VZCuvYOI";
    const std::pair<std::string, const char *> cases[] = {
        {"hunter2", nullptr},
        {"$ecret pass", nullptr},
        {"$2y$10$abcdefghijklmnopqrstuuN3cPqv6dbLHwmCq0eyeZ2WgKe6Kz5.W", nullptr},
        {"$argon2id$v=19$m=8,t=1,p=1$mHu0aaG7evZ2EE4+M6YcBA", nullptr},
        {"$argon2id$v=19$m=65536,t=2,p=1$c29tZXNhbHQ$bogus!", nullptr},
        {argon2i, "pw-i"},
        {"$argon2id$v=19$m=8,t=1,p=1$mHu0aaG7evZ2EE4+M6YcBA$YRT//p9L96y4CmMvt4rIoSUkzBljopQeRLdumTv9Z0Y", "pw-id"},
    };
    TempDir dir;
    std::string ini;
    for (size_t i = 0; i < std::size(cases); ++i)
        ini += "[user." + std::to_string(i + 1) + "]\npassword=" + cases[i].first + "\n";
    write_file(dir.file("plexord.ini"), ini);
    {
        Session s(dir.path());
        for (size_t i = 0; i < std::size(cases); ++i) {
            auto &[stored, clear] = cases[i];
            user_t *u = usermanager_fetch_user(static_cast<uint16_t>(i + 1), 1);
            ASSERT_NE(u, nullptr);
            EXPECT_TRUE(user_check_password(u, clear ? clear : stored.c_str())) << stored;
            EXPECT_EQ(user_get_password(u) == stored, clear != nullptr) << stored;
            usermanager_drop_user(u);
        }
        // An operator's new password that starts with "$" is hashed too.
        user_t *u = usermanager_fetch_user(1, 1);
        EXPECT_TRUE(ok(user_set_password(u, argon2i.c_str())));
        EXPECT_NE(user_get_password(u), argon2i);
        EXPECT_TRUE(user_check_password(u, argon2i.c_str()));
        usermanager_drop_user(u);
        s.finish();
    }
    std::string file = read_file(dir.file("plexord.ini"));
    for (auto &[stored, clear] : cases)
        EXPECT_EQ(file.find("password=" + stored + "\n") != std::string::npos, clear != nullptr) << stored;
}

namespace {

struct NoUmask { // what the configuration's mode must hold against
    mode_t old = umask(0);
    ~NoUmask() { umask(old); }
};

fs::perms mode_of(const std::string &path)
{
    return fs::status(path).permissions();
}

constexpr fs::perms kOwnerOnly = fs::perms::owner_read | fs::perms::owner_write;

} // namespace

TEST(PlexordConfig, MalformedFileIsNotReplacedWithoutItsCopy)
{
    TempDir dir;
    const std::string bad = "[network.1]\ntype=db\nname=Kept\np.delay=fast\n\n[bogus]\nx=1\n";
    const std::string ini = dir.file("plexord.ini"), bak = ini + ".bak";
    write_file(ini, bad);
    fs::create_directory(bak); // nothing can be renamed over it
    Session s(dir.path());
    add_device(1, "New", "n");
    EXPECT_EQ(cls(plexord_save_config()), NCERR_IO);
    // Says where and why: the copy's path and the system's reason.
    EXPECT_TRUE(Recorder::get().wait_log(".bak: Error " + std::to_string(EISDIR) + ": "));
    EXPECT_EQ(read_file(ini), bad);
    EXPECT_TRUE(plexord_config_is_dirty());
    for (const auto &e : fs::recursive_directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();

    fs::remove(bak);
    EXPECT_TRUE(ok(plexord_save_config()));
    EXPECT_EQ(read_file(bak), bad);
    EXPECT_NE(read_file(ini).find("name=New"), std::string::npos);
}

TEST(PlexordConfig, FilesWithPasswordHashesAreTheOwnersAlone)
{
    NoUmask no_umask;
    TempDir dir;
    const std::string ini = dir.file("plexord.ini");
    {
        Session s(dir.path());
        add_db_network("Plant", "sp.ini");
        ASSERT_TRUE(ok(plexord_save_config()));
        EXPECT_EQ(mode_of(ini), kOwnerOnly);
        // An older, readable file is tightened by the next save, quietly.
        fs::permissions(ini, fs::perms::all);
        Recorder::get().clear();
        add_device(1, "D", "d");
        ASSERT_TRUE(ok(plexord_save_config()));
        EXPECT_EQ(mode_of(ini), kOwnerOnly);
        ASSERT_TRUE(Recorder::get().wait_log("Configuration saved"));
        for (const std::string &l : Recorder::get().log_lines())
            EXPECT_NE(l.rfind(" ! ", 0), 0u) << l;
    }
    // The copy of a malformed file, too.
    write_file(ini, "[bogus]\n");
    fs::permissions(ini, fs::perms::all);
    Session s(dir.path());
    add_device(1, "E", "e");
    ASSERT_TRUE(ok(plexord_save_config()));
    EXPECT_EQ(mode_of(ini), kOwnerOnly);
    EXPECT_EQ(mode_of(ini + ".bak"), kOwnerOnly);
    EXPECT_EQ(read_file(ini + ".bak"), "[bogus]\n");
}
