#include "layout.h"

#include <ostream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

bool IsDirectory(const fs::path& path)
{
    std::error_code ec;
    return fs::is_directory(path, ec);
}

} // namespace

bool DetermineInstallation(const fs::path& cwd, Folders& folders, std::ostream& out, std::ostream& err)
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
        err << " ! Not supported!\n";
        return true;
    }
    if (IsDirectory(root / "images")) {
        out << " - Local installation (parent directory has an 'images' directory)\n";
        folders.config = root.string();
        folders.data = root.string();
        folders.plugins = (root / "plugins").string();
        return true;
    }
    if (IsDirectory(root / "data")) {
        out << " - Running from build directory (parent directory has a 'data' directory)\n";
        folders.config = root.string();
        folders.data = (root / "data").string();
        folders.plugins = (root / "bin" / "plugins").string();
        return true;
    }
    err << " ! Can't determine installation type\n";
    return false;
}
