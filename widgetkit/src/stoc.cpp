#include <widgetkit/stoc.h>

#include <basekit.h>

wxStoC::wxStoC(const wxString& text)
    : m_text(ux_strdup(text.utf8_str().data()))
{
}

wxStoC::~wxStoC()
{
    ux_free_if_not_null(m_text);
}
