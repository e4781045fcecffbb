#include <widgetkit/datetime.h>

#include <climits>
#include <ctime>

namespace {

// Reads an int the way scanf's %d does (leading blanks, a sign, digits), but
// a number beyond an int is a failure rather than undefined behaviour.
bool ScanInt(const wxString& text, size_t& pos, int& value)
{
    const size_t n = text.length();
    while (pos < n) {
        const wxUniChar c = text[pos];
        if (c != ' ' && c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r')
            break;
        ++pos;
    }
    bool negative = false;
    if (pos < n && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    long long v = 0;
    size_t digits = 0;
    for (; pos < n; ++pos, ++digits) {
        const wxUniChar c = text[pos];
        if (c < '0' || c > '9')
            break;
        v = v * 10 + (c.GetValue() - '0');
        if (v > static_cast<long long>(INT_MAX) + 1)
            return false;
    }
    if (digits == 0)
        return false;
    if (negative)
        v = -v;
    if (v < INT_MIN || v > INT_MAX)
        return false;
    value = static_cast<int>(v);
    return true;
}

bool ScanLiteral(const wxString& text, size_t& pos, char c)
{
    if (pos >= text.length() || text[pos] != c)
        return false;
    ++pos;
    return true;
}

// Days from 1970-01-01 to the given proleptic Gregorian date; a day beyond
// the month's length runs on into the next month, as timegm does.
std::int64_t DaysFromCivil(std::int64_t y, int m, int d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

} // namespace

vekDateTime::vekDateTime()
{
    Now();
}

void vekDateTime::Now()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!localtime_r(&now, &local))
        return;
    m_year = local.tm_year + 1900;
    m_month = local.tm_mon + 1;
    m_day = local.tm_mday;
    m_hour = local.tm_hour;
    m_minute = local.tm_min;
}

bool vekDateTime::SetDate(int year, int month, int day)
{
    m_year = year;
    const bool monthOk = month >= 1 && month <= 12;
    const bool dayOk = day >= 1 && day <= 31;
    m_month = monthOk ? month : 1;
    m_day = dayOk ? day : 1;
    return monthOk && dayOk;
}

bool vekDateTime::SetTime(int hour, int minute)
{
    const bool hourOk = hour >= 0 && hour <= 24;
    const bool minuteOk = minute >= 0 && minute <= 59 && !(hour > 23 && minute > 0);
    m_hour = hourOk ? hour : 0;
    m_minute = minuteOk ? minute : 0;
    return hourOk && minuteOk;
}

bool vekDateTime::ParseDate(const wxString& text)
{
    size_t pos = 0;
    int year = 0, month = 0, day = 0;
    if (!ScanInt(text, pos, year) || !ScanLiteral(text, pos, '-') || !ScanInt(text, pos, month) ||
        !ScanLiteral(text, pos, '-') || !ScanInt(text, pos, day))
        return false;
    return SetDate(year, month, day);
}

bool vekDateTime::ParseTime(const wxString& text)
{
    size_t pos = 0;
    int hour = 0, minute = 0;
    if (!ScanInt(text, pos, hour) || !ScanLiteral(text, pos, ':') || !ScanInt(text, pos, minute))
        return false;
    return SetTime(hour, minute);
}

wxString vekDateTime::FormatDate() const
{
    return wxString::Format("%02d-%02d-%02d", m_year, m_month, m_day);
}

wxString vekDateTime::FormatTime() const
{
    return wxString::Format("%02d:%02d", m_hour, m_minute);
}

std::int64_t vekDateTime::MkTime() const
{
    const std::int64_t days = DaysFromCivil(m_year, m_month, m_day);
    return days * 86400 + static_cast<std::int64_t>(m_hour) * 3600 + static_cast<std::int64_t>(m_minute) * 60;
}

bool vekDateTime::LocalTime(std::int64_t seconds)
{
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Civil date from a day count (the inverse of DaysFromCivil).
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const std::int64_t year = yoe + era * 400 + (month <= 2);
    if (year < INT_MIN || year > INT_MAX)
        return false;
    m_year = static_cast<int>(year);
    m_month = month;
    m_day = day;
    m_hour = static_cast<int>(rest / 3600);
    m_minute = static_cast<int>(rest % 3600 / 60);
    return true;
}

bool vekDateTime::operator==(const vekDateTime& other) const
{
    return m_year == other.m_year && m_month == other.m_month && m_day == other.m_day && m_hour == other.m_hour &&
           m_minute == other.m_minute;
}

bool vekDateTime::operator>(const vekDateTime& other) const
{
    if (m_year != other.m_year)
        return m_year > other.m_year;
    if (m_month != other.m_month)
        return m_month > other.m_month;
    if (m_day != other.m_day)
        return m_day > other.m_day;
    if (m_hour != other.m_hour)
        return m_hour > other.m_hour;
    return m_minute > other.m_minute;
}
