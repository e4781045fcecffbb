#include "clockdlg.h"

#include "accessible.h"

#include <plexord.h>
#include <widgetkit/functions.h>
#include <widgetkit/sizegroup.h>

#include <wx/button.h>
#include <wx/datectrl.h>
#include <wx/intl.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <climits>
#include <cstring>

namespace {

constexpr int kNetworkWaitMs = 1000;
// Each tick falls this long after the PC's second changes.
constexpr int kTickDelayMs = 25;

const char kSetDateItem[] = "V7775";
const char kSetTimeItem[] = "V7776";

// Years since 1970 have seven bits in the packed date.
constexpr int kFirstYear = 1970;
constexpr int kLastYear = 1970 + 127;

bool FitsInt(long value)
{
    return value >= INT_MIN && value <= INT_MAX;
}

// The device and its network for one request; both null when either is gone.
struct ClockTarget
{
    network_t* network = nullptr;
    uint16_t networkId = 0;
};

ClockTarget FetchClockTarget(unsigned short deviceId)
{
    ClockTarget target;
    if (deviceId == 0)
        return target;
    device_t* device = devicemgr_fetch_device(deviceId, 0);
    if (!device)
        return target;
    target.networkId = device->network_id;
    target.network = networkmgr_fetch_network(target.networkId, kNetworkWaitMs);
    devicemgr_drop_device(device);
    return target;
}

// A text that keeps the width of its placeholder as its label changes.
wxStaticText* FixedWidthText(wxWindow* parent)
{
    auto* text = new wxStaticText(parent, wxID_ANY, "XXXXXXXXXXXXXXXX", wxDefaultPosition, wxDefaultSize,
                                  wxST_NO_AUTORESIZE);
    text->SetMinSize(text->GetBestSize());
    text->SetLabel(wxEmptyString);
    return text;
}

wxStaticText* Heading(wxWindow* parent, const wxString& label)
{
    auto* heading = new wxStaticText(parent, wxID_ANY, label);
    wx_make_bold(heading);
    // Measured again in the bold font.
    heading->SetMinSize(heading->GetTextExtent(label));
    return heading;
}

} // namespace

const std::array<const char*, 7> kClockReadItems = {"V7766", "V7767", "V7770", "V7771",
                                                     "V7772", "V7773", "V7774"};

bool NetworkTypeHasClock(const char* typeKey)
{
    return typeKey && (std::strcmp(typeKey, "directnet") == 0 || std::strcmp(typeKey, "db") == 0);
}

ClockReadOutcome DecodeDeviceClock(const std::array<long, 7>& values, wxDateTime& time)
{
    const long second = values[0], minute = values[1], hour = values[2];
    const long day = values[4], month = values[5], year = values[6];
    if (!FitsInt(year) || !FitsInt(month) || !FitsInt(day))
        return ClockReadOutcome::Invalid;
    if (!ux_validate_wx_date(static_cast<int>(year), static_cast<int>(month) - 1, static_cast<int>(day)))
        return ClockReadOutcome::Invalid;
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
        return ClockReadOutcome::Invalid;
    wxDateTime built(static_cast<wxDateTime::wxDateTime_t>(day), static_cast<wxDateTime::Month>(month - 1),
                     static_cast<int>(year), static_cast<wxDateTime::wxDateTime_t>(hour),
                     static_cast<wxDateTime::wxDateTime_t>(minute), static_cast<wxDateTime::wxDateTime_t>(second));
    if (!built.IsValid())
        return ClockReadOutcome::Invalid;
    time = built;
    return ClockReadOutcome::Success;
}

bool EncodeClockSetting(ClockWrite what, const wxDateTime& when, ClockSetting& setting)
{
    if (!when.IsValid())
        return false;
    const wxDateTime::Tm tm = when.GetTm(wxDateTime::Local);
    const long minutes = tm.hour * 60L + tm.min;
    if (what == ClockWrite::Time) {
        setting = {kSetTimeItem, "B", minutes};
        return true;
    }
    // A year the seven bits cannot hold would spill into the time of day.
    if (tm.year < kFirstYear || tm.year > kLastYear)
        return false;
    const long date = tm.mday + (static_cast<long>(tm.mon) + 1) * 32 + (tm.year - 1970L) * 512;
    if (what == ClockWrite::Date)
        setting = {kSetDateItem, "B", date};
    else
        setting = {kSetDateItem, "DB", date + minutes * 65536};
    return true;
}

