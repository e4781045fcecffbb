// The dataview: rows that each read and write one setpoint of a device.
#ifndef OPSDESK_DATAVIEW_H
#define OPSDESK_DATAVIEW_H

#include <plexord.h>

#include <wx/dialog.h>
#include <wx/panel.h>
#include <wx/string.h>

#include <vector>

class wxButton;
class wxChoice;
class wxSizer;
class wxTextCommandEvent;
class wxTextCtrl;

// A setpoint as typed: "item" or "item:flag", split at the first colon.
struct SetpointAddress
{
    wxString item;
    wxString flag;
};

SetpointAddress SplitSetpoint(const wxString& text);

// How a row shows a value it read.
wxString FormatSetpointValue(double value);

// The text of a new value as a number; false when it is not one.
bool ParseSetpointValue(const wxString& text, double& value);

// One row: device, setpoint, current value, refresh, new value, remove.
class DataItemBar : public wxPanel
{
public:
    explicit DataItemBar(wxWindow* parent);

    // Refreshing a row reads its setpoint.
    void Refresh(bool eraseBackground = true, const wxRect* rect = nullptr) override;

    // Reads the setpoint into the current value field.
    void ReadValue();
    // Writes the new value field; a number and a device are needed.
    void WriteValue();

    // The chosen device's id, 0 when none.
    unsigned short GetDeviceId() const;
    // Selects the entry of that device; none when it is not listed.
    void SelectDevice(unsigned short id);

    wxString GetSetpoint() const;
    void SetSetpoint(const wxString& text);
    void SetNewValue(const wxString& text);

    wxTextCtrl* GetSetpointField() const { return m_setpoint; }
    wxTextCtrl* GetValueField() const { return m_value; }
    wxTextCtrl* GetNewValueField() const { return m_newValue; }
    wxChoice* GetDeviceChoice() const { return m_device; }
    wxButton* GetRemoveButton() const { return m_remove; }

private:
    void FillDevices();
    void ShowFailure(const wxString& prefix, ncerr_t result);
    void OnReadButton(wxCommandEvent& event);
    void OnSetpointEnter(wxCommandEvent& event);
    void OnNewValueEnter(wxCommandEvent& event);

    wxChoice* m_device = nullptr;
    wxTextCtrl* m_setpoint = nullptr;
    wxTextCtrl* m_value = nullptr;
    wxTextCtrl* m_newValue = nullptr;
    wxButton* m_remove = nullptr;
    // The toolkit may ask for a refresh while a read lets events run.
    bool m_reading = false;
};

class DataView : public wxDialog
{
public:
    DataView(wxWindow* parent, const wxPoint& pos, const wxSize& size);

    // Appends a row that copies the device and setpoint of the last one.
    DataItemBar* AddRow();
    void RemoveRow(DataItemBar* row);
    // Reads every row, in order.
    void RefreshAll();

    const std::vector<DataItemBar*>& GetRows() const { return m_rows; }

private:
    void RefitWindow();
    void OnAdd(wxCommandEvent& event);
    void OnRefreshAll(wxCommandEvent& event);
    void OnRemove(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);

    wxPanel* m_panel = nullptr;
    wxSizer* m_rowSizer = nullptr;
    std::vector<DataItemBar*> m_rows;
};

#endif
