// Status panels on the real core: lamps, counters, labels and their menus.
#include "eventbridge.h"
#include "gui_support.h"
#include "status-window.h"
#include "support.h"

#include <gtest/gtest.h>

#include <wx/frame.h>
#include <wx/sizer.h>
#include <wx/weakref.h>

#include <chrono>

namespace {

const char kTc200[] = "TC-200 Temperature controller";

class PanelsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        frame = new wxFrame(nullptr, wxID_ANY, "panels", wxDefaultPosition, wxSize(400, 400));
        frame->SetSizer(new wxBoxSizer(wxVERTICAL));
        frame->Show();
        network = test::AddDbNetwork("Plant", config.file("plant.ini"));
        device = test::AddDevice(network, "Boiler", "boiler", kTc200);
    }
    void TearDown() override
    {
        delete frame;
        core.Finish();
    }

    template <typename Panel, typename Id>
    Panel* Add(Id id)
    {
        auto* panel = new Panel(frame, bridge, id);
        frame->GetSizer()->Add(panel, 0, wxEXPAND);
        frame->Layout();
        return panel;
    }

    void Throw(int type, uint16_t net, uint16_t dev, ncerr_t result = test::kOk, uint32_t client = 0)
    {
        ncevent_throw_io_event(type, net, dev, client, "PV", "", 1.0, result);
    }

    test::TempDir config;
    EventBridge bridge;
    test::CoreRun core{config.path()};
    wxFrame* frame = nullptr;
    uint16_t network = 0;
    uint16_t device = 0;
};

TEST_F(PanelsTest, ReadLampGoesYellowGreenThenUnlit)
{
    auto* panel = Add<DevicePanel>(device);
    EXPECT_EQ(panel->GetPanelLabel(), "Boiler");
    EXPECT_TRUE(panel->HasIcon());
    EXPECT_EQ(panel->GetHardwareName(), kTc200);
    EXPECT_EQ(panel->GetReadLamp(), LAMP_UNLIT);
    EXPECT_EQ(panel->GetWriteLamp(), LAMP_UNLIT);

    Throw(NCEVENT_READ_REQUEST, network, device);
    ASSERT_TRUE(test::WaitFor([&] { return panel->GetReadLamp() == LAMP_PENDING; }));
    EXPECT_EQ(panel->GetWriteLamp(), LAMP_UNLIT);

    // The flash cannot have started before the result was thrown.
    const auto thrown = std::chrono::steady_clock::now();
    Throw(NCEVENT_READ_RESULT, network, device);
    ASSERT_TRUE(test::WaitFor([&] { return panel->GetReadLamp() == LAMP_SUCCEEDED; }));
    EXPECT_TRUE(panel->IsReadTimerRunning());
    ASSERT_TRUE(test::WaitFor([&] { return panel->GetReadLamp() == LAMP_UNLIT; }, 3000));
    const auto shown = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - thrown);
    EXPECT_GE(shown.count(), 640);
    EXPECT_EQ(panel->GetReads(), 1);
    EXPECT_EQ(panel->GetFailedReads(), 0);
}

TEST_F(PanelsTest, RepeatedFailureStaysRedAndCounts)
{
    auto* panel = Add<DevicePanel>(device);
    Throw(NCEVENT_WRITE_REQUEST, network, device);
    Throw(NCEVENT_WRITE_RESULT, network, device, test::kTimeout);
    Throw(NCEVENT_WRITE_RESULT, network, device, test::kTimeout);
    ASSERT_TRUE(test::WaitFor([&] { return panel->GetWrites() == 2; }));
    EXPECT_EQ(panel->GetWriteLamp(), LAMP_FAILED);
    EXPECT_TRUE(panel->IsWriteTimerRunning());
    EXPECT_EQ(panel->GetFailedWrites(), 2);
    EXPECT_EQ(panel->GetReadLamp(), LAMP_UNLIT);
    ASSERT_TRUE(test::WaitFor([&] { return panel->GetWriteLamp() == LAMP_UNLIT; }, 3000));
}

