// What assistive technologies (screen readers) learn about the console's
// windows: names, descriptions and roles through the toolkit's accessibility
// bridge, and names for the controls of every dialog from their labels.
#ifndef OPSDESK_ACCESSIBLE_H
#define OPSDESK_ACCESSIBLE_H

#include <wx/string.h>

#include <vector>

class wxWindow;

enum class AccessibleRole
{
    Heading,
    Panel
};

void SetAccessibleName(wxWindow* window, const wxString& name);
void SetAccessibleDescription(wxWindow* window, const wxString& description);
void SetAccessibleRole(wxWindow* window, AccessibleRole role);

// As assistive technologies read them: the toolkit's own name (a button's
// text) when none was set; empty when there is none.
wxString GetAccessibleName(wxWindow* window);
wxString GetAccessibleDescription(wxWindow* window);

// One window of a dialog in reading order (sizer order, then the children
// no sizer holds), as the naming rule sees it.
struct ReadingItem
{
    enum Kind { Label, Control, Other } kind;
    wxString text; // a label's text as given, mnemonics included
};

// A label's text as a name: no mnemonics, line ends or trailing colon.
wxString LabelAsName(const wxString& label);

// The name of the control at index: that of the nearest earlier label with
// a letter or digit in it, passing over other windows and marks like "=",
// but not over a control; else its tool tip; else, for the window's first
// control (a dialog's only list), the window's title. Empty when none.
wxString NameFor(const std::vector<ReadingItem>& order, size_t index, const wxString& toolTip,
                 const wxString& title);

// Names every focusable control in the window's tree that has no name yet,
// as NameFor says. The focusable parts of a compound control (a date
// picker's text field) take the control's name.
// Returns how many controls it named.
int NameControls(wxWindow* top);

// From Start to Stop, every top-level window has its controls named when it
// is shown, and again when controls are added to it while shown.
void StartNamingControls();
void StopNamingControls();

#endif
