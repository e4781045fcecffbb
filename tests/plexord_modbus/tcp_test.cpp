// A "modbus/tcp" network of the core against Debian's pymodbus on
// 127.0.0.1 (tests/peers/modbus_server.py: holding register a of unit u
// holds a * 7 + u, input register a 1000 + a, coil a is a % 3 == 0,
// discrete input a is a % 2 == 1; registers 15 and 40 are missing).
#include <memory>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "modbus_peers.h"
#include "modbus_session.h"
#include "modbus_values.h"
#include "support.h"

using mbcore::Batch;
using mbcore::failure;
using test::ok;

namespace {

double holding(unsigned a, unsigned unit)
{
    return a * 7 + unit;
}

class ModbusTcp : public testing::Test {
protected:
    void SetUp() override
    {
        if (!mbtest::have_pymodbus())
            GTEST_SKIP() << "/usr/bin/python3 cannot import pymodbus (python3-pymodbus)";
        port_ = mbtest::start_modbus_server(server_, {"--tcp", "0", "--holes", "15,40"});
        ASSERT_FALSE(port_.empty()) << "pymodbus did not start";
        session_ = std::make_unique<test::Session>(dir_.path());
        net_ = mbcore::add_network("modbus/tcp", [&](network_t *n) {
            EXPECT_TRUE(
                ok(network_set(n, "name", "Plant", "port", std::stoi(port_), "timeout", 1000, (char *)nullptr)));
        });
        unit1_ = test::add_device(net_, "Unit 1", "1");
        unit2_ = test::add_device(net_, "Unit 2", " 2");
    }

    test::TempDir dir_;
    std::unique_ptr<mbtest::Child> server_;
    std::string port_;
    std::unique_ptr<test::Session> session_;
    uint16_t net_ = 0, unit1_ = 0, unit2_ = 0;
};

} // namespace

TEST_F(ModbusTcp, ReadsEveryKindAndValueTypeInOneFlush)
{
    Batch b(net_);
    b.read(unit1_, "300010")
        .read(unit1_, "10")
        .read(unit2_, "3x000A")
        .read(unit1_, "400005")
        .read(unit1_, "100003")
        .read(unit1_, "100004")
        .read(unit1_, "200005")
        .read(unit1_, "200004")
        .read_int(unit1_, "300010", "u32")
        .read_int(unit1_, "300010", "U32,swap")
        .read(unit1_, "300011", "i16");
    const auto r = b.run();
    EXPECT_TRUE(ok(b.flushed())) << ncerr_get_string(b.flushed());
    for (const auto &x : r)
        EXPECT_TRUE(ok(x.result)) << ncerr_get_string(x.result);
    EXPECT_EQ(r[0].value, holding(10, 1));
    EXPECT_EQ(r[1].value, holding(10, 1));
    EXPECT_EQ(r[2].value, holding(10, 2));
    EXPECT_EQ(r[3].value, 1005);
    EXPECT_EQ(r[4].value, 1);
    EXPECT_EQ(r[5].value, 0);
    EXPECT_EQ(r[6].value, 1);
    EXPECT_EQ(r[7].value, 0);
    EXPECT_EQ(r[8].ivalue, 71l << 16 | 78);
    EXPECT_EQ(r[9].ivalue, 78l << 16 | 71);
    EXPECT_EQ(r[10].value, holding(11, 1));
}

TEST_F(ModbusTcp, WritesEveryTypeInTheDevicesWordOrder)
{
    Batch w(net_);
    w.write(unit1_, "300100", "i16", -2)
        .write_int(unit1_, "300101", "u32", 0x12345678)
        .write(unit1_, "300103", "i32,swap", -2)
        .write(unit1_, "300105", "f", 1.5)
        .write(unit1_, "300107", "f,swap", -2.5)
        .write(unit1_, "300109", "bcd16", 1234)
        .write(unit1_, "100051", "", 0)
        .write(unit1_, "100052", "", 1)
        // Read in the same flush: the write goes first, and keeps its own result.
        .write(unit1_, "300120", "", 5)
        .read(unit1_, "300120");
    const auto wr = w.run();
    for (const auto &x : wr)
        EXPECT_TRUE(ok(x.result)) << ncerr_get_string(x.result);
    EXPECT_EQ(wr.back().value, 5);

    Batch raw(net_);
    for (const char *item : {"300100", "300101", "300102", "300103", "300104", "300105", "300106", "300107", "300108",
                             "300109"})
        raw.read(unit1_, item);
    raw.read(unit1_, "100051").read(unit1_, "100052");
    std::vector<double> values;
    for (const auto &x : raw.run())
        values.push_back(x.value);
    EXPECT_EQ(values, (std::vector<double>{0xFFFE, 0x1234, 0x5678, 0xFFFE, 0xFFFF, 0x3FC0, 0, 0, 0xC020, 0x1234, 0,
                                           1}));

    Batch typed(net_);
    typed.read(unit1_, "300100", "i16")
        .read_int(unit1_, "300101", "u32")
        .read(unit1_, "300103", "i32,swap")
        .read(unit1_, "300105", "f")
        .read(unit1_, "300107", "f,swap")
        .read(unit1_, "300109", "bcd16");
    const auto t = typed.run();
    EXPECT_EQ(t[0].value, -2);
    EXPECT_EQ(t[1].ivalue, 0x12345678);
    EXPECT_EQ(t[2].value, -2);
    EXPECT_EQ(t[3].value, 1.5);
    EXPECT_EQ(t[4].value, -2.5);
    EXPECT_EQ(t[5].value, 1234);
}

