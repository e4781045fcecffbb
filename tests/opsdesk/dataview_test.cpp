// Dataview rows on the real core with the "db" plug-in: reads, writes, the
// failures shown in a row, and the I/O events the console announces.
#include "dataview.h"
#include "eventbridge.h"
#include "mainframe.h"
#include "support.h"

#include "wx_test.h"

#include <gtest/gtest.h>

#include <wx/button.h>
#include <wx/choice.h>
#include <wx/textctrl.h>
#include <wx/toplevel.h>
#include <wx/weakref.h>

#include <string>
#include <vector>

namespace {

const char kTc200[] = "TC-200 Temperature controller";

struct SeenEvent
{
    int type;
    unsigned short network;
    unsigned short device;
    std::string item;
    std::string flag;
    double value;
    bool succeeded;
};

class DataViewTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        test::WriteFile(config.file("plant.ini"), "[boiler]\nPV=21.5\nSP:B=3\nLIMIT=80\n");
        network = test::AddDbNetwork("Plant", config.file("plant.ini"));
        device = test::AddDevice(network, "Boiler", "boiler", kTc200);
        bridge.onEvent.Subscribe(listener);
        view = new DataView(nullptr, wxDefaultPosition, wxSize(475, 200));
        view->Show();
        ref = view;
    }
    void TearDown() override
    {
        bridge.onEvent.Remove(listener);
        if (ref)
            delete ref.get();
        core.Finish();
    }

    void OnEvent(wxNCEvent& event)
    {
        const int type = event.GetCoreType();
        if (type < NCEVENT_READ_REQUEST || type > NCEVENT_WRITE_RESULT || event.GetItem() == "marker")
            return;
        events.push_back({type, event.GetNetworkId(), event.GetDeviceId(), event.GetItem().utf8_string(),
                          event.GetFlag().utf8_string(), event.GetValue(), event.Succeeded()});
    }

    // The I/O events announced so far, in order; clears the record.
    std::vector<SeenEvent> Events()
    {
        EXPECT_TRUE(test::Settle(bridge));
        std::vector<SeenEvent> seen;
        seen.swap(events);
        return seen;
    }

    std::vector<int> Types(const std::vector<SeenEvent>& seen)
    {
        std::vector<int> types;
        for (const auto& e : seen)
            types.push_back(e.type);
        return types;
    }

    DataItemBar* Row(size_t i) { return view->GetRows().at(i); }

    static wxString Tip(wxWindow* window)
    {
        return window->GetToolTipText();
    }

    test::TempDir config;
    EventBridge bridge;
    test::CoreRun core{config.path()};
    uint16_t network = 0;
    uint16_t device = 0;
    std::vector<SeenEvent> events;
    Listener<DataViewTest, wxNCEvent&> listener{this, &DataViewTest::OnEvent};
    DataView* view = nullptr;
    wxWeakRef<DataView> ref;
};

TEST_F(DataViewTest, StartsWithOneEmptyRowListingEveryDevice)
{
    const uint16_t second = test::AddDevice(network, "Pump", "pump");
    view->AddRow();
    ASSERT_EQ(view->GetRows().size(), 2u);
    EXPECT_EQ(view->GetTitle(), "Dataview");

    // The first row was built before the pump existed.
    EXPECT_EQ(Row(0)->GetDeviceChoice()->GetCount(), 1u);
    EXPECT_EQ(Row(0)->GetDeviceChoice()->GetString(0), "Boiler");
    EXPECT_EQ(Row(0)->GetDeviceId(), 0);
    ASSERT_EQ(Row(1)->GetDeviceChoice()->GetCount(), 2u);
    Row(1)->SelectDevice(second);
    EXPECT_EQ(Row(1)->GetDeviceId(), second);
    EXPECT_EQ(Row(1)->GetDeviceChoice()->GetStringSelection(), "Pump");
    Row(1)->SelectDevice(999);
    EXPECT_EQ(Row(1)->GetDeviceId(), 0);
}

