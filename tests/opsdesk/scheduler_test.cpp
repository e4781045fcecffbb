// The scheduler dialog on the real core with the demo plant: tasks edited in
// place through every kind of control, added and removed, and a task made
// with the dialog alone that then writes a value of the plant.
#include "dialog_answers.h"
#include "gui_support.h"
#include "mirror.h"
#include "support.h"

#include <basekit.h>
#include <plexord.h>

#include <gtest/gtest.h>

#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/listbox.h>
#include <wx/panel.h>
#include <wx/textctrl.h>
#include <wx/timer.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using test::PickRow;
using test::Rows;

void Click(wxWindow* button)
{
    wxCommandEvent click(wxEVT_BUTTON, button->GetId());
    click.SetEventObject(button);
    button->ProcessWindowEvent(click);
}

// Types a text and leaves the field, as an operator tabbing on would.
void Type(wxTextCtrl* field, const wxString& text)
{
    field->SetValue(text);
    wxFocusEvent lost(wxEVT_KILL_FOCUS, field->GetId());
    lost.SetEventObject(field);
    field->ProcessWindowEvent(lost);
}

void Choose(wxChoice* choice, const wxString& label)
{
    const int row = choice->FindString(label, true);
    ASSERT_NE(row, wxNOT_FOUND) << label;
    choice->SetSelection(row);
    wxCommandEvent picked(wxEVT_CHOICE, choice->GetId());
    picked.SetEventObject(choice);
    picked.SetInt(row);
    choice->ProcessWindowEvent(picked);
}

void Tick(wxCheckBox* box, bool on)
{
    box->SetValue(on);
    wxCommandEvent ticked(wxEVT_CHECKBOX, box->GetId());
    ticked.SetEventObject(box);
    ticked.SetInt(on);
    box->ProcessWindowEvent(ticked);
}

unsigned short DeviceId(const char* name)
{
    unsigned short found = 0;
    devicemgr_iterate_start();
    while (const uint16_t id = devicemgr_iterate_get_next()) {
        if (device_t* device = devicemgr_fetch_device(id, 0)) {
            if (std::string(device_get_name(device)) == name)
                found = id;
            devicemgr_drop_device(device);
        }
    }
    devicemgr_iterate_end();
    return found;
}

std::string Text(const char* text)
{
    return text ? text : "";
}

// What the core holds for a task, copied while it is fetched.
struct StoredTask
{
    std::string name;
    int type = -1;
    ux_datetime_t first = 0;
    long interval = 0;
    unsigned source = 0, target = 0;
    std::string sourceItem, sourceFlag, targetItem, targetFlag;
    double fixed = 0;
    int rightFixed = 0;
    unsigned rightDevice = 0;
    std::string rightItem, rightFlag;
    double rightValue = 0;
    int op = 0;
    double thenValue = 0;
    int nothingElse = 0;
    unsigned elseDevice = 0;
    std::string elseItem;
};

StoredTask Stored(int id)
{
    StoredTask s;
    sched_task_t* t = scheduler_fetch_task(g_sched, id, 0);
    EXPECT_NE(t, nullptr) << "task " << id;
    if (!t)
        return s;
    s.name = Text(t->name);
    s.type = t->type;
    s.first = t->first;
    s.interval = t->interval;
    s.source = t->source_device_id;
    s.sourceItem = Text(t->source_item);
    s.sourceFlag = Text(t->source_flag);
    s.target = t->target_device_id;
    s.targetItem = Text(t->target_item);
    s.targetFlag = Text(t->target_flag);
    s.fixed = t->fixed_value;
    const sched_condition_t& k = t->condition;
    s.rightFixed = k.right.is_fixed;
    s.rightDevice = k.right.device_id;
    s.rightItem = Text(k.right.item);
    s.rightFlag = Text(k.right.flag);
    s.rightValue = k.right.value;
    s.op = k.op;
    s.thenValue = k.then_value;
    s.nothingElse = k.do_nothing_else;
    s.elseDevice = k.else_target.device_id;
    s.elseItem = Text(k.else_target.item);
    scheduler_drop_task(g_sched, t);
    return s;
}

