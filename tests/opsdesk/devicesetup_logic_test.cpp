// The device setup dialog's checks, without a display.
#include "devicesetup.h"

#include <gtest/gtest.h>

TEST(DeviceNameCheck, AcceptsSevenBitAndRefusesEightBitText)
{
    EXPECT_TRUE(IsValidDeviceName(""));
    EXPECT_TRUE(IsValidDeviceName("Boiler 2 (east)"));
    EXPECT_TRUE(IsValidDeviceName(wxString::FromUTF8("\x7f~")));
    EXPECT_FALSE(IsValidDeviceName(wxString::FromUTF8("P\xc3\xa4rm")));
    // The offending byte may stand anywhere, also last or first.
    EXPECT_FALSE(IsValidDeviceName(wxString::FromUTF8("Kessel\xc3\x9f")));
    EXPECT_FALSE(IsValidDeviceName(wxString::FromUTF8("\xe2\x82\xac 5")));
}

TEST(MaxCacheAge, DecimalTextOrTheFallback)
{
    EXPECT_EQ(ReadMaxCacheAge("120", 30), 120);
    EXPECT_EQ(ReadMaxCacheAge(" 7 ", 30), 7);
    EXPECT_EQ(ReadMaxCacheAge("0", 30), 0);
    EXPECT_EQ(ReadMaxCacheAge("-5", 30), -5);
    EXPECT_EQ(ReadMaxCacheAge("5000000000", 30), 5000000000LL);
    EXPECT_EQ(ReadMaxCacheAge("", 30), 30);
    EXPECT_EQ(ReadMaxCacheAge("soon", 30), 30);
    EXPECT_EQ(ReadMaxCacheAge("12s", 30), 30);
    EXPECT_EQ(ReadMaxCacheAge("1.5", 30), 30);
    EXPECT_EQ(ReadMaxCacheAge("0x10", 30), 30);
}
