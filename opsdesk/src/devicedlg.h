// The networks-and-devices dialog, the network type selection, and small
// helpers that other windows share with them.
#ifndef OPSDESK_DEVICEDLG_H
#define OPSDESK_DEVICEDLG_H

#include <wx/dialog.h>
#include <wx/string.h>

class wxControlWithItems;
class wxListBox;
class wxCommandEvent;

// Appends every device by name, its 16-bit id as item data
// (SetClientData(wxUIntToPtr(id))), then one empty entry without data.
void FillDeviceChoice(wxControlWithItems* control);
// Selects the first entry whose item data is the id; clears the selection
// when there is none.
void SelectItemByData(wxControlWithItems* control, unsigned short id);
void SetBoldFont(wxWindow* window);

class DeviceDlg : public wxDialog
{
public:
    explicit DeviceDlg(wxWindow* parent);

    // Rewrites both lists from the core, row by row in place.
    void UpdateLists();

    wxListBox* GetNetworkList() const { return m_networks; }
    wxListBox* GetDeviceList() const { return m_devices; }

    enum
    {
        ID_ADD_NETWORK = wxID_HIGHEST + 1,
        ID_REMOVE_NETWORK,
        ID_EDIT_NETWORK,
        ID_ADD_DEVICE,
        ID_REMOVE_DEVICE,
        ID_EDIT_DEVICE
    };

    // The button actions, callable without clicking.
    void AddNetwork();
    void RemoveNetwork();
    void EditNetwork();
    void AddDevice();
    void RemoveDevice();
    void EditDevice();

private:
    void OnButton(wxCommandEvent& event);

    wxListBox* m_networks = nullptr;
    wxListBox* m_devices = nullptr;
};

class NetworkTypeSelectionDialog : public wxDialog
{
public:
    explicit NetworkTypeSelectionDialog(wxWindow* parent);

    // "directnet" until a row is picked; empty when the selection is cleared.
    const wxString& GetSelectedType() const { return m_type; }
    wxListBox* GetTypeList() const { return m_list; }

private:
    void OnSelect(wxCommandEvent& event);

    wxListBox* m_list = nullptr;
    wxString m_type;
};

#endif
