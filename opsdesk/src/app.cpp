#include "main.h"

#include "accessible.h"
#include "images.h"
#include "mainframe.h"
#include "status-window.h"
#include "version.h"

#include <plexord.h>
#include <widgetkit/crashdlg.h>

#include <wx/debugrpt.h>
#include <wx/display.h>
#include <wx/filefn.h>
#include <wx/intl.h>
#include <wx/msgdlg.h>
#include <wx/snglinst.h>

#include <csignal>
#include <filesystem>
#include <iostream>
#include <vector>

Plexord* Plexord::s_singleton = nullptr;

Plexord::Plexord()
{
    // The operating system's log-off and shut-down pass the console by: it
    // neither vetoes them nor closes anything itself.
    Bind(wxEVT_QUERY_END_SESSION, &Plexord::OnQueryEndSession, this);
    Bind(wxEVT_END_SESSION, &Plexord::OnEndSession, this);
    m_stopRetry.Bind(wxEVT_TIMER, [this](wxTimerEvent&) { RequestStop(); });
}

Plexord::~Plexord()
{
    if (s_singleton == this)
        s_singleton = nullptr;
}

Plexord& Plexord::Get()
{
    wxASSERT_MSG(s_singleton != nullptr, "singleton != 0");
    return *s_singleton;
}

bool Plexord::OnInit()
{
    s_singleton = this;
    m_folders = Folders();

    m_checker = std::make_unique<wxSingleInstanceChecker>();
    if (!ClaimSingleInstance(*m_checker, SingleInstanceName()))
        return false;

    wxHandleFatalExceptions(true);

    std::vector<wxString> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    ParseCommandLine(args, m_folders, std::cout);

    if (!DetermineInstallation(std::filesystem::path(wxGetCwd().utf8_string()), m_folders, std::cout, std::cerr)) {
        wxMessageBox(_("Unable to determine Plexord installation directory. Wrong cwd?"), wxMessageBoxCaptionStr,
                     wxOK);
        return false;
    }

    m_locale = std::make_unique<wxLocale>();
    LoadTranslations(m_folders.locale, *m_locale, std::cerr);
    RegisterImageHandlers();

    m_geometry = FrameGeometry();
    m_session.Init(m_folders);
    SetImageFolder(
        wxString::FromUTF8((std::filesystem::path(plexord_get_data_path()) / "images").string()));

    // Read from where it is written at exit: the core's configuration folder,
    // which is also right when the layout gave none.
    m_geometry = ReadGeometry(CoreSession::GuiIniPath());
    KeepOnScreen(m_geometry, wxGetDisplaySize());

    // The toolkit's own default frame is too small for the demo plant's column.
    wxSize size(m_geometry.width, m_geometry.height);
    if (size == wxDefaultSize)
        size = wxSize(420, 560);
    StartNamingControls();
    auto* frame =
        new MainFrame(m_bridge, m_geometry, _("Plexor server"), wxPoint(m_geometry.left, m_geometry.top), size);
    if (m_geometry.maximized)
        frame->Maximize(true);
    frame->Show(true);
    SetTopWindow(frame);
    m_frame = frame;

    m_session.Start();

    // Stopped from outside (log-out, kill, Ctrl+C in the terminal): close as
    // the operator would, so that the configuration and "gui.ini" are saved.
    m_openWindows.Register();
    SetSignalHandler(SIGTERM, &Plexord::OnStopSignal);
    SetSignalHandler(SIGINT, &Plexord::OnStopSignal);
    return true;
}

void Plexord::OnStopSignal(int)
{
    if (s_singleton)
        s_singleton->RequestStop();
}

void Plexord::RequestStop()
{
    // The frame must not go away under an open menu or dialog, whose loop
    // would go on: each is ended, innermost first, and once its loop has
    // returned the next one is.
    if (m_openWindows.CloseInnermost()) {
        m_stopRetry.StartOnce(20);
        return;
    }
    if (MainFrame* frame = GetMainFrame())
        frame->Close(true);
    else
        ExitMainLoop();
}

int Plexord::FilterEvent(wxEvent& event)
{
    m_openWindows.Track(event);
    return wxApp::FilterEvent(event);
}

int Plexord::OnExit()
{
    StopNamingControls();
    m_session.Shutdown(m_bridge, m_geometry);
    return wxApp::OnExit();
}

void Plexord::OnFatalException()
{
    wxDebugReport report;
    report.AddAll(wxDebugReport::Context_Exception);
    CrashReportDialog dialog(OPSDESK_PRODUCT, OPSDESK_CRASH_ADDRESS);
    dialog.SetDebugReport(report);
    dialog.ShowModal();
    // The operator is asked to send the files: they must outlive the report.
    report.Reset();
}

void Plexord::OnQueryEndSession(wxCloseEvent&)
{
}

void Plexord::OnEndSession(wxCloseEvent&)
{
}