// ---------------------------------------------------------------------------

ClockDialog::ClockDialog(wxWindow* parent)
    : wxDialogWithNotification(parent, wxID_ANY, _("Adjust time"), wxDefaultPosition, wxDefaultSize,
                               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER)
    , m_tick(this)
{
    GetNotification()->ShowCloseButton(true);

    auto* content = new wxBoxSizer(wxVERTICAL);

    content->Add(Heading(this, _("Local time (PC):")), 0, wxLEFT | wxRIGHT | wxTOP, 10);
    m_pcTimeText = FixedWidthText(this);
    m_pcDateText = FixedWidthText(this);
    content->Add(m_pcTimeText, 0, wxLEFT | wxRIGHT | wxTOP, 10);
    content->Add(m_pcDateText, 0, wxLEFT | wxRIGHT, 10);

    content->Add(Heading(this, _("Device time:")), 0, wxLEFT | wxRIGHT | wxTOP, 10);
    m_deviceTimeText = FixedWidthText(this);
    m_deviceDateText = FixedWidthText(this);
    content->Add(m_deviceTimeText, 0, wxLEFT | wxRIGHT | wxTOP, 10);
    content->Add(m_deviceDateText, 0, wxLEFT | wxRIGHT, 10);

    auto* setHeading = Heading(this, _("Set time on device:"));
    content->Add(setHeading, 0, wxLEFT | wxRIGHT | wxTOP, 10);

    auto* dateLabel = new wxStaticText(this, wxID_ANY, _("Date:"));
    m_datePicker = new wxDatePickerCtrl(this, wxID_ANY, wxDateTime::Today(), wxDefaultPosition, wxDefaultSize,
                                        wxDP_DEFAULT | wxDP_ALLOWNONE | wxDP_SHOWCENTURY);
    auto* applyDate = new wxButton(this, wxID_APPLY);
    applyDate->SetToolTip(_("Set this date on the device"));
    auto* dateRow = new wxBoxSizer(wxHORIZONTAL);
    dateRow->Add(dateLabel, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 5);
    dateRow->Add(m_datePicker, 1, wxALIGN_CENTER_VERTICAL | wxRIGHT, 5);
    dateRow->Add(applyDate, 0, wxALIGN_CENTER_VERTICAL);
    content->Add(dateRow, 0, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, 10);

    auto* timeLabel = new wxStaticText(this, wxID_ANY, _("Time:"));
    m_timeField = new wxTextCtrl(this, wxID_ANY, wxDateTime::Now().FormatTime());
    auto* applyTime = new wxButton(this, wxID_APPLY);
    applyTime->SetToolTip(_("Set this time on the device"));
    // Both read "Apply": their tips tell them apart.
    SetAccessibleName(applyDate, applyDate->GetToolTipText());
    SetAccessibleName(applyTime, applyTime->GetToolTipText());
    auto* timeRow = new wxBoxSizer(wxHORIZONTAL);
    timeRow->Add(timeLabel, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 5);
    timeRow->Add(m_timeField, 1, wxALIGN_CENTER_VERTICAL | wxRIGHT, 5);
    timeRow->Add(applyTime, 0, wxALIGN_CENTER_VERTICAL);
    content->AddSpacer(5);
    content->Add(timeRow, 0, wxEXPAND | wxLEFT | wxRIGHT, 10);

    auto* synchronize = new wxButton(this, wxID_ANY, _("Synchronize with PC"));
    content->Add(synchronize, 0, wxLEFT | wxRIGHT | wxTOP, 10);

    uxSizeGroup labels(uxSizeGroup::SameWidth);
    labels.Add(dateLabel);
    labels.Add(timeLabel);
    labels.Resize();

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->AddStretchSpacer();
    auto* close = new wxButton(this, wxID_CLOSE);
    buttons->Add(close);
    content->Add(buttons, 0, wxEXPAND | wxALL, 10);

    GetTopSizer()->Add(content, 1, wxEXPAND);
    GetTopSizer()->SetSizeHints(this);

    m_setGroup = {setHeading, dateLabel, m_datePicker, applyDate, timeLabel, m_timeField, applyTime, synchronize};

    applyDate->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { ApplyDate(); });
    applyTime->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { ApplyTime(); });
    synchronize->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { SynchronizeWithPC(); });
    close->Bind(wxEVT_BUTTON, &ClockDialog::OnClose, this);
    Bind(wxEVT_TIMER, &ClockDialog::OnTick, this);

    // Nothing is supported until a device is given.
    for (wxWindow* window : m_setGroup)
        window->Enable(false);
    UpdateTimeTexts();
    StartTick();
}

