// The clock dialog's logic without a window: which networks keep a clock,
// and the clock values as the device packs and answers them.
#include "clockdlg.h"

#include <gtest/gtest.h>

namespace {

TEST(ClockSupport, OnlyDirectNetAndDbKeepTheClock)
{
    EXPECT_TRUE(NetworkTypeHasClock("db"));
    EXPECT_TRUE(NetworkTypeHasClock("directnet"));
    for (const char* type : {"sl3", "lct1", "plexor", "modbus/rtu", "modbus/tcp", "modbus/xbee", "arcnet/dgt", "txif",
                             "dgt-serial", "DB", ""})
        EXPECT_FALSE(NetworkTypeHasClock(type)) << type;
    EXPECT_FALSE(NetworkTypeHasClock(nullptr));
}

ClockSetting Encode(ClockWrite what, const wxDateTime& when)
{
    ClockSetting setting{nullptr, nullptr, -1};
    EXPECT_TRUE(EncodeClockSetting(what, when, setting));
    return setting;
}

TEST(ClockEncoding, PacksDateTimeAndBoth)
{
    const wxDateTime when(5, wxDateTime::Mar, 2024, 14, 7, 33);
    const ClockSetting both = Encode(ClockWrite::DateAndTime, when);
    EXPECT_STREQ(both.item, "V7775");
    EXPECT_STREQ(both.flag, "DB");
    EXPECT_EQ(both.value, 55536741);

    const ClockSetting date = Encode(ClockWrite::Date, when);
    EXPECT_STREQ(date.item, "V7775");
    EXPECT_STREQ(date.flag, "B");
    EXPECT_EQ(date.value, 27749);

    const ClockSetting time = Encode(ClockWrite::Time, when);
    EXPECT_STREQ(time.item, "V7776");
    EXPECT_STREQ(time.flag, "B");
    EXPECT_EQ(time.value, 14 * 60 + 7);
}

TEST(ClockEncoding, DayAndMinuteEdges)
{
    EXPECT_EQ(Encode(ClockWrite::Time, wxDateTime(1, wxDateTime::Jan, 2024, 0, 0, 0)).value, 0);
    EXPECT_EQ(Encode(ClockWrite::Time, wxDateTime(1, wxDateTime::Jan, 2024, 23, 59, 59)).value, 1439);

    // First and last day of the year: month 1 and 12 in bits 5 to 8.
    EXPECT_EQ(Encode(ClockWrite::Date, wxDateTime(1, wxDateTime::Jan, 1970)).value, 1 + 32);
    EXPECT_EQ(Encode(ClockWrite::Date, wxDateTime(31, wxDateTime::Dec, 2023)).value, 31 + 12 * 32 + 53 * 512);
    EXPECT_EQ(Encode(ClockWrite::Date, wxDateTime(29, wxDateTime::Feb, 2024)).value, 29 + 2 * 32 + 54 * 512);

    // 23:59 on the last day the seven year bits can hold.
    const ClockSetting last = Encode(ClockWrite::DateAndTime, wxDateTime(31, wxDateTime::Dec, 2097, 23, 59, 0));
    EXPECT_EQ(last.value, 31 + 12 * 32 + 127 * 512 + 1439L * 65536);
    EXPECT_EQ(last.value & 31, 31);
    EXPECT_EQ((last.value >> 5) & 15, 12);
    EXPECT_EQ((last.value >> 9) & 127, 127);
    EXPECT_EQ(last.value >> 16, 1439);
}

TEST(ClockEncoding, RefusesDatesThePackedValueCannotHold)
{
    ClockSetting setting{nullptr, nullptr, -1};
    EXPECT_FALSE(EncodeClockSetting(ClockWrite::Date, wxDateTime(1, wxDateTime::Jan, 2098), setting));
    EXPECT_FALSE(EncodeClockSetting(ClockWrite::DateAndTime, wxDateTime(31, wxDateTime::Dec, 1969, 12, 0), setting));
    EXPECT_FALSE(EncodeClockSetting(ClockWrite::Date, wxInvalidDateTime, setting));
    EXPECT_EQ(setting.value, -1);
    // The time of day alone needs no year.
    EXPECT_TRUE(EncodeClockSetting(ClockWrite::Time, wxDateTime(1, wxDateTime::Jan, 2098, 1, 2), setting));
    EXPECT_EQ(setting.value, 62);
}

std::array<long, 7> Clock(long year, long month, long day, long hour = 12, long minute = 30, long second = 15)
{
    return {second, minute, hour, 3, day, month, year};
}

TEST(ClockDecoding, BuildsTheDeviceTime)
{
    wxDateTime time;
    ASSERT_EQ(DecodeDeviceClock(Clock(2024, 3, 5, 14, 7, 33), time), ClockReadOutcome::Success);
    EXPECT_EQ(time, wxDateTime(5, wxDateTime::Mar, 2024, 14, 7, 33));
    ASSERT_EQ(DecodeDeviceClock(Clock(2024, 2, 29, 0, 0, 0), time), ClockReadOutcome::Success);
    EXPECT_EQ(time, wxDateTime(29, wxDateTime::Feb, 2024));
    ASSERT_EQ(DecodeDeviceClock(Clock(2023, 12, 31, 23, 59, 59), time), ClockReadOutcome::Success);
    EXPECT_EQ(time, wxDateTime(31, wxDateTime::Dec, 2023, 23, 59, 59));
}

TEST(ClockDecoding, InvalidDatesAndTimes)
{
    const wxDateTime untouched(1, wxDateTime::Jan, 2000);
    wxDateTime time = untouched;
    EXPECT_EQ(DecodeDeviceClock(Clock(2024, 13, 1), time), ClockReadOutcome::Invalid);
    EXPECT_EQ(DecodeDeviceClock(Clock(2024, 0, 1), time), ClockReadOutcome::Invalid);
    EXPECT_EQ(DecodeDeviceClock(Clock(2024, 4, 31), time), ClockReadOutcome::Invalid);
    EXPECT_EQ(DecodeDeviceClock(Clock(2023, 2, 29), time), ClockReadOutcome::Invalid);
    EXPECT_EQ(DecodeDeviceClock(Clock(2024, 1, 0), time), ClockReadOutcome::Invalid);
    EXPECT_EQ(DecodeDeviceClock(Clock(2024, 1, 1, 24, 0, 0), time), ClockReadOutcome::Invalid);
    EXPECT_EQ(DecodeDeviceClock(Clock(2024, 1, 1, 12, 60, 0), time), ClockReadOutcome::Invalid);
    EXPECT_EQ(DecodeDeviceClock(Clock(2024, 1, 1, 12, 0, -1), time), ClockReadOutcome::Invalid);
    EXPECT_EQ(DecodeDeviceClock(Clock(1L << 40, 1, 1), time), ClockReadOutcome::Invalid);
    EXPECT_EQ(time, untouched);
}

} // namespace