TEST_F(ModbusTcp, RefusedItemsFailAloneWithTheirStatus)
{
    Batch b(net_);
    b.write(unit1_, "400005", "", 1)
        .write(unit1_, "200005", "", 1)
        .read(unit1_, "300010", "u17")
        .write(unit1_, "300200", "bcd16", 10000)
        .write(unit1_, "300201", "", 70000)
        .read(unit1_, "5x0000")
        .read(test::add_device(net_, "Nowhere", "256"), "300010")
        .read(unit1_, "300012");
    const auto r = b.run();
    EXPECT_EQ(failure(r[0].result), "11/204");
    EXPECT_EQ(failure(r[1].result), "11/204");
    EXPECT_EQ(failure(r[2].result), "8/" + std::to_string(mbplug::ST_VALUE_TYPE));
    EXPECT_EQ(failure(r[3].result), "8/" + std::to_string(mbplug::ST_VALUE_RANGE));
    EXPECT_EQ(failure(r[4].result), "8/" + std::to_string(mbplug::ST_VALUE_RANGE));
    EXPECT_EQ(failure(r[5].result), "8/203");
    EXPECT_EQ(failure(r[6].result), "8/" + std::to_string(mbplug::ST_TCP_UNIT));
    EXPECT_TRUE(ok(r[7].result));
    EXPECT_EQ(r[7].value, holding(12, 1));
    EXPECT_STREQ(ncerr_get_string(r[0].result), "Setpoint is read-only (modbus/tcp: Read only parameter, code 204)");
}

TEST_F(ModbusTcp, AMissingRegisterInsideAMergedReadFailsAlone)
{
    Batch b(net_);
    for (int a = 10; a <= 20; ++a)
        b.read(unit1_, std::to_string(a).c_str());
    b.read(unit1_, "300014", "u32"); // spans 14 and the missing 15
    for (int a = 12; a <= 18; ++a)
        b.read(unit1_, ("1000" + std::to_string(a)).c_str());
    const auto r = b.run();
    for (int a = 10; a <= 20; ++a) {
        const auto &x = r[static_cast<std::size_t>(a - 10)];
        if (a == 15) {
            EXPECT_EQ(failure(x.result), "6/222");
            EXPECT_STREQ(ncerr_get_string(x.result),
                         "Unknown setpoint (modbus/tcp: Error exception: illegal data address, code 222)");
        } else {
            EXPECT_TRUE(ok(x.result)) << a << ": " << ncerr_get_string(x.result);
            EXPECT_EQ(x.value, holding(static_cast<unsigned>(a), 1)) << a;
        }
    }
    EXPECT_EQ(failure(r[11].result), "6/222");
    for (int a = 12; a <= 18; ++a) {
        const auto &x = r[static_cast<std::size_t>(a)];
        if (a == 15) {
            EXPECT_EQ(failure(x.result), "6/222");
        } else {
            EXPECT_TRUE(ok(x.result)) << "coil " << a;
            EXPECT_EQ(x.value, a % 3 == 0 ? 1 : 0) << "coil " << a;
        }
    }
    EXPECT_EQ(failure(b.flushed()), "6/222");

    // Writes across the missing register 40 as well.
    Batch w(net_);
    for (int a = 38; a <= 42; ++a)
        w.write(unit1_, std::to_string(a).c_str(), "", 900 + a);
    const auto wr = w.run();
    Batch check(net_);
    for (int a = 38; a <= 42; ++a)
        check.read(unit1_, std::to_string(a).c_str());
    const auto c = check.run();
    for (std::size_t i = 0; i < 5; ++i) {
        if (i == 2) {
            EXPECT_EQ(failure(wr[i].result), "6/222");
            continue;
        }
        EXPECT_TRUE(ok(wr[i].result)) << i;
        EXPECT_EQ(c[i].value, 938 + static_cast<double>(i)) << i;
    }
}

