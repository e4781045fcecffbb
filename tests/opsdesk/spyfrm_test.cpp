// Activity log windows on the real core: what the filters let through, the
// rows as listed and saved, and windows that listen while they live.
#include "eventbridge.h"
#include "gui_support.h"
#include "spyfrm.h"
#include "support.h"

#include <gtest/gtest.h>

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/filedlg.h>
#include <wx/textctrl.h>
#include <wx/weakref.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// Picks the path (none: Cancel) and records what the dialog offered.
class AnswerFile : public wxExpectModalBase<wxFileDialog, AnswerFile>
{
public:
    AnswerFile(const std::string& path, wxString* title = nullptr, wxString* name = nullptr)
        : m_path(wxString::FromUTF8(path))
        , m_title(title)
        , m_name(name)
    {
    }

protected:
    int OnInvoked(wxFileDialog* dialog) const override
    {
        if (m_title)
            *m_title = dialog->GetMessage();
        if (m_name)
            *m_name = dialog->GetFilename();
        if (m_path.empty())
            return wxID_CANCEL;
        dialog->SetPath(m_path);
        // GTK takes the path over in its own time.
        test::WaitFor([&] { return dialog->GetPath() == m_path; }, 5000);
        return wxID_OK;
    }

private:
    wxString m_path;
    wxString* m_title;
    wxString* m_name;
};

void Tick(wxCheckBox* box, bool on)
{
    box->SetValue(on);
    wxCommandEvent event(wxEVT_CHECKBOX, box->GetId());
    event.SetEventObject(box);
    event.SetInt(on);
    box->ProcessWindowEvent(event);
}

void Pick(wxChoice* choice, int row)
{
    choice->SetSelection(row);
    wxCommandEvent event(wxEVT_CHOICE, choice->GetId());
    event.SetEventObject(choice);
    event.SetInt(row);
    choice->ProcessWindowEvent(event);
}

void Click(wxWindow* window, int id)
{
    wxWindow* button = window->FindWindow(id);
    ASSERT_NE(button, nullptr);
    wxCommandEvent event(wxEVT_BUTTON, id);
    event.SetEventObject(button);
    button->ProcessWindowEvent(event);
}

