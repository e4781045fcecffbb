#include "status-window.h"

#include "accessible.h"
#include "backup-window.h"
#include "clockdlg.h"
#include "devicesetup.h"
#include "eventbridge.h"
#include "menus.h"
#include "networktypes.h"

#include <plexord.h>

#include <wx/dcclient.h>
#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/intl.h>
#include <wx/log.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/settings.h>
#include <wx/tokenzr.h>

#include <algorithm>

namespace {

wxString g_imageFolder;

// How long a panel waits for a network that a removal holds locked.
constexpr int kFetchWaitMs = 1000;
// Gap between icon and label, and between lamps.
constexpr int kGap = 6;

wxFont DefaultFont()
{
    return wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
}

// The detail lines as drawn; the line end after the last line opens none.
wxArrayString DetailLines(const wxString& text)
{
    wxArrayString lines = wxSplit(text, '\n', '\0');
    if (!lines.empty() && lines.Last().empty())
        lines.RemoveAt(lines.size() - 1);
    return lines;
}

wxString Utf8(const char* text)
{
    return text ? wxString::FromUTF8(text) : wxString();
}

// Failures of the core are shown to the operator in its own words.
void ShowFailure(wxWindow* parent, ncerr_t result)
{
    wxMessageBox(wxGetTranslation(Utf8(ncerr_get_string(result))), wxMessageBoxCaptionStr, wxOK | wxICON_ERROR,
                 parent);
}

} // namespace

void SetImageFolder(const wxString& folder)
{
    g_imageFolder = folder;
}

const wxString& GetImageFolder()
{
    return g_imageFolder;
}

wxBitmapType ImageTypeForFile(const wxString& name)
{
    const wxString ext = wxFileName(name).GetExt().Lower();
    if (ext == "jpg" || ext == "jpeg")
        return wxBITMAP_TYPE_JPEG;
    if (ext == "xpm")
        return wxBITMAP_TYPE_XPM;
    return wxBITMAP_TYPE_PNG;
}

wxBitmap LoadImage(const wxString& name)
{
    wxString path = name;
    if (!g_imageFolder.empty())
        path = g_imageFolder + wxFILE_SEP_PATH + name;
    wxBitmap bitmap;
    if (wxFileName::IsFileReadable(path)) {
        // A damaged file leaves the bitmap empty instead of an error box.
        wxLogNull quiet;
        bitmap.LoadFile(path, ImageTypeForFile(name));
    }
    return bitmap;
}

Lamp::Change Lamp::MoveTo(LampState state)
{
    Change change;
    if (state == m_state)
        return change;
    change.changed = true;
    change.wasHidden = m_state == LAMP_HIDDEN;
    m_state = state;
    return change;
}

Lamp::Change Lamp::Show()
{
    return m_state == LAMP_HIDDEN ? MoveTo(LAMP_UNLIT) : Change();
}

Lamp::Change Lamp::Request()
{
    if (m_state == LAMP_PENDING)
        return {};
    Change change = MoveTo(LAMP_PENDING);
    change.stopTimer = true;
    return change;
}

Lamp::Change Lamp::Result(bool succeeded)
{
    const LampState state = succeeded ? LAMP_SUCCEEDED : LAMP_FAILED;
    if (state == m_state)
        return {};
    Change change = MoveTo(state);
    change.startTimer = true;
    return change;
}

Lamp::Change Lamp::Expire()
{
    return MoveTo(LAMP_UNLIT);
}

wxString DeviceDetailsText(const wxString& hardware, int reads, int failedReads, int writes, int failedWrites)
{
    return hardware + "\n" + wxString::Format(_("Readings: %d (%d failed)\n"), reads, failedReads) +
           wxString::Format(_("Writes: %d (%d failed)\n"), writes, failedWrites);
}

wxString LampStateText(LampState state)
{
    switch (state) {
    case LAMP_HIDDEN:
        return _("not shown");
    case LAMP_UNLIT:
        return _("off");
    case LAMP_PENDING:
        return _("yellow, waiting for the result");
    case LAMP_SUCCEEDED:
        return _("green, succeeded");
    case LAMP_FAILED:
        return _("red, failed");
    }
    return wxString();
}

