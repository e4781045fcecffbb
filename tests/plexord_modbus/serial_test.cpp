// The serial network types of the core: "modbus/rtu" against pymodbus
// through a socat pseudo-terminal pair, "modbus/xbee" against the simulated
// XBee module of tests/peers.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "modbus_peers.h"
#include "modbus_session.h"
#include "modbus_values.h"
#include "support.h"
#include "xbee_module.h"

using mbcore::Batch;
using mbcore::failure;
using test::ok;

namespace {

class ModbusRtu : public testing::Test {
protected:
    void SetUp() override
    {
        if (!mbtest::have_pymodbus())
            GTEST_SKIP() << "/usr/bin/python3 cannot import pymodbus (python3-pymodbus, python3-serial-asyncio)";
        start_peer();
        if (HasFatalFailure())
            return;
        session_ = std::make_unique<test::Session>(dir_.path());
        net_ = mbcore::add_network("modbus/rtu", [&](network_t *n) {
            EXPECT_TRUE(ok(network_set(n, "port", links_[1].c_str(), "baudrate", 38400, "timeout", 300,
                                       (char *)nullptr)));
        });
        unit1_ = test::add_device(net_, "PLC", "1");
    }

    // socat links the two terminals under fixed names, so that the line
    // can vanish and come back where the network looks for it.
    void start_peer()
    {
        pair_ = std::make_unique<mbtest::PtyPair>(links_);
        ASSERT_TRUE(pair_->started()) << "socat gave no pseudo-terminals";
        ASSERT_EQ(mbtest::start_modbus_server(server_, {"--rtu", links_[0], "--baud", "38400"}), "0")
            << "pymodbus RTU server did not start";
    }

    void stop_peer()
    {
        server_.reset();
        pair_.reset();
        // Gone for good: a dangling link could meet a new terminal of the same number.
        for (const std::string &link : links_)
            std::filesystem::remove(link);
    }

    test::TempDir dir_;
    const std::vector<std::string> links_{dir_.file("plc"), dir_.file("line")};
    std::unique_ptr<mbtest::PtyPair> pair_;
    std::unique_ptr<mbtest::Child> server_;
    std::unique_ptr<test::Session> session_;
    uint16_t net_ = 0, unit1_ = 0;
};

} // namespace

TEST_F(ModbusRtu, ReadsAndWritesThroughTheLine)
{
    const uint16_t silent = test::add_device(net_, "Silent", "9");
    Batch b(net_);
    const auto r = b.read(unit1_, "300010")
                       .read(unit1_, "100003")
                       .read(unit1_, "400005")
                       .write(unit1_, "300050", "i16", -7)
                       .read(silent, "300001")
                       .read(unit1_, "300011", "u32,swap")
                       .run();
    EXPECT_TRUE(ok(r[0].result)) << ncerr_get_string(r[0].result);
    EXPECT_EQ(r[0].value, 71);
    EXPECT_EQ(r[1].value, 1);
    EXPECT_EQ(r[2].value, 1005);
    EXPECT_TRUE(ok(r[3].result)) << ncerr_get_string(r[3].result);
    EXPECT_EQ(failure(r[4].result), "5/100");
    EXPECT_STREQ(ncerr_get_string(r[4].result), "Time-out (modbus/rtu: No response, code 100)");
    EXPECT_EQ(r[5].value, 85 * 65536.0 + 78);

    double v = 0;
    ASSERT_TRUE(ok(test::read_float(unit1_, "300050", "i16", v)));
    EXPECT_EQ(v, -7);
}

TEST_F(ModbusRtu, AVanishedPortIsOpenedAgain)
{
    double v = 0;
    ASSERT_TRUE(ok(test::read_float(unit1_, "300010", "", v)));
    stop_peer();
    const ncerr_t gone = test::read_float(unit1_, "300010", "", v);
    EXPECT_EQ(failure(gone), "9/107") << ncerr_get_string(gone);
    EXPECT_TRUE(test::Recorder::get().wait_log(" ! modbus/rtu: link to " + links_[1] + " (38400 8N1) lost"));

    start_peer();
    ASSERT_TRUE(ok(test::read_float(unit1_, "300012", "", v)));
    EXPECT_EQ(v, 85);
    EXPECT_TRUE(test::Recorder::get().wait_log(" * modbus/rtu: link restored to " + links_[1]));
}

TEST(ModbusSerial, ANetworkWithoutItsPortStartsAndFailsEachRequest)
{
    test::TempDir dir;
    test::Session session(dir.path());
    const std::string port = dir.file("ttyUSB9");
    const uint16_t net = mbcore::add_network("modbus/rtu", [&](network_t *n) {
        EXPECT_TRUE(ok(network_set(n, "port", port.c_str(), (char *)nullptr)));
    });
    const uint16_t dev = test::add_device(net, "PLC", "1");
    network_t *n = networkmgr_fetch_network(net, 1000);
    EXPECT_EQ(network_is_started(n), 1);
    networkmgr_drop_network(n);

    double v = 0;
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(failure(test::read_float(dev, "300010", "", v)), "9/107");
    // Said once, not at every request. Events come in order: the marker
    // comes after every log line of the two requests.
    ncevent_throw_io_event(NCEVENT_READ_REQUEST, net, dev, 0, "marker", "", 0, ncerr_ok());
    ASSERT_TRUE(test::Recorder::get().wait([](const std::vector<test::Event> &events) {
        return std::any_of(events.begin(), events.end(), [](const test::Event &e) { return e.item == "marker"; });
    }));
    const std::string line =
        " ! modbus/rtu: no link to " + port + " (9600 8N1) (No connection); tried again at every request";
    int said = 0;
    for (const std::string &l : test::Recorder::get().log_lines())
        said += l == line;
    EXPECT_EQ(said, 1);
}

