// The setup dialogs of the network types: each shows the parameters the core
// holds for one network and on OK writes them back and applies them.
#ifndef OPSDESK_NETWORKSETUP_H
#define OPSDESK_NETWORKSETUP_H

#include <plexord.h>
#include <widgetkit/notification.h>

#include <wx/arrstr.h>

#include <climits>
#include <cstdint>

class wxCheckBox;
class wxChoice;
class wxComboBox;
class wxFlexGridSizer;
class wxSpinCtrl;
class wxTextCtrl;

// ---- value codes and checks, free of windows ---------------------------

// The two code sets for serial line settings: MODBUS serial types and
// DirectNET store the same choices under different numbers.
enum class SerialCodes
{
    Modbus,
    DirectNet
};

// Left in a variable when network_get does not know the key.
constexpr int kNoCode = INT_MIN;

const wxArrayString& SerialPortChoices(); // "COM1" .. "COM8"
const wxArrayString& BaudRateChoices();   // "300" .. "115200"
wxArrayString ParityChoices();            // translated "Odd", "None"

// Row of a stored value in its drop-down, or -1 when it is not listed.
int SerialPortIndex(const char* port);
int BaudRateIndex(int baud);
int ParityIndex(SerialCodes codes, int code);
int StopBitsIndex(SerialCodes codes, int code);
int DataBitsIndex(SerialCodes codes, int code);
int ModeIndex(int code); // DirectNET HEX/ASCII

// The code stored for a drop-down row; kNoCode when the row has none.
int ParityCode(SerialCodes codes, int index);
int StopBitsCode(SerialCodes codes);
int DataBitsCode(SerialCodes codes);
int ModeCode();

// True when the whole text is a decimal int (an optional sign, digits).
bool ParseDecimal(const wxString& text, int* value);

// What the operator picked in a serial dialog; -1 is no selection.
struct SerialSelection
{
    wxString baud;
    int parity = -1;
    int stopBits = -1;
    int dataBits = -1;
    int mode = -1; // DirectNET only
};

bool SerialSettingsValid(SerialCodes codes, const SerialSelection& selection);

// SuperLink: an empty text when flag and timeout read as numbers, else the
// (untranslated) message for the first that does not.
const char* SuperLinkSettingsError(const wxString& flag, const wxString& timeout);

// ---- the dialogs ----------------------------------------------------------

// What a network needs after its parameters changed.
enum class ApplyStep
{
    Restart,
    StopStart,
    None
};

// The common frame of the setup dialogs: the label-and-field column, the
// OK and Cancel buttons, and fetch-set-drop around loading and saving.
// ShowModal gives 1 when OK applied the settings, 0 for Cancel.
class NetworkSetupDlg : public wxDialogWithNotification
{
public:
    uint16_t GetNetworkId() const { return m_networkId; }

    // What OK does before the dialog closes: true when the settings were
    // written and applied, false when the dialog has to stay open. When the
    // core refuses a value or cannot start the network, its text shows in
    // the dialog's notification; the values it accepted stay written.
    bool ApplySettings();

protected:
    NetworkSetupDlg(wxWindow* parent, uint16_t networkId, const wxString& title, ApplyStep apply,
                    long style = wxDEFAULT_DIALOG_STYLE);

    // Each field is named by its parameter key, which tests look it up by.
    wxTextCtrl* AddText(const wxString& label, const char* key, long style = 0);
    // An editable list of COM1 to COM8: a port by any other name (ttyUSB0) is
    // typed in, and a stored one that is not listed stays in the field.
    wxComboBox* AddPortCombo(const wxString& label, const char* key);
    static void LoadPort(wxComboBox* field, const char* port);
    wxChoice* AddChoice(const wxString& label, const char* key, const wxArrayString& choices);
    wxSpinCtrl* AddSpin(const wxString& label, const char* key, int min, int max, int initial);
    void AddRow(const wxString& label, wxWindow* field, wxWindow* unit = nullptr);
    void AddBelow(wxWindow* window);
    // Lays the dialog out and loads the network; called last by each
    // subclass constructor.
    void Finish();

    // Reads the network into the controls; the network is held fetched.
    virtual void Load(network_t* network) = 0;
    // The translated message when the controls do not make valid settings,
    // else an empty text.
    virtual wxString Check() const { return wxString(); }
    // Writes the controls to the network, which is held fetched; gives the
    // first failure of the core, after every value has been offered.
    virtual ncerr_t Save(network_t* network) const = 0;

    static void SetText(wxTextCtrl* field, const char* value);

private:
    // The core's text for the failure, under what went wrong.
    void ShowRefusal(const wxString& what, ncerr_t result);
    void OnOk(wxCommandEvent& event);
    void OnCancel(wxCommandEvent& event);

