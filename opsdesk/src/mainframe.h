// The console's only top-level frame: the status column, the menus, the tray
// icon and the geometry kept in "gui.ini".
#ifndef OPSDESK_MAINFRAME_H
#define OPSDESK_MAINFRAME_H

#include "delegate.h"
#include "menus.h"
#include "startup.h"

#include <wx/frame.h>
#include <wx/taskbar.h>

#include <functional>
#include <memory>
#include <vector>

class ClientPanel;
class DevicePanel;
class EventBridge;
class MainFrame;
class NetworkPanel;
class wxBoxSizer;
class wxScrolledWindow;

// The tray icon; it brings the frame back when the frame hides on minimise.
class uxTaskBarIcon : public wxTaskBarIcon
{
public:
    enum { ID_REVERT = 1 };

    explicit uxTaskBarIcon(MainFrame* frame);

protected:
    wxMenu* CreatePopupMenu() override;

private:
    void OnRevert(wxCommandEvent& event);
    void OnLeftDoubleClick(wxTaskBarIconEvent& event);

    MainFrame* m_frame;
};

class MainFrame : public wxFrame
{
public:
    enum {
        ID_EXIT = 11000,
        ID_USERS = 11001,
        ID_DEVICES = 11002,
        ID_SCHEDULER = 11003,
        ID_ACTIVITIES = 11004,
        ID_DATAVIEW = 11005,
        ID_ABOUT = 11006
    };

    // Geometry is where the frame records its position, size and state.
    MainFrame(EventBridge& bridge, FrameGeometry& geometry, const wxString& title, const wxPoint& pos,
              const wxSize& size);
    ~MainFrame() override;

    // Shows, un-minimises and raises the frame (tray icon).
    void RestoreFromTray();

    // Where the number of connected clients comes from when closing; the
    // server core's count unless set.
    void SetClientCounter(std::function<int()> counter);

    // The menus as tables: (menu title, entries).
    static std::vector<std::pair<wxString, std::vector<MenuEntry>>> MenuTables();

    const std::vector<NetworkPanel*>& GetNetworkPanels() const { return m_networkPanels; }
    const std::vector<DevicePanel*>& GetDevicePanels() const { return m_devicePanels; }
    const std::vector<ClientPanel*>& GetClientPanels() const { return m_clientPanels; }
    wxScrolledWindow* GetStatusColumn() const { return m_column; }
    uxTaskBarIcon* GetTaskBarIcon() const { return m_taskBarIcon.get(); }

    // The frame's part of a close: false when the operator keeps it open.
    bool ConfirmClose(bool canVeto);
    void ShowAbout();

private:
    void BuildStatusColumn();
    void BuildMenuBar();
    void RecordGeometry();
    void LayoutColumn();

    template <typename Panel, typename Id>
    void AddPanel(wxBoxSizer* sizer, std::vector<Panel*>& panels, Id id);
    template <typename Panel, typename Id>
    void RemovePanel(wxBoxSizer* sizer, std::vector<Panel*>& panels, Id id, Id (Panel::*idOf)() const);

    void OnClientConnected(unsigned long id);
    void OnClientDisconnected(unsigned long id);
    void OnNetworkAdded(unsigned short id);
    void OnNetworkRemoved(unsigned short id);
    void OnDeviceAdded(unsigned short id);
    void OnDeviceRemoved(unsigned short id);

    void OnMenu(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);
    void OnIconize(wxIconizeEvent& event);
    void OnSize(wxSizeEvent& event);
    void OnMove(wxMoveEvent& event);
    void OnMaximize(wxMaximizeEvent& event);

    EventBridge& m_bridge;
    FrameGeometry& m_geometry;
    std::function<int()> m_clientCounter;

    wxScrolledWindow* m_column = nullptr;
    wxBoxSizer* m_networkSizer = nullptr;
    wxBoxSizer* m_deviceSizer = nullptr;
    wxBoxSizer* m_clientSizer = nullptr;
    std::vector<NetworkPanel*> m_networkPanels;
    std::vector<DevicePanel*> m_devicePanels;
    std::vector<ClientPanel*> m_clientPanels;
    std::unique_ptr<uxTaskBarIcon> m_taskBarIcon;

    Listener<MainFrame, unsigned long> m_clientConnected{this, &MainFrame::OnClientConnected};
    Listener<MainFrame, unsigned long> m_clientDisconnected{this, &MainFrame::OnClientDisconnected};
    Listener<MainFrame, unsigned short> m_networkAdded{this, &MainFrame::OnNetworkAdded};
    Listener<MainFrame, unsigned short> m_networkRemoved{this, &MainFrame::OnNetworkRemoved};
    Listener<MainFrame, unsigned short> m_deviceAdded{this, &MainFrame::OnDeviceAdded};
    Listener<MainFrame, unsigned short> m_deviceRemoved{this, &MainFrame::OnDeviceRemoved};
};

#endif
