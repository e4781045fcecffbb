#include "devicedlg.h"

#include "coretext.h"
#include "devicesetup.h"
#include "images.h"
#include "networktypes.h"

#include <plexord.h>
#include <widgetkit/stoc.h>

#include <wx/button.h>
#include <wx/choicdlg.h>
#include <wx/ctrlsub.h>
#include <wx/intl.h>
#include <wx/listbox.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/statbox.h>
#include <wx/statline.h>
#include <wx/stattext.h>

#include <cstdio>
#include <vector>

namespace {

// How long to wait for a network that a removal holds locked.
constexpr int kFetchWaitMs = 1000;

unsigned short ItemId(const wxControlWithItems* control, int row)
{
    return static_cast<unsigned short>(wxPtrToUInt(control->GetClientData(row)));
}

// Row i of the list becomes the text with the id; the list grows when it is
// shorter. Rewriting in place keeps the list from flickering and scrolling.
void WriteRow(wxListBox* list, unsigned int row, const wxString& text, unsigned short id)
{
    if (row >= list->GetCount())
        list->Append(wxString());
    if (list->GetString(row) != text)
        list->SetString(row, text);
    list->SetClientData(row, wxUIntToPtr(id));
}

void TrimRows(wxListBox* list, unsigned int rows)
{
    while (list->GetCount() > rows)
        list->Delete(list->GetCount() - 1);
}

// The id of the selected row, 0 when none is.
unsigned short SelectedId(const wxListBox* list)
{
    const int row = list->GetSelection();
    return row == wxNOT_FOUND ? 0 : ItemId(list, row);
}

} // namespace

void FillDeviceChoice(wxControlWithItems* control)
{
    devicemgr_iterate_start();
    while (const uint16_t id = devicemgr_iterate_get_next()) {
        device_t* device = devicemgr_fetch_device(id, 0);
        if (!device)
            continue;
        control->Append(FromCore(device_get_name(device)), wxUIntToPtr(id));
        devicemgr_drop_device(device);
    }
    devicemgr_iterate_end();
    control->Append(wxString());
}

void SelectItemByData(wxControlWithItems* control, unsigned short id)
{
    if (control->HasClientUntypedData()) {
        for (unsigned int i = 0; i < control->GetCount(); ++i) {
            if (control->GetClientData(i) == wxUIntToPtr(id)) {
                control->SetSelection(i);
                return;
            }
        }
    }
    control->SetSelection(wxNOT_FOUND);
}

void SetBoldFont(wxWindow* window)
{
    wxFont font = window->GetFont();
    font.SetWeight(wxFONTWEIGHT_BOLD);
    window->SetFont(font);
}

// ---------------------------------------------------------------------------

DeviceDlg::DeviceDlg(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, _("Devices"), wxDefaultPosition, wxSize(300, 200),
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | wxRESIZE_BORDER)
{
    SetIcon(StatIcon());

    auto* top = new wxBoxSizer(wxVERTICAL);
    auto group = [this, top](const wxString& title, int proportion, int addId, int removeId, int editId) {
        auto* box = new wxStaticBoxSizer(wxHORIZONTAL, this, title);
        auto* list = new wxListBox(box->GetStaticBox(), wxID_ANY, wxDefaultPosition, wxDefaultSize, 0, nullptr,
                                   wxLB_SINGLE);
        box->Add(list, 1, wxEXPAND | wxALL, 4);
        auto* buttons = new wxBoxSizer(wxVERTICAL);
        buttons->Add(new wxButton(box->GetStaticBox(), addId, _("Add")), 0, wxEXPAND | wxBOTTOM, 4);
        buttons->Add(new wxButton(box->GetStaticBox(), removeId, _("Remove")), 0, wxEXPAND | wxBOTTOM, 4);
        buttons->Add(new wxButton(box->GetStaticBox(), editId, _("Edit")), 0, wxEXPAND);
        box->Add(buttons, 0, wxALL, 4);
        top->Add(box, proportion, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, 6);
        return list;
    };
    m_networks = group(_("Networks"), 2, ID_ADD_NETWORK, ID_REMOVE_NETWORK, ID_EDIT_NETWORK);
    m_devices = group(_("Devices"), 3, ID_ADD_DEVICE, ID_REMOVE_DEVICE, ID_EDIT_DEVICE);
    top->Add(new wxStaticLine(this), 0, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, 6);
    top->Add(new wxButton(this, wxID_OK, _("OK")), 0, wxALIGN_RIGHT | wxALL, 6);
    SetSizer(top);
    SetMinSize(top->GetMinSize());
    SetSize(wxSize(300, 200));

    Bind(wxEVT_BUTTON, &DeviceDlg::OnButton, this);
    UpdateLists();
}

