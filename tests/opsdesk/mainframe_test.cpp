// The main frame on the real core: panels that follow the core's events,
// the menus, the close question, the about box and the tray's restore.
#include "eventbridge.h"
#include "gui_support.h"
#include "mainframe.h"
#include "mirror.h"
#include "spyfrm.h"
#include "startup.h"
#include "status-window.h"
#include "support.h"
#include "userdlg.h"
#include "version.h"

#include <widgetkit/aboutdlg.h>

#include <gtest/gtest.h>

#include <wx/menu.h>
#include <wx/scrolwin.h>
#include <wx/sizer.h>
#include <wx/snglinst.h>
#include <wx/stattext.h>
#include <wx/uiaction.h>
#include <wx/weakref.h>

#include <cstdlib>

#include <sys/wait.h>
#include <unistd.h>

namespace {

class ExpectAbout : public wxExpectModalBase<AboutDlg, ExpectAbout>
{
public:
    ExpectAbout(wxString* title, wxString* buildInfo)
        : m_title(title)
        , m_buildInfo(buildInfo)
    {
    }

protected:
    int OnInvoked(AboutDlg* dialog) const override
    {
        *m_title = dialog->GetTitle();
        if (auto* info = dynamic_cast<wxStaticText*>(wxWindow::FindWindowByName("build_info", dialog)))
            *m_buildInfo = info->GetLabelText();
        return wxID_CLOSE;
    }

private:
    wxString* m_title;
    wxString* m_buildInfo;
};

// Answers a modal dialog of type D with a code, noting its title.
template <class D>
class Dismiss : public wxExpectModalBase<D, Dismiss<D>>
{
public:
    Dismiss(int code, wxString* title)
        : m_code(code)
        , m_title(title)
    {
    }

protected:
    int OnInvoked(D* dialog) const override
    {
        *m_title = dialog->GetTitle();
        return m_code;
    }

private:
    int m_code;
    wxString* m_title;
};

class MainFrameTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        frame = new MainFrame(bridge, geometry, "Plexor server", wxPoint(0, 3), wxSize(420, 560));
        frame->Show();
        ref = frame;
    }
    void TearDown() override
    {
        if (ref && !Closing())
            delete ref.get();
        // A closed frame is deleted when the application is next idle.
        wxTheApp->ProcessIdle();
        EXPECT_FALSE(ref);
        core.Finish();
    }

    // Closed: destroyed, or waiting to be at the next idle time.
    bool Closing() const { return !ref || wxTheApp->IsScheduledForDestruction(ref.get()); }

    test::TempDir config;
    EventBridge bridge;
    test::CoreRun core{config.path()};
    FrameGeometry geometry;
    MainFrame* frame = nullptr;
    wxWeakRef<MainFrame> ref;
};

std::vector<unsigned short> DeviceIds(const MainFrame& frame)
{
    std::vector<unsigned short> ids;
    for (DevicePanel* p : frame.GetDevicePanels())
        ids.push_back(p->GetDeviceId());
    return ids;
}

TEST_F(MainFrameTest, ColumnHasTheThreeHeadings)
{
    wxSizer* column = frame->GetStatusColumn()->GetSizer();
    ASSERT_EQ(column->GetItemCount(), 6u);
    const char* headings[] = {"Networks", "Devices", "Clients"};
    for (size_t i = 0; i < 3; ++i) {
        auto* heading = dynamic_cast<SeparatorPanel*>(column->GetItem(i * 2)->GetWindow());
        ASSERT_NE(heading, nullptr);
        EXPECT_EQ(heading->GetHeading(), headings[i]);
        EXPECT_TRUE(column->GetItem(i * 2 + 1)->IsSizer());
    }
}