TEST_F(PanelsTest, EventsOfOtherObjectsLeavePanelsUnchanged)
{
    const uint16_t otherNetwork = test::AddDbNetwork("Other", config.file("other.ini"));
    const uint16_t otherDevice = test::AddDevice(otherNetwork, "Pump", "pumps");
    auto* networkPanel = Add<NetworkPanel>(network);
    auto* devicePanel = Add<DevicePanel>(device);
    auto* clientPanel = Add<ClientPanel>(9ul);

    Throw(NCEVENT_READ_REQUEST, otherNetwork, otherDevice, test::kOk, 8);
    Throw(NCEVENT_WRITE_RESULT, otherNetwork, otherDevice, test::kTimeout, 8);
    ASSERT_TRUE(test::Settle(bridge));
    for (IOPanel* p : std::initializer_list<IOPanel*>{networkPanel, devicePanel, clientPanel}) {
        EXPECT_EQ(p->GetReadLamp(), LAMP_UNLIT);
        EXPECT_EQ(p->GetWriteLamp(), LAMP_UNLIT);
    }
    EXPECT_EQ(devicePanel->GetWrites(), 0);

    // The same events for these objects light all three.
    Throw(NCEVENT_READ_REQUEST, network, device, test::kOk, 9);
    ASSERT_TRUE(test::Settle(bridge));
    for (IOPanel* p : std::initializer_list<IOPanel*>{networkPanel, devicePanel, clientPanel})
        EXPECT_EQ(p->GetReadLamp(), LAMP_PENDING);
}

TEST_F(PanelsTest, ClickShowsAndHidesTheCounters)
{
    auto* panel = Add<DevicePanel>(device);
    const wxSize small = panel->GetMinSize();
    EXPECT_FALSE(panel->AreDetailsShown());

    wxMouseEvent click(wxEVT_LEFT_UP);
    panel->GetEventHandler()->ProcessEvent(click);
    EXPECT_TRUE(panel->AreDetailsShown());
    EXPECT_EQ(panel->GetDetails(), DeviceDetailsText(kTc200, 0, 0, 0, 0));
    EXPECT_GT(panel->GetMinSize().y, small.y);

    Throw(NCEVENT_READ_RESULT, network, device, test::kTimeout);
    Throw(NCEVENT_READ_RESULT, network, device);
    ASSERT_TRUE(test::WaitFor([&] { return panel->GetReads() == 2; }));
    EXPECT_EQ(panel->GetDetails(), DeviceDetailsText(kTc200, 2, 1, 0, 0));

    wxMouseEvent again(wxEVT_LEFT_UP);
    panel->GetEventHandler()->ProcessEvent(again);
    EXPECT_FALSE(panel->AreDetailsShown());
    EXPECT_EQ(panel->GetMinSize().y, small.y);
}

TEST_F(PanelsTest, DeviceWithoutHardwareHasNoIcon)
{
    const uint16_t bare = test::AddDevice(network, "Bare", "bare");
    auto* panel = Add<DevicePanel>(bare);
    EXPECT_FALSE(panel->HasIcon());
    panel->ToggleDetails();
    EXPECT_TRUE(panel->GetDetails().StartsWith("\nReadings: 0 (0 failed)\n")) << panel->GetDetails();
}

TEST_F(PanelsTest, LabelsFollowTheCore)
{
    auto* networkPanel = Add<NetworkPanel>(network);
    auto* devicePanel = Add<DevicePanel>(device);
    EXPECT_EQ(networkPanel->GetPanelLabel(), "Plant");
    EXPECT_TRUE(networkPanel->HasIcon());

    device_t* d = devicemgr_fetch_device(device, 1);
    ASSERT_NE(d, nullptr);
    device_set_name(d, "Boiler 2");
    device_set_hardware(d, nullptr);
    devicemgr_drop_device(d);
    ASSERT_TRUE(test::WaitFor([&] { return devicePanel->GetPanelLabel() == "Boiler 2"; }));
    // The cleared hardware type takes its icon and name along.
    EXPECT_FALSE(devicePanel->HasIcon());
    EXPECT_EQ(devicePanel->GetHardwareName(), "");

    network_t* n = networkmgr_fetch_network(network, 1000);
    ASSERT_NE(n, nullptr);
    network_set(n, "name", "Plant 2", static_cast<char*>(nullptr));
    networkmgr_drop_network(n);
    ASSERT_TRUE(test::WaitFor([&] { return networkPanel->GetPanelLabel() == "Plant 2"; }));
}

