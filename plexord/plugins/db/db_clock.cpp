#include "db_clock.h"

#include <cctype>
#include <cstring>
#include <ctime>

namespace dbclock {

namespace {

bool same(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b)
        if (std::toupper(static_cast<unsigned char>(*a)) != std::toupper(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

bool local(int64_t t, struct tm &out)
{
    time_t tt = static_cast<time_t>(t);
    return localtime_r(&tt, &out) != nullptr;
}

int days_in_month(int year, int month)
{
    static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : d[month - 1];
}

bool valid_date(int year, int month, int day)
{
    return year >= 1970 && year <= 2097 && month >= 1 && month <= 12 && day >= 1 &&
           day <= days_in_month(year, month);
}

Result make(int year, int month, int day, int hour, int minute, int second, int64_t &out)
{
    struct tm f {};
    f.tm_year = year - 1900;
    f.tm_mon = month - 1;
    f.tm_mday = day;
    f.tm_hour = hour;
    f.tm_min = minute;
    f.tm_sec = second;
    f.tm_isdst = -1;
    out = static_cast<int64_t>(mktime(&f));
    return OK;
}

} // namespace

int item_of(const char *item)
{
    static const char *const names[] = {"V7766", "V7767", "V7770", "V7771", "V7772",
                                        "V7773", "V7774", "V7775", "V7776"};
    for (int i = 0; i < 9; ++i)
        if (same(item, names[i]))
            return i;
    return -1;
}

int64_t pack_date(int year, int month, int day)
{
    return day + month * 32 + static_cast<int64_t>(year - 1970) * 512;
}

int64_t pack_date_time(int year, int month, int day, int hour, int minute)
{
    return pack_date(year, month, day) + static_cast<int64_t>(hour * 60 + minute) * 65536;
}

Result read(int item, const char *flag, int64_t t, int64_t &value)
{
    struct tm f {};
    if (!local(t, f))
        return BAD_VALUE;
    int year = f.tm_year + 1900, month = f.tm_mon + 1;
    switch (item) {
    case SECONDS: value = f.tm_sec; return OK;
    case MINUTES: value = f.tm_min; return OK;
    case HOURS: value = f.tm_hour; return OK;
    case WEEKDAY: value = f.tm_wday; return OK;
    case DAY: value = f.tm_mday; return OK;
    case MONTH: value = month; return OK;
    case YEAR: value = year; return OK;
    case SET_DATE:
        if (same(flag, "DB"))
            value = pack_date_time(year, month, f.tm_mday, f.tm_hour, f.tm_min);
        else if (same(flag, "B"))
            value = pack_date(year, month, f.tm_mday);
        else
            return BAD_FLAG;
        return OK;
    case SET_TIME:
        if (!same(flag, "B"))
            return BAD_FLAG;
        value = f.tm_hour * 60 + f.tm_min;
        return OK;
    default: return BAD_VALUE;
    }
}

Result write(int item, const char *flag, int64_t value, int64_t t, int64_t &new_time)
{
    if (item != SET_DATE && item != SET_TIME)
        return READ_ONLY;
    struct tm now {};
    if (!local(t, now))
        return BAD_VALUE;
    if (item == SET_TIME) {
        if (!same(flag, "B"))
            return BAD_FLAG;
        if (value < 0 || value >= 1440)
            return BAD_VALUE;
        return make(now.tm_year + 1900, now.tm_mon + 1, now.tm_mday, static_cast<int>(value / 60),
                    static_cast<int>(value % 60), 0, new_time);
    }
    bool with_time = same(flag, "DB");
    if (!with_time && !same(flag, "B"))
        return BAD_FLAG;
    if (value < 0 || value > 0xffffffffLL || (!with_time && value > 0xffff))
        return BAD_VALUE;
    int day = static_cast<int>(value & 31);
    int month = static_cast<int>((value >> 5) & 15);
    int year = 1970 + static_cast<int>((value >> 9) & 127);
    int minutes = static_cast<int>((value >> 16) & 0xffff);
    if (!valid_date(year, month, day) || minutes >= 1440)
        return BAD_VALUE;
    if (with_time)
        return make(year, month, day, minutes / 60, minutes % 60, 0, new_time);
    return make(year, month, day, now.tm_hour, now.tm_min, now.tm_sec, new_time);
}

} // namespace dbclock
