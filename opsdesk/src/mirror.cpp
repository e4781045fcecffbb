#include "mirror.h"

#include "accessible.h"
#include "coretext.h"
#include "dataview.h"
#include "devicedlg.h"
#include "schedlogic.h"

#include <basekit.h>
#include <plexord.h>
#include <widgetkit/sizegroup.h>
#include <widgetkit/stoc.h>

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/calctrl.h>
#include <wx/generic/calctrlg.h>
#include <wx/intl.h>
#include <wx/listbox.h>
#include <wx/msgdlg.h>
#include <wx/panel.h>
#include <wx/radiobut.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <algorithm>

namespace {

constexpr int kRead = 0;
constexpr int kModify = 1;

// A task held for one handler and given back when it goes out of scope, on
// the thread that fetched it.
class FetchedTask
{
public:
    FetchedTask(int id, int mode)
        : m_task(id >= 0 && g_sched ? scheduler_fetch_task(g_sched, id, mode) : nullptr)
    {
    }
    ~FetchedTask()
    {
        if (m_task)
            scheduler_drop_task(g_sched, m_task);
    }
    FetchedTask(const FetchedTask&) = delete;
    FetchedTask& operator=(const FetchedTask&) = delete;

    explicit operator bool() const { return m_task != nullptr; }
    sched_task_t* get() const { return m_task; }

private:
    sched_task_t* m_task;
};

int TaskIdAt(const wxListBox* list, int row)
{
    return static_cast<int>(wxPtrToUInt(list->GetClientData(row)));
}

// A button that shows a setting is read by what it is for and what it shows:
// its text alone ("Boiler.PV", ">") does not say which part of the
// condition it is.
void ShowSetting(wxButton* button, const wxString& text)
{
    button->SetLabel(text);
    const wxString purpose = button->GetToolTipText();
    const wxString shown = button->GetLabelText();
    SetAccessibleName(button, shown.empty() ? purpose : purpose + ", " + shown);
}

unsigned short ChosenDevice(const wxChoice* choice)
{
    const int row = choice->GetSelection();
    return row == wxNOT_FOUND ? 0 : static_cast<unsigned short>(wxPtrToUInt(choice->GetClientData(row)));
}

wxStaticText* Heading(wxWindow* parent, const wxString& label)
{
    auto* heading = new wxStaticText(parent, wxID_ANY, label);
    SetBoldFont(heading);
    return heading;
}

// "Label: control" rows of a section.
class RowGrid
{
public:
    RowGrid(wxWindow* parent, uxSizeGroup& labels)
        : m_parent(parent)
        , m_labels(labels)
        , m_grid(new wxFlexGridSizer(2, 4, 6))
    {
        m_grid->AddGrowableCol(1);
    }

    wxStaticText* Add(const wxString& label, wxWindow* control, int flags = wxEXPAND)
    {
        auto* text = new wxStaticText(m_parent, wxID_ANY, label);
        m_labels.Add(text);
        m_grid->Add(text, 0, wxALIGN_CENTER_VERTICAL);
        m_grid->Add(control, 0, flags | wxALIGN_CENTER_VERTICAL);
        return text;
    }

    void Add(const wxString& label, wxSizer* row)
    {
        auto* text = new wxStaticText(m_parent, wxID_ANY, label);
        m_labels.Add(text);
        m_grid->Add(text, 0, wxALIGN_CENTER_VERTICAL);
        m_grid->Add(row, 0, wxEXPAND | wxALIGN_CENTER_VERTICAL);
    }

    wxFlexGridSizer* Sizer() const { return m_grid; }

private:
    wxWindow* m_parent;
    uxSizeGroup& m_labels;
    wxFlexGridSizer* m_grid;
};

// A heading with its rows below it.
wxSizer* Section(wxWindow* parent, const wxString& heading, wxSizer* rows)
{
    auto* section = new wxBoxSizer(wxVERTICAL);
    section->Add(Heading(parent, heading), 0, wxTOP, 10);
    section->Add(rows, 0, wxEXPAND | wxTOP, 6);
    return section;
}

// Wide enough for a device and a setpoint, so that labels rarely move the
// layout.
constexpr int kSetpointButtonWidth = 190;
constexpr int kNumberWidth = 80;

} // namespace

// ---------------------------------------------------------------------------

void RunScheduler(wxWindow* parent)
{
    SchedulerDialog dialog(parent, wxID_ANY, _("Scheduler"));
    dialog.ShowModal();
}

// ---------------------------------------------------------------------------

