#include "coretext.h"

#include <wx/intl.h>
#include <wx/translation.h>

#include <cstdio>

wxString FromCore(const char* text)
{
    return text ? wxString::FromUTF8(text) : wxString();
}

namespace {

// The translation, or null when the catalogues have none.
const wxString* Lookup(const wxString& text)
{
    wxTranslations* translations = wxTranslations::Get();
    return translations ? translations->GetTranslatedString(text) : nullptr;
}

wxString Translated(const wxString& text)
{
    const wxString* found = Lookup(text);
    return found ? *found : text;
}

bool IsNumber(const wxString& text)
{
    long n = 0;
    return !text.empty() && text.ToLong(&n);
}

// "code N", or "class" and "Error N" as the core writes an unknown class.
wxString TranslateCode(const wxString& text, const wxString& word)
{
    const wxString prefix = word + " ";
    if (text.StartsWith(prefix) && IsNumber(text.Mid(prefix.length())))
        return Translated(word) + " " + text.Mid(prefix.length());
    return wxString();
}

} // namespace

wxString TranslateCoreText(const wxString& text)
{
    if (const wxString* whole = Lookup(text))
        return *whole;
    const size_t open = text.find(" (");
    if (open == wxString::npos || !text.EndsWith(")")) {
        const wxString error = TranslateCode(text, wxTRANSLATE("Error"));
        return error.empty() ? text : error;
    }
    wxString head = text.substr(0, open);
    const wxString error = TranslateCode(head, wxTRANSLATE("Error"));
    head = error.empty() ? Translated(head) : error;
    wxString inner = text.substr(open + 2, text.length() - open - 3);

    const wxString code = TranslateCode(inner, wxTRANSLATE("code"));
    const size_t colon = inner.find(": ");
    const size_t comma = inner.rfind(", code ");
    if (!code.empty()) {
        inner = code;
    } else if (colon != wxString::npos && comma != wxString::npos && colon < comma) {
        const wxString number = TranslateCode(inner.Mid(comma + 2), wxTRANSLATE("code"));
        if (!number.empty())
            inner = inner.substr(0, colon + 2) + Translated(inner.substr(colon + 2, comma - colon - 2)) + ", " + number;
    }
    // A system error's reason is already in the C library's language.
    return head + " (" + inner + ")";
}

wxString ResultText(ncerr_t result)
{
    return TranslateCoreText(FromCore(ncerr_get_string(result)));
}

void FirstRefusal::Check(const wxString& label, ncerr_t result)
{
    if (ncerr_is_ok(result))
        return;
    std::fprintf(stderr, "Error: %s\n", ncerr_get_string(result));
    if (m_text.empty())
        m_text = label + ResultText(result);
}
