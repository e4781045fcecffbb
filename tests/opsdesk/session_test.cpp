// The core's lifecycle in the console: start-up on a configuration folder
// and the shutdown that runs once.
#include "eventbridge.h"
#include "session.h"
#include "startup.h"
#include "support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

Folders TestFolders(const test::TempDir& config)
{
    Folders folders;
    folders.config = config.wxpath();
    folders.data = OPSDESK_TEST_DATA_DIR;
    folders.plugins = OPSDESK_TEST_PLUGIN_DIR;
    return folders;
}

TEST(CoreSession, StartsTheDemoPlantAndShutsDownOnce)
{
    test::TempDir config;
    EventBridge bridge;
    CoreSession session;
    ASSERT_TRUE(session.Init(TestFolders(config), PLEXORD_INIT_FAST_HASH | PLEXORD_INIT_NO_LISTEN));
    ASSERT_TRUE(session.Start());
    EXPECT_TRUE(plexord_is_started());
    EXPECT_EQ(networkmgr_get_network_count(), 1);
    EXPECT_EQ(devicemgr_get_device_count(), 4);
    EXPECT_EQ(CoreSession::GuiIniPath(), wxString::FromUTF8(config.file("gui.ini")));

    const FrameGeometry geometry{12, 34, 560, 780, true};
    EXPECT_TRUE(session.Shutdown(bridge, geometry));
    EXPECT_TRUE(bridge.IsShuttingDown());
    EXPECT_FALSE(session.IsCoreRunning());
    EXPECT_FALSE(session.IsShutdownPending());
    // Finalised: the core no longer knows its folders.
    EXPECT_STREQ(plexord_get_config_dir_path(), "");

    EXPECT_EQ(ReadGeometry(wxString::FromUTF8(config.file("gui.ini"))), geometry);
    const std::string saved = test::ReadFile(config.file("plexord.ini"));
    EXPECT_NE(saved.find("Demo plant"), std::string::npos);

    // A second request touches nothing.
    std::filesystem::remove(config.file("gui.ini"));
    std::filesystem::remove(config.file("plexord.ini"));
    EXPECT_FALSE(session.Shutdown(bridge, FrameGeometry{}));
    EXPECT_FALSE(std::filesystem::exists(config.file("gui.ini")));
    EXPECT_FALSE(std::filesystem::exists(config.file("plexord.ini")));
}

TEST(CoreSession, RestartsFromTheSavedConfiguration)
{
    test::TempDir config;
    {
        EventBridge bridge;
        CoreSession session;
        ASSERT_TRUE(session.Init(TestFolders(config), PLEXORD_INIT_FAST_HASH | PLEXORD_INIT_NO_LISTEN));
        ASSERT_TRUE(session.Start());
        device_t* device = devicemgr_fetch_device(1, 1);
        ASSERT_NE(device, nullptr);
        device_set_name(device, "Renamed boiler");
        devicemgr_drop_device(device);
        session.Shutdown(bridge, FrameGeometry{});
    }
    EventBridge bridge;
    CoreSession session;
    ASSERT_TRUE(session.Init(TestFolders(config), PLEXORD_INIT_FAST_HASH | PLEXORD_INIT_NO_LISTEN));
    ASSERT_TRUE(session.Start());
    device_t* device = devicemgr_fetch_device(1, 0);
    ASSERT_NE(device, nullptr);
    EXPECT_STREQ(device_get_name(device), "Renamed boiler");
    devicemgr_drop_device(device);
    session.Shutdown(bridge, FrameGeometry{});
}

TEST(CoreSession, FailedStartIsReported)
{
    test::TempDir config;
    EventBridge bridge;
    CoreSession first;
    ASSERT_TRUE(first.Init(TestFolders(config), PLEXORD_INIT_NO_DEMO | PLEXORD_INIT_FAST_HASH | PLEXORD_INIT_NO_LISTEN));
    CoreSession second;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(second.Init(TestFolders(config)));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), " ! plexord_init: Server core not ready\n");
    first.Shutdown(bridge, FrameGeometry{});
}

} // namespace