ClockDialog::~ClockDialog()
{
    m_tick.Stop();
}

void ClockDialog::SetDevice(unsigned short deviceId)
{
    if (deviceId == m_deviceId)
        return;
    m_deviceId = deviceId;
    m_canRead = m_canSet = false;
    if (deviceId != 0) {
        if (device_t* device = devicemgr_fetch_device(deviceId, 0)) {
            if (network_t* network = networkmgr_fetch_network(device->network_id, kNetworkWaitMs)) {
                m_canRead = m_canSet = NetworkTypeHasClock(network_get_type(network));
                networkmgr_drop_network(network);
            }
            devicemgr_drop_device(device);
        }
    }

    if (m_canRead && m_canSet)
        HideNotification();
    else
        ShowNotification(_("There is no support for setting or\nreading the time on this device!"),
                         wxART_INFORMATION);

    m_deviceTimeText->Enable(m_canRead);
    m_deviceDateText->Enable(m_canRead);
    for (wxWindow* window : m_setGroup)
        window->Enable(m_canSet);

    m_hasDeviceTime = false;
    if (m_canRead)
        ShowReadOutcome(ReadClock());
    else
        UpdateTimeTexts();
}

ClockReadOutcome ClockDialog::ReadClock()
{
    const ClockTarget target = FetchClockTarget(m_deviceId);
    if (!target.network)
        return ClockReadOutcome::Failed;

    network_reset_request(target.network);
    for (const char* item : kClockReadItems) {
        ncevent_throw_io_event(NCEVENT_READ_REQUEST, target.networkId, m_deviceId, 0, item, "", 0.0, ncerr_ok());
        network_queue_read_integer(target.network, m_deviceId, item, "");
    }
    network_flush(target.network);

    std::array<long, 7> values{};
    bool failed = false;
    for (size_t i = 0; i < kClockReadItems.size(); ++i) {
        const char* item = kClockReadItems[i];
        const ncerr_t result = network_result_integer(target.network, m_deviceId, item, "", &values[i]);
        ncevent_throw_io_event(NCEVENT_READ_RESULT, target.networkId, m_deviceId, 0, item, "",
                               static_cast<double>(values[i]), result);
        if (!ncerr_is_ok(result))
            failed = true;
    }
    network_reset_request(target.network);
    networkmgr_drop_network(target.network);

    if (failed)
        return ClockReadOutcome::Failed;
    wxDateTime time;
    const ClockReadOutcome outcome = DecodeDeviceClock(values, time);
    if (outcome == ClockReadOutcome::Success)
        m_deviceTime = time;
    return outcome;
}

void ClockDialog::ShowReadOutcome(ClockReadOutcome outcome)
{
    m_hasDeviceTime = outcome == ClockReadOutcome::Success;
    if (outcome == ClockReadOutcome::Failed)
        ShowNotification(_("Failed to read time from device"), wxART_ERROR);
    else if (outcome == ClockReadOutcome::Invalid)
        ShowNotification(_("Invalid date/time on device"), wxART_ERROR);
    UpdateTimeTexts();
}

