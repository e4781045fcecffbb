#include "dataview.h"

#include "accessible.h"
#include "coretext.h"
#include "images.h"

#include <widgetkit/stoc.h>

#include <wx/app.h>
#include <wx/button.h>
#include <wx/choice.h>
#include <wx/intl.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/weakref.h>

#include <algorithm>
#include <cmath>

namespace {

// How long a row waits for a network that a removal holds locked.
constexpr int kNetworkWaitMs = 1000;
const wxString kFailedValue = "#####";

// The text fields of a row are this wide, so that the rows line up.
const wxSize kFieldSize(90, -1);

// Keeps the window responsive and repaints the emptied value field before a
// read blocks in the flush.
void LetEventsRun()
{
    if (wxTheApp)
        wxTheApp->Yield(true);
}

void ThrowIoEvent(int type, uint16_t networkId, uint16_t deviceId, const wxStoC& item, const wxStoC& flag,
                  double value, ncerr_t result)
{
    ncevent_throw_io_event(type, networkId, deviceId, 0, item.cstr(), flag.cstr(), value, result);
}

// The device's network, fetched for a request; the device itself is only
// held while its network id and documentation are taken.
struct RequestTarget
{
    network_t* network = nullptr;
    uint16_t networkId = 0;
    doc_t* doc = nullptr;
    ncerr_t failure{NCERR_OK, 0};
};

RequestTarget FetchTarget(unsigned short deviceId)
{
    RequestTarget target;
    device_t* device = devicemgr_fetch_device(deviceId, 0);
    if (!device) {
        target.failure = ncerr_t{NCERR_NO_DEVICE, 0};
        return target;
    }
    target.networkId = device->network_id;
    target.doc = device_get_doc(device);
    target.network = networkmgr_fetch_network(target.networkId, kNetworkWaitMs);
    devicemgr_drop_device(device);
    if (!target.network)
        target.failure = ncerr_t{NCERR_NO_NETWORK, 0};
    return target;
}

} // namespace

SetpointAddress SplitSetpoint(const wxString& text)
{
    const size_t colon = text.find(':');
    if (colon == wxString::npos)
        return {text, wxString()};
    return {text.substr(0, colon), text.substr(colon + 1)};
}

wxString FormatSetpointValue(double value)
{
    return wxString::Format("%g", value);
}

bool ParseSetpointValue(const wxString& text, double& value)
{
    wxString trimmed = text;
    trimmed.Trim(true).Trim(false);
    double parsed = 0.0;
    // "nan" and "inf" parse, but no device can hold them.
    if (trimmed.empty() || !trimmed.ToDouble(&parsed) || !std::isfinite(parsed))
        return false;
    value = parsed;
    return true;
}

// ---------------------------------------------------------------------------

DataItemBar::DataItemBar(wxWindow* parent)
    : wxPanel(parent, wxID_ANY)
{
    auto* sizer = new wxBoxSizer(wxHORIZONTAL);

    m_device = new wxChoice(this, wxID_ANY);
    m_device->SetToolTip(_("Device"));
    FillDevices();
    sizer->Add(m_device, 1, wxALL | wxALIGN_CENTER_VERTICAL, 2);

    m_setpoint = new wxTextCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, kFieldSize, wxTE_PROCESS_ENTER);
    m_setpoint->SetToolTip(_("Setpoint"));
    sizer->Add(m_setpoint, 0, wxALL | wxALIGN_CENTER_VERTICAL, 2);

    sizer->Add(new wxStaticText(this, wxID_ANY, "="), 0, wxALL | wxALIGN_CENTER_VERTICAL, 2);

    m_value = new wxTextCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, kFieldSize, wxTE_READONLY);
    m_value->SetToolTip(_("Current value"));
    sizer->Add(m_value, 0, wxALL | wxALIGN_CENTER_VERTICAL, 2);

    auto* read = new wxButton(this, wxID_ANY, "R", wxDefaultPosition, wxDefaultSize, wxBU_EXACTFIT);
    read->SetToolTip(_("Refresh current value"));
    // Its letter would be its name otherwise.
    SetAccessibleName(read, read->GetToolTipText());
    sizer->Add(read, 0, wxALL | wxALIGN_CENTER_VERTICAL, 2);

    m_newValue = new wxTextCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, kFieldSize, wxTE_PROCESS_ENTER);
    m_newValue->SetToolTip(_("New value"));
    sizer->Add(m_newValue, 0, wxALL | wxALIGN_CENTER_VERTICAL, 2);

    // Its click goes up to the dataview, which owns the rows.
    m_remove = new wxButton(this, wxID_REMOVE);
    sizer->Add(m_remove, 0, wxALL | wxALIGN_CENTER_VERTICAL, 2);

    SetSizer(sizer);

    read->Bind(wxEVT_BUTTON, &DataItemBar::OnReadButton, this);
    m_setpoint->Bind(wxEVT_TEXT_ENTER, &DataItemBar::OnSetpointEnter, this);
    m_newValue->Bind(wxEVT_TEXT_ENTER, &DataItemBar::OnNewValueEnter, this);
}

