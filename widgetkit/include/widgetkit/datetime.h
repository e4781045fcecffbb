// vekDateTime: a calendar date and time of day to the minute, kept as plain
// fields, for places where a full toolkit date is more than is wanted.
#ifndef WIDGETKIT_DATETIME_H
#define WIDGETKIT_DATETIME_H

#include <widgetkit/export.h>

#include <wx/string.h>

#include <cstdint>

class WIDGETKIT_API vekDateTime
{
public:
    // The current local date and time.
    vekDateTime();

    void Now();

    int GetYear() const { return m_year; }
    int GetMonth() const { return m_month; }
    int GetDay() const { return m_day; }
    int GetHour() const { return m_hour; }
    int GetMinute() const { return m_minute; }
    void SetYear(int year) { m_year = year; }

    // A month outside 1 to 12 or a day outside 1 to 31 is stored as 1 and
    // makes the result false; month lengths are not checked.
    bool SetDate(int year, int month, int day);
    // Hour 0 to 23 with minute 0 to 59, or 24:00; a field out of range is
    // stored as 0 and makes the result false.
    bool SetTime(int hour, int minute);

    // "year-month-day" and "hour:minute"; text that lacks a number stores
    // nothing and gives false.
    bool ParseDate(const wxString& text);
    bool ParseTime(const wxString& text);

    wxString FormatDate() const;
    wxString FormatTime() const;

    // Seconds since 1970-01-01 00:00 UTC, the fields read as UTC: the same in
    // every time zone.
    std::int64_t MkTime() const;
    // The inverse of MkTime. A value whose year does not fit the field is
    // refused: false, and nothing changes.
    bool LocalTime(std::int64_t seconds);

    bool operator==(const vekDateTime& other) const;
    bool operator!=(const vekDateTime& other) const { return !(*this == other); }
    // Later, field by field from the year down to the minute.
    bool operator>(const vekDateTime& other) const;

private:
    int m_year = 1900;
    int m_month = 1;
    int m_day = 1;
    int m_hour = 0;
    int m_minute = 0;
};

#endif
