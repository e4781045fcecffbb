// The networks-and-devices dialog on the real core with the "db" plug-in:
// its lists, the add, edit and remove flows, the shared choice helpers, and
// the menu item and panel entries that open the dialogs.
#include "devicedlg.h"
#include "devicesetup.h"
#include "dialog_answers.h"
#include "eventbridge.h"
#include "gui_support.h"
#include "mainframe.h"
#include "networksetup.h"
#include "networktypes.h"
#include "startup.h"
#include "status-window.h"
#include "support.h"

#include <gtest/gtest.h>

#include <wx/choice.h>
#include <wx/choicdlg.h>
#include <wx/frame.h>
#include <wx/listbox.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <string>
#include <vector>

namespace {

using test::Answer;
using test::PickNetwork;
using test::PickRow;
using test::PickType;
using test::RowIds;
using test::RowOf;
using test::Rows;

// The device setup dialog: optionally renames the device and applies OK as
// the button would, or cancels.
class AnswerDeviceSetup : public wxExpectModalBase<DeviceSetupDlg, AnswerDeviceSetup>
{
public:
    AnswerDeviceSetup(int result, const wxString& name = wxString(), unsigned short* id = nullptr)
        : m_result(result)
        , m_name(name)
        , m_id(id)
    {
    }

protected:
    int OnInvoked(DeviceSetupDlg* dialog) const override
    {
        if (m_id)
            *m_id = dialog->GetDeviceId();
        if (m_result && !m_name.empty()) {
            dialog->GetNameCtrl()->SetValue(m_name);
            if (!dialog->ApplySettings())
                throw WxTestFailure("device settings not applied");
        }
        return m_result;
    }

private:
    int m_result;
    wxString m_name;
    unsigned short* m_id;
};

// Runs code that must open no dialog at all: one would fail the test.
template <typename Code>
void WithoutDialog(Code code)
{
    PlexordTestingModalHook hook(__FILE__, __LINE__, "WithoutDialog");
    code();
    hook.CheckUnmetExpectations();
}

int NetworkCount()
{
    return networkmgr_get_network_count();
}

int DeviceCount()
{
    return devicemgr_get_device_count();
}

std::string DeviceName(uint16_t id)
{
    device_t* device = devicemgr_fetch_device(id, 0);
    if (!device)
        return "(none)";
    std::string name = device->name;
    devicemgr_drop_device(device);
    return name;
}

class DeviceDlgTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        delete dialog;
        core.Finish();
    }

    DeviceDlg* Open()
    {
        dialog = new DeviceDlg(nullptr);
        return dialog;
    }

    void Select(wxListBox* list, const wxString& text)
    {
        const int row = RowOf(list, text);
        ASSERT_NE(row, wxNOT_FOUND) << text;
        list->SetSelection(row);
    }

    test::TempDir config;
    test::CoreRun core{config.path()};
    DeviceDlg* dialog = nullptr;
};

TEST_F(DeviceDlgTest, ListsShowTheCoreWithIdsAndDescriptions)
{
    const uint16_t plant = test::AddDbNetwork("Plant", config.file("plant.ini"));
    const uint16_t lab = test::AddDbNetwork("Lab", config.file("lab.ini"));
    const uint16_t boiler = test::AddDevice(plant, "Boiler", "boiler");
    const uint16_t pump = test::AddDevice(lab, "Pump", "pump");
    device_t* device = devicemgr_fetch_device(pump, 1);
    device_set_description(device, "Main pump");
    devicemgr_drop_device(device);

    Open();
    EXPECT_EQ(dialog->GetTitle(), "Devices");
    EXPECT_EQ(Rows(dialog->GetNetworkList()), (std::vector<wxString>{"Plant", "Lab"}));
    EXPECT_EQ(RowIds(dialog->GetNetworkList()), (std::vector<unsigned>{plant, lab}));
    EXPECT_EQ(Rows(dialog->GetDeviceList()), (std::vector<wxString>{"Boiler", "Pump: Main pump"}));
    EXPECT_EQ(RowIds(dialog->GetDeviceList()), (std::vector<unsigned>{boiler, pump}));
}

