// The "lct1" network type through the core's C interface, against the
// simulated transmitter on a pseudo-terminal reached through a symlink, so
// that the line can vanish and come back where the network looks for it.
#include "lct1_calibration.h"
#include "lct1_peer.h"
#include "modbus_session.h"
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

using lct1test::Transmitter;
using mbcore::Batch;
using mbcore::failure;
using test::ok;

namespace {

const char *kScript = R"({"nodes": {"1": {"messages": {"10": "34", "1": "20"}, "readings": ["021000"]},
                                   "2": {"readings": ["000042"]}}})";

std::string text_param(uint16_t id, const char *key)
{
    network_t *n = networkmgr_fetch_network(id, 1000);
    char *text = nullptr;
    network_get(n, key, &text, (char *)nullptr);
    std::string value = text ? text : "";
    networkmgr_drop_network(n);
    return value;
}

bool log_has(const std::string &part)
{
    return test::Recorder::get().wait_log(part, 3000);
}

class Lct1Core : public testing::Test {
protected:
    void SetUp() override { session_ = std::make_unique<test::Session>(dir_.path()); }

    void link_to(const Transmitter &peer)
    {
        std::filesystem::remove(link_);
        std::filesystem::create_symlink(peer.path(), link_);
    }

    uint16_t add_network()
    {
        const uint16_t id = mbcore::add_network("lct1", [&](network_t *n) {
            EXPECT_TRUE(ok(network_set(n, "name", "Scales", "port", link_.c_str(), (char *)nullptr)));
        });
        node1_ = test::add_device(id, "Scale 1", "1");
        return id;
    }

    test::TempDir dir_;
    const std::string link_ = dir_.file("line");
    std::unique_ptr<test::Session> session_;
    uint16_t node1_ = 0;
};

} // namespace

TEST(Lct1Calibration, TextsAreCheckedAndKeptExactly)
{
    const char *good[] = {"", "3=1000:0:21000:500", "0=-5:1.25:7:-2e3;15=0:0:1:1", "7=1:0.1:2:0.30000000000000004"};
    for (const char *text : good) {
        const auto parsed = lct1net::parse_calibrations(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(lct1net::parse_calibrations(lct1net::format_calibrations(*parsed)), parsed) << text;
    }
    EXPECT_EQ(lct1net::format_calibrations(*lct1net::parse_calibrations("7=1:2:3:4;3=0:0.5:10:20")),
              "3=0:0.5:10:20;7=1:2:3:4");
    const char *bad[] = {"16=1:2:3:4", "-1=1:2:3:4", "3=1:2:3",       "3=1:2:3:4:5", "3=1:2:3:4;3=5:6:7:8",
                         "3=1.5:2:3:4", "3=1:nan:3:4", "3=1:inf:3:4", "3=1:2:3:4;",  "x=1:2:3:4",
                         "3:1:2:3:4",  " 3=1:2:3:4", "3=1:2:3:4x",   "3=99999999999:1:2:3"};
    for (const char *text : bad)
        EXPECT_FALSE(lct1net::parse_calibrations(text)) << text;
}

TEST_F(Lct1Core, ParametersRoundTripAndRefuseBadValues)
{
    network_t *n = plexord_create_network("lct1");
    ASSERT_NE(n, nullptr);
    char *port = nullptr, *calibration = nullptr;
    int checksum = -1;
    ASSERT_TRUE(ok(network_get(n, "port", &port, "checksum", &checksum, "calibration", &calibration, (char *)nullptr)));
    EXPECT_STREQ(port, "COM1");
    EXPECT_EQ(checksum, 1);
    EXPECT_STREQ(calibration, "");
    EXPECT_EQ(network_get_param_kind(n, "checksum"), NETWORK_PARAM_FLAG);
    EXPECT_EQ(network_get_param_kind(n, "calibration"), NETWORK_PARAM_TEXT);

    ASSERT_TRUE(ok(network_set(n, "name", "Scales", "port", "ttyUSB3", "checksum", 0, "calibration",
                               "3=1000:0:21000:500;7=0:0:10:2.5", (char *)nullptr)));
    ASSERT_TRUE(ok(network_get(n, "port", &port, "checksum", &checksum, "calibration", &calibration, (char *)nullptr)));
    EXPECT_STREQ(port, "ttyUSB3");
    EXPECT_EQ(checksum, 0);
    EXPECT_STREQ(calibration, "3=1000:0:21000:500;7=0:0:10:2.5");

    EXPECT_EQ(test::cls(network_set(n, "calibration", "3=1000:0:21000", (char *)nullptr)), NCERR_INVALID);
    EXPECT_EQ(test::cls(network_set(n, "port", "", (char *)nullptr)), NCERR_INVALID);
    ASSERT_TRUE(ok(network_get(n, "port", &port, "calibration", &calibration, (char *)nullptr)));
    EXPECT_STREQ(port, "ttyUSB3");
    EXPECT_STREQ(calibration, "3=1000:0:21000:500;7=0:0:10:2.5");
}

TEST_F(Lct1Core, ReadsWritesAndCalibrationThatSurvivesARestart)
{
    Transmitter peer(kScript);
    link_to(peer);
    const uint16_t net = add_network();
    const uint16_t node2 = test::add_device(net, "Scale 2", "2");
    const uint16_t silent = test::add_device(net, "Scale 9", "9");
    const uint16_t wrong = test::add_device(net, "Scale 16", "16");
    {
        Batch b(net);
        const auto r = b.read_int(node1_, "value")
                           .read(node1_, "Weight")
                           .write_int(node1_, "filter", "", 12)
                           .read_int(node1_, "filter")
                           .read_int(node1_, "integ")
                           .read_int(node1_, "version")
                           .write_int(node1_, "status", "", 9)
                           .write_int(node1_, "weight", "", 1)
                           .write_int(node1_, "value", "", 1)
                           .read(node1_, "bogus")
                           .read(wrong, "value")
                           .read(node1_, "calib_raw1")
                           .write_int(node1_, "calib_raw1", "", 1000)
                           .write(node1_, "calib_weight1", "", 0.0)
                           .write_int(node1_, "calib_raw2", "", 21000)
                           .read(node1_, "weight") // three points: still raw
                           .write(node1_, "calib_weight2", "", 500.0)
                           .read(node1_, "weight")
                           .read(node1_, "calib_weight2")
                           .read(node2, "weight") // another node's calibration
                           .write_int(node1_, "reset", "", 1)
                           .read(silent, "value")
                           .run();
        const std::string expected[] = {"1/0", "1/0",  "1/0",  "1/0",  "1/0", "1/0", "1/0", "11/11",
                                        "11/11", "6/11", "8/1004", "8/100", "1/0", "1/0", "1/0", "1/0",
                                        "1/0", "1/0",  "1/0",  "1/0",  "1/0", "5/9"};
        ASSERT_EQ(r.size(), std::size(expected));
        for (std::size_t i = 0; i < r.size(); ++i)
            EXPECT_EQ(failure(r[i].result), expected[i]) << "item " << i;
        EXPECT_EQ(r[0].ivalue, 21000);
        EXPECT_EQ(r[1].value, 21000.0);
        EXPECT_EQ(r[3].ivalue, 12);
        EXPECT_EQ(r[4].ivalue, 4);
        EXPECT_EQ(r[5].ivalue, 104);
        EXPECT_EQ(r[15].value, 21000.0);
        EXPECT_EQ(r[17].value, 500.0);
        EXPECT_EQ(r[18].value, 500.0);
        EXPECT_EQ(r[19].value, 42.0);
        EXPECT_NE(std::string(ncerr_get_string(r[21].result)).find("No response"), std::string::npos)
            << ncerr_get_string(r[21].result);
    }
    EXPECT_EQ(text_param(net, "calibration"), "1=1000:0:21000:500");
    const auto sent = peer.requests(14);
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[sent.size() - 2], "(10394)\r\n");
    EXPECT_EQ(sent.back(), "(9609F)\r\n");

    session_->finish();
    session_ = std::make_unique<test::Session>(dir_.path());
    EXPECT_EQ(text_param(net, "calibration"), "1=1000:0:21000:500");
    Batch b(net);
    const auto r = b.read(node1_, "weight").read(node1_, "calib_raw2").run();
    EXPECT_TRUE(ok(r[0].result)) << ncerr_get_string(r[0].result);
    EXPECT_EQ(r[0].value, 500.0);
    EXPECT_EQ(r[1].value, 21000.0);
}