std::vector<SpyFrm*> OpenLogs()
{
    std::vector<SpyFrm*> logs;
    for (wxWindow* window : wxTopLevelWindows)
        if (auto* log = dynamic_cast<SpyFrm*>(window); log && !wxPendingDelete.Member(log))
            logs.push_back(log);
    return logs;
}

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

    SpyFrm* Open()
    {
        const size_t before = OpenLogs().size();
        ShowActivityLog(nullptr);
        const std::vector<SpyFrm*> logs = OpenLogs();
        return logs.size() == before + 1 ? logs.back() : nullptr;
    }

    void Throw(int type, uint16_t device, const char* item, const char* flag = "", double value = 1,
               ncerr_t result = test::kOk, uint32_t client = 0)
    {
        ncevent_throw_io_event(type, network, device, client, item, flag, value, result);
    }

    // Every row the core has been told of is in the log, and in its list.
    void Settle(SpyFrm* log)
    {
        ASSERT_TRUE(test::Settle(bridge));
        ASSERT_TRUE(test::WaitFor(
            [&] { return log->GetList()->GetItemCount() == static_cast<long>(log->GetLog().GetCount()); }));
    }

    std::vector<wxString> Column(SpyFrm* log, int column)
    {
        std::vector<wxString> cells;
        for (long i = 0; i < log->GetList()->GetItemCount(); ++i)
            cells.push_back(log->GetList()->GetItemText(i, column));
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

using Texts = std::vector<wxString>;

TEST_F(SpyFrmTest, FiltersDecideWhenARowArrives)
{
    SpyFrm* log = Open();
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->GetTitle(), "Activity log");
    EXPECT_EQ(bridge.onEvent.GetListenerCount(), listeners + 1);
    wxListCtrl* list = log->GetList();
    ASSERT_EQ(list->GetColumnCount(), 7);
    Texts headings;
    for (int c = 0; c < 7; ++c) {
        wxListItem column;
        column.SetMask(wxLIST_MASK_TEXT);
        list->GetColumn(c, column);
        headings.push_back(column.GetText());
    }
    EXPECT_EQ(headings, (Texts{"Time", "Op", "Client", "Device", "Setp", "Value", "Status"}));
    wxChoice* devices = log->GetDeviceChoice();
    Texts names;
    std::vector<unsigned> ids;
    for (unsigned i = 0; i < devices->GetCount(); ++i) {
        names.push_back(devices->GetString(i));
        ids.push_back(wxPtrToUInt(devices->GetClientData(i)));
    }
    EXPECT_EQ(names, (Texts{"Any", "Boiler", "Pump"}));
    EXPECT_EQ(ids, (std::vector<unsigned>{0, boiler, pump}));
    EXPECT_EQ(devices->GetSelection(), 0);
    EXPECT_FALSE(log->GetEnabledBox()->GetValue());

    // Nothing is listed until "Enabled" is ticked.
    Throw(NCEVENT_READ_RESULT, boiler, "T1", "db", 21.5);
    Settle(log);
    EXPECT_EQ(list->GetItemCount(), 0);

    Tick(log->GetEnabledBox(), true);
    Throw(NCEVENT_READ_REQUEST, boiler, "T1", "db");
    Throw(NCEVENT_READ_RESULT, boiler, "T1", "db", 21.5, test::kOk, 7);
    Throw(NCEVENT_READ_RESULT, pump, "PV", "", 99, timeout);
    Throw(NCEVENT_WRITE_REQUEST, pump, "SP", "", 3);
    Throw(NCEVENT_WRITE_RESULT, pump, "SP", "", 3, timeout);
    Settle(log);
    const wxString timeoutText = wxString::FromUTF8(ncerr_get_string(timeout));
    EXPECT_EQ(Column(log, SpyLog::COL_OP), (Texts{"R", "R", "W"}));
    EXPECT_EQ(Column(log, SpyLog::COL_CLIENT), (Texts{"7", "0", "0"}));
    EXPECT_EQ(Column(log, SpyLog::COL_DEVICE), (Texts{"Boiler", "Pump", "Pump"}));
    EXPECT_EQ(Column(log, SpyLog::COL_SETP), (Texts{"T1:db", "PV", "SP"}));
    EXPECT_EQ(Column(log, SpyLog::COL_VALUE), (Texts{"21.5", "", "3"}));
    EXPECT_EQ(Column(log, SpyLog::COL_STATUS), (Texts{"ok", timeoutText, timeoutText}));
    EXPECT_EQ(list->GetItemText(0, SpyLog::COL_TIME).length(), 8u);

    // Failed writes hidden: only the successful one is added.
    Tick(log->GetFailedBox(), false);
    Throw(NCEVENT_WRITE_RESULT, pump, "SP", "", 4, timeout);
    Throw(NCEVENT_WRITE_RESULT, pump, "SP", "", 5);
    Settle(log);
    EXPECT_EQ(Column(log, SpyLog::COL_VALUE), (Texts{"21.5", "", "3", "5"}));
    // Rows already listed stay when a filter changes.
    Tick(log->GetReadsBox(), false);
    Throw(NCEVENT_READ_RESULT, pump, "PV", "", 6);
    Settle(log);
    EXPECT_EQ(list->GetItemCount(), 4);
    Tick(log->GetReadsBox(), true);

    log->ClearRows();
    EXPECT_EQ(list->GetItemCount(), 0);
    Pick(devices, 2);
    Throw(NCEVENT_READ_RESULT, boiler, "A");
    Throw(NCEVENT_READ_RESULT, pump, "B");
    Throw(NCEVENT_READ_RESULT, boiler, "C");
    Settle(log);
    EXPECT_EQ(Column(log, SpyLog::COL_SETP), (Texts{"B"}));

    Pick(devices, 0);
    log->GetTextFilter()->SetValue("^T");
    for (const char* item : {"T1", "PT", "T2", "t3"})
        Throw(NCEVENT_READ_RESULT, boiler, item);
    Settle(log);
    // A pattern that does not compile hides rows silently.
    log->GetTextFilter()->SetValue("T(");
    Throw(NCEVENT_READ_RESULT, boiler, "T(");
    Settle(log);
    EXPECT_EQ(Column(log, SpyLog::COL_SETP), (Texts{"B", "T1", "T2"}));
    Click(log, SpyFrm::ID_CLEAR_TEXT);
    EXPECT_EQ(log->GetTextFilter()->GetValue(), "");
    Throw(NCEVENT_WRITE_RESULT, boiler, "T(");
    Settle(log);
    EXPECT_EQ(Column(log, SpyLog::COL_SETP), (Texts{"B", "T1", "T2", "T("}));

    Click(log, wxID_CLEAR);
    EXPECT_EQ(list->GetItemCount(), 0);
    EXPECT_EQ(log->GetLog().GetCount(), 0u);
}