void DeviceDlg::UpdateLists()
{
    unsigned int rows = 0;
    networkmgr_iterate_start();
    while (const uint16_t id = networkmgr_iterate_get_next()) {
        network_t* network = networkmgr_fetch_network(id, kFetchWaitMs);
        if (!network)
            continue; // removed since the iteration began
        WriteRow(m_networks, rows++, FromCore(network_get_name(network)), network_get_id(network));
        networkmgr_drop_network(network);
    }
    networkmgr_iterate_end();
    TrimRows(m_networks, rows);

    rows = 0;
    devicemgr_iterate_start();
    while (const uint16_t id = devicemgr_iterate_get_next()) {
        device_t* device = devicemgr_fetch_device(id, 0);
        if (!device)
            continue;
        wxString text = FromCore(device->name);
        if (device->description && *device->description)
            text += ": " + FromCore(device->description);
        WriteRow(m_devices, rows++, text, device->id);
        devicemgr_drop_device(device);
    }
    devicemgr_iterate_end();
    TrimRows(m_devices, rows);
}

void DeviceDlg::OnButton(wxCommandEvent& event)
{
    switch (event.GetId()) {
    case ID_ADD_NETWORK:
        AddNetwork();
        break;
    case ID_REMOVE_NETWORK:
        RemoveNetwork();
        break;
    case ID_EDIT_NETWORK:
        EditNetwork();
        break;
    case ID_ADD_DEVICE:
        AddDevice();
        break;
    case ID_REMOVE_DEVICE:
        RemoveDevice();
        break;
    case ID_EDIT_DEVICE:
        EditDevice();
        break;
    case wxID_OK:
        EndModal(1);
        break;
    default:
        event.Skip();
    }
}

void DeviceDlg::AddNetwork()
{
    wxString type;
    {
        NetworkTypeSelectionDialog selection(this);
        if (selection.ShowModal() != wxID_OK)
            return;
        type = selection.GetSelectedType();
    }
    if (type.empty())
        return;

    network_t* network = plexord_create_network(wxStoC(type).cstr());
    if (!network) {
        std::fprintf(stderr, " ! Cannot create a network of type %s\n", type.utf8_str().data());
        return;
    }
    const ncerr_t added = networkmgr_add_network(network);
    if (!ncerr_is_ok(added)) {
        std::fprintf(stderr, "Error: %s\n", ncerr_get_string(added));
        return;
    }
    const uint16_t id = network_get_id(network);
    wxDialog* setup = CreateNetworkSetupDialog(this, network);
    if (!setup) {
        // Cannot happen from the type list, which offers table rows only;
        // a network nobody can set up is not kept.
        networkmgr_remove_network(id);
    } else {
        if (setup->ShowModal() == 0)
            networkmgr_remove_network(id);
        setup->Destroy();
    }
    UpdateLists();
}

void DeviceDlg::EditNetwork()
{
    const unsigned short id = SelectedId(m_networks);
    if (!id)
        return;
    wxDialog* setup = nullptr;
    if (network_t* network = networkmgr_fetch_network(id, kFetchWaitMs)) {
        // A type the console has no dialog for is simply not edited here.
        setup = CreateNetworkSetupDialog(this, network);
        networkmgr_drop_network(network);
    }
    if (setup) {
        setup->ShowModal();
        setup->Destroy();
    }
    UpdateLists();
}

