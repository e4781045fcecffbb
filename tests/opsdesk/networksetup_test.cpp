// The network setup dialogs on the real core: the "db" plug-in and a test
// plug-in for the other types, which logs every parameter it is given.
#include "gui_support.h"
#include "networksetup.h"
#include "networktypes.h"
#include "support.h"

#include <gtest/gtest.h>

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/combobox.h>
#include <wx/filedlg.h>
#include <wx/spinctrl.h>
#include <wx/textctrl.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

class NetworkSetupTest : public ::testing::Test
{
protected:
    NetworkSetupTest()
        : log(config.file("testnets.log"))
    {
        setenv("OPSDESK_TESTNETS_LOG", log.c_str(), 1);
    }
    ~NetworkSetupTest() override { unsetenv("OPSDESK_TESTNETS_LOG"); }

    void TearDown() override
    {
        dialog.reset();
        core.Finish();
    }

    // A stopped network of the type, so that each value the console sets
    // reaches the plug-in at once and in order. set() presets parameters.
    template <typename Set>
    uint16_t AddNetwork(const char* type, Set set)
    {
        network_t* network = plexord_create_network(type);
        EXPECT_NE(network, nullptr) << type;
        if (!network)
            return 0;
        const uint16_t id = network_get_id(network);
        networkmgr_add_network(network);
        network_t* held = networkmgr_fetch_network(id, 1000);
        network_stop(held);
        set(held);
        networkmgr_drop_network(held);
        ClearLog();
        return id;
    }
    uint16_t AddNetwork(const char* type)
    {
        return AddNetwork(type, [](network_t*) {});
    }

    NetworkSetupDlg* Open(uint16_t id)
    {
        network_t* network = networkmgr_fetch_network(id, 1000);
        wxDialog* created = CreateNetworkSetupDialog(nullptr, network);
        networkmgr_drop_network(network);
        dialog.reset(created);
        return dynamic_cast<NetworkSetupDlg*>(created);
    }

    template <typename Control>
    Control* Field(const char* key)
    {
        auto* control = dynamic_cast<Control*>(wxWindow::FindWindowByName(key, dialog.get()));
        EXPECT_NE(control, nullptr) << key;
        return control;
    }