SetpOrValueDialog::SetpOrValueDialog(wxWindow* parent, const wxString& title, Mode mode, bool isFixed,
                                     unsigned short deviceId, const wxString& setpoint, double value)
    : wxDialog(parent, wxID_ANY, title)
{
    auto* top = new wxBoxSizer(wxVERTICAL);
    uxSizeGroup labels(uxSizeGroup::SameWidth);

    RowGrid setpointRows(this, labels);
    m_device = new wxChoice(this, wxID_ANY);
    FillDeviceChoice(m_device);
    SelectItemByData(m_device, deviceId);
    m_setpoint = new wxTextCtrl(this, wxID_ANY, setpoint);
    m_setpointRow.push_back(setpointRows.Add(_("Device:"), m_device));
    m_setpointRow.push_back(setpointRows.Add(_("Setpoint:"), m_setpoint));
    m_setpointRow.push_back(m_device);
    m_setpointRow.push_back(m_setpoint);

    if (mode == Source) {
        m_setpointRadio = new wxRadioButton(this, wxID_ANY, _("Setpoint value"), wxDefaultPosition, wxDefaultSize,
                                            wxRB_GROUP);
        m_fixedRadio = new wxRadioButton(this, wxID_ANY, _("Fixed value"));
        RowGrid valueRows(this, labels);
        m_value = new wxTextCtrl(this, wxID_ANY, FormatSetpointValue(value));
        valueRows.Add(_("Value:"), m_value);

        // The rows sit indented under their radio button.
        auto indented = [top](wxSizer* rows) {
            auto* indent = new wxBoxSizer(wxHORIZONTAL);
            indent->AddSpacer(26);
            indent->Add(rows, 1, wxEXPAND);
            top->Add(indent, 0, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, 10);
        };
        top->Add(m_setpointRadio, 0, wxLEFT | wxRIGHT | wxTOP, 10);
        indented(setpointRows.Sizer());
        top->Add(m_fixedRadio, 0, wxLEFT | wxRIGHT | wxTOP, 14);
        indented(valueRows.Sizer());
        (isFixed ? m_fixedRadio : m_setpointRadio)->SetValue(true);
        m_setpointRadio->Bind(wxEVT_RADIOBUTTON, [this](wxCommandEvent&) { UpdateEnabled(); });
        m_fixedRadio->Bind(wxEVT_RADIOBUTTON, [this](wxCommandEvent&) { UpdateEnabled(); });
    } else {
        top->Add(setpointRows.Sizer(), 0, wxEXPAND | wxALL, 10);
    }
    labels.Resize();

    top->Add(CreateStdDialogButtonSizer(wxOK | wxCANCEL), 0, wxEXPAND | wxALL, 10);
    SetSizerAndFit(top);
    SetMinSize(wxSize(std::max(GetSize().x, 320), GetSize().y));
    SetSize(GetMinSize());
    UpdateEnabled();
}

void SetpOrValueDialog::UpdateEnabled()
{
    if (!m_fixedRadio)
        return;
    const bool fixed = m_fixedRadio->GetValue();
    for (wxWindow* window : m_setpointRow)
        window->Enable(!fixed);
    m_value->Enable(fixed);
}

bool SetpOrValueDialog::IsFixedValue() const
{
    return m_fixedRadio && m_fixedRadio->GetValue();
}

unsigned short SetpOrValueDialog::GetDeviceId() const
{
    return ChosenDevice(m_device);
}

wxString SetpOrValueDialog::GetSetpoint() const
{
    return m_setpoint->GetValue();
}

wxString SetpOrValueDialog::GetValueText() const
{
    return m_value ? m_value->GetValue() : wxString();
}

// ---------------------------------------------------------------------------

DateSelectionDialog::DateSelectionDialog(wxWindow* parent, const wxDateTime& date)
    : wxDialog(parent, wxID_ANY, _("Select date"))
{
    auto* top = new wxBoxSizer(wxVERTICAL);
    // The generic calendar honours both styles; the native one follows the
    // desktop's locale instead.
    m_calendar = new wxGenericCalendarCtrl(this, wxID_ANY, date.IsValid() ? date : wxDateTime::Today(),
                                           wxDefaultPosition, wxDefaultSize,
                                           wxCAL_MONDAY_FIRST | wxCAL_SHOW_SURROUNDING_WEEKS);
    top->Add(m_calendar, 1, wxEXPAND | wxALL, 10);
    top->Add(CreateStdDialogButtonSizer(wxOK | wxCANCEL), 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 10);
    SetSizerAndFit(top);
}

wxDateTime DateSelectionDialog::GetDate() const
{
    return m_calendar->GetDate();
}

void DateSelectionDialog::SetDate(const wxDateTime& date)
{
    m_calendar->SetDate(date);
}

// ---------------------------------------------------------------------------

