#include <widgetkit/textctrl.h>

#include <cmath>

uxTextCtrl::uxTextCtrl(wxWindow* parent, wxWindowID id, const wxString& value, const wxPoint& pos, const wxSize& size,
                       uxTextCtrlType type, long style, const wxValidator& validator, const wxString& name)
    : wxTextCtrl(parent, id, value, pos, size, style, validator, name),
      m_normalColour(*wxWHITE),
      m_invalidColour(255, 255, 0, 255),
      m_type(type),
      m_reference(value)
{
    Bind(wxEVT_SET_FOCUS, &uxTextCtrl::OnSetFocus, this);
    Bind(wxEVT_KILL_FOCUS, &uxTextCtrl::OnKillFocus, this);
    Bind(wxEVT_TEXT, &uxTextCtrl::OnText, this);
}

void uxTextCtrl::OnSetFocus(wxFocusEvent& event)
{
    wxCommandEvent notice(wxEVT_COMMAND_SET_FOCUS, GetId());
    notice.SetEventObject(this);
    ProcessWindowEvent(notice);
    event.Skip();
}

void uxTextCtrl::OnKillFocus(wxFocusEvent& event)
{
    wxCommandEvent notice(wxEVT_COMMAND_KILL_FOCUS, GetId());
    notice.SetEventObject(this);
    ProcessWindowEvent(notice);
    event.Skip();
}

void uxTextCtrl::OnText(wxCommandEvent& event)
{
    SetValid(ux_text_check(m_type, GetValue(), m_range));
    event.Skip();
}

void uxTextCtrl::SetValid(bool valid)
{
    // The colour always follows the flag, also when a Set operation decides
    // the flag against the edit check, so that a valid value never stays
    // yellow.
    if (valid == m_valid)
        return;
    m_valid = valid;
    SetBackgroundColour(valid ? m_normalColour : m_invalidColour);
    Refresh();
}

void uxTextCtrl::PutText(const wxString& text)
{
    m_reference = text;
    SetValue(text);
}

bool uxTextCtrl::IsAltered() const
{
    return GetValue() != m_reference;
}

void uxTextCtrl::SetRange(double min, double max)
{
    m_range.on = true;
    m_range.min = min;
    m_range.max = max;
}

wxString uxTextCtrl::GetText() const
{
    return GetValue();
}

void uxTextCtrl::SetText(const wxString& text)
{
    PutText(text);
}

long uxTextCtrl::GetLong() const
{
    long value = 0;
    return GetValue().ToLong(&value, 10) ? value : 0;
}

void uxTextCtrl::SetLong(long value)
{
    PutText(wxString::Format("%ld", value));
}

double uxTextCtrl::GetDouble() const
{
    double value = 0;
    return GetValue().ToDouble(&value) && std::isfinite(value) ? value : 0;
}

void uxTextCtrl::SetDouble(double value)
{
    PutText(wxString::Format("%g", value));
}

void uxTextCtrl::SetDate(int year, int month, int day)
{
    const wxString text = wxString::Format("%04d-%02d-%02d", year, month, day);
    PutText(text);
    SetValid(ux_text_parse_date(text).IsValid());
}

void uxTextCtrl::SetTime(int hour, int minute)
{
    PutText(wxString::Format("%02d:%02d", hour, minute));
    SetValid(ux_text_time_rule(hour, minute));
}

void uxTextCtrl::SetDateTime(const wxDateTime& dateTime)
{
    if (!dateTime.IsValid()) {
        SetNoValue();
        return;
    }
    PutText(dateTime.Format(m_type == uxTEXTCTRL_DATE ? "%Y-%m-%d" : "%H:%M", wxDateTime::Local));
    SetValid(true);
}

wxDateTime uxTextCtrl::GetDateTime() const
{
    return m_type == uxTEXTCTRL_TIME ? ux_text_parse_time(GetValue()) : ux_text_parse_date(GetValue());
}

void uxTextCtrl::SetNoValue()
{
    PutText(wxS("####"));
    SetValid(false);
}
