// The backup windows on the real core with the "db" plug-in and the demo
// plant's setpoints: backup, compare, restore, cancel and the device panel.
#include "backup-window.h"
#include "devicedlg.h"
#include "eventbridge.h"
#include "gui_support.h"
#include "status-window.h"
#include "support.h"

#include <gtest/gtest.h>

#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/filedlg.h>
#include <wx/frame.h>
#include <wx/listctrl.h>
#include <wx/stattext.h>

#include <filesystem>
#include <functional>
#include <vector>

namespace {

const char kTc200[] = "TC-200 Temperature controller";
const char kPx40[] = "PX-40 Pressure transmitter";

std::vector<std::string> Rows(wxListCtrl* list)
{
    std::vector<std::string> rows;
    for (long r = 0; r < list->GetItemCount(); ++r) {
        std::string row;
        for (int c = 0; c < list->GetColumnCount(); ++c)
            row += (c ? "|" : "") + std::string(list->GetItemText(r, c).utf8_str());
        rows.push_back(row);
    }
    return rows;
}

// Runs the window in place of showing it, and keeps what it listed.
class RunWindow : public wxExpectModalBase<RestoreWindow, RunWindow>
{
public:
    explicit RunWindow(std::vector<std::string>* rows = nullptr, int* mode = nullptr)
        : m_rows(rows)
        , m_mode(mode)
    {
    }

protected:
    int OnInvoked(RestoreWindow* window) const override
    {
        window->Run();
        if (!window->IsFinished() || window->GetGauge()->GetValue() != window->GetGauge()->GetRange())
            throw WxTestFailure("the run did not finish");
        if (m_rows)
            *m_rows = Rows(window->GetList());
        if (m_mode)
            *m_mode = window->GetMode();
        return wxID_OK;
    }

private:
    std::vector<std::string>* m_rows;
    int* m_mode;
};

// Presses OK in the dialog as it was prepared.
class ConfirmBackup : public wxExpectModalBase<BackupDialog, ConfirmBackup>
{
public:
    explicit ConfirmBackup(std::function<void(BackupDialog*)> adjust = {}, int answer = wxID_OK)
        : m_adjust(std::move(adjust))
        , m_answer(answer)
    {
    }

protected:
    int OnInvoked(BackupDialog* dialog) const override
    {
        if (m_adjust)
            m_adjust(dialog);
        return m_answer;
    }

private:
    std::function<void(BackupDialog*)> m_adjust;
    int m_answer;
};

class BackupGuiTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        frame = new wxFrame(nullptr, wxID_ANY, "backup", wxDefaultPosition, wxSize(400, 400));
        frame->Show();
        test::WriteFile(config.file("plant.ini"),
                        test::ReadFile(std::string(OPSDESK_TEST_DATA_DIR) + "/demo/demo-setpoints.ini"));
        network = test::AddDbNetwork("Plant", config.file("plant.ini"));
        boiler = test::AddDevice(network, "Boiler", "boiler", kTc200);
        pressure = test::AddDevice(network, "Pressure", "pressure", kPx40);
        bare = test::AddDevice(network, "Bare", "bare");
    }
    void TearDown() override
    {
        delete frame;
        core.Finish();
    }

    double Read(uint16_t device, const char* item, const char* flag = nullptr)
    {
        network_t* n = networkmgr_fetch_network(network, 1000);
        network_reset_request(n);
        network_queue_read_float(n, device, item, flag);
        network_flush(n);
        double value = -999;
        const ncerr_t r = network_result_float(n, device, item, flag, &value);
        networkmgr_drop_network(n);
        EXPECT_TRUE(ncerr_is_ok(r)) << item;
        return value;
    }

    void Write(uint16_t device, const char* item, double value, const char* flag = nullptr)
    {
        network_t* n = networkmgr_fetch_network(network, 1000);
        network_reset_request(n);
        network_queue_write_float(n, device, item, flag, value);
        EXPECT_TRUE(ncerr_is_ok(network_flush(n))) << item;
        networkmgr_drop_network(n);
    }

    // A restore-mode dialog on the file with the device chosen.
    std::vector<std::string> RunRestore(const std::string& path, uint16_t device, bool compareOnly)
    {
        BackupDialog dialog(frame, true);
        EXPECT_TRUE(dialog.LoadBackup(wxString::FromUTF8(path)));
        dialog.SelectDevice(device);
        dialog.GetCompareOnly()->SetValue(compareOnly);
        std::vector<std::string> rows;
        int mode = -1;
        wxTEST_DIALOG(dialog.Run(), RunWindow(&rows, &mode));
        EXPECT_EQ(mode, compareOnly ? RestoreWindow::MODE_COMPARE : RestoreWindow::MODE_RESTORE);
        return rows;
    }

    test::TempDir config;
    EventBridge bridge;
    test::CoreRun core{config.path()};
    wxFrame* frame = nullptr;
    uint16_t network = 0;
    uint16_t boiler = 0;
    uint16_t pressure = 0;
    uint16_t bare = 0;
};

