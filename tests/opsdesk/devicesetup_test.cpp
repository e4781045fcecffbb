// The device setup dialog on the real core: what it loads, what OK writes,
// the name check and the documentation browse.
#include "devicesetup.h"
#include "gui_support.h"
#include "support.h"

#include <gtest/gtest.h>

#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <cerrno>
#include <filesystem>
#include <string>

namespace {

const char kTc200[] = "TC-200 Temperature controller";
const char kPx40[] = "PX-40 Pressure transmitter";

class DeviceSetupTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        network = test::AddDbNetwork("Plant", config.file("plant.ini"));
        device = test::AddDevice(network, "Boiler", "boiler", kTc200);
    }
    void TearDown() override
    {
        delete dialog;
        core.Finish();
    }

    DeviceSetupDlg* Open(uint16_t id)
    {
        delete dialog;
        dialog = new DeviceSetupDlg(nullptr, id);
        return dialog;
    }

    // Runs fn on the device fetched for modification.
    template <typename Fn>
    void Modify(uint16_t id, Fn fn)
    {
        device_t* record = devicemgr_fetch_device(id, 1);
        ASSERT_NE(record, nullptr);
        fn(record);
        devicemgr_drop_device(record);
    }

    test::TempDir config;
    test::CoreRun core{config.path()};
    DeviceSetupDlg* dialog = nullptr;
    uint16_t network = 0;
    uint16_t device = 0;
};

TEST_F(DeviceSetupTest, LoadsTheDeviceRecord)
{
    const std::string doc = config.file("boiler.csv");
    test::WriteFile(doc, "PV;Process value\n");
    Modify(device, [&](device_t* d) {
        device_load_documentation(d, doc.c_str());
        device_cache_enforce(d, 1, 45);
    });

    Open(device);
    EXPECT_EQ(dialog->GetTitle(), "Device settings");
    EXPECT_EQ(dialog->GetNameCtrl()->GetValue(), "Boiler");
    EXPECT_EQ(dialog->GetAddressCtrl()->GetValue(), "boiler");
    EXPECT_EQ(dialog->GetDocumentationCtrl()->GetValue(), wxString::FromUTF8(doc));
    EXPECT_TRUE(dialog->GetCacheCtrl()->GetValue());
    EXPECT_EQ(dialog->GetMaxAgeCtrl()->GetValue(), "45");
    EXPECT_TRUE(dialog->GetMaxAgeCtrl()->IsEnabled());

    // Every hardware type of the core, the device's own selected.
    wxChoice* hardware = dialog->GetHardwareCtrl();
    ASSERT_EQ(static_cast<int>(hardware->GetCount()), hardwaremgr_get_count());
    EXPECT_NE(hardware->FindString(kPx40, true), wxNOT_FOUND);
    EXPECT_EQ(hardware->GetStringSelection(), kTc200);
}

TEST_F(DeviceSetupTest, BareDeviceAndTheCacheSwitch)
{
    const uint16_t bare = test::AddDevice(network, "Pump", "");
    Modify(bare, [](device_t* d) { device_cache_enforce(d, 0, 30); });
    Open(bare);
    EXPECT_EQ(dialog->GetHardwareCtrl()->GetSelection(), wxNOT_FOUND);
    EXPECT_EQ(dialog->GetDocumentationCtrl()->GetValue(), "");
    EXPECT_FALSE(dialog->GetCacheCtrl()->GetValue());
    EXPECT_FALSE(dialog->GetMaxAgeLabel()->IsEnabled());
    EXPECT_FALSE(dialog->GetMaxAgeCtrl()->IsEnabled());
    EXPECT_FALSE(dialog->GetMaxAgeUnit()->IsEnabled());

    auto toggle = [&](bool on) {
        dialog->GetCacheCtrl()->SetValue(on);
        wxCommandEvent event(wxEVT_CHECKBOX, dialog->GetCacheCtrl()->GetId());
        event.SetEventObject(dialog->GetCacheCtrl());
        event.SetInt(on);
        dialog->GetCacheCtrl()->ProcessWindowEvent(event);
    };
    toggle(true);
    EXPECT_TRUE(dialog->GetMaxAgeLabel()->IsEnabled());
    EXPECT_TRUE(dialog->GetMaxAgeCtrl()->IsEnabled());
    EXPECT_TRUE(dialog->GetMaxAgeUnit()->IsEnabled());
    toggle(false);
    EXPECT_FALSE(dialog->GetMaxAgeCtrl()->IsEnabled());
}

TEST_F(DeviceSetupTest, OkWritesEverySettingAsUtf8)
{
    const std::string doc = config.file("pump.csv");
    test::WriteFile(doc, "PV;Process value\n");
    Open(device);
    dialog->GetNameCtrl()->SetValue("Boiler 2");
    dialog->GetAddressCtrl()->SetValue(wxString::FromUTF8("Hall \xc3\x85/3"));
    dialog->GetHardwareCtrl()->SetStringSelection(kPx40);
    dialog->GetDocumentationCtrl()->SetValue(wxString::FromUTF8(doc));
    dialog->GetCacheCtrl()->SetValue(true);
    dialog->GetMaxAgeCtrl()->SetValue("120");
    ASSERT_TRUE(dialog->ApplySettings());

    device_t* d = devicemgr_fetch_device(device, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->name, "Boiler 2");
    EXPECT_STREQ(d->address, "Hall \xc3\x85/3");
    ASSERT_NE(d->hardware, nullptr);
    EXPECT_STREQ(hwinfo_get_name(d->hardware), kPx40);
    ASSERT_NE(d->doc_path, nullptr);
    EXPECT_EQ(std::string(d->doc_path), doc);
    EXPECT_NE(device_cache_is_enforced(d), 0);
    EXPECT_EQ(device_get_max_cache_age(d), 120);
    devicemgr_drop_device(d);

    // No hardware selected and an empty documentation clear both.
    Open(device);
    dialog->GetHardwareCtrl()->SetSelection(wxNOT_FOUND);
    dialog->GetDocumentationCtrl()->SetValue("");
    dialog->GetCacheCtrl()->SetValue(false);
    ASSERT_TRUE(dialog->ApplySettings());
    d = devicemgr_fetch_device(device, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->hardware, nullptr);
    EXPECT_EQ(d->doc_path, nullptr);
    EXPECT_EQ(device_cache_is_enforced(d), 0);
    devicemgr_drop_device(d);
}

