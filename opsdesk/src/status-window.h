// The status window: headings and one panel per network, device and client,
// with lamps that flash as reads and writes pass through the server.
#ifndef OPSDESK_STATUS_WINDOW_H
#define OPSDESK_STATUS_WINDOW_H

#include "delegate.h"

#include <plexord.h>

#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/font.h>
#include <wx/panel.h>
#include <wx/timer.h>

class EventBridge;
class wxMenu;
class wxNCEvent;

// The folder every window loads its images from: the core's data folder
// joined with "images".
void SetImageFolder(const wxString& folder);
const wxString& GetImageFolder();

// The image type a file name's extension stands for (PNG when unknown).
wxBitmapType ImageTypeForFile(const wxString& name);
// Loads an image of the image folder; an empty bitmap when it cannot.
wxBitmap LoadImage(const wxString& name);

enum LampState
{
    LAMP_HIDDEN = 0,
    LAMP_UNLIT = 1,
    LAMP_PENDING = 2,
    LAMP_SUCCEEDED = 3,
    LAMP_FAILED = 4
};

// One lamp's states. Each step tells what the panel has to do about it.
class Lamp
{
public:
    // How long a result stays lit.
    static constexpr int kFlashMs = 650;

    struct Change
    {
        bool changed = false;
        bool wasHidden = false;  // the panel's size changes
        bool stopTimer = false;
        bool startTimer = false; // once, for kFlashMs
    };

    Change Show();                  // hidden becomes unlit
    Change Request();               // a read or write was asked for
    Change Result(bool succeeded);  // its result came
    Change Expire();                // the flash is over

    LampState GetState() const { return m_state; }

private:
    Change MoveTo(LampState state);

    LampState m_state = LAMP_HIDDEN;
};

// The text a device panel shows below its label when clicked.
wxString DeviceDetailsText(const wxString& hardware, int reads, int failedReads, int writes, int failedWrites);

// A lamp's state in words, for assistive technologies.
wxString LampStateText(LampState state);
// What assistive technologies read of a panel besides its label: its kind
// ("Network, MODBUS/TCP") and both lamps.
wxString PanelDescription(const wxString& kind, LampState read, LampState write);

// A double-buffered panel that draws itself through Draw.
class StatusPanel : public wxPanel
{
public:
    explicit StatusPanel(wxWindow* parent);

    // Redraws the content at the next paint.
    void RefreshContent();
    bool IsDirty() const { return m_dirty; }

protected:
    virtual void Draw(wxDC& dc) = 0;
    // The content's size without the margins.
    virtual wxSize GetContentSize() = 0;
    // Sets the minimum size from the content and lays the column out again.
    void UpdateMinSize();

    int m_marginLeft = 6;
    int m_marginTop = 6;
    int m_marginRight = 6;
    int m_marginBottom = 6;

private:
    void OnPaint(wxPaintEvent& event);
    void OnSize(wxSizeEvent& event);

    wxBitmap m_buffer;
    wxMemoryDC m_memory;
    bool m_dirty = true;
};

// A heading of the status column.
class SeparatorPanel : public StatusPanel
{
public:
    SeparatorPanel(wxWindow* parent, const wxString& heading);

    void SetHeading(const wxString& heading);
    const wxString& GetHeading() const { return m_heading; }

protected:
    void Draw(wxDC& dc) override;
    wxSize GetContentSize() override;

private:
    wxString m_heading;
    wxFont m_font;
};

// A panel with a label, an optional icon, details below the label, and a
// read lamp and a write lamp that follow the reads and writes of the object
// the panel shows.
class IOPanel : public StatusPanel
{
public:
    enum { ID_READ_TIMER = 1, ID_WRITE_TIMER = 2 };

    IOPanel(wxWindow* parent, EventBridge& bridge);

    void SetPanelLabel(const wxString& label);
    const wxString& GetPanelLabel() const { return m_label; }
    void SetIcon(const wxBitmap& icon);
    bool HasIcon() const { return m_hasIcon; }
    void SetDetails(const wxString& details);
    const wxString& GetDetails() const { return m_details; }
    void ShowDetails(bool show);
    bool AreDetailsShown() const { return m_showDetails; }

    LampState GetReadLamp() const { return m_readLamp.GetState(); }
    LampState GetWriteLamp() const { return m_writeLamp.GetState(); }
    bool IsReadTimerRunning() const { return m_readTimer.IsRunning(); }
    bool IsWriteTimerRunning() const { return m_writeTimer.IsRunning(); }

    // The object the panel shows is gone: no more events reach the panel, it
    // is hidden and destroyed, right away or, while a pop-up menu of its own
    // is open, as soon as that has closed.
    void Dispose();
    bool IsDisposed() const { return m_disposed; }

protected:
    enum class Transfer
    {
        Read,
        Write
    };

    // Subscribes the lamps to the reads and writes on the bridge; called
    // once by each subclass constructor.
    void SubscribeIO();
    // Removes the panel's listeners from the delegates; harmless when
    // repeated. Subclasses call it in their destructors too.
    void Unsubscribe();
    // Removes the listeners a subclass added; Unsubscribe calls it once.
    virtual void UnsubscribeOwn() = 0;

    // Whether a read or write event is about the object the panel shows.
    virtual bool IsOwnEvent(const wxNCEvent& event) const = 0;
    // A result of the panel's own came; called before its lamp shows it.
    virtual void CountResult(Transfer transfer, bool succeeded);