    void ClearLog() { test::WriteFile(log, ""); }
    Lines Log() const
    {
        Lines lines;
        std::istringstream in(test::ReadFile(log));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    static std::string Name(uint16_t id)
    {
        network_t* network = networkmgr_fetch_network(id, 1000);
        const std::string name = network ? network_get_name(network) : "";
        networkmgr_drop_network(network);
        return name;
    }

    // OK that has to be refused with a message; gives the message.
    wxString RefusedOk()
    {
        wxString message;
        bool applied = true;
        auto* setup = static_cast<NetworkSetupDlg*>(dialog.get());
        const auto press = [&] { applied = setup->ApplySettings(); };
        wxTEST_DIALOG(press(), test::AnswerMessage(wxID_OK, &message));
        EXPECT_FALSE(applied);
        return message;
    }
    bool Ok() { return static_cast<NetworkSetupDlg*>(dialog.get())->ApplySettings(); }

    // Shows the dialog modally and presses a button in it once it runs.
    int ShowAndPress(int button, std::function<void()> edit = {})
    {
        wxDialog* shown = dialog.get();
        shown->CallAfter([shown, button, edit] {
            if (edit)
                edit();
            wxWindow* b = shown->FindWindow(button);
            wxCommandEvent click(wxEVT_BUTTON, button);
            click.SetEventObject(b);
            b->GetEventHandler()->ProcessEvent(click);
        });
        return shown->ShowModal();
    }

    test::TempDir config;
    std::string log;
    test::CoreRun core{config.path()};
    std::unique_ptr<wxDialog> dialog;
};

TEST_F(NetworkSetupTest, EveryTableTypeOpensItsOwnDialog)
{
    struct Expected
    {
        const char* key;
        const char* title;
        bool (*is)(wxDialog*);
    };
    const Expected expected[] = {
        {"directnet", "DirectNET", [](wxDialog* d) { return dynamic_cast<DNETIoSetupDlg*>(d) != nullptr; }},
        {"sl3", "SuperLink", [](wxDialog* d) { return dynamic_cast<SLComSetupDlg*>(d) != nullptr; }},
        {"lct1", "LCT-1", [](wxDialog* d) { return dynamic_cast<LCT1ComSetupDlg*>(d) != nullptr; }},
        {"db", "Database", [](wxDialog* d) { return dynamic_cast<DBComSetupDlg*>(d) != nullptr; }},
        {"plexor", "Plexor network", [](wxDialog* d) { return dynamic_cast<PlexorSetupDlg*>(d) != nullptr; }},
        {"modbus/rtu", "MODBUS/RTU",
         [](wxDialog* d) { return dynamic_cast<ModbusSerialSetupDialog*>(d) != nullptr; }},
        {"modbus/tcp", "MODBUS/TCP", [](wxDialog* d) { return dynamic_cast<ModbusTcpSetupDialog*>(d) != nullptr; }},
        {"modbus/xbee", "MODBUS/XBee",
         [](wxDialog* d) { return dynamic_cast<ModbusSerialSetupDialog*>(d) != nullptr; }},
        {"arcnet/dgt", "ARCNET/DGT", [](wxDialog* d) { return dynamic_cast<ArcnetDgtSetupDialog*>(d) != nullptr; }},
        {"txif", "TXIF", [](wxDialog* d) { return dynamic_cast<TXIFSetupDialog*>(d) != nullptr; }},
        {"dgt-serial", "DGT serial", [](wxDialog* d) { return dynamic_cast<DgtSerialSetupDlg*>(d) != nullptr; }},
    };
    ASSERT_EQ(std::size(expected), NetworkTypeTable().size());
    for (const Expected& e : expected) {
        ASSERT_TRUE(plexord_has_network_type(e.key)) << e.key;
        const uint16_t id = AddNetwork(e.key);
        NetworkSetupDlg* setup = Open(id);
        ASSERT_NE(setup, nullptr) << e.key;
        EXPECT_TRUE(e.is(setup)) << e.key;
        EXPECT_EQ(setup->GetTitle(), e.title);
        EXPECT_EQ(setup->GetNetworkId(), id);
        EXPECT_TRUE(setup->GetIcon().IsOk()) << e.key;
        // Every dialog loads the core's name into its first field.
        EXPECT_EQ(Field<wxTextCtrl>("name")->GetValue(), wxString::FromUTF8(Name(id))) << e.key;
    }
}

TEST_F(NetworkSetupTest, TypeWithoutDialogOpensNothing)
{
    const uint16_t id = AddNetwork("test/loopback");
    EXPECT_EQ(Open(id), nullptr);
    EXPECT_EQ(dialog, nullptr);
    EXPECT_EQ(CreateNetworkSetupDialog(nullptr, nullptr), nullptr);
}

TEST_F(NetworkSetupTest, DirectNetNeedsHexAsciiThenWritesInOrder)
{
    const uint16_t id = AddNetwork("directnet", [](network_t* n) {
        network_set(n, "name", "Line A", "port", "ttyUSB3", "speed", 19200, "parity", 1, "stopbit", 1, "databits",
                    8, "mode", 0, static_cast<char*>(nullptr));
    });
    ASSERT_NE(Open(id), nullptr);
    EXPECT_EQ(Field<wxTextCtrl>("name")->GetValue(), "Line A");
    EXPECT_EQ(Field<wxComboBox>("port")->GetValue(), "ttyUSB3"); // typed, not listed
    EXPECT_EQ(Field<wxChoice>("speed")->GetStringSelection(), "19200");
    EXPECT_EQ(Field<wxChoice>("parity")->GetSelection(), 0);
    EXPECT_EQ(Field<wxChoice>("stopbit")->GetSelection(), 0);
    EXPECT_EQ(Field<wxChoice>("databits")->GetSelection(), 0);
    EXPECT_EQ(Field<wxChoice>("mode")->GetSelection(), wxNOT_FOUND);

    EXPECT_EQ(RefusedOk(), "Erroneous settings");
    EXPECT_TRUE(Log().empty());

    Field<wxChoice>("mode")->SetSelection(0);
    Field<wxChoice>("parity")->SetSelection(1);
    Field<wxComboBox>("port")->SetSelection(1);
    Field<wxTextCtrl>("name")->ChangeValue("Line B");
    ASSERT_TRUE(Ok());
    EXPECT_EQ(Log(), (Lines{"directnet set port=COM2", "directnet set speed=19200", "directnet set parity=2",
                            "directnet set stopbit=1", "directnet set databits=8", "directnet set mode=2",
                            "directnet start"}));
    EXPECT_EQ(Name(id), "Line B");
}

TEST_F(NetworkSetupTest, ModbusRtuWithUnlistedBaudRateIsRefusedUntilOneIsChosen)
{
    const uint16_t id = AddNetwork("modbus/rtu", [](network_t* n) {
        network_set(n, "port", "COM3", "baudrate", 14400, "parity", 2, "stopbits", 0, "databits", 1,
                    static_cast<char*>(nullptr));
    });
    ASSERT_NE(Open(id), nullptr);
    EXPECT_EQ(Field<wxComboBox>("port")->GetSelection(), 2);
    EXPECT_EQ(Field<wxChoice>("baudrate")->GetSelection(), wxNOT_FOUND);
    EXPECT_EQ(Field<wxChoice>("parity")->GetStringSelection(), "None");
    EXPECT_EQ(Field<wxChoice>("stopbits")->GetSelection(), 0);
    EXPECT_EQ(Field<wxChoice>("databits")->GetSelection(), 0);

    EXPECT_EQ(RefusedOk(), "Illegal settings");
    EXPECT_TRUE(Log().empty());

    Field<wxChoice>("baudrate")->SetSelection(9);
    Field<wxComboBox>("port")->SetValue("/dev/ttyUSB1");
    ASSERT_TRUE(Ok());
    EXPECT_EQ(Log(), (Lines{"modbus/rtu set port=/dev/ttyUSB1", "modbus/rtu set baudrate=115200",
                            "modbus/rtu set parity=2", "modbus/rtu set stopbits=0", "modbus/rtu set databits=1",
                            "modbus/rtu start"}));
}

TEST_F(NetworkSetupTest, ModbusXbeeTakesModbusCodesNotDirectNetOnes)
{
    // Stop bits 1 and data bits 8 are DirectNET's numbers: nothing selected.
    const uint16_t id = AddNetwork("modbus/xbee", [](network_t* n) {
        network_set(n, "baudrate", 9600, "parity", 1, "stopbits", 1, "databits", 8, static_cast<char*>(nullptr));
    });
    ASSERT_NE(Open(id), nullptr);
    EXPECT_EQ(Field<wxChoice>("baudrate")->GetSelection(), 5);
    EXPECT_EQ(Field<wxChoice>("parity")->GetStringSelection(), "Odd");
    EXPECT_EQ(Field<wxChoice>("stopbits")->GetSelection(), wxNOT_FOUND);
    EXPECT_EQ(RefusedOk(), "Illegal settings");
    Field<wxChoice>("stopbits")->SetSelection(0);
    EXPECT_EQ(RefusedOk(), "Illegal settings");
    Field<wxChoice>("databits")->SetSelection(0);
    ASSERT_TRUE(Ok());
    EXPECT_EQ(Log(), (Lines{"modbus/xbee set port=", "modbus/xbee set baudrate=9600", "modbus/xbee set parity=1",
                            "modbus/xbee set stopbits=0", "modbus/xbee set databits=1", "modbus/xbee start"}));
}

TEST_F(NetworkSetupTest, ModbusTcpLoadsAndWritesAddressAndPort)
{
    const uint16_t id = AddNetwork("modbus/tcp", [](network_t* n) {
        network_set(n, "address", "10.0.0.5", "port", 1502, static_cast<char*>(nullptr));
    });
    ASSERT_NE(Open(id), nullptr);
    auto* port = Field<wxSpinCtrl>("port");
    EXPECT_EQ(Field<wxTextCtrl>("address")->GetValue(), "10.0.0.5");
    EXPECT_EQ(port->GetValue(), 1502);
    EXPECT_EQ(port->GetMin(), 1);
    EXPECT_EQ(port->GetMax(), 65535);
    port->SetValue(65535);
    Field<wxTextCtrl>("address")->ChangeValue("plc.local");
    ASSERT_TRUE(Ok());
    EXPECT_EQ(Log(),
              (Lines{"modbus/tcp set address=plc.local", "modbus/tcp set port=65535", "modbus/tcp start"}));
}

TEST_F(NetworkSetupTest, PlexordKeepsPort9000AndMasksThePassword)
{
    const uint16_t id = AddNetwork("plexor", [](network_t* n) {
        network_set(n, "address", "hq", "port", 9000, "username", "op", "password", "s3cret",
                    static_cast<char*>(nullptr));
    });
    ASSERT_NE(Open(id), nullptr);
    auto* port = Field<wxSpinCtrl>("port");
    EXPECT_EQ(port->GetValue(), 9000);
    // A TCP port: nothing outside 1..65535 can be typed.
    EXPECT_EQ(port->GetMin(), 1);
    EXPECT_EQ(port->GetMax(), 65535);
    EXPECT_EQ(Field<wxTextCtrl>("username")->GetValue(), "op");
    EXPECT_TRUE(Field<wxTextCtrl>("password")->HasFlag(wxTE_PASSWORD));
    Field<wxTextCtrl>("password")->ChangeValue("n3w");
    ASSERT_TRUE(Ok());
    EXPECT_EQ(Log(), (Lines{"plexor set address=hq", "plexor set password=n3w", "plexor set port=9000",
                            "plexor set username=op", "plexor start"}));
}

TEST_F(NetworkSetupTest, ArcnetWritesDevice)
{
    const uint16_t id = AddNetwork("arcnet/dgt", [](network_t* n) {
        network_set(n, "device", "usb-0", static_cast<char*>(nullptr));
    });
    ASSERT_NE(Open(id), nullptr);
    EXPECT_EQ(Field<wxTextCtrl>("device")->GetValue(), "usb-0");
    Field<wxTextCtrl>("device")->ChangeValue("usb-1");
    ASSERT_TRUE(Ok());
    EXPECT_EQ(Log(), (Lines{"arcnet/dgt set device=usb-1", "arcnet/dgt start"}));
}

TEST_F(NetworkSetupTest, TxifSkipsAnUnreadableTimeoutAndNeverRestarts)
{
    const uint16_t id = AddNetwork("txif", [](network_t* n) {
        network_set(n, "timeout", 250, static_cast<char*>(nullptr));
    });
    ASSERT_NE(Open(id), nullptr);
    EXPECT_EQ(Field<wxTextCtrl>("timeout")->GetValue(), "250");
    Field<wxTextCtrl>("name")->ChangeValue("Adapter");
    Field<wxTextCtrl>("timeout")->ChangeValue("abc");
    ASSERT_TRUE(Ok()); // no message, and the dialog closes
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(Name(id), "Adapter");

    Field<wxTextCtrl>("timeout")->ChangeValue("-3");
    ASSERT_TRUE(Ok());
    EXPECT_EQ(Log(), (Lines{"txif set timeout=-3"}));
}

TEST_F(NetworkSetupTest, SuperLinkChecksFlagThenTimeout)
{
    const uint16_t id = AddNetwork("sl3", [](network_t* n) {
        network_set(n, "path", "/srv/sl", "flag", 4, "timeout", 30, static_cast<char*>(nullptr));
    });
    ASSERT_NE(Open(id), nullptr);
    EXPECT_EQ(Field<wxTextCtrl>("path")->GetValue(), "/srv/sl");
    EXPECT_EQ(Field<wxTextCtrl>("flag")->GetValue(), "4");
    EXPECT_EQ(Field<wxTextCtrl>("timeout")->GetValue(), "30");

    Field<wxTextCtrl>("flag")->ChangeValue("4x");
    Field<wxTextCtrl>("timeout")->ChangeValue("");
    EXPECT_EQ(RefusedOk(), "Illegal flag");
    Field<wxTextCtrl>("flag")->ChangeValue("5");
    EXPECT_EQ(RefusedOk(), "Illegal timeout");
    EXPECT_TRUE(Log().empty());

    Field<wxTextCtrl>("timeout")->ChangeValue("60");
    ASSERT_TRUE(Ok());
    EXPECT_EQ(Log(), (Lines{"sl3 set path=/srv/sl", "sl3 set flag=5", "sl3 set timeout=60", "sl3 start"}));
}

// Listed ports are chosen; any other (a USB adapter) is typed in, and a stored
// one that is not listed survives an OK untouched.
TEST_F(NetworkSetupTest, Lct1AndDgtSerialTakeListedAndTypedPorts)
{
    const uint16_t listed = AddNetwork("lct1", [](network_t* n) {
        network_set(n, "port", "COM2", static_cast<char*>(nullptr));
    });
    ASSERT_NE(Open(listed), nullptr);
    EXPECT_EQ(Field<wxComboBox>("port")->GetStringSelection(), "COM2");
    Field<wxComboBox>("port")->SetSelection(7);
    ASSERT_TRUE(Ok());
    EXPECT_EQ(Log(), (Lines{"lct1 set port=COM8", "lct1 start"}));

    for (const char* type : {"lct1", "dgt-serial"}) {
        const uint16_t unlisted = AddNetwork(type, [](network_t* n) {
            network_set(n, "port", "ttyS9", static_cast<char*>(nullptr));
        });
        ClearLog();
        ASSERT_NE(Open(unlisted), nullptr);
        EXPECT_EQ(Field<wxComboBox>("port")->GetSelection(), wxNOT_FOUND) << type;
        EXPECT_EQ(Field<wxComboBox>("port")->GetValue(), "ttyS9") << type;
        ASSERT_TRUE(Ok());
        EXPECT_EQ(Log().front(), std::string(type) + " set port=ttyS9");

        ASSERT_NE(Open(unlisted), nullptr);
        Field<wxComboBox>("port")->ChangeValue("ttyUSB0");
        ClearLog();
        ASSERT_TRUE(Ok());
        const Lines lines = Log();
        EXPECT_NE(std::find(lines.begin(), lines.end(), std::string(type) + " set port=ttyUSB0"), lines.end());
    }
}

TEST_F(NetworkSetupTest, RunningNetworkIsStoppedAndStartedAgain)
{
    const uint16_t id = AddNetwork("lct1");
    network_t* network = networkmgr_fetch_network(id, 1000);
    network_start(network);
    networkmgr_drop_network(network);
    ClearLog();

    ASSERT_NE(Open(id), nullptr);
    Field<wxComboBox>("port")->SetSelection(0);
    ASSERT_TRUE(Ok());
    const Lines lines = Log();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "lct1 stop");
    EXPECT_EQ(lines.back(), "lct1 start");
    // The new port reached the plug-in before the start.
    EXPECT_NE(std::find(lines.begin(), lines.end(), "lct1 set port=COM1"), lines.end());
    network = networkmgr_fetch_network(id, 1000);
    EXPECT_TRUE(network_is_started(network));
    networkmgr_drop_network(network);
}