SchedulerDialog::SchedulerDialog(wxWindow* parent, wxWindowID id, const wxString& title, const wxPoint& pos,
                                 const wxSize& size)
    : wxDialog(parent, id, title, pos, size, wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER)
{
    auto* top = new wxBoxSizer(wxVERTICAL);

    top->Add(Heading(this, _("Scheduled activities:")), 0, wxLEFT | wxRIGHT | wxTOP, 10);
    auto* listRow = new wxBoxSizer(wxHORIZONTAL);
    m_list = new wxListBox(this, wxID_ANY, wxDefaultPosition, wxSize(-1, 110), 0, nullptr, wxLB_SINGLE);
    listRow->Add(m_list, 1, wxEXPAND | wxRIGHT, 6);
    auto* listButtons = new wxBoxSizer(wxVERTICAL);
    m_add = new wxButton(this, wxID_ADD);
    m_remove = new wxButton(this, wxID_REMOVE);
    listButtons->Add(m_add, 0, wxEXPAND | wxBOTTOM, 4);
    listButtons->Add(m_remove, 0, wxEXPAND);
    listRow->Add(listButtons, 0);
    top->Add(listRow, 0, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, 10);

    m_details = new wxPanel(this, wxID_ANY);
    BuildDetails();
    top->Add(m_details, 0, wxEXPAND | wxLEFT | wxRIGHT, 10);

    auto* closeRow = new wxBoxSizer(wxHORIZONTAL);
    closeRow->AddStretchSpacer();
    m_close = new wxButton(this, wxID_CLOSE);
    closeRow->Add(m_close);
    top->AddStretchSpacer();
    top->Add(closeRow, 0, wxEXPAND | wxALL, 10);
    SetSizer(top);
    // Escape is the Close button: the tasks are saved either way.
    SetEscapeId(wxID_CLOSE);

    m_list->Bind(wxEVT_LISTBOX, &SchedulerDialog::OnListSelect, this);
    m_add->Bind(wxEVT_BUTTON, &SchedulerDialog::OnAdd, this);
    m_remove->Bind(wxEVT_BUTTON, &SchedulerDialog::OnRemove, this);
    m_close->Bind(wxEVT_BUTTON, &SchedulerDialog::OnCloseButton, this);
    Bind(wxEVT_CLOSE_WINDOW, &SchedulerDialog::OnCloseWindow, this);

    FillChoices();
    RefillList();
    if (!m_list->IsEmpty())
        m_list->SetSelection(0);
    ShowSelectedTask();
}

SchedulerDialog::~SchedulerDialog()
{
    // A dialog ended from outside (the console stopping) keeps what was typed.
    CommitPendingEdits();
    // Focus may still move while the children are destroyed.
    for (const TextCommit& c : m_commits)
        c.field->Unbind(wxEVT_KILL_FOCUS, &SchedulerDialog::OnTextFocusLost, this);
}

wxTextCtrl* SchedulerDialog::AddCommittedText(wxWindow* parent, void (SchedulerDialog::*commit)(),
                                              const wxSize& size)
{
    auto* field = new wxTextCtrl(parent, wxID_ANY, wxString(), wxDefaultPosition, size);
    field->Bind(wxEVT_KILL_FOCUS, &SchedulerDialog::OnTextFocusLost, this);
    m_commits.push_back({field, commit});
    return field;
}

