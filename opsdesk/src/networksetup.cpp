#include "networksetup.h"

#include "coretext.h"
#include "images.h"

#include <widgetkit/stoc.h>

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/combobox.h>
#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/intl.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/statline.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

constexpr int kBaudRates[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

// Parity rows: "Odd", "None"; both code sets store them as 1 and 2.
constexpr int kParityCodes[] = {1, 2};

// Every failed answer is printed; the first one is what the operator sees.
ncerr_t Report(ncerr_t first, ncerr_t result)
{
    if (ncerr_is_ok(result))
        return first;
    std::fprintf(stderr, "Error: %s\n", ncerr_get_string(result));
    return ncerr_is_ok(first) ? result : first;
}

ncerr_t Report(ncerr_t result)
{
    return Report(ncerr_ok(), result);
}

} // namespace

const wxArrayString& SerialPortChoices()
{
    static const wxArrayString ports = [] {
        wxArrayString a;
        for (int i = 1; i <= 8; ++i)
            a.Add(wxString::Format("COM%d", i));
        return a;
    }();
    return ports;
}

const wxArrayString& BaudRateChoices()
{
    static const wxArrayString rates = [] {
        wxArrayString a;
        for (int baud : kBaudRates)
            a.Add(wxString::Format("%d", baud));
        return a;
    }();
    return rates;
}

wxArrayString ParityChoices()
{
    wxArrayString a;
    a.Add(_("Odd"));
    a.Add(_("None"));
    return a;
}

int SerialPortIndex(const char* port)
{
    if (!port)
        return -1;
    return SerialPortChoices().Index(wxString::FromUTF8(port), true);
}

int BaudRateIndex(int baud)
{
    for (size_t i = 0; i < std::size(kBaudRates); ++i)
        if (kBaudRates[i] == baud)
            return static_cast<int>(i);
    return -1;
}

int ParityIndex(SerialCodes, int code)
{
    for (size_t i = 0; i < std::size(kParityCodes); ++i)
        if (kParityCodes[i] == code)
            return static_cast<int>(i);
    return -1;
}

int ParityCode(SerialCodes, int index)
{
    if (index < 0 || index >= static_cast<int>(std::size(kParityCodes)))
        return kNoCode;
    return kParityCodes[index];
}

int StopBitsCode(SerialCodes codes)
{
    return codes == SerialCodes::Modbus ? 0 : 1;
}

int DataBitsCode(SerialCodes codes)
{
    return codes == SerialCodes::Modbus ? 1 : 8;
}

int ModeCode()
{
    return 2;
}

int StopBitsIndex(SerialCodes codes, int code)
{
    return code == StopBitsCode(codes) ? 0 : -1;
}

int DataBitsIndex(SerialCodes codes, int code)
{
    return code == DataBitsCode(codes) ? 0 : -1;
}

int ModeIndex(int code)
{
    return code == ModeCode() ? 0 : -1;
}

bool ParseDecimal(const wxString& text, int* value)
{
    const wxScopedCharBuffer utf8 = text.utf8_str();
    const char* s = utf8.data();
    if (!*s)
        return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s, &end, 10);
    // strtol skips leading blanks and takes a sign; nothing may follow.
    if (*end || errno == ERANGE || v < INT_MIN || v > INT_MAX || std::strchr(" \t\n\v\f\r", *s))
        return false;
    *value = static_cast<int>(v);
    return true;
}

bool SerialSettingsValid(SerialCodes codes, const SerialSelection& selection)
{
    int baud = 0;
    if (!ParseDecimal(selection.baud, &baud) || selection.parity < 0)
        return false;
    if (codes == SerialCodes::Modbus)
        return selection.stopBits == 0 && selection.dataBits == 0;
    return selection.stopBits >= 0 && selection.dataBits >= 0 && selection.mode >= 0;
}

