#include "backup-window.h"

#include "coretext.h"
#include "devicedlg.h"

#include <wx/app.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/filedlg.h>
#include <wx/gauge.h>
#include <wx/intl.h>
#include <wx/listctrl.h>
#include <wx/msgdlg.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

namespace {

constexpr int kWidth = 500;

wxString Utf8(const std::string& text)
{
    return wxString::FromUTF8(text.c_str());
}

wxString Value(double value)
{
    return wxString::Format("%g", value);
}

std::string Translate(const char* text)
{
    return std::string(wxGetTranslation(wxString::FromUTF8(text)).utf8_str());
}

wxStaticText* Heading(wxWindow* parent, const wxString& text)
{
    auto* heading = new wxStaticText(parent, wxID_ANY, text);
    SetBoldFont(heading);
    return heading;
}

// Null for an empty flag, as the core takes "no flag".
const char* FlagArg(const std::string& flag)
{
    return flag.empty() ? nullptr : flag.c_str();
}

// Wide enough for the longest cell and for the heading.
void AutoSizeColumns(wxListCtrl* list)
{
    for (int i = 0; i < list->GetColumnCount(); ++i) {
        list->SetColumnWidth(i, wxLIST_AUTOSIZE);
        const int cells = list->GetColumnWidth(i);
        list->SetColumnWidth(i, wxLIST_AUTOSIZE_USEHEADER);
        if (list->GetColumnWidth(i) < cells)
            list->SetColumnWidth(i, cells);
    }
}

} // namespace

// ---------------------------------------------------------------------------

RestoreWindow::RestoreWindow(wxWindow* parent, int mode, const std::string& defaultFlag)
    : wxDialog(parent, wxID_ANY, _("Comparing/restoring backup"), wxDefaultPosition, wxSize(kWidth, 400),
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER)
    , m_mode(mode)
    , m_defaultFlag(defaultFlag)
{
    switch (mode) {
    case MODE_COMPARE:
        SetTitle(_("Comparing device with backup"));
        break;
    case MODE_RESTORE:
        SetTitle(_("Restoring device from backup"));
        break;
    case MODE_BACKUP:
        SetTitle(_("Makes backup"));
        break;
    }
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    m_gauge = new wxGauge(this, wxID_ANY, 1, wxDefaultPosition, wxDefaultSize, wxGA_HORIZONTAL);
    sizer->Add(m_gauge, 0, wxEXPAND | wxALL, 6);
    m_list = new wxListCtrl(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxLC_REPORT | wxBORDER_SUNKEN);
    m_list->AppendColumn(_("Setpoint"));
    if (mode == MODE_BACKUP) {
        m_list->AppendColumn(_("Value"));
    } else {
        m_list->AppendColumn(_("Backup value"));
        m_list->AppendColumn(mode == MODE_COMPARE ? _("Current value") : _("Status"));
    }
    sizer->Add(m_list, 1, wxEXPAND | wxLEFT | wxRIGHT, 6);
    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->AddStretchSpacer();
    m_ok = new wxButton(this, wxID_OK);
    m_cancel = new wxButton(this, wxID_CANCEL);
    buttons->Add(m_ok, 0, wxRIGHT, 6);
    buttons->Add(m_cancel);
    m_ok->Hide();
    sizer->Add(buttons, 0, wxEXPAND | wxALL, 6);
    SetSizer(sizer);
    SetSize(wxSize(kWidth, 400));
    Centre();

    m_cancel->Bind(wxEVT_BUTTON, &RestoreWindow::OnCancel, this);
    Bind(wxEVT_IDLE, &RestoreWindow::OnIdle, this);
    Bind(wxEVT_CLOSE_WINDOW, &RestoreWindow::OnClose, this);
}

void RestoreWindow::SetGaugeRange(int range)
{
    m_gauge->SetRange(range > 0 ? range : 1);
    m_gauge->SetValue(0);
}

void RestoreWindow::OnIdle(wxIdleEvent& event)
{
    event.Skip();
    if (m_started || !IsShown())
        return;
    // Out of the idle handler: the run serves the event loop between batches.
    CallAfter(&RestoreWindow::Run);
    m_started = true;
}

void RestoreWindow::OnCancel(wxCommandEvent&)
{
    Abort();
}

void RestoreWindow::OnClose(wxCloseEvent& event)
{
    // The run holds the device; the window goes only once it has finished.
    if (m_running) {
        Abort();
        event.Veto();
        return;
    }
    event.Skip();
}

