// The clock dialog on the real core: the "db" device's clock read, set and
// carried forward, refused input, failures and devices without a clock; and
// the clock of a simulated DirectNET PLC.
#include "clockdlg.h"
#include "eventbridge.h"
#include "status-window.h"
#include "support.h"

#include "modbus_peers.h"

#include "wx_test.h"

#include <gtest/gtest.h>

#include <wx/datectrl.h>
#include <wx/frame.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct SeenEvent
{
    int type;
    std::string item;
    std::string flag;
    double value;
    bool succeeded;
};

// The dialog as the device panel shows it.
class ExpectClockDialog : public wxExpectModalBase<ClockDialog, ExpectClockDialog>
{
public:
    ExpectClockDialog(unsigned short* device, bool* canSet, bool* hasTime)
        : m_device(device)
        , m_canSet(canSet)
        , m_hasTime(hasTime)
    {
    }

protected:
    int OnInvoked(ClockDialog* dialog) const override
    {
        *m_device = dialog->GetDevice();
        *m_canSet = dialog->CanSetClock();
        *m_hasTime = dialog->HasDeviceTime();
        return 1;
    }

private:
    unsigned short* m_device;
    bool* m_canSet;
    bool* m_hasTime;
};

class ClockTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        network = test::AddDbNetwork("Plant", config.file("plant.ini"));
        device = test::AddDevice(network, "Boiler", "boiler");
        bridge.onEvent.Subscribe(listener);
        dialog = new ClockDialog(nullptr);
        dialog->Show();
    }
    void TearDown() override
    {
        bridge.onEvent.Remove(listener);
        dialog->Destroy();
        WxTestYield();
        core.Finish();
    }

    void OnEvent(wxNCEvent& event)
    {
        const int type = event.GetCoreType();
        if (type < NCEVENT_READ_REQUEST || type > NCEVENT_WRITE_RESULT || event.GetItem() == "marker")
            return;
        events.push_back({type, event.GetItem().utf8_string(), event.GetFlag().utf8_string(), event.GetValue(),
                          event.Succeeded()});
    }

    std::vector<SeenEvent> Events()
    {
        EXPECT_TRUE(test::Settle(bridge));
        std::vector<SeenEvent> seen;
        seen.swap(events);
        return seen;
    }

    // Seconds between the device time and the PC's.
    long Drift() const { return std::labs((dialog->GetDeviceTime() - wxDateTime::Now()).GetSeconds().ToLong()); }

    bool SetGroupEnabled() const
    {
        for (wxWindow* window : dialog->GetSetGroup())
            if (!window->IsEnabled())
                return false;
        return true;
    }

    bool SetGroupDisabled() const
    {
        for (wxWindow* window : dialog->GetSetGroup())
            if (window->IsEnabled())
                return false;
        return true;
    }

    void ExpectNotification(const wxString& text)
    {
        EXPECT_TRUE(dialog->IsNotificationShown());
        EXPECT_EQ(dialog->GetNotification()->GetLabel(), text);
    }

    test::TempDir config;
    EventBridge bridge;
    test::CoreRun core{config.path()};
    uint16_t network = 0;
    uint16_t device = 0;
    std::vector<SeenEvent> events;
    Listener<ClockTest, wxNCEvent&> listener{this, &ClockTest::OnEvent};
    ClockDialog* dialog = nullptr;
};

