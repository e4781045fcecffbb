#include "userdlg.h"

#include "coretext.h"
#include "images.h"

#include <plexord.h>
#include <widgetkit/stoc.h>

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/intl.h>
#include <wx/listbox.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/statline.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <cstdio>

namespace {

// Texts go to and come from the core as UTF-8 both ways, so a name outside
// ASCII reads back as it was typed.
} // namespace

void RunUserAdministration(wxWindow* parent)
{
    UserDlg dialog(parent);
    dialog.ShowModal();
}

// ---------------------------------------------------------------------------

UserDlg::UserDlg(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, _("Users"), wxDefaultPosition, wxSize(300, 200),
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxRESIZE_BORDER)
{
    SetIcon(StatIcon());

    m_list = new wxListBox(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, 0, nullptr, wxLB_SINGLE);
    auto* buttons = new wxBoxSizer(wxVERTICAL);
    buttons->Add(new wxButton(this, ID_ADD, _("Add")), 0, wxEXPAND | wxBOTTOM, 4);
    buttons->Add(new wxButton(this, ID_REMOVE, _("Remove")), 0, wxEXPAND | wxBOTTOM, 4);
    buttons->Add(new wxButton(this, ID_EDIT, _("Edit")), 0, wxEXPAND);

    auto* row = new wxBoxSizer(wxHORIZONTAL);
    row->Add(m_list, 1, wxEXPAND | wxRIGHT, 6);
    row->Add(buttons, 0);

    m_local = new wxCheckBox(this, ID_LOCAL_CHALLENGE, _("Authorize all local connections"));
    auto* ok = new wxButton(this, ID_OK, _("OK"));
    ok->SetDefault();

    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(row, 1, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, 6);
    top->Add(m_local, 0, wxLEFT | wxRIGHT | wxTOP, 6);
    top->Add(new wxStaticLine(this), 0, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, 6);
    top->Add(ok, 0, wxALIGN_RIGHT | wxALL, 6);
    SetSizer(top);
    SetMinSize(top->GetMinSize());
    SetSize(wxSize(300, 200));

    // Escape and the close box close the dialog as OK does.
    SetEscapeId(ID_OK);
    Bind(wxEVT_BUTTON, &UserDlg::OnButton, this);
    m_local->Bind(wxEVT_CHECKBOX, &UserDlg::OnLocalChallenge, this);

    UpdateList();
    m_local->SetValue(plexord_local_challenge_is_allowed() != 0);
}

void UserDlg::UpdateList()
{
    unsigned int rows = 0;
    usermanager_iterate_start();
    while (const uint16_t id = usermanager_iterate_get_next()) {
        user_t* user = usermanager_fetch_user(id, 0);
        if (!user)
            continue; // removed since the walk began
        const wxString name = FromCore(user_get_name(user));
        usermanager_drop_user(user);
        if (rows >= m_list->GetCount())
            m_list->Append(wxString());
        // Only changed texts are written: the list neither flickers nor
        // loses its selection.
        if (m_list->GetString(rows) != name)
            m_list->SetString(rows, name);
        m_list->SetClientData(rows, wxUIntToPtr(id));
        ++rows;
    }
    usermanager_iterate_end();
    while (m_list->GetCount() > rows)
        m_list->Delete(m_list->GetCount() - 1);
}

void UserDlg::OnButton(wxCommandEvent& event)
{
    switch (event.GetId()) {
    case ID_ADD:
        AddUser();
        break;
    case ID_REMOVE:
        RemoveUser();
        break;
    case ID_EDIT:
        EditUser();
        break;
    case ID_OK:
    case wxID_CANCEL: // a stop from outside cancels the open dialogs
        EndDialog(1);
        break;
    default:
        event.Skip();
    }
}

void UserDlg::OnLocalChallenge(wxCommandEvent& event)
{
    plexord_allow_local_challenge(event.IsChecked() ? 1 : 0);
}

void UserDlg::AddUser()
{
    user_t* user = user_new();
    if (!user) {
        std::fprintf(stderr, " ! Cannot create a user: no free user id\n");
        wxMessageBox(_("No more users can be added."), wxMessageBoxCaptionStr, wxOK | wxICON_ERROR, this);
        return;
    }
    const uint16_t id = user_get_id(user);
    const ncerr_t added = usermanager_add_user(user);
    if (!ncerr_is_ok(added)) {
        std::fprintf(stderr, "Error: %s\n", ncerr_get_string(added));
        wxMessageBox(wxGetTranslation(FromCore(ncerr_get_string(added))), wxMessageBoxCaptionStr,
                     wxOK | wxICON_ERROR, this);
        return;
    }
    bool keep = false;
    {
        UserEditDlg edit(this, id);
        keep = edit.IsLoaded() && edit.ShowModal() == 1;
    }
    if (!keep)
        usermanager_remove_user(id);
    else
        UpdateList();
}

