// The server core's life inside the console: initialised and started once,
// and shut down once however often the shutdown is asked for.
#ifndef OPSDESK_SESSION_H
#define OPSDESK_SESSION_H

#include <wx/string.h>

class EventBridge;
struct Folders;
struct FrameGeometry;

class CoreSession
{
public:
    // plexord_init with the folders and the event bridge's callback.
    bool Init(const Folders& folders, unsigned flags = 0);
    // Loads the plug-ins and the configuration, then starts the core.
    bool Start();

    // Drops further core events, saves the core's configuration, stops the
    // core, writes "gui.ini" and finalises the core. Answers false when the
    // shutdown had already run.
    bool Shutdown(EventBridge& bridge, const FrameGeometry& geometry);

    bool IsShutdownPending() const { return m_shutdownPending; }
    bool IsCoreRunning() const { return m_coreRunning; }

    // "gui.ini" in the core's configuration folder.
    static wxString GuiIniPath();

private:
    bool m_shutdownPending = true;
    bool m_coreRunning = true;
};

#endif
