#include "labels.h"

#include <wx/stattext.h>

#include <cmath>

namespace widgetkit {

namespace {

wxString EscapeMarkup(const wxString& text)
{
    wxString escaped;
    for (wxUniChar c : text) {
        switch (c.GetValue()) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'': escaped += "&apos;"; break;
        default: escaped += c; break;
        }
    }
    return escaped;
}

} // namespace

void SetBoldLabel(wxStaticText* label, const wxString& text, double scale)
{
    // Pango sizes count 1024ths of a point.
    const long size = std::lround(label->GetFont().GetFractionalPointSize() * scale * 1024);
    label->SetLabelMarkup(
        wxString::Format("<span weight=\"bold\" size=\"%ld\">%s</span>", size, EscapeMarkup(text)));
}

} // namespace widgetkit