TEST(ModbusXbee, Series1ModuleReachesShortAndLongAddressesInOneFlush)
{
    test::TempDir dir;
    mbtest::Pty pty;
    ASSERT_FALSE(pty.path().empty());
    mbtest::XbeeModule module(pty, mbtest::XbeeModule::with_hv(0x1744));
    const uint64_t long_remote = 0x0013A20040506070ull;
    for (unsigned a = 0; a < 8; ++a) {
        module.remotes[0x0002].holding[a] = static_cast<uint16_t>(0x200 + a);
        module.remotes[long_remote].holding[a] = static_cast<uint16_t>(0x100 + a);
    }

    test::Session session(dir.path());
    const uint16_t net = mbcore::add_network("modbus/xbee", [&](network_t *n) {
        EXPECT_TRUE(ok(network_set(n, "port", pty.path().c_str(), "pan_id", 0x1234, "channel", 0x0F, "own_address", 7,
                                   (char *)nullptr)));
    });
    // The set-up runs on the network's thread, at once.
    EXPECT_TRUE(test::Recorder::get().wait_log(" * modbus/xbee: connected to the XBee module on " + pty.path()));
    EXPECT_EQ(module.commands(), (std::vector<std::string>{"AP", "HV", "CH:000F", "MY:0007", "MM:02", "ID:1234"}));

    const uint16_t near = test::add_device(net, "Short", "0002");
    const uint16_t far = test::add_device(net, "Long", "0013a20040506070");
    const uint16_t away = test::add_device(net, "Away", "0x0013A20040506071");
    const uint16_t bad = test::add_device(net, "Broadcast", "FFFF");
    Batch b(net);
    const auto r = b.read(near, "0")
                       .read(near, "1")
                       .read_int(far, "1", "u32")
                       .write(far, "300005", "", 0x7E7D)
                       .read(away, "0")
                       .read(bad, "0")
                       .run();
    EXPECT_EQ(r[0].value, 0x200);
    EXPECT_EQ(r[1].value, 0x201);
    EXPECT_TRUE(ok(r[2].result)) << ncerr_get_string(r[2].result);
    EXPECT_EQ(r[2].ivalue, 0x101l << 16 | 0x102);
    EXPECT_TRUE(ok(r[3].result));
    EXPECT_EQ(module.remotes[long_remote].holding[5], 0x7E7D);
    EXPECT_EQ(failure(r[4].result), "5/106");
    EXPECT_EQ(failure(r[5].result), "8/" + std::to_string(mbplug::ST_XBEE_ADDRESS));
}

// Series 2 switches 16-bit addresses off: a device so addressed fails at
// once with the reason, nothing sent, while 64-bit addresses work.
TEST(ModbusXbee, Series2ModuleRefusesShortAddressesAndReachesLongOnes)
{
    test::TempDir dir;
    mbtest::Pty pty;
    ASSERT_FALSE(pty.path().empty());
    mbtest::XbeeModule module(pty, mbtest::XbeeModule::with_hv(0x1944));
    const uint64_t long_remote = 0x0013A20040506070ull;
    module.remotes[0x0002].holding[0] = 0x222; // would answer, were it asked
    module.remotes[long_remote].holding[0] = 0x111;

    test::Session session(dir.path());
    const uint16_t net = mbcore::add_network("modbus/xbee", [&](network_t *n) {
        EXPECT_TRUE(ok(network_set(n, "port", pty.path().c_str(), (char *)nullptr)));
    });
    EXPECT_TRUE(test::Recorder::get().wait_log(" * modbus/xbee: connected to"));
    const uint16_t near = test::add_device(net, "Short", "0002");
    const uint16_t far = test::add_device(net, "Long", "0013A20040506070");
    Batch b(net);
    const auto r = b.read(near, "0").read(far, "0").write(near, "1", "", 5).run();
    const std::string refused = "8/" + std::to_string(mbplug::ST_XBEE_SHORT_ON_SERIES2);
    EXPECT_EQ(failure(r[0].result), refused);
    EXPECT_EQ(failure(r[2].result), refused);
    EXPECT_NE(std::string(ncerr_get_string(r[0].result)).find("16-bit XBee addresses need a series 1 module"),
              std::string::npos)
        << ncerr_get_string(r[0].result);
    EXPECT_TRUE(ok(r[1].result)) << ncerr_get_string(r[1].result);
    EXPECT_EQ(r[1].value, 0x111);
    EXPECT_EQ(module.commands(), (std::vector<std::string>{"AP", "HV", "ID:3332"}));
    EXPECT_EQ(module.frame_ids.size(), 1u) << "only the 64-bit request goes out";
    EXPECT_TRUE(module.remotes[0x0002].functions.empty());
}