TEST_F(NetworkSetupTest, DgtSerialWritesEachClearedBoxInItsOwnCall)
{
    const uint16_t id = AddNetwork("dgt-serial", [](network_t* n) {
        network_set(n, "port", "COM4", "enable_sync_clock", 1, "enable_co2", 0, "co2_one_off_error", 1,
                    static_cast<char*>(nullptr));
    });
    ASSERT_NE(Open(id), nullptr);
    EXPECT_EQ(Field<wxComboBox>("port")->GetStringSelection(), "COM4");
    EXPECT_TRUE(Field<wxCheckBox>("enable_sync_clock")->GetValue());
    EXPECT_FALSE(Field<wxCheckBox>("enable_co2")->GetValue());
    EXPECT_TRUE(Field<wxCheckBox>("co2_one_off_error")->GetValue());
    for (const char* key : {"enable_sync_clock", "enable_co2", "co2_one_off_error"})
        Field<wxCheckBox>(key)->SetValue(false);
    ASSERT_TRUE(Ok());
    EXPECT_EQ(Log(), (Lines{"dgt-serial set port=COM4", "dgt-serial set enable_co2=0",
                            "dgt-serial set co2_one_off_error=0", "dgt-serial set enable_sync_clock=0",
                            "dgt-serial start"}));
}

