// What the scheduler dialog computes without a window: how an interval is
// shown, the time of day as typed, setpoint texts and labels, the operator
// cycle and which task is selected after a removal.
#ifndef OPSDESK_SCHEDLOGIC_H
#define OPSDESK_SCHEDLOGIC_H

#include <wx/string.h>

#include <array>

// A choice entry: an untranslated label and its item data.
struct SchedChoiceEntry
{
    const char* label;
    long data;
};

// Task types by code.
extern const std::array<SchedChoiceEntry, 3> kTaskTypes;
// Repetition units by seconds per unit, largest first.
extern const std::array<SchedChoiceEntry, 4> kIntervalUnits;

// An interval as the dialog shows it: a number of units.
struct IntervalDisplay
{
    long unitSeconds;
    long long number;
};

// Whole days and remaining seconds shown in the largest unit that divides
// the remainder (days when it is 0).
IntervalDisplay DisplayInterval(int days, int seconds);

// The interval after the unit changes from oldUnit to newUnit seconds, so
// that the number shown stays; saturates instead of overflowing.
long ConvertIntervalUnit(long interval, long newUnit, long oldUnit);

// A repetition count typed in units of unitSeconds; false when the text is
// no whole number of 0 or more, or the interval would not fit.
bool ParseRepeatCount(const wxString& text, long unitSeconds, long& interval);

// The first time as typed ("7.5", " 07:05 "); false when it does not match.
bool ParseTimeOfDay(const wxString& text, int& hour, int& minute);
wxString FormatTimeOfDay(int hour, int minute);
wxString FormatDate(int year, int month, int day);

// "item" or "item:flag"; null texts count as empty.
wxString SetpointText(const char* item, const char* flag);

// A setpoint on a button: "Device: item:flag", or "<Click to change>" when
// there is no device (null name).
wxString SetpointLabel(const wxString* deviceName, const wxString& setpoint);

// 1 -> 2 -> ... -> 6 -> 1; anything else starts over at 1.
int NextOperator(int op);
// The translated label of an operator code; empty for an unknown one.
wxString OperatorLabel(int op);

// The list label of a task: its name, or "Task <id>" without one.
wxString TaskLabel(int id, const char* name);

// The row selected after removing row index of count rows; -1 for none.
int SelectionAfterRemoval(int index, int count);

// Replaces a record text made with ux_strdup, freeing the old one.
void ReplaceRecordText(char*& field, const wxString& text);

#endif
