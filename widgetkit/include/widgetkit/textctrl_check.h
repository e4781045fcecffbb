// The value checks of uxTextCtrl, as plain functions that need no window.
#ifndef WIDGETKIT_TEXTCTRL_CHECK_H
#define WIDGETKIT_TEXTCTRL_CHECK_H

#include <widgetkit/export.h>

#include <wx/datetime.h>
#include <wx/string.h>

// Any value other than these four is plain text, which is never checked.
enum uxTextCtrlType : int
{
    uxTEXTCTRL_TEXT = 0,
    uxTEXTCTRL_LONG = 1,
    uxTEXTCTRL_DOUBLE = 2,
    uxTEXTCTRL_TIME = 3,
    uxTEXTCTRL_DATE = 4
};

// Both ends are allowed; only used when on.
struct uxTextRange
{
    bool on = false;
    double min = 0;
    double max = 0;
};

// The edit check: whether the text is a valid value of the type.
WIDGETKIT_API bool ux_text_check(uxTextCtrlType type, const wxString& text, const uxTextRange& range = {});

// "year-month-day", each a complete decimal number, naming a real day: that
// day at 00:00 local time. Invalid date-time otherwise.
WIDGETKIT_API wxDateTime ux_text_parse_date(const wxString& text);

// "hour:minute", each a complete decimal number, 0:00 to 23:59 or 24:00:
// the moment now with that hour and minute, its seconds kept (24:00 is 0:00
// of the day after now's). Invalid date-time otherwise.
WIDGETKIT_API wxDateTime ux_text_parse_time(const wxString& text, const wxDateTime& now = wxDateTime::Now());

// The time rule of the time parse.
WIDGETKIT_API bool ux_text_time_rule(long hour, long minute);

#endif
