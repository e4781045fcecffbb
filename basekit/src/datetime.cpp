// Date-time fields in local time on a seconds-since-1970 UTC value.
#include <cerrno>
#include <ctime>

#include "basekit.h"

namespace {

bool to_local(const ux_datetime_t *t, struct tm *out)
{
    if (!t)
        return false;
    time_t tt = static_cast<time_t>(*t);
    return localtime_r(&tt, out) != nullptr;
}

bool same_fields(const struct tm &a, const struct tm &b)
{
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour &&
           a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

// Turns local fields back into a value. The old value's DST flag is tried
// first so that, in the repeated hour of an autumn change, setting the same
// fields again keeps the same instant; otherwise the C library decides.
void from_local(ux_datetime_t *t, const struct tm &fields, int old_isdst)
{
    struct tm want = fields;
    want.tm_isdst = old_isdst;
    errno = 0;
    time_t r = mktime(&want);
    if (!(r == static_cast<time_t>(-1) && errno != 0)) {
        struct tm check = fields;
        check.tm_isdst = -1;
        mktime(&check); // normalises out-of-range fields the same way
        if (same_fields(want, check)) {
            *t = static_cast<ux_datetime_t>(r);
            return;
        }
    }
    want = fields;
    want.tm_isdst = -1;
    errno = 0;
    r = mktime(&want);
    if (r == static_cast<time_t>(-1) && errno != 0)
        return;
    *t = static_cast<ux_datetime_t>(r);
}

} // namespace

extern "C" {

ux_datetime_t dt_now(void)
{
    return static_cast<ux_datetime_t>(time(nullptr));
}

void dt_get_ymd(const ux_datetime_t *t, int *year, int *month, int *day)
{
    struct tm tm {};
    if (!to_local(t, &tm))
        return;
    if (year)
        *year = tm.tm_year + 1900;
    if (month)
        *month = tm.tm_mon + 1;
    if (day)
        *day = tm.tm_mday;
}

void dt_set_ymd(ux_datetime_t *t, int year, int month, int day)
{
    struct tm tm {};
    if (!to_local(t, &tm))
        return;
    int isdst = tm.tm_isdst;
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    from_local(t, tm, isdst);
}

void dt_get_hms(const ux_datetime_t *t, int *hour, int *minute, int *second)
{
    struct tm tm {};
    if (!to_local(t, &tm))
        return;
    if (hour)
        *hour = tm.tm_hour;
    if (minute)
        *minute = tm.tm_min;
    if (second)
        *second = tm.tm_sec;
}

void dt_set_hms(ux_datetime_t *t, int hour, int minute, int second)
{
    struct tm tm {};
    if (!to_local(t, &tm))
        return;
    int isdst = tm.tm_isdst;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    from_local(t, tm, isdst);
}

} // extern "C"