wxString PanelDescription(const wxString& kind, LampState read, LampState write)
{
    return wxString::Format(_("%s; read: %s; write: %s"), kind, LampStateText(read), LampStateText(write));
}

// ---------------------------------------------------------------------------

StatusPanel::StatusPanel(wxWindow* parent)
    : wxPanel(parent, wxID_ANY)
{
    // Everything is drawn from the off-screen bitmap; erasing would flicker.
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    Bind(wxEVT_PAINT, &StatusPanel::OnPaint, this);
    Bind(wxEVT_SIZE, &StatusPanel::OnSize, this);
}

void StatusPanel::RefreshContent()
{
    if (m_dirty)
        return;
    m_dirty = true;
    Refresh(false);
}

void StatusPanel::UpdateMinSize()
{
    const wxSize content = GetContentSize();
    const wxSize size(content.x + m_marginLeft + m_marginRight, content.y + m_marginTop + m_marginBottom);
    if (size == GetMinSize())
        return;
    SetMinSize(size);
    if (wxWindow* parent = GetParent()) {
        parent->Layout();
        parent->FitInside();
    }
}

void StatusPanel::OnPaint(wxPaintEvent&)
{
    wxPaintDC dc(this);
    const wxSize client = GetClientSize();
    if (client.x <= 0 || client.y <= 0)
        return;
    if (!m_buffer.IsOk() || client.x > m_buffer.GetWidth() || client.y > m_buffer.GetHeight()) {
        m_memory.SelectObject(wxNullBitmap);
        m_buffer.Create(client.x, client.y);
        m_memory.SelectObject(m_buffer);
        m_dirty = true;
    }
    if (m_dirty) {
        Draw(m_memory);
        m_dirty = false;
    }
    dc.Blit(0, 0, client.x, client.y, &m_memory, 0, 0);
}

void StatusPanel::OnSize(wxSizeEvent& event)
{
    m_dirty = true;
    Refresh(false);
    event.Skip();
}

// ---------------------------------------------------------------------------

SeparatorPanel::SeparatorPanel(wxWindow* parent, const wxString& heading)
    : StatusPanel(parent)
    , m_heading(heading)
    , m_font(DefaultFont().Bold())
{
    SetAccessibleRole(this, AccessibleRole::Heading);
    SetAccessibleName(this, heading);
    UpdateMinSize();
}

void SeparatorPanel::SetHeading(const wxString& heading)
{
    m_heading = heading;
    SetAccessibleName(this, heading);
    UpdateMinSize();
    RefreshContent();
}

wxSize SeparatorPanel::GetContentSize()
{
    wxCoord w = 0, h = 0;
    GetTextExtent(m_heading, &w, &h, nullptr, nullptr, &m_font);
    return {w, h};
}

void SeparatorPanel::Draw(wxDC& dc)
{
    dc.SetBackground(wxBrush(wxSystemSettings::GetColour(wxSYS_COLOUR_ACTIVECAPTION)));
    dc.Clear();
    dc.SetFont(m_font);
    dc.SetTextForeground(wxSystemSettings::GetColour(wxSYS_COLOUR_CAPTIONTEXT));
    dc.DrawText(m_heading, m_marginLeft, m_marginTop);
}

// ---------------------------------------------------------------------------

IOPanel::IOPanel(wxWindow* parent, EventBridge& bridge)
    : StatusPanel(parent)
    , m_bridge(bridge)
    , m_labelFont(DefaultFont())
    , m_detailFont(DefaultFont())
    , m_readTimer(this, ID_READ_TIMER)
    , m_writeTimer(this, ID_WRITE_TIMER)
{
    m_marginLeft = m_marginTop = m_marginRight = m_marginBottom = 3;
    m_lampImages[LAMP_UNLIT] = LoadImage("unlit-led.png");
    m_lampImages[LAMP_PENDING] = LoadImage("yellow-led.png");
    m_lampImages[LAMP_SUCCEEDED] = LoadImage("green-led.png");
    m_lampImages[LAMP_FAILED] = LoadImage("red-led.png");
    SetAccessibleRole(this, AccessibleRole::Panel);
    Bind(wxEVT_TIMER, &IOPanel::OnTimer, this);
}

void IOPanel::SetPanelLabel(const wxString& label)
{
    m_label = label;
    SetAccessibleName(this, label);
    UpdateMinSize();
    RefreshContent();
}

