// The console's windows opened for real on the demo plant, every control of
// each worked once, and closed again: GTK, GDK and GLib must log no warning
// or critical message meanwhile. Modal dialogs, including the toolkit's
// message boxes and file choosers, are walked from a modal hook, so that a
// dialog opened from a dialog is walked too.
#include "backup-window.h"
#include "eventbridge.h"
#include "mainframe.h"
#include "mirror.h"
#include "networktypes.h"
#include "startup.h"
#include "status-window.h"
#include "support.h"

#include <plexord.h>

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/dialog.h>
#include <wx/eventfilter.h>
#include <wx/menu.h>
#include <wx/modalhook.h>
#include <wx/radiobut.h>
#include <wx/timer.h>
#include <wx/weakref.h>

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

std::mutex g_logMutex;
std::vector<std::string> g_logged;

GLogWriterOutput RecordWarnings(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer data)
{
    if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) {
        std::string domain = "(no domain)", message;
        for (gsize i = 0; i < count; ++i) {
            const auto* value = static_cast<const char*>(fields[i].value);
            if (!value)
                continue;
            const std::string text = fields[i].length < 0 ? std::string(value) : std::string(value, fields[i].length);
            if (!std::strcmp(fields[i].key, "GLIB_DOMAIN"))
                domain = text;
            else if (!std::strcmp(fields[i].key, "MESSAGE"))
                message = text;
        }
        const char* kind = (level & G_LOG_LEVEL_WARNING) ? "WARNING" : "CRITICAL";
        std::lock_guard lock(g_logMutex);
        g_logged.push_back(domain + "-" + kind + ": " + message);
    }
    // Still printed, with the stack's context in the test's output.
    return g_log_writer_default(level, fields, count, data);
}

// Before the toolkit starts: the writer can be set once, and nothing GTK
// logs while it starts may be missed.
[[maybe_unused]] const bool g_writerSet = [] {
    setenv("GSETTINGS_BACKEND", "memory", 1);
    g_log_set_writer_func(&RecordWarnings, nullptr, nullptr);
    return true;
}();

std::vector<std::string> TakeLogged()
{
    std::lock_guard lock(g_logMutex);
    return std::exchange(g_logged, {});
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::ostringstream out;
    for (const std::string& line : lines)
        out << "\n  " << line;
    return out.str();
}

std::string TypeName(const wxWindow& window)
{
    int status = 0;
    char* name = abi::__cxa_demangle(typeid(window).name(), nullptr, nullptr, &status);
    std::string result = status == 0 && name ? name : typeid(window).name();
    std::free(name);
    return result;
}

// GTK's own dialogs (message boxes, file choosers) run in its loops.
bool IsNative(wxWindow* window)
{
    return window->GetHandle() && GTK_IS_DIALOG(window->GetHandle());
}

void Send(wxWindow* control, wxEventType type, int value)
{
    wxCommandEvent event(type, control->GetId());
    event.SetEventObject(control);
    event.SetInt(value);
    control->ProcessWindowEvent(event);
}

void CollectControls(wxWindow* window, std::vector<wxWeakRef<wxWindow>>& out)
{
    for (wxWindow* child : window->GetChildren()) {
        if (child->IsTopLevel())
            continue;
        out.emplace_back(child);
        CollectControls(child, out);
    }
}

// Opens (through the hook) every modal dialog the walked windows show, and
// pops down the pop-up menus they open.
class Walker : public wxModalDialogHook, public wxEventFilter
{
public:
    Walker()
    {
        Register();
        wxEvtHandler::AddFilter(this);
    }
    ~Walker() override
    {
        wxEvtHandler::RemoveFilter(this);
        Unregister();
    }

    const std::set<std::string>& Seen() const { return m_seen; }
    int PoppedMenus() const { return m_poppedMenus; }
    // Where a backup dialog saves, so that its run is walked too.
    void SetBackupPath(const wxString& path) { m_backupPath = path; }

