#include "session.h"

#include "eventbridge.h"
#include "startup.h"

#include <plexord.h>
#include <widgetkit/stoc.h>

#include <libxml/parser.h>

#include <cstdio>
#include <filesystem>

namespace {

// Failures of the core's lifecycle are the operator's only hint why the
// status window stays empty.
bool Report(const char* what, ncerr_t result)
{
    if (ncerr_is_ok(result))
        return true;
    std::fprintf(stderr, " ! %s: %s\n", what, ncerr_get_string(result));
    return false;
}

} // namespace

bool CoreSession::Init(const Folders& folders, unsigned flags)
{
    wxStoC config(folders.config);
    wxStoC data(folders.data);
    wxStoC plugins(folders.plugins);
    return Report("plexord_init", plexord_init(config.cstr(), data.cstr(), plugins.cstr(),
                                               &EventBridge::CoreCallback, flags, nullptr));
}

bool CoreSession::Start()
{
    const bool plugins = Report("plexord_load_plugins", plexord_load_plugins());
    const bool config = Report("plexord_load_config", plexord_load_config());
    const bool started = Report("plexord_start", plexord_start());
    return plugins && config && started;
}

wxString CoreSession::GuiIniPath()
{
    return wxString::FromUTF8((std::filesystem::path(plexord_get_config_dir_path()) / "gui.ini").string());
}

bool CoreSession::Shutdown(EventBridge& bridge, const FrameGeometry& geometry)
{
    if (!m_shutdownPending)
        return false;
    m_shutdownPending = false;

    if (m_coreRunning) {
        m_coreRunning = false;
        bridge.SetShuttingDown();
        Report("plexord_save_config", plexord_save_config());
        Report("plexord_stop", plexord_stop());
    }
    const wxString gui = GuiIniPath();
    if (!WriteGeometry(gui, geometry))
        std::fprintf(stderr, " ! Cannot save %s\n", static_cast<const char*>(gui.utf8_str()));
    plexord_finalize();
    xmlCleanupParser();
    return true;
}