const char* SuperLinkSettingsError(const wxString& flag, const wxString& timeout)
{
    int value = 0;
    if (!ParseDecimal(flag, &value))
        return wxTRANSLATE("Illegal flag");
    if (!ParseDecimal(timeout, &value))
        return wxTRANSLATE("Illegal timeout");
    return "";
}

// ---- NetworkSetupDlg -------------------------------------------------------

NetworkSetupDlg::NetworkSetupDlg(wxWindow* parent, uint16_t networkId, const wxString& title, ApplyStep apply,
                                 long style)
    : wxDialogWithNotification(parent, wxID_ANY, title, wxDefaultPosition, wxDefaultSize, style)
    , m_networkId(networkId)
    , m_apply(apply)
    , m_rows(new wxFlexGridSizer(2, wxSize(8, 6)))
    , m_column(new wxBoxSizer(wxVERTICAL))
{
    SetIcon(StatIcon());
    GetNotification()->ShowCloseButton(true);
    m_rows->AddGrowableCol(1, 1);
    m_column->Add(m_rows, wxSizerFlags().Expand().Border(wxALL, 10));
}

void NetworkSetupDlg::AddRow(const wxString& label, wxWindow* field, wxWindow* unit)
{
    m_rows->Add(new wxStaticText(this, wxID_ANY, label), wxSizerFlags().CentreVertical());
    if (!unit) {
        m_rows->Add(field, wxSizerFlags().Expand());
        return;
    }
    auto* line = new wxBoxSizer(wxHORIZONTAL);
    line->Add(field, wxSizerFlags(1).CentreVertical());
    line->Add(unit, wxSizerFlags().CentreVertical().Border(wxLEFT, 4));
    m_rows->Add(line, wxSizerFlags().Expand());
}

wxTextCtrl* NetworkSetupDlg::AddText(const wxString& label, const char* key, long style)
{
    auto* field = new wxTextCtrl(this, wxID_ANY, wxString(), wxDefaultPosition, wxSize(200, -1), style,
                                 wxDefaultValidator, key);
    AddRow(label, field);
    return field;
}

void NetworkSetupDlg::LoadPort(wxComboBox* field, const char* port)
{
    const int portIndex = SerialPortIndex(port);
    if (portIndex >= 0)
        field->SetSelection(portIndex);
    else
        field->ChangeValue(FromCore(port));
}

wxComboBox* NetworkSetupDlg::AddPortCombo(const wxString& label, const char* key)
{
    auto* field = new wxComboBox(this, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize,
                                 SerialPortChoices(), wxCB_DROPDOWN, wxDefaultValidator, key);
    AddRow(label, field);
    return field;
}

wxChoice* NetworkSetupDlg::AddChoice(const wxString& label, const char* key, const wxArrayString& choices)
{
    auto* field = new wxChoice(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, choices, 0, wxDefaultValidator, key);
    AddRow(label, field);
    return field;
}

wxSpinCtrl* NetworkSetupDlg::AddSpin(const wxString& label, const char* key, int min, int max, int initial)
{
    auto* field = new wxSpinCtrl(this, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize, wxSP_ARROW_KEYS,
                                 min, max, initial, key);
    AddRow(label, field);
    return field;
}

void NetworkSetupDlg::AddBelow(wxWindow* window)
{
    m_column->Add(window, wxSizerFlags().Border(wxLEFT | wxRIGHT | wxBOTTOM, 10));
}

void NetworkSetupDlg::Finish()
{
    m_column->AddStretchSpacer();
    m_column->Add(new wxStaticLine(this), wxSizerFlags().Expand().Border(wxLEFT | wxRIGHT, 10));
    m_column->Add(CreateStdDialogButtonSizer(wxOK | wxCANCEL), wxSizerFlags().Expand().Border(wxALL, 10));
    GetTopSizer()->Add(m_column, 1, wxEXPAND);
    GetTopSizer()->SetSizeHints(this);
    Bind(wxEVT_BUTTON, &NetworkSetupDlg::OnOk, this, wxID_OK);
    Bind(wxEVT_BUTTON, &NetworkSetupDlg::OnCancel, this, wxID_CANCEL);

    if (network_t* network = networkmgr_fetch_network(m_networkId, 1000)) {
        Load(network);
        networkmgr_drop_network(network);
    }
    Centre();
}