    // Works the window's controls, as an operator would try each once, and
    // closes it. A dialog opened from a control is walked in turn.
    void Walk(wxWindow* window)
    {
        wxWeakRef<wxWindow> ref(window);
        test::Pump(kShownMs);
        if (!ref)
            return;
        if (IsNative(window)) {
            gtk_dialog_response(GTK_DIALOG(window->GetHandle()), GTK_RESPONSE_CANCEL);
            return;
        }
        if (m_depth < kMaxDepth) {
            ++m_depth;
            WorkControls(window);
            if (auto* scheduler = dynamic_cast<SchedulerDialog*>(window); scheduler && ref)
                WorkTaskTypes(scheduler);
            --m_depth;
        }
        if (!ref)
            return;
        if (auto* backup = dynamic_cast<BackupDialog*>(window)) {
            if (!backup->IsRestore())
                backup->SetPath(m_backupPath);
            // Confirmed, so that the run's window opens.
            if (wxWindow* ok = backup->FindWindow(wxID_OK); ok && ok->IsEnabled()) {
                Send(ok, wxEVT_BUTTON, 0);
                return;
            }
        }
        if (ref)
            window->Close();
        if (auto* dialog = dynamic_cast<wxDialog*>(ref.get()); dialog && dialog->IsModal())
            dialog->EndModal(wxID_CANCEL);
        test::Pump(kStepMs);
    }

protected:
    int Enter(wxDialog* dialog) override
    {
        // A file chooser enters twice, through its own class and wxDialog.
        if (m_entered[dialog]++ > 0)
            return wxID_NONE;
        m_seen.insert(TypeName(*dialog));
        wxWeakRef<wxDialog> ref(dialog);
        auto& timer = m_timers.emplace_back(std::make_unique<wxTimer>());
        timer->Bind(wxEVT_TIMER, [this, ref, t = timer.get()](wxTimerEvent&) {
            // A run's window is walked once its run, which serves the event
            // loop itself, has finished.
            if (auto* run = dynamic_cast<RestoreWindow*>(ref.get()); run && !run->IsFinished()) {
                t->StartOnce(kStepMs);
                return;
            }
            if (ref)
                Walk(ref.get());
        });
        timer->StartOnce(kStepMs);
        return wxID_NONE;
    }
    void Exit(wxDialog* dialog) override
    {
        if (--m_entered[dialog] <= 0)
            m_entered.erase(dialog);
    }

    int FilterEvent(wxEvent& event) override
    {
        if (event.GetEventType() == wxEVT_MENU_OPEN) {
            auto& opened = static_cast<wxMenuEvent&>(event);
            if (opened.IsPopup() && opened.GetMenu()) {
                wxMenu* menu = opened.GetMenu();
                auto& timer = m_timers.emplace_back(std::make_unique<wxTimer>());
                timer->Bind(wxEVT_TIMER, [this, menu](wxTimerEvent&) {
                    gtk_menu_popdown(GTK_MENU(menu->m_menu));
                    ++m_poppedMenus;
                });
                timer->StartOnce(kShownMs);
            }
        }
        return Event_Skip;
    }

private:
    static constexpr int kShownMs = 250;
    static constexpr int kStepMs = 40;
    static constexpr int kMaxDepth = 3;

    void WorkControls(wxWindow* window)
    {
        auto* dialog = dynamic_cast<wxDialog*>(window);
        const std::set<int> closing = {wxID_OK,
                                       wxID_CANCEL,
                                       wxID_CLOSE,
                                       wxID_YES,
                                       wxID_NO,
                                       dialog ? dialog->GetAffirmativeId() : wxID_OK,
                                       dialog ? dialog->GetEscapeId() : wxID_CANCEL};
        std::vector<wxWeakRef<wxWindow>> controls;
        CollectControls(window, controls);
        for (const wxWeakRef<wxWindow>& control : controls) {
            if (!control || !control->IsShownOnScreen() || !control->IsEnabled())
                continue;
            if (auto* choice = dynamic_cast<wxChoice*>(control.get())) {
                const int was = choice->GetSelection();
                for (unsigned i = 0; i < choice->GetCount() && control; ++i) {
                    choice->SetSelection(static_cast<int>(i));
                    Send(choice, wxEVT_CHOICE, static_cast<int>(i));
                    test::Pump(kStepMs);
                }
                if (control && was != wxNOT_FOUND) {
                    choice->SetSelection(was);
                    Send(choice, wxEVT_CHOICE, was);
                }
            } else if (auto* box = dynamic_cast<wxCheckBox*>(control.get())) {
                for (int pass = 0; pass < 2 && control; ++pass) {
                    box->SetValue(!box->GetValue());
                    Send(box, wxEVT_CHECKBOX, box->GetValue());
                    test::Pump(kStepMs);
                }
            } else if (auto* radio = dynamic_cast<wxRadioButton*>(control.get())) {
                radio->SetValue(true);
                Send(radio, wxEVT_RADIOBUTTON, 1);
            } else if (auto* button = dynamic_cast<wxButton*>(control.get())) {
                if (!closing.count(button->GetId()))
                    Send(button, wxEVT_BUTTON, 0);
            } else {
                continue;
            }
            test::Pump(kStepMs);
        }
    }