// The source or target picker: records how it opened, then picks.
class PickSetpoint : public wxExpectModalBase<SetpOrValueDialog, PickSetpoint>
{
public:
    struct Opened
    {
        wxString title;
        bool fixed = false;
        wxString value;
        bool hasRadios = false;
    };

    PickSetpoint(bool fixed, const wxString& device, const wxString& setpoint, const wxString& value,
                 Opened* opened = nullptr)
        : m_fixed(fixed)
        , m_device(device)
        , m_setpoint(setpoint)
        , m_value(value)
        , m_opened(opened)
    {
    }

protected:
    int OnInvoked(SetpOrValueDialog* dialog) const override
    {
        if (m_opened) {
            m_opened->title = dialog->GetTitle();
            m_opened->fixed = dialog->IsFixedValue();
            m_opened->value = dialog->GetValueText();
            m_opened->hasRadios = dialog->GetFixedRadio() != nullptr;
        }
        if (dialog->GetFixedRadio())
            (m_fixed ? dialog->GetFixedRadio() : dialog->GetSetpointRadio())->SetValue(true);
        if (!dialog->GetDeviceChoice()->SetStringSelection(m_device))
            throw WxTestFailure("device not offered: " + m_device);
        dialog->GetSetpointField()->SetValue(m_setpoint);
        if (dialog->GetValueField())
            dialog->GetValueField()->SetValue(m_value);
        return wxID_OK;
    }

private:
    bool m_fixed;
    wxString m_device, m_setpoint, m_value;
    Opened* m_opened;
};

class PickDate : public wxExpectModalBase<DateSelectionDialog, PickDate>
{
public:
    PickDate(const wxDateTime& date, int button, wxDateTime* opened = nullptr)
        : m_date(date)
        , m_button(button)
        , m_opened(opened)
    {
    }

protected:
    int OnInvoked(DateSelectionDialog* dialog) const override
    {
        if (m_opened)
            *m_opened = dialog->GetDate();
        dialog->SetDate(m_date);
        return m_button;
    }

private:
    wxDateTime m_date;
    int m_button;
    wxDateTime* m_opened;
};

double ReadSetpoint(unsigned short deviceId, const char* item)
{
    double value = -999;
    device_t* device = devicemgr_fetch_device(deviceId, 0);
    if (!device)
        return value;
    const uint16_t networkId = device->network_id;
    devicemgr_drop_device(device);
    network_t* network = networkmgr_fetch_network(networkId, 1000);
    if (!network)
        return value;
    network_reset_request(network);
    network_queue_read_float(network, deviceId, item, "");
    network_flush(network);
    network_result_float(network, deviceId, item, "", &value);
    networkmgr_drop_network(network);
    return value;
}

class SchedulerTest : public ::testing::Test
{
protected:
    test::TempDir config;
    test::CoreRun core{config.path(), true};
};

