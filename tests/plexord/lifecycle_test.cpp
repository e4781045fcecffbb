// The lifecycle as the console drives it, repeated and out of order.
#include <filesystem>

#include <gtest/gtest.h>

#include "support.h"

namespace fs = std::filesystem;
using namespace test;

TEST(PlexordLifecycle, CallsBeforeInitFailWithoutCrashing)
{
    EXPECT_EQ(cls(plexord_load_plugins()), NCERR_STATE);
    EXPECT_EQ(cls(plexord_start()), NCERR_STATE);
    EXPECT_EQ(cls(plexord_save_config()), NCERR_STATE);
    EXPECT_EQ(networkmgr_fetch_network(1, 10), nullptr);
    EXPECT_EQ(devicemgr_fetch_device(1, 0), nullptr);
    EXPECT_EQ(plexord_create_network("db"), nullptr);
    EXPECT_EQ(g_sched, nullptr);
    EXPECT_STREQ(plexord_get_data_path(), "");
    plexord_finalize();
    plexord_finalize();
}

TEST(PlexordLifecycle, InOrderAndRepeated)
{
    TempDir dir;
    for (int round = 0; round < 2; ++round) {
        Recorder::get().clear();
        ASSERT_TRUE(ok(plexord_init(dir.path().c_str(), kDataDir, kPluginDir, Recorder::callback,
                                    PLEXORD_INIT_FAST_HASH, nullptr)));
        // A second init keeps the first one's state.
        EXPECT_EQ(cls(plexord_init("/nonexistent", "", "", nullptr, 0, nullptr)), NCERR_STATE);
        EXPECT_EQ(std::string(plexord_get_config_dir_path()), fs::canonical(dir.path()).string());
        ASSERT_NE(g_sched, nullptr);
        for (int i = 0; i < 2; ++i) {
            EXPECT_TRUE(ok(plexord_load_plugins()));
            EXPECT_TRUE(ok(plexord_load_config()));
            EXPECT_TRUE(ok(plexord_start()));
        }
        EXPECT_TRUE(plexord_has_network_type("db"));
        // First round: the demo plant; second round: what the first one saved.
        EXPECT_EQ(networkmgr_get_network_count(), 1);
        EXPECT_EQ(devicemgr_get_device_count(), 4);
        EXPECT_TRUE(plexord_is_started());
        for (int i = 0; i < 2; ++i) {
            EXPECT_TRUE(ok(plexord_save_config()));
            EXPECT_TRUE(ok(plexord_stop()));
        }
        EXPECT_FALSE(plexord_is_started());
        plexord_finalize();
        plexord_finalize();
        EXPECT_EQ(g_sched, nullptr);
        EXPECT_TRUE(fs::exists(dir.file("plexord.ini")));
    }
}

TEST(PlexordLifecycle, StopJoinsTheThreadsAndDeliversQueuedEvents)
{
    TempDir dir;
    Session s(dir.path());
    add_db_network("N", "sp.ini", 0);
    for (int i = 0; i < 50; ++i)
        ncevent_throw_io_event(NCEVENT_READ_REQUEST, 1, 1, 0, "T", "", i, ncerr_ok());
    plexord_stop();
    // Delivered before stop returned, nothing after.
    size_t n = Recorder::get().events().size();
    int io = 0;
    for (const Event &e : Recorder::get().events())
        io += e.type == NCEVENT_READ_REQUEST;
    EXPECT_EQ(io, 50);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Recorder::get().events().size(), n);
    // Restart is allowed.
    EXPECT_TRUE(ok(plexord_start()));
    network_t *net = networkmgr_fetch_network(1, 1000);
    ASSERT_NE(net, nullptr);
    EXPECT_TRUE(network_is_started(net));
    networkmgr_drop_network(net);
}

TEST(PlexordLifecycle, EmptyConfigFolderFallsBackToHome)
{
    TempDir home;
    std::string old = getenv("HOME") ? getenv("HOME") : "";
    setenv("HOME", home.path().c_str(), 1);
    {
        Session s("", PLEXORD_INIT_NO_DEMO);
        EXPECT_EQ(std::string(plexord_get_config_dir_path()), fs::canonical(home.path()).string() + "/.plexord");
        EXPECT_TRUE(Recorder::get().wait_log("No configuration folder given"));
        EXPECT_TRUE(ok(plexord_save_config()));
        EXPECT_TRUE(fs::exists(home.path() + "/.plexord/plexord.ini"));
    }
    setenv("HOME", old.c_str(), 1);
}

TEST(PlexordLifecycle, BrokenPluginIsLoggedAndSkipped)
{
    TempDir cfg, plugins;
    write_file(plugins.file("broken.so"), "not an ELF file");
    write_file(plugins.file("readme.txt"), "ignored");
    fs::copy_file(std::string(kPluginDir) + "/db.so", plugins.file("db.so"));
    ASSERT_TRUE(ok(plexord_init(cfg.path().c_str(), kDataDir, plugins.path().c_str(), Recorder::callback,
                                PLEXORD_INIT_NO_DEMO, nullptr)));
    Recorder::get().clear();
    EXPECT_TRUE(ok(plexord_load_plugins()));
    EXPECT_TRUE(Recorder::get().wait_log("Failed to load plug-in"));
    EXPECT_TRUE(plexord_has_network_type("db"));
    EXPECT_FALSE(plexord_has_network_type("modbus/tcp"));
    EXPECT_FALSE(plexord_has_network_type(nullptr));
    EXPECT_STREQ(plexord_get_network_type_key(0), "db");
    EXPECT_STREQ(plexord_get_network_type_label(0), "Database");
    EXPECT_EQ(plexord_get_network_type_key(1), nullptr);
    EXPECT_EQ(plexord_create_network("modbus/tcp"), nullptr);
    plexord_finalize();
}

TEST(PlexordLifecycle, LogLinesStartWithTheirMarker)
{
    TempDir dir;
    Session s(dir.path(), PLEXORD_INIT_FAST_HASH);
    s.finish();
    auto lines = Recorder::get().log_lines();
    ASSERT_FALSE(lines.empty());
    for (const std::string &l : lines)
        EXPECT_TRUE(l.rfind(" * ", 0) == 0 || l.rfind(" ! ", 0) == 0) << l;
}