void RestoreWindow::Abort()
{
    if (m_aborted || m_finished)
        return;
    m_aborted = true;
    AddRow(_("Aborted"));
}

const std::string& RestoreWindow::EffectiveFlag(const BackupValue& value) const
{
    return value.flag.empty() ? m_defaultFlag : value.flag;
}

wxString RestoreWindow::DisplayName(const BackupValue& value) const
{
    const std::string& flag = EffectiveFlag(value);
    return flag.empty() ? Utf8(value.address) : wxString::Format("%s:%s", Utf8(value.address), Utf8(flag));
}

void RestoreWindow::AddRow(const wxString& first, const wxString& second, const wxString& third)
{
    const long row = m_list->InsertItem(m_list->GetItemCount(), first);
    m_list->SetItem(row, 1, second);
    if (m_list->GetColumnCount() > 2)
        m_list->SetItem(row, 2, third);
    m_list->EnsureVisible(row);
}

void RestoreWindow::AddHeading(const wxString& name)
{
    const long row = m_list->InsertItem(m_list->GetItemCount(), name);
    m_list->SetItemBackgroundColour(row, wxSystemSettings::GetColour(wxSYS_COLOUR_ACTIVECAPTION));
    m_list->SetItemTextColour(row, wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT));
    m_list->EnsureVisible(row);
}

void RestoreWindow::Advance()
{
    if (m_gauge->GetValue() < m_gauge->GetRange())
        m_gauge->SetValue(m_gauge->GetValue() + 1);
}

void RestoreWindow::Run()
{
    if (m_running || m_finished)
        return;
    m_started = true;
    m_running = true;
    device_t* device = devicemgr_fetch_device(m_deviceId, 0);
    network_t* network = device ? networkmgr_fetch_network(device->network_id, 10) : nullptr;
    // Without them every batch fails as a failed flush would.
    const ncerr_t missing = !device ? ncerr_t{NCERR_NO_DEVICE, 0}
                            : !network ? ncerr_t{NCERR_NO_NETWORK, 0}
                                       : ncerr_ok();
    for (BackupGroup* group : m_groups) {
        if (m_aborted)
            break;
        if (m_groups.size() > 1)
            AddHeading(Utf8(group->name));
        for (size_t first = 0; first < group->values.size() && !m_aborted; first += kBatchSize) {
            RunBatch(network, *group, first, missing);
            AutoSizeColumns(m_list);
            // Cancel and the lamps get their turn between batches.
            wxTheApp->Yield(true);
        }
    }
    if (network)
        networkmgr_drop_network(network);
    if (device)
        devicemgr_drop_device(device);
    Finish();
}

void RestoreWindow::RunBatch(network_t* network, BackupGroup& group, size_t first, ncerr_t failure)
{
    const size_t end = std::min(group.values.size(), first + kBatchSize);
    const bool reading = m_mode != MODE_RESTORE;
    const int requestEvent = reading ? NCEVENT_READ_REQUEST : NCEVENT_WRITE_REQUEST;
    const int resultEvent = reading ? NCEVENT_READ_RESULT : NCEVENT_WRITE_RESULT;
    const uint16_t networkId = network ? network_get_id(network) : 0;
    // Only backups read entries without a value.
    const auto concerned = [&](const BackupValue& v) { return m_mode == MODE_BACKUP || v.hasValue; };

    ncerr_t flushed = failure;
    if (ncerr_is_ok(failure)) {
        network_reset_request(network);
        for (size_t i = first; i < end; ++i) {
            const BackupValue& v = group.values[i];
            if (concerned(v)) {
                const char* flag = FlagArg(EffectiveFlag(v));
                ncevent_throw_io_event(requestEvent, networkId, m_deviceId, 0, v.address.c_str(), flag,
                                       reading ? 0 : v.value, ncerr_ok());
                if (reading)
                    network_queue_read_float(network, m_deviceId, v.address.c_str(), flag);
                else
                    network_queue_write_float(network, m_deviceId, v.address.c_str(), flag, v.value);
            }
            Advance();
        }
        flushed = network_flush(network);
    } else {
        for (size_t i = first; i < end; ++i)
            Advance();
    }
    for (size_t i = first; i < end; ++i) {
        BackupValue& v = group.values[i];
        if (!concerned(v))
            continue;
        const char* flag = FlagArg(EffectiveFlag(v));
        double value = reading ? 0 : v.value;
        // The core's flush answers the first failing item as well as a failed
        // batch, so every item asks for its own result; an item left without
        // one takes the flush's.
        ncerr_t result = flushed;
        if (ncerr_is_ok(failure)) {
            const ncerr_t own = network_result_float(network, m_deviceId, v.address.c_str(), flag, &value);
            const int code = own.code & 0xff;
            if (ncerr_is_ok(flushed) || (code != NCERR_NOT_QUEUED && code != NCERR_STATE))
                result = own;
            if (!ncerr_is_ok(result))
                value = reading ? 0 : v.value;
        }
        if (ncerr_is_ok(failure))
            ncevent_throw_io_event(resultEvent, networkId, m_deviceId, 0, v.address.c_str(), flag, value, result);
        const bool ok = ncerr_is_ok(result);
        switch (m_mode) {
        case MODE_BACKUP:
            v.status = result;
            v.hasValue = ok;
            v.value = ok ? value : 0;
            AddRow(DisplayName(v), ok ? Value(value) : ResultText(result));
            break;
        case MODE_RESTORE:
            AddRow(DisplayName(v), Value(v.value), ok ? _("OK") : ResultText(result));
            break;
        case MODE_COMPARE:
            if (!ok)
                AddRow(DisplayName(v), Value(v.value), ResultText(result));
            else if (!BackupValuesEqual(v.value, value))
                AddRow(DisplayName(v), Value(v.value), Value(value));
            break;
        }
    }
}