TEST_F(SchedulerTest, EditsTheDemoTasksInPlaceAddsAndRemoves)
{
    const unsigned boiler = DeviceId("Boiler");
    const unsigned greenhouse = DeviceId("Greenhouse");
    ASSERT_NE(boiler, 0u);
    auto* dialog = new SchedulerDialog(nullptr, wxID_ANY, "Scheduler");
    dialog->Show();
    WxTestYield();
    wxListBox* list = dialog->GetTaskList();

    // Opening shows the first task, a condition.
    ASSERT_EQ(Rows(list), (std::vector<wxString>{"Boiler output cycle", "Greenhouse follows boiler"}));
    EXPECT_EQ(list->GetSelection(), 0);
    const int cycle = dialog->GetShownTaskId();
    const int follow = static_cast<int>(wxPtrToUInt(list->GetClientData(1)));
    EXPECT_TRUE(dialog->GetDetails()->IsEnabled());
    EXPECT_EQ(dialog->GetTypeChoice()->GetStringSelection(), "Condition");
    EXPECT_TRUE(dialog->IsConditionShown());
    EXPECT_FALSE(dialog->IsValueShown() || dialog->IsFromShown() || dialog->IsToShown());
    EXPECT_TRUE(dialog->IsElseRowShown());
    EXPECT_EQ(dialog->GetLeftButton()->GetLabel(), "Boiler: OUT");
    EXPECT_EQ(dialog->GetOperatorButton()->GetLabel(), "is less than");
    EXPECT_EQ(dialog->GetRightButton()->GetLabel(), "50");
    EXPECT_EQ(dialog->GetThenTargetButton()->GetLabel(), "Boiler: OUT");
    EXPECT_EQ(dialog->GetThenValueField()->GetValue(), "75");
    EXPECT_EQ(dialog->GetRepeatField()->GetValue(), "2");
    EXPECT_EQ(dialog->GetUnitChoice()->GetStringSelection(), "second(s)");

    // Six presses of the operator button come back to the first operator.
    for (int press = 1; press <= 6; ++press) {
        Click(dialog->GetOperatorButton());
        if (press == 1) {
            EXPECT_EQ(Stored(cycle).op, SCHED_OP_LE);
            EXPECT_EQ(dialog->GetOperatorButton()->GetLabel(), "is not greater than");
        }
    }
    EXPECT_EQ(Stored(cycle).op, SCHED_OP_LT);
    EXPECT_EQ(dialog->GetOperatorButton()->GetLabel(), "is less than");

    Tick(dialog->GetDoNothingBox(), true);
    EXPECT_FALSE(dialog->IsElseRowShown());
    EXPECT_EQ(Stored(cycle).nothingElse, 1);
    Tick(dialog->GetDoNothingBox(), false);
    EXPECT_TRUE(dialog->IsElseRowShown());
    EXPECT_EQ(Stored(cycle).nothingElse, 0);

    Type(dialog->GetThenValueField(), "lots");
    EXPECT_EQ(dialog->GetThenValueField()->GetValue(), "75");
    EXPECT_EQ(Stored(cycle).thenValue, 75);
    Type(dialog->GetThenValueField(), "80");
    EXPECT_EQ(Stored(cycle).thenValue, 80);

    // The right operand: from a fixed 50 to a setpoint with a flag, and back.
    PickSetpoint::Opened opened;
    wxTEST_DIALOG(Click(dialog->GetRightButton()), PickSetpoint(false, "Greenhouse", "SP1:x", "", &opened));
    EXPECT_EQ(opened.title, "Select source");
    EXPECT_TRUE(opened.fixed);
    EXPECT_EQ(opened.value, "50");
    StoredTask stored = Stored(cycle);
    EXPECT_EQ(stored.rightFixed, 0);
    EXPECT_EQ(stored.rightDevice, greenhouse);
    EXPECT_EQ(stored.rightItem, "SP1");
    EXPECT_EQ(stored.rightFlag, "x");
    EXPECT_EQ(dialog->GetRightButton()->GetLabel(), "Greenhouse: SP1:x");
    wxTEST_DIALOG(Click(dialog->GetRightButton()), PickSetpoint(true, "Greenhouse", "SP1", "12.5", &opened));
    EXPECT_FALSE(opened.fixed);
    stored = Stored(cycle);
    EXPECT_EQ(stored.rightFixed, 1);
    EXPECT_EQ(stored.rightValue, 12.5);
    EXPECT_EQ(stored.rightFlag, "");
    EXPECT_EQ(dialog->GetRightButton()->GetLabel(), "12.5");

    // A target without a device.
    wxTEST_DIALOG(Click(dialog->GetElseTargetButton()), PickSetpoint(false, "", "PV", "", &opened));
    EXPECT_EQ(opened.title, "Select target");
    EXPECT_FALSE(opened.hasRadios);
    EXPECT_EQ(Stored(cycle).elseDevice, 0u);
    EXPECT_EQ(Stored(cycle).elseItem, "PV");
    EXPECT_EQ(dialog->GetElseTargetButton()->GetLabel(), "<Click to change>");

    // The copy task: its sections, setpoint splitting and device choice.
    PickRow(list, 1);
    EXPECT_EQ(dialog->GetShownTaskId(), follow);
    EXPECT_TRUE(dialog->IsFromShown() && dialog->IsToShown());
    EXPECT_FALSE(dialog->IsConditionShown() || dialog->IsValueShown());
    EXPECT_EQ(dialog->GetSourceDeviceChoice()->GetStringSelection(), "Boiler");
    EXPECT_EQ(dialog->GetSourceSetpointField()->GetValue(), "OUT");
    EXPECT_EQ(dialog->GetTargetDeviceChoice()->GetStringSelection(), "Greenhouse");
    EXPECT_EQ(dialog->GetTargetSetpointField()->GetValue(), "MOUT");
    Type(dialog->GetSourceSetpointField(), "a:db");
    EXPECT_EQ(Stored(follow).sourceItem, "a");
    EXPECT_EQ(Stored(follow).sourceFlag, "db");
    Type(dialog->GetSourceSetpointField(), "a");
    EXPECT_EQ(Stored(follow).sourceItem, "a");
    EXPECT_EQ(Stored(follow).sourceFlag, "");
    Choose(dialog->GetTargetDeviceChoice(), "Main line");
    EXPECT_EQ(Stored(follow).target, DeviceId("Main line"));

    // Intervals: 7200 s show as 2 hours; the unit switch keeps the number.
    Type(dialog->GetRepeatField(), "7200");
    EXPECT_EQ(Stored(follow).interval, 7200);
    PickRow(list, 0);
    PickRow(list, 1);
    EXPECT_EQ(dialog->GetRepeatField()->GetValue(), "2");
    EXPECT_EQ(dialog->GetUnitChoice()->GetStringSelection(), "hour(s)");
    Choose(dialog->GetUnitChoice(), "minute(s)");
    EXPECT_EQ(Stored(follow).interval, 120);
    EXPECT_EQ(dialog->GetRepeatField()->GetValue(), "2");
    Type(dialog->GetRepeatField(), "2.5");
    EXPECT_EQ(dialog->GetRepeatField()->GetValue(), "2");
    EXPECT_EQ(Stored(follow).interval, 120);
    Choose(dialog->GetUnitChoice(), "second(s)");
    Type(dialog->GetRepeatField(), "86430");
    PickRow(list, 1);
    EXPECT_EQ(dialog->GetRepeatField()->GetValue(), "86430");
    EXPECT_EQ(dialog->GetUnitChoice()->GetStringSelection(), "second(s)");

    // The first time and date.
    Type(dialog->GetFirstTimeField(), " 7.5 ");
    EXPECT_EQ(dialog->GetFirstTimeField()->GetValue(), "07:05");
    ux_datetime_t first = Stored(follow).first;
    int hour = -1, minute = -1, second = -1;
    dt_get_hms(&first, &hour, &minute, &second);
    EXPECT_EQ(hour * 10000 + minute * 100 + second, 70500);
    Type(dialog->GetFirstTimeField(), "24:00");
    EXPECT_EQ(dialog->GetFirstTimeField()->GetValue(), "07:05");
    EXPECT_EQ(Stored(follow).first, first);
    const wxString storedDate = dialog->GetFirstDateButton()->GetLabel();
    wxDateTime calendarOpened;
    wxTEST_DIALOG(Click(dialog->GetFirstDateButton()), PickDate(wxDateTime(3, wxDateTime::Feb, 2031), wxID_OK,
                                                                &calendarOpened));
    EXPECT_EQ(calendarOpened.FormatISODate(), storedDate);
    EXPECT_EQ(dialog->GetFirstDateButton()->GetLabel(), "2031-02-03");
    first = Stored(follow).first;
    int year = 0, month = 0, day = 0;
    dt_get_ymd(&first, &year, &month, &day);
    dt_get_hms(&first, &hour, &minute, &second);
    EXPECT_EQ(year * 10000 + month * 100 + day, 20310203);
    EXPECT_EQ(hour * 100 + minute, 705);
    wxTEST_DIALOG(Click(dialog->GetFirstDateButton()), PickDate(wxDateTime(1, wxDateTime::Jan, 2040), wxID_CANCEL));
    EXPECT_EQ(Stored(follow).first, first);

    // An empty name lists the task by its id; a name typed but not yet
    // committed goes with the task when another one is picked.
    Type(dialog->GetNameField(), "");
    EXPECT_EQ(list->GetString(1), wxString::Format("Task %d", follow));
    EXPECT_EQ(list->GetSelection(), 1);
    dialog->GetNameField()->SetValue("Follower");
    dialog->GetNameField()->MarkDirty();
    PickRow(list, 0);
    EXPECT_EQ(Stored(follow).name, "Follower");
    EXPECT_EQ(list->GetString(1), "Follower");
    EXPECT_EQ(dialog->GetShownTaskId(), cycle);
    EXPECT_EQ(list->GetSelection(), 0);

    // Add: a new task, selected and shown; then a fixed-value task.
    Click(dialog->GetAddButton());
    Click(dialog->GetAddButton());
    ASSERT_EQ(list->GetCount(), 4u);
    const int added = dialog->GetShownTaskId();
    EXPECT_EQ(list->GetSelection(), 3);
    EXPECT_EQ(list->GetString(3), wxString::Format("Task %d", added));
    EXPECT_EQ(dialog->GetTypeChoice()->GetStringSelection(), "Copy setpoint value");
    Choose(dialog->GetTypeChoice(), "Set setpoint to fixed value");
    EXPECT_EQ(Stored(added).type, SCHED_TASK_FIXED);
    EXPECT_TRUE(dialog->IsValueShown() && dialog->IsToShown());
    EXPECT_FALSE(dialog->IsFromShown() || dialog->IsConditionShown());
    Type(dialog->GetValueField(), "nan");
    EXPECT_EQ(dialog->GetValueField()->GetValue(), "0");
    Type(dialog->GetValueField(), "-3.25");
    EXPECT_EQ(Stored(added).fixed, -3.25);

    // Remove: the last row selects the new last, a middle row keeps its index,
    // the only one leaves nothing selected and the details disabled.
    const int third = static_cast<int>(wxPtrToUInt(list->GetClientData(2)));
    Click(dialog->GetRemoveButton());
    EXPECT_EQ(list->GetCount(), 3u);
    EXPECT_EQ(list->GetSelection(), 2);
    EXPECT_EQ(dialog->GetShownTaskId(), third);
    PickRow(list, 1);
    Click(dialog->GetRemoveButton());
    EXPECT_EQ(Rows(list), (std::vector<wxString>{"Boiler output cycle", wxString::Format("Task %d", third)}));
    EXPECT_EQ(dialog->GetShownTaskId(), third);
    Click(dialog->GetRemoveButton());
    EXPECT_EQ(dialog->GetShownTaskId(), cycle);
    Click(dialog->GetRemoveButton());
    EXPECT_TRUE(list->IsEmpty());
    EXPECT_EQ(list->GetSelection(), wxNOT_FOUND);
    EXPECT_EQ(dialog->GetShownTaskId(), -1);
    EXPECT_FALSE(dialog->GetDetails()->IsEnabled());
    EXPECT_EQ(scheduler_get_task_count(g_sched), 0);

    // Close saves; a save that fails says so instead of passing for done.
    Click(dialog->GetAddButton());
    Type(dialog->GetNameField(), "Kept");
    const std::string ini = config.file("plexord.ini");
    std::filesystem::remove(ini);
    std::filesystem::create_directories(ini + "/in-the-way");
    wxString message;
    wxTEST_DIALOG(Click(dialog->GetCloseButton()), test::AnswerMessage(wxID_OK, &message));
    EXPECT_NE(message.Find("could not be saved"), wxNOT_FOUND) << message;
    std::filesystem::remove_all(ini);
    dialog->Show();
    Click(dialog->GetCloseButton());
    EXPECT_FALSE(dialog->IsShown());
    EXPECT_EQ(dialog->GetReturnCode(), 0);
    const std::string saved = test::ReadFile(ini);
    EXPECT_NE(saved.find("name=Kept"), std::string::npos);
    EXPECT_EQ(saved.find("Boiler output cycle"), std::string::npos);

    // Text typed when the dialog goes without a close still reaches the task.
    const int kept = dialog->GetShownTaskId();
    dialog->GetNameField()->SetValue("Last");
    dialog->GetNameField()->MarkDirty();
    dialog->Destroy();
    WxTestYield();
    EXPECT_EQ(Stored(kept).name, "Last");
}

