#include "schedlogic.h"

#include <basekit.h>
#include <plexord.h>

#include <wx/intl.h>

#include <climits>
#include <regex>
#include <string>

const std::array<SchedChoiceEntry, 3> kTaskTypes = {{
    {wxTRANSLATE("Copy setpoint value"), SCHED_TASK_COPY},
    {wxTRANSLATE("Set setpoint to fixed value"), SCHED_TASK_FIXED},
    {wxTRANSLATE("Condition"), SCHED_TASK_CONDITION},
}};

const std::array<SchedChoiceEntry, 4> kIntervalUnits = {{
    {wxTRANSLATE("day(s)"), 86400},
    {wxTRANSLATE("hour(s)"), 3600},
    {wxTRANSLATE("minute(s)"), 60},
    {wxTRANSLATE("second(s)"), 1},
}};

IntervalDisplay DisplayInterval(int days, int seconds)
{
    const long long d = days;
    if (seconds == 0)
        return {86400, d};
    if (seconds % 3600 == 0)
        return {3600, d * 24 + seconds / 3600};
    if (seconds % 60 == 0)
        return {60, d * 1440 + seconds / 60};
    return {1, d * 86400 + seconds};
}

long ConvertIntervalUnit(long interval, long newUnit, long oldUnit)
{
    if (oldUnit <= 0 || newUnit <= 0)
        return interval;
    const __int128 converted = static_cast<__int128>(interval) * newUnit / oldUnit;
    if (converted > LONG_MAX)
        return LONG_MAX;
    if (converted < LONG_MIN)
        return LONG_MIN;
    return static_cast<long>(converted);
}

bool ParseRepeatCount(const wxString& text, long unitSeconds, long& interval)
{
    wxString trimmed = text;
    trimmed.Trim(true).Trim(false);
    if (trimmed.empty() || unitSeconds <= 0)
        return false;
    for (wxUniChar c : trimmed)
        if (c < '0' || c > '9')
            return false;
    unsigned long long count = 0;
    if (!trimmed.ToULongLong(&count) || count > static_cast<unsigned long long>(LONG_MAX / unitSeconds))
        return false;
    interval = static_cast<long>(count) * unitSeconds;
    return true;
}

bool ParseTimeOfDay(const wxString& text, int& hour, int& minute)
{
    static const std::regex pattern("^ *(([0-9])|([01][0-9])|(2[0-3])) *[.:] *([0-5]?[0-9]) *$");
    const std::string s = text.utf8_string();
    std::smatch match;
    if (!std::regex_match(s, match, pattern))
        return false;
    hour = std::stoi(match[1].str());
    minute = std::stoi(match[5].str());
    return true;
}

wxString FormatTimeOfDay(int hour, int minute)
{
    return wxString::Format("%02d:%02d", hour, minute);
}

wxString FormatDate(int year, int month, int day)
{
    return wxString::Format("%d-%02d-%02d", year, month, day);
}

wxString SetpointText(const char* item, const char* flag)
{
    wxString text = wxString::FromUTF8(item ? item : "");
    if (flag && *flag)
        text << ':' << wxString::FromUTF8(flag);
    return text;
}

wxString SetpointLabel(const wxString* deviceName, const wxString& setpoint)
{
    if (!deviceName)
        return _("<Click to change>");
    return *deviceName + ": " + setpoint;
}

int NextOperator(int op)
{
    return op >= SCHED_OP_EQ && op < SCHED_OP_NE ? op + 1 : SCHED_OP_EQ;
}

wxString OperatorLabel(int op)
{
    switch (op) {
    case SCHED_OP_EQ: return _("is equal to");
    case SCHED_OP_GT: return _("is greater than");
    case SCHED_OP_GE: return _("is not less than");
    case SCHED_OP_LT: return _("is less than");
    case SCHED_OP_LE: return _("is not greater than");
    case SCHED_OP_NE: return _("is not equal to");
    default: return wxString();
    }
}

wxString TaskLabel(int id, const char* name)
{
    if (name && *name)
        return wxString::FromUTF8(name);
    return wxString::Format(_("Task %d"), id);
}

int SelectionAfterRemoval(int index, int count)
{
    if (count <= 1)
        return -1;
    if (index + 1 >= count)
        return count - 2;
    return index;
}

void ReplaceRecordText(char*& field, const wxString& text)
{
    char* old = field;
    field = ux_strdup(text.utf8_str());
    ux_free_if_not_null(old);
}
