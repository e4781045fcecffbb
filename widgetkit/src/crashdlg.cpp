#include <widgetkit/crashdlg.h>

#include "intl.h"
#include "labels.h"

#include <wx/button.h>
#include <wx/dcmemory.h>
#include <wx/debugrpt.h>
#include <wx/filename.h>
#include <wx/graphics.h>
#include <wx/html/htmlwin.h>
#include <wx/panel.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/statline.h>
#include <wx/stattext.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr int kPictureSize = 150;
constexpr int kWrapWidth = 400;

// A cracked gear with a warning sign over it, drawn here so that the library
// carries its picture without image files.
wxBitmap DrawCrashPicture()
{
    wxImage image(kPictureSize, kPictureSize);
    image.InitAlpha();
    std::memset(image.GetAlpha(), 0, static_cast<size_t>(kPictureSize) * kPictureSize);
    wxBitmap bitmap(image, 32);

    wxMemoryDC dc(bitmap);
    std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(dc));
    if (!gc)
        return bitmap;
    gc->SetAntialiasMode(wxANTIALIAS_DEFAULT);

    const double cx = 64;
    const double cy = 62;
    const double outer = 52;
    const double inner = 40;
    const int teeth = 9;
    const double step = 2 * M_PI / teeth;
    wxGraphicsPath gear = gc->CreatePath();
    bool first = true;
    for (int i = 0; i < teeth; ++i) {
        const double a = i * step;
        const double points[][2] = {
            {inner, a}, {outer, a + step * 0.12}, {outer, a + step * 0.42}, {inner, a + step * 0.54}};
        for (const auto& p : points) {
            const double x = cx + p[0] * std::cos(p[1]);
            const double y = cy + p[0] * std::sin(p[1]);
            if (first)
                gear.MoveToPoint(x, y);
            else
                gear.AddLineToPoint(x, y);
            first = false;
        }
        gear.AddArc(cx, cy, inner, a + step * 0.54, a + step, true);
    }
    gear.CloseSubpath();
    gear.AddCircle(cx, cy, 15);
    gc->SetBrush(gc->CreateLinearGradientBrush(cx - outer, cy - outer, cx + outer, cy + outer,
                                               wxColour(0xB8, 0xBE, 0xC6), wxColour(0x5A, 0x62, 0x6E)));
    gc->SetPen(wxPen(wxColour(0x3C, 0x42, 0x4A), 2));
    gc->DrawPath(gear, wxODDEVEN_RULE);

    // The crack: cleared to transparent, so the gear reads as broken on any background.
    wxGraphicsPath crack = gc->CreatePath();
    crack.MoveToPoint(cx + 4, cy - outer - 4);
    crack.AddLineToPoint(cx - 6, cy - 22);
    crack.AddLineToPoint(cx + 6, cy - 4);
    crack.AddLineToPoint(cx - 8, cy + 16);
    crack.AddLineToPoint(cx + 2, cy + outer + 4);
    crack.AddLineToPoint(cx - 4, cy + outer + 4);
    crack.AddLineToPoint(cx - 15, cy + 16);
    crack.AddLineToPoint(cx - 1, cy - 4);
    crack.AddLineToPoint(cx - 13, cy - 22);
    crack.AddLineToPoint(cx - 3, cy - outer - 4);
    crack.CloseSubpath();
    gc->SetCompositionMode(wxCOMPOSITION_CLEAR);
    gc->FillPath(crack);
    gc->SetCompositionMode(wxCOMPOSITION_OVER);

    wxGraphicsPath sign = gc->CreatePath();
    sign.MoveToPoint(110, 76);
    sign.AddLineToPoint(145, 140);
    sign.AddLineToPoint(75, 140);
    sign.CloseSubpath();
    wxPen outline(wxColour(0x8A, 0x5A, 0x00), 7);
    outline.SetJoin(wxJOIN_ROUND);
    gc->SetPen(outline);
    gc->SetBrush(wxBrush(wxColour(0x8A, 0x5A, 0x00)));
    gc->DrawPath(sign);
    wxPen fill(wxColour(0xFF, 0xC1, 0x07), 3);
    fill.SetJoin(wxJOIN_ROUND);
    gc->SetPen(fill);
    gc->SetBrush(wxBrush(wxColour(0xFF, 0xC1, 0x07)));
    gc->DrawPath(sign);

    gc->SetPen(*wxTRANSPARENT_PEN);
    gc->SetBrush(wxBrush(wxColour(0x26, 0x26, 0x26)));
    gc->DrawRoundedRectangle(106.5, 96, 7, 25, 3.5);
    gc->DrawEllipse(106, 126, 8, 8);

    gc.reset();
    dc.SelectObject(wxNullBitmap);
    return bitmap;
}

// Rich text for the dialog's marked-up messages; sized to its contents, at
// most wrapWidth wide when that is given.
class MarkupText : public wxHtmlWindow
{
public:
    MarkupText(wxWindow* parent, const wxString& name)
        : wxHtmlWindow(parent, wxID_ANY, wxDefaultPosition, wxSize(kWrapWidth, -1),
                       wxHW_SCROLLBAR_NEVER | wxHW_NO_SELECTION | wxBORDER_NONE, name)
    {
        SetBorders(0);
        const wxFont font = parent->GetFont();
        SetStandardFonts(font.GetPointSize(), font.GetFaceName());
        SetBackgroundColour(parent->GetBackgroundColour());
    }

    void SetMarkup(const wxString& text, int wrapWidth)
    {
        SetPage("<html><body>" + wx_crash_markup_to_html(text) + "</body></html>");
        wxHtmlContainerCell* cell = GetInternalRepresentation();
        int width = wrapWidth;
        if (width <= 0) {
            cell->Layout(32000);
            width = cell->GetMaxTotalWidth();
        }
        cell->Layout(width);
        const wxSize size(width, cell->GetHeight());
        SetMinSize(size);
        SetSize(size);
    }
};

} // namespace

