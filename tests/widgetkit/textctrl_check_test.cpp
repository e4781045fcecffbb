#include <widgetkit/textctrl_check.h>

#include <gtest/gtest.h>

namespace {

TEST(TextCtrlCheck, ValuesByType)
{
    const uxTextRange none;
    uxTextRange percent;
    percent.on = true;
    percent.max = 100;
    uxTextRange unit;
    unit.on = true;
    unit.max = 1;

    struct Case
    {
        int type;
        const char* text;
        const uxTextRange& range;
        bool valid;
    };
    const Case cases[] = {
        {uxTEXTCTRL_LONG, "100", percent, true},     {uxTEXTCTRL_LONG, "0", percent, true},
        {uxTEXTCTRL_LONG, "100.5", percent, false},  {uxTEXTCTRL_LONG, "101", percent, false},
        {uxTEXTCTRL_LONG, "-1", percent, false},     {uxTEXTCTRL_LONG, "", none, false},
        {uxTEXTCTRL_LONG, "-5", none, true},         {uxTEXTCTRL_LONG, "05", none, true},
        {uxTEXTCTRL_LONG, "0x10", none, false},      {uxTEXTCTRL_LONG, "99999999999999999999", none, false},
        {uxTEXTCTRL_DOUBLE, "1.5", none, true},      {uxTEXTCTRL_DOUBLE, "-1e300", none, true},
        {uxTEXTCTRL_DOUBLE, "1.5.2", none, false},   {uxTEXTCTRL_DOUBLE, "", none, false},
        {uxTEXTCTRL_DOUBLE, "nan", none, false},     {uxTEXTCTRL_DOUBLE, "inf", none, false},
        {uxTEXTCTRL_DOUBLE, "1", unit, true},        {uxTEXTCTRL_DOUBLE, "1.0000001", unit, false},
        {uxTEXTCTRL_TIME, "24:00", none, true},      {uxTEXTCTRL_TIME, "24:01", none, false},
        {uxTEXTCTRL_TIME, "7:60", none, false},      {uxTEXTCTRL_TIME, "07:05", none, true},
        {uxTEXTCTRL_TIME, "7", none, false},         {uxTEXTCTRL_TIME, "7:", none, false},
        {uxTEXTCTRL_TIME, "1:2:3", none, false},     {uxTEXTCTRL_TIME, "-1:00", none, false},
        {uxTEXTCTRL_DATE, "2023-2-29", none, false}, {uxTEXTCTRL_DATE, "2024-2-29", none, true},
        {uxTEXTCTRL_DATE, "2024-02", none, false},   {uxTEXTCTRL_DATE, "2024-4-31", none, false},
        {uxTEXTCTRL_DATE, "2024-1-1 ", none, false}, {uxTEXTCTRL_DATE, "-2024-1-1", none, false},
        // Numbers beyond an int must not wrap into range.
        {uxTEXTCTRL_DATE, "2024-1-4294967297", none, false}, {uxTEXTCTRL_DATE, "2024-4294967297-1", none, false},
        {uxTEXTCTRL_DATE, "99999999999-1-1", none, false},   {uxTEXTCTRL_TEXT, "anything", none, true},
        {7, "", none, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " \"" << c.text << "\"");
        EXPECT_EQ(ux_text_check(static_cast<uxTextCtrlType>(c.type), c.text, c.range), c.valid);
    }
}

TEST(TextCtrlCheck, ParsedMoments)
{
    // The date parse gives local midnight of the day.
    EXPECT_EQ(ux_text_parse_date("2024-2-29"), wxDateTime(29, wxDateTime::Feb, 2024));

    const wxDateTime now(10, wxDateTime::Mar, 2024, 15, 20, 37, 250);
    EXPECT_EQ(ux_text_parse_time("07:05", now), wxDateTime(10, wxDateTime::Mar, 2024, 7, 5, 37, 250));
    EXPECT_EQ(ux_text_parse_time("0:00", now), wxDateTime(10, wxDateTime::Mar, 2024, 0, 0, 37, 250));
    const wxDateTime endOfDay = ux_text_parse_time("24:00", now);
    EXPECT_EQ(endOfDay, wxDateTime(11, wxDateTime::Mar, 2024, 0, 0, 37, 250));
    EXPECT_TRUE(endOfDay > ux_text_parse_time("23:59", now));
    // The last day of a year runs into the next one.
    const wxDateTime newYearsEve(31, wxDateTime::Dec, 2024, 9, 0, 0, 0);
    EXPECT_EQ(ux_text_parse_time("24:00", newYearsEve), wxDateTime(1, wxDateTime::Jan, 2025, 0, 0, 0, 0));

    EXPECT_FALSE(ux_text_parse_time("24:01", now).IsValid());
    EXPECT_FALSE(ux_text_parse_time("07:05", wxInvalidDateTime).IsValid());
}

} // namespace