TEST_F(Lct1Core, APortThatIsMissingOrVanishesIsOpenedAgain)
{
    const uint16_t net = add_network();
    {
        Batch b(net);
        const auto r = b.read_int(node1_, "value").run();
        EXPECT_EQ(test::cls(r[0].result), NCERR_IO);
    }
    EXPECT_TRUE(log_has("No access: Error 2: No such file or directory"));

    auto peer = std::make_unique<Transmitter>(kScript);
    link_to(*peer);
    {
        Batch b(net);
        const auto r = b.read_int(node1_, "value").run();
        EXPECT_TRUE(ok(r[0].result)) << ncerr_get_string(r[0].result);
        EXPECT_EQ(r[0].ivalue, 21000);
    }

    // The far end closes; a new terminal takes the name.
    peer->stop();
    peer = std::make_unique<Transmitter>(R"({"nodes": {"1": {"readings": ["000007"]}}})");
    link_to(*peer);
    {
        Batch b(net);
        const auto r = b.read_int(node1_, "value").run();
        EXPECT_TRUE(ok(r[0].result)) << ncerr_get_string(r[0].result);
        EXPECT_EQ(r[0].ivalue, 7);
    }
    EXPECT_TRUE(log_has("lost"));
}

TEST_F(Lct1Core, StopCutsABatchWaitingOnASilentDevice)
{
    Transmitter peer(kScript);
    link_to(peer);
    const uint16_t net = add_network();
    const uint16_t silent = test::add_device(net, "Scale 5", "5");
    std::vector<mbcore::Result> results;
    std::thread batch([&] {
        Batch b(net);
        results = b.read_int(silent, "value").read_int(silent, "status").run();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    network_t *n = networkmgr_fetch_network(net, 1000);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(ok(network_stop(n)));
    const auto took = std::chrono::steady_clock::now() - start;
    networkmgr_drop_network(n);
    batch.join();
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    ASSERT_EQ(results.size(), 2u);
    for (const auto &r : results)
        EXPECT_EQ(test::cls(r.result), NCERR_ABORTED);
    EXPECT_EQ(peer.requests(1).size(), 1u); // the second was never sent
}
