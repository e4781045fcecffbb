// Helpers that the library keeps to itself, compiled into this test directly.
#include "core.h"
#include "platform/posix_serial.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <pty.h>
#include <unistd.h>

namespace posix = buslink::posix;

TEST(buslink_internal, PortNamesMapToDevicePaths)
{
    EXPECT_EQ(posix::device_path("COM1"), "/dev/ttyS0");
    EXPECT_EQ(posix::device_path("COM12"), "/dev/ttyS11");
    EXPECT_EQ(posix::device_path("com3"), "/dev/ttyS2");
    EXPECT_EQ(posix::device_path("COM007"), "/dev/ttyS6");
    EXPECT_EQ(posix::device_path("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(posix::device_path("/tmp/x"), "/tmp/x");
    EXPECT_EQ(posix::device_path("pts/3"), "pts/3");
    EXPECT_EQ(posix::device_path("COM"), "/dev/COM");
    EXPECT_EQ(posix::device_path("COMx"), "/dev/COMx");
    EXPECT_EQ(posix::device_path("COM0"), "/dev/COM0");
    EXPECT_EQ(posix::device_path("COM1x"), "/dev/COM1x");
    EXPECT_EQ(posix::device_path("COM-1"), "/dev/COM-1");
    EXPECT_EQ(posix::device_path("COM99999999999999999999"), "/dev/COM99999999999999999999");
    EXPECT_EQ(posix::device_path(nullptr), "");
}

TEST(buslink_internal, RawLineCarriesEveryCodeCombination)
{
    for (int parity : {0, 1, 2}) {
        for (int stopbits : {0, 2}) {
            for (int databits : {0, 1}) {
                SCOPED_TRACE(testing::Message() << "parity " << parity << " stop " << stopbits << " data " << databits);
                termios t{};
                // Start from a cooked line with flow control, as a port may be left.
                t.c_iflag = ICRNL | IXON | IXOFF | ISTRIP | IGNPAR;
                t.c_oflag = OPOST | ONLCR;
                t.c_lflag = ICANON | ECHO | ISIG;
                t.c_cflag = CRTSCTS | CS8 | PARENB | PARODD | CSTOPB;
                ASSERT_EQ(posix::make_raw_line(t, 4800, parity, stopbits, databits), posix::LineError::none);

                EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(databits == 0 ? CS7 : CS8));
                EXPECT_EQ((t.c_cflag & CSTOPB) != 0, stopbits == 2);
                EXPECT_EQ((t.c_cflag & PARENB) != 0, parity != 2);
                EXPECT_EQ((t.c_cflag & PARODD) != 0, parity == 1);
                EXPECT_EQ((t.c_iflag & INPCK) != 0, parity != 2);
                EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
                EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
                EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP | IGNPAR), 0u);
                EXPECT_EQ(t.c_oflag & OPOST, 0u);
                EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
                EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B4800));
                EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B4800));
            }
        }
    }
}

TEST(buslink_internal, RawLineRejectsCodesInOrder)
{
    termios t{};
    EXPECT_EQ(posix::make_raw_line(t, 57600, 0, 0, 0), posix::LineError::baud);
    EXPECT_EQ(posix::make_raw_line(t, 0, 0, 0, 0), posix::LineError::baud);
    EXPECT_EQ(posix::make_raw_line(t, 9600, 3, 1, 2), posix::LineError::parity);
    EXPECT_EQ(posix::make_raw_line(t, 9600, 2, 1, 2), posix::LineError::stopbits);
    EXPECT_EQ(posix::make_raw_line(t, 9600, 2, 3, 0), posix::LineError::stopbits);
    EXPECT_EQ(posix::make_raw_line(t, 9600, 2, 0, 2), posix::LineError::databits);
    EXPECT_EQ(posix::make_raw_line(t, 9600, 2, 0, -1), posix::LineError::databits);
}

TEST(buslink_internal, SystemErrorText)
{
    EXPECT_EQ(posix::error_text(2), "Error 2: No such file or directory");
    EXPECT_EQ(posix::error_text(13), "Error 13: Permission denied");
    EXPECT_EQ(posix::error_text(100000).rfind("Error 100000: ", 0), 0u);
}

TEST(buslink_internal, BoundedFormatReportsOverflow)
{
    char buffer[8];
    EXPECT_EQ(buslink_snprintf(buffer, sizeof buffer, "%s-%d", "ab", 1234), 7);
    EXPECT_STREQ(buffer, "ab-1234");
    EXPECT_EQ(buslink_snprintf(buffer, sizeof buffer, "%s-%d", "ab", 12345), -1) << "no room for the terminator";
    EXPECT_EQ(buffer[7], '\0') << "a truncated result is still terminated";
    EXPECT_EQ(buslink_snprintf(buffer, 0, "x"), -1);
    EXPECT_EQ(buslink_snprintf(nullptr, 4, "x"), -1);
    EXPECT_EQ(buslink_snprintf(buffer, sizeof buffer, "%s", ""), 0);
}

// A serial driver reopens a line that vanished; it must be told apart from
// one that is merely quiet, without waiting.
TEST(buslink_internal, HungUpTellsAVanishedLineFromAQuietOne)
{
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    EXPECT_FALSE(posix::hung_up(slave));
    ::close(master);
    EXPECT_TRUE(posix::hung_up(slave));
    ::close(slave);
    EXPECT_TRUE(posix::hung_up(slave)); // closed descriptor
    EXPECT_TRUE(posix::hung_up(-1));
}