TEST_F(ModbusTcp, ALostServerFailsWithTheDriverStatusAndIsReachedAgain)
{
    double v = 0;
    ASSERT_TRUE(ok(test::read_float(unit1_, "300010", "", v)));
    server_.reset();
    Batch gone(net_);
    const auto r = gone.read(unit1_, "300010").read(unit2_, "300011").run();
    for (const auto &x : r) {
        EXPECT_EQ(failure(x.result), "9/107");
        EXPECT_STREQ(ncerr_get_string(x.result), "Driver error (modbus/tcp: No connection, code 107)");
    }
    EXPECT_TRUE(test::Recorder::get().wait_log(" ! modbus/tcp: link to 127.0.0.1:" + port_ + " lost"));

    ASSERT_EQ(mbtest::start_modbus_server(server_, {"--tcp", port_, "--holes", "15,40"}), port_);
    ASSERT_TRUE(ok(test::read_float(unit2_, "300011", "", v)));
    EXPECT_EQ(v, holding(11, 2));
    EXPECT_TRUE(test::Recorder::get().wait_log(" * modbus/tcp: link restored to 127.0.0.1:" + port_));

    // A server restarted between two requests: its old connection is dead,
    // and the request still gets through on a new one.
    server_.reset();
    ASSERT_EQ(mbtest::start_modbus_server(server_, {"--tcp", port_}), port_);
    ASSERT_TRUE(ok(test::read_float(unit1_, "300015", "", v)));
    EXPECT_EQ(v, holding(15, 1));
}

TEST(ModbusTcpScripted, AFailedWriteIsNotHiddenByAReadOfTheSameRegister)
{
    // A device that refuses every single-register write.
    std::mutex m;
    std::vector<int> functions;
    mbtest::Registers regs;
    for (unsigned a = 0; a < 10; ++a)
        regs.holding[a] = static_cast<uint16_t>(100 + a);
    mbtest::TcpSlave slave([&](const mbtest::Bytes &frame) -> mbtest::Answer {
        std::lock_guard lk(m);
        const mbtest::Bytes pdu = frame.substr(7);
        functions.push_back(pdu[0]);
        const mbtest::Bytes answer = pdu[0] == 6 ? mbtest::Bytes("\x86\x04", 2) : regs.answer(pdu);
        return {{0, mbtest::mbap(mbtest::transaction_of(frame), 0, static_cast<uint8_t>(frame[6]), answer)}};
    });
    ASSERT_GT(slave.port(), 0);
    test::TempDir dir;
    test::Session session(dir.path());
    const uint16_t net = mbcore::add_network("modbus/tcp", [&](network_t *n) {
        EXPECT_TRUE(ok(network_set(n, "port", slave.port(), (char *)nullptr)));
    });
    const uint16_t dev = test::add_device(net, "PLC", "1");

    Batch b(net);
    const auto r = b.write(dev, "3", "", 7).read(dev, "3").read(dev, "4").run();
    EXPECT_EQ(failure(r[0].result), "9/224");
    EXPECT_TRUE(ok(r[1].result));
    EXPECT_EQ(r[1].value, 103);
    EXPECT_EQ(r[2].value, 104);
    std::lock_guard lk(m);
    EXPECT_EQ(functions, (std::vector<int>{6, 3})); // the two reads in one request
}

TEST_F(ModbusTcp, WritesToOneAddressInOneBatchEndWithTheLastValue)
{
    Batch w(net_);
    const auto wr = w.write(unit1_, "300012", "", 111)
                        .write(unit1_, "300011", "", 222)
                        .write(unit1_, "300012", "", 333)
                        .write_int(unit1_, "300020", "u32", 0x11112222)
                        .write(unit1_, "300021", "", 7)
                        .write_int(unit1_, "300019", "u32", 0x33334444)
                        .write(unit1_, "100051", "", 1)
                        .write(unit1_, "100050", "", 0)
                        .write(unit1_, "100051", "", 0)
                        .run();
    for (const auto &x : wr)
        EXPECT_TRUE(ok(x.result)) << ncerr_get_string(x.result);

    Batch raw(net_);
    for (const char *item : {"300011", "300012", "300019", "300020", "300021", "100050", "100051"})
        raw.read(unit1_, item);
    std::vector<double> values;
    for (const auto &x : raw.run())
        values.push_back(x.value);
    EXPECT_EQ(values, (std::vector<double>{222, 333, 0x3333, 0x4444, 7, 0, 0}));
}
