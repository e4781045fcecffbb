#include "coretext.h"

#include <wx/intl.h>

#include <cstdio>

wxString FromCore(const char* text)
{
    return text ? wxString::FromUTF8(text) : wxString();
}

void FirstRefusal::Check(const wxString& label, ncerr_t result)
{
    if (ncerr_is_ok(result))
        return;
    std::fprintf(stderr, "Error: %s\n", ncerr_get_string(result));
    if (m_text.empty())
        m_text = label + wxGetTranslation(FromCore(ncerr_get_string(result)));
}