TEST_F(BackupGuiTest, BackupCompareRestoreCompare)
{
    const std::string path = config.file("boiler.xml");
    {
        BackupDialog dialog(frame, false);
        ASSERT_TRUE(dialog.LoadTemplate(boiler));
        unsigned short chosen = 0;
        ASSERT_TRUE(dialog.GetSelectedDevice(&chosen));
        EXPECT_EQ(chosen, boiler);
        ASSERT_EQ(dialog.GetGroupBoxes().size(), 4u);
        EXPECT_EQ(dialog.GetGroupBoxes()[0]->GetLabel(), "Backup Setpoints");
        EXPECT_TRUE(dialog.GetGroupBoxes()[3]->GetValue());
        EXPECT_TRUE(dialog.FindWindow(wxID_OK)->IsEnabled());
        dialog.SetPath(wxString::FromUTF8(path));
        std::vector<std::string> rows;
        wxTEST_DIALOG(dialog.Run(), RunWindow(&rows));
        ASSERT_EQ(rows.size(), 4u + 18u); // a heading per group
        EXPECT_EQ(rows[0], "Setpoints|");
        EXPECT_EQ(rows[1], "SP1|65");
    }
    const std::string text = test::ReadFile(path);
    EXPECT_NE(text.find("<plexord-backup device=\"Boiler\" hw=\"TC-200 Temperature controller\">\n"
                        " <group name=\"Setpoints\">\n"
                        "  <sp a=\"SP1\" v=\"65\"/>\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  <sp a=\"FILT\" v=\"2\"/>\n </group>\n</plexord-backup>\n"), std::string::npos);

    Write(boiler, "SP1", 71.5);
    Write(boiler, "PB", 9);
    Write(boiler, "SP2", 55.000001); // as good as the backup's 55
    std::vector<std::string> rows = RunRestore(path, boiler, true);
    EXPECT_EQ(rows, (std::vector<std::string>{"Setpoints||", "SP1|65|71.5", "Control||", "PB|8|9", "Alarms||",
                                              "Input||"}));

    rows = RunRestore(path, boiler, false);
    ASSERT_EQ(rows.size(), 22u);
    EXPECT_EQ(rows[1], "SP1|65|OK");
    for (const std::string& row : rows)
        EXPECT_TRUE(row.ends_with("|OK") || row.ends_with("||")) << row;
    EXPECT_DOUBLE_EQ(Read(boiler, "SP1"), 65);
    EXPECT_DOUBLE_EQ(Read(boiler, "PB"), 8);
    EXPECT_DOUBLE_EQ(Read(boiler, "SP2"), 55);

    rows = RunRestore(path, boiler, true);
    EXPECT_EQ(rows, (std::vector<std::string>{"Setpoints||", "Control||", "Alarms||", "Input||"}));
}