TEST_F(DeviceSetupTest, UnreadableDocumentationKeepsTheDialogOpenAndSaysWhy)
{
    const std::string doc = config.file("boiler.csv");
    Open(device);
    dialog->GetNameCtrl()->SetValue("Boiler 3");
    dialog->GetDocumentationCtrl()->SetValue(wxString::FromUTF8(doc));

    // In the dialog's own loop: OK is refused with the core's reason, the
    // values the core took stay written, and OK goes through once the file
    // can be read.
    bool openAfterRefusal = false;
    wxString notification;
    wxString nameAfterRefusal;
    const auto press = [this] {
        wxCommandEvent click(wxEVT_BUTTON, wxID_OK);
        click.SetEventObject(dialog->FindWindow(wxID_OK));
        dialog->FindWindow(wxID_OK)->GetEventHandler()->ProcessEvent(click);
    };
    dialog->CallAfter([&] {
        press();
        openAfterRefusal = dialog->IsModal();
        if (dialog->IsNotificationShown())
            notification = dialog->GetNotification()->GetLabel();
        if (device_t* d = devicemgr_fetch_device(device, 0)) {
            nameAfterRefusal = wxString::FromUTF8(d->name);
            devicemgr_drop_device(d);
        }
        test::WriteFile(doc, "PV;Process value\n");
        press();
    });
    EXPECT_EQ(dialog->ShowModal(), 1);
    EXPECT_TRUE(openAfterRefusal);
    EXPECT_EQ(notification, "Documentation: " + wxString::FromUTF8(ncerr_get_string(ncerr_t{NCERR_IO, ENOENT})));
    EXPECT_EQ(nameAfterRefusal, "Boiler 3");
    EXPECT_FALSE(dialog->IsNotificationShown());
}

TEST_F(DeviceSetupTest, MaxCacheAgeThatIsNoNumberKeepsTheCurrentAge)
{
    Modify(device, [](device_t* d) { device_cache_enforce(d, 0, 30); });
    Open(device);
    dialog->GetCacheCtrl()->SetValue(true);
    dialog->GetMaxAgeCtrl()->SetValue("soon");
    ASSERT_TRUE(dialog->ApplySettings());
    device_t* d = devicemgr_fetch_device(device, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_NE(device_cache_is_enforced(d), 0);
    EXPECT_EQ(device_get_max_cache_age(d), 30);
    devicemgr_drop_device(d);
}

TEST_F(DeviceSetupTest, EightBitNameIsRefusedAndNothingWritten)
{
    Open(device);
    dialog->Show();
    dialog->GetNameCtrl()->SetValue(wxString::FromUTF8("P\xc3\xa4rm"));
    dialog->GetAddressCtrl()->SetValue("elsewhere");
    wxString message;
    long style = 0;
    bool applied = true;
    wxTEST_DIALOG(applied = dialog->ApplySettings(), test::AnswerMessage(wxID_OK, &message, nullptr, &style));
    EXPECT_FALSE(applied);
    EXPECT_EQ(message, "Device name contains illegal characters.\nOnly 7-bit ASCII characters are supported.");
    EXPECT_TRUE(style & wxOK);
    test::WaitFor([&] { return wxWindow::FindFocus() == dialog->GetNameCtrl(); }, 1000);
    EXPECT_EQ(wxWindow::FindFocus(), dialog->GetNameCtrl());

    device_t* d = devicemgr_fetch_device(device, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->name, "Boiler");
    EXPECT_STREQ(d->address, "boiler");
    devicemgr_drop_device(d);

    // The empty name passes the check.
    dialog->GetNameCtrl()->SetValue("");
    EXPECT_TRUE(dialog->Validate());
}

TEST_F(DeviceSetupTest, BrowseStartsInTheDocumentationFolder)
{
    const std::filesystem::path docs = std::filesystem::path(config.path()) / "docs";
    std::filesystem::create_directories(docs);
    const std::string current = (docs / "old.csv").string();
    const std::string chosen = (docs / "new.csv").string();
    test::WriteFile(current, "PV;Process value\n");
    test::WriteFile(chosen, "SP;Setpoint\n");
    Open(device);
    dialog->GetDocumentationCtrl()->SetValue(wxString::FromUTF8(current));

    wxString folder;
    wxString title;
    wxTEST_DIALOG(dialog->BrowseDocumentation(), test::AnswerFile("", &title, &folder));
    EXPECT_EQ(folder, wxString::FromUTF8(docs.string()));
    EXPECT_EQ(title, "Documentation");
    EXPECT_EQ(dialog->GetDocumentationCtrl()->GetValue(), wxString::FromUTF8(current));

    wxTEST_DIALOG(dialog->BrowseDocumentation(), test::AnswerFile(chosen, &title, &folder));
    EXPECT_EQ(dialog->GetDocumentationCtrl()->GetValue(), wxString::FromUTF8(chosen));
}

} // namespace
