// The port under test is the slave side of a pseudo-terminal; the test holds
// the master side and plays the device.
#include "buslink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct PortDeleter {
    void operator()(cl_serial_t *port) const { cl_serial_free(port); }
};
using PortPtr = std::unique_ptr<cl_serial_t, PortDeleter>;

std::string all_bytes()
{
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back(static_cast<char>(i));
    return bytes;
}

class buslink_serial : public testing::Test {
protected:
    void SetUp() override
    {
        char name[256] = "";
        ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        path_ = name;
    }

    void TearDown() override
    {
        close_master();
        if (slave_ >= 0)
            ::close(slave_);
    }

    PortPtr open_port(int baud = 9600, int parity = CL_PARITY_NONE, int stopbits = CL_STOPBITS_ONE,
                      int databits = CL_DATABITS_8)
    {
        return PortPtr(cl_serial_open(path_.c_str(), baud, parity, stopbits, databits));
    }

    // Opening with bad settings must fail with exactly this message and leave
    // the port closed and unlocked.
    void expect_rejected(int baud, int parity, int stopbits, int databits, const std::string &message)
    {
        testing::internal::CaptureStderr();
        PortPtr port = open_port(baud, parity, stopbits, databits);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
        EXPECT_EQ(port, nullptr);
        EXPECT_NE(open_port(), nullptr) << "rejected open left the port locked";
    }

    termios slave_line() const
    {
        termios t{};
        EXPECT_EQ(tcgetattr(slave_, &t), 0);
        return t;
    }

    void master_write(std::string_view bytes) const
    {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            ASSERT_GT(n, 0);
            done += static_cast<size_t>(n);
        }
    }

    // Reads until `count` bytes came or the time ran out.
    std::string master_read(size_t count, int timeout_ms = 2000) const
    {
        std::string got;
        const auto deadline = Clock::now() + milliseconds(timeout_ms);
        while (got.size() < count && Clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char chunk[4096];
            const ssize_t n = ::read(master_, chunk, std::min(sizeof chunk, count - got.size()));
            if (n <= 0)
                break;
            got.append(chunk, static_cast<size_t>(n));
        }
        return got;
    }

    // Everything the port hands over until `count` bytes came or a wait ran out.
    static std::string port_read(cl_serial_t *port, size_t count)
    {
        std::string got;
        char chunk[64];
        while (got.size() < count && cl_serial_wait_for_data(port, 1000) == 1) {
            const int n = cl_serial_read_available(port, chunk, sizeof chunk);
            if (n < 0)
                break;
            got.append(chunk, static_cast<size_t>(n));
        }
        return got;
    }

    // Throws away whatever the device still sends.
    static void drain(cl_serial_t *port)
    {
        char chunk[64];
        while (cl_serial_wait_for_data(port, 50) == 1)
            cl_serial_read_available(port, chunk, sizeof chunk);
    }

    void close_master()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

} // namespace

TEST_F(buslink_serial, OpenRecordsSettingsAndMakesTheLineRaw)
{
    PortPtr port = open_port(19200, CL_PARITY_NONE, CL_STOPBITS_ONE, CL_DATABITS_8);
    ASSERT_NE(port, nullptr);
    EXPECT_NE(cl_serial_is_ok(port.get()), 0);
    EXPECT_STREQ(port->name, path_.c_str());
    EXPECT_EQ(port->baudrate, 19200);
    EXPECT_EQ(port->parity, CL_PARITY_NONE);
    EXPECT_EQ(port->stopbits, CL_STOPBITS_ONE);
    EXPECT_EQ(port->databits, CL_DATABITS_8);
    EXPECT_EQ(port->has_lookahead, 0);

    const termios t = slave_line();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | IGNBRK | BRKINT), 0u);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
}

TEST_F(buslink_serial, EveryListedBaudRateAndLineCodeIsApplied)
{
    const std::pair<int, speed_t> rates[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},
                                             {9600, B9600},   {19200, B19200}, {38400, B38400}};
    for (const auto &[baud, speed] : rates) {
        PortPtr port = open_port(baud);
        ASSERT_NE(port, nullptr) << baud;
        const termios t = slave_line();
        EXPECT_EQ(cfgetospeed(&t), speed) << baud;
    }

    // A pseudo-terminal forces 8 bits without parity, but keeps these.
    {
        PortPtr port = open_port(9600, CL_PARITY_ODD, CL_STOPBITS_TWO, CL_DATABITS_7);
        ASSERT_NE(port, nullptr);
        const termios t = slave_line();
        EXPECT_NE(t.c_cflag & CSTOPB, 0u);
        EXPECT_NE(t.c_cflag & PARODD, 0u);
    }
    PortPtr port = open_port(9600, CL_PARITY_EVEN, CL_STOPBITS_ONE, CL_DATABITS_8);
    ASSERT_NE(port, nullptr);
    const termios t = slave_line();
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(t.c_cflag & PARODD, 0u);
}

