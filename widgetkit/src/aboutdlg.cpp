#include <widgetkit/aboutdlg.h>
#include <widgetkit/functions.h>

#include "intl.h"
#include "labels.h"

#include <wx/button.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/statline.h>
#include <wx/stattext.h>

wxDateTime AboutDlg::start_time = wxDateTime::Now();

namespace {

wxStaticText* AddLine(wxWindow* parent, wxSizer* column, const char* name, int flags, int border)
{
    auto* line = new wxStaticText(parent, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize, 0,
                                  wxString::FromAscii(name));
    line->Hide();
    column->Add(line, 0, flags, border);
    return line;
}

} // namespace

AboutDlg::AboutDlg(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, wxString(), wxDefaultPosition, wxSize(400, 300), wxDEFAULT_DIALOG_STYLE),
      m_timer(this)
{
    auto* panel = new wxPanel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL, "panel");
    // Dark text on the white panel whatever the desktop theme's colours.
    panel->SetBackgroundColour(*wxWHITE);
    panel->SetForegroundColour(*wxBLACK);

    auto* row = new wxBoxSizer(wxHORIZONTAL);
    m_image = new wxStaticBitmap(panel, wxID_ANY, wxNullBitmap, wxDefaultPosition, wxDefaultSize, 0, "image");
    m_image->Hide();
    row->Add(m_image, 0, wxLEFT | wxTOP | wxBOTTOM, 12);

    auto* column = new wxBoxSizer(wxVERTICAL);
    m_header = AddLine(panel, column, "header", wxBOTTOM, 12);
    m_copyright = AddLine(panel, column, "copyright", wxBOTTOM, 6);
    m_extraCopyright = AddLine(panel, column, "extra_copyright", wxBOTTOM, 6);
    m_uptime = AddLine(panel, column, "uptime", wxBOTTOM, 12);
    m_uptime->Show();
    m_buildInfoHeading = AddLine(panel, column, "build_info_heading", wxBOTTOM, 6);
    widgetkit::SetBoldLabel(m_buildInfoHeading, WK_("Build info:"));
    m_buildInfo = AddLine(panel, column, "build_info", wxBOTTOM | wxLEFT, 12);
    row->Add(column, 1, wxALL, 12);
    panel->SetSizer(row);

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->AddStretchSpacer();
    auto* close = new wxButton(this, wxID_CLOSE);
    buttons->Add(close, 0, wxALL, 12);

    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(panel, 1, wxEXPAND);
    top->Add(new wxStaticLine(this), 0, wxEXPAND);
    top->Add(buttons, 0, wxEXPAND);
    SetSizer(top);

    close->SetDefault();
    close->SetFocus();
    SetEscapeId(wxID_CLOSE);
    close->Bind(wxEVT_BUTTON, &AboutDlg::OnClose, this);
    Bind(wxEVT_TIMER, &AboutDlg::OnTimer, this);

    UpdateUptime();
    Layout();
    Centre();
    m_timer.Start(1000);
}

AboutDlg::~AboutDlg()
{
    m_timer.Stop();
}

void AboutDlg::SetHeader(const wxString& title, const wxString& subtitle)
{
    SetHeader(title + " " + subtitle);
}

void AboutDlg::SetHeader(const wxString& title)
{
    SetTitle(title);
    widgetkit::SetBoldLabel(m_header, title, 1.5);
    m_header->Show();
    Relayout();
}

void AboutDlg::SetCopyright(const wxString& text)
{
    m_copyright->SetLabelText(wx_replace_copyright(text));
    m_copyright->Show();
    Relayout();
}

void AboutDlg::SetExtraCopyright(const wxString& text)
{
    m_extraCopyright->SetLabelText(wx_replace_copyright(text));
    m_extraCopyright->Show();
    Relayout();
}

void AboutDlg::SetBuildInfo(const wxString& text)
{
    m_buildInfo->SetLabelText(text);
    m_buildInfo->Show();
    m_buildInfoHeading->Show();
    Relayout();
}

void AboutDlg::SetImage(const wxBitmap& bitmap)
{
    m_image->SetBitmap(bitmap);
    m_image->Show();
    Relayout();
}

wxString AboutDlg::FormatUptime(const wxTimeSpan& uptime)
{
    // wxTimeSpan::Format lets each unit count only what the larger units in
    // the same format leave, so "8 days" reads "1 weeks, 1 days, 00 hours".
    if (uptime.GetWeeks() > 0)
        return uptime.Format(WK_("%E weeks, %D days, %H hours"));
    if (uptime.GetDays() > 0)
        return uptime.Format(WK_("%D days, %H hours, %M minutes"));
    if (uptime.GetHours() > 0)
        return uptime.Format(WK_("%H hours, %M minutes"));
    if (uptime.GetMinutes() > 0)
        return uptime.Format(WK_("%M minutes"));
    return uptime.Format(WK_("%S seconds"));
}

void AboutDlg::UpdateUptime()
{
    m_uptime->SetLabelText(WK_("Uptime:") + " " + FormatUptime(wxDateTime::Now() - start_time));
}

void AboutDlg::Relayout()
{
    m_header->GetParent()->Layout();
    Layout();
}

void AboutDlg::OnTimer(wxTimerEvent&)
{
    UpdateUptime();
    // The text may grow a unit ("59 seconds" to "01 minutes").
    Relayout();
}

void AboutDlg::OnClose(wxCommandEvent&)
{
    // The code is kept for a dialog shown without ShowModal too.
    SetReturnCode(wxID_CLOSE);
    EndDialog(wxID_CLOSE);
}
