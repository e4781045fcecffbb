// wxStoC: a NUL-terminated UTF-8 copy of a toolkit string for C interfaces.
#ifndef WIDGETKIT_STOC_H
#define WIDGETKIT_STOC_H

#include <widgetkit/export.h>

#include <wx/string.h>

class WIDGETKIT_API wxStoC
{
public:
    explicit wxStoC(const wxString& text);
    ~wxStoC();

    // One owner per copy: a copied wxStoC would free the text twice.
    wxStoC(const wxStoC&) = delete;
    wxStoC& operator=(const wxStoC&) = delete;

    const char* cstr() const { return m_text; }

private:
    char* m_text;
};

#endif
