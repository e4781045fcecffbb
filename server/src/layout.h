// The installation layout, decided as the console decides it, without wx.
#ifndef PLEXORD_SERVER_LAYOUT_H
#define PLEXORD_SERVER_LAYOUT_H

#include <filesystem>
#include <iosfwd>
#include <string>

struct Folders
{
    std::string config;
    std::string data;
    std::string plugins;
};

// Decides the folders from dir, which must be the "bin" folder of a local
// installation or of the build tree. Progress goes to out, failures to err.
// The local and build layouts replace the data and plug-in folders already
// in folders; the system-wide one keeps them and sets no configuration
// folder. False when the layout cannot be told.
bool DetermineInstallation(const std::filesystem::path& dir, Folders& folders, std::ostream& out,
                           std::ostream& err);

#endif
