// Activity log windows on the real core: what the filters let through, the
// rows as listed and saved, and windows that listen while they live.
#include "eventbridge.h"
#include "gui_support.h"
#include "spyfrm.h"
#include "support.h"

#include <gtest/gtest.h>

#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/filedlg.h>
#include <wx/textctrl.h>
#include <wx/translation.h>
#include <wx/weakref.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// Sends the control's event as a click would.
void Send(wxControl* control, wxEventType type, int value)
{
    wxCommandEvent event(type, control->GetId());
    event.SetEventObject(control);
    event.SetInt(value);
    control->ProcessWindowEvent(event);
}

void Tick(wxCheckBox* box, bool on)
{
    box->SetValue(on);
    Send(box, wxEVT_CHECKBOX, on);
}

std::vector<SpyFrm*> OpenLogs()
{
    std::vector<SpyFrm*> logs;
    for (wxWindow* window : wxTopLevelWindows)
        if (auto* log = dynamic_cast<SpyFrm*>(window); log && !wxPendingDelete.Member(log))
            logs.push_back(log);
    return logs;
}

using Texts = std::vector<wxString>;

class SpyFrmTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        network = test::AddDbNetwork("Plant", config.file("plant.ini"));
        boiler = test::AddDevice(network, "Boiler", "boiler");
        pump = test::AddDevice(network, "Pump", "pump");
        listeners = bridge.onEvent.GetListenerCount();
    }
    void TearDown() override
    {
        for (SpyFrm* log : OpenLogs())
            delete log;
        // Closed ones go at idle time; they must leave before the bridge.
        test::WaitFor([] { return wxPendingDelete.empty(); });
        core.Finish();
    }

    SpyFrm* OpenEnabled()
    {
        ShowActivityLog(nullptr);
        SpyFrm* log = OpenLogs().back();
        Tick(log->GetEnabledBox(), true);
        return log;
    }

    void Throw(int type, uint16_t device, const char* item, const char* flag = "", double value = 1,
               ncerr_t result = test::kOk, uint32_t client = 0)
    {
        ncevent_throw_io_event(type, network, device, client, item, flag, value, result);
    }

    // The column once every event thrown so far has reached the list.
    Texts Column(SpyFrm* log, int column)
    {
        EXPECT_TRUE(test::Settle(bridge));
        wxListCtrl* list = log->GetList();
        EXPECT_TRUE(test::WaitFor([&] { return size_t(list->GetItemCount()) == log->GetLog().GetCount(); }));
        Texts cells;
        for (long i = 0; i < list->GetItemCount(); ++i)
            cells.push_back(list->GetItemText(i, column));
        return cells;
    }

    test::TempDir config;
    EventBridge bridge;
    test::CoreRun core{config.path()};
    uint16_t network = 0;
    uint16_t boiler = 0;
    uint16_t pump = 0;
    size_t listeners = 0;
    const ncerr_t timeout{NCERR_TIMEOUT, 0};
};