TEST_F(DeviceDlgTest, UpdateListsRewritesRowsInPlace)
{
    const uint16_t plant = test::AddDbNetwork("Plant", config.file("plant.ini"));
    const uint16_t lab = test::AddDbNetwork("Lab", config.file("lab.ini"));
    const uint16_t boiler = test::AddDevice(plant, "Boiler", "boiler");
    const uint16_t pump = test::AddDevice(plant, "Pump", "pump");
    Open();
    wxListBox* networks = dialog->GetNetworkList();
    wxListBox* devices = dialog->GetDeviceList();
    networks->SetSelection(1);

    // A rename rewrites the row instead of adding one; a stale extra row goes.
    network_t* network = networkmgr_fetch_network(plant, 1000);
    network_set(network, "name", "Plant 2", static_cast<char*>(nullptr));
    networkmgr_drop_network(network);
    networks->Append("stale", wxUIntToPtr(999));
    devicemgr_remove_device(boiler);
    dialog->UpdateLists();

    EXPECT_EQ(Rows(networks), (std::vector<wxString>{"Plant 2", "Lab"}));
    EXPECT_EQ(RowIds(networks), (std::vector<unsigned>{plant, lab}));
    // The selected row was kept, not cleared and refilled.
    EXPECT_EQ(networks->GetSelection(), 1);
    EXPECT_EQ(Rows(devices), (std::vector<wxString>{"Pump"}));
    EXPECT_EQ(RowIds(devices), (std::vector<unsigned>{pump}));

    devicemgr_remove_device(pump);
    networkmgr_remove_network(lab);
    dialog->UpdateLists();
    EXPECT_EQ(Rows(networks), (std::vector<wxString>{"Plant 2"}));
    EXPECT_EQ(devices->GetCount(), 0u);
}

// Labels of the type table's rows whose key has a loaded plug-in.
std::vector<wxString> OfferedByCore()
{
    std::vector<wxString> labels;
    for (const NetworkTypeRow& row : NetworkTypeTable())
        if (plexord_has_network_type(row.key))
            labels.push_back(row.label);
    return labels;
}

TEST_F(DeviceDlgTest, TypeSelectionOffersTheCoresTypesAndStartsWithDirectnet)
{
    NetworkTypeSelectionDialog selection(nullptr);
    EXPECT_EQ(selection.GetTitle(), "Network type selection");
    // The table's rows that the loaded plug-ins serve, in table order.
    EXPECT_EQ(Rows(selection.GetTypeList()), OfferedByCore());
    ASSERT_EQ(OfferedByCore().front(), "DirectNET");
    EXPECT_EQ(selection.GetSelectedType(), "directnet");

    PickRow(selection.GetTypeList(), 1);
    EXPECT_EQ(selection.GetSelectedType(), "sl3");
    PickRow(selection.GetTypeList(), wxNOT_FOUND);
    EXPECT_EQ(selection.GetSelectedType(), "");
}

TEST_F(DeviceDlgTest, AddNetworkCancelledLeavesNoTrace)
{
    test::AddDbNetwork("Plant", config.file("plant.ini"));
    Open();
    const std::vector<wxString> before = Rows(dialog->GetNetworkList());

    // Cancel in the type selection.
    wxTEST_DIALOG(dialog->AddNetwork(), PickType(wxID_CANCEL));
    EXPECT_EQ(NetworkCount(), 1);

    // OK without a pick asks for "directnet"; its setup cancelled, the new
    // network goes again.
    wxTEST_DIALOG(dialog->AddNetwork(), PickType(wxID_OK), Answer<DNETIoSetupDlg>(0));
    EXPECT_EQ(Rows(dialog->GetNetworkList()), before);
    EXPECT_EQ(NetworkCount(), 1);

    // The setup dialog of the new network cancelled: the network goes again.
    std::vector<wxString> offered;
    wxTEST_DIALOG(dialog->AddNetwork(), PickType(wxID_OK, "Database", &offered),
                  Answer<DBComSetupDlg>(0));
    EXPECT_EQ(offered, OfferedByCore());
    EXPECT_EQ(NetworkCount(), 1);
    EXPECT_EQ(Rows(dialog->GetNetworkList()), before);
}

TEST_F(DeviceDlgTest, AddNetworkConfirmedKeepsIt)
{
    Open();
    wxTEST_DIALOG(dialog->AddNetwork(), PickType(wxID_OK, "Database"), Answer<DBComSetupDlg>(1));
    ASSERT_EQ(NetworkCount(), 1);
    ASSERT_EQ(dialog->GetNetworkList()->GetCount(), 1u);
    const auto id = static_cast<uint16_t>(wxPtrToUInt(dialog->GetNetworkList()->GetClientData(0)));
    network_t* network = networkmgr_fetch_network(id, 1000);
    ASSERT_NE(network, nullptr);
    EXPECT_STREQ(network_get_type(network), "db");
    networkmgr_drop_network(network);
}