TEST_F(BackupGuiTest, DefaultFlagAndFailedSetpoints)
{
    // The pressure transmitter's template has the default flag "F"; "PMAX"
    // is made to fail by a flag the device does not have.
    const std::string path = config.file("p.xml");
    BackupDialog dialog(frame, false);
    ASSERT_TRUE(dialog.LoadTemplate(pressure));
    dialog.GetData().groups[0].values.push_back(BackupValue{"PMAX", "X", false, 0, {NCERR_OK, 0}});
    dialog.GetGroupBoxes()[1]->SetValue(false);
    dialog.GetGroupBoxes()[2]->SetValue(false);
    dialog.SetPath(wxString::FromUTF8(path));
    std::vector<std::string> rows;
    wxTEST_DIALOG(dialog.Run(), RunWindow(&rows));
    // One group handed: no heading row.
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(rows[0], "UNIT:W|0");
    EXPECT_EQ(rows[1], "LRV:F|0");
    EXPECT_EQ(rows[6].rfind("PMAX:X|", 0), 0u);
    EXPECT_NE(rows[6], "PMAX:X|0");

    const std::string text = test::ReadFile(path);
    EXPECT_NE(text.find("defaultflag=\"F\">\n <group name=\"Measuring range\">\n  <sp a=\"UNIT\" f=\"W\" v=\"0\"/>\n"
                        "  <sp a=\"LRV\" f=\"F\" v=\"0\"/>\n  <sp a=\"URV\" f=\"F\" v=\"10\"/>\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  <sp a=\"PMAX\" f=\"X\" status=\""), std::string::npos);
    EXPECT_EQ(text.find("Switch output"), std::string::npos);

    // Entries with only a status are left out of a restore.
    Write(pressure, "URV", 12, "F");
    rows = RunRestore(path, pressure, false);
    EXPECT_EQ(rows.size(), 6u);
    for (const std::string& row : rows)
        EXPECT_EQ(row.find("PMAX"), std::string::npos);
    EXPECT_DOUBLE_EQ(Read(pressure, "URV", "F"), 10);
}

TEST_F(BackupGuiTest, CancelStopsBeforeTheNextBatch)
{
    BackupData data;
    BackupGroup group;
    group.name = "Many";
    for (const char* item : {"SP1", "SP2", "SPLO", "SPHI", "RAMP", "PB", "TI", "TD", "CT", "OLIM", "AL1", "AL2"})
        group.values.push_back(BackupValue{item, "", false, 0, {NCERR_OK, 0}});
    data.groups.push_back(group);
    data.groups.push_back(group);

    RestoreWindow window(frame, RestoreWindow::MODE_BACKUP, "");
    window.SetDevice(boiler);
    window.AddGroup(&data.groups[0]);
    window.AddGroup(&data.groups[1]);
    window.SetGaugeRange(24);
    // Cancel arrives while the first batch is being flushed.
    window.CallAfter([&] { window.Abort(); });
    window.Run();

    EXPECT_TRUE(window.IsAborted());
    EXPECT_TRUE(window.IsFinished());
    EXPECT_TRUE(window.FindWindow(wxID_OK)->IsShown());
    EXPECT_FALSE(window.FindWindow(wxID_CANCEL)->IsShown());
    EXPECT_EQ(window.GetGauge()->GetValue(), 8);
    const std::vector<std::string> rows = Rows(window.GetList());
    ASSERT_EQ(rows.size(), 1u + 8u + 1u);
    EXPECT_EQ(rows[0], "Many|");
    EXPECT_EQ(rows[1], "SP1|65");
    EXPECT_EQ(rows[9], "Aborted|");
    for (size_t i = 0; i < 12; ++i)
        EXPECT_EQ(data.groups[0].values[i].hasValue, i < 8) << i;
    EXPECT_FALSE(data.groups[1].values[0].hasValue);
    // A second run does nothing.
    window.Run();
    EXPECT_EQ(window.GetList()->GetItemCount(), 10);
}

TEST_F(BackupGuiTest, RunsByItselfOnceShownAndAnnouncesItsIo)
{
    BackupData data;
    BackupGroup group;
    group.values.push_back(BackupValue{"SP1", "", true, 65, {NCERR_OK, 0}});
    group.values.push_back(BackupValue{"NOPE", "", true, 1, {NCERR_OK, 0}});
    data.groups.push_back(group);
    int reads = 0, failed = 0;
    struct Counter
    {
        int* reads;
        int* failed;
        void On(wxNCEvent& e)
        {
            ++*reads;
            if (!e.Succeeded())
                ++*failed;
        }
    } counter{&reads, &failed};
    Listener<Counter, wxNCEvent&> listener(&counter, &Counter::On);
    bridge.onReadResult.Subscribe(listener);

    auto* window = new RestoreWindow(frame, RestoreWindow::MODE_COMPARE, "");
    window->SetDevice(boiler);
    window->AddGroup(&data.groups[0]);
    window->SetGaugeRange(2);
    window->Show();
    ASSERT_TRUE(test::WaitFor([&] { return window->IsFinished(); }));
    EXPECT_TRUE(test::Settle(bridge));
    bridge.onReadResult.Remove(listener);
    EXPECT_EQ(reads, 2);
    EXPECT_EQ(failed, 1);
    const std::vector<std::string> rows = Rows(window->GetList());
    ASSERT_EQ(rows.size(), 1u); // SP1 is unchanged
    EXPECT_EQ(rows[0].rfind("NOPE|1|", 0), 0u);
    window->Destroy();
}