void DataItemBar::FillDevices()
{
    devicemgr_iterate_start();
    for (uint16_t id = devicemgr_iterate_get_next(); id != 0; id = devicemgr_iterate_get_next()) {
        device_t* device = devicemgr_fetch_device(id, 0);
        if (!device)
            continue;
        m_device->Append(wxString::FromUTF8(device_get_name(device)), wxUIntToPtr(id));
        devicemgr_drop_device(device);
    }
    devicemgr_iterate_end();
}

unsigned short DataItemBar::GetDeviceId() const
{
    const int selection = m_device->GetSelection();
    if (selection == wxNOT_FOUND)
        return 0;
    return static_cast<unsigned short>(wxPtrToUInt(m_device->GetClientData(selection)));
}

void DataItemBar::SelectDevice(unsigned short id)
{
    for (unsigned i = 0; i < m_device->GetCount(); ++i) {
        if (id != 0 && wxPtrToUInt(m_device->GetClientData(i)) == id) {
            m_device->SetSelection(static_cast<int>(i));
            return;
        }
    }
    m_device->SetSelection(wxNOT_FOUND);
}

wxString DataItemBar::GetSetpoint() const
{
    return m_setpoint->GetValue();
}

void DataItemBar::SetSetpoint(const wxString& text)
{
    m_setpoint->ChangeValue(text);
}

void DataItemBar::SetNewValue(const wxString& text)
{
    m_newValue->ChangeValue(text);
}

void DataItemBar::Refresh(bool eraseBackground, const wxRect* rect)
{
    // A partial repaint, or one asked for while this row reads, is only that.
    if (rect || m_reading) {
        wxPanel::Refresh(eraseBackground, rect);
        return;
    }
    ReadValue();
}

void DataItemBar::ShowFailure(const wxString& prefix, ncerr_t result)
{
    m_value->ChangeValue(kFailedValue);
    m_value->SetToolTip(prefix + ResultText(result));
}

void DataItemBar::ReadValue()
{
    if (m_reading)
        return;
    m_value->ChangeValue(wxEmptyString);
    if (m_setpoint->GetValue().empty())
        return;

    // The operator may remove the row, or close its window, while events run.
    wxWeakRef<DataItemBar> self(this);
    struct Busy
    {
        wxWeakRef<DataItemBar>& row;
        ~Busy()
        {
            if (row)
                row->m_reading = false;
        }
    } busy{self};
    m_reading = true;

    LetEventsRun();
    if (!self)
        return;
    const unsigned short deviceId = GetDeviceId();
    if (deviceId == 0) {
        m_value->ChangeValue(kFailedValue);
        return;
    }
    LetEventsRun();
    if (!self)
        return;

    const RequestTarget target = FetchTarget(deviceId);
    if (!target.network) {
        ShowFailure(_("Read failed: "), target.failure);
        return;
    }
    const SetpointAddress address = SplitSetpoint(m_setpoint->GetValue());
    const wxStoC item(address.item);
    const wxStoC flag(address.flag);
    ThrowIoEvent(NCEVENT_READ_REQUEST, target.networkId, deviceId, item, flag, 0.0, ncerr_ok());

    const char* description = nullptr;
    if (target.doc) {
        doc_lock(target.doc);
        description = doc_get_best_description(target.doc, item.cstr());
        m_setpoint->SetToolTip(description ? wxString::FromUTF8(description) : _("Undocumented item"));
        doc_unlock(target.doc);
    } else {
        m_setpoint->SetToolTip(_("Undocumented item"));
    }

    double value = 0.0;
    network_reset_request(target.network);
    network_queue_read_float(target.network, deviceId, item.cstr(), flag.cstr());
    network_flush(target.network);
    const ncerr_t result = network_result_float(target.network, deviceId, item.cstr(), flag.cstr(), &value);
    if (ncerr_is_ok(result)) {
        m_value->ChangeValue(FormatSetpointValue(value));
        m_value->SetToolTip(_("Current value"));
    } else {
        ShowFailure(_("Read failed: "), result);
    }
    ThrowIoEvent(NCEVENT_READ_RESULT, target.networkId, deviceId, item, flag, value, result);
    networkmgr_drop_network(target.network);
}