void RestoreWindow::Finish()
{
    m_running = false;
    m_finished = true;
    AutoSizeColumns(m_list);
    m_ok->Show();
    m_cancel->Hide();
    m_ok->SetDefault();
    Layout();
}

// ---------------------------------------------------------------------------

BackupDialog::BackupDialog(wxWindow* parent, bool restore)
    : wxDialog(parent, wxID_ANY, restore ? _("Restore backup") : _("Make backup"), wxDefaultPosition,
               wxSize(kWidth, -1), wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER)
    , m_restore(restore)
{
    SetBackupTranslator(&Translate);

    auto* deviceSection = new wxBoxSizer(wxVERTICAL);
    deviceSection->Add(Heading(this, restore ? _("Destination") : _("Backup device")), 0, wxBOTTOM, 4);
    auto* deviceRow = new wxBoxSizer(wxHORIZONTAL);
    deviceRow->Add(new wxStaticText(this, wxID_ANY, _("Device:")), 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 6);
    m_device = new wxChoice(this, wxID_ANY);
    FillDeviceChoice(m_device);
    deviceRow->Add(m_device, 1, wxALIGN_CENTER_VERTICAL);
    deviceSection->Add(deviceRow, 0, wxEXPAND | wxLEFT, 12);
    if (restore) {
        m_compareOnly = new wxCheckBox(this, wxID_ANY, _("Compare only"));
        deviceSection->Add(m_compareOnly, 0, wxLEFT | wxTOP, 12);
    }

    auto* fileSection = new wxBoxSizer(wxVERTICAL);
    fileSection->Add(Heading(this, restore ? _("Source") : _("Save as")), 0, wxBOTTOM, 4);
    auto* fileRow = new wxBoxSizer(wxHORIZONTAL);
    fileRow->Add(new wxStaticText(this, wxID_ANY, restore ? _("Restore from:") : _("Filename:")), 0,
                 wxALIGN_CENTER_VERTICAL | wxRIGHT, 6);
    m_file = new wxButton(this, wxID_ANY, "...");
    fileRow->Add(m_file, 1, wxALIGN_CENTER_VERTICAL);
    fileSection->Add(fileRow, 0, wxEXPAND | wxLEFT, 12);
    if (restore) {
        m_deviceName = new wxStaticText(this, wxID_ANY, _("Device name:"));
        m_hardware = new wxStaticText(this, wxID_ANY, _("Hardware:"));
        fileSection->Add(m_deviceName, 0, wxLEFT | wxTOP, 12);
        fileSection->Add(m_hardware, 0, wxLEFT | wxTOP, 12);
        m_deviceName->Disable();
        m_hardware->Disable();
    }

    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(restore ? fileSection : deviceSection, 0, wxEXPAND | wxALL, 10);
    sizer->Add(restore ? deviceSection : fileSection, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 10);
    m_groupSizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(m_groupSizer, 1, wxEXPAND | wxLEFT | wxRIGHT, 22);
    sizer->Add(CreateSeparatedButtonSizer(wxOK | wxCANCEL), 0, wxEXPAND | wxALL, 10);
    SetSizer(sizer);
    Fit();
    SetSize(wxSize(kWidth, GetSize().GetHeight()));
    Centre();

    m_device->Bind(wxEVT_CHOICE, &BackupDialog::OnDevice, this);
    m_file->Bind(wxEVT_BUTTON, &BackupDialog::OnFile, this);
    Bind(wxEVT_BUTTON, &BackupDialog::OnOk, this, wxID_OK);
    UpdateOk();
}

