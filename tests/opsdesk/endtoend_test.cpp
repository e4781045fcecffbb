// The operator's path through the console, with nothing but its windows:
// networks and devices added with the dialogs on the real core, read with
// the dataview, counted on the status window, and kept across a restart.
#include "dataview.h"
#include "devicedlg.h"
#include "dialog_answers.h"
#include "eventbridge.h"
#include "images.h"
#include "mainframe.h"
#include "networksetup.h"
#include "session.h"
#include "startup.h"
#include "status-window.h"
#include "support.h"

#include "modbus_peers.h"

#include <gtest/gtest.h>

#include <wx/textctrl.h>

#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

using test::FillDeviceSetup;
using test::FillNetworkSetup;
using test::PickNetwork;
using test::PickType;

// The console's core session, event bridge and main frame on a
// configuration folder, shut down as the console does on exit.
class Console
{
public:
    Console(const std::string& config, unsigned flags)
    {
        RegisterImageHandlers();
        Folders folders;
        folders.config = wxString::FromUTF8(config);
        folders.data = OPSDESK_TEST_DATA_DIR;
        folders.plugins = OPSDESK_TEST_PLUGIN_DIR;
        if (!m_session.Init(folders, flags | PLEXORD_INIT_FAST_HASH) || !m_session.Start())
            throw std::runtime_error("the core did not start");
        SetImageFolder(wxString(OPSDESK_TEST_DATA_DIR) + "/images");
        m_frame = new MainFrame(m_bridge, m_geometry, "Plexor server", wxPoint(0, 0), wxSize(420, 560));
        m_frame->Show();
    }
    ~Console() { Exit(); }

    MainFrame* Frame() const { return m_frame; }
    EventBridge& Bridge() { return m_bridge; }

    DevicePanel* PanelOf(unsigned short device) const
    {
        for (DevicePanel* panel : m_frame->GetDevicePanels())
            if (panel->GetDeviceId() == device)
                return panel;
        return nullptr;
    }

    void Exit()
    {
        if (!m_frame)
            return;
        m_session.Shutdown(m_bridge, m_geometry);
        delete m_frame;
        m_frame = nullptr;
    }

private:
    EventBridge m_bridge;
    FrameGeometry m_geometry;
    CoreSession m_session;
    MainFrame* m_frame = nullptr;
};

// What the operator configured, as the running core has it.
struct NetworkRecord
{
    std::string name, type, filename;
    int delay;
    bool operator==(const NetworkRecord&) const = default;
};

struct DeviceRecord
{
    std::string name, address, hardware, network;
    bool documented;
    bool operator==(const DeviceRecord&) const = default;
};

std::string Text(const char* text)
{
    return text ? text : "";
}

std::string NetworkName(uint16_t id)
{
    network_t* network = networkmgr_fetch_network(id, 1000);
    const std::string name = network ? Text(network_get_name(network)) : "(none)";
    networkmgr_drop_network(network);
    return name;
}

std::vector<NetworkRecord> Networks()
{
    std::vector<NetworkRecord> records;
    networkmgr_iterate_start();
    while (const uint16_t id = networkmgr_iterate_get_next()) {
        network_t* network = networkmgr_fetch_network(id, 1000);
        char* filename = nullptr;
        int delay = -1;
        network_get(network, "filename", &filename, "delay", &delay, static_cast<char*>(nullptr));
        records.push_back({Text(network_get_name(network)), Text(network_get_type(network)), Text(filename), delay});
        networkmgr_drop_network(network);
    }
    networkmgr_iterate_end();
    return records;
}

std::vector<DeviceRecord> Devices()
{
    std::vector<DeviceRecord> records;
    devicemgr_iterate_start();
    while (const uint16_t id = devicemgr_iterate_get_next()) {
        device_t* device = devicemgr_fetch_device(id, 0);
        const std::string hardware = device->hardware ? Text(hwinfo_get_name(device->hardware)) : "";
        const uint16_t network = device->network_id;
        DeviceRecord record{Text(device->name), Text(device->address), hardware, "", device->doc_path != nullptr};
        devicemgr_drop_device(device);
        record.network = NetworkName(network);
        records.push_back(record);
    }
    devicemgr_iterate_end();
    return records;
}

unsigned short DeviceNamed(const std::string& name)
{
    unsigned short found = 0;
    devicemgr_iterate_start();
    while (const uint16_t id = devicemgr_iterate_get_next()) {
        device_t* device = devicemgr_fetch_device(id, 0);
        if (Text(device->name) == name)
            found = id;
        devicemgr_drop_device(device);
    }
    devicemgr_iterate_end();
    return found;
}

// Reads a setpoint in a dataview row as the operator does: device, setpoint,
// refresh. Gives the text the row shows.
wxString ReadInRow(DataItemBar* row, unsigned short device, const wxString& setpoint)
{
    row->SelectDevice(device);
    row->SetSetpoint(setpoint);
    row->ReadValue();
    return row->GetValueField()->GetValue();
}

class OperatorTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        console.reset();
        wxTheApp->ProcessIdle();
    }

    test::TempDir config;
    std::unique_ptr<Console> console;
};