void DataItemBar::WriteValue()
{
    double value = 0.0;
    if (!ParseSetpointValue(m_newValue->GetValue(), value))
        return;
    const unsigned short deviceId = GetDeviceId();
    if (deviceId == 0)
        return;
    const SetpointAddress address = SplitSetpoint(m_setpoint->GetValue());
    const RequestTarget target = FetchTarget(deviceId);
    if (!target.network) {
        ShowFailure(_("Write failed: "), target.failure);
        return;
    }
    const wxStoC item(address.item);
    const wxStoC flag(address.flag);
    ThrowIoEvent(NCEVENT_WRITE_REQUEST, target.networkId, deviceId, item, flag, value, ncerr_ok());

    network_reset_request(target.network);
    network_queue_write_float(target.network, deviceId, item.cstr(), flag.cstr(), value);
    network_flush(target.network);
    const ncerr_t result = network_result_float(target.network, deviceId, item.cstr(), flag.cstr(), &value);
    network_reset_request(target.network);
    const bool written = ncerr_is_ok(result);
    if (written) {
        m_value->ChangeValue(wxEmptyString);
        m_value->SetToolTip(_("Current value"));
    } else {
        ShowFailure(_("Write failed: "), result);
    }
    ThrowIoEvent(NCEVENT_WRITE_RESULT, target.networkId, deviceId, item, flag, value, result);
    networkmgr_drop_network(target.network);

    // Show what the device holds now.
    if (written)
        ReadValue();
}

void DataItemBar::OnReadButton(wxCommandEvent&)
{
    Refresh();
}

void DataItemBar::OnSetpointEnter(wxCommandEvent&)
{
    Refresh();
}

void DataItemBar::OnNewValueEnter(wxCommandEvent&)
{
    WriteValue();
}

// ---------------------------------------------------------------------------

DataView::DataView(wxWindow* parent, const wxPoint& pos, const wxSize& size)
    : wxDialog(parent, wxID_ANY, _("Dataview"), pos, size, wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER)
{
    SetIcon(StatIcon());
    auto* top = new wxBoxSizer(wxVERTICAL);

    auto* refresh = new wxButton(this, wxID_REFRESH);
    refresh->SetToolTip(_("Refresh all items"));
    top->Add(refresh, 0, wxALL, 5);

    m_panel = new wxPanel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxBORDER_SUNKEN | wxTAB_TRAVERSAL);
    m_rowSizer = new wxBoxSizer(wxVERTICAL);
    auto* addLine = new wxBoxSizer(wxHORIZONTAL);
    addLine->AddStretchSpacer();
    addLine->Add(new wxButton(m_panel, wxID_ADD), 0, wxALL, 2);
    m_rowSizer->Add(addLine, 0, wxEXPAND);
    m_panel->SetSizer(m_rowSizer);
    top->Add(m_panel, 1, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 5);
    SetSizer(top);

    Bind(wxEVT_BUTTON, &DataView::OnAdd, this, wxID_ADD);
    Bind(wxEVT_BUTTON, &DataView::OnRefreshAll, this, wxID_REFRESH);
    Bind(wxEVT_BUTTON, &DataView::OnRemove, this, wxID_REMOVE);
    Bind(wxEVT_CLOSE_WINDOW, &DataView::OnClose, this);

    AddRow();
}

DataItemBar* DataView::AddRow()
{
    auto* row = new DataItemBar(m_panel);
    if (!m_rows.empty()) {
        const DataItemBar* last = m_rows.back();
        row->SelectDevice(last->GetDeviceId());
        row->SetSetpoint(last->GetSetpoint());
    }
    // Above the "Add" line, which stays last.
    m_rowSizer->Insert(m_rows.size(), row, 0, wxEXPAND);
    m_rows.push_back(row);
    RefitWindow();
    return row;
}

void DataView::RemoveRow(DataItemBar* row)
{
    auto it = std::find(m_rows.begin(), m_rows.end(), row);
    if (it == m_rows.end())
        return;
    m_rowSizer->Detach(row);
    m_rows.erase(it);
    m_panel->Layout();
    row->Destroy();
}

void DataView::RefreshAll()
{
    // A row may go while an earlier one reads.
    std::vector<wxWeakRef<DataItemBar>> rows(m_rows.begin(), m_rows.end());
    for (auto& row : rows)
        if (row)
            row->Refresh();
}

void DataView::RefitWindow()
{
    m_panel->Layout();
    Layout();
    const wxSize fit = GetSizer()->ComputeFittingWindowSize(this);
    const wxSize size = GetSize();
    SetSize(std::max(size.x, fit.x), std::max(size.y, fit.y));
    Layout();
    wxDialog::Refresh();
}

void DataView::OnAdd(wxCommandEvent&)
{
    AddRow();
}

void DataView::OnRefreshAll(wxCommandEvent&)
{
    RefreshAll();
}

void DataView::OnRemove(wxCommandEvent& event)
{
    auto* button = dynamic_cast<wxWindow*>(event.GetEventObject());
    auto* row = button ? dynamic_cast<DataItemBar*>(button->GetParent()) : nullptr;
    if (!row)
        return;
    // Not from inside the handler of the button that is destroyed with it.
    wxWeakRef<DataItemBar> ref(row);
    CallAfter([this, ref] {
        if (ref)
            RemoveRow(ref.get());
    });
}

void DataView::OnClose(wxCloseEvent&)
{
    // Modeless: hiding alone would keep it for the whole run.
    Destroy();
}