void ClockDialog::ApplyDate()
{
    const wxDateTime date = m_datePicker->GetValue();
    if (!date.IsValid()) {
        ShowNotification(_("Invalid date"), wxART_ERROR);
        return;
    }
    WriteClock(ClockWrite::Date, date);
}

void ClockDialog::ApplyTime()
{
    wxString text = m_timeField->GetValue();
    text.Trim(true).Trim(false);
    wxDateTime time = wxDateTime::Today();
    wxString::const_iterator end;
    // Text after the time is no part of a time either.
    if (text.empty() || !time.ParseTime(text, &end) || end != text.end() || !time.IsValid()) {
        ShowNotification(_("Invalid time"), wxART_ERROR);
        return;
    }
    WriteClock(ClockWrite::Time, time);
}

void ClockDialog::SynchronizeWithPC()
{
    WriteClock(ClockWrite::DateAndTime, wxDateTime::Now());
}

void ClockDialog::WriteClock(ClockWrite what, const wxDateTime& when)
{
    if (!m_canSet)
        return;
    ClockSetting setting{};
    if (!EncodeClockSetting(what, when, setting)) {
        ShowNotification(_("Invalid date"), wxART_ERROR);
        return;
    }

    bool written = false;
    const ClockTarget target = FetchClockTarget(m_deviceId);
    if (target.network) {
        network_reset_request(target.network);
        ncevent_throw_io_event(NCEVENT_WRITE_REQUEST, target.networkId, m_deviceId, 0, setting.item, setting.flag,
                               static_cast<double>(setting.value), ncerr_ok());
        network_queue_write_integer(target.network, m_deviceId, setting.item, setting.flag, setting.value);
        network_flush(target.network);
        long value = setting.value;
        const ncerr_t result = network_result_integer(target.network, m_deviceId, setting.item, setting.flag, &value);
        network_reset_request(target.network);
        ncevent_throw_io_event(NCEVENT_WRITE_RESULT, target.networkId, m_deviceId, 0, setting.item, setting.flag,
                               static_cast<double>(value), result);
        networkmgr_drop_network(target.network);
        written = ncerr_is_ok(result);
    }

    if (written) {
        ShowReadOutcome(ReadClock());
        return;
    }
    // A device or network that has gone is a failed write too.
    switch (what) {
    case ClockWrite::DateAndTime:
        ShowNotification(_("Failed to set time and date on device"), wxART_ERROR);
        break;
    case ClockWrite::Date:
        ShowNotification(_("Failed to set date on device"), wxART_ERROR);
        break;
    case ClockWrite::Time:
        ShowNotification(_("Failed to set time on device"), wxART_ERROR);
        break;
    }
}

void ClockDialog::UpdateTimeTexts()
{
    const wxDateTime now = wxDateTime::Now();
    m_pcTimeText->SetLabel(now.Format("%H:%M:%S"));
    m_pcDateText->SetLabel(now.FormatDate());
    if (m_hasDeviceTime) {
        m_deviceTimeText->SetLabel(m_deviceTime.Format("%H:%M:%S"));
        m_deviceDateText->SetLabel(m_deviceTime.FormatDate());
    } else {
        m_deviceTimeText->SetLabel("-");
        m_deviceDateText->SetLabel(wxEmptyString);
    }
}

void ClockDialog::StartTick()
{
    m_tick.StartOnce(1000 + kTickDelayMs - wxDateTime::UNow().GetMillisecond());
}

void ClockDialog::OnTick(wxTimerEvent&)
{
    // The device time runs on from the last read; it is not read again.
    if (m_hasDeviceTime)
        m_deviceTime += wxTimeSpan::Second();
    UpdateTimeTexts();
    m_deviceTimeText->Enable(m_hasDeviceTime);
    m_deviceDateText->Enable(m_hasDeviceTime);
    StartTick();
}

void ClockDialog::OnClose(wxCommandEvent&)
{
    if (IsModal())
        EndModal(1);
    else
        Close();
}