TEST_F(MainFrameTest, PanelsFollowTheCoresEvents)
{
    const int emptyHeight = frame->GetStatusColumn()->GetSizer()->GetMinSize().y;
    const uint16_t network = test::AddDbNetwork("Plant", config.file("plant.ini"));
    ASSERT_TRUE(test::WaitFor([&] { return frame->GetNetworkPanels().size() == 1; }));
    EXPECT_EQ(frame->GetNetworkPanels()[0]->GetPanelLabel(), "Plant");

    const uint16_t first = test::AddDevice(network, "Boiler", "boiler");
    const uint16_t second = test::AddDevice(network, "Greenhouse", "greenhouse");
    ASSERT_TRUE(test::WaitFor([&] { return frame->GetDevicePanels().size() == 2; }));
    EXPECT_EQ(DeviceIds(*frame), (std::vector<unsigned short>{first, second}));
    EXPECT_GT(frame->GetStatusColumn()->GetSizer()->GetMinSize().y, emptyHeight);

    wxWeakRef<DevicePanel> removed(frame->GetDevicePanels()[0]);
    ASSERT_TRUE(ncerr_is_ok(devicemgr_remove_device(first)));
    ASSERT_TRUE(test::WaitFor([&] { return frame->GetDevicePanels().size() == 1; }));
    EXPECT_EQ(DeviceIds(*frame), (std::vector<unsigned short>{second}));
    EXPECT_FALSE(removed);

    // An id without a panel changes nothing.
    test::Deliver(NCEVENT_DEVICE_REMOVED, 0, 999);
    test::Deliver(NCEVENT_NETWORK_REMOVED, 0, 0, 999);
    test::Deliver(NCEVENT_CLIENT_DISCONNECTED, 999);
    ASSERT_TRUE(test::Settle(bridge));
    EXPECT_EQ(DeviceIds(*frame), (std::vector<unsigned short>{second}));
    EXPECT_EQ(frame->GetNetworkPanels().size(), 1u);

    test::Deliver(NCEVENT_CLIENT_CONNECTED, 42);
    ASSERT_TRUE(test::WaitFor([&] { return frame->GetClientPanels().size() == 1; }));
    EXPECT_EQ(frame->GetClientPanels()[0]->GetPanelLabel(), "Client 42");
    test::Deliver(NCEVENT_CLIENT_DISCONNECTED, 42);
    ASSERT_TRUE(test::WaitFor([&] { return frame->GetClientPanels().empty(); }));

    ASSERT_TRUE(ncerr_is_ok(networkmgr_remove_network(network)));
    ASSERT_TRUE(test::WaitFor([&] { return frame->GetNetworkPanels().empty(); }));
    EXPECT_EQ(frame->GetDevicePanels().size(), 1u);
}

TEST_F(MainFrameTest, CloseWithClientsAsksWithTheirNumber)
{
    frame->SetClientCounter([this] { return bridge.GetClientCount(); });
    test::Deliver(NCEVENT_CLIENT_CONNECTED, 1);
    test::Deliver(NCEVENT_CLIENT_CONNECTED, 2);
    ASSERT_TRUE(test::WaitFor([&] { return bridge.GetClientCount() == 2; }));

    wxString message, caption;
    long style = 0;
    wxTEST_DIALOG(frame->Close(), test::AnswerMessage(wxID_NO, &message, &caption, &style));
    EXPECT_EQ(message, "There are 2 clients connected\n\nAre you sure you want to quit?");
    EXPECT_EQ(caption, "Exit Plexor");
    EXPECT_TRUE(style & wxICON_WARNING);
    EXPECT_FALSE(Closing());
    EXPECT_TRUE(frame->IsShown());

    wxTEST_DIALOG(frame->Close(), test::AnswerMessage(wxID_YES));
    EXPECT_TRUE(Closing());
}

TEST_F(MainFrameTest, ForcedCloseDoesNotAsk)
{
    frame->SetClientCounter([] { return 3; });
    PlexordTestingModalHook noDialog(__FILE__, __LINE__, "ForcedCloseDoesNotAsk");
    frame->Close(true);
    EXPECT_TRUE(Closing());
}

