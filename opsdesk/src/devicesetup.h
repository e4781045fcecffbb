// The device setup dialog: name, address, hardware type, documentation and
// cache policy of one device of the core.
#ifndef OPSDESK_DEVICESETUP_H
#define OPSDESK_DEVICESETUP_H

#include <widgetkit/notification.h>

#include <cstdint>

class wxButton;
class wxCheckBox;
class wxChoice;
class wxCommandEvent;
class wxStaticText;
class wxTextCtrl;

// Devices are named in 7-bit ASCII only: no byte of the name's multibyte
// form may have its top bit set.
bool IsValidDeviceName(const wxString& name);

// The maximum cache age the text gives in seconds; the fallback when the
// text is not a decimal integer.
int64_t ReadMaxCacheAge(const wxString& text, int64_t fallback);

class DeviceSetupDlg : public wxDialogWithNotification
{
public:
    // Ends with 1 after OK has applied the settings, 0 after Cancel.
    DeviceSetupDlg(wxWindow* parent, unsigned short deviceId);

    // Also refuses a name that is not 7-bit ASCII.
    bool Validate() override;

    unsigned short GetDeviceId() const { return m_id; }
    wxTextCtrl* GetNameCtrl() const { return m_name; }
    wxTextCtrl* GetAddressCtrl() const { return m_address; }
    wxChoice* GetHardwareCtrl() const { return m_hardware; }
    wxTextCtrl* GetDocumentationCtrl() const { return m_documentation; }
    wxCheckBox* GetCacheCtrl() const { return m_cache; }
    wxTextCtrl* GetMaxAgeCtrl() const { return m_maxAge; }
    wxStaticText* GetMaxAgeLabel() const { return m_maxAgeLabel; }
    wxStaticText* GetMaxAgeUnit() const { return m_maxAgeUnit; }

    // The "..." button: picks the documentation file.
    void BrowseDocumentation();
    // What OK does before ending with 1: validates, then writes the
    // settings to the core. False when the dialog has to stay open; a value
    // the core refused is named in the notification with the core's text,
    // and the values it accepted stay written.
    bool ApplySettings();

private:
    void Load();
    void EnableMaxAge(bool enable);
    void OnCacheToggled(wxCommandEvent& event);
    void OnBrowse(wxCommandEvent& event);
    void OnOK(wxCommandEvent& event);
    void OnCancel(wxCommandEvent& event);

    unsigned short m_id;
    wxTextCtrl* m_name = nullptr;
    wxTextCtrl* m_address = nullptr;
    wxChoice* m_hardware = nullptr;
    wxTextCtrl* m_documentation = nullptr;
    wxButton* m_browse = nullptr;
    wxCheckBox* m_cache = nullptr;
    wxStaticText* m_maxAgeLabel = nullptr;
    wxTextCtrl* m_maxAge = nullptr;
    wxStaticText* m_maxAgeUnit = nullptr;
};

#endif