void NetworkSetupDlg::SetText(wxTextCtrl* field, const char* value)
{
    if (value)
        field->ChangeValue(wxString::FromUTF8(value));
}

bool NetworkSetupDlg::ApplySettings()
{
    const wxString message = Check();
    if (!message.empty()) {
        wxMessageBox(message, wxMessageBoxCaptionStr, wxOK | wxCENTRE);
        return false;
    }
    network_t* network = networkmgr_fetch_network(m_networkId, 1000);
    if (!network) {
        // Removed while the dialog was open: there is nothing to write to.
        wxMessageBox(_("The network no longer exists."), wxMessageBoxCaptionStr, wxOK | wxCENTRE);
        return false;
    }
    // Values the core accepted stay written; the operator corrects the
    // refused one and presses OK again, or cancels.
    const ncerr_t saved = Save(network);
    ncerr_t applied = ncerr_ok();
    if (ncerr_is_ok(saved)) {
        switch (m_apply) {
        case ApplyStep::Restart:
            applied = Report(network_restart(network));
            break;
        case ApplyStep::StopStart:
            applied = Report(network_stop(network));
            applied = Report(applied, network_start(network));
            break;
        case ApplyStep::None:
            break;
        }
    }
    networkmgr_drop_network(network);
    if (!ncerr_is_ok(saved)) {
        ShowRefusal(_("The network did not accept these settings:"), saved);
        return false;
    }
    if (!ncerr_is_ok(applied)) {
        ShowRefusal(_("The network could not be started with these settings:"), applied);
        return false;
    }
    HideNotification();
    return true;
}

void NetworkSetupDlg::ShowRefusal(const wxString& what, ncerr_t result)
{
    ShowNotification(what + "\n" + ResultText(result), wxART_ERROR);
}

void NetworkSetupDlg::OnOk(wxCommandEvent&)
{
    if (ApplySettings())
        EndModal(1);
}

void NetworkSetupDlg::OnCancel(wxCommandEvent&)
{
    EndModal(0);
}

// ---- DirectNET, MODBUS/RTU and MODBUS/XBee ------------------------------------

SerialSetupDlg::SerialSetupDlg(wxWindow* parent, uint16_t networkId, const wxString& title, const Layout& layout)
    : NetworkSetupDlg(parent, networkId, title, ApplyStep::Restart)
    , m_layout(layout)
{
    m_name = AddText(layout.nameLabel, "name");
    m_port = AddPortCombo(layout.portLabel, "port");
    m_baudRate = AddChoice(_("Baud rate: "), layout.baudKey, BaudRateChoices());
    m_parity = AddChoice(_("Parity: "), "parity", ParityChoices());
    m_stopBits = AddChoice(_("Stop bits: "), layout.stopBitsKey, wxArrayString(1, "1"));
    m_dataBits = AddChoice(_("Data bits: "), "databits", wxArrayString(1, "8"));
    if (layout.hasMode)
        m_mode = AddChoice(_("HEX/ASCII: "), "mode", wxArrayString(1, "ASCII"));
}

// Without a mode choice "mode" stands as a null key, which ends the
// parameter list of network_get and network_set before it.
void SerialSetupDlg::Load(network_t* network)
{
    const char* name = nullptr;
    const char* port = nullptr;
    int baud = kNoCode, parity = kNoCode, stopBits = kNoCode, dataBits = kNoCode, mode = kNoCode;
    network_get(network, "name", &name, "port", &port, m_layout.baudKey, &baud, "parity", &parity,
                m_layout.stopBitsKey, &stopBits, "databits", &dataBits, m_mode ? "mode" : nullptr, &mode,
                static_cast<char*>(nullptr));
    SetText(m_name, name);
    LoadPort(m_port, port);
    m_baudRate->SetSelection(BaudRateIndex(baud));
    m_parity->SetSelection(ParityIndex(m_layout.codes, parity));
    m_stopBits->SetSelection(StopBitsIndex(m_layout.codes, stopBits));
    m_dataBits->SetSelection(DataBitsIndex(m_layout.codes, dataBits));
    if (m_mode)
        m_mode->SetSelection(ModeIndex(mode));
}