void SchedulerDialog::BuildDetails()
{
    wxPanel* p = m_details;
    m_detailsSizer = new wxBoxSizer(wxVERTICAL);
    uxSizeGroup labels(uxSizeGroup::SameWidth);
    const wxSize numberSize(kNumberWidth, -1);
    const wxSize setpointButtonSize(kSetpointButtonWidth, -1);

    RowGrid general(p, labels);
    m_name = AddCommittedText(p, &SchedulerDialog::CommitName, wxDefaultSize);
    m_type = new wxChoice(p, wxID_ANY);
    general.Add(_("Name:"), m_name);
    general.Add(_("Task:"), m_type, 0);
    m_detailsSizer->Add(general.Sizer(), 0, wxEXPAND | wxTOP, 10);

    // Condition: "If: a op b", "Then: Set x to v", "Else: [ ] Do nothing  Set y to w".
    auto* condition = new wxFlexGridSizer(2, 4, 6);
    condition->AddGrowableCol(1);
    auto conditionLabel = [&](const wxString& text, int flags, int border) {
        wxStaticText* label = Heading(p, text);
        labels.Add(label);
        condition->Add(label, 0, flags, border);
    };
    auto word = [p](const wxString& text) { return new wxStaticText(p, wxID_ANY, text); };

    m_left = new wxButton(p, wxID_ANY, wxString(), wxDefaultPosition, setpointButtonSize);
    m_operator = new wxButton(p, wxID_ANY);
    m_right = new wxButton(p, wxID_ANY, wxString(), wxDefaultPosition, setpointButtonSize);
    m_left->SetToolTip(_("Setpoint or value to compare"));
    m_operator->SetToolTip(_("Comparison operator"));
    m_right->SetToolTip(_("Setpoint or value to compare with"));
    auto* ifRow = new wxBoxSizer(wxHORIZONTAL);
    ifRow->Add(m_left, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 4);
    ifRow->Add(m_operator, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 4);
    ifRow->Add(m_right, 0, wxALIGN_CENTER_VERTICAL);
    conditionLabel(_("If:"), wxALIGN_CENTER_VERTICAL, 0);
    condition->Add(ifRow, 0, wxEXPAND);

    m_thenTarget = new wxButton(p, wxID_ANY, wxString(), wxDefaultPosition, setpointButtonSize);
    m_thenTarget->SetToolTip(_("Setpoint to set when the condition holds"));
    m_thenValue = AddCommittedText(p, &SchedulerDialog::CommitThenValue, numberSize);
    auto* thenRow = new wxBoxSizer(wxHORIZONTAL);
    thenRow->Add(word(_("Set:")), 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 4);
    thenRow->Add(m_thenTarget, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 4);
    thenRow->Add(word(_("to")), 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 4);
    thenRow->Add(m_thenValue, 0, wxALIGN_CENTER_VERTICAL);
    conditionLabel(_("Then:"), wxALIGN_CENTER_VERTICAL, 0);
    condition->Add(thenRow, 0, wxEXPAND);

    m_doNothing = new wxCheckBox(p, wxID_ANY, _("Do nothing"));
    m_elseTarget = new wxButton(p, wxID_ANY, wxString(), wxDefaultPosition, setpointButtonSize);
    m_elseTarget->SetToolTip(_("Setpoint to set otherwise"));
    for (wxButton* button : {m_left, m_operator, m_right, m_thenTarget, m_elseTarget})
        ShowSetting(button, wxString());
    m_elseValue = AddCommittedText(p, &SchedulerDialog::CommitElseValue, numberSize);
    auto* elseRow = new wxBoxSizer(wxHORIZONTAL);
    elseRow->Add(word(_("Set:")), 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 4);
    elseRow->Add(m_elseTarget, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 4);
    elseRow->Add(word(_("to")), 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 4);
    elseRow->Add(m_elseValue, 0, wxALIGN_CENTER_VERTICAL);
    m_elseRow = elseRow;
    // The else target sits under the then target, below the check box.
    m_elseLine = new wxBoxSizer(wxVERTICAL);
    m_elseLine->Add(m_doNothing, 0, wxTOP | wxBOTTOM, 4);
    m_elseLine->Add(elseRow, 0, wxTOP, 4);
    conditionLabel(_("Else:"), wxTOP, 6);
    condition->Add(m_elseLine, 0, wxEXPAND);
    m_conditionSection = condition;
    m_detailsSizer->Add(condition, 0, wxEXPAND | wxTOP, 12);

    RowGrid valueRows(p, labels);
    m_value = AddCommittedText(p, &SchedulerDialog::CommitValue, numberSize);
    valueRows.Add(_("Value:"), m_value, 0);
    m_valueSection = Section(p, _("Value to write:"), valueRows.Sizer());
    m_detailsSizer->Add(m_valueSection, 0, wxEXPAND);

    // "From:" and "To:" each pick a device and a setpoint.
    auto setpointSection = [&](const wxString& heading, wxChoice** device, wxTextCtrl** setpoint,
                               void (SchedulerDialog::*commit)()) {
        RowGrid rows(p, labels);
        *device = new wxChoice(p, wxID_ANY);
        *setpoint = AddCommittedText(p, commit, wxDefaultSize);
        rows.Add(_("Device:"), *device);
        rows.Add(_("Setpoint:"), *setpoint);
        wxSizer* section = Section(p, heading, rows.Sizer());
        m_detailsSizer->Add(section, 0, wxEXPAND);
        return section;
    };
    m_fromSection = setpointSection(_("From:"), &m_sourceDevice, &m_sourceSetpoint,
                                    &SchedulerDialog::CommitSourceSetpoint);
    m_toSection = setpointSection(_("To:"), &m_targetDevice, &m_targetSetpoint, &SchedulerDialog::CommitTargetSetpoint);

    RowGrid repetition(p, labels);
    m_firstDate = new wxButton(p, wxID_ANY, "0000-00-00");
    m_firstTime = AddCommittedText(p, &SchedulerDialog::CommitFirstTime, numberSize);
    m_repeat = AddCommittedText(p, &SchedulerDialog::CommitRepeat, numberSize);
    m_unit = new wxChoice(p, wxID_ANY);
    m_unit->SetToolTip(_("Interval unit"));
    repetition.Add(_("First date:"), m_firstDate, 0);
    repetition.Add(_("First time:"), m_firstTime, 0);
    auto* repeatRow = new wxBoxSizer(wxHORIZONTAL);
    repeatRow->Add(m_repeat, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, 4);
    repeatRow->Add(m_unit, 0, wxALIGN_CENTER_VERTICAL);
    repetition.Add(_("Repeat every:"), repeatRow);
    m_detailsSizer->Add(Section(p, _("Repetition:"), repetition.Sizer()), 0, wxEXPAND);

    labels.Resize();
    p->SetSizer(m_detailsSizer);

    m_type->Bind(wxEVT_CHOICE, &SchedulerDialog::OnTypeChoice, this);
    m_sourceDevice->Bind(wxEVT_CHOICE, &SchedulerDialog::OnDeviceChoice, this);
    m_targetDevice->Bind(wxEVT_CHOICE, &SchedulerDialog::OnDeviceChoice, this);
    m_unit->Bind(wxEVT_CHOICE, &SchedulerDialog::OnUnitChoice, this);
    m_firstDate->Bind(wxEVT_BUTTON, &SchedulerDialog::OnFirstDate, this);
    m_left->Bind(wxEVT_BUTTON, &SchedulerDialog::OnOperand, this);
    m_right->Bind(wxEVT_BUTTON, &SchedulerDialog::OnOperand, this);
    m_operator->Bind(wxEVT_BUTTON, &SchedulerDialog::OnOperator, this);
    m_thenTarget->Bind(wxEVT_BUTTON, &SchedulerDialog::OnTarget, this);
    m_elseTarget->Bind(wxEVT_BUTTON, &SchedulerDialog::OnTarget, this);
    m_doNothing->Bind(wxEVT_CHECKBOX, &SchedulerDialog::OnDoNothing, this);
}

void SchedulerDialog::FillChoices()
{
    for (const SchedChoiceEntry& type : kTaskTypes)
        m_type->Append(wxGetTranslation(type.label), wxUIntToPtr(static_cast<unsigned>(type.data)));
    for (const SchedChoiceEntry& unit : kIntervalUnits)
        m_unit->Append(wxGetTranslation(unit.label), wxUIntToPtr(static_cast<unsigned>(unit.data)));
    FillDeviceChoice(m_sourceDevice);
    FillDeviceChoice(m_targetDevice);
}

