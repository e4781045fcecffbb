// Small string, date and drawing helpers shared by the console's windows.
#ifndef WIDGETKIT_FUNCTIONS_H
#define WIDGETKIT_FUNCTIONS_H

#include <widgetkit/export.h>

#include <wx/datetime.h>
#include <wx/gdicmn.h>
#include <wx/string.h>

class wxDC;
class wxWindow;

WIDGETKIT_API void wx_make_bold(wxWindow* window);

// Joins with a backslash unless dir is empty or already ends in one. This is
// a text operation (stored names use it); real paths go through wxFileName.
WIDGETKIT_API wxString wx_concat_path(const wxString& dir, const wxString& name);

WIDGETKIT_API wxString wx_escape_string(const wxString& text, wxUniChar escape, const wxString& specials);
WIDGETKIT_API wxString wx_unescape_string(const wxString& text, wxUniChar escape, const wxString& specials);

// "(C)" becomes the copyright sign.
WIDGETKIT_API wxString wx_replace_copyright(const wxString& text);

// Size of a text of that many characters and lines in the window's font; a
// negative count leaves that dimension to the sizer (-1).
WIDGETKIT_API wxSize wx_size_to_fit_text(wxWindow* window, int characters, int lines);

// Draws text line by line from (x, y); empty lines are dropped. With
// wxALIGN_CENTER_HORIZONTAL or wxALIGN_CENTER_VERTICAL in flags, each line is
// centred within the width of the widest one.
WIDGETKIT_API void wx_dc_draw_text(wxDC& dc, const wxString& text, int x, int y, int flags = 0);

// month is 0 to 11, as in wxDateTime::Month.
WIDGETKIT_API bool ux_validate_wx_date(int year, int month, int day);

// Months counted 1 to 12, in local time.
WIDGETKIT_API int wx_get_month_number(const wxDateTime& date);
WIDGETKIT_API void wx_set_month_number(wxDateTime& date, int month);

#endif