TEST_F(BackupGuiTest, TheEmptyDeviceEntryCannotBeConfirmed)
{
    BackupDialog dialog(frame, false);
    ASSERT_TRUE(dialog.LoadTemplate(boiler));
    wxChoice* choice = dialog.GetDeviceChoice();
    ASSERT_EQ(choice->GetCount(), 4u);
    choice->SetSelection(choice->GetCount() - 1);
    wxCommandEvent event(wxEVT_CHOICE, choice->GetId());
    event.SetInt(choice->GetSelection());
    event.SetEventObject(choice);
    choice->ProcessWindowEvent(event);
    EXPECT_FALSE(dialog.GetSelectedDevice(nullptr));
    EXPECT_FALSE(dialog.FindWindow(wxID_OK)->IsEnabled());
    // Run without a device shows no window and writes nothing.
    dialog.SetPath(config.wxpath() + "/none.xml");
    dialog.Run();
    EXPECT_FALSE(wxFileExists(config.wxpath() + "/none.xml"));

    // Choosing a device without a template says so and leaves no groups.
    SelectItemByData(choice, bare);
    ASSERT_NE(choice->GetSelection(), wxNOT_FOUND);
    event.SetInt(choice->GetSelection());
    wxString message;
    wxTEST_DIALOG(choice->ProcessWindowEvent(event), test::AnswerMessage(wxID_OK, &message));
    EXPECT_EQ(message, "This device can not be backed up as\nthere is no backup template available");
    EXPECT_TRUE(dialog.GetGroupBoxes().empty());
    EXPECT_TRUE(dialog.GetData().groups.empty());
}

TEST_F(BackupGuiTest, ADeviceWithoutTemplateLeavesNothingToWrite)
{
    const std::string path = config.file("boiler.xml");
    const std::string earlier = "<?xml version=\"1.0\"?>\n<plexord-backup device=\"Boiler\" hw=\"TC\"/>\n";
    test::WriteFile(path, earlier);
    BackupDialog dialog(frame, false);
    ASSERT_TRUE(dialog.LoadTemplate(boiler));
    dialog.SetPath(wxString::FromUTF8(path));

    wxChoice* choice = dialog.GetDeviceChoice();
    SelectItemByData(choice, bare);
    wxCommandEvent event(wxEVT_CHOICE, choice->GetId());
    event.SetInt(choice->GetSelection());
    event.SetEventObject(choice);
    wxTEST_DIALOG(choice->ProcessWindowEvent(event), test::AnswerMessage(wxID_OK));
    EXPECT_FALSE(dialog.FindWindow(wxID_OK)->IsEnabled());
    // Nothing of the boiler's template is left to label a backup with.
    EXPECT_EQ(dialog.GetData().device, "");
    EXPECT_EQ(dialog.GetData().hardware, "");

    // OK, had it come through, runs nothing and writes nothing.
    wxTEST_DIALOG(dialog.Run(), RunWindow().Optional());
    EXPECT_EQ(test::ReadFile(path), earlier);
}