TEST_F(DataViewTest, ReadsWritesAndReadsAgain)
{
    DataItemBar* row = Row(0);
    row->SelectDevice(device);
    row->SetSetpoint("PV");
    row->Refresh();
    EXPECT_EQ(row->GetValueField()->GetValue(), "21.5");
    EXPECT_EQ(Tip(row->GetValueField()), "Current value");
    EXPECT_EQ(Tip(row->GetSetpointField()), wxString::FromUTF8("Process value, measured temperature (°C, read only)"));

    auto seen = Events();
    ASSERT_EQ(Types(seen), (std::vector<int>{NCEVENT_READ_REQUEST, NCEVENT_READ_RESULT}));
    EXPECT_EQ(seen[0].network, network);
    EXPECT_EQ(seen[0].device, device);
    EXPECT_EQ(seen[0].item, "PV");
    EXPECT_EQ(seen[0].flag, "");
    EXPECT_TRUE(seen[0].succeeded);
    EXPECT_EQ(seen[1].value, 21.5);
    EXPECT_TRUE(seen[1].succeeded);

    row->SetSetpoint("SP:B");
    row->SetNewValue("42.25");
    row->WriteValue();
    EXPECT_EQ(row->GetValueField()->GetValue(), "42.25");
    EXPECT_EQ(row->GetNewValueField()->GetValue(), "42.25");
    EXPECT_EQ(Tip(row->GetSetpointField()), "Undocumented item");
    EXPECT_NE(test::ReadFile(config.file("plant.ini")).find("SP:B=42.25"), std::string::npos);

    seen = Events();
    ASSERT_EQ(Types(seen), (std::vector<int>{NCEVENT_WRITE_REQUEST, NCEVENT_WRITE_RESULT, NCEVENT_READ_REQUEST,
                                             NCEVENT_READ_RESULT}));
    for (const auto& e : seen) {
        EXPECT_EQ(e.item, "SP");
        EXPECT_EQ(e.flag, "B");
        EXPECT_TRUE(e.succeeded);
    }
    EXPECT_EQ(seen[0].value, 42.25);
    EXPECT_EQ(seen[1].value, 42.25);
    EXPECT_EQ(seen[3].value, 42.25);
}

TEST_F(DataViewTest, EnterInTheFieldsReadsAndWrites)
{
    DataItemBar* row = Row(0);
    row->SelectDevice(device);
    row->SetSetpoint("LIMIT");
    wxCommandEvent enter(wxEVT_TEXT_ENTER, row->GetSetpointField()->GetId());
    enter.SetEventObject(row->GetSetpointField());
    row->GetSetpointField()->GetEventHandler()->ProcessEvent(enter);
    EXPECT_EQ(row->GetValueField()->GetValue(), "80");

    row->SetNewValue("75");
    wxCommandEvent write(wxEVT_TEXT_ENTER, row->GetNewValueField()->GetId());
    write.SetEventObject(row->GetNewValueField());
    row->GetNewValueField()->GetEventHandler()->ProcessEvent(write);
    EXPECT_EQ(row->GetValueField()->GetValue(), "75");
    EXPECT_NE(test::ReadFile(config.file("plant.ini")).find("LIMIT=75"), std::string::npos);
}

