// Start-up decisions that need no window: the installation layout, the
// command line, the translation catalogues and the saved frame geometry.
#ifndef OPSDESK_STARTUP_H
#define OPSDESK_STARTUP_H

#include "layout.h"

#include <wx/gdicmn.h>
#include <wx/string.h>

#include <filesystem>
#include <iosfwd>
#include <vector>

class wxLocale;
class wxSingleInstanceChecker;

struct Folders
{
    wxString config;
    wxString data;
    wxString plugins;
    wxString locale;
};

struct CommandLineResult
{
    bool console = false;    // "--console" was given and a console was opened
    bool debugLevel = false; // "--debug-level" was given
};

// Scans the arguments after the program name. "--debug-level" sets the field
// bus library's level and prints it on out; "--data-path" and "--plugin-path"
// fill folders; "--console" opens the console. Anything else is ignored.
CommandLineResult ParseCommandLine(const std::vector<wxString>& args, Folders& folders, std::ostream& out);

// The shared layout rule on the console's folders.
bool DetermineInstallation(const std::filesystem::path& cwd, Folders& folders, std::ostream& out,
                           std::ostream& err, const LayoutEnvironment& env = CurrentLayoutEnvironment());

// Loads the Swedish catalogues "widgetkit", "libplexord" and "opsdesk" from
// localeDir. The system's Swedish locale is used when it exists; without it
// the catalogues are still loaded. Returns how many catalogues were found.
int LoadTranslations(const wxString& localeDir, wxLocale& locale, std::ostream& err);

// One console per operating-system user.
wxString SingleInstanceName();

// Claims the single-instance name; when another console of the user runs,
// tells the operator and answers false.
bool ClaimSingleInstance(wxSingleInstanceChecker& checker, const wxString& name);

// The main frame's geometry as kept in "gui.ini"; -1 means unset.
struct FrameGeometry
{
    int left = -1;
    int top = -1;
    int width = -1;
    int height = -1;
    bool maximized = false;

    bool operator==(const FrameGeometry&) const = default;
};

// Missing or unreadable files give the defaults.
FrameGeometry ReadGeometry(const wxString& path);
// Keeps the file's other sections. False when it cannot be saved.
bool WriteGeometry(const wxString& path, const FrameGeometry& geometry);

// Moves the frame so that it fits on a screen of that size, with at least
// 3 pixels above it for the desktop's own bar.
void KeepOnScreen(FrameGeometry& geometry, const wxSize& screen);

// Copies the frame's normal position and size; a maximised or minimised
// frame keeps the last normal values so that they can be restored.
void TrackGeometry(FrameGeometry& geometry, const wxRect& rect, bool maximized, bool iconized);

#endif
