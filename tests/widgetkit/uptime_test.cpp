#include <widgetkit/aboutdlg.h>

#include <gtest/gtest.h>

namespace {

wxString Uptime(long seconds)
{
    return AboutDlg::FormatUptime(wxTimeSpan::Seconds(seconds));
}

constexpr long kMinute = 60;
constexpr long kHour = 60 * kMinute;
constexpr long kDay = 24 * kHour;

// The toolkit's time-span formatting pads hours, minutes and seconds to two
// digits; each unit counts what the larger units of its format leave.
TEST(FormatUptime, PicksTheFormatOfTheLargestUnit)
{
    EXPECT_EQ(Uptime(0), "00 seconds");
    EXPECT_EQ(Uptime(59), "59 seconds");
    EXPECT_EQ(Uptime(kMinute), "01 minutes");
    EXPECT_EQ(Uptime(kHour - 1), "59 minutes");
    EXPECT_EQ(Uptime(kHour), "01 hours, 00 minutes");
    EXPECT_EQ(Uptime(kDay - 1), "23 hours, 59 minutes");
    EXPECT_EQ(Uptime(kDay), "1 days, 00 hours, 00 minutes");
    EXPECT_EQ(Uptime(7 * kDay - 1), "6 days, 23 hours, 59 minutes");
    EXPECT_EQ(Uptime(7 * kDay), "1 weeks, 0 days, 00 hours");
    EXPECT_EQ(Uptime(8 * kDay), "1 weeks, 1 days, 00 hours");
    EXPECT_EQ(Uptime(30 * kDay + 5 * kHour + 7 * kMinute), "4 weeks, 2 days, 05 hours");
}

} // namespace
