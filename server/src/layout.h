// The installation layout, decided without wx so that the console and the
// headless server follow one rule.
#ifndef PLEXORD_LAYOUT_H
#define PLEXORD_LAYOUT_H

#include <filesystem>
#include <iosfwd>
#include <string>

struct LayoutFolders
{
    std::string config;
    std::string data;
    std::string plugins;
    std::string locale;
};

// What the system-wide branch needs besides the working directory.
struct LayoutEnvironment
{
    // The user's configuration folder for the system-wide installation;
    // empty when the environment names none.
    std::filesystem::path userConfig;
    // Where an installed tree keeps its parts, relative to its root.
    std::filesystem::path libDir = "lib";
    std::filesystem::path dataDir = "share";
    std::filesystem::path localeDir = "share/locale";
};

// $XDG_CONFIG_HOME/plexord, else $HOME/.config/plexord. A relative or empty
// value does not count, as the base directory rules say.
std::filesystem::path UserConfigFolder(const char* xdgConfigHome, const char* home);

// This process's environment and the install folders this build was made for.
LayoutEnvironment CurrentLayoutEnvironment();

// Decides the folders from cwd, which must be the "bin" folder of an
// installed tree, a local installation or the build tree. Progress goes to
// out, failures to err. The local and build layouts replace the folders
// already in folders; an installed tree fills only the empty ones, so that
// folders given on the command line win, and creates the user's
// configuration folder. False when the layout cannot be told.
bool DetermineInstallation(const std::filesystem::path& cwd, LayoutFolders& folders, std::ostream& out,
                           std::ostream& err, const LayoutEnvironment& env = CurrentLayoutEnvironment());

#endif