void IOPanel::SetIcon(const wxBitmap& icon)
{
    m_icon = icon;
    m_hasIcon = icon.IsOk();
    UpdateMinSize();
    RefreshContent();
}

void IOPanel::SetDetails(const wxString& details)
{
    m_details = details;
    if (m_showDetails)
        UpdateMinSize();
    RefreshContent();
}

void IOPanel::ShowDetails(bool show)
{
    m_showDetails = show;
    UpdateMinSize();
    RefreshContent();
}

void IOPanel::ShowLamps()
{
    Apply(m_readTimer, m_readLamp.Show());
    Apply(m_writeTimer, m_writeLamp.Show());
}

void IOPanel::SetKind(const wxString& kind)
{
    if (kind == m_kind)
        return;
    m_kind = kind;
    Describe();
}

void IOPanel::Describe()
{
    SetAccessibleDescription(this, PanelDescription(m_kind, m_readLamp.GetState(), m_writeLamp.GetState()));
}

void IOPanel::DescribeLater()
{
    // Lamps may change with every one of thousands of events a second: the
    // text is made once for all the changes of a pass of the event loop.
    if (m_describePending)
        return;
    m_describePending = true;
    CallAfter([this] {
        m_describePending = false;
        Describe();
    });
}

void IOPanel::SubscribeIO()
{
    m_bridge.onReadRequest.Subscribe(m_readRequest);
    m_bridge.onReadResult.Subscribe(m_readResult);
    m_bridge.onWriteRequest.Subscribe(m_writeRequest);
    m_bridge.onWriteResult.Subscribe(m_writeResult);
}

void IOPanel::Unsubscribe()
{
    if (!m_subscribed)
        return;
    m_subscribed = false;
    m_bridge.onReadRequest.Remove(m_readRequest);
    m_bridge.onReadResult.Remove(m_readResult);
    m_bridge.onWriteRequest.Remove(m_writeRequest);
    m_bridge.onWriteResult.Remove(m_writeResult);
    UnsubscribeOwn();
}

void IOPanel::CountResult(Transfer, bool)
{
}

void IOPanel::OnReadRequest(wxNCEvent& event)
{
    if (IsOwnEvent(event))
        Apply(m_readTimer, m_readLamp.Request());
}

void IOPanel::OnReadResult(wxNCEvent& event)
{
    if (!IsOwnEvent(event))
        return;
    const bool succeeded = event.Succeeded();
    CountResult(Transfer::Read, succeeded);
    Apply(m_readTimer, m_readLamp.Result(succeeded));
}

void IOPanel::OnWriteRequest(wxNCEvent& event)
{
    if (IsOwnEvent(event))
        Apply(m_writeTimer, m_writeLamp.Request());
}

void IOPanel::OnWriteResult(wxNCEvent& event)
{
    if (!IsOwnEvent(event))
        return;
    const bool succeeded = event.Succeeded();
    CountResult(Transfer::Write, succeeded);
    Apply(m_writeTimer, m_writeLamp.Result(succeeded));
}

void IOPanel::Apply(wxTimer& timer, const Lamp::Change& change)
{
    if (!change.changed)
        return;
    if (change.stopTimer)
        timer.Stop();
    if (change.startTimer)
        timer.StartOnce(Lamp::kFlashMs);
    if (change.wasHidden)
        UpdateMinSize();
    RefreshContent();
    DescribeLater();
}

void IOPanel::OnTimer(wxTimerEvent& event)
{
    if (event.GetId() == ID_READ_TIMER)
        Apply(m_readTimer, m_readLamp.Expire());
    else if (event.GetId() == ID_WRITE_TIMER)
        Apply(m_writeTimer, m_writeLamp.Expire());
}

void IOPanel::Dispose()
{
    if (m_disposed)
        return;
    m_disposed = true;
    Unsubscribe();
    m_readTimer.Stop();
    m_writeTimer.Stop();
    Hide();
    if (m_popupDepth == 0)
        Destroy();
}

void IOPanel::ShowPopup(wxMenu& menu)
{
    ++m_popupDepth;
    PopupMenu(&menu);
    --m_popupDepth;
    if (m_popupDepth == 0 && m_disposed) {
        // Disposed while the menu was open: this handler still runs on the
        // panel, so it goes once the handler has returned.
        wxWindow* self = this;
        GetParent()->CallAfter([self] { self->Destroy(); });
    }
}

