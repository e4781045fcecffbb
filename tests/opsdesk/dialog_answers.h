// Answers for the modal dialogs of the networks-and-devices flows: the type
// list, the network choice of "Add device", the setup dialogs filled in as
// an operator would, and a plain fixed result.
#ifndef OPSDESK_TEST_DIALOG_ANSWERS_H
#define OPSDESK_TEST_DIALOG_ANSWERS_H

#include "devicedlg.h"
#include "devicesetup.h"
#include "networksetup.h"
#include "wx_test.h"

#include <wx/choicdlg.h>
#include <wx/choice.h>
#include <wx/listbox.h>
#include <wx/spinctrl.h>
#include <wx/textctrl.h>

#include <map>
#include <string>
#include <vector>

namespace test {

inline std::vector<wxString> Rows(const wxListBox* list)
{
    std::vector<wxString> rows;
    for (unsigned int i = 0; i < list->GetCount(); ++i)
        rows.push_back(list->GetString(i));
    return rows;
}

inline std::vector<unsigned> RowIds(const wxControlWithItems* list)
{
    std::vector<unsigned> ids;
    for (unsigned int i = 0; i < list->GetCount(); ++i)
        ids.push_back(wxPtrToUInt(list->GetClientData(i)));
    return ids;
}

inline int RowOf(const wxListBox* list, const wxString& text)
{
    return list->FindString(text, true);
}

// Selects a row (or none) as a click would, with the event.
inline void PickRow(wxListBox* list, int row)
{
    list->SetSelection(row);
    wxCommandEvent event(wxEVT_LISTBOX, list->GetId());
    event.SetEventObject(list);
    event.SetInt(row);
    list->ProcessWindowEvent(event);
}

// Picks a row of the type list by its label (none: OK without a pick) and
// records what was offered.
class PickType : public wxExpectModalBase<NetworkTypeSelectionDialog, PickType>
{
public:
    PickType(int button, const wxString& label = wxString(), std::vector<wxString>* offered = nullptr,
             wxString* title = nullptr)
        : m_button(button)
        , m_label(label)
        , m_offered(offered)
        , m_title(title)
    {
    }

protected:
    int OnInvoked(NetworkTypeSelectionDialog* dialog) const override
    {
        wxListBox* list = dialog->GetTypeList();
        if (m_offered)
            *m_offered = Rows(list);
        if (m_title)
            *m_title = dialog->GetTitle();
        if (!m_label.empty()) {
            const int row = list->FindString(m_label, true);
            if (row == wxNOT_FOUND)
                throw WxTestFailure("type not offered: " + m_label);
            PickRow(list, row);
        }
        return m_button;
    }

private:
    int m_button;
    wxString m_label;
    std::vector<wxString>* m_offered;
    wxString* m_title;
};

// The network choice of "Add device": picks a row, records the offer.
class PickNetwork : public wxExpectModalBase<wxSingleChoiceDialog, PickNetwork>
{
public:
    PickNetwork(int button, int row = -1, int* preselected = nullptr, wxString* caption = nullptr)
        : m_button(button)
        , m_row(row)
        , m_preselected(preselected)
        , m_caption(caption)
    {
    }

protected:
    int OnInvoked(wxSingleChoiceDialog* dialog) const override
    {
        if (m_preselected)
            *m_preselected = dialog->GetSelection();
        if (m_caption)
            *m_caption = dialog->GetTitle();
        if (m_row >= 0)
            dialog->SetSelection(m_row);
        return m_button;
    }

private:
    int m_button;
    int m_row;
    int* m_preselected;
    wxString* m_caption;
};

// Ends a dialog of type T with a fixed result.
template <typename T>
class Answer : public wxExpectModalBase<T, Answer<T>>
{
public:
    explicit Answer(int result)
        : m_result(result)
    {
    }

protected:
    int OnInvoked(T*) const override { return m_result; }

private:
    int m_result;
};

// Types into the fields of a network setup dialog, found by their parameter
// keys (text fields take the text, spin fields the number), then applies OK
// as the button does.
template <typename Dialog>
class FillNetworkSetup : public wxExpectModalBase<Dialog, FillNetworkSetup<Dialog>>
{
public:
    explicit FillNetworkSetup(std::map<std::string, wxString> fields)
        : m_fields(std::move(fields))
    {
    }

protected:
    int OnInvoked(Dialog* dialog) const override
    {
        for (const auto& [key, value] : m_fields) {
            wxWindow* field = wxWindow::FindWindowByName(key, dialog);
            if (auto* text = dynamic_cast<wxTextCtrl*>(field))
                text->SetValue(value);
            else if (auto* spin = dynamic_cast<wxSpinCtrl*>(field))
                spin->SetValue(wxAtoi(value));
            else
                throw WxTestFailure("no text or number field " + key);
        }
        if (!dialog->ApplySettings())
            throw WxTestFailure("network settings not applied");
        return 1;
    }

private:
    std::map<std::string, wxString> m_fields;
};

// Fills in the device setup dialog as an operator would (the hardware by its
// name, empty for none) and applies OK; records the device's id.
class FillDeviceSetup : public wxExpectModalBase<DeviceSetupDlg, FillDeviceSetup>
{
public:
    FillDeviceSetup(const wxString& name, const wxString& address, const wxString& hardware,
                    unsigned short* id = nullptr)
        : m_name(name)
        , m_address(address)
        , m_hardware(hardware)
        , m_id(id)
    {
    }

protected:
    int OnInvoked(DeviceSetupDlg* dialog) const override
    {
        if (m_id)
            *m_id = dialog->GetDeviceId();
        dialog->GetNameCtrl()->SetValue(m_name);
        dialog->GetAddressCtrl()->SetValue(m_address);
        if (!m_hardware.empty() && !dialog->GetHardwareCtrl()->SetStringSelection(m_hardware))
            throw WxTestFailure("hardware type not offered: " + m_hardware);
        if (!dialog->ApplySettings())
            throw WxTestFailure("device settings not applied");
        return 1;
    }

private:
    wxString m_name;
    wxString m_address;
    wxString m_hardware;
    unsigned short* m_id;
};

} // namespace test

#endif