void SchedulerDialog::RefillList()
{
    m_list->Clear();
    scheduler_iterate_start(g_sched);
    for (int id = scheduler_iterate_get_next(g_sched); id != -1; id = scheduler_iterate_get_next(g_sched)) {
        FetchedTask task(id, kRead);
        if (task)
            m_list->Append(TaskLabel(id, scheduler_task_get_name(task.get())), wxUIntToPtr(static_cast<unsigned>(id)));
    }
    scheduler_iterate_end(g_sched);
}

void SchedulerDialog::SelectTaskId(int id)
{
    for (unsigned int row = 0; row < m_list->GetCount(); ++row) {
        if (TaskIdAt(m_list, static_cast<int>(row)) == id) {
            m_list->SetSelection(static_cast<int>(row));
            return;
        }
    }
    m_list->SetSelection(wxNOT_FOUND);
}

wxString SchedulerDialog::DeviceSetpointLabel(unsigned short deviceId, const char* item, const char* flag) const
{
    const wxString setpoint = SetpointText(item, flag);
    if (deviceId == 0)
        return SetpointLabel(nullptr, setpoint);
    device_t* device = devicemgr_fetch_device(deviceId, kRead);
    if (!device)
        return SetpointLabel(nullptr, setpoint);
    const char* name = device_get_name(device);
    const wxString deviceName = wxString::FromUTF8(name ? name : "");
    devicemgr_drop_device(device);
    return SetpointLabel(&deviceName, setpoint);
}

wxString SchedulerDialog::OperandLabel(int isFixed, unsigned short deviceId, const char* item, const char* flag,
                                       double value) const
{
    return isFixed ? FormatSetpointValue(value) : DeviceSetpointLabel(deviceId, item, flag);
}

void SchedulerDialog::ShowSelectedTask()
{
    m_showing = true;
    const int row = m_list->GetSelection();
    bool shown = false;
    bool doNothingElse = false;
    int type = -1;
    if (row != wxNOT_FOUND) {
        const int id = TaskIdAt(m_list, row);
        FetchedTask task(id, kRead);
        if (task) {
            shown = true;
            m_shownId = id;
            sched_task_t* t = task.get();
            const char* name = scheduler_task_get_name(t);
            m_name->ChangeValue(wxString::FromUTF8(name ? name : ""));
            type = scheduler_task_get_type(t);
            if (type >= SCHED_TASK_COPY && type <= SCHED_TASK_CONDITION)
                SelectItemByData(m_type, static_cast<unsigned short>(type));
            else
                m_type->SetSelection(wxNOT_FOUND);

            if (type == SCHED_TASK_FIXED) {
                m_value->ChangeValue(FormatSetpointValue(scheduler_task_get_fixed_value(t)));
            } else if (type == SCHED_TASK_CONDITION) {
                const sched_condition_t* k = scheduler_task_get_condition(t);
                ShowSetting(m_left, OperandLabel(k->left.is_fixed, k->left.device_id, k->left.item, k->left.flag,
                                                 k->left.value));
                ShowSetting(m_operator, OperatorLabel(k->op));
                ShowSetting(m_right, OperandLabel(k->right.is_fixed, k->right.device_id, k->right.item,
                                                  k->right.flag, k->right.value));
                ShowSetting(m_thenTarget,
                            DeviceSetpointLabel(k->then_target.device_id, k->then_target.item, k->then_target.flag));
                ShowSetting(m_elseTarget,
                            DeviceSetpointLabel(k->else_target.device_id, k->else_target.item, k->else_target.flag));
                m_thenValue->ChangeValue(FormatSetpointValue(k->then_value));
                m_elseValue->ChangeValue(FormatSetpointValue(k->else_value));
                doNothingElse = k->do_nothing_else != 0;
                m_doNothing->SetValue(doNothingElse);
            }
            if (type == SCHED_TASK_COPY) {
                SelectItemByData(m_sourceDevice, t->source_device_id);
                m_sourceSetpoint->ChangeValue(SetpointText(t->source_item, t->source_flag));
            }
            if (type == SCHED_TASK_COPY || type == SCHED_TASK_FIXED) {
                SelectItemByData(m_targetDevice, t->target_device_id);
                m_targetSetpoint->ChangeValue(SetpointText(t->target_item, t->target_flag));
            }

            const ux_datetime_t first = scheduler_task_get_first_date_time(t);
            int year = 0, month = 0, day = 0, hour = 0, minute = 0;
            dt_get_ymd(&first, &year, &month, &day);
            dt_get_hms(&first, &hour, &minute, nullptr);
            m_firstDate->SetLabel(FormatDate(year, month, day));
            m_firstTime->ChangeValue(FormatTimeOfDay(hour, minute));

            int days = 0, seconds = 0;
            scheduler_task_get_interval_span(t, &days, &seconds);
            ShowInterval(days, seconds);
        }
    }
    if (!shown) {
        m_shownId = -1;
        ClearDetails();
    }
    ShowSections(type);
    if (type == SCHED_TASK_CONDITION)
        m_elseLine->Show(m_elseRow, !doNothingElse, true);
    m_details->Enable(shown);
    m_remove->Enable(row != wxNOT_FOUND);
    m_showing = false;
    Relayout();
}