TEST_F(ClockTest, ReadsTheDeviceClockAndCarriesItForward)
{
    EXPECT_EQ(dialog->GetTitle(), "Adjust time");
    EXPECT_FALSE(dialog->CanReadClock());
    EXPECT_TRUE(SetGroupDisabled());

    dialog->SetDevice(device);
    EXPECT_TRUE(dialog->CanReadClock());
    EXPECT_TRUE(dialog->CanSetClock());
    EXPECT_TRUE(SetGroupEnabled());
    EXPECT_FALSE(dialog->IsNotificationShown());
    ASSERT_TRUE(dialog->HasDeviceTime());
    EXPECT_LE(Drift(), 2);
    EXPECT_EQ(dialog->GetDeviceTimeText()->GetLabel(), dialog->GetDeviceTime().Format("%H:%M:%S"));

    const auto seen = Events();
    ASSERT_EQ(seen.size(), 14u);
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(seen[i].type, NCEVENT_READ_REQUEST);
        EXPECT_EQ(seen[i].item, kClockReadItems[i]);
        EXPECT_EQ(seen[i].flag, "");
        EXPECT_EQ(seen[7 + i].type, NCEVENT_READ_RESULT);
        EXPECT_EQ(seen[7 + i].item, kClockReadItems[i]);
        EXPECT_TRUE(seen[7 + i].succeeded);
    }
    EXPECT_EQ(seen[13].value, dialog->GetDeviceTime().GetYear());

    // Setting the same device again reads nothing.
    dialog->SetDevice(device);
    EXPECT_TRUE(Events().empty());

    // The tick moves the time read on by a second, without reading again.
    const wxDateTime read = dialog->GetDeviceTime();
    ASSERT_TRUE(test::WaitFor([&] { return dialog->GetDeviceTime() != read; }, 2500));
    EXPECT_EQ((dialog->GetDeviceTime() - read).GetSeconds().ToLong(), 1);
    EXPECT_EQ(dialog->GetDeviceTimeText()->GetLabel(), dialog->GetDeviceTime().Format("%H:%M:%S"));
    EXPECT_TRUE(Events().empty());
}

TEST_F(ClockTest, SetsDateTimeAndBoth)
{
    dialog->SetDevice(device);
    Events();

    dialog->GetDatePicker()->SetValue(wxDateTime(5, wxDateTime::Mar, 2024));
    dialog->ApplyDate();
    ASSERT_TRUE(dialog->HasDeviceTime());
    EXPECT_FALSE(dialog->IsNotificationShown());
    EXPECT_EQ(dialog->GetDeviceTime().GetDay(), 5);
    EXPECT_EQ(dialog->GetDeviceTime().GetMonth(), wxDateTime::Mar);
    EXPECT_EQ(dialog->GetDeviceTime().GetYear(), 2024);
    auto seen = Events();
    ASSERT_EQ(seen.size(), 2u + 14u);
    EXPECT_EQ(seen[0].type, NCEVENT_WRITE_REQUEST);
    EXPECT_EQ(seen[0].item, "V7775");
    EXPECT_EQ(seen[0].flag, "B");
    EXPECT_EQ(seen[0].value, 27749);
    EXPECT_EQ(seen[1].type, NCEVENT_WRITE_RESULT);
    EXPECT_TRUE(seen[1].succeeded);
    EXPECT_EQ(seen[2].type, NCEVENT_READ_REQUEST);

    dialog->GetTimeField()->ChangeValue("23:59");
    dialog->ApplyTime();
    ASSERT_TRUE(dialog->HasDeviceTime());
    EXPECT_EQ(dialog->GetDeviceTime().GetHour(), 23);
    EXPECT_EQ(dialog->GetDeviceTime().GetMinute(), 59);
    EXPECT_LE(dialog->GetDeviceTime().GetSecond(), 2);
    EXPECT_EQ(dialog->GetDeviceTime().GetDay(), 5);
    seen = Events();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0].item, "V7776");
    EXPECT_EQ(seen[0].flag, "B");
    EXPECT_EQ(seen[0].value, 1439);

    dialog->SynchronizeWithPC();
    ASSERT_TRUE(dialog->HasDeviceTime());
    // Seconds are not written: the device starts the minute again.
    EXPECT_LE(Drift(), 62);
    EXPECT_EQ(dialog->GetDeviceTime().GetYear(), wxDateTime::Now().GetYear());
    seen = Events();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0].item, "V7775");
    EXPECT_EQ(seen[0].flag, "DB");
    EXPECT_TRUE(seen[1].succeeded);
}