SerialSelection SerialSetupDlg::Selection() const
{
    SerialSelection s;
    s.baud = m_baudRate->GetStringSelection();
    s.parity = m_parity->GetSelection();
    s.stopBits = m_stopBits->GetSelection();
    s.dataBits = m_dataBits->GetSelection();
    if (m_mode)
        s.mode = m_mode->GetSelection();
    return s;
}

wxString SerialSetupDlg::Check() const
{
    return SerialSettingsValid(m_layout.codes, Selection()) ? wxString() : m_layout.invalid;
}

ncerr_t SerialSetupDlg::Save(network_t* network) const
{
    const SerialSelection s = Selection();
    int baud = 0;
    ParseDecimal(s.baud, &baud);
    const SerialCodes codes = m_layout.codes;
    const wxStoC name(m_name->GetValue());
    const wxStoC port(m_port->GetValue());
    return Report(network_set(network, "name", name.cstr(), "port", port.cstr(), m_layout.baudKey, baud, "parity",
                              ParityCode(codes, s.parity), m_layout.stopBitsKey, StopBitsCode(codes), "databits",
                              DataBitsCode(codes), m_mode ? "mode" : nullptr, ModeCode(), static_cast<char*>(nullptr)));
}

DNETIoSetupDlg::DNETIoSetupDlg(wxWindow* parent, uint16_t networkId)
    : SerialSetupDlg(parent, networkId, _("DirectNET"),
                     {.codes = SerialCodes::DirectNet,
                      .nameLabel = _("Description: "),
                      .portLabel = _("Port: "),
                      .baudKey = "speed",
                      .stopBitsKey = "stopbit",
                      .hasMode = true,
                      .invalid = _("Erroneous settings")})
{
    Finish();
}

ModbusSerialSetupDialog::ModbusSerialSetupDialog(wxWindow* parent, uint16_t networkId, const wxString& title)
    : SerialSetupDlg(parent, networkId, title,
                     {.codes = SerialCodes::Modbus,
                      .nameLabel = _("Description:"),
                      .portLabel = _("Port:"),
                      .baudKey = "baudrate",
                      .stopBitsKey = "stopbits",
                      .hasMode = false,
                      .invalid = _("Illegal settings")})
{
    Finish();
}

// ---- MODBUS/TCP --------------------------------------------------------------

ModbusTcpSetupDialog::ModbusTcpSetupDialog(wxWindow* parent, uint16_t networkId)
    : NetworkSetupDlg(parent, networkId, _("MODBUS/TCP"), ApplyStep::Restart)
{
    m_name = AddText(_("Description:"), "name");
    m_address = AddText(_("Address:"), "address");
    m_port = AddSpin(_("Port:"), "port", 1, 65535, 507);
    Finish();
}

void ModbusTcpSetupDialog::Load(network_t* network)
{
    const char* name = nullptr;
    const char* address = nullptr;
    int port = kNoCode;
    network_get(network, "address", &address, "name", &name, "port", &port, static_cast<char*>(nullptr));
    SetText(m_name, name);
    SetText(m_address, address);
    if (port != kNoCode)
        m_port->SetValue(port);
}

ncerr_t ModbusTcpSetupDialog::Save(network_t* network) const
{
    const wxStoC name(m_name->GetValue());
    const wxStoC address(m_address->GetValue());
    return Report(network_set(network, "name", name.cstr(), "address", address.cstr(), "port", m_port->GetValue(),
                              static_cast<char*>(nullptr)));
}