TEST_F(DataViewTest, FailuresShowInTheRow)
{
    DataItemBar* row = Row(0);
    row->SelectDevice(device);
    row->SetSetpoint("NOPE");
    row->Refresh();
    EXPECT_EQ(row->GetValueField()->GetValue(), "#####");
    const wxString tip = Tip(row->GetValueField());
    EXPECT_TRUE(tip.StartsWith("Read failed: ")) << tip;
    EXPECT_NE(tip.find("unknown setpoint"), wxString::npos) << tip;
    EXPECT_EQ(Tip(row->GetSetpointField()), "Undocumented item");
    auto seen = Events();
    ASSERT_EQ(Types(seen), (std::vector<int>{NCEVENT_READ_REQUEST, NCEVENT_READ_RESULT}));
    EXPECT_FALSE(seen[1].succeeded);

    // A failed write is not followed by a read.
    const uint16_t nowhere = test::AddDevice(network, "Nowhere", "");
    view->AddRow();
    DataItemBar* second = Row(1);
    second->SelectDevice(nowhere);
    second->SetSetpoint("PV");
    second->SetNewValue("1");
    second->WriteValue();
    EXPECT_EQ(second->GetValueField()->GetValue(), "#####");
    EXPECT_TRUE(Tip(second->GetValueField()).StartsWith("Write failed: "));
    seen = Events();
    ASSERT_EQ(Types(seen), (std::vector<int>{NCEVENT_WRITE_REQUEST, NCEVENT_WRITE_RESULT}));
    EXPECT_FALSE(seen[1].succeeded);
}

TEST_F(DataViewTest, NothingToReadOrWrite)
{
    DataItemBar* row = Row(0);
    // An empty setpoint only empties the value.
    row->SelectDevice(device);
    row->GetValueField()->ChangeValue("old");
    row->Refresh();
    EXPECT_EQ(row->GetValueField()->GetValue(), "");

    // No device chosen.
    row->SelectDevice(0);
    row->SetSetpoint("PV");
    row->Refresh();
    EXPECT_EQ(row->GetValueField()->GetValue(), "#####");

    // A write needs a number and a device.
    row->SetNewValue("12");
    row->WriteValue();
    row->SelectDevice(device);
    row->SetNewValue("twelve");
    row->WriteValue();
    EXPECT_TRUE(Events().empty());
    EXPECT_NE(test::ReadFile(config.file("plant.ini")).find("PV=21.5"), std::string::npos);
}

TEST_F(DataViewTest, GoneDeviceOrNetworkFailsWithoutCoreCalls)
{
    DataItemBar* row = Row(0);
    row->SelectDevice(device);
    row->SetSetpoint("PV");
    ASSERT_TRUE(ncerr_is_ok(networkmgr_remove_network(network)));
    row->Refresh();
    EXPECT_EQ(row->GetValueField()->GetValue(), "#####");
    EXPECT_EQ(Tip(row->GetValueField()),
              "Read failed: " + wxString::FromUTF8(ncerr_get_string(ncerr_t{NCERR_NO_NETWORK, 0})));
    row->SetNewValue("5");
    row->WriteValue();
    EXPECT_EQ(Tip(row->GetValueField()),
              "Write failed: " + wxString::FromUTF8(ncerr_get_string(ncerr_t{NCERR_NO_NETWORK, 0})));

    ASSERT_TRUE(ncerr_is_ok(devicemgr_remove_device(device)));
    row->Refresh();
    EXPECT_EQ(row->GetValueField()->GetValue(), "#####");
    EXPECT_EQ(Tip(row->GetValueField()),
              "Read failed: " + wxString::FromUTF8(ncerr_get_string(ncerr_t{NCERR_NO_DEVICE, 0})));
    EXPECT_TRUE(Events().empty());
}