TEST_F(NetworkSetupTest, DatabaseWritesFileAndDelayAndRuns)
{
    const std::string file = config.file("plant.ini");
    const uint16_t id = test::AddDbNetwork("Plant", file);
    ASSERT_NE(Open(id), nullptr);
    EXPECT_EQ(Field<wxTextCtrl>("name")->GetValue(), "Plant");
    EXPECT_EQ(Field<wxTextCtrl>("filename")->GetValue(), wxString::FromUTF8(file));
    auto* delay = Field<wxSpinCtrl>("delay");
    EXPECT_EQ(delay->GetValue(), 0);
    EXPECT_EQ(delay->GetMin(), 0);
    EXPECT_EQ(delay->GetMax(), 60000);

    // "..." puts the chosen file's full path into the field.
    const std::string other = config.file("other.ini");
    test::WriteFile(other, "");
    wxWindow* browse = Field<wxButton>("browse");
    const auto pick = [browse] {
        wxCommandEvent click(wxEVT_BUTTON, browse->GetId());
        click.SetEventObject(browse);
        browse->GetEventHandler()->ProcessEvent(click);
    };
    wxString folder, title;
    wxTEST_DIALOG(pick(), test::AnswerFile(other, &title, &folder));
    EXPECT_EQ(folder, config.wxpath()); // the folder of the current file
    EXPECT_EQ(title, "Filename");
    EXPECT_EQ(Field<wxTextCtrl>("filename")->GetValue(), wxString::FromUTF8(other));
    Field<wxTextCtrl>("name")->ChangeValue("Pilot plant");
    delay->SetValue(250);
    ASSERT_TRUE(Ok());

    network_t* network = networkmgr_fetch_network(id, 1000);
    const char* filename = nullptr;
    int stored = -1;
    network_get(network, "filename", &filename, "delay", &stored, static_cast<char*>(nullptr));
    EXPECT_STREQ(network_get_name(network), "Pilot plant");
    EXPECT_EQ(std::string(filename ? filename : ""), other);
    EXPECT_EQ(stored, 250);
    EXPECT_TRUE(network_is_started(network));
    networkmgr_drop_network(network);
}