void UserDlg::RemoveUser()
{
    const int row = m_list->GetSelection();
    if (row == wxNOT_FOUND)
        return;
    const ncerr_t removed = usermanager_remove_user(static_cast<uint16_t>(wxPtrToUInt(m_list->GetClientData(row))));
    // Only a user that is already gone cannot be removed; the list shows it.
    if (!ncerr_is_ok(removed))
        std::fprintf(stderr, "Error: %s\n", ncerr_get_string(removed));
    UpdateList();
}

void UserDlg::EditUser()
{
    const int row = m_list->GetSelection();
    if (row == wxNOT_FOUND)
        return;
    UserEditDlg edit(this, static_cast<uint16_t>(wxPtrToUInt(m_list->GetClientData(row))));
    // A user removed meanwhile is not edited; the list is brought up to date.
    if (!edit.IsLoaded() || edit.ShowModal() == 1)
        UpdateList();
}

// ---------------------------------------------------------------------------

UserEditDlg::UserEditDlg(wxWindow* parent, unsigned short userId)
    : wxDialog(parent, wxID_ANY, _("User information"))
    , m_id(userId)
{
    SetIcon(StatIcon());

    auto* grid = new wxFlexGridSizer(2, 6, 6);
    grid->AddGrowableCol(1);
    auto field = [this, grid](const wxString& label, long style) {
        grid->Add(new wxStaticText(this, wxID_ANY, label), 0, wxALIGN_CENTER_VERTICAL);
        auto* text = new wxTextCtrl(this, wxID_ANY, wxString(), wxDefaultPosition, wxSize(220, -1), style);
        grid->Add(text, 1, wxEXPAND);
        return text;
    };
    m_name = field(_("Name: "), 0);
    m_password1 = field(_("Password 1/2: "), wxTE_PASSWORD);
    m_password2 = field(_("Password 2/2: "), wxTE_PASSWORD);
    m_read = field(_("Read access: "), 0);
    m_write = field(_("Write access: "), 0);

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->AddStretchSpacer();
    buttons->Add(new wxButton(this, ID_CANCEL, _("Cancel")), 0, wxRIGHT, 6);
    auto* ok = new wxButton(this, ID_OK, _("OK"));
    ok->SetDefault();
    buttons->Add(ok);

    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(grid, 1, wxEXPAND | wxALL, 8);
    top->Add(new wxStaticLine(this), 0, wxEXPAND | wxLEFT | wxRIGHT, 8);
    top->Add(buttons, 0, wxEXPAND | wxALL, 8);
    SetSizerAndFit(top);
    CentreOnParent();

    // Escape and the close box act as Cancel, so they end with 0 too.
    SetEscapeId(ID_CANCEL);
    Bind(wxEVT_BUTTON, &UserEditDlg::OnOK, this, ID_OK);
    Bind(wxEVT_BUTTON, &UserEditDlg::OnCancel, this, ID_CANCEL);
    Bind(wxEVT_BUTTON, &UserEditDlg::OnCancel, this, wxID_CANCEL);

    Load();
}

void UserEditDlg::Load()
{
    user_t* user = usermanager_fetch_user(m_id, 0);
    if (!user)
        return;
    m_name->ChangeValue(FromCore(user_get_name(user)));
    m_password1->ChangeValue(FromCore(user_get_password(user)));
    m_password2->ChangeValue(FromCore(user_get_password(user)));
    m_read->ChangeValue(FromCore(user_get_read_access(user)));
    m_write->ChangeValue(FromCore(user_get_write_access(user)));
    usermanager_drop_user(user);
    m_loaded = true;
}

bool UserEditDlg::ApplySettings()
{
    const wxString password = m_password1->GetValue();
    if (password != m_password2->GetValue()) {
        wxMessageBox(_("Passwords do not match"), wxMessageBoxCaptionStr, wxOK, this);
        m_password1->SetFocus();
        return false;
    }
    user_t* user = usermanager_fetch_user(m_id, 1);
    if (!user) {
        wxMessageBox(_("The user cannot be changed: it no longer exists or is in use."), wxMessageBoxCaptionStr,
                     wxOK | wxICON_ERROR, this);
        return false;
    }
    // Every setter runs; the first refusal is shown with its field's label.
    FirstRefusal refused;
    refused.Check(_("Name: "), user_set_name(user, wxStoC(m_name->GetValue()).cstr()));
    refused.Check(_("Password 1/2: "), user_set_password(user, wxStoC(password).cstr()));
    refused.Check(_("Read access: "), user_set_read_access(user, wxStoC(m_read->GetValue()).cstr()));
    refused.Check(_("Write access: "), user_set_write_access(user, wxStoC(m_write->GetValue()).cstr()));
    usermanager_drop_user(user);
    if (refused.Any()) {
        wxMessageBox(refused.Text(), wxMessageBoxCaptionStr, wxOK | wxICON_ERROR, this);
        return false;
    }
    return true;
}

void UserEditDlg::OnOK(wxCommandEvent&)
{
    if (ApplySettings())
        EndDialog(1);
}

void UserEditDlg::OnCancel(wxCommandEvent&)
{
    EndDialog(0);
}
