#include "devicesetup.h"

#include "coretext.h"
#include "images.h"

#include <plexord.h>
#include <widgetkit/stoc.h>

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/intl.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <cstdio>

namespace {

} // namespace

bool IsValidDeviceName(const wxString& name)
{
    const wxScopedCharBuffer bytes = name.utf8_str();
    for (size_t i = bytes.length(); i-- > 0;) {
        if (static_cast<unsigned char>(bytes.data()[i]) >= 0x80)
            return false;
    }
    return true;
}

int64_t ReadMaxCacheAge(const wxString& text, int64_t fallback)
{
    wxString trimmed = text;
    trimmed.Trim(true).Trim(false);
    wxLongLong_t value = 0;
    if (trimmed.empty() || !trimmed.ToLongLong(&value, 10))
        return fallback;
    return value;
}

DeviceSetupDlg::DeviceSetupDlg(wxWindow* parent, unsigned short deviceId)
    : wxDialogWithNotification(parent, wxID_ANY, _("Device settings"))
    , m_id(deviceId)
{
    SetIcon(StatIcon());
    GetNotification()->ShowCloseButton(true);

    auto* grid = new wxFlexGridSizer(2, 6, 6);
    grid->AddGrowableCol(1);
    auto label = [this, grid](const wxString& text) {
        auto* control = new wxStaticText(this, wxID_ANY, text);
        grid->Add(control, 0, wxALIGN_CENTER_VERTICAL);
        return control;
    };

    label(_("Name: "));
    m_name = new wxTextCtrl(this, wxID_ANY);
    grid->Add(m_name, 1, wxEXPAND);

    label(_("Address: "));
    m_address = new wxTextCtrl(this, wxID_ANY);
    grid->Add(m_address, 1, wxEXPAND);

    label(_("Hardware: "));
    m_hardware = new wxChoice(this, wxID_ANY);
    grid->Add(m_hardware, 1, wxEXPAND);

    label(_("Documentation: "));
    auto* documentation = new wxBoxSizer(wxHORIZONTAL);
    m_documentation = new wxTextCtrl(this, wxID_ANY, wxString(), wxDefaultPosition, wxSize(220, -1));
    documentation->Add(m_documentation, 1, wxALIGN_CENTER_VERTICAL);
    m_browse = new wxButton(this, wxID_ANY, "...", wxDefaultPosition, wxDefaultSize, wxBU_EXACTFIT);
    m_browse->SetToolTip(_("Browse for the documentation file"));
    documentation->Add(m_browse, 0, wxALIGN_CENTER_VERTICAL | wxLEFT, 4);
    grid->Add(documentation, 1, wxEXPAND);

    grid->AddSpacer(0);
    m_cache = new wxCheckBox(this, wxID_ANY, _("Force use of cache"));
    grid->Add(m_cache);

    m_maxAgeLabel = label(_("Max cache age:"));
    auto* maxAge = new wxBoxSizer(wxHORIZONTAL);
    m_maxAge = new wxTextCtrl(this, wxID_ANY, wxString(), wxDefaultPosition, wxSize(80, -1));
    maxAge->Add(m_maxAge, 0, wxALIGN_CENTER_VERTICAL);
    m_maxAgeUnit = new wxStaticText(this, wxID_ANY, _("s"));
    maxAge->Add(m_maxAgeUnit, 0, wxALIGN_CENTER_VERTICAL | wxLEFT, 4);
    grid->Add(maxAge);

    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(grid, 1, wxEXPAND | wxALL, 8);
    top->Add(CreateSeparatedButtonSizer(wxOK | wxCANCEL), 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 8);
    GetTopSizer()->Add(top, 1, wxEXPAND);
    GetTopSizer()->SetSizeHints(this);
    CentreOnParent();

    m_cache->Bind(wxEVT_CHECKBOX, &DeviceSetupDlg::OnCacheToggled, this);
    m_browse->Bind(wxEVT_BUTTON, &DeviceSetupDlg::OnBrowse, this);
    Bind(wxEVT_BUTTON, &DeviceSetupDlg::OnOK, this, wxID_OK);
    // Closing the window and Escape come here too: they must end with 0.
    Bind(wxEVT_BUTTON, &DeviceSetupDlg::OnCancel, this, wxID_CANCEL);

    Load();
}