void SchedulerDialog::ClearDetails()
{
    for (const TextCommit& c : m_commits)
        c.field->ChangeValue(wxString());
    m_type->SetSelection(wxNOT_FOUND);
    m_unit->SetSelection(wxNOT_FOUND);
    m_firstDate->SetLabel(wxString());
}

void SchedulerDialog::ShowInterval(int days, int seconds)
{
    const IntervalDisplay shown = DisplayInterval(days, seconds);
    m_repeat->ChangeValue(wxString::Format("%lld", shown.number));
    for (unsigned int row = 0; row < m_unit->GetCount(); ++row)
        if (static_cast<long>(wxPtrToUInt(m_unit->GetClientData(row))) == shown.unitSeconds)
            m_unit->SetSelection(static_cast<int>(row));
    m_unitSeconds = shown.unitSeconds;
}

void SchedulerDialog::ShowSections(int type)
{
    m_detailsSizer->Show(m_conditionSection, type == SCHED_TASK_CONDITION, true);
    m_detailsSizer->Show(m_valueSection, type == SCHED_TASK_FIXED, true);
    m_detailsSizer->Show(m_fromSection, type == SCHED_TASK_COPY, true);
    m_detailsSizer->Show(m_toSection, type == SCHED_TASK_COPY || type == SCHED_TASK_FIXED, true);
}

bool SchedulerDialog::IsConditionShown() const
{
    return m_detailsSizer->IsShown(m_conditionSection);
}

bool SchedulerDialog::IsValueShown() const
{
    return m_detailsSizer->IsShown(m_valueSection);
}

bool SchedulerDialog::IsFromShown() const
{
    return m_detailsSizer->IsShown(m_fromSection);
}

bool SchedulerDialog::IsToShown() const
{
    return m_detailsSizer->IsShown(m_toSection);
}

bool SchedulerDialog::IsElseRowShown() const
{
    return IsConditionShown() && m_elseLine->IsShown(m_elseRow);
}

void SchedulerDialog::Relayout()
{
    m_details->InvalidateBestSize();
    m_details->Layout();
    // The height follows the sections on show; a width the operator gave
    // is kept.
    const wxSize fit = GetSizer()->ComputeFittingWindowSize(this);
    SetMinSize(fit);
    SetSize(wxSize(std::max(GetSize().x, fit.x), fit.y));
    Layout();
}

void SchedulerDialog::CommitPendingEdits()
{
    if (m_shownId < 0)
        return;
    for (const TextCommit& c : m_commits) {
        if (c.field->IsModified()) {
            c.field->DiscardEdits();
            (this->*c.commit)();
        }
    }
}

void SchedulerDialog::OnTextFocusLost(wxFocusEvent& event)
{
    event.Skip();
    if (m_showing || m_shownId < 0)
        return;
    for (const TextCommit& c : m_commits) {
        if (c.field == event.GetEventObject()) {
            c.field->DiscardEdits();
            (this->*c.commit)();
            return;
        }
    }
}

// ---- list ---------------------------------------------------------------

void SchedulerDialog::OnListSelect(wxCommandEvent&)
{
    const int row = m_list->GetSelection();
    const int id = row == wxNOT_FOUND ? -1 : TaskIdAt(m_list, row);
    // A renamed task refills the list; the operator's pick is kept.
    CommitPendingEdits();
    SelectTaskId(id);
    ShowSelectedTask();
}

void SchedulerDialog::OnAdd(wxCommandEvent&)
{
    CommitPendingEdits();
    sched_task_t* task = scheduler_task_new(SCHED_TASK_COPY);
    if (!task)
        return;
    const int id = scheduler_task_get_id(task);
    if (!ncerr_is_ok(scheduler_add_task(g_sched, task, 0)))
        return;
    RefillList();
    SelectTaskId(id);
    ShowSelectedTask();
}

void SchedulerDialog::OnRemove(wxCommandEvent&)
{
    CommitPendingEdits();
    const int row = m_list->GetSelection();
    if (row == wxNOT_FOUND)
        return;
    const int next = SelectionAfterRemoval(row, static_cast<int>(m_list->GetCount()));
    scheduler_remove_task(g_sched, TaskIdAt(m_list, row));
    RefillList();
    m_list->SetSelection(next >= 0 && next < static_cast<int>(m_list->GetCount()) ? next : wxNOT_FOUND);
    ShowSelectedTask();
}

// ---- edits --------------------------------------------------------------

void SchedulerDialog::CommitName()
{
    const wxString name = m_name->GetValue();
    {
        FetchedTask task(m_shownId, kModify);
        if (!task)
            return;
        const char* stored = scheduler_task_get_name(task.get());
        // Focus passing through the field is no rename.
        if (wxString::FromUTF8(stored ? stored : "") == name)
            return;
        scheduler_task_set_name(task.get(), wxStoC(name).cstr());
    }
    RefillList();
    SelectTaskId(m_shownId);
}