TEST_F(DeviceDlgTest, EditAndRemoveNetworkWorkOnTheSelectedRow)
{
    const uint16_t plant = test::AddDbNetwork("Plant", config.file("plant.ini"));
    test::AddDbNetwork("Lab", config.file("lab.ini"));
    Open();

    // Nothing selected: nothing opens, nothing goes.
    wxListBox* networks = dialog->GetNetworkList();
    networks->SetSelection(wxNOT_FOUND);
    WithoutDialog([&] {
        dialog->EditNetwork();
        dialog->RemoveNetwork();
    });
    EXPECT_EQ(NetworkCount(), 2);

    Select(networks, "Plant");
    wxTEST_DIALOG(dialog->EditNetwork(), Answer<DBComSetupDlg>(0));
    EXPECT_EQ(NetworkCount(), 2);

    // Removal asks nothing: an unexpected message box would fail here.
    Select(networks, "Plant");
    WithoutDialog([&] { dialog->RemoveNetwork(); });
    EXPECT_EQ(NetworkCount(), 1);
    EXPECT_EQ(networkmgr_fetch_network(plant, 0), nullptr);
    EXPECT_EQ(Rows(networks), (std::vector<wxString>{"Lab"}));
}

TEST_F(DeviceDlgTest, AddDeviceWithoutNetworkExplains)
{
    Open();
    wxString message;
    long style = 0;
    wxTEST_DIALOG(dialog->AddDevice(), test::AnswerMessage(wxID_OK, &message, nullptr, &style));
    EXPECT_EQ(message, "You must add a network before\nyou can add a device");
    EXPECT_TRUE(style & wxOK);
    EXPECT_EQ(DeviceCount(), 0);
}

TEST_F(DeviceDlgTest, AddDeviceOnTheChosenNetworkUnlessCancelled)
{
    const uint16_t plant = test::AddDbNetwork("Plant", config.file("plant.ini"));
    Open();

    // One network: still asked, its row preselected. Cancel creates nothing.
    int preselected = -1;
    wxString caption;
    wxTEST_DIALOG(dialog->AddDevice(), PickNetwork(wxID_CANCEL, -1, &preselected, &caption));
    EXPECT_EQ(preselected, 0);
    EXPECT_EQ(caption, "Select network");
    EXPECT_EQ(DeviceCount(), 0);

    // Setup cancelled: the new device goes again.
    unsigned short cancelled = 0;
    wxTEST_DIALOG(dialog->AddDevice(), PickNetwork(wxID_OK), AnswerDeviceSetup(0, wxString(), &cancelled));
    EXPECT_NE(cancelled, 0);
    EXPECT_EQ(devicemgr_fetch_device(cancelled, 0), nullptr);
    EXPECT_EQ(DeviceCount(), 0);
    EXPECT_EQ(dialog->GetDeviceList()->GetCount(), 0u);

    // On the second network of two, confirmed.
    const uint16_t lab = test::AddDbNetwork("Lab", config.file("lab.ini"));
    unsigned short added = 0;
    wxTEST_DIALOG(dialog->AddDevice(), PickNetwork(wxID_OK, 1), AnswerDeviceSetup(1, "Mixer", &added));
    ASSERT_EQ(DeviceCount(), 1);
    device_t* device = devicemgr_fetch_device(added, 0);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->network_id, lab);
    EXPECT_NE(device->network_id, plant);
    EXPECT_STREQ(device->name, "Mixer");
    devicemgr_drop_device(device);
    EXPECT_EQ(Rows(dialog->GetDeviceList()), (std::vector<wxString>{"Mixer"}));
}

TEST_F(DeviceDlgTest, EditAndRemoveDeviceWorkOnTheSelectedRow)
{
    const uint16_t plant = test::AddDbNetwork("Plant", config.file("plant.ini"));
    const uint16_t boiler = test::AddDevice(plant, "Boiler", "boiler");
    const uint16_t pump = test::AddDevice(plant, "Pump", "pump");
    Open();
    wxListBox* devices = dialog->GetDeviceList();

    devices->SetSelection(wxNOT_FOUND);
    WithoutDialog([&] {
        dialog->EditDevice();
        dialog->RemoveDevice();
    });
    EXPECT_EQ(DeviceCount(), 2);

    Select(devices, "Pump");
    unsigned short edited = 0;
    wxTEST_DIALOG(dialog->EditDevice(), AnswerDeviceSetup(1, "Pump 2", &edited));
    EXPECT_EQ(edited, pump);
    EXPECT_EQ(DeviceName(pump), "Pump 2");
    EXPECT_EQ(Rows(devices), (std::vector<wxString>{"Boiler", "Pump 2"}));

    // A cancelled edit of an existing device keeps it.
    Select(devices, "Boiler");
    wxTEST_DIALOG(dialog->EditDevice(), AnswerDeviceSetup(0));
    EXPECT_EQ(DeviceName(boiler), "Boiler");

    Select(devices, "Boiler");
    WithoutDialog([&] { dialog->RemoveDevice(); });
    EXPECT_EQ(devicemgr_fetch_device(boiler, 0), nullptr);
    EXPECT_EQ(Rows(devices), (std::vector<wxString>{"Pump 2"}));
}

