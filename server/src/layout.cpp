#include "layout.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <system_error>

#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

bool IsDirectory(const fs::path& path)
{
    std::error_code ec;
    return fs::is_directory(path, ec);
}

// The folder holds users and their password hashes: only its owner may read it.
bool MakeConfigFolder(const fs::path& folder, std::ostream& err)
{
    std::error_code ec;
    fs::create_directories(folder.parent_path(), ec);
    if (!ec && mkdir(folder.c_str(), 0700) != 0 && (errno != EEXIST || !IsDirectory(folder)))
        ec.assign(errno, std::generic_category());
    if (ec) {
        err << " ! Can't create configuration directory " << folder.string() << ": " << ec.message() << "\n";
        return false;
    }
    return true;
}

void Fill(std::string& folder, const fs::path& path)
{
    if (folder.empty())
        folder = path.string();
}

} // namespace

fs::path UserConfigFolder(const char* xdgConfigHome, const char* home)
{
    if (xdgConfigHome && fs::path(xdgConfigHome).is_absolute())
        return fs::path(xdgConfigHome) / "plexord";
    if (home && fs::path(home).is_absolute())
        return fs::path(home) / ".config" / "plexord";
    return {};
}

LayoutEnvironment CurrentLayoutEnvironment()
{
    LayoutEnvironment env;
    env.userConfig = UserConfigFolder(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
    env.libDir = PLEXORD_INSTALL_LIBDIR;
    env.dataDir = PLEXORD_INSTALL_DATADIR;
    env.localeDir = PLEXORD_INSTALL_LOCALEDIR;
    return env;
}

bool DetermineInstallation(const fs::path& cwd, LayoutFolders& folders, std::ostream& out, std::ostream& err,
                           const LayoutEnvironment& env)
{
    out << "Determining installation type\n";
    out << " - Current working directory: " << cwd.string() << "\n";

    if (!IsDirectory(cwd)) {
        err << " ! Current working directory is not a directory!\n";
        return false;
    }
    fs::path dir = cwd;
    // "/opt/plexord/bin/" names the same folder as "/opt/plexord/bin".
    if (!dir.has_filename() && dir.has_parent_path() && dir != dir.root_path())
        dir = dir.parent_path();
    if (dir.filename() != "bin") {
        err << " ! CWD is not 'bin'. Can't determine installation type.\n";
        return false;
    }
    out << " - CWD is 'bin'. Checking if system wide installation.\n";
    const fs::path root = dir.parent_path();

    if (IsDirectory(root / "share")) {
        out << " - System wide installaton (parent directory has a 'share' directory)\n";
        if (folders.config.empty()) {
            if (env.userConfig.empty()) {
                err << " ! Neither XDG_CONFIG_HOME nor HOME names a configuration directory\n";
                return false;
            }
            if (!MakeConfigFolder(env.userConfig, err))
                return false;
            folders.config = env.userConfig.string();
        }
        Fill(folders.data, root / env.dataDir / "plexord");
        Fill(folders.plugins, root / env.libDir / "plexord" / "plugins");
        Fill(folders.locale, root / env.localeDir);
        out << " - Configuration directory: " << folders.config << "\n";
        out << " - Data directory: " << folders.data << "\n";
        out << " - Plug-in directory: " << folders.plugins << "\n";
        out << " - Locale directory: " << folders.locale << "\n";
        return true;
    }
    if (IsDirectory(root / "images")) {
        out << " - Local installation (parent directory has an 'images' directory)\n";
        folders.config = root.string();
        folders.data = root.string();
        folders.plugins = (root / "plugins").string();
        folders.locale = (root / "locale").string();
        return true;
    }
    if (IsDirectory(root / "data")) {
        out << " - Running from build directory (parent directory has a 'data' directory)\n";
        folders.config = root.string();
        folders.data = (root / "data").string();
        folders.plugins = (root / "bin" / "plugins").string();
        folders.locale = (root / "locale").string();
        return true;
    }
    err << " ! Can't determine installation type\n";
    return false;
}