TEST_F(buslink_serial, BadSettingsAreRejectedWithTheirMessages)
{
    expect_rejected(57600, 2, 0, 1, "buslink_open_serial: unsupported baud-rate: 57600\n");
    expect_rejected(115200, 2, 0, 1, "buslink_open_serial: unsupported baud-rate: 115200\n");
    expect_rejected(9601, 2, 0, 1, "buslink_open_serial: unsupported baud-rate: 9601\n");
    expect_rejected(9600, 3, 0, 1, "buslink_open_serial: invalid parity: 3\n");
    expect_rejected(9600, -1, 0, 1, "buslink_open_serial: invalid parity: -1\n");
    expect_rejected(9600, 2, 1, 1, "buslink_open_serial: invalid stopbits: 1\n");
    expect_rejected(9600, 2, 0, 2, "buslink_open_serial: invalid data bits: 2\n");
    // The baud rate is checked first.
    expect_rejected(300, 9, 1, 5, "buslink_open_serial: unsupported baud-rate: 300\n");
}

TEST_F(buslink_serial, OpenFailuresReportThePathAndSystemError)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(cl_serial_open("/nonexistent-buslink/ttyQ", 9600, 2, 0, 1), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to open /nonexistent-buslink/ttyQ: Error 2: No such file or directory\n");

    // Bare names are looked up in /dev, COM ports as ttyS.
    testing::internal::CaptureStderr();
    EXPECT_EQ(cl_serial_open("ttyNoSuchBuslinkPort", 9600, 2, 0, 1), nullptr);
    EXPECT_EQ(cl_serial_open("COM250", 9600, 2, 0, 1), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to open /dev/ttyNoSuchBuslinkPort: Error 2: No such file or directory\n"
              "Failed to open /dev/ttyS249: Error 2: No such file or directory\n");

    char file[] = "/tmp/buslink-not-a-tty-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    ::close(fd);
    testing::internal::CaptureStderr();
    EXPECT_EQ(cl_serial_open(file, 9600, 2, 0, 1), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("Failed to open ") + file + ": Error 25: Inappropriate ioctl for device\n");
    std::remove(file);
}