TEST_F(DeviceDlgTest, FillDeviceChoiceAndSelectItemByData)
{
    const uint16_t plant = test::AddDbNetwork("Plant", config.file("plant.ini"));
    const uint16_t boiler = test::AddDevice(plant, "Boiler", "boiler");
    const uint16_t pump = test::AddDevice(plant, "Pump", "pump");
    wxFrame* frame = new wxFrame(nullptr, wxID_ANY, "choice");
    auto* choice = new wxChoice(frame, wxID_ANY);

    // Nothing to select in an empty control.
    SelectItemByData(choice, boiler);
    EXPECT_EQ(choice->GetSelection(), wxNOT_FOUND);

    FillDeviceChoice(choice);
    ASSERT_EQ(choice->GetCount(), 3u);
    EXPECT_EQ(choice->GetString(0), "Boiler");
    EXPECT_EQ(choice->GetString(1), "Pump");
    EXPECT_EQ(choice->GetString(2), "");
    EXPECT_EQ(RowIds(choice), (std::vector<unsigned>{boiler, pump, 0}));

    SelectItemByData(choice, pump);
    EXPECT_EQ(choice->GetSelection(), 1);
    SelectItemByData(choice, 4242);
    EXPECT_EQ(choice->GetSelection(), wxNOT_FOUND);

    auto* label = new wxStaticText(frame, wxID_ANY, "bold");
    SetBoldFont(label);
    EXPECT_EQ(label->GetFont().GetWeight(), wxFONTWEIGHT_BOLD);
    delete frame;
}

// ---------------------------------------------------------------------------
// Where the dialogs are opened from.

class DeviceDlgOpenersTest : public DeviceDlgTest
{
protected:
    void TearDown() override
    {
        delete frame;
        DeviceDlgTest::TearDown();
    }

    EventBridge bridge;
    FrameGeometry geometry;
    wxFrame* frame = nullptr;
};

TEST_F(DeviceDlgOpenersTest, FileMenuDevicesOpensTheDialog)
{
    auto* main = new MainFrame(bridge, geometry, "Plexor server", wxDefaultPosition, wxSize(400, 400));
    frame = main;
    bool found = false;
    for (const auto& [title, entries] : MainFrame::MenuTables()) {
        for (const MenuEntry& entry : entries) {
            if (entry.id == 11002) {
                found = true;
                EXPECT_EQ(title, "&File");
                EXPECT_EQ(entry.label, "&Devices");
                EXPECT_EQ(entry.help, "Network and device setup");
            }
        }
    }
    EXPECT_TRUE(found);

    wxCommandEvent event(wxEVT_MENU, 11002);
    wxTEST_DIALOG(main->ProcessWindowEvent(event), Answer<DeviceDlg>(1));
}

TEST_F(DeviceDlgOpenersTest, PanelEntriesOpenTheSetupDialogs)
{
    const uint16_t plant = test::AddDbNetwork("Plant", config.file("plant.ini"));
    const uint16_t boiler = test::AddDevice(plant, "Boiler", "boiler");
    frame = new wxFrame(nullptr, wxID_ANY, "panels", wxDefaultPosition, wxSize(400, 400));
    frame->SetSizer(new wxBoxSizer(wxVERTICAL));
    auto* network = new NetworkPanel(frame, bridge, plant);
    auto* device = new DevicePanel(frame, bridge, boiler);

    wxCommandEvent properties(wxEVT_MENU, NetworkPanel::ID_PROPERTIES);
    wxTEST_DIALOG(network->ProcessWindowEvent(properties), Answer<DBComSetupDlg>(0));

    unsigned short edited = 0;
    wxCommandEvent edit(wxEVT_MENU, DevicePanel::ID_EDIT);
    wxTEST_DIALOG(device->ProcessWindowEvent(edit), AnswerDeviceSetup(1, "Kettle", &edited));
    EXPECT_EQ(edited, boiler);
    EXPECT_EQ(DeviceName(boiler), "Kettle");
}

} // namespace