TEST_F(DataViewTest, AddCopiesTheLastRowAndRefreshReadsEveryRowInOrder)
{
    Row(0)->SelectDevice(device);
    Row(0)->SetSetpoint("PV");
    Row(0)->Refresh();
    ASSERT_EQ(Row(0)->GetValueField()->GetValue(), "21.5");
    Events();
    const int heightWithOne = view->GetSize().y;

    // The button's click, as the operator adds a row.
    wxCommandEvent add(wxEVT_BUTTON, wxID_ADD);
    view->GetEventHandler()->ProcessEvent(add);
    ASSERT_EQ(view->GetRows().size(), 2u);
    EXPECT_EQ(Row(1)->GetDeviceId(), device);
    EXPECT_EQ(Row(1)->GetSetpoint(), "PV");
    EXPECT_EQ(Row(1)->GetValueField()->GetValue(), "");
    Row(1)->SetSetpoint("SP:B");
    view->AddRow();
    Row(2)->SetSetpoint("LIMIT");
    WxTestYield();
    EXPECT_GT(view->GetSize().y, heightWithOne);
    // Rows stay above the "Add" line.
    for (size_t i = 0; i < 3; ++i)
        EXPECT_LT(Row(i)->GetPosition().y, view->FindWindow(wxID_ADD)->GetPosition().y);
    // Repainting and laying out the rows reads nothing.
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(Row(2)->GetValueField()->GetValue(), "");

    wxCommandEvent refresh(wxEVT_BUTTON, wxID_REFRESH);
    view->GetEventHandler()->ProcessEvent(refresh);
    EXPECT_EQ(Row(0)->GetValueField()->GetValue(), "21.5");
    EXPECT_EQ(Row(1)->GetValueField()->GetValue(), "3");
    EXPECT_EQ(Row(2)->GetValueField()->GetValue(), "80");
    const auto seen = Events();
    std::vector<std::string> reads;
    for (const auto& e : seen)
        if (e.type == NCEVENT_READ_REQUEST)
            reads.push_back(e.item);
    EXPECT_EQ(reads, (std::vector<std::string>{"PV", "SP", "LIMIT"}));
    EXPECT_EQ(seen.size(), 6u);
}

TEST_F(DataViewTest, RemoveButtonTakesTheRowOut)
{
    view->AddRow();
    view->AddRow();
    DataItemBar* middle = Row(1);
    wxWeakRef<DataItemBar> gone(middle);
    wxCommandEvent click(wxEVT_BUTTON, wxID_REMOVE);
    click.SetEventObject(middle->GetRemoveButton());
    middle->GetRemoveButton()->GetEventHandler()->ProcessEvent(click);
    ASSERT_TRUE(test::WaitFor([&] { return !gone; }));
    ASSERT_EQ(view->GetRows().size(), 2u);
    EXPECT_NE(Row(0), Row(1));

    // Closing the window destroys it, rows and all.
    view->Close();
    ASSERT_TRUE(test::WaitFor([&] { return !ref; }));
}

TEST_F(DataViewTest, ViewMenuOpensAnotherWindowEachTime)
{
    bool listed = false;
    for (const auto& [title, entries] : MainFrame::MenuTables())
        for (const MenuEntry& entry : entries)
            if (entry.id == MainFrame::ID_DATAVIEW) {
                listed = true;
                EXPECT_EQ(title, "&View");
                EXPECT_EQ(entry.label, "&Dataview");
                EXPECT_EQ(entry.help, "Read and write setpoint values");
            }
    EXPECT_TRUE(listed);

    FrameGeometry geometry;
    auto* frame = new MainFrame(bridge, geometry, "Plexor server", wxDefaultPosition, wxSize(400, 400));
    auto opened = [&] {
        std::vector<DataView*> views;
        for (wxWindow* window : frame->GetChildren())
            if (auto* dataview = dynamic_cast<DataView*>(window))
                views.push_back(dataview);
        return views;
    };
    wxCommandEvent menu(wxEVT_MENU, MainFrame::ID_DATAVIEW);
    frame->GetEventHandler()->ProcessEvent(menu);
    frame->GetEventHandler()->ProcessEvent(menu);
    const auto views = opened();
    ASSERT_EQ(views.size(), 2u);
    for (DataView* dataview : views) {
        EXPECT_TRUE(dataview->IsShown());
        EXPECT_FALSE(dataview->IsModal());
        // Opened at 475 by 200, and grown to fit its first row.
        EXPECT_GE(dataview->GetSize().x, 475);
        EXPECT_GE(dataview->GetSize().y, 200);
        EXPECT_EQ(dataview->GetRows().size(), 1u);
    }
    frame->Destroy();
    WxTestYield();
}

} // namespace
