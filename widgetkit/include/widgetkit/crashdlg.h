// CrashReportDialog: tells the operator about a crash and which report files
// to send where.
#ifndef WIDGETKIT_CRASHDLG_H
#define WIDGETKIT_CRASHDLG_H

#include <widgetkit/export.h>

#include <wx/dialog.h>

class wxDebugReport;
class wxHtmlWindow;

class WIDGETKIT_API CrashReportDialog : public wxDialog
{
public:
    CrashReportDialog(const wxString& appName, const wxString& address);

    void SetDebugReport(wxDebugReport& report);

    const wxString& GetAppName() const { return m_appName; }
    const wxString& GetAddress() const { return m_address; }
    // The file list as given by SetDebugReport, markers included.
    const wxString& GetFileList() const { return m_fileList; }

private:
    void OnClose(wxCommandEvent& event);
    void OnDebug(wxCommandEvent& event);

    wxString m_appName;
    wxString m_address;
    wxString m_fileList;
    wxHtmlWindow* m_files = nullptr;
};

// The dialog's texts mark bold with "<b>" (each one switches it, so the
// address reads "<b>address<b>"), "</b>" and monospace with "<tt>" ...
// "</tt>". Turns such a text into HTML with everything else escaped.
WIDGETKIT_API wxString wx_crash_markup_to_html(const wxString& text);

#endif
