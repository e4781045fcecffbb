// Translations of the library's own texts come from the "widgetkit" catalogue,
// so that the console's catalogues need not carry them.
#ifndef WIDGETKIT_INTL_H
#define WIDGETKIT_INTL_H

#include <wx/translation.h>

#define WK_(s) wxGetTranslation(wxString::FromUTF8(s), wxS("widgetkit"))

#endif
