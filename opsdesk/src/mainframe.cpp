#include "mainframe.h"

#include "dataview.h"
#include "devicedlg.h"
#include "eventbridge.h"
#include "images.h"
#include "mirror.h"
#include "spyfrm.h"
#include "status-window.h"
#include "userdlg.h"
#include "version.h"

#include <plexord.h>
#include <widgetkit/aboutdlg.h>

#include <wx/accel.h>
#include <wx/intl.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/scrolwin.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/version.h>

#include <algorithm>

uxTaskBarIcon::uxTaskBarIcon(MainFrame* frame)
    : m_frame(frame)
{
    SetIcon(StatIcon(), OPSDESK_PRODUCT " " OPSDESK_VERSION);
    Bind(wxEVT_MENU, &uxTaskBarIcon::OnRevert, this, ID_REVERT);
    Bind(wxEVT_TASKBAR_LEFT_DCLICK, &uxTaskBarIcon::OnLeftDoubleClick, this);
}

wxMenu* uxTaskBarIcon::CreatePopupMenu()
{
    auto* menu = new wxMenu;
    menu->Append(ID_REVERT, _("&Revert"));
    return menu;
}

void uxTaskBarIcon::OnRevert(wxCommandEvent&)
{
    m_frame->RestoreFromTray();
}

void uxTaskBarIcon::OnLeftDoubleClick(wxTaskBarIconEvent&)
{
    m_frame->RestoreFromTray();
}

// ---------------------------------------------------------------------------

MainFrame::MainFrame(EventBridge& bridge, FrameGeometry& geometry, const wxString& title, const wxPoint& pos,
                     const wxSize& size)
    : wxFrame(nullptr, wxID_ANY, title, pos, size)
    , m_bridge(bridge)
    , m_geometry(geometry)
    , m_clientCounter(&clientmanager_get_client_count)
{
    SetIcon(StatIcon());
    BuildStatusColumn();
    // A desktop without a tray is no error: the frame then stays visible
    // when minimised.
    if (wxTaskBarIcon::IsAvailable())
        m_taskBarIcon = std::make_unique<uxTaskBarIcon>(this);
    BuildMenuBar();

    wxAcceleratorEntry accelerators[1];
    accelerators[0].Set(wxACCEL_CTRL, 'Q', ID_EXIT);
    SetAcceleratorTable(wxAcceleratorTable(1, accelerators));

    m_bridge.onClientConnected.Subscribe(m_clientConnected);
    m_bridge.onClientDisconnected.Subscribe(m_clientDisconnected);
    m_bridge.onNetworkAdded.Subscribe(m_networkAdded);
    m_bridge.onNetworkRemoved.Subscribe(m_networkRemoved);
    m_bridge.onDeviceAdded.Subscribe(m_deviceAdded);
    m_bridge.onDeviceRemoved.Subscribe(m_deviceRemoved);

    Bind(wxEVT_MENU, &MainFrame::OnMenu, this, ID_EXIT, ID_ABOUT);
    Bind(wxEVT_CLOSE_WINDOW, &MainFrame::OnClose, this);
    Bind(wxEVT_ICONIZE, &MainFrame::OnIconize, this);
    Bind(wxEVT_SIZE, &MainFrame::OnSize, this);
    Bind(wxEVT_MOVE, &MainFrame::OnMove, this);
    Bind(wxEVT_MAXIMIZE, &MainFrame::OnMaximize, this);
}

MainFrame::~MainFrame()
{
    m_bridge.onClientConnected.Remove(m_clientConnected);
    m_bridge.onClientDisconnected.Remove(m_clientDisconnected);
    m_bridge.onNetworkAdded.Remove(m_networkAdded);
    m_bridge.onNetworkRemoved.Remove(m_networkRemoved);
    m_bridge.onDeviceAdded.Remove(m_deviceAdded);
    m_bridge.onDeviceRemoved.Remove(m_deviceRemoved);
    m_taskBarIcon.reset();
}

void MainFrame::BuildStatusColumn()
{
    m_column = new wxScrolledWindow(this, wxID_ANY);
    m_column->SetScrollRate(8, 8);
    m_column->SetBackgroundColour(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW));

    auto* column = new wxBoxSizer(wxVERTICAL);
    m_networkSizer = new wxBoxSizer(wxVERTICAL);
    m_deviceSizer = new wxBoxSizer(wxVERTICAL);
    m_clientSizer = new wxBoxSizer(wxVERTICAL);
    column->Add(new SeparatorPanel(m_column, _("Networks")), 0, wxEXPAND);
    column->Add(m_networkSizer, 0, wxEXPAND);
    column->Add(new SeparatorPanel(m_column, _("Devices")), 0, wxEXPAND);
    column->Add(m_deviceSizer, 0, wxEXPAND);
    column->Add(new SeparatorPanel(m_column, _("Clients")), 0, wxEXPAND);
    column->Add(m_clientSizer, 0, wxEXPAND);
    m_column->SetSizer(column);
}

std::vector<std::pair<wxString, std::vector<MenuEntry>>> MainFrame::MenuTables()
{
    return {
        {_("&File"),
         {
             {ID_USERS, _("&Users"), _("User administration")},
             {ID_DEVICES, _("&Devices"), _("Network and device setup")},
             {ID_SCHEDULER, _("S&cheduler"), _("Scheduler setup")},
             {MenuEntry::kSeparator, {}, {}},
             {ID_EXIT, _("&Exit"), _("Close Plexor")},
         }},
        {_("&View"),
         {
             {ID_ACTIVITIES, _("Display &activities"), _("Display detailed activity list")},
             {ID_DATAVIEW, _("&Dataview"), _("Read and write setpoint values")},
         }},
        {_("&Help"),
         {
             {ID_ABOUT, _("About"), {}},
         }},
    };
}

