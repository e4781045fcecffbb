// Texts that come from the server core, which speaks UTF-8.
#ifndef OPSDESK_CORETEXT_H
#define OPSDESK_CORETEXT_H

#include <plexord.h>

#include <wx/string.h>

// Empty for a null text.
wxString FromCore(const char* text);

// A core result text in the console's language. The core composes it as
// "class (plug-in: status, code N)", "class (code N)" or "class (reason)";
// the parts are translated one by one where the whole has no entry.
wxString TranslateCoreText(const wxString& text);
// The translated text of a result.
wxString ResultText(ncerr_t result);

// Collects the outcome of a run of core setters: every setter runs, and the
// first refusal is kept under its field's label (also printed as "Error: ...").
class FirstRefusal
{
public:
    void Check(const wxString& label, ncerr_t result);
    bool Any() const { return !m_text.empty(); }
    const wxString& Text() const { return m_text; }

private:
    wxString m_text;
};

#endif
