// The scheduler dialog's rules without a window: interval display and unit
// switches, repetition counts, the time pattern, setpoint texts and labels,
// the operator cycle, the task label and the selection after a removal.
#include "schedlogic.h"

#include <basekit.h>
#include <plexord.h>

#include <gtest/gtest.h>

#include <climits>
#include <set>

TEST(SchedulerLogic, IntervalDisplayPicksTheLargestFittingUnit)
{
    struct Case
    {
        int days, seconds;
        long unit;
        long long number;
    };
    const Case cases[] = {
        {1, 30, 1, 86430},     // a remainder of whole seconds shows everything in seconds
        {0, 7200, 3600, 2},    // whole hours
        {1, 3600, 3600, 25},   // days are carried into the smaller unit
        {0, 5400, 60, 90},     // 1.5 hours are whole minutes only
        {2, 0, 86400, 2},      // no remainder: days
        {0, 0, 86400, 0},      // a task that runs once
        {INT_MAX, 1, 1, static_cast<long long>(INT_MAX) * 86400 + 1},
    };
    for (const Case& c : cases) {
        const IntervalDisplay shown = DisplayInterval(c.days, c.seconds);
        EXPECT_EQ(shown.unitSeconds, c.unit) << c.days << " d " << c.seconds << " s";
        EXPECT_EQ(shown.number, c.number) << c.days << " d " << c.seconds << " s";
    }
}

TEST(SchedulerLogic, UnitSwitchKeepsTheNumberAndRepeatCountsAreWholeNumbers)
{
    EXPECT_EQ(ConvertIntervalUnit(7200, 60, 3600), 120);        // 2 hours become 2 minutes
    EXPECT_EQ(ConvertIntervalUnit(120, 86400, 60), 2 * 86400);  // and 2 days
    EXPECT_EQ(ConvertIntervalUnit(86430, 60, 1), 86430L * 60);
    EXPECT_EQ(ConvertIntervalUnit(LONG_MAX / 2, 86400, 1), LONG_MAX); // saturates, no overflow

    struct Case
    {
        const char* text;
        long unit;
        bool ok;
        long interval;
    };
    const Case cases[] = {
        {"2", 60, true, 120},     {" 5 ", 3600, true, 18000}, {"0", 86400, true, 0},
        {"-1", 1, false, 0},      {"1.5", 60, false, 0},      {"", 1, false, 0},
        {"2 h", 1, false, 0},     {"+3", 1, false, 0},        {"99999999999999999999", 1, false, 0},
        {"106751991167301", 86400, false, 0}, // LONG_MAX seconds are fewer days than that
    };
    for (const Case& c : cases) {
        long interval = -7;
        EXPECT_EQ(ParseRepeatCount(c.text, c.unit, interval), c.ok) << c.text;
        EXPECT_EQ(interval, c.ok ? c.interval : -7) << c.text;
    }
}

TEST(SchedulerLogic, TimePattern)
{
    struct Case
    {
        const char* text;
        bool ok;
        int hour, minute;
    };
    const Case cases[] = {
        {" 7.5 ", true, 7, 5}, {"07:05", true, 7, 5},   {"23:59", true, 23, 59}, {"  9 :  07", true, 9, 7},
        {"0.0", true, 0, 0},   {"19:5", true, 19, 5},   {"24:00", false, 0, 0},  {"7:60", false, 0, 0},
        {"12", false, 0, 0},   {"1:2:3", false, 0, 0},  {"", false, 0, 0},       {"\t7:05", false, 0, 0},
        {"7-05", false, 0, 0}, {"123:00", false, 0, 0},
    };
    for (const Case& c : cases) {
        int hour = -1, minute = -1;
        EXPECT_EQ(ParseTimeOfDay(c.text, hour, minute), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(hour, c.hour) << c.text;
            EXPECT_EQ(minute, c.minute) << c.text;
        }
    }
    EXPECT_EQ(FormatTimeOfDay(7, 5), "07:05");
    EXPECT_EQ(FormatDate(2031, 2, 3), "2031-02-03");
}

TEST(SchedulerLogic, SetpointTextsAndLabels)
{
    EXPECT_EQ(SetpointText("a", "db"), "a:db");
    EXPECT_EQ(SetpointText("a", ""), "a");
    EXPECT_EQ(SetpointText("a", nullptr), "a");
    EXPECT_EQ(SetpointText(nullptr, nullptr), "");
    EXPECT_EQ(SetpointText("T\xc3\xa4", "x"), wxString::FromUTF8("T\xc3\xa4:x"));

    const wxString boiler = "Boiler";
    EXPECT_EQ(SetpointLabel(&boiler, "OUT:db"), "Boiler: OUT:db");
    EXPECT_EQ(SetpointLabel(nullptr, "OUT"), "<Click to change>");

    EXPECT_EQ(TaskLabel(7, nullptr), "Task 7");
    EXPECT_EQ(TaskLabel(7, ""), "Task 7");
    EXPECT_EQ(TaskLabel(3, "Pump \xc3\xa5"), wxString::FromUTF8("Pump \xc3\xa5"));
}

TEST(SchedulerLogic, OperatorCycleAndRemovalSelection)
{
    std::set<wxString> labels;
    int op = SCHED_OP_LT;
    for (int i = 0; i < 6; ++i) {
        labels.insert(OperatorLabel(op));
        op = NextOperator(op);
    }
    EXPECT_EQ(op, SCHED_OP_LT);
    EXPECT_EQ(labels.size(), 6u);
    EXPECT_EQ(labels.count(wxString()), 0u);
    EXPECT_EQ(NextOperator(SCHED_OP_NE), SCHED_OP_EQ);
    EXPECT_EQ(NextOperator(0), SCHED_OP_EQ);
    EXPECT_EQ(NextOperator(9), SCHED_OP_EQ);

    EXPECT_EQ(SelectionAfterRemoval(2, 3), 1); // the last of three: the new last
    EXPECT_EQ(SelectionAfterRemoval(0, 1), -1); // the only one: none
    EXPECT_EQ(SelectionAfterRemoval(0, 3), 0);
    EXPECT_EQ(SelectionAfterRemoval(1, 3), 1);
}

TEST(SchedulerLogic, RecordTextsAreReplacedWithTheRuntimeAllocator)
{
    char* field = ux_strdup("old");
    ReplaceRecordText(field, wxString::FromUTF8("n\xc3\xa4w"));
    EXPECT_STREQ(field, "n\xc3\xa4w");
    ReplaceRecordText(field, wxString());
    EXPECT_STREQ(field, "");
    ux_free_if_not_null(field);

    char* empty = nullptr;
    ReplaceRecordText(empty, "x");
    EXPECT_STREQ(empty, "x");
    ux_free_if_not_null(empty);
}