    // Both lamps go from hidden to unlit.
    void ShowLamps();
    // The kind of object the panel shows, for its description.
    void SetKind(const wxString& kind);

    // Shows a pop-up menu; the panel outlives it even when disposed meanwhile.
    void ShowPopup(wxMenu& menu);
    // Asks the question and, on yes, has the core remove the object; a
    // failure is shown. The panel may be disposed while the question is open.
    void ConfirmRemove(const wxString& question, const wxString& caption, ncerr_t (*remove)(uint16_t id),
                       uint16_t id);

    void Draw(wxDC& dc) override;
    wxSize GetContentSize() override;

    EventBridge& m_bridge;

private:
    void OnReadRequest(wxNCEvent& event);
    void OnReadResult(wxNCEvent& event);
    void OnWriteRequest(wxNCEvent& event);
    void OnWriteResult(wxNCEvent& event);
    void Apply(wxTimer& timer, const Lamp::Change& change);
    void Describe();
    void DescribeLater();
    void OnTimer(wxTimerEvent& event);
    wxSize LampSize() const;
    int LabelLeft() const;
    int RowHeight() const;

    wxString m_label;
    wxFont m_labelFont;
    wxBitmap m_icon;
    bool m_hasIcon = false;
    wxString m_details;
    wxFont m_detailFont;
    bool m_showDetails = false;

    Lamp m_readLamp;
    Lamp m_writeLamp;
    wxTimer m_readTimer;
    wxTimer m_writeTimer;
    wxBitmap m_lampImages[5]; // by LampState; [0] unused
    wxString m_kind;
    bool m_describePending = false;

    int m_popupDepth = 0;
    bool m_disposed = false;

    bool m_subscribed = true;
    Listener<IOPanel, wxNCEvent&> m_readRequest{this, &IOPanel::OnReadRequest};
    Listener<IOPanel, wxNCEvent&> m_readResult{this, &IOPanel::OnReadResult};
    Listener<IOPanel, wxNCEvent&> m_writeRequest{this, &IOPanel::OnWriteRequest};
    Listener<IOPanel, wxNCEvent&> m_writeResult{this, &IOPanel::OnWriteResult};
};

class NetworkPanel : public IOPanel
{
public:
    enum { ID_PROPERTIES = 0, ID_REMOVE = 1 };

    NetworkPanel(wxWindow* parent, EventBridge& bridge, unsigned short id);
    ~NetworkPanel() override;

    unsigned short GetNetworkId() const { return m_id; }

    // The "Network properties" item: the setup dialog of the network's type.
    void ShowProperties();
    // The "Remove network" item: asks, then has the core remove it.
    void AskRemove();

protected:
    void UnsubscribeOwn() override;
    bool IsOwnEvent(const wxNCEvent& event) const override;

private:
    void ReadLabel();
    void OnNetworkChanged(unsigned short id);
    void OnRightDown(wxMouseEvent& event);
    void OnMenu(wxCommandEvent& event);

    unsigned short m_id;
    Listener<NetworkPanel, unsigned short> m_changed{this, &NetworkPanel::OnNetworkChanged};
};

class DevicePanel : public IOPanel
{
public:
    enum {
        ID_EDIT = 2,
        ID_CLOCK = 3,
        ID_REMOVE = 4,
        ID_BACKUP = 5,
        ID_RESTORE = 6
    };

    DevicePanel(wxWindow* parent, EventBridge& bridge, unsigned short id);
    ~DevicePanel() override;

    unsigned short GetDeviceId() const { return m_id; }
    const wxString& GetHardwareName() const { return m_hardware; }
    int GetReads() const { return m_reads; }
    int GetFailedReads() const { return m_failedReads; }
    int GetWrites() const { return m_writes; }
    int GetFailedWrites() const { return m_failedWrites; }

    // A click on the panel: shows or hides the counters.
    void ToggleDetails();
    // The "Edit device" item: the device setup dialog.
    void EditDevice();
    // The "Remove device" item: asks, then has the core remove it.
    void AskRemove();

protected:
    void UnsubscribeOwn() override;
    bool IsOwnEvent(const wxNCEvent& event) const override;
    void CountResult(Transfer transfer, bool succeeded) override;

private:
    void ReadDevice();
    void UpdateDetails();
    void OnDeviceChanged(unsigned short id);
    void OnLeftUp(wxMouseEvent& event);
    void OnRightDown(wxMouseEvent& event);
    void OnMenu(wxCommandEvent& event);

    unsigned short m_id;
    wxString m_hardware;
    int m_reads = 0;
    int m_failedReads = 0;
    int m_writes = 0;
    int m_failedWrites = 0;
    Listener<DevicePanel, unsigned short> m_changed{this, &DevicePanel::OnDeviceChanged};
};

class ClientPanel : public IOPanel
{
public:
    ClientPanel(wxWindow* parent, EventBridge& bridge, unsigned long id);
    ~ClientPanel() override;

    unsigned long GetClientId() const { return m_id; }

protected:
    void UnsubscribeOwn() override;
    bool IsOwnEvent(const wxNCEvent& event) const override;

private:
    void OnClientChanged(wxNCEvent& event);

    unsigned long m_id;
    Listener<ClientPanel, wxNCEvent&> m_clientChanged{this, &ClientPanel::OnClientChanged};
};

#endif