TEST_F(MainFrameTest, CloseWithoutClientsDoesNotAsk)
{
    // The core's own count: no remote clients here.
    PlexordTestingModalHook noDialog(__FILE__, __LINE__, "CloseWithoutClientsDoesNotAsk");
    wxCommandEvent exit(wxEVT_MENU, MainFrame::ID_EXIT);
    frame->GetEventHandler()->ProcessEvent(exit);
    EXPECT_TRUE(Closing());
}

TEST_F(MainFrameTest, MenusInTheirOrder)
{
    struct Item {
        int id;
        const char* label;
        const char* help;
    };
    const std::vector<std::pair<const char*, std::vector<Item>>> expected = {
        {"&File",
         {{MainFrame::ID_USERS, "&Users", "User administration"},
          {MainFrame::ID_DEVICES, "&Devices", "Network and device setup"},
          {MainFrame::ID_SCHEDULER, "S&cheduler", "Scheduler setup"},
          {wxID_SEPARATOR, "", ""},
          {MainFrame::ID_EXIT, "&Exit", "Close Plexor"}}},
        {"&View",
         {{MainFrame::ID_ACTIVITIES, "Display &activities", "Display detailed activity list"},
          {MainFrame::ID_DATAVIEW, "&Dataview", "Read and write setpoint values"}}},
        {"&Help", {{MainFrame::ID_ABOUT, "About", ""}}},
    };
    wxMenuBar* bar = frame->GetMenuBar();
    ASSERT_EQ(bar->GetMenuCount(), expected.size());
    for (size_t m = 0; m < expected.size(); ++m) {
        EXPECT_EQ(bar->GetMenuLabel(m), expected[m].first);
        wxMenu* menu = bar->GetMenu(m);
        ASSERT_EQ(menu->GetMenuItemCount(), expected[m].second.size()) << m;
        for (size_t i = 0; i < expected[m].second.size(); ++i) {
            const Item& want = expected[m].second[i];
            wxMenuItem* item = menu->FindItemByPosition(i);
            if (want.id == wxID_SEPARATOR) {
                EXPECT_TRUE(item->IsSeparator()) << m << "/" << i;
                continue;
            }
            EXPECT_EQ(item->GetId(), want.id);
            EXPECT_EQ(item->GetItemLabel(), want.label);
            EXPECT_EQ(item->GetHelp(), want.help);
        }
    }
}

TEST_F(MainFrameTest, MenuCommandsOpenTheirWindows)
{
    auto command = [&](int id) {
        wxCommandEvent event(wxEVT_MENU, id);
        frame->GetEventHandler()->ProcessEvent(event);
    };
    auto logs = [&] {
        std::vector<SpyFrm*> found;
        for (wxWindow* w : frame->GetChildren())
            if (auto* log = dynamic_cast<SpyFrm*>(w); log && !wxTheApp->IsScheduledForDestruction(log))
                found.push_back(log);
        return found;
    };

    // Each command opens another activity log, modeless.
    command(MainFrame::ID_ACTIVITIES);
    command(MainFrame::ID_ACTIVITIES);
    const auto open = logs();
    ASSERT_EQ(open.size(), 2u);
    EXPECT_NE(open[0], open[1]);
    for (SpyFrm* log : open) {
        EXPECT_TRUE(log->IsShown());
        EXPECT_FALSE(log->IsModal());
        log->Destroy();
    }
    wxTheApp->ProcessIdle();
    EXPECT_TRUE(logs().empty());

    // Users and scheduler are modal and gone when the command returns.
    wxString title;
    wxTEST_DIALOG(command(MainFrame::ID_USERS), Dismiss<UserDlg>(wxID_CANCEL, &title));
    wxTEST_DIALOG(command(MainFrame::ID_SCHEDULER), Dismiss<SchedulerDialog>(0, &title));
    EXPECT_EQ(title, "Scheduler");
}

TEST_F(MainFrameTest, ControlQCloses)
{
    frame->Raise();
    frame->GetStatusColumn()->SetFocus();
    test::Pump(200);
    wxUIActionSimulator input;
    input.Char('q', wxMOD_CONTROL);
    EXPECT_TRUE(test::WaitFor([&] { return Closing(); }, 3000));
}

