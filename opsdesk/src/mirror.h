// The scheduler dialog: the core's scheduled tasks listed, added, removed
// and edited in place, and the small dialogs it opens.
#ifndef OPSDESK_MIRROR_H
#define OPSDESK_MIRROR_H

#include <wx/datetime.h>
#include <wx/dialog.h>

#include <vector>

class wxBoxSizer;
class wxButton;
class wxCheckBox;
class wxChoice;
class wxFocusEvent;
class wxGenericCalendarCtrl;
class wxListBox;
class wxPanel;
class wxRadioButton;
class wxSizer;
class wxTextCtrl;

// Opens the scheduler modally and deletes it afterwards.
void RunScheduler(wxWindow* parent);

// Picks a setpoint (device and setpoint text) or, for a source, a fixed
// value instead. The caller reads the choice after OK.
class SetpOrValueDialog : public wxDialog
{
public:
    enum Mode { Source, Target };

    SetpOrValueDialog(wxWindow* parent, const wxString& title, Mode mode, bool isFixed, unsigned short deviceId,
                      const wxString& setpoint, double value);

    bool IsFixedValue() const;
    // 0 when no device is chosen.
    unsigned short GetDeviceId() const;
    wxString GetSetpoint() const;
    wxString GetValueText() const;

    wxRadioButton* GetSetpointRadio() const { return m_setpointRadio; }
    wxRadioButton* GetFixedRadio() const { return m_fixedRadio; }
    wxChoice* GetDeviceChoice() const { return m_device; }
    wxTextCtrl* GetSetpointField() const { return m_setpoint; }
    wxTextCtrl* GetValueField() const { return m_value; }

private:
    void UpdateEnabled();

    wxRadioButton* m_setpointRadio = nullptr;
    wxRadioButton* m_fixedRadio = nullptr;
    wxChoice* m_device = nullptr;
    wxTextCtrl* m_setpoint = nullptr;
    wxTextCtrl* m_value = nullptr;
    std::vector<wxWindow*> m_setpointRow;
};

// "Select date": a calendar on the given date with OK and Cancel.
class DateSelectionDialog : public wxDialog
{
public:
    DateSelectionDialog(wxWindow* parent, const wxDateTime& date);

    wxDateTime GetDate() const;
    void SetDate(const wxDateTime& date);
    wxGenericCalendarCtrl* GetCalendar() const { return m_calendar; }

private:
    wxGenericCalendarCtrl* m_calendar = nullptr;
};

class SchedulerDialog : public wxDialog
{
public:
    SchedulerDialog(wxWindow* parent, wxWindowID id, const wxString& title, const wxPoint& pos = wxDefaultPosition,
                    const wxSize& size = wxDefaultSize);
    ~SchedulerDialog() override;

    // The id of the task in the details, -1 for none.
    int GetShownTaskId() const { return m_shownId; }

    wxListBox* GetTaskList() const { return m_list; }
    wxButton* GetAddButton() const { return m_add; }
    wxButton* GetRemoveButton() const { return m_remove; }
    wxButton* GetCloseButton() const { return m_close; }
    wxPanel* GetDetails() const { return m_details; }
    wxTextCtrl* GetNameField() const { return m_name; }
    wxChoice* GetTypeChoice() const { return m_type; }

    wxButton* GetLeftButton() const { return m_left; }
    wxButton* GetOperatorButton() const { return m_operator; }
    wxButton* GetRightButton() const { return m_right; }
    wxButton* GetThenTargetButton() const { return m_thenTarget; }
    wxTextCtrl* GetThenValueField() const { return m_thenValue; }
    wxCheckBox* GetDoNothingBox() const { return m_doNothing; }
    wxButton* GetElseTargetButton() const { return m_elseTarget; }
    wxTextCtrl* GetElseValueField() const { return m_elseValue; }

    wxTextCtrl* GetValueField() const { return m_value; }
    wxChoice* GetSourceDeviceChoice() const { return m_sourceDevice; }
    wxTextCtrl* GetSourceSetpointField() const { return m_sourceSetpoint; }
    wxChoice* GetTargetDeviceChoice() const { return m_targetDevice; }
    wxTextCtrl* GetTargetSetpointField() const { return m_targetSetpoint; }