    // Each task type shows its own section, whose buttons open dialogs.
    void WorkTaskTypes(SchedulerDialog* scheduler)
    {
        wxChoice* type = scheduler->GetTypeChoice();
        for (unsigned i = 0; i < type->GetCount(); ++i) {
            type->SetSelection(static_cast<int>(i));
            Send(type, wxEVT_CHOICE, static_cast<int>(i));
            test::Pump(kStepMs);
            for (wxButton* button : {scheduler->GetLeftButton(), scheduler->GetOperatorButton(),
                                     scheduler->GetRightButton(), scheduler->GetThenTargetButton(),
                                     scheduler->GetElseTargetButton()}) {
                if (button->IsShownOnScreen() && button->IsEnabled()) {
                    Send(button, wxEVT_BUTTON, 0);
                    test::Pump(kStepMs);
                }
            }
            wxCheckBox* doNothing = scheduler->GetDoNothingBox();
            if (doNothing->IsShownOnScreen())
                for (int pass = 0; pass < 2; ++pass) {
                    doNothing->SetValue(!doNothing->GetValue());
                    Send(doNothing, wxEVT_CHECKBOX, doNothing->GetValue());
                    test::Pump(kStepMs);
                }
        }
    }

    std::set<std::string> m_seen;
    std::map<wxDialog*, int> m_entered;
    wxString m_backupPath;
    std::vector<std::unique_ptr<wxTimer>> m_timers;
    int m_depth = 0;
    int m_poppedMenus = 0;
};

class GtkCleanTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // As the console runs: in Swedish, whose longer texts size the controls.
        LoadTranslations(OPSDESK_TEST_LOCALE_DIR, locale, err);
        frame = new MainFrame(bridge, geometry, "Plexor server", wxPoint(0, 0), wxSize(420, 560));
        frame->Show();
        ASSERT_TRUE(test::WaitFor([&] { return frame->GetDevicePanels().size() >= 4; }));
        test::Pump(300);
    }
    void TearDown() override
    {
        if (!frame)
            return;
        for (wxWindow* window : wxTopLevelWindows)
            if (window != frame)
                window->Destroy();
        frame->Destroy();
        wxTheApp->ProcessIdle();
        core.Finish();
        test::Pump(50);
        const std::vector<std::string> logged = TakeLogged();
        EXPECT_TRUE(logged.empty()) << "GTK/GLib complained:" << Joined(logged);
    }

    // Runs a command of the frame or of a panel; windows it leaves open
    // (the modeless ones) are walked and closed after it.
    void Command(wxWindow* target, int id)
    {
        std::set<wxWindow*> before(wxTopLevelWindows.begin(), wxTopLevelWindows.end());
        wxCommandEvent command(wxEVT_MENU, id);
        command.SetEventObject(target);
        target->ProcessWindowEvent(command);
        test::Pump(100);
        std::vector<wxWindow*> opened;
        for (wxWindow* window : wxTopLevelWindows)
            if (!before.count(window) && !wxTheApp->IsScheduledForDestruction(window))
                opened.push_back(window);
        for (wxWindow* window : opened) {
            seenModeless.insert(TypeName(*window));
            walker.Walk(window);
        }
        wxTheApp->ProcessIdle();
    }

    void ExpectSeen(const std::vector<std::string>& names)
    {
        for (const std::string& name : names)
            EXPECT_TRUE(walker.Seen().count(name) || seenModeless.count(name)) << name << " was never opened";
    }

    wxLocale locale;
    std::ostringstream err;
    test::TempDir config;
    EventBridge bridge;
    test::CoreRun core{config.path(), true};
    FrameGeometry geometry;
    MainFrame* frame = nullptr;
    Walker walker;
    std::set<std::string> seenModeless;
};

