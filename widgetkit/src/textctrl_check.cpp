#include <widgetkit/functions.h>
#include <widgetkit/textctrl_check.h>

#include <cmath>

namespace {

// The toolkit keeps milliseconds in 64 bits; years far beyond this would
// overflow its day arithmetic.
constexpr long YearLimit = 1000000;

bool CompleteLong(const wxString& text, long& value)
{
    return text.ToLong(&value, 10);
}

bool InRange(double value, const uxTextRange& range)
{
    // Written so that a NaN is never inside.
    return !range.on || (value >= range.min && value <= range.max);
}

} // namespace

bool ux_text_time_rule(long hour, long minute)
{
    if (hour >= 0 && hour <= 23)
        return minute >= 0 && minute <= 59;
    return hour == 24 && minute == 0;
}

bool ux_text_check(uxTextCtrlType type, const wxString& text, const uxTextRange& range)
{
    switch (type) {
    case uxTEXTCTRL_LONG: {
        long value = 0;
        return CompleteLong(text, value) && InRange(static_cast<double>(value), range);
    }
    case uxTEXTCTRL_DOUBLE: {
        double value = 0;
        // "nan" and "inf" parse, but are no value a caller can use.
        return text.ToDouble(&value) && std::isfinite(value) && InRange(value, range);
    }
    case uxTEXTCTRL_TIME:
        return ux_text_parse_time(text).IsValid();
    case uxTEXTCTRL_DATE:
        return ux_text_parse_date(text).IsValid();
    default:
        return true;
    }
}

wxDateTime ux_text_parse_date(const wxString& text)
{
    const int first = text.Find('-');
    if (first == wxNOT_FOUND)
        return wxInvalidDateTime;
    const wxString rest = text.Mid(first + 1);
    const int second = rest.Find('-');
    if (second == wxNOT_FOUND)
        return wxInvalidDateTime;
    long year = 0, month = 0, day = 0;
    if (!CompleteLong(text.Left(first), year) || !CompleteLong(rest.Left(second), month) ||
        !CompleteLong(rest.Mid(second + 1), day))
        return wxInvalidDateTime;
    if (year < -YearLimit || year > YearLimit || month < 1 || month > 12)
        return wxInvalidDateTime;
    if (day < 1 || day > 31 || !ux_validate_wx_date(static_cast<int>(year), static_cast<int>(month - 1), static_cast<int>(day)))
        return wxInvalidDateTime;
    return wxDateTime(static_cast<wxDateTime::wxDateTime_t>(day), static_cast<wxDateTime::Month>(month - 1),
                      static_cast<int>(year), 0, 0, 0, 0);
}

wxDateTime ux_text_parse_time(const wxString& text, const wxDateTime& now)
{
    const int colon = text.Find(':');
    if (colon == wxNOT_FOUND || !now.IsValid())
        return wxInvalidDateTime;
    long hour = 0, minute = 0;
    if (!CompleteLong(text.Left(colon), hour) || !CompleteLong(text.Mid(colon + 1), minute) ||
        !ux_text_time_rule(hour, minute))
        return wxInvalidDateTime;
    const wxDateTime::Tm tm = now.GetTm();
    if (hour == 24) {
        wxDateTime midnight(tm.mday, tm.mon, tm.year, 0, 0, tm.sec, tm.msec);
        return midnight.Add(wxDateSpan::Day());
    }
    return wxDateTime(tm.mday, tm.mon, tm.year, static_cast<wxDateTime::wxDateTime_t>(hour),
                      static_cast<wxDateTime::wxDateTime_t>(minute), tm.sec, tm.msec);
}