TEST_F(SpyFrmTest, FiltersDecideWhenARowArrives)
{
    ShowActivityLog(nullptr);
    ASSERT_EQ(OpenLogs().size(), 1u);
    SpyFrm* log = OpenLogs().front();
    EXPECT_EQ(log->GetTitle(), "Activity log");
    wxChoice* devices = log->GetDeviceChoice();
    ASSERT_EQ(devices->GetCount(), 3u);
    EXPECT_EQ(devices->GetString(0) + devices->GetString(1) + devices->GetString(2), "AnyBoilerPump");
    EXPECT_EQ(wxPtrToUInt(devices->GetClientData(2)), pump);

    // Nothing is listed until "Enabled" is ticked.
    Throw(NCEVENT_READ_RESULT, boiler, "T1", "db", 21.5);
    EXPECT_EQ(Column(log, 0).size(), 0u);

    Tick(log->GetEnabledBox(), true);
    Throw(NCEVENT_READ_REQUEST, boiler, "T1", "db");
    Throw(NCEVENT_READ_RESULT, boiler, "T1", "db", 21.5, test::kOk, 7);
    Throw(NCEVENT_READ_RESULT, pump, "PV", "", 99, timeout);
    Throw(NCEVENT_WRITE_RESULT, pump, "SP", "", 3, timeout);
    const wxString timeoutText = wxString::FromUTF8(ncerr_get_string(timeout));
    EXPECT_EQ(Column(log, SpyLog::COL_DEVICE), (Texts{"Boiler", "Pump", "Pump"}));
    EXPECT_EQ(Column(log, SpyLog::COL_CLIENT), (Texts{"7", "0", "0"}));
    EXPECT_EQ(Column(log, SpyLog::COL_VALUE), (Texts{"21.5", "", "3"}));
    EXPECT_EQ(Column(log, SpyLog::COL_STATUS), (Texts{"ok", timeoutText, timeoutText}));
    {
        // Failures read in the console's language, as everywhere else.
        wxFileTranslationsLoader::AddCatalogLookupPathPrefix(OPSDESK_TEST_LOCALE_DIR);
        auto* swedish = new wxTranslations;
        swedish->SetLanguage("sv");
        const bool loaded = swedish->AddCatalog("libplexord");
        wxTranslations::Set(swedish);
        EXPECT_TRUE(loaded);
        EXPECT_EQ(Column(log, SpyLog::COL_STATUS)[1], wxString::FromUTF8("Tidsgränsen överskreds"));
        wxTranslations::Set(nullptr);
    }

    // Failed writes hidden: only the successful one is added; rows already
    // listed stay.
    Tick(log->GetFailedBox(), false);
    Throw(NCEVENT_WRITE_RESULT, pump, "SP", "", 4, timeout);
    Throw(NCEVENT_WRITE_RESULT, pump, "SP", "", 5);
    EXPECT_EQ(Column(log, SpyLog::COL_VALUE), (Texts{"21.5", "", "3", "5"}));

    log->ClearRows();
    EXPECT_EQ(log->GetList()->GetItemCount(), 0);
    devices->SetSelection(2);
    Send(devices, wxEVT_CHOICE, 2);
    for (uint16_t device : {boiler, pump, boiler})
        Throw(NCEVENT_READ_RESULT, device, device == pump ? "B" : "A");
    EXPECT_EQ(Column(log, SpyLog::COL_SETP), (Texts{"B"}));

    devices->SetSelection(0);
    Send(devices, wxEVT_CHOICE, 0);
    log->GetTextFilter()->SetValue("^T");
    for (const char* item : {"T1", "PT", "T2", "t3"})
        Throw(NCEVENT_READ_RESULT, boiler, item);
    EXPECT_EQ(Column(log, SpyLog::COL_SETP), (Texts{"B", "T1", "T2"}));
    // A pattern that does not compile hides rows silently until cleared.
    log->GetTextFilter()->SetValue("T(");
    Throw(NCEVENT_READ_RESULT, boiler, "T(");
    EXPECT_EQ(Column(log, SpyLog::COL_SETP).size(), 3u);
    Send(static_cast<wxControl*>(log->FindWindow(SpyFrm::ID_CLEAR_TEXT)), wxEVT_BUTTON, 0);
    EXPECT_EQ(log->GetTextFilter()->GetValue(), "");
    Throw(NCEVENT_WRITE_RESULT, boiler, "T(");
    EXPECT_EQ(Column(log, SpyLog::COL_SETP), (Texts{"B", "T1", "T2", "T("}));

    Send(static_cast<wxControl*>(log->FindWindow(wxID_CLEAR)), wxEVT_BUTTON, 0);
    EXPECT_EQ(log->GetList()->GetItemCount(), 0);
    EXPECT_EQ(log->GetLog().GetCount(), 0u);
}