TEST_F(SpyFrmTest, SavesTheListedRows)
{
    SpyFrm* log = Open();
    ASSERT_NE(log, nullptr);
    Tick(log->GetEnabledBox(), true);
    Throw(NCEVENT_READ_RESULT, boiler, "T1", "db", 21.5, test::kOk, 3);
    Throw(NCEVENT_READ_RESULT, pump, "PV", "", 8, timeout);
    Throw(NCEVENT_WRITE_RESULT, pump, "SP", "", 0.25);
    Settle(log);
    ASSERT_EQ(log->GetList()->GetItemCount(), 3);
    const Texts times = Column(log, SpyLog::COL_TIME);
    const std::string expected = times[0].utf8_string() + " R Boiler:T1:db=21.5 (ok)\r\n" +
                                 times[1].utf8_string() + " R Pump:PV= (" + ncerr_get_string(timeout) + ")\r\n" +
                                 times[2].utf8_string() + " W Pump:SP=0.25 (ok)\r\n";

    const std::string path = config.file("saved.txt");
    test::WriteFile(path, std::string(500, 'x'));
    wxString title, name;
    wxTEST_DIALOG(log->SaveRows(), AnswerFile(path, &title, &name));
    EXPECT_EQ(title, "Save log as ...");
    EXPECT_EQ(name, "plexord-log.txt");
    EXPECT_EQ(test::ReadFile(path), expected);

    wxTEST_DIALOG(log->SaveRows(), AnswerFile(""));
    wxString message;
    // A name taken by a folder cannot be opened as a file, even by root.
    const std::string folder = config.file("taken.txt");
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    wxTEST_DIALOG(log->SaveRows(), AnswerFile(folder), test::AnswerMessage(wxID_OK, &message));
    EXPECT_EQ(message, "Failed to open file for writing");
    // A write that fails is said, not taken for a saved log.
    message.clear();
    wxTEST_DIALOG(log->SaveRows(), AnswerFile("/dev/full"), test::AnswerMessage(wxID_OK, &message));
    EXPECT_TRUE(message.Contains(wxString(std::strerror(ENOSPC)))) << message;
    EXPECT_EQ(log->GetList()->GetItemCount(), 3);
    EXPECT_EQ(test::ReadFile(path), expected);
}

TEST_F(SpyFrmTest, WindowsListenWhileTheyLive)
{
    SpyFrm* first = Open();
    SpyFrm* second = Open();
    ASSERT_TRUE(first && second && first != second);
    EXPECT_TRUE(first->IsShown() && second->IsShown());
    EXPECT_EQ(bridge.onEvent.GetListenerCount(), listeners + 2);
    Tick(first->GetEnabledBox(), true);
    Tick(second->GetEnabledBox(), true);
    Throw(NCEVENT_WRITE_RESULT, boiler, "SP", "", 2);
    Settle(first);
    Settle(second);
    EXPECT_EQ(first->GetList()->GetItemCount(), 1);
    EXPECT_EQ(second->GetList()->GetItemCount(), 1);

    // Closing destroys the window, and with it its listening.
    wxWeakRef<SpyFrm> closed(first);
    first->Close();
    ASSERT_TRUE(test::WaitFor([&] { return !closed; }));
    EXPECT_EQ(bridge.onEvent.GetListenerCount(), listeners + 1);
    Throw(NCEVENT_WRITE_RESULT, pump, "SP", "", 3);
    Settle(second);
    EXPECT_EQ(Column(second, SpyLog::COL_DEVICE), (Texts{"Boiler", "Pump"}));
}

} // namespace