void DeviceDlg::RemoveNetwork()
{
    const unsigned short id = SelectedId(m_networks);
    if (!id)
        return;
    networkmgr_remove_network(id);
    UpdateLists();
}

void DeviceDlg::AddDevice()
{
    std::vector<uint16_t> ids;
    wxArrayString names;
    ids.reserve(networkmgr_get_network_count());
    networkmgr_iterate_start();
    while (const uint16_t id = networkmgr_iterate_get_next()) {
        network_t* network = networkmgr_fetch_network(id, kFetchWaitMs);
        if (!network)
            continue;
        ids.push_back(id);
        names.Add(FromCore(network_get_name(network)));
        networkmgr_drop_network(network);
    }
    networkmgr_iterate_end();

    if (ids.empty()) {
        wxMessageBox(_("You must add a network before\nyou can add a device"), wxMessageBoxCaptionStr,
                     wxOK | wxCENTRE, this);
        return;
    }
    wxSingleChoiceDialog picker(this, _("Select network"), _("Select network"), names);
    // The list's best size for a row or two is below what GTK needs for its
    // scroll bar, which then complains when the dialog is laid out.
    for (wxWindow* child : picker.GetChildren())
        if (auto* list = wxDynamicCast(child, wxListBox))
            list->SetMinSize(wxSize(wxCHOICE_WIDTH, wxCHOICE_HEIGHT));
    picker.Fit();
    picker.CentreOnParent();
    picker.SetSelection(0);
    if (picker.ShowModal() != wxID_OK)
        return;
    const int choice = picker.GetSelection();
    if (choice < 0 || choice >= static_cast<int>(ids.size()))
        return;

    device_t* device = device_new(ids[choice]);
    if (!device)
        return;
    const uint16_t id = device->id;
    const ncerr_t added = devicemgr_add_device(device);
    if (!ncerr_is_ok(added)) {
        std::fprintf(stderr, "Error: %s\n", ncerr_get_string(added));
        return;
    }
    {
        DeviceSetupDlg setup(this, id);
        if (setup.ShowModal() == 0)
            devicemgr_remove_device(id);
    }
    UpdateLists();
}

void DeviceDlg::EditDevice()
{
    const unsigned short id = SelectedId(m_devices);
    if (!id)
        return;
    {
        DeviceSetupDlg setup(this, id);
        setup.ShowModal();
    }
    UpdateLists();
}

void DeviceDlg::RemoveDevice()
{
    const unsigned short id = SelectedId(m_devices);
    if (!id)
        return;
    devicemgr_remove_device(id);
    UpdateLists();
}

// ---------------------------------------------------------------------------

NetworkTypeSelectionDialog::NetworkTypeSelectionDialog(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, _("Network type selection"), wxDefaultPosition, wxDefaultSize, wxCAPTION)
{
    auto* top = new wxBoxSizer(wxVERTICAL);
    auto* label = new wxStaticText(this, wxID_ANY, _("Select network type:"));
    SetBoldFont(label);
    top->Add(label, 0, wxLEFT | wxRIGHT | wxTOP, 8);
    m_list = new wxListBox(this, wxID_ANY, wxDefaultPosition, wxSize(200, 200), 0, nullptr, wxLB_SINGLE);
    for (const NetworkTypeRow& row : NetworkTypeTable()) {
        if (plexord_has_network_type(row.key))
            m_list->Append(wxGetTranslation(row.label), new wxStringClientData(row.key));
    }
    top->Add(m_list, 1, wxEXPAND | wxALL, 8);
    top->Add(CreateStdDialogButtonSizer(wxOK | wxCANCEL), 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 8);
    SetSizerAndFit(top);
    CentreOnParent();

    m_list->Bind(wxEVT_LISTBOX, &NetworkTypeSelectionDialog::OnSelect, this);
    m_type = "directnet";
}

void NetworkTypeSelectionDialog::OnSelect(wxCommandEvent&)
{
    const int row = m_list->GetSelection();
    if (row == wxNOT_FOUND)
        m_type.clear();
    else
        m_type = static_cast<wxStringClientData*>(m_list->GetClientObject(row))->GetData();
}