TEST_F(OperatorTest, ModbusTcpNetworkAndDeviceFromTheDialogsReadAPymodbusServer)
{
    if (!mbtest::have_pymodbus())
        GTEST_SKIP() << "/usr/bin/python3 cannot import pymodbus (python3-pymodbus)";
    std::unique_ptr<mbtest::Child> server;
    // Holding register a of unit 1 holds a * 7 + 1; register 15 is missing.
    const std::string port = mbtest::start_modbus_server(server, {"--tcp", "0", "--holes", "15"});
    ASSERT_FALSE(port.empty()) << "pymodbus did not start";

    console = std::make_unique<Console>(config.path(), PLEXORD_INIT_NO_DEMO);
    auto* dialog = new DeviceDlg(console->Frame());
    wxTEST_DIALOG(dialog->AddNetwork(), PickType(wxID_OK, "MODBUS/TCP"),
                  FillNetworkSetup<ModbusTcpSetupDialog>(
                      {{"name", "Line 2"}, {"address", "127.0.0.1"}, {"port", wxString::FromUTF8(port)}}));
    unsigned short meter = 0;
    wxTEST_DIALOG(dialog->AddDevice(), PickNetwork(wxID_OK, 0), FillDeviceSetup("Meter", "1", "", &meter));
    EXPECT_EQ(test::Rows(dialog->GetNetworkList()).size(), 1u);
    EXPECT_EQ(test::Rows(dialog->GetDeviceList()).size(), 1u);
    dialog->Destroy();

    EXPECT_EQ(Devices(), (std::vector<DeviceRecord>{{"Meter", "1", "", "Line 2", false}}));
    ASSERT_TRUE(test::WaitFor([&] { return console->PanelOf(meter) != nullptr; })) << "no panel for the device";
    EXPECT_EQ(console->Frame()->GetNetworkPanels().size(), 1u);
    DevicePanel* panel = console->PanelOf(meter);
    panel->ToggleDetails();

    auto* view = new DataView(console->Frame(), wxDefaultPosition, wxSize(475, 200));
    view->Show();
    DataItemBar* row = view->GetRows().at(0);
    EXPECT_EQ(ReadInRow(row, meter, "10"), "71");
    row->SetNewValue("1234");
    row->WriteValue();
    // A write is read back at once.
    EXPECT_EQ(row->GetValueField()->GetValue(), "1234");
    EXPECT_EQ(ReadInRow(row, meter, "15"), "#####");

    EXPECT_TRUE(test::WaitFor([&] {
        return panel->GetReads() == 3 && panel->GetFailedReads() == 1 && panel->GetWrites() == 1;
    })) << panel->GetReads() << " reads, " << panel->GetFailedReads() << " failed, " << panel->GetWrites()
        << " writes";
    EXPECT_EQ(panel->GetFailedWrites(), 0);
    EXPECT_EQ(panel->GetDetails(), DeviceDetailsText(wxString(), 3, 1, 1, 0));
    view->Destroy();
}

TEST_F(OperatorTest, DemoPlantBuiltAgainWithTheDialogsAloneSurvivesARestart)
{
    // What the core builds by itself on a missing configuration.
    test::TempDir reference;
    console = std::make_unique<Console>(reference.path(), 0);
    const std::vector<NetworkRecord> demoNetworks = Networks();
    const std::vector<DeviceRecord> demoDevices = Devices();
    console.reset();
    ASSERT_EQ(demoNetworks.size(), 1u);
    ASSERT_EQ(demoDevices.size(), 4u);

    // The operator brings the setpoint file and starts from nothing.
    std::filesystem::copy_file(reference.file(demoNetworks[0].filename), config.file(demoNetworks[0].filename));
    const std::string setpoints = test::ReadFile(config.file(demoNetworks[0].filename));
    console = std::make_unique<Console>(config.path(), PLEXORD_INIT_NO_DEMO);
    ASSERT_EQ(networkmgr_get_network_count(), 0);

    auto* dialog = new DeviceDlg(console->Frame());
    const NetworkRecord& plant = demoNetworks[0];
    ASSERT_EQ(plant.type, "db");
    wxTEST_DIALOG(dialog->AddNetwork(), PickType(wxID_OK, "Database"),
                  FillNetworkSetup<DBComSetupDlg>({{"name", wxString::FromUTF8(plant.name)},
                                                   {"filename", wxString::FromUTF8(plant.filename)},
                                                   {"delay", wxString::Format("%d", plant.delay)}}));
    for (const DeviceRecord& device : demoDevices) {
        wxTEST_DIALOG(dialog->AddDevice(), PickNetwork(wxID_OK, 0),
                      FillDeviceSetup(wxString::FromUTF8(device.name), wxString::FromUTF8(device.address),
                                      wxString::FromUTF8(device.hardware)));
    }
    EXPECT_EQ(test::Rows(dialog->GetDeviceList()).size(), demoDevices.size());
    dialog->Destroy();

    // At once in the running core and on the status window.
    EXPECT_EQ(Networks(), demoNetworks);
    EXPECT_EQ(Devices(), demoDevices);
    EXPECT_TRUE(test::WaitFor([&] { return console->Frame()->GetDevicePanels().size() == demoDevices.size(); }));
    EXPECT_EQ(console->Frame()->GetNetworkPanels().size(), 1u);

    // The devices read the operator's file.
    auto* view = new DataView(console->Frame(), wxDefaultPosition, wxSize(475, 200));
    DataItemBar* row = view->GetRows().at(0);
    const unsigned short boiler = DeviceNamed(demoDevices[0].name);
    const wxString value = ReadInRow(row, boiler, "PV");
    EXPECT_NE(value, "#####") << row->GetValueField()->GetToolTipText();
    EXPECT_NE(setpoints.find("PV=" + value.utf8_string()), std::string::npos) << value;
    view->Destroy();

    // Saved on exit and back after a restart; no demo is built on top.
    console.reset();
    console = std::make_unique<Console>(config.path(), PLEXORD_INIT_NO_DEMO);
    EXPECT_EQ(Networks(), demoNetworks);
    EXPECT_EQ(Devices(), demoDevices);
    EXPECT_TRUE(test::WaitFor([&] { return console->Frame()->GetDevicePanels().size() == demoDevices.size(); }));
}

} // namespace
