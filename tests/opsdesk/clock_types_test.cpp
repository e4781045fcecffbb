// The clock dialog for a device on a network type that keeps no clock, with
// the test plug-in folder that serves the console's other network types.
#include "clockdlg.h"
#include "eventbridge.h"
#include "support.h"

#include "wx_test.h"

#include <gtest/gtest.h>

#include <wx/stattext.h>

namespace {

int g_ioEvents = 0;

struct IoCounter
{
    void On(wxNCEvent& event)
    {
        if (event.GetCoreType() >= NCEVENT_READ_REQUEST && event.GetCoreType() <= NCEVENT_WRITE_RESULT &&
            event.GetItem() != "marker")
            ++g_ioEvents;
    }
};

TEST(ClockTypes, ModbusTcpDeviceHasNoClockSupport)
{
    test::TempDir config;
    EventBridge bridge;
    test::CoreRun core{config.path()};
    ASSERT_TRUE(plexord_has_network_type("modbus/tcp"));
    network_t* network = plexord_create_network("modbus/tcp");
    ASSERT_NE(network, nullptr);
    network_set(network, "name", "Line", static_cast<char*>(nullptr));
    const uint16_t networkId = network_get_id(network);
    ASSERT_TRUE(ncerr_is_ok(networkmgr_add_network(network)));
    const uint16_t device = test::AddDevice(networkId, "Drive", "1");
    const uint16_t dbNetwork = test::AddDbNetwork("Plant", config.file("plant.ini"));
    const uint16_t dbDevice = test::AddDevice(dbNetwork, "Boiler", "boiler");

    IoCounter counter;
    Listener<IoCounter, wxNCEvent&> listener(&counter, &IoCounter::On);
    bridge.onEvent.Subscribe(listener);
    auto* dialog = new ClockDialog(nullptr);
    dialog->Show();

    // A supported device first, so that the change to no support shows.
    dialog->SetDevice(dbDevice);
    ASSERT_TRUE(dialog->HasDeviceTime());
    EXPECT_TRUE(test::Settle(bridge));
    g_ioEvents = 0;

    dialog->SetDevice(device);
    EXPECT_FALSE(dialog->CanReadClock());
    EXPECT_FALSE(dialog->CanSetClock());
    EXPECT_TRUE(dialog->IsNotificationShown());
    EXPECT_EQ(dialog->GetNotification()->GetLabel(),
              "There is no support for setting or\nreading the time on this device!");
    for (wxWindow* window : dialog->GetSetGroup())
        EXPECT_FALSE(window->IsEnabled());
    EXPECT_FALSE(dialog->GetDeviceTimeText()->IsEnabled());
    EXPECT_FALSE(dialog->HasDeviceTime());
    EXPECT_EQ(dialog->GetDeviceTimeText()->GetLabel(), "-");
    dialog->SynchronizeWithPC();
    EXPECT_TRUE(test::Settle(bridge));
    EXPECT_EQ(g_ioEvents, 0);

    bridge.onEvent.Remove(listener);
    dialog->Destroy();
    WxTestYield();
}

} // namespace