    uint16_t m_networkId;
    ApplyStep m_apply;
    wxFlexGridSizer* m_rows;
    wxBoxSizer* m_column;
};

// The serial line types: a description, a port that can be picked or
// typed, and the line settings. They store the same settings under keys and
// codes of their own, which the layout names.
class SerialSetupDlg : public NetworkSetupDlg
{
protected:
    struct Layout
    {
        SerialCodes codes;
        wxString nameLabel;
        wxString portLabel;
        const char* baudKey;
        const char* stopBitsKey;
        bool hasMode;      // DirectNET's HEX/ASCII choice
        wxString invalid;  // the message when the settings do not check
    };

    SerialSetupDlg(wxWindow* parent, uint16_t networkId, const wxString& title, const Layout& layout);

    void Load(network_t* network) override;
    wxString Check() const override;
    ncerr_t Save(network_t* network) const override;

private:
    SerialSelection Selection() const;

    Layout m_layout;
    wxTextCtrl* m_name;
    wxComboBox* m_port;
    wxChoice* m_baudRate;
    wxChoice* m_parity;
    wxChoice* m_stopBits;
    wxChoice* m_dataBits;
    wxChoice* m_mode = nullptr;
};

class DNETIoSetupDlg : public SerialSetupDlg
{
public:
    DNETIoSetupDlg(wxWindow* parent, uint16_t networkId);
};

// MODBUS/RTU and MODBUS/XBee: the same keys, titled by the creator.
class ModbusSerialSetupDialog : public SerialSetupDlg
{
public:
    ModbusSerialSetupDialog(wxWindow* parent, uint16_t networkId, const wxString& title);
};

class ModbusTcpSetupDialog : public NetworkSetupDlg
{
public:
    ModbusTcpSetupDialog(wxWindow* parent, uint16_t networkId);

protected:
    void Load(network_t* network) override;
    ncerr_t Save(network_t* network) const override;

private:
    wxTextCtrl* m_name;
    wxTextCtrl* m_address;
    wxSpinCtrl* m_port;
};

class PlexorSetupDlg : public NetworkSetupDlg
{
public:
    PlexorSetupDlg(wxWindow* parent, uint16_t networkId);

protected:
    void Load(network_t* network) override;
    ncerr_t Save(network_t* network) const override;

private:
    wxTextCtrl* m_name;
    wxTextCtrl* m_address;
    wxSpinCtrl* m_port;
    wxTextCtrl* m_username;
    wxTextCtrl* m_password;
};

class ArcnetDgtSetupDialog : public NetworkSetupDlg
{
public:
    ArcnetDgtSetupDialog(wxWindow* parent, uint16_t networkId);

protected:
    void Load(network_t* network) override;
    ncerr_t Save(network_t* network) const override;

private:
    wxTextCtrl* m_name;
    wxTextCtrl* m_device;
};

class TXIFSetupDialog : public NetworkSetupDlg
{
public:
    TXIFSetupDialog(wxWindow* parent, uint16_t networkId);

protected:
    void Load(network_t* network) override;
    ncerr_t Save(network_t* network) const override;

private:
    wxTextCtrl* m_name;
    wxTextCtrl* m_timeout;
};

class SLComSetupDlg : public NetworkSetupDlg
{
public:
    SLComSetupDlg(wxWindow* parent, uint16_t networkId);

protected:
    void Load(network_t* network) override;
    wxString Check() const override;
    ncerr_t Save(network_t* network) const override;

private:
    wxTextCtrl* m_name;
    wxTextCtrl* m_path;
    wxTextCtrl* m_flag;
    wxTextCtrl* m_timeout;
};

class LCT1ComSetupDlg : public NetworkSetupDlg
{
public:
    LCT1ComSetupDlg(wxWindow* parent, uint16_t networkId);

protected:
    void Load(network_t* network) override;
    ncerr_t Save(network_t* network) const override;

private:
    wxTextCtrl* m_name;
    wxComboBox* m_port;
};

class DgtSerialSetupDlg : public NetworkSetupDlg
{
public:
    DgtSerialSetupDlg(wxWindow* parent, uint16_t networkId);

protected:
    void Load(network_t* network) override;
    ncerr_t Save(network_t* network) const override;

private:
    wxTextCtrl* m_name;
    wxComboBox* m_port;
    wxCheckBox* m_syncClock;
    wxCheckBox* m_co2;
    wxCheckBox* m_co2OneOff;
};

class DBComSetupDlg : public NetworkSetupDlg
{
public:
    DBComSetupDlg(wxWindow* parent, uint16_t networkId);

protected:
    void Load(network_t* network) override;
    ncerr_t Save(network_t* network) const override;

private:
    void OnBrowse(wxCommandEvent& event);

    wxTextCtrl* m_name;
    wxTextCtrl* m_filename;
    wxSpinCtrl* m_delay;
};

#endif