void BackupDialog::SelectDevice(unsigned short deviceId)
{
    SelectItemByData(m_device, deviceId);
    if (m_device->GetSelection() == wxNOT_FOUND && m_device->GetCount() > 0)
        m_device->SetSelection(m_device->GetCount() - 1);
    UpdateOk();
}

bool BackupDialog::GetSelectedDevice(unsigned short* id) const
{
    const int selection = m_device->GetSelection();
    // The trailing empty entry carries no data: it stands for no device.
    if (selection == wxNOT_FOUND || !m_device->GetClientData(selection))
        return false;
    if (id)
        *id = static_cast<unsigned short>(wxPtrToUInt(m_device->GetClientData(selection)));
    return true;
}

void BackupDialog::SetPath(const wxString& path)
{
    m_path = path;
    m_file->SetLabel(path.empty() ? wxString("...") : path);
    Layout();
}

void BackupDialog::ClearGroups()
{
    for (wxCheckBox* box : m_boxes)
        box->Destroy();
    m_boxes.clear();
    m_groupSizer->Clear();
}

void BackupDialog::BuildGroupBoxes()
{
    ClearGroups();
    const wxString verb = m_restore ? _("Restore") : _("Backup");
    for (const BackupGroup& group : m_data.groups) {
        auto* box = new wxCheckBox(this, wxID_ANY, verb + " " + Utf8(group.name));
        box->SetValue(true);
        m_groupSizer->Add(box, 0, wxBOTTOM, 4);
        m_boxes.push_back(box);
    }
    // Grow to show every box, keeping the width the operator gave.
    const int width = GetSize().GetWidth();
    Layout();
    SetSize(wxSize(width, std::max(GetSize().GetHeight(), GetBestSize().GetHeight())));
}

bool BackupDialog::LoadTemplate(unsigned short deviceId)
{
    SelectDevice(deviceId);
    // Nothing of the previous device's template may stay: until this
    // device's own has loaded there is nothing to back up, and OK is off.
    ClearTemplate();
    device_t* device = devicemgr_fetch_device(deviceId, 0);
    if (!device) {
        wxMessageBox(_("The device cannot be read: it no longer exists or is in use."),
                     _("Device can not be backed up"), wxOK | wxICON_EXCLAMATION, this);
        return false;
    }
    hwinfo_t* hardware = device_get_hardware(device);
    const char* path = hardware ? hwinfo_get_backup_path(hardware) : nullptr;
    std::string reason;
    const int result = path ? m_data.Load(path, &reason) : BACKUP_CANNOT_OPEN;
    if (!path) {
        wxMessageBox(_("This device can not be backed up as\nthere is no backup template available"),
                     _("Device can not be backed up"), wxOK | wxICON_EXCLAMATION, this);
    } else if (result != BACKUP_OK) {
        const wxString why = result == BACKUP_CANNOT_OPEN
                                 ? wxString::Format(_("cannot open %s (%s)"), Utf8(path), Utf8(reason))
                                 : Utf8(m_data.error);
        m_data = BackupData();
        wxMessageBox(_("Failed to load backup template: ") + why, wxMessageBoxCaptionStr, wxOK | wxICON_ERROR,
                     this);
    } else {
        m_loaded = true;
        // The backup names the device it was made of, not the template's.
        m_data.device = device_get_name(device);
        BuildGroupBoxes();
    }
    devicemgr_drop_device(device);
    UpdateOk();
    return m_loaded;
}

void BackupDialog::ClearTemplate()
{
    m_data = BackupData();
    m_loaded = false;
    ClearGroups();
    Layout();
    UpdateOk();
}