TEST_F(ClockTest, RefusesInvalidInputWithoutWriting)
{
    dialog->SetDevice(device);
    Events();

    dialog->GetDatePicker()->SetValue(wxInvalidDateTime);
    dialog->ApplyDate();
    ExpectNotification("Invalid date");

    dialog->GetDatePicker()->SetValue(wxDateTime(1, wxDateTime::Jan, 2100));
    dialog->ApplyDate();
    ExpectNotification("Invalid date");

    for (const char* text : {"", "not a time", "25:00", "12:00 and more"}) {
        dialog->HideNotification();
        dialog->GetTimeField()->ChangeValue(text);
        dialog->ApplyTime();
        ExpectNotification("Invalid time");
    }
    EXPECT_TRUE(Events().empty());
    EXPECT_TRUE(dialog->HasDeviceTime());
}

TEST_F(ClockTest, FailedReadAndFailedWrite)
{
    // The db plug-in answers no request of a device without an address.
    const uint16_t nowhere = test::AddDevice(network, "Nowhere", "");
    dialog->SetDevice(nowhere);
    EXPECT_TRUE(dialog->CanReadClock());
    ExpectNotification("Failed to read time from device");
    EXPECT_FALSE(dialog->HasDeviceTime());
    EXPECT_EQ(dialog->GetDeviceTimeText()->GetLabel(), "-");
    auto seen = Events();
    ASSERT_EQ(seen.size(), 14u);
    for (size_t i = 7; i < 14; ++i)
        EXPECT_FALSE(seen[i].succeeded);

    // The clock is set on a device whose network has gone meanwhile: nothing
    // is asked of the core, nothing read again, and the operator is told.
    dialog->SetDevice(device);
    ASSERT_TRUE(dialog->HasDeviceTime());
    Events();
    ASSERT_TRUE(ncerr_is_ok(networkmgr_remove_network(network)));
    dialog->GetDatePicker()->SetValue(wxDateTime(5, wxDateTime::Mar, 2024));
    dialog->ApplyDate();
    ExpectNotification("Failed to set date on device");
    dialog->SynchronizeWithPC();
    ExpectNotification("Failed to set time and date on device");
    EXPECT_TRUE(Events().empty());
}

TEST_F(ClockTest, NoSupportWithoutADeviceOrNetwork)
{
    dialog->SetDevice(999);
    EXPECT_FALSE(dialog->CanReadClock());
    EXPECT_FALSE(dialog->CanSetClock());
    ExpectNotification("There is no support for setting or\nreading the time on this device!");
    EXPECT_TRUE(dialog->GetNotification()->IsCloseButtonShown());
    EXPECT_TRUE(SetGroupDisabled());
    EXPECT_FALSE(dialog->GetDeviceTimeText()->IsEnabled());
    EXPECT_EQ(dialog->GetDeviceTimeText()->GetLabel(), "-");

    // Writes are not even tried.
    dialog->SynchronizeWithPC();
    ExpectNotification("There is no support for setting or\nreading the time on this device!");

    // Supported again, the message goes.
    dialog->SetDevice(device);
    EXPECT_FALSE(dialog->IsNotificationShown());
    EXPECT_TRUE(dialog->HasDeviceTime());

    ASSERT_TRUE(ncerr_is_ok(networkmgr_remove_network(network)));
    dialog->SetDevice(0);
    dialog->SetDevice(device);
    EXPECT_FALSE(dialog->CanSetClock());
    EXPECT_FALSE(dialog->HasDeviceTime());
    EXPECT_TRUE(dialog->IsNotificationShown());
    Events();
}

TEST_F(ClockTest, DevicePanelOpensItForItsDevice)
{
    auto* frame = new wxFrame(nullptr, wxID_ANY, "panels");
    auto* panel = new DevicePanel(frame, bridge, device);
    frame->Show();
    unsigned short shown = 0;
    bool canSet = false;
    bool hasTime = false;
    wxCommandEvent menu(wxEVT_MENU, DevicePanel::ID_CLOCK);
    wxTEST_DIALOG(panel->GetEventHandler()->ProcessEvent(menu), ExpectClockDialog(&shown, &canSet, &hasTime));
    EXPECT_EQ(shown, device);
    EXPECT_TRUE(canSet);
    EXPECT_TRUE(hasTime);
    delete frame;
}

} // namespace