    wxButton* GetFirstDateButton() const { return m_firstDate; }
    wxTextCtrl* GetFirstTimeField() const { return m_firstTime; }
    wxTextCtrl* GetRepeatField() const { return m_repeat; }
    wxChoice* GetUnitChoice() const { return m_unit; }

    // Whether the section of a task type (0 to 2) is on show; the "To:"
    // section is asked for with type 1.
    bool IsConditionShown() const;
    bool IsValueShown() const;
    bool IsFromShown() const;
    bool IsToShown() const;
    bool IsElseRowShown() const;

private:
    struct TextCommit
    {
        wxTextCtrl* field;
        void (SchedulerDialog::*commit)();
    };

    wxTextCtrl* AddCommittedText(wxWindow* parent, void (SchedulerDialog::*commit)(), const wxSize& size);
    void BuildDetails();
    void FillChoices();
    void RefillList();
    void SelectTaskId(int id);
    void ShowSelectedTask();
    void ClearDetails();
    void ShowSections(int type);
    void Relayout();
    void ShowInterval(int days, int seconds);
    wxString DeviceSetpointLabel(unsigned short deviceId, const char* item, const char* flag) const;
    wxString OperandLabel(int isFixed, unsigned short deviceId, const char* item, const char* flag,
                          double value) const;
    // Texts typed but not yet committed go to the shown task first.
    void CommitPendingEdits();

    void OnListSelect(wxCommandEvent& event);
    void OnAdd(wxCommandEvent& event);
    void OnRemove(wxCommandEvent& event);
    void OnTypeChoice(wxCommandEvent& event);
    void OnDeviceChoice(wxCommandEvent& event);
    void OnUnitChoice(wxCommandEvent& event);
    void OnFirstDate(wxCommandEvent& event);
    void OnOperand(wxCommandEvent& event);
    void OnOperator(wxCommandEvent& event);
    void OnTarget(wxCommandEvent& event);
    void OnDoNothing(wxCommandEvent& event);
    void OnCloseButton(wxCommandEvent& event);
    void OnCloseWindow(wxCloseEvent& event);
    void OnTextFocusLost(wxFocusEvent& event);
    void Finish();

    void CommitName();
    void CommitValue();
    void CommitSourceSetpoint();
    void CommitTargetSetpoint();
    void CommitThenValue();
    void CommitElseValue();
    void CommitFirstTime();
    void CommitRepeat();

    int m_shownId = -1;
    long m_unitSeconds = 86400;
    // Set while the details are filled, when focus changes are no edits.
    bool m_showing = false;

    wxListBox* m_list = nullptr;
    wxButton* m_add = nullptr;
    wxButton* m_remove = nullptr;
    wxButton* m_close = nullptr;
    wxPanel* m_details = nullptr;
    wxTextCtrl* m_name = nullptr;
    wxChoice* m_type = nullptr;

    wxSizer* m_detailsSizer = nullptr;
    wxSizer* m_conditionSection = nullptr;
    wxSizer* m_valueSection = nullptr;
    wxSizer* m_fromSection = nullptr;
    wxSizer* m_toSection = nullptr;
    wxSizer* m_elseRow = nullptr;
    wxBoxSizer* m_elseLine = nullptr;

    wxButton* m_left = nullptr;
    wxButton* m_operator = nullptr;
    wxButton* m_right = nullptr;
    wxButton* m_thenTarget = nullptr;
    wxTextCtrl* m_thenValue = nullptr;
    wxCheckBox* m_doNothing = nullptr;
    wxButton* m_elseTarget = nullptr;
    wxTextCtrl* m_elseValue = nullptr;

    wxTextCtrl* m_value = nullptr;
    wxChoice* m_sourceDevice = nullptr;
    wxTextCtrl* m_sourceSetpoint = nullptr;
    wxChoice* m_targetDevice = nullptr;
    wxTextCtrl* m_targetSetpoint = nullptr;

    wxButton* m_firstDate = nullptr;
    wxTextCtrl* m_firstTime = nullptr;
    wxTextCtrl* m_repeat = nullptr;
    wxChoice* m_unit = nullptr;

    std::vector<TextCommit> m_commits;
};

#endif