void SchedulerDialog::OnTypeChoice(wxCommandEvent&)
{
    CommitPendingEdits();
    const int row = m_type->GetSelection();
    if (row == wxNOT_FOUND)
        return;
    {
        FetchedTask task(m_shownId, kModify);
        if (task)
            scheduler_task_change_type(task.get(), static_cast<int>(wxPtrToUInt(m_type->GetClientData(row))));
    }
    ShowSelectedTask();
}

void SchedulerDialog::OnDeviceChoice(wxCommandEvent& event)
{
    CommitPendingEdits();
    const bool source = event.GetEventObject() == m_sourceDevice;
    const unsigned short device = ChosenDevice(source ? m_sourceDevice : m_targetDevice);
    FetchedTask task(m_shownId, kModify);
    if (!task)
        return;
    if (source)
        scheduler_task_set_source_device(task.get(), device);
    else
        scheduler_task_set_target_device(task.get(), device);
}

void SchedulerDialog::CommitSourceSetpoint()
{
    const SetpointAddress address = SplitSetpoint(m_sourceSetpoint->GetValue());
    FetchedTask task(m_shownId, kModify);
    if (!task)
        return;
    scheduler_task_set_source_item(task.get(), wxStoC(address.item).cstr());
    scheduler_task_set_source_flag(task.get(), wxStoC(address.flag).cstr());
}

void SchedulerDialog::CommitTargetSetpoint()
{
    const SetpointAddress address = SplitSetpoint(m_targetSetpoint->GetValue());
    FetchedTask task(m_shownId, kModify);
    if (!task)
        return;
    scheduler_task_set_target_item(task.get(), wxStoC(address.item).cstr());
    scheduler_task_set_target_flag(task.get(), wxStoC(address.flag).cstr());
}

void SchedulerDialog::CommitValue()
{
    FetchedTask task(m_shownId, kModify);
    if (!task)
        return;
    double value = 0.0;
    if (ParseSetpointValue(m_value->GetValue(), value))
        scheduler_task_set_fixed_value(task.get(), value);
    else
        m_value->ChangeValue(FormatSetpointValue(scheduler_task_get_fixed_value(task.get())));
}

void SchedulerDialog::CommitThenValue()
{
    FetchedTask task(m_shownId, kModify);
    if (!task)
        return;
    sched_condition_t* k = scheduler_task_get_condition(task.get());
    double value = 0.0;
    if (ParseSetpointValue(m_thenValue->GetValue(), value))
        k->then_value = value;
    else
        m_thenValue->ChangeValue(FormatSetpointValue(k->then_value));
}

void SchedulerDialog::CommitElseValue()
{
    FetchedTask task(m_shownId, kModify);
    if (!task)
        return;
    sched_condition_t* k = scheduler_task_get_condition(task.get());
    double value = 0.0;
    if (ParseSetpointValue(m_elseValue->GetValue(), value))
        k->else_value = value;
    else
        m_elseValue->ChangeValue(FormatSetpointValue(k->else_value));
}

void SchedulerDialog::OnFirstDate(wxCommandEvent&)
{
    CommitPendingEdits();
    ux_datetime_t first = 0;
    {
        FetchedTask task(m_shownId, kRead);
        if (!task)
            return;
        first = scheduler_task_get_first_date_time(task.get());
    }
    int year = 0, month = 0, day = 0;
    dt_get_ymd(&first, &year, &month, &day);
    wxDateTime date;
    if (month >= 1 && month <= 12)
        date.Set(static_cast<wxDateTime::wxDateTime_t>(day), static_cast<wxDateTime::Month>(month - 1), year);
    // The task stays free for the scheduler while the operator picks.
    DateSelectionDialog dialog(this, date);
    if (dialog.ShowModal() != wxID_OK)
        return;
    const wxDateTime chosen = dialog.GetDate();
    if (!chosen.IsValid())
        return;
    FetchedTask task(m_shownId, kModify);
    if (!task)
        return;
    first = scheduler_task_get_first_date_time(task.get());
    dt_set_ymd(&first, chosen.GetYear(), chosen.GetMonth() + 1, chosen.GetDay());
    scheduler_task_set_first_date_time(task.get(), first);
    dt_get_ymd(&first, &year, &month, &day);
    m_firstDate->SetLabel(FormatDate(year, month, day));
}

void SchedulerDialog::CommitFirstTime()
{
    FetchedTask task(m_shownId, kModify);
    if (!task)
        return;
    ux_datetime_t first = scheduler_task_get_first_date_time(task.get());
    int hour = 0, minute = 0;
    if (ParseTimeOfDay(m_firstTime->GetValue(), hour, minute)) {
        dt_set_hms(&first, hour, minute, 0);
        scheduler_task_set_first_date_time(task.get(), first);
    }
    dt_get_hms(&first, &hour, &minute, nullptr);
    m_firstTime->ChangeValue(FormatTimeOfDay(hour, minute));
}

void SchedulerDialog::CommitRepeat()
{
    FetchedTask task(m_shownId, kModify);
    if (!task)
        return;
    long interval = 0;
    if (ParseRepeatCount(m_repeat->GetValue(), m_unitSeconds, interval)) {
        scheduler_task_set_interval(task.get(), interval);
        return;
    }
    int days = 0, seconds = 0;
    scheduler_task_get_interval_span(task.get(), &days, &seconds);
    ShowInterval(days, seconds);
}

