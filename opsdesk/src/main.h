// The application object: start-up, shutdown and the crash report.
#ifndef OPSDESK_MAIN_H
#define OPSDESK_MAIN_H

#include "eventbridge.h"
#include "session.h"
#include "startup.h"

#include <wx/app.h>
#include <wx/modalhook.h>
#include <wx/timer.h>
#include <wx/weakref.h>

#include <memory>

class MainFrame;
class wxLocale;
class wxSingleInstanceChecker;

// Counts the modal dialogs that are open.
class ModalDialogCounter : public wxModalDialogHook
{
public:
    int GetOpenCount() const { return m_open; }

protected:
    int Enter(wxDialog*) override
    {
        ++m_open;
        return wxID_NONE;
    }
    void Exit(wxDialog*) override { --m_open; }

private:
    int m_open = 0;
};

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
    ModalDialogCounter m_modalDialogs;
    wxTimer m_stopRetry;

    static Plexord* s_singleton;
};

#endif