TEST_F(NetworkSetupTest, CancelEndsWithZeroAndWritesNothingForEveryType)
{
    for (const NetworkTypeRow& row : NetworkTypeTable()) {
        const uint16_t id = AddNetwork(row.key);
        const std::string before = Name(id);
        ASSERT_NE(Open(id), nullptr) << row.key;
        EXPECT_EQ(ShowAndPress(wxID_CANCEL, [this] { Field<wxTextCtrl>("name")->ChangeValue("Changed"); }), 0)
            << row.key;
        EXPECT_EQ(Name(id), before) << row.key;
        EXPECT_TRUE(Log().empty()) << row.key;
    }
}

TEST_F(NetworkSetupTest, ModalOkEndsWithOne)
{
    const uint16_t id = AddNetwork("modbus/tcp", [](network_t* n) {
        network_set(n, "name", "Before", "address", "a", "port", 502, static_cast<char*>(nullptr));
    });
    ASSERT_NE(Open(id), nullptr);
    EXPECT_EQ(ShowAndPress(wxID_OK, [this] { Field<wxTextCtrl>("name")->ChangeValue("After"); }), 1);
    EXPECT_EQ(Name(id), "After");
    EXPECT_EQ(Log(), (Lines{"modbus/tcp set address=a", "modbus/tcp set port=502", "modbus/tcp start"}));
}