void SchedulerDialog::OnUnitChoice(wxCommandEvent&)
{
    CommitPendingEdits();
    const int row = m_unit->GetSelection();
    FetchedTask task(m_shownId, kModify);
    if (!task || row == wxNOT_FOUND) {
        for (unsigned int i = 0; i < m_unit->GetCount(); ++i)
            if (static_cast<long>(wxPtrToUInt(m_unit->GetClientData(i))) == m_unitSeconds)
                m_unit->SetSelection(static_cast<int>(i));
        return;
    }
    const long unit = static_cast<long>(wxPtrToUInt(m_unit->GetClientData(row)));
    scheduler_task_set_interval(task.get(),
                                ConvertIntervalUnit(scheduler_task_get_interval(task.get()), unit, m_unitSeconds));
    m_unitSeconds = unit;
}

void SchedulerDialog::OnOperand(wxCommandEvent& event)
{
    CommitPendingEdits();
    const bool left = event.GetEventObject() == m_left;
    bool isFixed = false;
    unsigned short device = 0;
    wxString setpoint;
    double value = 0.0;
    {
        FetchedTask task(m_shownId, kRead);
        if (!task)
            return;
        const sched_condition_t* k = scheduler_task_get_condition(task.get());
        const sched_operand_t& o = left ? k->left : k->right;
        isFixed = o.is_fixed != 0;
        device = o.device_id;
        setpoint = SetpointText(o.item, o.flag);
        value = o.value;
    }
    SetpOrValueDialog dialog(this, _("Select source"), SetpOrValueDialog::Source, isFixed, device, setpoint, value);
    if (dialog.ShowModal() != wxID_OK)
        return;
    {
        FetchedTask task(m_shownId, kModify);
        if (!task)
            return;
        sched_condition_t* k = scheduler_task_get_condition(task.get());
        sched_operand_t& o = left ? k->left : k->right;
        const SetpointAddress address = SplitSetpoint(dialog.GetSetpoint());
        o.is_fixed = dialog.IsFixedValue() ? 1 : 0;
        o.device_id = dialog.GetDeviceId();
        ReplaceRecordText(o.item, address.item);
        ReplaceRecordText(o.flag, address.flag);
        // A value that does not read as a number keeps the stored one.
        ParseSetpointValue(dialog.GetValueText(), o.value);
    }
    ShowSelectedTask();
}

void SchedulerDialog::OnOperator(wxCommandEvent&)
{
    CommitPendingEdits();
    {
        FetchedTask task(m_shownId, kModify);
        if (!task)
            return;
        sched_condition_t* k = scheduler_task_get_condition(task.get());
        k->op = NextOperator(k->op);
        ShowSetting(m_operator, OperatorLabel(k->op));
    }
    Relayout();
}

void SchedulerDialog::OnTarget(wxCommandEvent& event)
{
    CommitPendingEdits();
    const bool then = event.GetEventObject() == m_thenTarget;
    unsigned short device = 0;
    wxString setpoint;
    {
        FetchedTask task(m_shownId, kRead);
        if (!task)
            return;
        const sched_condition_t* k = scheduler_task_get_condition(task.get());
        const sched_target_t& g = then ? k->then_target : k->else_target;
        device = g.device_id;
        setpoint = SetpointText(g.item, g.flag);
    }
    SetpOrValueDialog dialog(this, _("Select target"), SetpOrValueDialog::Target, false, device, setpoint, 0.0);
    if (dialog.ShowModal() != wxID_OK)
        return;
    {
        FetchedTask task(m_shownId, kModify);
        if (!task)
            return;
        sched_condition_t* k = scheduler_task_get_condition(task.get());
        sched_target_t& g = then ? k->then_target : k->else_target;
        const SetpointAddress address = SplitSetpoint(dialog.GetSetpoint());
        g.device_id = dialog.GetDeviceId();
        ReplaceRecordText(g.item, address.item);
        ReplaceRecordText(g.flag, address.flag);
    }
    ShowSelectedTask();
}

void SchedulerDialog::OnDoNothing(wxCommandEvent&)
{
    CommitPendingEdits();
    const bool doNothing = m_doNothing->GetValue();
    {
        FetchedTask task(m_shownId, kModify);
        if (!task)
            return;
        scheduler_task_get_condition(task.get())->do_nothing_else = doNothing ? 1 : 0;
    }
    m_elseLine->Show(m_elseRow, !doNothing, true);
    Relayout();
}

// ---- closing ------------------------------------------------------------

void SchedulerDialog::OnCloseButton(wxCommandEvent&)
{
    Finish();
}

void SchedulerDialog::OnCloseWindow(wxCloseEvent&)
{
    Finish();
}

void SchedulerDialog::Finish()
{
    CommitPendingEdits();
    const ncerr_t saved = plexord_save_config();
    // The tasks stay in the core either way and are saved again at exit.
    if (!ncerr_is_ok(saved))
        wxMessageBox(wxString::Format(_("The scheduled tasks could not be saved:\n%s"),
                                      ResultText(saved)),
                     _("Scheduler"), wxOK | wxICON_ERROR, this);
    if (IsModal()) {
        EndModal(0);
    } else {
        SetReturnCode(0);
        Hide();
    }
}