TEST_F(MainFrameTest, AboutShowsProductAndToolkit)
{
    wxString title, buildInfo;
    wxTEST_DIALOG(frame->ShowAbout(), ExpectAbout(&title, &buildInfo));
    EXPECT_EQ(title, OPSDESK_PRODUCT " " OPSDESK_VERSION);
    EXPECT_TRUE(buildInfo.StartsWith("Build date: ")) << buildInfo;
    EXPECT_TRUE(buildInfo.EndsWith("\n" wxVERSION_STRING)) << buildInfo;
}

TEST_F(MainFrameTest, RestoreBringsTheFrameBack)
{
    // Xvfb has no tray: minimising must not hide the only way back.
    EXPECT_EQ(frame->GetTaskBarIcon(), nullptr);
    wxIconizeEvent minimised(frame->GetId(), true);
    frame->GetEventHandler()->ProcessEvent(minimised);
    EXPECT_TRUE(frame->IsShown());

    frame->Hide();
    uxTaskBarIcon tray(frame);
    wxTaskBarIconEvent doubleClick(wxEVT_TASKBAR_LEFT_DCLICK, &tray);
    tray.ProcessEvent(doubleClick);
    EXPECT_TRUE(frame->IsShown());
    EXPECT_FALSE(frame->IsIconized());

    frame->Hide();
    wxCommandEvent revert(wxEVT_MENU, uxTaskBarIcon::ID_REVERT);
    tray.ProcessEvent(revert);
    EXPECT_TRUE(frame->IsShown());
}

TEST_F(MainFrameTest, GeometryFollowsTheFrame)
{
    frame->SetSize(500, 400);
    ASSERT_TRUE(test::WaitFor([&] { return geometry.width == 500 && geometry.height == 400; }, 3000))
        << geometry.width << "x" << geometry.height;
    EXPECT_FALSE(geometry.maximized);
    frame->Close(true);
    EXPECT_EQ(geometry.width, 500);
}

// Run in a child process by SingleInstance.SecondClaimIsRefusedWithTheMessage
// (a checker does not count its own process as another instance): holds the
// name until its standard input closes.
TEST(SingleInstanceHolder, HoldsTheName)
{
    const char* name = std::getenv("OPSDESK_HOLD_INSTANCE");
    if (!name)
        GTEST_SKIP() << "only run by SingleInstance.SecondClaimIsRefusedWithTheMessage";
    wxSingleInstanceChecker checker;
    ASSERT_TRUE(checker.Create(name));
    std::fputs("held\n", stdout);
    std::fflush(stdout);
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
}

TEST(SingleInstance, SecondClaimIsRefusedWithTheMessage)
{
    const std::string name = "opsdesk-test-" + std::to_string(getpid());
    int toChild[2], fromChild[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(fromChild), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(toChild[0], STDIN_FILENO);
        dup2(fromChild[1], STDOUT_FILENO);
        close(toChild[1]);
        close(fromChild[0]);
        setenv("OPSDESK_HOLD_INSTANCE", name.c_str(), 1);
        execl("/proc/self/exe", "opsdesk_gui_tests", "--gtest_filter=SingleInstanceHolder.HoldsTheName",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    std::string answer;
    char c;
    while (answer.find("held\n") == std::string::npos && read(fromChild[0], &c, 1) == 1)
        answer += c;
    ASSERT_NE(answer.find("held"), std::string::npos) << answer;

    wxSingleInstanceChecker second;
    bool claimed = true;
    wxString message;
    long style = 0;
    wxTEST_DIALOG(claimed = ClaimSingleInstance(second, name), test::AnswerMessage(wxID_OK, &message, nullptr, &style));
    EXPECT_FALSE(claimed);
    EXPECT_EQ(message, "Another instance of Plexor is running.");
    EXPECT_TRUE(style & wxOK);

    close(toChild[1]);
    close(fromChild[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace
