// The dataview's logic without a window: setpoint texts and values.
#include "dataview.h"

#include <gtest/gtest.h>

namespace {

TEST(SetpointText, SplitsAtTheFirstColonOnly)
{
    const SetpointAddress plain = SplitSetpoint("PV");
    EXPECT_EQ(plain.item, "PV");
    EXPECT_EQ(plain.flag, "");

    const SetpointAddress flagged = SplitSetpoint("SP:B");
    EXPECT_EQ(flagged.item, "SP");
    EXPECT_EQ(flagged.flag, "B");

    const SetpointAddress twice = SplitSetpoint("V1:a:b");
    EXPECT_EQ(twice.item, "V1");
    EXPECT_EQ(twice.flag, "a:b");

    const SetpointAddress leading = SplitSetpoint(":X");
    EXPECT_EQ(leading.item, "");
    EXPECT_EQ(leading.flag, "X");

    const SetpointAddress empty = SplitSetpoint("");
    EXPECT_EQ(empty.item, "");
    EXPECT_EQ(empty.flag, "");

    const SetpointAddress trailing = SplitSetpoint("PV:");
    EXPECT_EQ(trailing.item, "PV");
    EXPECT_EQ(trailing.flag, "");
}

TEST(SetpointText, KeepsNonAsciiItems)
{
    const SetpointAddress address = SplitSetpoint(wxString::FromUTF8("Tryck\xc3\xa5:\xc3\xb6"));
    EXPECT_EQ(address.item.utf8_string(), "Tryck\xc3\xa5");
    EXPECT_EQ(address.flag.utf8_string(), "\xc3\xb6");
}

TEST(SetpointValue, FormatsLikePrintfG)
{
    EXPECT_EQ(FormatSetpointValue(21.5), "21.5");
    EXPECT_EQ(FormatSetpointValue(0.0), "0");
    EXPECT_EQ(FormatSetpointValue(-3.0), "-3");
    EXPECT_EQ(FormatSetpointValue(1234567.0), "1.23457e+06");
}

TEST(SetpointValue, ParsesNumbersAndRefusesEverythingElse)
{
    double value = -1.0;
    EXPECT_TRUE(ParseSetpointValue("42", value));
    EXPECT_EQ(value, 42.0);
    EXPECT_TRUE(ParseSetpointValue(" -1.25 ", value));
    EXPECT_EQ(value, -1.25);
    EXPECT_TRUE(ParseSetpointValue("1e3", value));
    EXPECT_EQ(value, 1000.0);

    value = 7.0;
    for (const char* text : {"", "   ", "abc", "12abc", "1.2.3", "nan", "inf", "-inf"}) {
        EXPECT_FALSE(ParseSetpointValue(text, value)) << text;
        EXPECT_EQ(value, 7.0) << "left untouched by " << text;
    }
}

} // namespace
