#include <widgetkit/functions.h>

#include <wx/dc.h>
#include <wx/font.h>
#include <wx/tokenzr.h>
#include <wx/window.h>

#include <algorithm>
#include <vector>

void wx_make_bold(wxWindow* window)
{
    if (!window)
        return;
    wxFont font = window->GetFont();
    font.SetNumericWeight(wxFONTWEIGHT_BOLD);
    window->SetFont(font);
}

wxString wx_concat_path(const wxString& dir, const wxString& name)
{
    if (dir.empty() || dir.EndsWith("\\"))
        return dir + name;
    return dir + "\\" + name;
}

wxString wx_escape_string(const wxString& text, wxUniChar escape, const wxString& specials)
{
    const wxString e(escape);
    wxString result = text;
    result.Replace(e, e + e);
    for (wxUniChar c : specials)
        result.Replace(wxString(c), e + c);
    return result;
}

wxString wx_unescape_string(const wxString& text, wxUniChar escape, const wxString& specials)
{
    const wxString e(escape);
    wxString result = text;
    result.Replace(e + e, e);
    for (wxUniChar c : specials)
        result.Replace(e + c, wxString(c));
    return result;
}

wxString wx_replace_copyright(const wxString& text)
{
    wxString result = text;
    result.Replace("(C)", wxString(wxUniChar(0x00A9)));
    return result;
}

wxSize wx_size_to_fit_text(wxWindow* window, int characters, int lines)
{
    if (!window)
        return wxSize(-1, -1);
    int width = 0;
    int height = 0;
    // At least one character, so that the line height is that of a real line.
    window->GetTextExtent(wxString('X', std::max(characters, 1)), &width, &height);
    return wxSize(characters < 0 ? -1 : (characters == 0 ? 0 : width), lines < 0 ? -1 : lines * height);
}

void wx_dc_draw_text(wxDC& dc, const wxString& text, int x, int y, int flags)
{
    std::vector<wxString> lines;
    wxStringTokenizer tokens(text, "\n", wxTOKEN_STRTOK);
    while (tokens.HasMoreTokens())
        lines.push_back(tokens.GetNextToken());
    if (lines.empty())
        return;

    const int lineHeight = dc.GetTextExtent(lines.front()).y;
    const bool centred = (flags & (wxALIGN_CENTER_HORIZONTAL | wxALIGN_CENTER_VERTICAL)) != 0;
    int widest = 0;
    if (centred) {
        for (const wxString& line : lines)
            widest = std::max(widest, dc.GetTextExtent(line).x);
    }

    int lineY = y;
    for (const wxString& line : lines) {
        int lineX = x;
        if (centred)
            lineX += (widest - dc.GetTextExtent(line).x) / 2;
        dc.DrawText(line, lineX, lineY);
        lineY += lineHeight;
    }
}

bool ux_validate_wx_date(int year, int month, int day)
{
    if (year == wxDateTime::Inv_Year)
        return false;
    if (month < wxDateTime::Jan || month > wxDateTime::Dec)
        return false;
    return day >= 1 && day <= wxDateTime::GetNumberOfDays(static_cast<wxDateTime::Month>(month), year);
}

int wx_get_month_number(const wxDateTime& date)
{
    return static_cast<int>(date.GetMonth(wxDateTime::Local)) + 1;
}

void wx_set_month_number(wxDateTime& date, int month)
{
    wxCHECK_RET(month >= 1 && month <= 12, "month out of range 1 to 12");
    date.SetMonth(static_cast<wxDateTime::Month>(month - 1));
}
