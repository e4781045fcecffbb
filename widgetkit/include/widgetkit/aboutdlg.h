// AboutDlg: an about box whose product texts all come from the caller, with a
// running uptime of the process.
#ifndef WIDGETKIT_ABOUTDLG_H
#define WIDGETKIT_ABOUTDLG_H

#include <widgetkit/export.h>

#include <wx/datetime.h>
#include <wx/dialog.h>
#include <wx/timer.h>

class wxStaticBitmap;
class wxStaticText;

class WIDGETKIT_API AboutDlg : public wxDialog
{
public:
    explicit AboutDlg(wxWindow* parent);
    ~AboutDlg() override;

    void SetHeader(const wxString& title, const wxString& subtitle);
    void SetHeader(const wxString& title);
    void SetCopyright(const wxString& text);
    void SetExtraCopyright(const wxString& text);
    void SetBuildInfo(const wxString& text);
    void SetImage(const wxBitmap& bitmap);

    static wxString FormatUptime(const wxTimeSpan& uptime);

    // When the library was loaded; the uptime is counted from here.
    static wxDateTime start_time;

private:
    void UpdateUptime();
    void Relayout();
    void OnTimer(wxTimerEvent& event);
    void OnClose(wxCommandEvent& event);

    wxStaticBitmap* m_image = nullptr;
    wxStaticText* m_header = nullptr;
    wxStaticText* m_copyright = nullptr;
    wxStaticText* m_extraCopyright = nullptr;
    wxStaticText* m_uptime = nullptr;
    wxStaticText* m_buildInfoHeading = nullptr;
    wxStaticText* m_buildInfo = nullptr;
    wxTimer m_timer;
};

#endif