// The whole path of an operator: the menu's entry opens the dialog modally, a
// task is made with its controls alone, the close box saves and ends it, and
// the core runs the task on the plant.
TEST_F(SchedulerTest, ATaskMadeWithTheDialogWritesThePlant)
{
    const unsigned short boiler = static_cast<unsigned short>(DeviceId("Boiler"));
    ASSERT_EQ(ReadSetpoint(boiler, "SPLO"), 40);

    wxString title;
    bool wasModal = false, stillModal = true;
    int returnCode = -1;
    int taskId = -1;
    wxTheApp->CallAfter([&] {
        SchedulerDialog* dialog = nullptr;
        for (wxWindow* window : wxTopLevelWindows)
            if (auto* found = dynamic_cast<SchedulerDialog*>(window))
                dialog = found;
        if (!dialog)
            return;
        title = dialog->GetTitle();
        wasModal = dialog->IsModal();
        Click(dialog->GetAddButton());
        taskId = dialog->GetShownTaskId();
        Type(dialog->GetNameField(), "Raise low limit");
        Choose(dialog->GetTypeChoice(), "Set setpoint to fixed value");
        Choose(dialog->GetTargetDeviceChoice(), "Boiler");
        Type(dialog->GetTargetSetpointField(), "SPLO");
        Type(dialog->GetValueField(), "47.25");
        Type(dialog->GetFirstTimeField(), wxDateTime::Now().Format("%H:%M"));
        Choose(dialog->GetUnitChoice(), "second(s)");
        Type(dialog->GetRepeatField(), "2");
        dialog->Close();
        stillModal = dialog->IsModal();
        returnCode = dialog->GetReturnCode();
    });
    // Ends a dialog left open, so that a fault fails instead of hanging.
    wxTimer watchdog;
    watchdog.Bind(wxEVT_TIMER, [](wxTimerEvent&) {
        for (wxWindow* window : wxTopLevelWindows)
            if (auto* dialog = dynamic_cast<SchedulerDialog*>(window); dialog && dialog->IsModal())
                dialog->EndModal(wxID_ABORT);
    });
    watchdog.StartOnce(20000);
    RunScheduler(nullptr);
    watchdog.Stop();

    EXPECT_EQ(title, "Scheduler");
    EXPECT_TRUE(wasModal);
    EXPECT_FALSE(stillModal);
    EXPECT_EQ(returnCode, 0);
    ASSERT_GT(taskId, 0);
    EXPECT_EQ(scheduler_get_task_count(g_sched), 3);

    EXPECT_TRUE(test::WaitFor([&] { return ReadSetpoint(boiler, "SPLO") == 47.25; }, 10000))
        << ReadSetpoint(boiler, "SPLO");

    const std::string saved = test::ReadFile(config.file("plexord.ini"));
    const size_t section = saved.find("[task." + std::to_string(taskId) + "]");
    ASSERT_NE(section, std::string::npos) << saved;
    const std::string task = saved.substr(section, saved.find("\n[", section + 1) - section);
    for (const char* line : {"name=Raise low limit", "type=1", "interval=2", "target_item=SPLO", "value=47.25"})
        EXPECT_NE(task.find(std::string(line) + "\n"), std::string::npos) << line << " in\n" << task;
    EXPECT_NE(task.find("target_device=" + std::to_string(boiler) + "\n"), std::string::npos) << task;
}

} // namespace
