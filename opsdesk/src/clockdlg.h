// The device clock dialog: the PC's clock beside a device's, and setting the
// device's date, time or both from the PC.
#ifndef OPSDESK_CLOCKDLG_H
#define OPSDESK_CLOCKDLG_H

#include <widgetkit/notification.h>

#include <wx/datetime.h>
#include <wx/timer.h>

#include <array>
#include <vector>

class wxButton;
class wxDatePickerCtrl;
class wxStaticText;
class wxTextCtrl;

// Whether devices on a network of that type keep the controller clock on
// the clock setpoints.
bool NetworkTypeHasClock(const char* typeKey);

// The setpoints the clock is read from, in reading order: seconds, minutes,
// hours, (unused), day, month, year.
extern const std::array<const char*, 7> kClockReadItems;

enum class ClockReadOutcome { Success, Failed, Invalid };

// The device time from the seven values read, in kClockReadItems order.
ClockReadOutcome DecodeDeviceClock(const std::array<long, 7>& values, wxDateTime& time);

enum class ClockWrite { DateAndTime, Date, Time };

// One integer written to set the clock.
struct ClockSetting
{
    const char* item;
    const char* flag;
    long value;
};

// The setting for the date, time or both of when (in local time); false
// when the date is outside what the packed value can hold (1970 to 2097).
bool EncodeClockSetting(ClockWrite what, const wxDateTime& when, ClockSetting& setting);

class ClockDialog : public wxDialogWithNotification
{
public:
    explicit ClockDialog(wxWindow* parent);
    ~ClockDialog() override;

    // Decides what the device supports and reads its clock; nothing happens
    // when the id is the current one.
    void SetDevice(unsigned short deviceId);
    unsigned short GetDevice() const { return m_deviceId; }

    bool CanReadClock() const { return m_canRead; }
    bool CanSetClock() const { return m_canSet; }
    bool HasDeviceTime() const { return m_hasDeviceTime; }
    const wxDateTime& GetDeviceTime() const { return m_deviceTime; }

    // The three ways of setting the clock, as their buttons do.
    void ApplyDate();
    void ApplyTime();
    void SynchronizeWithPC();

    wxDatePickerCtrl* GetDatePicker() const { return m_datePicker; }
    wxTextCtrl* GetTimeField() const { return m_timeField; }
    wxStaticText* GetDeviceTimeText() const { return m_deviceTimeText; }
    wxStaticText* GetDeviceDateText() const { return m_deviceDateText; }
    const std::vector<wxWindow*>& GetSetGroup() const { return m_setGroup; }

private:
    ClockReadOutcome ReadClock();
    void ShowReadOutcome(ClockReadOutcome outcome);
    void WriteClock(ClockWrite what, const wxDateTime& when);
    void UpdateTimeTexts();
    void StartTick();
    void OnTick(wxTimerEvent& event);
    void OnClose(wxCommandEvent& event);

    unsigned short m_deviceId = 0;
    bool m_canRead = false;
    bool m_canSet = false;
    wxDateTime m_deviceTime;
    bool m_hasDeviceTime = false;
    wxTimer m_tick;

    wxStaticText* m_pcTimeText = nullptr;
    wxStaticText* m_pcDateText = nullptr;
    wxStaticText* m_deviceTimeText = nullptr;
    wxStaticText* m_deviceDateText = nullptr;
    wxDatePickerCtrl* m_datePicker = nullptr;
    wxTextCtrl* m_timeField = nullptr;
    std::vector<wxWindow*> m_setGroup;
};

#endif
