#include <widgetkit/datetime.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

namespace {

// Sets TZ for the test process and restores it, so that a zone under test
// cannot leak into the other cases.
class ScopedTimeZone
{
public:
    explicit ScopedTimeZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ")) {
            m_had = true;
            m_old = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone()
    {
        if (m_had)
            setenv("TZ", m_old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_had = false;
    std::string m_old;
};

// POSIX rules, so that no zone files are needed: far east and west of UTC,
// half and quarter hours, and zones with summer time either side of the year.
const char* const Zones[] = {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0", "IST-5:30",
                             "<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45", "<-1030>10:30"};

vekDateTime Make(int y, int mo, int d, int h, int mi)
{
    vekDateTime t;
    EXPECT_TRUE(t.SetDate(y, mo, d));
    EXPECT_TRUE(t.SetTime(h, mi));
    return t;
}

void ExpectFields(const vekDateTime& t, int y, int mo, int d, int h, int mi)
{
    EXPECT_EQ(t.GetYear(), y);
    EXPECT_EQ(t.GetMonth(), mo);
    EXPECT_EQ(t.GetDay(), d);
    EXPECT_EQ(t.GetHour(), h);
    EXPECT_EQ(t.GetMinute(), mi);
}

TEST(VekDateTime, ParseDateStoresLikeSetDate)
{
    struct Case
    {
        const char* text;
        bool ok;
        int year, month, day; // what is stored; 0 0 0 = nothing changes
    };
    const Case cases[] = {
        {"2024-13-40", false, 2024, 1, 1},
        {"2024-0-15", false, 2024, 1, 15},
        {"2024-2-31", true, 2024, 2, 31}, // month lengths are not checked
        {"1999-12-31", true, 1999, 12, 31},
        {" 2024-2-29trailing", true, 2024, 2, 29},
        {"2024-02", false, 0, 0, 0},
        {"2024/02/03", false, 0, 0, 0},
        {"", false, 0, 0, 0},
        {"2024-99999999999-1", false, 0, 0, 0}, // beyond an int: no number
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        vekDateTime t;
        ASSERT_TRUE(t.SetDate(1980, 6, 7));
        EXPECT_EQ(t.ParseDate(c.text), c.ok);
        if (c.year == 0)
            ExpectFields(t, 1980, 6, 7, t.GetHour(), t.GetMinute());
        else
            ExpectFields(t, c.year, c.month, c.day, t.GetHour(), t.GetMinute());
    }
}

TEST(VekDateTime, ParseTimeRule)
{
    struct Case
    {
        const char* text;
        bool ok;
        int hour, minute; // -1 -1 = nothing changes
    };
    const Case cases[] = {
        {"24:00", true, 24, 0},  {"24:01", false, 24, 0}, {"7:60", false, 7, 0},   {"07:05", true, 7, 5},
        {"23:59", true, 23, 59}, {"25:10", false, 0, 0},  {"-1:30", false, 0, 30}, {"0:0", true, 0, 0},
        {"7", false, -1, -1},    {":30", false, -1, -1},  {"99999999999:00", false, -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        vekDateTime t;
        ASSERT_TRUE(t.SetTime(12, 34));
        EXPECT_EQ(t.ParseTime(c.text), c.ok);
        EXPECT_EQ(t.GetHour(), c.hour < 0 ? 12 : c.hour);
        EXPECT_EQ(t.GetMinute(), c.minute < 0 ? 34 : c.minute);
    }
}

TEST(VekDateTime, Formats)
{
    const vekDateTime t = Make(2024, 3, 5, 7, 5);
    EXPECT_EQ(t.FormatDate(), "2024-03-05");
    EXPECT_EQ(t.FormatTime(), "07:05");
    vekDateTime back;
    ASSERT_TRUE(back.ParseDate(t.FormatDate()));
    ASSERT_TRUE(back.ParseTime(t.FormatTime()));
    EXPECT_TRUE(back == t);
}

TEST(VekDateTime, NowIsLocalTime)
{
    // A zone far from UTC tells local from UTC fields.
    ScopedTimeZone zone("<-1030>10:30");
    for (int attempt = 0; attempt < 3; ++attempt) {
        const std::time_t before = std::time(nullptr);
        vekDateTime t;
        if (std::time(nullptr) / 60 != before / 60)
            continue; // a minute turned while reading
        std::tm local{};
        ASSERT_TRUE(localtime_r(&before, &local));
        ExpectFields(t, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min);
        return;
    }
    FAIL() << "the minute kept turning";
}

TEST(VekDateTime, MkTimeIsUtcInEveryZone)
{
    struct Case
    {
        int y, mo, d, h, mi;
        std::int64_t seconds;
    };
    const Case cases[] = {
        {1970, 1, 1, 0, 0, 0},
        {1969, 12, 31, 23, 59, -60},
        {2000, 1, 1, 0, 0, 946684800},
        {2024, 2, 29, 12, 34, 1709210040},
        {2038, 1, 19, 3, 15, 2147483700}, // past 32-bit time
        {1600, 3, 1, 0, 0, -11670912000},
        {2024, 12, 31, 24, 0, 1735689600}, // 24:00 is the next midnight
    };
    for (const char* zoneName : Zones) {
        SCOPED_TRACE(zoneName);
        ScopedTimeZone zone(zoneName);
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.y << "-" << c.mo << "-" << c.d << " " << c.h << ":" << c.mi);
            EXPECT_EQ(Make(c.y, c.mo, c.d, c.h, c.mi).MkTime(), c.seconds);
        }
    }
}

TEST(VekDateTime, LocalTimeInvertsMkTime)
{
    ScopedTimeZone zone("EST5EDT,M3.2.0,M11.1.0");
    const std::int64_t values[] = {0, -60, 951782400 /* 2000-02-29 */, 4107542400 /* 2100-03-01 */,
                                   -62135596800 /* 0001-01-01 */, -62167219200 /* 0000-01-01 */, 253402300740};
    for (std::int64_t s : values) {
        SCOPED_TRACE(s);
        vekDateTime t;
        ASSERT_TRUE(t.LocalTime(s));
        EXPECT_EQ(t.MkTime(), s);
    }
    vekDateTime t;
    ASSERT_TRUE(t.LocalTime(951782400 + 13 * 3600 + 7 * 60 + 59)); // seconds are dropped
    ExpectFields(t, 2000, 2, 29, 13, 7);

    // Years an int cannot hold are refused without touching the fields.
    const vekDateTime before = t;
    EXPECT_FALSE(t.LocalTime(std::numeric_limits<std::int64_t>::max()));
    EXPECT_FALSE(t.LocalTime(std::numeric_limits<std::int64_t>::min()));
    EXPECT_TRUE(t == before);
}

TEST(VekDateTime, ArithmeticAndOrderAcrossSummerTime)
{
    // The spring and autumn changes of central Europe in 2024: local clocks
    // skip 02:00-03:00 on 31 March and repeat it on 27 October.
    ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    const vekDateTime beforeSpring = Make(2024, 3, 31, 1, 0);
    const vekDateTime afterSpring = Make(2024, 3, 31, 3, 0);
    EXPECT_EQ(afterSpring.MkTime() - beforeSpring.MkTime(), 7200);
    EXPECT_TRUE(afterSpring > beforeSpring);
    EXPECT_FALSE(beforeSpring > afterSpring);

    vekDateTime nextDay = Make(2024, 3, 30, 12, 0);
    ASSERT_TRUE(nextDay.LocalTime(nextDay.MkTime() + 86400));
    ExpectFields(nextDay, 2024, 3, 31, 12, 0);

    const vekDateTime twoThirty = Make(2024, 10, 27, 2, 30);
    vekDateTime later = twoThirty;
    ASSERT_TRUE(later.LocalTime(later.MkTime() + 3600));
    ExpectFields(later, 2024, 10, 27, 3, 30);
    EXPECT_TRUE(later > twoThirty);
    EXPECT_TRUE(later != twoThirty);
}

TEST(VekDateTime, OrderComparesFieldsFromTheYearDown)
{
    const vekDateTime base = Make(2024, 6, 15, 12, 30);
    const vekDateTime later[] = {Make(2025, 1, 1, 0, 0), Make(2024, 7, 1, 0, 0), Make(2024, 6, 16, 0, 0),
                                 Make(2024, 6, 15, 13, 0), Make(2024, 6, 15, 12, 31)};
    for (const vekDateTime& l : later) {
        SCOPED_TRACE(l.FormatDate() + " " + l.FormatTime());
        EXPECT_TRUE(l > base);
        EXPECT_FALSE(base > l);
        EXPECT_TRUE(l != base);
        EXPECT_FALSE(l == base);
    }
    EXPECT_FALSE(base > base);
    EXPECT_TRUE(base == Make(2024, 6, 15, 12, 30));
    // A later year wins over an earlier rest.
    EXPECT_TRUE(Make(2024, 1, 1, 0, 0) > Make(2023, 12, 31, 23, 59));
}

} // namespace