bool BackupDialog::LoadBackup(const wxString& path)
{
    SetPath(path);
    const int result = m_data.Load(std::string(path.utf8_str()));
    m_loaded = result == BACKUP_OK;
    if (!m_loaded) {
        m_data.groups.clear();
        ClearGroups();
        if (result == BACKUP_CANNOT_OPEN)
            m_data.error = std::string(_("Failed to open file").utf8_str());
        wxMessageBox(_("Failed to load backup: ") + Utf8(m_data.error), wxMessageBoxCaptionStr, wxOK, this);
        m_deviceName->SetLabel(_("Device name:"));
        m_hardware->SetLabel(_("Hardware:"));
    } else {
        m_deviceName->SetLabel(_("Device name:") + " " + Utf8(m_data.device));
        m_hardware->SetLabel(_("Hardware:") + " " + Utf8(m_data.hardware));
        BuildGroupBoxes();
    }
    m_deviceName->Enable(m_loaded);
    m_hardware->Enable(m_loaded);
    for (wxCheckBox* box : m_boxes)
        box->Enable(m_loaded);
    Layout();
    UpdateOk();
    return m_loaded;
}

void BackupDialog::UpdateOk()
{
    wxWindow* ok = FindWindow(wxID_OK);
    if (ok)
        ok->Enable(GetSelectedDevice(nullptr) && m_loaded);
}

void BackupDialog::OnDevice(wxCommandEvent&)
{
    if (m_restore) {
        UpdateOk();
        return;
    }
    unsigned short id = 0;
    if (GetSelectedDevice(&id))
        LoadTemplate(id);
    else
        ClearTemplate();
}

void BackupDialog::OnFile(wxCommandEvent&)
{
    const wxString path =
        m_restore ? wxFileSelector(_("Select backup to restore from"), wxEmptyString, wxEmptyString, wxEmptyString,
                                   wxFileSelectorDefaultWildcardStr, wxFD_OPEN, this)
                  : wxFileSelector(_("Select filename to save backup as"), wxEmptyString, wxEmptyString,
                                   wxEmptyString, wxFileSelectorDefaultWildcardStr, wxFD_SAVE, this);
    if (path.empty())
        return;
    if (m_restore)
        LoadBackup(path);
    else
        SetPath(path);
}

void BackupDialog::OnOk(wxCommandEvent& event)
{
    // OK is disabled in these cases; a stray event must not reach the core.
    if (!GetSelectedDevice(nullptr) || !m_loaded)
        return;
    event.Skip();
}

int BackupDialog::GetRunMode() const
{
    if (!m_restore)
        return RestoreWindow::MODE_BACKUP;
    return m_compareOnly->GetValue() ? RestoreWindow::MODE_COMPARE : RestoreWindow::MODE_RESTORE;
}

void BackupDialog::Run()
{
    // Without a device, or without this device's template or backup,
    // nothing is run and no file is written.
    unsigned short id = 0;
    if (!GetSelectedDevice(&id) || !m_loaded)
        return;
    const int mode = GetRunMode();
    RestoreWindow window(this, mode, m_data.defaultFlag);
    window.SetDevice(id);
    int total = 0;
    for (size_t i = 0; i < m_data.groups.size(); ++i) {
        BackupGroup& group = m_data.groups[i];
        group.include = i < m_boxes.size() && m_boxes[i]->GetValue();
        if (group.include) {
            window.AddGroup(&group);
            total += static_cast<int>(group.values.size());
        }
    }
    window.SetGaugeRange(total);
    window.ShowModal();
    if (mode != RestoreWindow::MODE_BACKUP)
        return;
    const int result = m_data.Save(std::string(m_path.utf8_str()));
    if (result == BACKUP_CANNOT_OPEN)
        wxMessageBox(_("Failed to open file for write access"), _("Failed to open file"), wxOK | wxICON_ERROR,
                     this);
    else if (result != BACKUP_OK)
        wxMessageBox(_("Failed to save backup: ") + Utf8(m_data.error), wxMessageBoxCaptionStr, wxOK, this);
}

void OpenBackupDialog(wxWindow* parent, unsigned short deviceId)
{
    BackupDialog dialog(parent, false);
    if (!dialog.LoadTemplate(deviceId))
        return;
    if (dialog.ShowModal() == wxID_OK)
        dialog.Run();
}

void OpenRestoreDialog(wxWindow* parent, unsigned short deviceId, const wxString& path)
{
    BackupDialog dialog(parent, true);
    dialog.LoadBackup(path);
    dialog.SelectDevice(deviceId);
    if (dialog.ShowModal() == wxID_OK)
        dialog.Run();
}