TEST_F(SpyFrmTest, SavesTheListedRows)
{
    SpyFrm* log = OpenEnabled();
    Throw(NCEVENT_READ_RESULT, boiler, "T1", "db", 21.5, test::kOk, 3);
    Throw(NCEVENT_READ_RESULT, pump, "PV", "", 8, timeout);
    Throw(NCEVENT_WRITE_RESULT, pump, "SP", "", 0.25);
    const Texts times = Column(log, SpyLog::COL_TIME);
    ASSERT_EQ(times.size(), 3u);
    const std::string expected = times[0].utf8_string() + " R Boiler:T1:db=21.5 (ok)\r\n" +
                                 times[1].utf8_string() + " R Pump:PV= (" + ncerr_get_string(timeout) + ")\r\n" +
                                 times[2].utf8_string() + " W Pump:SP=0.25 (ok)\r\n";

    const std::string path = config.file("saved.txt");
    test::WriteFile(path, std::string(500, 'x'));
    wxString title, name;
    wxTEST_DIALOG(log->SaveRows(), test::AnswerFile(path, &title, nullptr, &name));
    EXPECT_EQ(title, "Save log as ...");
    EXPECT_EQ(name, "plexord-log.txt");
    EXPECT_EQ(test::ReadFile(path), expected);

    wxTEST_DIALOG(log->SaveRows(), test::AnswerFile(""));
    // A name taken by a folder cannot be opened as a file, even by root.
    const std::string folder = config.file("taken.txt");
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    wxString message;
    wxTEST_DIALOG(log->SaveRows(), test::AnswerFile(folder), test::AnswerMessage(wxID_OK, &message));
    EXPECT_EQ(message, "Failed to open file for writing");
    // A write that fails is said, not taken for a saved log.
    wxTEST_DIALOG(log->SaveRows(), test::AnswerFile("/dev/full"), test::AnswerMessage(wxID_OK, &message));
    EXPECT_TRUE(message.Contains(wxString(std::strerror(ENOSPC)))) << message;
    EXPECT_EQ(log->GetList()->GetItemCount(), 3);
}

TEST_F(SpyFrmTest, WindowsListenWhileTheyLive)
{
    SpyFrm* first = OpenEnabled();
    SpyFrm* second = OpenEnabled();
    ASSERT_NE(first, second);
    EXPECT_TRUE(first->IsShown() && second->IsShown());
    EXPECT_EQ(bridge.onEvent.GetListenerCount(), listeners + 2);
    Throw(NCEVENT_WRITE_RESULT, boiler, "SP", "", 2);
    EXPECT_EQ(Column(first, SpyLog::COL_DEVICE), (Texts{"Boiler"}));
    EXPECT_EQ(Column(second, SpyLog::COL_DEVICE), (Texts{"Boiler"}));

    // Closing destroys the window, and with it its listening.
    wxWeakRef<SpyFrm> closed(first);
    first->Close();
    ASSERT_TRUE(test::WaitFor([&] { return !closed; }));
    EXPECT_EQ(bridge.onEvent.GetListenerCount(), listeners + 1);
    Throw(NCEVENT_WRITE_RESULT, pump, "SP", "", 3);
    EXPECT_EQ(Column(second, SpyLog::COL_DEVICE), (Texts{"Boiler", "Pump"}));

    // The view follows new rows while it shows the last one, not once the
    // operator has scrolled back.
    wxListCtrl* list = second->GetList();
    auto lastVisible = [&] { return list->GetTopItem() + list->GetCountPerPage() >= list->GetItemCount(); };
    for (int i = 0; i < 200; ++i)
        Throw(NCEVENT_READ_RESULT, boiler, "T1", "", i);
    ASSERT_EQ(Column(second, SpyLog::COL_VALUE).size(), 202u);
    EXPECT_TRUE(test::WaitFor(lastVisible));
    list->EnsureVisible(0);
    ASSERT_TRUE(test::WaitFor([&] { return list->GetTopItem() == 0; }));
    for (int i = 0; i < 50; ++i)
        Throw(NCEVENT_READ_RESULT, boiler, "T1", "", i);
    ASSERT_EQ(Column(second, SpyLog::COL_VALUE).size(), 252u);
    test::Pump(100);
    EXPECT_EQ(list->GetTopItem(), 0);
}

} // namespace