namespace {

// The clock of a DirectNET PLC, simulated at the far end of a socat
// pseudo-terminal pair: read, set from the PC, date and time apart.
TEST(ClockOnDirectNet, ReadsAndSetsThePlcClock)
{
    test::TempDir dir;
    mbtest::PtyPair pair({dir.file("console"), dir.file("plc")});
    ASSERT_TRUE(pair.started()) << "socat gave no pseudo-terminals";
    test::WriteFile(dir.file("plc.json"), R"({"node": 7, "clock": "2026-03-05T14:07:30"})");
    mbtest::Child plc({"/usr/bin/python3", mbtest::peer_script("directnet_plc.py"), "--port", pair.path(1),
                       "--script", dir.file("plc.json")},
                      false);
    ASSERT_EQ(plc.read_line(10000).rfind("READY", 0), 0u) << "the simulated PLC did not come up";

    EventBridge bridge;
    test::CoreRun core{dir.path()};
    network_t* created = plexord_create_network("directnet");
    ASSERT_NE(created, nullptr) << "no directnet plug-in";
    const uint16_t network = network_get_id(created);
    ASSERT_TRUE(ncerr_is_ok(network_set(created, "name", "Line 1", "port", pair.path(0).c_str(),
                                        static_cast<char*>(nullptr))));
    ASSERT_TRUE(ncerr_is_ok(networkmgr_add_network(created)));
    network_t* held = networkmgr_fetch_network(network, 1000);
    ASSERT_TRUE(ncerr_is_ok(network_start(held)));
    networkmgr_drop_network(held);
    const uint16_t device = test::AddDevice(network, "PLC", "7");
    const uint16_t absent = test::AddDevice(network, "Absent", "8");

    auto* dialog = new ClockDialog(nullptr);
    dialog->Show();
    dialog->SetDevice(device);
    EXPECT_TRUE(dialog->CanSetClock());
    ASSERT_TRUE(dialog->HasDeviceTime());
    EXPECT_FALSE(dialog->IsNotificationShown());
    wxDateTime read = dialog->GetDeviceTime();
    EXPECT_EQ(read.Format("%Y-%m-%d %H:%M").utf8_string(), "2026-03-05 14:07");

    dialog->GetDatePicker()->SetValue(wxDateTime(29, wxDateTime::Feb, 2024));
    dialog->ApplyDate();
    ASSERT_TRUE(dialog->HasDeviceTime());
    EXPECT_EQ(dialog->GetDeviceTime().Format("%Y-%m-%d").utf8_string(), "2024-02-29");

    dialog->GetTimeField()->ChangeValue("23:59");
    dialog->ApplyTime();
    ASSERT_TRUE(dialog->HasDeviceTime());
    EXPECT_EQ(dialog->GetDeviceTime().Format("%Y-%m-%d %H:%M").utf8_string(), "2024-02-29 23:59");

    dialog->SynchronizeWithPC();
    ASSERT_TRUE(dialog->HasDeviceTime());
    EXPECT_FALSE(dialog->IsNotificationShown());
    // Seconds are not written: the PLC starts the minute again.
    EXPECT_LE(std::labs((dialog->GetDeviceTime() - wxDateTime::Now()).GetSeconds().ToLong()), 62);

    // A node nobody answers: the read fails within the driver's time-outs.
    dialog->SetDevice(absent);
    EXPECT_FALSE(dialog->HasDeviceTime());
    EXPECT_EQ(dialog->GetNotification()->GetLabel(), "Failed to read time from device");
    dialog->Destroy();
    WxTestYield();
    core.Finish();
}

} // namespace