// ---- Plexord (remote server) -------------------------------------------------

PlexorSetupDlg::PlexorSetupDlg(wxWindow* parent, uint16_t networkId)
    : NetworkSetupDlg(parent, networkId, _("Plexor network"), ApplyStep::Restart)
{
    m_name = AddText(_("Description: "), "name");
    m_address = AddText(_("Server address:"), "address");
    // A TCP port: a wider range would only let the core refuse the value.
    m_port = AddSpin(_("Server port"), "port", 1, 65535, 7878);
    m_username = AddText(_("Username:"), "username");
    m_password = AddText(_("Password:"), "password", wxTE_PASSWORD);
    Finish();
}

void PlexorSetupDlg::Load(network_t* network)
{
    const char* name = nullptr;
    const char* address = nullptr;
    const char* password = nullptr;
    const char* username = nullptr;
    int port = kNoCode;
    network_get(network, "name", &name, "address", &address, "password", &password, "username", &username, "port",
                &port, static_cast<char*>(nullptr));
    SetText(m_name, name);
    SetText(m_address, address);
    SetText(m_password, password);
    SetText(m_username, username);
    if (port != kNoCode)
        m_port->SetValue(port);
}

ncerr_t PlexorSetupDlg::Save(network_t* network) const
{
    const wxStoC name(m_name->GetValue());
    const wxStoC address(m_address->GetValue());
    const wxStoC password(m_password->GetValue());
    const wxStoC username(m_username->GetValue());
    return Report(network_set(network, "name", name.cstr(), "address", address.cstr(), "password", password.cstr(),
                              "port", m_port->GetValue(), "username", username.cstr(), static_cast<char*>(nullptr)));
}

// ---- ARCNET/DGT --------------------------------------------------------------

ArcnetDgtSetupDialog::ArcnetDgtSetupDialog(wxWindow* parent, uint16_t networkId)
    : NetworkSetupDlg(parent, networkId, _("ARCNET/DGT"), ApplyStep::Restart)
{
    m_name = AddText(_("Description:"), "name");
    m_device = AddText(_("Device:"), "device");
    Finish();
}

void ArcnetDgtSetupDialog::Load(network_t* network)
{
    const char* name = nullptr;
    const char* device = nullptr;
    network_get(network, "device", &device, "name", &name, static_cast<char*>(nullptr));
    SetText(m_name, name);
    SetText(m_device, device);
}

ncerr_t ArcnetDgtSetupDialog::Save(network_t* network) const
{
    const wxStoC name(m_name->GetValue());
    const wxStoC device(m_device->GetValue());
    return Report(network_set(network, "name", name.cstr(), "device", device.cstr(), static_cast<char*>(nullptr)));
}

// ---- TXIF ----------------------------------------------------------------------

TXIFSetupDialog::TXIFSetupDialog(wxWindow* parent, uint16_t networkId)
    : NetworkSetupDlg(parent, networkId, _("TXIF"), ApplyStep::None)
{
    m_name = AddText(_("Description:"), "name");
    m_timeout = AddText(_("Timeout:"), "timeout");
    Finish();
}

void TXIFSetupDialog::Load(network_t* network)
{
    const char* name = nullptr;
    int timeout = kNoCode;
    network_get(network, "name", &name, static_cast<char*>(nullptr));
    network_get(network, "timeout", &timeout, static_cast<char*>(nullptr));
    SetText(m_name, name);
    if (timeout != kNoCode)
        m_timeout->ChangeValue(wxString::Format("%d", timeout));
}

ncerr_t TXIFSetupDialog::Save(network_t* network) const
{
    const wxStoC name(m_name->GetValue());
    ncerr_t result = Report(network_set(network, "name", name.cstr(), static_cast<char*>(nullptr)));
    // An unreadable timeout keeps the stored one.
    int timeout = 0;
    if (ParseDecimal(m_timeout->GetValue(), &timeout))
        result = Report(result, network_set(network, "timeout", timeout, static_cast<char*>(nullptr)));
    return result;
}

