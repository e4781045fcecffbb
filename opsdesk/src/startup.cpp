#include "startup.h"

#include <buslink.h>
#include <widgetkit/console.h>
#include <widgetkit/inifile.h>

#include <wx/intl.h>
#include <wx/log.h>
#include <wx/msgdlg.h>
#include <wx/snglinst.h>
#include <wx/translation.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char kSection[] = "opsdesk";

bool ParseDecimal(const wxString& text, int& value)
{
    const std::string s = text.ToStdString();
    const char* first = s.data();
    const char* last = s.data() + s.size();
    if (first != last && *first == '+')
        ++first;
    auto [end, ec] = std::from_chars(first, last, value);
    return ec == std::errc() && end == last && first != last;
}

// A value outside the int range counts as unset.
int ReadInt(const wxIniFile& ini, const char* key)
{
    const long value = ini.ReadLong(kSection, key, -1);
    return value < INT_MIN || value > INT_MAX ? -1 : static_cast<int>(value);
}

} // namespace

CommandLineResult ParseCommandLine(const std::vector<wxString>& args, Folders& folders, std::ostream& out)
{
    CommandLineResult result;
    for (size_t i = 0; i < args.size(); ++i) {
        const wxString& arg = args[i];
        if (arg == "--debug-level") {
            // A missing or non-numeric value means the most verbose level,
            // and the argument after the option is left for the scan.
            int level = 10;
            if (i + 1 < args.size() && ParseDecimal(args[i + 1], level))
                ++i;
            else
                level = 10;
            buslink_set_debug_level(level);
            out << "Debug level: " << buslink_get_debug_level() << "\n";
            result.debugLevel = true;
        } else if (arg == "--plugin-path") {
            if (i + 1 < args.size())
                folders.plugins = args[++i];
        } else if (arg == "--data-path") {
            if (i + 1 < args.size())
                folders.data = args[++i];
        } else if (arg == "--console") {
            if (ux_console_create()) {
                ux_console_set_color(1, 2);
                result.console = true;
            }
        }
    }
    return result;
}

bool DetermineInstallation(const fs::path& cwd, Folders& folders, std::ostream& out, std::ostream& err,
                           const LayoutEnvironment& env)
{
    LayoutFolders paths{folders.config.utf8_string(), folders.data.utf8_string(), folders.plugins.utf8_string(),
                        folders.locale.utf8_string()};
    if (!DetermineInstallation(cwd, paths, out, err, env))
        return false;
    folders.config = wxString::FromUTF8(paths.config);
    folders.data = wxString::FromUTF8(paths.data);
    folders.plugins = wxString::FromUTF8(paths.plugins);
    folders.locale = wxString::FromUTF8(paths.locale);
    return true;
}

int LoadTranslations(const wxString& localeDir, wxLocale& locale, std::ostream& err)
{
    wxFileTranslationsLoader::AddCatalogLookupPathPrefix(localeDir);
    if (wxLocale::IsAvailable(wxLANGUAGE_SWEDISH)) {
        wxLogNull quiet;
        locale.Init(wxLANGUAGE_SWEDISH, wxLOCALE_LOAD_DEFAULT);
    }
    // Without the system's Swedish locale the catalogues still work, only
    // numbers and dates keep the system's format.
    // GTK's own texts (stock buttons, message boxes, file dialogs) come from
    // gettext, which takes LANGUAGE over the user's language, but only under a
    // locale other than "C". Called before the core's threads exist.
    const char* messages = std::setlocale(LC_MESSAGES, nullptr);
    if (!messages || !std::strcmp(messages, "C") || !std::strcmp(messages, "POSIX"))
        std::setlocale(LC_MESSAGES, "C.UTF-8");
    setenv("LANGUAGE", "sv", 1);
    wxTranslations* translations = wxTranslations::Get();
    if (!translations) {
        translations = new wxTranslations;
        wxTranslations::Set(translations);
    }
    translations->SetLanguage(wxLANGUAGE_SWEDISH);
    {
        wxLogNull quiet;
        translations->AddStdCatalog();
    }

    int loaded = 0;
    for (const char* catalogue : {"widgetkit", "libplexord", "opsdesk"}) {
        bool ok = false;
        {
            wxLogNull quiet;
            ok = translations->AddCatalog(catalogue);
        }
        if (ok)
            ++loaded;
        else
            err << " ! Failed to open translation for " << catalogue << "\n";
    }
    return loaded;
}

wxString SingleInstanceName()
{
    return wxString::Format("plexor-%lu", static_cast<unsigned long>(getuid()));
}

bool ClaimSingleInstance(wxSingleInstanceChecker& checker, const wxString& name)
{
    bool another = false;
    {
        wxLogNull quiet;
        checker.Create(name);
        another = checker.IsAnotherRunning();
    }
    if (another) {
        wxMessageBox(_("Another instance of Plexor is running."), wxMessageBoxCaptionStr, wxOK);
        return false;
    }
    return true;
}

FrameGeometry ReadGeometry(const wxString& path)
{
    FrameGeometry geometry;
    wxIniFile ini;
    if (!ini.Open(path))
        return geometry;
    geometry.left = ReadInt(ini, "MainFrmLeft");
    geometry.top = ReadInt(ini, "MainFrmTop");
    // No frame is 0 or less wide or high: such a size counts as unset, so
    // that the frame gets its default size instead.
    geometry.width = ReadInt(ini, "MainFrmWidth");
    if (geometry.width <= 0)
        geometry.width = -1;
    geometry.height = ReadInt(ini, "MainFrmHeight");
    if (geometry.height <= 0)
        geometry.height = -1;
    geometry.maximized = ini.ReadLong(kSection, "MainFrmMaximized", 0) > 0;
    return geometry;
}

bool WriteGeometry(const wxString& path, const FrameGeometry& geometry)
{
    wxIniFile ini;
    ini.Open(path);
    ini.WriteLong(kSection, "MainFrmLeft", geometry.left);
    ini.WriteLong(kSection, "MainFrmTop", geometry.top);
    ini.WriteLong(kSection, "MainFrmWidth", geometry.width);
    ini.WriteLong(kSection, "MainFrmHeight", geometry.height);
    ini.WriteLong(kSection, "MainFrmMaximized", geometry.maximized ? 1 : 0);
    return ini.Save(path);
}

void KeepOnScreen(FrameGeometry& geometry, const wxSize& screen)
{
    // In 64 bits: a far-off position plus a large size must not overflow.
    const auto place = [](int position, int size, int extent, int least) {
        long long p = position;
        if (extent < p + size)
            p = static_cast<long long>(extent) - size;
        return static_cast<int>(std::clamp<long long>(p, least, INT_MAX));
    };
    geometry.top = place(geometry.top, geometry.height, screen.y, 3);
    geometry.left = place(geometry.left, geometry.width, screen.x, 0);
}

void TrackGeometry(FrameGeometry& geometry, const wxRect& rect, bool maximized, bool iconized)
{
    if (!maximized && !iconized) {
        if (rect.x != -1)
            geometry.left = rect.x;
        if (rect.y != -1)
            geometry.top = rect.y;
        if (rect.width != -1)
            geometry.width = rect.width;
        if (rect.height != -1)
            geometry.height = rect.height;
    }
    geometry.maximized = maximized;
}
