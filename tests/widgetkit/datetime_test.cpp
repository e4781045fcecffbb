#include <widgetkit/datetime.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

namespace {

// Sets TZ for the test process and takes it away again, so that a zone under
// test cannot leak into other cases.
struct ScopedTimeZone
{
    explicit ScopedTimeZone(const char* zone)
    {
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone()
    {
        unsetenv("TZ");
        tzset();
    }
};

vekDateTime Make(int y, int mo, int d, int h, int mi)
{
    vekDateTime t;
    EXPECT_TRUE(t.SetDate(y, mo, d));
    EXPECT_TRUE(t.SetTime(h, mi));
    return t;
}

std::string Fields(const vekDateTime& t)
{
    return std::to_string(t.GetYear()) + "-" + std::to_string(t.GetMonth()) + "-" + std::to_string(t.GetDay()) +
           " " + std::to_string(t.GetHour()) + ":" + std::to_string(t.GetMinute());
}

TEST(VekDateTime, ParseStoresWhatIsInRange)
{
    // Each case starts from 1980-6-7 12:34; an unread text changes nothing.
    struct Case
    {
        const char* text;
        bool ok;
        const char* fields;
    };
    const Case dates[] = {
        {"2024-13-40", false, "2024-1-1 12:34"},   {"2024-0-15", false, "2024-1-15 12:34"},
        {"2024-2-31", true, "2024-2-31 12:34"},    {" 2024-2-29 and more", true, "2024-2-29 12:34"},
        {"2024-02", false, "1980-6-7 12:34"},      {"2024/02/03", false, "1980-6-7 12:34"},
        {"2024-99999999999-1", false, "1980-6-7 12:34"},
    };
    const Case times[] = {
        {"24:00", true, "1980-6-7 24:0"},  {"24:01", false, "1980-6-7 24:0"}, {"7:60", false, "1980-6-7 7:0"},
        {"07:05", true, "1980-6-7 7:5"},   {"25:10", false, "1980-6-7 0:0"},  {"-1:30", false, "1980-6-7 0:30"},
        {"7", false, "1980-6-7 12:34"},    {"99999999999:00", false, "1980-6-7 12:34"},
    };
    auto run = [](const auto& cases, bool date) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.text);
            vekDateTime t = Make(1980, 6, 7, 12, 34);
            EXPECT_EQ(date ? t.ParseDate(c.text) : t.ParseTime(c.text), c.ok);
            EXPECT_EQ(Fields(t), c.fields);
        }
    };
    run(dates, true);
    run(times, false);
}

TEST(VekDateTime, NowIsLocalTimeAndFormats)
{
    // A zone far from UTC tells local from UTC fields; read again when a
    // minute turns meanwhile.
    ScopedTimeZone zone("<-1030>10:30");
    std::time_t before = 0;
    vekDateTime t;
    do {
        before = std::time(nullptr);
        t.Now();
    } while (std::time(nullptr) / 60 != before / 60);
    std::tm l{};
    ASSERT_TRUE(localtime_r(&before, &l));
    EXPECT_EQ(Fields(t), Fields(Make(l.tm_year + 1900, l.tm_mon + 1, l.tm_mday, l.tm_hour, l.tm_min)));

    t = Make(2024, 3, 5, 7, 5);
    EXPECT_EQ(t.FormatDate(), "2024-03-05");
    EXPECT_EQ(t.FormatTime(), "07:05");
}

TEST(VekDateTime, MkTimeIsUtcInEveryZone)
{
    struct Case
    {
        int y, mo, d, h, mi;
        std::int64_t seconds;
    };
    const Case cases[] = {
        {1970, 1, 1, 0, 0, 0},           {1969, 12, 31, 23, 59, -60},
        {2000, 1, 1, 0, 0, 946684800},   {2024, 2, 29, 12, 34, 1709210040},
        {2038, 1, 19, 3, 15, 2147483700}, {1600, 3, 1, 0, 0, -11670912000},
        {2024, 12, 31, 24, 0, 1735689600}, // 24:00 is the next midnight
    };
    // POSIX rules, so that no zone files are needed: either side of UTC, half
    // and quarter hours, summer time in either half of the year.
    for (const char* name : {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0", "IST-5:30",
                             "<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45", "<-1030>10:30"}) {
        ScopedTimeZone zone(name);
        for (const Case& c : cases)
            EXPECT_EQ(Make(c.y, c.mo, c.d, c.h, c.mi).MkTime(), c.seconds) << name << " " << c.seconds;
    }
}

TEST(VekDateTime, LocalTimeInvertsMkTime)
{
    ScopedTimeZone zone("EST5EDT,M3.2.0,M11.1.0");
    vekDateTime t;
    // 2000-02-29, 2100-03-01, 0001-01-01, 0000-01-01, 9999-12-31 23:59.
    for (std::int64_t s : {std::int64_t{0}, std::int64_t{-60}, std::int64_t{951782400}, std::int64_t{4107542400},
                           std::int64_t{-62135596800}, std::int64_t{-62167219200}, std::int64_t{253402300740}}) {
        ASSERT_TRUE(t.LocalTime(s));
        EXPECT_EQ(t.MkTime(), s);
    }
    ASSERT_TRUE(t.LocalTime(951782400 + 13 * 3600 + 7 * 60 + 59)); // seconds are dropped
    EXPECT_EQ(Fields(t), "2000-2-29 13:7");

    // Years an int cannot hold are refused without touching the fields.
    EXPECT_FALSE(t.LocalTime(std::numeric_limits<std::int64_t>::max()));
    EXPECT_FALSE(t.LocalTime(std::numeric_limits<std::int64_t>::min()));
    EXPECT_EQ(Fields(t), "2000-2-29 13:7");
}

TEST(VekDateTime, ArithmeticAndOrderAcrossSummerTime)
{
    // Central European clocks skip 02:00-03:00 on 2024-03-31 and repeat it on
    // 2024-10-27.
    ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    const vekDateTime one = Make(2024, 3, 31, 1, 0), three = Make(2024, 3, 31, 3, 0);
    EXPECT_EQ(three.MkTime() - one.MkTime(), 7200);
    EXPECT_TRUE(three > one && !(one > three));

    vekDateTime t = Make(2024, 3, 30, 12, 0);
    ASSERT_TRUE(t.LocalTime(t.MkTime() + 86400));
    EXPECT_EQ(Fields(t), "2024-3-31 12:0");
    const vekDateTime twoThirty = Make(2024, 10, 27, 2, 30);
    t = twoThirty;
    ASSERT_TRUE(t.LocalTime(t.MkTime() + 3600));
    EXPECT_EQ(Fields(t), "2024-10-27 3:30");
    EXPECT_TRUE(t > twoThirty && t != twoThirty);
}

TEST(VekDateTime, OrderComparesFieldsFromTheYearDown)
{
    const vekDateTime base = Make(2024, 6, 15, 12, 30);
    for (const vekDateTime& later : {Make(2025, 1, 1, 0, 0), Make(2024, 7, 1, 0, 0), Make(2024, 6, 16, 0, 0),
                                     Make(2024, 6, 15, 13, 0), Make(2024, 6, 15, 12, 31)}) {
        SCOPED_TRACE(Fields(later));
        EXPECT_TRUE(later > base && !(base > later) && later != base && !(later == base));
    }
    EXPECT_FALSE(base > base);
    EXPECT_TRUE(base == Make(2024, 6, 15, 12, 30));
}

} // namespace