// ---- SuperLink -------------------------------------------------------------------

SLComSetupDlg::SLComSetupDlg(wxWindow* parent, uint16_t networkId)
    : NetworkSetupDlg(parent, networkId, _("SuperLink"), ApplyStep::Restart, wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX)
{
    m_name = AddText(_("Name:"), "name");
    m_path = AddText(_("Path:"), "path");
    m_flag = AddText(_("Flag:"), "flag");
    m_timeout = new wxTextCtrl(this, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize, 0, wxDefaultValidator,
                               "timeout");
    AddRow(_("Timeout:"), m_timeout, new wxStaticText(this, wxID_ANY, _("s")));
    Finish();
}

void SLComSetupDlg::Load(network_t* network)
{
    const char* name = nullptr;
    const char* path = nullptr;
    int flag = kNoCode, timeout = kNoCode;
    network_get(network, "name", &name, "path", &path, "flag", &flag, "timeout", &timeout,
                static_cast<char*>(nullptr));
    SetText(m_name, name);
    SetText(m_path, path);
    if (flag != kNoCode)
        m_flag->ChangeValue(wxString::Format("%d", flag));
    if (timeout != kNoCode)
        m_timeout->ChangeValue(wxString::Format("%d", timeout));
}

wxString SLComSetupDlg::Check() const
{
    const char* error = SuperLinkSettingsError(m_flag->GetValue(), m_timeout->GetValue());
    return *error ? wxGetTranslation(error) : wxString();
}

ncerr_t SLComSetupDlg::Save(network_t* network) const
{
    int flag = 0, timeout = 0;
    ParseDecimal(m_flag->GetValue(), &flag);
    ParseDecimal(m_timeout->GetValue(), &timeout);
    const wxStoC name(m_name->GetValue());
    const wxStoC path(m_path->GetValue());
    return Report(network_set(network, "name", name.cstr(), "path", path.cstr(), "flag", flag, "timeout", timeout,
                              static_cast<char*>(nullptr)));
}

// ---- LCT-1 -----------------------------------------------------------------------

LCT1ComSetupDlg::LCT1ComSetupDlg(wxWindow* parent, uint16_t networkId)
    : NetworkSetupDlg(parent, networkId, _("LCT-1"), ApplyStep::StopStart)
{
    m_name = AddText(_("Description: "), "name");
    m_port = AddPortCombo(_("Port: "), "port");
    Finish();
}

void LCT1ComSetupDlg::Load(network_t* network)
{
    SetText(m_name, network_get_name(network));
    const char* port = nullptr;
    network_get(network, "port", &port, static_cast<char*>(nullptr));
    LoadPort(m_port, port);
}

ncerr_t LCT1ComSetupDlg::Save(network_t* network) const
{
    const wxStoC name(m_name->GetValue());
    const wxStoC port(m_port->GetValue());
    return Report(network_set(network, "name", name.cstr(), "port", port.cstr(), static_cast<char*>(nullptr)));
}

// ---- DGT serial --------------------------------------------------------------------

DgtSerialSetupDlg::DgtSerialSetupDlg(wxWindow* parent, uint16_t networkId)
    : NetworkSetupDlg(parent, networkId, _("DGT serial"), ApplyStep::StopStart)
{
    m_name = AddText(_("Description:"), "name");
    m_port = AddPortCombo(_("Port:"), "port");
    m_syncClock = new wxCheckBox(this, wxID_ANY, _("Enable clock synchronization"), wxDefaultPosition,
                                 wxDefaultSize, 0, wxDefaultValidator, "enable_sync_clock");
    m_co2 = new wxCheckBox(this, wxID_ANY, _("Enable CO2 scanning"), wxDefaultPosition, wxDefaultSize, 0,
                           wxDefaultValidator, "enable_co2");
    m_co2OneOff = new wxCheckBox(this, wxID_ANY, _("CO2 one-off error workaround"), wxDefaultPosition, wxDefaultSize,
                                 0, wxDefaultValidator, "co2_one_off_error");
    AddBelow(m_syncClock);
    AddBelow(m_co2);
    AddBelow(m_co2OneOff);
    Finish();
}