void IOPanel::ConfirmRemove(const wxString& question, const wxString& caption, ncerr_t (*remove)(uint16_t id),
                            uint16_t id)
{
    if (wxMessageBox(question, caption, wxYES_NO | wxICON_QUESTION, this) != wxYES)
        return;
    const ncerr_t result = remove(id);
    if (!ncerr_is_ok(result))
        ShowFailure(IsDisposed() ? nullptr : this, result);
}

wxSize IOPanel::LampSize() const
{
    const wxBitmap& unlit = m_lampImages[LAMP_UNLIT];
    return unlit.IsOk() ? unlit.GetSize() : wxSize(16, 16);
}

int IOPanel::LabelLeft() const
{
    return m_marginLeft + (m_hasIcon ? m_icon.GetWidth() + kGap : 0);
}

int IOPanel::RowHeight() const
{
    wxCoord w = 0, h = 0;
    GetTextExtent(m_label.empty() ? wxString("Xg") : m_label, &w, &h, nullptr, nullptr, &m_labelFont);
    if (m_hasIcon)
        h = std::max(h, m_icon.GetHeight());
    return h + m_marginTop + m_marginBottom;
}

wxSize IOPanel::GetContentSize()
{
    wxCoord labelWidth = 0, labelHeight = 0;
    GetTextExtent(m_label, &labelWidth, &labelHeight, nullptr, nullptr, &m_labelFont);
    int width = labelWidth;
    int height = std::max(labelHeight, 16);
    if (m_hasIcon) {
        width += m_icon.GetWidth() + kGap;
        height = std::max(height, m_icon.GetHeight());
    }
    const wxSize lamp = LampSize();
    for (const Lamp* l : {&m_readLamp, &m_writeLamp}) {
        if (l->GetState() != LAMP_HIDDEN) {
            width += lamp.x + kGap;
            height = std::max(height, lamp.y);
        }
    }
    if (m_showDetails) {
        int detailWidth = 0, detailHeight = 0;
        for (const wxString& line : DetailLines(m_details)) {
            wxCoord w = 0, h = 0;
            GetTextExtent(line.empty() ? wxString("Xg") : line, &w, &h, nullptr, nullptr, &m_detailFont);
            detailWidth = std::max(detailWidth, line.empty() ? 0 : w);
            detailHeight += h;
        }
        width = std::max(width, (LabelLeft() - m_marginLeft) + detailWidth);
        height += detailHeight;
    }
    return {width, height};
}

void IOPanel::Draw(wxDC& dc)
{
    const wxSize client = GetClientSize();
    dc.SetBackground(wxBrush(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW)));
    dc.Clear();

    const int row = RowHeight();
    if (m_hasIcon)
        dc.DrawBitmap(m_icon, m_marginLeft, (row - m_icon.GetHeight()) / 2, true);

    const int labelLeft = LabelLeft();
    dc.SetFont(m_labelFont);
    dc.SetTextForeground(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT));
    wxCoord w = 0, h = 0;
    dc.GetTextExtent(m_label, &w, &h);
    dc.DrawText(m_label, labelLeft, (row - h) / 2);

    const wxSize lamp = LampSize();
    int x = client.x - lamp.x - m_marginRight;
    const int y = (row - lamp.y) / 2;
    for (const Lamp* l : {&m_writeLamp, &m_readLamp}) {
        if (l->GetState() == LAMP_HIDDEN)
            continue;
        const wxBitmap& image = m_lampImages[l->GetState()];
        if (image.IsOk())
            dc.DrawBitmap(image, x, y, true);
        x -= kGap + lamp.x;
    }

    if (m_showDetails) {
        dc.SetFont(m_detailFont);
        int lineTop = row;
        for (const wxString& line : DetailLines(m_details)) {
            dc.GetTextExtent(line.empty() ? wxString("Xg") : line, &w, &h);
            dc.DrawText(line, labelLeft, lineTop);
            lineTop += h;
        }
    }
}

// ---------------------------------------------------------------------------