TEST_F(PanelsTest, ClientPanelTakesItsDescription)
{
    auto* panel = Add<ClientPanel>(7ul);
    EXPECT_EQ(panel->GetPanelLabel(), "Client 7");
    EXPECT_FALSE(panel->HasIcon());

    test::Deliver(NCEVENT_CLIENT_CHANGED, 8, 0, 0, test::kOk, "Not this one");
    test::Deliver(NCEVENT_CLIENT_CHANGED, 7, 0, 0, test::kOk, "Control room");
    ASSERT_TRUE(test::WaitFor([&] { return panel->GetPanelLabel() == "Control room"; }));
    test::Deliver(NCEVENT_CLIENT_CHANGED, 7);
    ASSERT_TRUE(test::WaitFor([&] { return panel->GetPanelLabel().empty(); }));
}

TEST_F(PanelsTest, RemoveNetworkAsksFirst)
{
    auto* panel = Add<NetworkPanel>(network);
    wxString message, caption;
    long style = 0;
    wxTEST_DIALOG(panel->AskRemove(), test::AnswerMessage(wxID_NO, &message, &caption, &style));
    EXPECT_EQ(message, "Are you sure you want to remove this network?");
    EXPECT_EQ(caption, "Remove network?");
    EXPECT_TRUE(style & wxYES_NO);
    EXPECT_TRUE(style & wxICON_QUESTION);
    EXPECT_EQ(networkmgr_get_network_count(), 1);

    wxTEST_DIALOG(panel->AskRemove(), test::AnswerMessage(wxID_YES));
    EXPECT_EQ(networkmgr_get_network_count(), 0);
}

TEST_F(PanelsTest, RemoveDeviceAsksFirst)
{
    auto* panel = Add<DevicePanel>(device);
    wxString message, caption;
    wxTEST_DIALOG(panel->AskRemove(), test::AnswerMessage(wxID_NO, &message, &caption));
    EXPECT_EQ(message, "Are you sure you want to remove this device?");
    EXPECT_EQ(caption, "Remove device?");
    EXPECT_EQ(devicemgr_get_device_count(), 1);

    wxTEST_DIALOG(panel->AskRemove(), test::AnswerMessage(wxID_YES));
    EXPECT_EQ(devicemgr_get_device_count(), 0);

    // Asked again for a device already gone, the failure is shown.
    wxString failure;
    wxTEST_DIALOG(panel->AskRemove(), test::AnswerMessage(wxID_YES), test::AnswerMessage(wxID_OK, &failure));
    EXPECT_EQ(failure, "No such device");
}

TEST_F(PanelsTest, DisposedPanelHearsNothingAndGoes)
{
    auto* panel = Add<DevicePanel>(device);
    wxWeakRef<DevicePanel> ref(panel);
    EXPECT_EQ(bridge.onReadResult.GetListenerCount(), 1u);
    panel->Dispose();
    EXPECT_FALSE(ref);
    EXPECT_EQ(bridge.onReadResult.GetListenerCount(), 0u);
    EXPECT_EQ(bridge.onDeviceChanged.GetListenerCount(), 0u);
}

TEST_F(PanelsTest, ImagesComeFromTheImageFolder)
{
    const wxBitmap lamp = LoadImage("green-led.png");
    ASSERT_TRUE(lamp.IsOk());
    EXPECT_EQ(lamp.GetSize(), wxSize(16, 16));
    EXPECT_EQ(LoadImage("network.png").GetSize(), wxSize(32, 32));
    EXPECT_FALSE(LoadImage("no-such-image.png").IsOk());
}

} // namespace