wxString wx_crash_markup_to_html(const wxString& text)
{
    wxString html;
    bool bold = false;
    bool mono = false;
    for (size_t i = 0; i < text.length();) {
        if (text.compare(i, 3, "<b>") == 0) {
            html += bold ? "</b>" : "<b>";
            bold = !bold;
            i += 3;
            continue;
        }
        if (text.compare(i, 4, "</b>") == 0) {
            if (bold)
                html += "</b>";
            bold = false;
            i += 4;
            continue;
        }
        if (text.compare(i, 4, "<tt>") == 0) {
            if (!mono)
                html += "<tt>";
            mono = true;
            i += 4;
            continue;
        }
        if (text.compare(i, 5, "</tt>") == 0) {
            if (mono)
                html += "</tt>";
            mono = false;
            i += 5;
            continue;
        }
        const wxUniChar c = text[i++];
        switch (c.GetValue()) {
        case '&': html += "&amp;"; break;
        case '<': html += "&lt;"; break;
        case '>': html += "&gt;"; break;
        case '"': html += "&quot;"; break;
        case '\n': html += "<br>"; break;
        // File names keep their spaces as they are.
        case ' ': html += mono ? "&nbsp;" : " "; break;
        default: html += c; break;
        }
    }
    if (mono)
        html += "</tt>";
    if (bold)
        html += "</b>";
    return html;
}

CrashReportDialog::CrashReportDialog(const wxString& appName, const wxString& address)
    : wxDialog(nullptr, wxID_ANY, WK_("Crash report"), wxDefaultPosition, wxDefaultSize, wxDEFAULT_DIALOG_STYLE),
      m_appName(appName),
      m_address(address)
{
    auto* panel = new wxPanel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL, "panel");
    panel->SetBackgroundColour(*wxWHITE);
    panel->SetForegroundColour(*wxBLACK);

    auto* row = new wxBoxSizer(wxHORIZONTAL);
    auto* picture = new wxStaticBitmap(panel, wxID_ANY, DrawCrashPicture(), wxDefaultPosition,
                                       wxSize(kPictureSize, kPictureSize), 0, "picture");
    row->Add(picture, 0, wxALL | wxALIGN_CENTER_VERTICAL, 24);

    auto* column = new wxBoxSizer(wxVERTICAL);
    auto* heading = new wxStaticText(panel, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize, 0, "heading");
    widgetkit::SetBoldLabel(heading, wxString::Format(WK_("%s has crashed!"), appName), 1.2);
    column->Add(heading);

    auto* message = new MarkupText(panel, "message");
    message->SetMarkup(wxString::Format(
                           WK_("We are sorry to inform you that %s has experienced an unexpected problem that "
                               "caused the application to crash.\n\nHowever, you now have an opportunity to help "
                               "us solve the problem and prevent it from happening again. You can do this by "
                               "sending us some data about the crash.\n\nPlease send an email to %s%s%s and "
                               "attach the following file(s):\n"),
                           appName, "<b>", address, "<b>"),
                       kWrapWidth);
    column->Add(message, 0, wxTOP, 12);

    m_files = new MarkupText(panel, "files");
    m_files->Hide();
    column->Add(m_files);

    auto* remove = new wxStaticText(panel, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize, 0, "remove");
    remove->SetLabelText(WK_("After you've sent them to us you can safely remove them."));
    column->Add(remove, 0, wxBOTTOM, 12);
    auto* thanks = new wxStaticText(panel, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize, 0, "thanks");
    widgetkit::SetBoldLabel(thanks, WK_("Thank you for your participation!"));
    column->Add(thanks, 0, wxBOTTOM, 12);

    row->Add(column, 1, wxTOP | wxRIGHT | wxBOTTOM, 24);
    panel->SetSizer(row);

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    auto* debug = new wxButton(this, wxID_ANY, WK_("Debug"));
    debug->SetName("debug");
    auto* close = new wxButton(this, wxID_CLOSE);
    buttons->Add(debug);
    buttons->AddSpacer(6);
    buttons->Add(close);

    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(panel, 1, wxEXPAND);
    top->Add(new wxStaticLine(this), 0, wxEXPAND);
    top->Add(buttons, 0, wxALIGN_RIGHT | wxALL, 12);
    SetSizerAndFit(top);

    close->SetDefault();
    close->SetFocus();
    SetEscapeId(wxID_CLOSE);
    close->Bind(wxEVT_BUTTON, &CrashReportDialog::OnClose, this);
    debug->Bind(wxEVT_BUTTON, &CrashReportDialog::OnDebug, this);
    Centre();
}

void CrashReportDialog::SetDebugReport(wxDebugReport& report)
{
    m_fileList.clear();
    const size_t count = report.GetFilesCount();
    for (size_t i = 0; i < count; ++i) {
        wxString name;
        wxString description;
        report.GetFile(i, &name, &description);
        m_fileList += "<tt>" + wxFileName(report.GetDirectory(), name).GetFullPath() + "</tt>\n";
    }
    if (count > 0) {
        static_cast<MarkupText*>(m_files)->SetMarkup(m_fileList, 0);
        m_files->Show();
    }
    Layout();
    Fit();
    Centre();
}

void CrashReportDialog::OnClose(wxCommandEvent&)
{
    // The code is kept for a dialog shown without ShowModal too.
    SetReturnCode(wxID_CLOSE);
    EndDialog(wxID_CLOSE);
}

void CrashReportDialog::OnDebug(wxCommandEvent&)
{
    // Abnormal end on purpose: a debugger attached to the process takes over.
    std::abort();
}