NetworkPanel::NetworkPanel(wxWindow* parent, EventBridge& bridge, unsigned short id)
    : IOPanel(parent, bridge)
    , m_id(id)
{
    ReadLabel();
    ShowLamps();
    SetIcon(LoadImage("network.png"));
    SubscribeIO();
    m_bridge.onNetworkChanged.Subscribe(m_changed);
    Bind(wxEVT_RIGHT_DOWN, &NetworkPanel::OnRightDown, this);
    Bind(wxEVT_MENU, &NetworkPanel::OnMenu, this);
}

NetworkPanel::~NetworkPanel()
{
    Unsubscribe();
}

void NetworkPanel::UnsubscribeOwn()
{
    m_bridge.onNetworkChanged.Remove(m_changed);
}

bool NetworkPanel::IsOwnEvent(const wxNCEvent& event) const
{
    return event.GetNetworkId() == m_id;
}

void NetworkPanel::ReadLabel()
{
    if (network_t* network = networkmgr_fetch_network(m_id, kFetchWaitMs)) {
        SetPanelLabel(Utf8(network_get_name(network)));
        const char* key = network_get_type(network);
        const NetworkTypeRow* type = FindNetworkType(key);
        SetKind(wxString::Format(_("Network, %s"), type ? wxGetTranslation(type->label) : Utf8(key)));
        networkmgr_drop_network(network);
    }
}

void NetworkPanel::OnNetworkChanged(unsigned short id)
{
    if (id == m_id)
        ReadLabel();
}

void NetworkPanel::OnRightDown(wxMouseEvent&)
{
    wxMenu menu;
    AppendEntries(menu, {
                            {ID_PROPERTIES, _("Network properties"), {}},
                            {MenuEntry::kSeparator, {}, {}},
                            {ID_REMOVE, _("Remove network"), {}},
                        });
    ShowPopup(menu);
}

void NetworkPanel::OnMenu(wxCommandEvent& event)
{
    switch (event.GetId()) {
    case ID_PROPERTIES:
        ShowProperties();
        break;
    case ID_REMOVE:
        AskRemove();
        break;
    default:
        event.Skip();
    }
}

void NetworkPanel::ShowProperties()
{
    // The frame owns the dialog: the panel may go while it is open.
    wxDialog* dialog = nullptr;
    if (network_t* network = networkmgr_fetch_network(m_id, kFetchWaitMs)) {
        dialog = CreateNetworkSetupDialog(wxGetTopLevelParent(this), network);
        networkmgr_drop_network(network);
    }
    if (!dialog)
        return;
    dialog->ShowModal();
    dialog->Destroy();
}

void NetworkPanel::AskRemove()
{
    ConfirmRemove(_("Are you sure you want to remove this network?"), _("Remove network?"),
                  &networkmgr_remove_network, m_id);
}

// ---------------------------------------------------------------------------

DevicePanel::DevicePanel(wxWindow* parent, EventBridge& bridge, unsigned short id)
    : IOPanel(parent, bridge)
    , m_id(id)
{
    ReadDevice();
    ShowLamps();
    SubscribeIO();
    m_bridge.onDeviceChanged.Subscribe(m_changed);
    Bind(wxEVT_LEFT_UP, &DevicePanel::OnLeftUp, this);
    Bind(wxEVT_RIGHT_DOWN, &DevicePanel::OnRightDown, this);
    Bind(wxEVT_MENU, &DevicePanel::OnMenu, this);
}

DevicePanel::~DevicePanel()
{
    Unsubscribe();
}

void DevicePanel::UnsubscribeOwn()
{
    m_bridge.onDeviceChanged.Remove(m_changed);
}

bool DevicePanel::IsOwnEvent(const wxNCEvent& event) const
{
    return event.GetDeviceId() == m_id;
}

void DevicePanel::ReadDevice()
{
    device_t* device = devicemgr_fetch_device(m_id, 0);
    if (!device)
        return;
    SetPanelLabel(Utf8(device_get_name(device)));
    // A device whose hardware type was cleared loses the old icon too.
    hwinfo_t* hardware = device_get_hardware(device);
    if (hardware) {
        const char* icon = hwinfo_get_icon_path(hardware);
        SetIcon(icon ? LoadImage(Utf8(icon)) : wxBitmap());
        m_hardware = Utf8(hwinfo_get_name(hardware));
    } else {
        SetIcon(wxBitmap());
        m_hardware.clear();
    }
    devicemgr_drop_device(device);
    SetKind(m_hardware.empty() ? _("Device") : wxString::Format(_("Device, %s"), m_hardware));
    UpdateDetails();
}