void DeviceSetupDlg::Load()
{
    hwiter_t* iter = hardwaremgr_get_iter_all();
    if (iter) {
        do {
            if (hwinfo_t* hardware = hardwaremgr_iter_get(iter))
                m_hardware->Append(FromCore(hwinfo_get_name(hardware)));
        } while (hardwaremgr_iter_next(iter));
        hardwaremgr_iter_free(iter);
    }

    device_t* device = devicemgr_fetch_device(m_id, 0);
    if (!device) {
        EnableMaxAge(false);
        return;
    }
    m_name->ChangeValue(FromCore(device->name));
    m_address->ChangeValue(FromCore(device->address));
    if (device->hardware) {
        const int row = m_hardware->FindString(FromCore(hwinfo_get_name(device->hardware)), false);
        m_hardware->SetSelection(row);
    }
    m_documentation->ChangeValue(FromCore(device->doc_path));
    const bool enforced = device_cache_is_enforced(device) != 0;
    m_cache->SetValue(enforced);
    m_maxAge->ChangeValue(wxString::Format("%d", device_get_max_cache_age(device)));
    EnableMaxAge(enforced);
    devicemgr_drop_device(device);
}

void DeviceSetupDlg::EnableMaxAge(bool enable)
{
    m_maxAgeLabel->Enable(enable);
    m_maxAge->Enable(enable);
    m_maxAgeUnit->Enable(enable);
}

void DeviceSetupDlg::OnCacheToggled(wxCommandEvent&)
{
    EnableMaxAge(m_cache->GetValue());
}

bool DeviceSetupDlg::Validate()
{
    if (!IsValidDeviceName(m_name->GetValue())) {
        wxMessageBox(_("Device name contains illegal characters.\nOnly 7-bit ASCII characters are supported."),
                     wxMessageBoxCaptionStr, wxOK | wxCENTRE, nullptr);
        m_name->SetFocus();
        return false;
    }
    return wxDialog::Validate();
}

void DeviceSetupDlg::BrowseDocumentation()
{
    const wxString folder = wxFileName(m_documentation->GetValue()).GetPath();
    wxFileDialog dialog(this, _("Documentation"), folder, wxString(), "*.csv|*.*", wxFD_OPEN);
    if (dialog.ShowModal() == wxID_OK)
        m_documentation->SetValue(dialog.GetPath());
}

void DeviceSetupDlg::OnBrowse(wxCommandEvent&)
{
    BrowseDocumentation();
}

bool DeviceSetupDlg::ApplySettings()
{
    if (!Validate())
        return false;
    device_t* device = devicemgr_fetch_device(m_id, 1);
    if (!device) {
        wxMessageBox(_("The device no longer exists."), wxMessageBoxCaptionStr, wxOK | wxICON_ERROR, this);
        return false;
    }
    // Every setter runs; the first refusal is shown under its field's label.
    FirstRefusal refused;
    refused.Check(_("Address: "), device_set_address(device, wxStoC(m_address->GetValue()).cstr()));
    refused.Check(_("Name: "), device_set_name(device, wxStoC(m_name->GetValue()).cstr()));
    refused.Check(_("Hardware: "), device_set_hardware(device, wxStoC(m_hardware->GetStringSelection()).cstr()));
    refused.Check(_("Documentation: "), device_load_documentation(device, wxStoC(m_documentation->GetValue()).cstr()));
    const int64_t maxAge = ReadMaxCacheAge(m_maxAge->GetValue(), device_get_max_cache_age(device));
    refused.Check(_("Max cache age:") + " ", device_cache_enforce(device, m_cache->GetValue() ? 1 : 0, maxAge));
    devicemgr_drop_device(device);
    if (refused.Any()) {
        ShowNotification(refused.Text(), wxART_ERROR);
        return false;
    }
    HideNotification();
    return true;
}

void DeviceSetupDlg::OnOK(wxCommandEvent&)
{
    if (ApplySettings())
        EndModal(1);
}

void DeviceSetupDlg::OnCancel(wxCommandEvent&)
{
    EndModal(0);
}
