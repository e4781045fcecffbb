// Network type table and the setup dialogs' value codes and checks, without
// a display.
#include "networksetup.h"
#include "networktypes.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(NetworkTypeTableTest, ElevenKeysInOfferOrder)
{
    const char* keys[] = {"directnet",   "sl3",        "lct1", "db",        "plexor",     "modbus/rtu",
                          "modbus/tcp",  "modbus/xbee", "arcnet/dgt", "txif", "dgt-serial"};
    const auto& table = NetworkTypeTable();
    ASSERT_EQ(table.size(), std::size(keys));
    for (size_t i = 0; i < table.size(); ++i)
        EXPECT_STREQ(table[i].key, keys[i]) << i;
}

TEST(NetworkTypeTableTest, LookupIsByWholeKey)
{
    const std::string copy = "modbus/xbee"; // another pointer with the same text
    const NetworkTypeRow* row = FindNetworkType(copy.c_str());
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->label, "MODBUS/XBee");
    EXPECT_EQ(FindNetworkType("modbus"), nullptr);
    EXPECT_EQ(FindNetworkType("DB"), nullptr);
    EXPECT_EQ(FindNetworkType(""), nullptr);
    EXPECT_EQ(FindNetworkType(nullptr), nullptr);
}

TEST(SerialCodesTest, StoredCodesSelectOnlyTheirOwnFamilysRow)
{
    for (SerialCodes codes : {SerialCodes::Modbus, SerialCodes::DirectNet}) {
        EXPECT_EQ(ParityIndex(codes, ParityCode(codes, 0)), 0);
        EXPECT_EQ(ParityIndex(codes, ParityCode(codes, 1)), 1);
        EXPECT_EQ(ParityIndex(codes, 0), -1);
        EXPECT_EQ(ParityIndex(codes, kNoCode), -1);
        EXPECT_EQ(ParityCode(codes, -1), kNoCode);
    }
    // The codes written on OK are checked on the real core; here a code of
    // the other family must select nothing.
    EXPECT_EQ(StopBitsIndex(SerialCodes::Modbus, 0), 0);
    EXPECT_EQ(StopBitsIndex(SerialCodes::Modbus, 1), -1);
    EXPECT_EQ(StopBitsIndex(SerialCodes::DirectNet, 1), 0);
    EXPECT_EQ(StopBitsIndex(SerialCodes::DirectNet, 0), -1);
    EXPECT_EQ(DataBitsIndex(SerialCodes::Modbus, 1), 0);
    EXPECT_EQ(DataBitsIndex(SerialCodes::Modbus, 8), -1);
    EXPECT_EQ(DataBitsIndex(SerialCodes::DirectNet, 8), 0);
    EXPECT_EQ(DataBitsIndex(SerialCodes::DirectNet, 1), -1);
    EXPECT_EQ(ModeIndex(2), 0);
    EXPECT_EQ(ModeIndex(0), -1);
    EXPECT_EQ(ModeIndex(kNoCode), -1);
}

TEST(SerialCodesTest, BaudRatesAndPortsAreFoundOnlyWhenListed)
{
    ASSERT_EQ(BaudRateChoices().size(), 10u);
    EXPECT_EQ(BaudRateIndex(300), 0);
    EXPECT_EQ(BaudRateIndex(9600), 5);
    EXPECT_EQ(BaudRateIndex(115200), 9);
    EXPECT_EQ(BaudRateIndex(14400), -1);
    EXPECT_EQ(BaudRateIndex(0), -1);
    EXPECT_EQ(BaudRateIndex(kNoCode), -1);
    for (int i = 0; i < 10; ++i) {
        long value = 0;
        ASSERT_TRUE(BaudRateChoices()[i].ToLong(&value));
        EXPECT_EQ(BaudRateIndex(static_cast<int>(value)), i);
    }

    ASSERT_EQ(SerialPortChoices().size(), 8u);
    EXPECT_EQ(SerialPortIndex("COM1"), 0);
    EXPECT_EQ(SerialPortIndex("COM8"), 7);
    EXPECT_EQ(SerialPortIndex("COM9"), -1);
    EXPECT_EQ(SerialPortIndex("com1"), -1);
    EXPECT_EQ(SerialPortIndex("ttyUSB0"), -1);
    EXPECT_EQ(SerialPortIndex(""), -1);
    EXPECT_EQ(SerialPortIndex(nullptr), -1);
}

TEST(ParseDecimalTest, OnlyWholeDecimalNumbers)
{
    int value = 99;
    EXPECT_TRUE(ParseDecimal("42", &value));
    EXPECT_EQ(value, 42);
    EXPECT_TRUE(ParseDecimal("-7", &value));
    EXPECT_EQ(value, -7);
    EXPECT_TRUE(ParseDecimal("2147483647", &value));
    EXPECT_EQ(value, 2147483647);

    value = 5;
    for (const char* bad : {"", "abc", "12a", "1 2", " 5", "5 ", "0x10", "2147483648", "99999999999999999999"})
        EXPECT_FALSE(ParseDecimal(bad, &value)) << bad;
    EXPECT_EQ(value, 5); // untouched on failure
}

TEST(SerialSettingsTest, ModbusNeedsBaudParityAndTheOnlyRows)
{
    SerialSelection s;
    s.baud = "9600";
    s.parity = 1;
    s.stopBits = 0;
    s.dataBits = 0;
    EXPECT_TRUE(SerialSettingsValid(SerialCodes::Modbus, s));

    SerialSelection noBaud = s;
    noBaud.baud.clear();
    EXPECT_FALSE(SerialSettingsValid(SerialCodes::Modbus, noBaud));
    SerialSelection noParity = s;
    noParity.parity = -1;
    EXPECT_FALSE(SerialSettingsValid(SerialCodes::Modbus, noParity));
    SerialSelection noStop = s;
    noStop.stopBits = -1;
    EXPECT_FALSE(SerialSettingsValid(SerialCodes::Modbus, noStop));
    SerialSelection noData = s;
    noData.dataBits = -1;
    EXPECT_FALSE(SerialSettingsValid(SerialCodes::Modbus, noData));
}

TEST(SerialSettingsTest, DirectNetAlsoNeedsHexAscii)
{
    SerialSelection s;
    s.baud = "19200";
    s.parity = 0;
    s.stopBits = 0;
    s.dataBits = 0;
    EXPECT_FALSE(SerialSettingsValid(SerialCodes::DirectNet, s));
    s.mode = 0;
    EXPECT_TRUE(SerialSettingsValid(SerialCodes::DirectNet, s));
    s.baud = "fast";
    EXPECT_FALSE(SerialSettingsValid(SerialCodes::DirectNet, s));
}

TEST(SuperLinkSettingsTest, FlagIsCheckedBeforeTimeout)
{
    EXPECT_STREQ(SuperLinkSettingsError("3", "10"), "");
    EXPECT_STREQ(SuperLinkSettingsError("x", "10"), "Illegal flag");
    EXPECT_STREQ(SuperLinkSettingsError("x", ""), "Illegal flag");
    EXPECT_STREQ(SuperLinkSettingsError("3", ""), "Illegal timeout");
    EXPECT_STREQ(SuperLinkSettingsError("3", "1s"), "Illegal timeout");
}

} // namespace
