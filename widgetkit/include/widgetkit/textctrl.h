// uxTextCtrl: a text control that knows the kind of value it holds, checks
// every edit and shows an invalid entry on a yellow background.
#ifndef WIDGETKIT_TEXTCTRL_H
#define WIDGETKIT_TEXTCTRL_H

#include <widgetkit/export.h>
#include <widgetkit/textctrl_check.h>

#include <wx/colour.h>
#include <wx/datetime.h>
#include <wx/textctrl.h>

class WIDGETKIT_API uxTextCtrl : public wxTextCtrl
{
public:
    uxTextCtrl(wxWindow* parent, wxWindowID id, const wxString& value = wxEmptyString,
               const wxPoint& pos = wxDefaultPosition, const wxSize& size = wxDefaultSize,
               uxTextCtrlType type = uxTEXTCTRL_TEXT, long style = 0, const wxValidator& validator = wxDefaultValidator,
               const wxString& name = wxTextCtrlNameStr);

    // True until an edit check or a Set operation finds otherwise.
    bool IsValid() const { return m_valid; }
    // The text differs, case included, from the one last put in by the
    // constructor or a Set operation.
    bool IsAltered() const;

    void SetRange(double min, double max);

    wxString GetText() const;
    // Leaves the valid flag to the edit check.
    void SetText(const wxString& text);

    // 0 when the text is not a number.
    long GetLong() const;
    void SetLong(long value);
    // In the current locale's notation; 0 when the text is not a number.
    double GetDouble() const;
    void SetDouble(double value);

    void SetDate(int year, int month, int day);
    void SetTime(int hour, int minute);
    // A date for a date control, else the time of day, both local. An invalid
    // date-time gives the no-value text.
    void SetDateTime(const wxDateTime& dateTime);
    // The time parse for a time control, else the date parse; invalid when
    // the text does not parse.
    wxDateTime GetDateTime() const;

    // Shows "####" and marks the value invalid.
    void SetNoValue();

    uxTextCtrlType GetType() const { return m_type; }

protected:
    // Tell the parents as command events, which travel up the window tree.
    void OnSetFocus(wxFocusEvent& event);
    void OnKillFocus(wxFocusEvent& event);
    void OnText(wxCommandEvent& event);

private:
    // Reference text, control text (which runs the edit check), then the
    // valid flag the operation decided, with its colour.
    void PutText(const wxString& text);
    void SetValid(bool valid);

    wxColour m_normalColour;
    wxColour m_invalidColour;
    uxTextCtrlType m_type;
    bool m_valid = true;
    wxString m_reference;
    uxTextRange m_range;
};

#endif