void MainFrame::BuildMenuBar()
{
    auto* bar = new wxMenuBar;
    for (const auto& [title, entries] : MenuTables()) {
        if (PruneSeparators(entries).empty())
            continue;
        auto* menu = new wxMenu;
        AppendEntries(*menu, entries);
        bar->Append(menu, title);
    }
    SetMenuBar(bar);
}

void MainFrame::SetClientCounter(std::function<int()> counter)
{
    m_clientCounter = std::move(counter);
}

void MainFrame::RestoreFromTray()
{
    Show(true);
    Iconize(false);
    Raise();
}

void MainFrame::RecordGeometry()
{
    TrackGeometry(m_geometry, wxRect(GetPosition(), GetSize()), IsMaximized(), IsIconized());
}

void MainFrame::LayoutColumn()
{
    m_column->Layout();
    m_column->FitInside();
}

template <typename Panel, typename Id>
void MainFrame::AddPanel(wxBoxSizer* sizer, std::vector<Panel*>& panels, Id id)
{
    Freeze();
    auto* panel = new Panel(m_column, m_bridge, id);
    sizer->Add(panel, 0, wxEXPAND);
    panels.push_back(panel);
    LayoutColumn();
    Refresh();
    Thaw();
}

template <typename Panel, typename Id>
void MainFrame::RemovePanel(wxBoxSizer* sizer, std::vector<Panel*>& panels, Id id, Id (Panel::*idOf)() const)
{
    auto it = std::find_if(panels.begin(), panels.end(), [&](Panel* p) { return (p->*idOf)() == id; });
    if (it == panels.end())
        return;
    Panel* panel = *it;
    sizer->Detach(panel);
    panels.erase(it);
    panel->Dispose();
    LayoutColumn();
}

void MainFrame::OnClientConnected(unsigned long id)
{
    AddPanel(m_clientSizer, m_clientPanels, id);
}

void MainFrame::OnClientDisconnected(unsigned long id)
{
    RemovePanel(m_clientSizer, m_clientPanels, id, &ClientPanel::GetClientId);
}

void MainFrame::OnNetworkAdded(unsigned short id)
{
    AddPanel(m_networkSizer, m_networkPanels, id);
}

void MainFrame::OnNetworkRemoved(unsigned short id)
{
    RemovePanel(m_networkSizer, m_networkPanels, id, &NetworkPanel::GetNetworkId);
}

void MainFrame::OnDeviceAdded(unsigned short id)
{
    AddPanel(m_deviceSizer, m_devicePanels, id);
}

void MainFrame::OnDeviceRemoved(unsigned short id)
{
    RemovePanel(m_deviceSizer, m_devicePanels, id, &DevicePanel::GetDeviceId);
}

void MainFrame::OnMenu(wxCommandEvent& event)
{
    switch (event.GetId()) {
    case ID_EXIT:
        Close(false);
        break;
    case ID_ABOUT:
        ShowAbout();
        break;
    case ID_DATAVIEW:
        // Modeless; it destroys itself when closed.
        (new DataView(this, wxDefaultPosition, wxSize(475, 200)))->Show();
        break;
    case ID_DEVICES: {
        DeviceDlg dialog(this);
        dialog.ShowModal();
        break;
    }
    case ID_USERS:
        RunUserAdministration(this);
        break;
    case ID_SCHEDULER:
        RunScheduler(this);
        break;
    case ID_ACTIVITIES:
        // Modeless; each command opens another window.
        ShowActivityLog(this);
        break;
    default:
        event.Skip();
    }
}

void MainFrame::ShowAbout()
{
    AboutDlg dialog(this);
    dialog.SetHeader(OPSDESK_PRODUCT, OPSDESK_VERSION);
    dialog.SetImage(LogoBitmap());
    dialog.SetBuildInfo(_("Build date:") + " " + __DATE__ + ", " + __TIME__ + "\n" + wxVERSION_STRING);
    dialog.Fit();
    dialog.ShowModal();
}

bool MainFrame::ConfirmClose(bool canVeto)
{
    const int clients = m_clientCounter ? m_clientCounter() : 0;
    if (clients <= 0 || !canVeto)
        return true;
    wxMessageDialog question(
        this, wxString::Format(_("There are %d clients connected\n\nAre you sure you want to quit?"), clients),
        _("Exit Plexor"), wxYES_NO | wxICON_WARNING);
    return question.ShowModal() == wxID_YES;
}

void MainFrame::OnClose(wxCloseEvent& event)
{
    RecordGeometry();
    if (!ConfirmClose(event.CanVeto())) {
        event.Veto();
        return;
    }
    Destroy();
}

void MainFrame::OnIconize(wxIconizeEvent& event)
{
    if (event.IsIconized() && m_taskBarIcon)
        Hide();
    event.Skip();
}

void MainFrame::OnSize(wxSizeEvent& event)
{
    RecordGeometry();
    event.Skip();
}

void MainFrame::OnMove(wxMoveEvent& event)
{
    RecordGeometry();
    event.Skip();
}

void MainFrame::OnMaximize(wxMaximizeEvent& event)
{
    RecordGeometry();
    event.Skip();
}