TEST_F(NetworkSetupTest, RefusedOkKeepsTheModalDialogOpen)
{
    const uint16_t id = AddNetwork("sl3");
    ASSERT_NE(Open(id), nullptr);
    wxDialog* shown = dialog.get();
    wxString message;
    bool stillOpen = false;
    // The OK button is pressed inside the dialog's own loop, where the
    // message box it brings up is answered.
    shown->CallAfter([&, shown] {
        Field<wxTextCtrl>("flag")->ChangeValue("?");
        const auto press = [shown] {
            wxWindow* ok = shown->FindWindow(wxID_OK);
            wxCommandEvent click(wxEVT_BUTTON, wxID_OK);
            click.SetEventObject(ok);
            ok->GetEventHandler()->ProcessEvent(click);
        };
        wxTEST_DIALOG(press(), test::AnswerMessage(wxID_OK, &message));
        stillOpen = shown->IsModal();
        shown->EndModal(0);
    });
    EXPECT_EQ(shown->ShowModal(), 0);
    EXPECT_EQ(message, "Illegal flag");
    EXPECT_TRUE(stillOpen);
    EXPECT_TRUE(Log().empty());
}

// The test plug-in refuses a text that begins with "bad:".
TEST_F(NetworkSetupTest, RefusedValueIsShownAndOkWaitsForOneTheCoreTakes)
{
    const std::string refused = "Invalid argument (testnets: value refused by the test plug-in, code 2)";
    const auto shown = [this](const std::string& head) {
        auto* setup = static_cast<NetworkSetupDlg*>(dialog.get());
        return setup->IsNotificationShown() &&
               setup->GetNotification()->GetLabel().utf8_string().rfind(head, 0) == 0;
    };

    // A stopped network: the core refuses the value at once and the
    // network is not started; what it took stays written.
    const uint16_t stopped = AddNetwork("plexor");
    ASSERT_NE(Open(stopped), nullptr);
    Field<wxTextCtrl>("address")->ChangeValue("bad:host");
    Field<wxTextCtrl>("username")->ChangeValue("op");
    Field<wxSpinCtrl>("port")->SetValue(7000);
    EXPECT_FALSE(Ok());
    EXPECT_TRUE(shown("The network did not accept these settings:\n" + refused));
    EXPECT_EQ(Log(), (Lines{"plexor set password=", "plexor set port=7000", "plexor set username=op"}));
    ClearLog();
    Field<wxTextCtrl>("address")->ChangeValue("hq");
    ASSERT_TRUE(Ok());
    EXPECT_FALSE(static_cast<NetworkSetupDlg*>(dialog.get())->IsNotificationShown());
    EXPECT_EQ(Log().back(), "plexor start");

    // A running network takes the value for its next start, which fails.
    const uint16_t running = AddNetwork("modbus/tcp");
    network_t* network = networkmgr_fetch_network(running, 1000);
    network_start(network);
    networkmgr_drop_network(network);
    ASSERT_NE(Open(running), nullptr);
    Field<wxTextCtrl>("address")->ChangeValue("bad:plc");
    EXPECT_FALSE(Ok());
    EXPECT_TRUE(shown("The network could not be started with these settings:\n" + refused));
    network = networkmgr_fetch_network(running, 1000);
    EXPECT_FALSE(network_is_started(network));
    networkmgr_drop_network(network);

    // In the dialog's own loop: OK leaves it open until the value is good.
    wxDialog* setup = dialog.get();
    bool openAfterRefusal = false;
    const auto press = [setup] {
        wxCommandEvent click(wxEVT_BUTTON, wxID_OK);
        click.SetEventObject(setup->FindWindow(wxID_OK));
        setup->FindWindow(wxID_OK)->GetEventHandler()->ProcessEvent(click);
    };
    setup->CallAfter([&] {
        press();
        openAfterRefusal = setup->IsModal();
        Field<wxTextCtrl>("address")->ChangeValue("plc");
        press();
    });
    EXPECT_EQ(setup->ShowModal(), 1);
    EXPECT_TRUE(openAfterRefusal);
    network = networkmgr_fetch_network(running, 1000);
    EXPECT_TRUE(network_is_started(network));
    networkmgr_drop_network(network);
}

TEST_F(NetworkSetupTest, NetworkRemovedWhileOpenIsNotReportedAsApplied)
{
    const uint16_t id = AddNetwork("arcnet/dgt");
    ASSERT_NE(Open(id), nullptr);
    networkmgr_remove_network(id);
    ClearLog();
    EXPECT_EQ(RefusedOk(), "The network no longer exists.");
    EXPECT_TRUE(Log().empty());
}

} // namespace
