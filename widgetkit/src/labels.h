// Emphasised labels of the library's own dialogs.
#ifndef WIDGETKIT_LABELS_H
#define WIDGETKIT_LABELS_H

#include <wx/string.h>

class wxStaticText;

namespace widgetkit {

// Shows text in bold, scaled from the label's normal point size. Done with
// markup rather than SetFont: GTK measures a label with a font set through
// SetFont only once its window is shown, so a dialog laid out before that
// would clip the text, while markup is measured at once.
void SetBoldLabel(wxStaticText* label, const wxString& text, double scale = 1.0);

} // namespace widgetkit

#endif