// A hardware type whose template is missing, in a data folder of its own.
TEST(BackupTemplate, OneThatCannotBeOpenedOrADeviceThatCannotBeFetchedSaysWhy)
{
    test::TempDir config;
    test::TempDir data;
    std::filesystem::create_directories(data.file("hardware"));
    test::WriteFile(data.file("hardware/broken.ini"), "[hardware]\nname=Broken meter\nbackup=templates/gone.xml\n");
    test::CoreRun core(config.path(), false, data.path().c_str());
    const uint16_t network = test::AddDbNetwork("Plant", config.file("plant.ini"));
    const uint16_t meter = test::AddDevice(network, "Meter", "meter", "Broken meter");
    wxFrame frame(nullptr, wxID_ANY, "backup");

    wxString message;
    bool shown = false;
    wxTEST_DIALOG(OpenBackupDialog(&frame, meter), test::AnswerMessage(wxID_OK, &message),
                  ConfirmBackup([&](BackupDialog*) { shown = true; }).Optional());
    EXPECT_FALSE(shown);
    EXPECT_EQ(message, "Failed to load backup template: cannot open " + data.wxpath() +
                           "/templates/gone.xml (Error 2: No such file or directory)");

    wxString caption;
    wxTEST_DIALOG(OpenBackupDialog(&frame, 999), test::AnswerMessage(wxID_OK, &message, &caption),
                  ConfirmBackup([&](BackupDialog*) { shown = true; }).Optional());
    EXPECT_FALSE(shown);
    EXPECT_EQ(message, "The device cannot be read: it no longer exists or is in use.");
    EXPECT_EQ(caption, "Device can not be backed up");
    core.Finish();
}

TEST_F(BackupGuiTest, OpenersFromTheDevicePanel)
{
    auto* panel = new DevicePanel(frame, bridge, bare);
    wxString message, caption;
    {
        wxCommandEvent event(wxEVT_MENU, DevicePanel::ID_BACKUP);
        wxTEST_DIALOG(panel->ProcessWindowEvent(event), test::AnswerMessage(wxID_OK, &message, &caption));
    }
    EXPECT_EQ(caption, "Device can not be backed up");

    // OK without a file: the whole backup runs, then the save fails.
    std::vector<std::string> rows;
    wxTEST_DIALOG(OpenBackupDialog(frame, boiler), ConfirmBackup(), RunWindow(&rows),
                  test::AnswerMessage(wxID_OK, &message, &caption));
    EXPECT_EQ(rows.size(), 22u);
    EXPECT_EQ(message, "Failed to open file for write access");
    EXPECT_EQ(caption, "Failed to open file");

    // A backup that cannot be read still opens the dialog, with OK disabled.
    test::WriteFile(config.file("bad.xml"), "<backup/>");
    bool okEnabled = true;
    bool boxes = true;
    const auto look = [&](BackupDialog* dialog) {
        okEnabled = dialog->FindWindow(wxID_OK)->IsEnabled();
        boxes = !dialog->GetGroupBoxes().empty();
    };
    wxTEST_DIALOG(OpenRestoreDialog(frame, boiler, config.wxpath() + "/bad.xml"),
                  test::AnswerMessage(wxID_OK, &message), ConfirmBackup(look, wxID_CANCEL));
    EXPECT_EQ(message, "Failed to load backup: Unexpected root element: backup");
    EXPECT_FALSE(okEnabled);
    EXPECT_FALSE(boxes);

    // A backup made through one opener restores through the other.
    const std::string path = config.file("b.xml");
    wxTEST_DIALOG(OpenBackupDialog(frame, boiler),
                  ConfirmBackup([&](BackupDialog* d) { d->SetPath(wxString::FromUTF8(path)); }), RunWindow());
    Write(boiler, "TI", 1);
    wxTEST_DIALOG(OpenRestoreDialog(frame, boiler, wxString::FromUTF8(path)),
                  ConfirmBackup([&](BackupDialog* d) {
                      okEnabled = d->FindWindow(wxID_OK)->IsEnabled();
                      EXPECT_EQ(d->GetDeviceNameLabel()->GetLabel(), "Device name: Boiler");
                  }),
                  RunWindow(&rows));
    EXPECT_TRUE(okEnabled);
    EXPECT_DOUBLE_EQ(Read(boiler, "TI"), 240);

    // The same through the boiler panel's menu, with its file selector.
    auto* boilerPanel = new DevicePanel(frame, bridge, boiler);
    Write(boiler, "TD", 3);
    wxString title;
    rows.clear();
    {
        wxCommandEvent event(wxEVT_MENU, DevicePanel::ID_RESTORE);
        wxTEST_DIALOG(boilerPanel->ProcessWindowEvent(event), test::AnswerFile(path, &title), ConfirmBackup(),
                      RunWindow(&rows));
    }
    EXPECT_EQ(title, "Select backup to restore from");
    EXPECT_EQ(rows.size(), 22u);
    EXPECT_DOUBLE_EQ(Read(boiler, "TD"), 40);
}

