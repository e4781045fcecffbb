#include "spyfrm.h"

#include "devicedlg.h"
#include "eventbridge.h"
#include "images.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/filedlg.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <cstring>

namespace {

// Often enough to look live, rarely enough that a burst is one repaint.
constexpr int kCountRefreshMs = 60;

struct ColumnSpec
{
    const char* heading;
    wxListColumnFormat format;
    int width;
};

const ColumnSpec kColumns[SpyLog::COL_COUNT] = {
    {wxTRANSLATE("Time"), wxLIST_FORMAT_CENTRE, 80},  {wxTRANSLATE("Op"), wxLIST_FORMAT_CENTRE, 32},
    {wxTRANSLATE("Client"), wxLIST_FORMAT_LEFT, 64},  {wxTRANSLATE("Device"), wxLIST_FORMAT_LEFT, 64},
    {wxTRANSLATE("Setp"), wxLIST_FORMAT_LEFT, 64},    {wxTRANSLATE("Value"), wxLIST_FORMAT_RIGHT, 64},
    {wxTRANSLATE("Status"), wxLIST_FORMAT_LEFT, 96},
};

} // namespace

void ShowActivityLog(wxWindow* parent)
{
    EventBridge* bridge = EventBridge::GetCurrent();
    if (!bridge)
        return; // no core events reach this process
    (new SpyFrm(parent, *bridge))->Show();
}

SpyList::SpyList(wxWindow* parent, const SpyLog& log)
    : wxListCtrl(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxLC_REPORT | wxLC_VIRTUAL)
    , m_log(log)
{
    for (int i = 0; i < SpyLog::COL_COUNT; ++i)
        AppendColumn(wxGetTranslation(kColumns[i].heading), kColumns[i].format, kColumns[i].width);
}

wxString SpyList::OnGetItemText(long item, long column) const
{
    return item < 0 ? wxString() : m_log.GetCellText(static_cast<size_t>(item), static_cast<int>(column));
}

SpyFrm::SpyFrm(wxWindow* parent, EventBridge& bridge)
    : wxDialog(parent, wxID_ANY, _("Activity log"), wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxCLOSE_BOX | wxSYSTEM_MENU | wxMINIMIZE_BOX | wxRESIZE_BORDER)
    , m_bridge(bridge)
{
    SetIcon(StatIcon());

    auto* top = new wxBoxSizer(wxVERTICAL);
    m_list = new SpyList(this, m_log);
    int listWidth = 0;
    for (const ColumnSpec& column : kColumns)
        listWidth += column.width;
    // Room for every column and the vertical scroll bar.
    m_list->SetInitialSize(wxSize(listWidth + 24, 260));
    top->Add(m_list, 1, wxEXPAND | wxALL, 6);

    auto* heading = new wxStaticText(this, wxID_ANY, _("Filter"));
    SetBoldFont(heading);
    top->Add(heading, 0, wxLEFT | wxRIGHT, 6);

    auto* boxes = new wxFlexGridSizer(3, 4, 12);
    m_enabled = new wxCheckBox(this, wxID_ANY, _("Enabled"));
    m_succeeded = new wxCheckBox(this, wxID_ANY, _("Display successfull"));
    m_failed = new wxCheckBox(this, wxID_ANY, _("Display failed"));
    m_reads = new wxCheckBox(this, wxID_ANY, _("Read operations"));
    m_writes = new wxCheckBox(this, wxID_ANY, _("Write operations"));
    for (wxCheckBox* box : {m_succeeded, m_failed, m_reads, m_writes})
        box->SetValue(true);
    boxes->Add(m_enabled);
    boxes->Add(m_succeeded);
    boxes->Add(m_reads);
    boxes->AddSpacer(0);
    boxes->Add(m_failed);
    boxes->Add(m_writes);
    top->Add(boxes, 0, wxLEFT | wxRIGHT | wxTOP, 8);

    auto* fields = new wxFlexGridSizer(2, 4, 8);
    fields->AddGrowableCol(1);
    fields->Add(new wxStaticText(this, wxID_ANY, _("Device:")), 0, wxALIGN_CENTER_VERTICAL);
    m_device = new wxChoice(this, wxID_ANY);
    m_device->Append(_("Any"));
    FillDeviceChoice(m_device);
    // The filler ends with an empty entry for "no device"; here "Any" says that.
    m_device->Delete(m_device->GetCount() - 1);
    m_device->SetSelection(0);
    fields->Add(m_device, 1, wxEXPAND);
    fields->Add(new wxStaticText(this, wxID_ANY, _("Text filter:")), 0, wxALIGN_CENTER_VERTICAL);
    auto* textRow = new wxBoxSizer(wxHORIZONTAL);
    m_text = new wxTextCtrl(this, wxID_ANY);
    textRow->Add(m_text, 1, wxALIGN_CENTER_VERTICAL);
    textRow->Add(new wxButton(this, ID_CLEAR_TEXT, _("Clear")), 0, wxLEFT | wxALIGN_CENTER_VERTICAL, 4);
    fields->Add(textRow, 1, wxEXPAND);
    top->Add(fields, 0, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, 8);

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->AddStretchSpacer();
    buttons->Add(new wxButton(this, wxID_CLEAR), 0, wxRIGHT, 6);
    buttons->Add(new wxButton(this, wxID_SAVE));
    top->Add(buttons, 0, wxEXPAND | wxALL, 8);
    SetSizerAndFit(top);

    ReadFilter();
    Bind(wxEVT_CHECKBOX, &SpyFrm::OnFilterChanged, this);
    m_device->Bind(wxEVT_CHOICE, &SpyFrm::OnFilterChanged, this);
    m_text->Bind(wxEVT_TEXT, &SpyFrm::OnFilterChanged, this);
    Bind(wxEVT_BUTTON, &SpyFrm::OnClearText, this, ID_CLEAR_TEXT);
    Bind(wxEVT_BUTTON, &SpyFrm::OnClearRows, this, wxID_CLEAR);
    Bind(wxEVT_BUTTON, &SpyFrm::OnSave, this, wxID_SAVE);
    Bind(wxEVT_CLOSE_WINDOW, &SpyFrm::OnClose, this);
    m_countTimer.Bind(wxEVT_TIMER, &SpyFrm::OnCountTimer, this);

    m_bridge.onEvent.Subscribe(m_listener);
}