TEST_F(GtkCleanTest, MenuCommandsAndTheWindowsTheyOpen)
{
    for (int id : {MainFrame::ID_USERS, MainFrame::ID_DEVICES, MainFrame::ID_SCHEDULER, MainFrame::ID_ACTIVITIES,
                   MainFrame::ID_DATAVIEW, MainFrame::ID_ABOUT})
        Command(frame, id);
    ExpectSeen({"UserDlg", "UserEditDlg", "DeviceDlg", "NetworkTypeSelectionDialog", "wxSingleChoiceDialog",
                "SchedulerDialog", "SetpOrValueDialog", "DateSelectionDialog", "SpyFrm", "wxFileDialog",
                "DataView", "AboutDlg"});
}

TEST_F(GtkCleanTest, PanelMenusAndTheDialogsTheyOpen)
{
    // Right-clicks pop the menus up (the walker pops them down); their
    // commands run one by one. Removals are asked about and cancelled.
    walker.SetBackupPath(config.wxpath() + "/backup.xml");
    std::vector<wxWindow*> panels;
    for (NetworkPanel* panel : frame->GetNetworkPanels())
        panels.push_back(panel);
    for (DevicePanel* panel : frame->GetDevicePanels())
        panels.push_back(panel);
    for (wxWindow* panel : panels) {
        wxMouseEvent right(wxEVT_RIGHT_DOWN);
        right.SetEventObject(panel);
        panel->ProcessWindowEvent(right);
        test::Pump(50);
    }
    EXPECT_EQ(walker.PoppedMenus(), static_cast<int>(panels.size()));

    for (NetworkPanel* panel : frame->GetNetworkPanels())
        for (int id : {NetworkPanel::ID_PROPERTIES, NetworkPanel::ID_REMOVE})
            Command(panel, id);
    for (DevicePanel* panel : frame->GetDevicePanels()) {
        panel->ToggleDetails();
        test::Pump(50);
        for (int id : {DevicePanel::ID_EDIT, DevicePanel::ID_CLOCK, DevicePanel::ID_BACKUP, DevicePanel::ID_RESTORE,
                       DevicePanel::ID_REMOVE})
            Command(panel, id);
        panel->ToggleDetails();
    }
    EXPECT_EQ(frame->GetDevicePanels().size(), 4u) << "a removal was not cancelled";

    ASSERT_TRUE(wxFileExists(config.wxpath() + "/backup.xml"));
    OpenRestoreDialog(frame, frame->GetDevicePanels()[0]->GetDeviceId(), config.wxpath() + "/backup.xml");
    ExpectSeen({"DeviceSetupDlg", "ClockDialog", "BackupDialog", "RestoreWindow", "wxFileDialog",
                "wxMessageDialog"});
}

TEST_F(GtkCleanTest, SetupDialogOfEveryNetworkType)
{
    int opened = 0;
    for (const NetworkTypeRow& row : NetworkTypeTable()) {
        if (!plexord_has_network_type(row.key))
            continue;
        network_t* network = plexord_create_network(row.key);
        ASSERT_NE(network, nullptr) << row.key;
        ASSERT_TRUE(ncerr_is_ok(networkmgr_add_network(network))) << row.key;
        const uint16_t id = network_get_id(network);
        wxDialog* dialog = CreateNetworkSetupDialog(frame, network);
        ASSERT_NE(dialog, nullptr) << row.key;
        dialog->ShowModal();
        dialog->Destroy();
        networkmgr_remove_network(id);
        ++opened;
        const std::vector<std::string> logged = TakeLogged();
        EXPECT_TRUE(logged.empty()) << row.key << ": GTK/GLib complained:" << Joined(logged);
    }
    EXPECT_GE(opened, 10);
}

} // namespace
