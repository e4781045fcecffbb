// Shared by the GUI test programs: failures of the toolkit's assertions and
// of wxTEST_DIALOG expectations become test failures instead of message boxes
// (an unexpected modal dialog would otherwise wait for a click for ever).
#ifndef PLEXORD_WX_TEST_H
#define PLEXORD_WX_TEST_H

#include <wx/testing.h>

#include <stdexcept>
#include <string>

class WxTestFailure : public std::runtime_error
{
public:
    explicit WxTestFailure(const wxString& what)
        : std::runtime_error(std::string(what.utf8_str().data()))
    {
    }
};

class PlexordTestingModalHook : public wxTestingModalHook
{
public:
    using wxTestingModalHook::wxTestingModalHook;

protected:
    void ReportFailure(const wxString& message) override { throw WxTestFailure(message); }
};

#undef wxTEST_DIALOG_HOOK_CLASS
#define wxTEST_DIALOG_HOOK_CLASS PlexordTestingModalHook

// Runs the pending events (layout, idle handlers, CallAfter) of the test's
// windows.
void WxTestYield();

class wxDialog;
// Shows the dialog modally and clicks its button with the id once the modal
// loop runs; gives what ShowModal returned (wxID_ABORT when the click did not
// end the dialog within 5 s).
int WxTestShowModalClicking(wxDialog& dialog, int buttonId);

#endif
