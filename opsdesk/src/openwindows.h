// What the operator has open on top of the main frame: modal dialogs and
// pop-up menus, each running an event loop of its own. A stop from outside
// (SIGTERM, SIGINT) ends them one by one, innermost first, before the frame
// closes, so that the shutdown runs the normal way whatever is open.
#ifndef OPSDESK_OPENWINDOWS_H
#define OPSDESK_OPENWINDOWS_H

#include <wx/modalhook.h>

#include <vector>

class wxDialog;
class wxEvent;
class wxMenu;

class OpenWindows : public wxModalDialogHook
{
public:
    // Pop-up menus are seen through the application's event filter.
    void Track(const wxEvent& event);

    // Asks the innermost open menu or dialog to close: a menu is popped
    // down, a dialog cancelled as by its Cancel button (or ended if it does
    // not go). False when nothing is open.
    bool CloseInnermost();

protected:
    int Enter(wxDialog* dialog) override;
    void Exit(wxDialog* dialog) override;

private:
    std::vector<wxDialog*> m_dialogs;
    std::vector<wxMenu*> m_menus;
};

#endif
