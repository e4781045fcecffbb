// What assistive technologies read through GTK's accessibility objects: the
// demo plant's status window on the real core, and the names of the controls
// of the console's dialogs.
#include "accessible.h"
#include "backup-window.h"
#include "clockdlg.h"
#include "dataview.h"
#include "devicedlg.h"
#include "devicesetup.h"
#include "eventbridge.h"
#include "mainframe.h"
#include "mirror.h"
#include "networktypes.h"
#include "spyfrm.h"
#include "startup.h"
#include "status-window.h"
#include "support.h"
#include "userdlg.h"

#include <gtest/gtest.h>

#include <wx/scrolwin.h>
#include <wx/sizer.h>

#include <functional>
#include <map>

namespace {

class AccessibleTest : public ::testing::Test
{
protected:
    void SetUp() override { StartNamingControls(); }
    void TearDown() override
    {
        StopNamingControls();
        core.Finish();
    }

    test::TempDir config;
    EventBridge bridge;
    test::CoreRun core{config.path(), true};
};

// Every window where the keyboard focus stops (not a panel that passes it
// on to its children), with the name it is read by.
void FocusableNames(wxWindow* top, std::vector<std::pair<wxWindow*, wxString>>& out)
{
    for (wxWindow* child : top->GetChildren()) {
        if (child->IsTopLevel())
            continue;
        bool passesOn = false;
        for (wxWindow* grandchild : child->GetChildren())
            passesOn |= !child->IsKindOf(wxCLASSINFO(wxControl)) && grandchild->AcceptsFocusFromKeyboard();
        if (child->AcceptsFocusFromKeyboard() && !passesOn)
            out.emplace_back(child, GetAccessibleName(child));
        FocusableNames(child, out);
    }
}

TEST_F(AccessibleTest, StatusPanelsTellNameKindAndLamps)
{
    FrameGeometry geometry;
    auto* frame = new MainFrame(bridge, geometry, "Plexor server", wxPoint(0, 0), wxSize(420, 560));
    frame->Show();
    ASSERT_TRUE(test::WaitFor(
        [&] { return frame->GetNetworkPanels().size() == 1 && frame->GetDevicePanels().size() == 4; }));
    std::vector<wxString> headings;
    for (wxSizerItem* item : frame->GetStatusColumn()->GetSizer()->GetChildren())
        if (auto* heading = dynamic_cast<SeparatorPanel*>(item->GetWindow()))
            headings.push_back(GetAccessibleName(heading));
    EXPECT_EQ(headings, (std::vector<wxString>{"Networks", "Devices", "Clients"}));

    const std::map<wxString, wxString> kinds = {
        {"Demo plant", "Network, Database"},
        {"Boiler", "Device, TC-200 Temperature controller"},
        {"Greenhouse", "Device, TC-200 Temperature controller"},
        {"Pump station", "Device, MC-16 Compact PLC"},
        {"Main line", "Device, PX-40 Pressure transmitter"},
    };
    std::vector<IOPanel*> panels(frame->GetNetworkPanels().begin(), frame->GetNetworkPanels().end());
    panels.insert(panels.end(), frame->GetDevicePanels().begin(), frame->GetDevicePanels().end());
    IOPanel* line = nullptr;
    for (IOPanel* panel : panels) {
        const wxString name = GetAccessibleName(panel);
        ASSERT_EQ(kinds.count(name), 1u) << name;
        EXPECT_EQ(name, panel->GetPanelLabel());
        // The demo's tasks flash some lamps meanwhile: the text follows them.
        EXPECT_TRUE(test::WaitFor([&] {
            return GetAccessibleDescription(panel) ==
                   PanelDescription(kinds.at(name), panel->GetReadLamp(), panel->GetWriteLamp());
        })) << name << ": " << GetAccessibleDescription(panel);
        if (name == "Main line")
            line = panel;
    }

    // No task reads or writes the main line: its lamps change only by these.
    ASSERT_NE(line, nullptr);
    const auto described = [&](LampState read, LampState write, int ms = 5000) {
        return test::WaitFor(
            [&] { return GetAccessibleDescription(line) == PanelDescription(kinds.at("Main line"), read, write); },
            ms);
    };
    const struct
    {
        int event;
        ncerr_t result;
        LampState read, write;
    } steps[] = {
        {NCEVENT_READ_REQUEST, test::kOk, LAMP_PENDING, LAMP_UNLIT},
        {NCEVENT_READ_RESULT, test::kTimeout, LAMP_FAILED, LAMP_UNLIT},
        {NCEVENT_WRITE_REQUEST, test::kOk, LAMP_FAILED, LAMP_PENDING},
        {NCEVENT_WRITE_RESULT, test::kOk, LAMP_FAILED, LAMP_SUCCEEDED},
    };
    const uint16_t device = static_cast<DevicePanel*>(line)->GetDeviceId();
    for (const auto& step : steps) {
        ncevent_throw_io_event(step.event, 0, device, 0, "PV", "", 1.0, step.result);
        EXPECT_TRUE(described(step.read, step.write)) << step.event << ": " << GetAccessibleDescription(line);
    }
    EXPECT_TRUE(described(LAMP_UNLIT, LAMP_UNLIT, 3000)) << "the flashes end";

    test::Deliver(NCEVENT_CLIENT_CONNECTED, 7);
    ASSERT_TRUE(test::WaitFor([&] { return frame->GetClientPanels().size() == 1; }));
    ClientPanel* client = frame->GetClientPanels()[0];
    EXPECT_EQ(GetAccessibleName(client), "Client 7");
    EXPECT_TRUE(test::WaitFor(
        [&] { return GetAccessibleDescription(client) == PanelDescription("Client", LAMP_UNLIT, LAMP_UNLIT); }));
    test::Deliver(NCEVENT_CLIENT_CHANGED, 7, 0, 0, test::kOk, "SCADA station");
    EXPECT_TRUE(test::WaitFor([&] { return GetAccessibleName(client) == "SCADA station"; }));
    delete frame;
}

TEST_F(AccessibleTest, EveryDialogControlIsNamed)
{
    uint16_t boiler = 0;
    devicemgr_iterate_start();
    for (uint16_t id = devicemgr_iterate_get_next(); id != 0; id = devicemgr_iterate_get_next()) {
        device_t* device = devicemgr_fetch_device(id, 0);
        if (device && device_get_name(device) == std::string("Boiler"))
            boiler = id;
        devicemgr_drop_device(device);
    }
    devicemgr_iterate_end();
    usermanager_iterate_start();
    const uint16_t user = usermanager_iterate_get_next();
    usermanager_iterate_end();

    struct Case
    {
        wxString what;
        std::function<wxDialog*()> open;
        std::vector<wxString> names; // from labels, tips and titles, not from the toolkit
    };
    std::vector<Case> cases = {
        {"devices", [] { return new DeviceDlg(nullptr); }, {"Networks", "Devices"}},
        {"network types", [] { return new NetworkTypeSelectionDialog(nullptr); }, {"Select network type"}},
        {"device setup", [&] { return new DeviceSetupDlg(nullptr, boiler); },
         {"Name", "Address", "Hardware", "Documentation", "Browse for the documentation file", "Max cache age"}},
        {"users", [] { return new UserDlg(nullptr); }, {"Users"}},
        {"user", [&] { return new UserEditDlg(nullptr, user); }, {"Password 1/2", "Read access", "Write access"}},
        // Opens on the demo's condition task; a button showing a setting says what it is for.
        {"scheduler", [] { return new SchedulerDialog(nullptr, wxID_ANY, "Scheduler"); },
         {"Name", "First time", "Setpoint or value to compare, Boiler: OUT", "Comparison operator, is less than",
          "Setpoint or value to compare with, 50", "Setpoint to set when the condition holds, Boiler: OUT",
          "Interval unit"}},
        {"setpoint",
         [&] { return new SetpOrValueDialog(nullptr, "S", SetpOrValueDialog::Source, false, boiler, "PV", 0); },
         {"Device", "Setpoint"}},
        {"date", [] { return new DateSelectionDialog(nullptr, wxDateTime::Today()); },
         {"Select date", "Month", "Year"}},
        {"clock", [&] { auto* d = new ClockDialog(nullptr); d->SetDevice(boiler); return d; },
         {"Date", "Time", "Set this date on the device", "Set this time on the device"}},
        {"backup", [&] { auto* d = new BackupDialog(nullptr, false); d->LoadTemplate(boiler); return d; }, {"Device"}},
        {"backup run", [] { return new RestoreWindow(nullptr, RestoreWindow::MODE_BACKUP, ""); }, {}},
        {"dataview", [] { return new DataView(nullptr, wxDefaultPosition, wxDefaultSize); },
         {"Device", "Setpoint", "Current value", "Refresh current value", "New value"}},
        {"activity log", [&] { return new SpyFrm(nullptr, bridge); }, {"Device"}},
    };
    // Every network type's setup dialog, on a network of the type.
    const std::map<wxString, std::vector<wxString>> networkNames = {{"db", {"Filename", "Browse for the database file"}}};
    for (const NetworkTypeRow& row : NetworkTypeTable()) {
        cases.push_back({row.key, [key = row.key]() -> wxDialog* {
                             network_t* network = plexord_create_network(key);
                             if (!network)
                                 return nullptr;
                             const uint16_t id = network_get_id(network);
                             networkmgr_add_network(network);
                             network = networkmgr_fetch_network(id, 1000);
                             wxDialog* dialog = CreateNetworkSetupDialog(nullptr, network);
                             networkmgr_drop_network(network);
                             return dialog;
                         },
                         networkNames.count(row.key) ? networkNames.at(row.key) : std::vector<wxString>{}});
    }

    for (const Case& c : cases) {
        wxDialog* dialog = c.open();
        ASSERT_NE(dialog, nullptr) << c.what;
        dialog->Show();
        test::Pump(50);
        if (auto* dataview = dynamic_cast<DataView*>(dialog)) {
            // Rows added to the shown window are named too.
            dataview->AddRow();
            test::Pump(50);
        }
        std::vector<std::pair<wxWindow*, wxString>> controls;
        FocusableNames(dialog, controls);
        EXPECT_FALSE(controls.empty()) << c.what;
        std::vector<wxString> names;
        for (const auto& [control, name] : controls) {
            EXPECT_FALSE(name.empty()) << c.what << ": a " << control->GetClassInfo()->GetClassName() << " unnamed";
            names.push_back(name);
        }
        for (const wxString& name : c.names)
            EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << c.what << ": " << name;
        dialog->Destroy();
        test::Pump(10);
    }
}

} // namespace