TEST_F(BackupGuiTest, ChoosingTheFileReloadsTheDialog)
{
    const std::string good = config.file("good.xml");
    test::WriteFile(good, "<plexord-backup device=\"Old boiler\" hw=\"TC\"><group name=\"A\"><sp a=\"SP1\" v=\"1\"/>"
                          "</group><group name=\"B\"/></plexord-backup>");
    test::WriteFile(config.file("bad.xml"), "<plexord-backup><group><sp/></group></plexord-backup>");
    BackupDialog dialog(frame, true);
    dialog.SelectDevice(boiler);
    EXPECT_FALSE(dialog.FindWindow(wxID_OK)->IsEnabled()); // nothing loaded yet
    wxCommandEvent click(wxEVT_BUTTON, dialog.GetFileButton()->GetId());
    click.SetEventObject(dialog.GetFileButton());

    wxString title;
    wxTEST_DIALOG(dialog.GetFileButton()->ProcessWindowEvent(click), test::AnswerFile(good, &title));
    EXPECT_EQ(title, "Select backup to restore from");
    EXPECT_EQ(dialog.GetFileButton()->GetLabel(), wxString::FromUTF8(good));
    EXPECT_EQ(dialog.GetDeviceNameLabel()->GetLabel(), "Device name: Old boiler");
    EXPECT_EQ(dialog.GetHardwareLabel()->GetLabel(), "Hardware: TC");
    ASSERT_EQ(dialog.GetGroupBoxes().size(), 2u);
    EXPECT_EQ(dialog.GetGroupBoxes()[1]->GetLabel(), "Restore B");
    EXPECT_TRUE(dialog.FindWindow(wxID_OK)->IsEnabled());

    wxString message;
    wxTEST_DIALOG(dialog.GetFileButton()->ProcessWindowEvent(click),
                  test::AnswerFile(config.file("bad.xml")), test::AnswerMessage(wxID_OK, &message));
    EXPECT_EQ(message, "Failed to load backup: Missing attribute \"a\" in <sp> element");
    EXPECT_EQ(dialog.GetDeviceNameLabel()->GetLabel(), "Device name:");
    EXPECT_FALSE(dialog.GetDeviceNameLabel()->IsEnabled());
    EXPECT_TRUE(dialog.GetGroupBoxes().empty());
    EXPECT_FALSE(dialog.FindWindow(wxID_OK)->IsEnabled());
    // Cancelling the file selector changes nothing.
    wxTEST_DIALOG(dialog.GetFileButton()->ProcessWindowEvent(click), test::AnswerFile(""));
    EXPECT_EQ(dialog.GetFileButton()->GetLabel(), wxString::FromUTF8(config.file("bad.xml")));
}

TEST_F(BackupGuiTest, AStoppedNetworkFailsEveryEntryAndTheBackupSaysSo)
{
    network_t* n = networkmgr_fetch_network(network, 1000);
    ASSERT_NE(n, nullptr);
    network_stop(n);
    networkmgr_drop_network(n);
    const std::string path = config.file("stopped.xml");
    BackupDialog dialog(frame, false);
    ASSERT_TRUE(dialog.LoadTemplate(boiler));
    dialog.SetPath(wxString::FromUTF8(path));
    std::vector<std::string> rows;
    wxTEST_DIALOG(dialog.Run(), RunWindow(&rows));
    const std::string failure = ncerr_get_string(ncerr_t{NCERR_NOT_STARTED, 0});
    ASSERT_EQ(rows.size(), 22u);
    EXPECT_EQ(rows[1], "SP1|" + failure);
    const std::string text = test::ReadFile(path);
    EXPECT_NE(text.find("  <sp a=\"SP1\" status=\"" + failure + "\"/>\n"), std::string::npos) << text;
    EXPECT_EQ(text.find(" v=\""), std::string::npos);
}

} // namespace