SpyFrm::~SpyFrm()
{
    m_bridge.onEvent.Remove(m_listener);
}

void SpyFrm::ReadFilter()
{
    m_filter.enabled = m_enabled->GetValue();
    m_filter.showSucceeded = m_succeeded->GetValue();
    m_filter.showFailed = m_failed->GetValue();
    m_filter.reads = m_reads->GetValue();
    m_filter.writes = m_writes->GetValue();
    const int selection = m_device->GetSelection();
    if (selection > 0 && m_device->HasClientUntypedData())
        m_filter.device = static_cast<uint16_t>(wxPtrToUInt(m_device->GetClientData(selection)));
    else
        m_filter.device.reset();
    m_filter.SetText(m_text->GetValue());
}

void SpyFrm::OnFilterChanged(wxCommandEvent& event)
{
    ReadFilter();
    event.Skip();
}

void SpyFrm::OnEvent(wxNCEvent& event)
{
    const ncevent_t* core = event.GetCoreEvent();
    if (!core || !IsSpyLogged(core->type))
        return;
    const char* item = core->item ? core->item : "";
    if (!m_filter.Accepts({core->type, event.Succeeded(), core->device_id, item}))
        return;

    SpyRowData row;
    row.timeOfDay = m_clock.Now();
    row.write = core->type == NCEVENT_WRITE_RESULT;
    row.client = core->client_id;
    row.deviceId = core->device_id;
    row.item = item;
    row.flag = core->flag ? core->flag : "";
    row.value = core->value;
    row.result = core->result;
    device_t* device = devicemgr_fetch_device(core->device_id, 0);
    if (device)
        row.device = device_get_name(device);
    m_log.Append(row);
    if (device)
        devicemgr_drop_device(device);

    if (!m_countTimer.IsRunning())
        m_countTimer.StartOnce(kCountRefreshMs);
}

void SpyFrm::OnCountTimer(wxTimerEvent&)
{
    const long shown = m_list->GetItemCount();
    const long count = static_cast<long>(m_log.GetCount());
    // New rows scroll into view while the operator watches the newest ones;
    // once scrolled back to older rows, the view stays there.
    const bool atEnd = shown == 0 || m_list->GetTopItem() + m_list->GetCountPerPage() >= shown;
    m_list->SetItemCount(count);
    if (atEnd && count > shown)
        m_list->EnsureVisible(count - 1);
}

void SpyFrm::OnClearText(wxCommandEvent&)
{
    m_text->Clear();
    ReadFilter();
}

void SpyFrm::ClearRows()
{
    m_log.Clear();
    m_list->SetItemCount(0);
    m_list->Refresh();
}

void SpyFrm::OnClearRows(wxCommandEvent&)
{
    ClearRows();
}

void SpyFrm::SaveRows()
{
    wxFileDialog dialog(this, _("Save log as ..."), wxEmptyString, "plexord-log.txt", wxEmptyString, wxFD_SAVE);
    if (dialog.ShowModal() != wxID_OK)
        return;
    int error = 0;
    switch (m_log.Save(dialog.GetPath(), &error)) {
    case SpyLog::SaveResult::Saved:
        break;
    case SpyLog::SaveResult::OpenFailed:
        wxMessageBox(_("Failed to open file for writing"), wxMessageBoxCaptionStr, wxOK, this);
        break;
    case SpyLog::SaveResult::WriteFailed: {
        // A log cut short must not pass for a saved one.
        wxMessageBox(wxString::Format(_("Failed to write the file: %s"), wxString(std::strerror(error))),
                     wxMessageBoxCaptionStr, wxOK | wxICON_ERROR, this);
        break;
    }
    }
}

void SpyFrm::OnSave(wxCommandEvent&)
{
    SaveRows();
}

void SpyFrm::OnClose(wxCloseEvent&)
{
    // A modeless dialog would only hide and go on collecting rows.
    Destroy();
}
