// The application object: start-up, shutdown and the crash report.
#ifndef OPSDESK_MAIN_H
#define OPSDESK_MAIN_H

#include "eventbridge.h"
#include "openwindows.h"
#include "session.h"
#include "startup.h"

#include <wx/app.h>
#include <wx/timer.h>
#include <wx/weakref.h>

#include <memory>

class MainFrame;
class wxLocale;
class wxSingleInstanceChecker;

class Plexord : public wxApp
{
public:
    Plexord();
    ~Plexord() override;

    // The one application object; only valid once OnInit has begun.
    static Plexord& Get();

    bool OnInit() override;
    int OnExit() override;
    void OnFatalException() override;
    int FilterEvent(wxEvent& event) override;

    EventBridge& GetBridge() { return m_bridge; }
    FrameGeometry& GetGeometry() { return m_geometry; }
    const Folders& GetFolders() const { return m_folders; }
    MainFrame* GetMainFrame() const { return m_frame.get(); }
    // Clients connected, as counted by the event bridge.
    int GetClientCount() const { return m_bridge.GetClientCount(); }

private:
    // Runs in the event loop, not in the signal handler itself.
    static void OnStopSignal(int signal);
    void RequestStop();
    void OnQueryEndSession(wxCloseEvent& event);
    void OnEndSession(wxCloseEvent& event);

    Folders m_folders;
    FrameGeometry m_geometry;
    EventBridge m_bridge;
    CoreSession m_session;
    std::unique_ptr<wxSingleInstanceChecker> m_checker;
    std::unique_ptr<wxLocale> m_locale;
    wxWeakRef<MainFrame> m_frame;
    OpenWindows m_openWindows;
    wxTimer m_stopRetry;

    static Plexord* s_singleton;
};

#endif