TEST_F(buslink_serial, PortIsNotShared)
{
    PortPtr first = open_port();
    ASSERT_NE(first, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(open_port(), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to open " + path_ + ": Error 11: Resource temporarily unavailable\n");
    first.reset();
    EXPECT_NE(open_port(), nullptr) << "free releases the port";
}

TEST_F(buslink_serial, InputQueuedBeforeOpenIsDiscarded)
{
    master_write("stale");
    std::this_thread::sleep_for(milliseconds(50));
    PortPtr port = open_port();
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(cl_serial_wait_for_data(port.get(), 50), 0);
}

TEST_F(buslink_serial, EveryByteValuePassesUnchangedBothWays)
{
    PortPtr port = open_port();
    ASSERT_NE(port, nullptr);
    const std::string bytes = all_bytes();

    master_write(bytes);
    EXPECT_EQ(port_read(port.get(), bytes.size()), bytes);

    EXPECT_EQ(cl_serial_write_all(port.get(), bytes.data(), static_cast<int>(bytes.size())),
              static_cast<int>(bytes.size()));
    EXPECT_EQ(master_read(bytes.size()), bytes);
}

TEST_F(buslink_serial, WriteAllWaitsForRoomInTheOutputQueue)
{
    PortPtr port = open_port();
    ASSERT_NE(port, nullptr);
    std::string payload;
    for (size_t i = 0; i < 200000; ++i)
        payload.push_back(static_cast<char>((i * 7 + i / 251) & 0xFF));

    std::string received;
    std::thread reader([&] {
        std::this_thread::sleep_for(milliseconds(100)); // let the queue fill up first
        received = master_read(payload.size(), 20000);
    });
    const int written = cl_serial_write_all(port.get(), payload.data(), static_cast<int>(payload.size()));
    reader.join();
    EXPECT_EQ(written, static_cast<int>(payload.size()));
    EXPECT_TRUE(received == payload) << "received " << received.size() << " of " << payload.size() << " bytes";
}

TEST_F(buslink_serial, WaitForDataKeepsTheByteForTheNextRead)
{
    PortPtr port = open_port();
    ASSERT_NE(port, nullptr);

    const auto start = Clock::now();
    EXPECT_EQ(cl_serial_wait_for_data(port.get(), 100), 0);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, milliseconds(100));
    EXPECT_LT(waited, milliseconds(2000));
    EXPECT_EQ(port->has_lookahead, 0);

    master_write("abc");
    ASSERT_EQ(cl_serial_wait_for_data(port.get(), 1000), 1);
    EXPECT_EQ(port->has_lookahead, 1);
    EXPECT_EQ(port->lookahead, 'a');
    // A second wait does not take another byte.
    EXPECT_EQ(cl_serial_wait_for_data(port.get(), 0), 1);
    EXPECT_EQ(port->lookahead, 'a');

    char buffer[8] = {};
    EXPECT_EQ(cl_serial_read_available(port.get(), buffer, 0), 0);
    EXPECT_EQ(port->has_lookahead, 1) << "a zero-length read keeps the byte";

    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(cl_serial_read_available(port.get(), buffer, sizeof buffer), 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    EXPECT_EQ(port->has_lookahead, 0);

    // Nothing buffered: returns at once with nothing.
    const auto before = Clock::now();
    EXPECT_EQ(cl_serial_read_available(port.get(), buffer, sizeof buffer), 0);
    EXPECT_LT(Clock::now() - before, milliseconds(500));
}

TEST_F(buslink_serial, ReadAvailableRespectsTheCount)
{
    PortPtr port = open_port();
    ASSERT_NE(port, nullptr);
    master_write("12345");
    ASSERT_EQ(cl_serial_wait_for_data(port.get(), 1000), 1);
    std::this_thread::sleep_for(milliseconds(20));

    char buffer[8] = {};
    EXPECT_EQ(cl_serial_read_available(port.get(), buffer, 1), 1);
    EXPECT_EQ(buffer[0], '1');
    EXPECT_EQ(cl_serial_read_available(port.get(), buffer, 2), 2);
    EXPECT_EQ(std::string(buffer, 2), "23");
    EXPECT_EQ(cl_serial_read_available(port.get(), buffer, sizeof buffer), 2);
    EXPECT_EQ(std::string(buffer, 2), "45");
}

TEST_F(buslink_serial, FailedReadLeavesNoStaleLookahead)
{
    PortPtr port = open_port();
    ASSERT_NE(port, nullptr);
    master_write("x");
    ASSERT_EQ(cl_serial_wait_for_data(port.get(), 1000), 1);

    close_master(); // the device hangs up
    char buffer[4];
    EXPECT_EQ(cl_serial_read_available(port.get(), buffer, sizeof buffer), -1);
    EXPECT_EQ(port->has_lookahead, 0);
    EXPECT_EQ(port->last_read_error, CL_SERIAL_READ_FAILED);

    port->last_read_error = 0;
    const auto start = Clock::now();
    EXPECT_EQ(cl_serial_wait_for_data(port.get(), 2000), -1);
    EXPECT_LT(Clock::now() - start, milliseconds(1000)) << "a hang-up is a failure, not a time-out";
    EXPECT_EQ(port->last_read_error, CL_SERIAL_READ_FAILED);
    EXPECT_EQ(port->has_lookahead, 0);
    EXPECT_EQ(cl_serial_expect_ok(port.get(), 100), BUSLINK_E_READ);
}

TEST_F(buslink_serial, ExpectOk)
{
    PortPtr port = open_port();
    ASSERT_NE(port, nullptr);

    master_write("OK\r");
    EXPECT_EQ(cl_serial_expect_ok(port.get(), 1000), 0);

    master_write("OX\r");
    EXPECT_EQ(cl_serial_expect_ok(port.get(), 1000), BUSLINK_E_INVALID_RESPONSE);
    drain(port.get());

    master_write("ERROR\r");
    EXPECT_EQ(cl_serial_expect_ok(port.get(), 1000), BUSLINK_E_INVALID_RESPONSE);
    drain(port.get());

    const auto start = Clock::now();
    EXPECT_EQ(cl_serial_expect_ok(port.get(), 100), BUSLINK_E_TIMEOUT);
    EXPECT_GE(Clock::now() - start, milliseconds(100));

    // Two bytes, then silence: the third wait runs out.
    master_write("OK");
    EXPECT_EQ(cl_serial_expect_ok(port.get(), 100), BUSLINK_E_TIMEOUT);

    EXPECT_EQ(cl_serial_expect_ok(nullptr, 100), BUSLINK_E_INVALID_PORT);
}

TEST_F(buslink_serial, ExpectOkCollectsAReplySplitAcrossWrites)
{
    PortPtr port = open_port();
    ASSERT_NE(port, nullptr);
    master_write("O");
    std::thread device([&] {
        std::this_thread::sleep_for(milliseconds(80));
        master_write("K\r");
    });
    EXPECT_EQ(cl_serial_expect_ok(port.get(), 2000), 0);
    device.join();
}

TEST_F(buslink_serial, ExpectOkLeavesWhatFollowsTheReply)
{
    PortPtr port = open_port();
    ASSERT_NE(port, nullptr);
    master_write("OK\rnext");
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(cl_serial_expect_ok(port.get(), 1000), 0);
    EXPECT_EQ(port_read(port.get(), 4), "next");
}

TEST_F(buslink_serial, DisconnectClosesOnce)
{
    PortPtr port = open_port();
    ASSERT_NE(port, nullptr);
    const int fd = port->handle;
    cl_serial_disconnect(port.get());
    EXPECT_EQ(port->handle, CL_SERIAL_INVALID_HANDLE);
    EXPECT_EQ(cl_serial_is_ok(port.get()), 0);
    cl_serial_disconnect(port.get());

    char buffer[4];
    EXPECT_EQ(cl_serial_wait_for_data(port.get(), 1000), -1);
    EXPECT_EQ(cl_serial_read_available(port.get(), buffer, sizeof buffer), -1);
    EXPECT_EQ(cl_serial_write_all(port.get(), "x", 1), -1);

    // The closed number is handed out again; freeing the port must not close it.
    const int other = ::open("/dev/null", O_RDONLY);
    ASSERT_EQ(other, fd);
    port.reset();
    EXPECT_NE(fcntl(other, F_GETFD), -1);
    ::close(other);
}

TEST_F(buslink_serial, NullPortsAreHarmless)
{
    cl_serial_free(nullptr);
    cl_serial_disconnect(nullptr);
    EXPECT_EQ(cl_serial_is_ok(nullptr), 0);
    EXPECT_EQ(cl_serial_write_all(nullptr, "x", 1), -1);
    EXPECT_EQ(cl_serial_wait_for_data(nullptr, 10), -1);
    char buffer[2];
    EXPECT_EQ(cl_serial_read_available(nullptr, buffer, 2), -1);

    PortPtr port = open_port();
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(cl_serial_write_all(port.get(), "x", 0), 0);
    EXPECT_EQ(cl_serial_write_all(port.get(), nullptr, 3), -1);
    EXPECT_EQ(cl_serial_read_available(port.get(), nullptr, 3), -1);
}

// A transport's abort, from another thread, cuts the port's wait in flight;
// until it is cleared nothing more reaches the line.
TEST_F(buslink_serial, AbortCutsTheRtuWaitAndSilencesTheLine)
{
    modbus_rtu_t *rtu = modbus_rtu_new();
    ASSERT_NE(rtu, nullptr);
    ASSERT_EQ(modbus_rtu_connect(rtu, open_port(38400).release()), 0);
    modbus_rtu_set_response_timeout(rtu, 30000);
    const unsigned char request[] = {0x03, 0x00, 0x00, 0x00, 0x01};
    ASSERT_EQ(modbus_rtu_send_frame(rtu, 1, request, sizeof request, nullptr), 0);
    EXPECT_EQ(master_read(8).size(), 8u);

    std::thread stopper([rtu] {
        std::this_thread::sleep_for(milliseconds(100));
        modbus_rtu_abort(rtu);
    });
    unsigned char message[MODBUS_MESSAGE_BUFFER_SIZE];
    unsigned length = 0;
    const auto start = Clock::now();
    EXPECT_EQ(modbus_rtu_read_frame(rtu, 1, message, &length, nullptr), BUSLINK_E_NO_CONNECTION);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10)); // uncut: 30 s
    stopper.join();
    EXPECT_EQ(modbus_rtu_send_frame(rtu, 1, request, sizeof request, nullptr), BUSLINK_E_NO_CONNECTION);
    EXPECT_EQ(master_read(1, 100), "");

    modbus_rtu_clear_abort(rtu);
    modbus_rtu_set_response_timeout(rtu, 50);
    ASSERT_EQ(modbus_rtu_send_frame(rtu, 1, request, sizeof request, nullptr), 0);
    EXPECT_EQ(master_read(8).size(), 8u);
    EXPECT_EQ(modbus_rtu_read_frame(rtu, 1, message, &length, nullptr), BUSLINK_E_NO_RESPONSE);
    modbus_rtu_delete(rtu);
}
