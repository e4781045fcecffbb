// The activity log window: one row per read or write result passing through
// the server, with filters on outcome, direction, device and setpoint name.
#ifndef OPSDESK_SPYFRM_H
#define OPSDESK_SPYFRM_H

#include "delegate.h"
#include "spylog.h"

#include <wx/dialog.h>
#include <wx/listctrl.h>
#include <wx/timer.h>

class EventBridge;
class wxCheckBox;
class wxChoice;
class wxNCEvent;
class wxTextCtrl;

// Opens another activity log on the bridge that receives the core's events.
void ShowActivityLog(wxWindow* parent);

// A virtual list: it asks the log for the cells it paints.
class SpyList : public wxListCtrl
{
public:
    SpyList(wxWindow* parent, const SpyLog& log);

protected:
    wxString OnGetItemText(long item, long column) const override;

private:
    const SpyLog& m_log;
};

class SpyFrm : public wxDialog
{
public:
    SpyFrm(wxWindow* parent, EventBridge& bridge);
    ~SpyFrm() override;

    // The stock buttons' actions, callable without clicking.
    void ClearRows();
    void SaveRows();

    const SpyLog& GetLog() const { return m_log; }
    const SpyFilter& GetFilter() const { return m_filter; }
    SpyList* GetList() const { return m_list; }
    wxCheckBox* GetEnabledBox() const { return m_enabled; }
    wxCheckBox* GetSucceededBox() const { return m_succeeded; }
    wxCheckBox* GetFailedBox() const { return m_failed; }
    wxCheckBox* GetReadsBox() const { return m_reads; }
    wxCheckBox* GetWritesBox() const { return m_writes; }
    wxChoice* GetDeviceChoice() const { return m_device; }
    wxTextCtrl* GetTextFilter() const { return m_text; }

    enum
    {
        ID_CLEAR_TEXT = wxID_HIGHEST + 1
    };

private:
    void OnEvent(wxNCEvent& event);
    void ReadFilter();
    void OnFilterChanged(wxCommandEvent& event);
    void OnClearText(wxCommandEvent& event);
    void OnClearRows(wxCommandEvent& event);
    void OnSave(wxCommandEvent& event);
    void OnCountTimer(wxTimerEvent& event);
    void OnClose(wxCloseEvent& event);

    EventBridge& m_bridge;
    SpyLog m_log;
    SpyFilter m_filter;
    SpyClock m_clock;
    // The list learns of new rows at most this often, not once per row.
    wxTimer m_countTimer;

    SpyList* m_list = nullptr;
    wxCheckBox* m_enabled = nullptr;
    wxCheckBox* m_succeeded = nullptr;
    wxCheckBox* m_failed = nullptr;
    wxCheckBox* m_reads = nullptr;
    wxCheckBox* m_writes = nullptr;
    wxChoice* m_device = nullptr;
    wxTextCtrl* m_text = nullptr;

    Listener<SpyFrm, wxNCEvent&> m_listener{this, &SpyFrm::OnEvent};
};

#endif