void DevicePanel::UpdateDetails()
{
    SetDetails(DeviceDetailsText(m_hardware, m_reads, m_failedReads, m_writes, m_failedWrites));
}

void DevicePanel::CountResult(Transfer transfer, bool succeeded)
{
    const bool read = transfer == Transfer::Read;
    ++(read ? m_reads : m_writes);
    if (!succeeded)
        ++(read ? m_failedReads : m_failedWrites);
    if (AreDetailsShown())
        UpdateDetails();
}

void DevicePanel::OnDeviceChanged(unsigned short id)
{
    if (id == m_id)
        ReadDevice();
}

void DevicePanel::ToggleDetails()
{
    if (!AreDetailsShown())
        UpdateDetails();
    ShowDetails(!AreDetailsShown());
}

void DevicePanel::OnLeftUp(wxMouseEvent& event)
{
    ToggleDetails();
    event.Skip();
}

void DevicePanel::OnRightDown(wxMouseEvent&)
{
    wxMenu menu;
    AppendEntries(menu, {
                            {ID_EDIT, _("Edit device"), {}},
                            {ID_CLOCK, _("Adjust clock"), {}},
                            {ID_BACKUP, _("Make backup"), {}},
                            {ID_RESTORE, _("Restore from backup"), {}},
                            {MenuEntry::kSeparator, {}, {}},
                            {ID_REMOVE, _("Remove device"), {}},
                        });
    ShowPopup(menu);
}

void DevicePanel::OnMenu(wxCommandEvent& event)
{
    switch (event.GetId()) {
    case ID_EDIT:
        EditDevice();
        break;
    case ID_CLOCK: {
        // The frame owns the dialog: the panel may go while it is open.
        ClockDialog dialog(wxGetTopLevelParent(this));
        dialog.SetDevice(m_id);
        dialog.ShowModal();
        break;
    }
    case ID_BACKUP:
        // The frame owns the dialogs: the panel may go while they are open.
        OpenBackupDialog(wxGetTopLevelParent(this), m_id);
        break;
    case ID_RESTORE: {
        wxWindow* frame = wxGetTopLevelParent(this);
        const unsigned short id = m_id;
        const wxString path = wxFileSelector(_("Select backup to restore from"), wxEmptyString, wxEmptyString,
                                             wxEmptyString, wxFileSelectorDefaultWildcardStr, wxFD_OPEN, frame);
        if (!path.empty())
            OpenRestoreDialog(frame, id, path);
        break;
    }
    case ID_REMOVE:
        AskRemove();
        break;
    default:
        event.Skip();
    }
}

void DevicePanel::EditDevice()
{
    // The frame owns the dialog: the panel may go while it is open.
    DeviceSetupDlg dialog(wxGetTopLevelParent(this), m_id);
    dialog.ShowModal();
}

void DevicePanel::AskRemove()
{
    ConfirmRemove(_("Are you sure you want to remove this device?"), _("Remove device?"), &devicemgr_remove_device,
                  m_id);
}

// ---------------------------------------------------------------------------

ClientPanel::ClientPanel(wxWindow* parent, EventBridge& bridge, unsigned long id)
    : IOPanel(parent, bridge)
    , m_id(id)
{
    SetPanelLabel(wxString::Format(_("Client %lu"), id));
    SetKind(_("Client"));
    ShowLamps();
    m_bridge.onClientChanged.Subscribe(m_clientChanged);
    SubscribeIO();
}

ClientPanel::~ClientPanel()
{
    Unsubscribe();
}

void ClientPanel::UnsubscribeOwn()
{
    m_bridge.onClientChanged.Remove(m_clientChanged);
}

bool ClientPanel::IsOwnEvent(const wxNCEvent& event) const
{
    return event.GetClientId() == m_id;
}

void ClientPanel::OnClientChanged(wxNCEvent& event)
{
    if (event.GetClientId() == m_id)
        SetPanelLabel(event.HasClientText() ? event.GetClientText() : wxString());
}