void DgtSerialSetupDlg::Load(network_t* network)
{
    const char* name = nullptr;
    const char* port = nullptr;
    int co2 = kNoCode, co2OneOff = kNoCode, syncClock = kNoCode;
    network_get(network, "name", &name, "port", &port, "enable_co2", &co2, "co2_one_off_error", &co2OneOff,
                "enable_sync_clock", &syncClock, static_cast<char*>(nullptr));
    SetText(m_name, name);
    LoadPort(m_port, port);
    m_syncClock->SetValue(syncClock == 1);
    m_co2->SetValue(co2 == 1);
    m_co2OneOff->SetValue(co2OneOff == 1);
}

ncerr_t DgtSerialSetupDlg::Save(network_t* network) const
{
    const wxStoC name(m_name->GetValue());
    const wxStoC port(m_port->GetValue());
    ncerr_t result =
        Report(network_set(network, "name", name.cstr(), "port", port.cstr(), static_cast<char*>(nullptr)));
    result =
        Report(result, network_set(network, "enable_co2", m_co2->GetValue() ? 1 : 0, static_cast<char*>(nullptr)));
    result = Report(result, network_set(network, "co2_one_off_error", m_co2OneOff->GetValue() ? 1 : 0,
                                        static_cast<char*>(nullptr)));
    return Report(result, network_set(network, "enable_sync_clock", m_syncClock->GetValue() ? 1 : 0,
                                      static_cast<char*>(nullptr)));
}

// ---- Database ------------------------------------------------------------------------

DBComSetupDlg::DBComSetupDlg(wxWindow* parent, uint16_t networkId)
    : NetworkSetupDlg(parent, networkId, _("Database"), ApplyStep::StopStart)
{
    m_name = AddText(_("Description:"), "name");
    m_filename = new wxTextCtrl(this, wxID_ANY, wxString(), wxDefaultPosition, wxSize(200, -1), 0,
                                wxDefaultValidator, "filename");
    auto* browse = new wxButton(this, wxID_ANY, "...", wxDefaultPosition, wxDefaultSize, wxBU_EXACTFIT,
                                wxDefaultValidator, "browse");
    browse->SetToolTip(_("Browse for the database file"));
    browse->Bind(wxEVT_BUTTON, &DBComSetupDlg::OnBrowse, this);
    AddRow(_("Filename:"), m_filename, browse);
    m_delay = AddSpin(_("Delay:"), "delay", 0, 60000, 0);
    Finish();
}

void DBComSetupDlg::Load(network_t* network)
{
    const char* filename = nullptr;
    int delay = kNoCode;
    network_get(network, "filename", &filename, "delay", &delay, static_cast<char*>(nullptr));
    SetText(m_name, network_get_name(network));
    SetText(m_filename, filename);
    if (delay != kNoCode)
        m_delay->SetValue(delay);
}

ncerr_t DBComSetupDlg::Save(network_t* network) const
{
    const wxStoC name(m_name->GetValue());
    const wxStoC filename(m_filename->GetValue());
    return Report(network_set(network, "name", name.cstr(), "filename", filename.cstr(), "delay",
                              m_delay->GetValue(), static_cast<char*>(nullptr)));
}

void DBComSetupDlg::OnBrowse(wxCommandEvent&)
{
    wxFileDialog dialog(this, _("Filename"), wxFileName(m_filename->GetValue()).GetPath(), wxString(), "*.ini|*.*",
                        wxFD_OPEN);
    if (dialog.ShowModal() == wxID_OK)
        m_filename->ChangeValue(dialog.GetPath());
}
