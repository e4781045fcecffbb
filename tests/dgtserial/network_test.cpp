// The "dgt-serial" network type through the core, against the simulated
// LCC1200 line.
#include "dgt_peer.h"
#include "modbus_session.h"
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <thread>

using mbcore::Batch;
using mbcore::failure;
using test::ok;
using Clock = std::chrono::steady_clock;

namespace {

const char *const script = R"({
  "departments": {"A": {"57": 5.25, "300": "12", "636": 412, "5": 0},
                  "B": {"57": 1, "300": 4, "5": 0, "636": 412}},
  "unavailable": {"A": [58]},
  "misbehave": [{"do": "corrupt", "dept": "B", "number": 636, "nth": 1}]})";

std::vector<std::string> raws(const dgttest::Line &line)
{
    std::vector<std::string> all;
    for (const auto &h : line.heard())
        all.push_back(h.raw);
    return all;
}

double seconds_since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

class DgtNet : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim_->ready()); }

    uint16_t add(const std::function<void(network_t *)> &more = nullptr)
    {
        return mbcore::add_network("dgt-serial", [&](network_t *n) {
            EXPECT_TRUE(ok(network_set(n, "port", sim_->path().c_str(), (char *)nullptr)));
            if (more)
                more(n);
        });
    }

    test::TempDir dir_;
    std::unique_ptr<dgttest::Line> sim_ = std::make_unique<dgttest::Line>(script);
    test::Session session_{dir_.path()};
};

TEST(DgtNetParams, DefaultsRoundTripAndRefusedValues)
{
    test::TempDir dir;
    {
        test::Session session(dir.path());
        ASSERT_TRUE(plexord_has_network_type("dgt-serial"));
        network_t *n = plexord_create_network("dgt-serial");
        ASSERT_NE(n, nullptr);
        const char *port = nullptr;
        int baud = 0, clock = -1, sync = -1, co2 = -1, one_off = -1;
        EXPECT_TRUE(ok(network_get(n, "port", &port, "baudrate", &baud, "clock_setpoint", &clock, "enable_sync_clock",
                                   &sync, "enable_co2", &co2, "co2_one_off_error", &one_off, (char *)nullptr)));
        EXPECT_STREQ(port, "COM1");
        EXPECT_EQ(baud, 9600);
        EXPECT_EQ(clock + sync + co2 + one_off, 0);

        EXPECT_TRUE(ok(network_set(n, "name", "Greenhouse", "port", "ttyUSB1", "baudrate", 19200, "clock_setpoint",
                                   705, "enable_sync_clock", 1, "enable_co2", 1, "co2_one_off_error", 1,
                                   (char *)nullptr)));
        struct Refused {
            const char *key;
            int value;
        };
        for (const Refused &r : {Refused{"baudrate", 57600}, Refused{"baudrate", 0}, Refused{"clock_setpoint", 1000},
                                 Refused{"clock_setpoint", -1}})
            EXPECT_EQ(test::cls(network_set(n, r.key, r.value, (char *)nullptr)), NCERR_INVALID) << r.key;
        EXPECT_EQ(test::cls(network_set(n, "port", "", (char *)nullptr)), NCERR_INVALID);
        EXPECT_TRUE(ok(networkmgr_add_network(n)));
        session.finish();
    }
    // Saved and loaded again as they were set; refused values left no trace.
    test::Session session(dir.path());
    network_t *n = nullptr;
    networkmgr_iterate_start();
    const uint16_t id = networkmgr_iterate_get_next();
    networkmgr_iterate_end();
    ASSERT_NE(n = networkmgr_fetch_network(id, 1000), nullptr);
    const char *port = nullptr;
    int baud = 0, clock = 0, sync = 0, co2 = 0, one_off = 0;
    EXPECT_TRUE(ok(network_get(n, "port", &port, "baudrate", &baud, "clock_setpoint", &clock, "enable_sync_clock",
                               &sync, "enable_co2", &co2, "co2_one_off_error", &one_off, (char *)nullptr)));
    EXPECT_STREQ(port, "ttyUSB1");
    EXPECT_STREQ(network_get_name(n), "Greenhouse");
    EXPECT_EQ(baud, 19200);
    EXPECT_EQ(clock, 705);
    EXPECT_EQ(sync + co2 + one_off, 3);
    networkmgr_drop_network(n);
}

TEST_F(DgtNet, ReadsWritesBroadcastsAndRefusals)
{
    const uint16_t net = add([](network_t *n) { EXPECT_TRUE(ok(network_set(n, "enable_co2", 1, (char *)nullptr))); });
    const uint16_t a = test::add_device(net, "A", "a");
    const uint16_t b = test::add_device(net, "B", "B");
    const uint16_t all = test::add_device(net, "All", "/");
    const uint16_t silent = test::add_device(net, "Silent", "C");
    const uint16_t bad = test::add_device(net, "Bad", "AB");

    Batch batch(net);
    const auto start = Clock::now();
    const auto r = batch.read(a, "57")
                       .read_int(b, "300")
                       .read(a, "636")
                       .read(a, "58")
                       .write(a, "57", "", 6.5)
                       .write_int(b, "57", "", 7)
                       .write(all, "300", "", 1.5)
                       .read(silent, "57")
                       .read(all, "300")
                       .read(a, "0")
                       .read(a, "1000")
                       .read(a, "5x")
                       .read(bad, "57")
                       .write(a, "300", "", std::nan(""))
                       .run();
    const double took = seconds_since(start);
    ASSERT_EQ(r.size(), 14u);
    EXPECT_TRUE(ok(r[0].result));
    EXPECT_DOUBLE_EQ(r[0].value, 6.5); // written before the read
    EXPECT_TRUE(ok(r[1].result));
    EXPECT_EQ(r[1].ivalue, 1); // the broadcast's 1.50, as an integer
    EXPECT_TRUE(ok(r[2].result));
    EXPECT_DOUBLE_EQ(r[2].value, 412);
    EXPECT_EQ(failure(r[3].result), "6/7");
    EXPECT_TRUE(ok(r[4].result) && ok(r[5].result) && ok(r[6].result));
    EXPECT_EQ(failure(r[7].result), "5/8");
    EXPECT_EQ(failure(r[8].result), "6/101");
    for (int i : {9, 10, 11})
        EXPECT_EQ(failure(r[static_cast<std::size_t>(i)].result), "6/100") << i;
    EXPECT_EQ(failure(r[12].result), "8/1004");
    EXPECT_EQ(failure(r[13].result), "8/1003");
    EXPECT_NE(std::string(ncerr_get_string(r[8].result)).find("broadcast"), std::string::npos);

    // Broadcasts, writes, reads, each in batch order; refused items never
    // reach the line.
    const std::vector<std::string> want = {"/300=1.50", "A057=06.50", "B057=07.00", "A057",
                                           "B300",      "A636",       "A058",       "C057"};
    EXPECT_EQ(raws(*sim_), want);
    // The pauses alone: 3 x 250 + 5 x 100 ms, and one 2 s time-out.
    EXPECT_GE(took, 3.25);
}

TEST_F(DgtNet, Co2AndClockFlags)
{
    const uint16_t off = add([](network_t *n) {
        EXPECT_TRUE(ok(network_set(n, "enable_sync_clock", 1, (char *)nullptr)));
    });
    const uint16_t a = test::add_device(off, "A", "A");
    {
        Batch batch(off);
        const auto start = Clock::now();
        const auto r = batch.read(a, "636").run();
        EXPECT_EQ(failure(r[0].result), "6/102");
        EXPECT_NE(std::string(ncerr_get_string(r[0].result)).find("CO2 scanning is not enabled"), std::string::npos);
        EXPECT_LT(seconds_since(start), 0.5);
    }
    EXPECT_TRUE(raws(*sim_).empty());
    EXPECT_TRUE(test::Recorder::get().wait_log("clock synchronization needs clock_setpoint", 2000));
    networkmgr_remove_network(off);
    // A pty once set to parity refuses the settings when opened again (a
    // quirk of pseudo-terminals only): a fresh line.
    sim_ = std::make_unique<dgttest::Line>(script);
    ASSERT_TRUE(sim_->ready());

    const uint16_t on = add([](network_t *n) {
        EXPECT_TRUE(ok(network_set(n, "enable_co2", 1, "co2_one_off_error", 1, "enable_sync_clock", 1,
                                   "clock_setpoint", 5, (char *)nullptr)));
    });
    const uint16_t b = test::add_device(on, "B", "B");
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    {
        Batch batch(on);
        // The first CO2 answer is corrupt; the repeat succeeds.
        const auto r = batch.read(b, "636").run();
        EXPECT_TRUE(ok(r[0].result)) << ncerr_get_string(r[0].result);
        EXPECT_DOUBLE_EQ(r[0].value, 412);
    }
    {
        Batch batch(on);
        EXPECT_TRUE(ok(batch.read(b, "57").run()[0].result));
    }
    // The clock went first, and once in the hour.
    const auto heard = raws(*sim_);
    ASSERT_EQ(heard.size(), 4u);
    EXPECT_EQ(heard[0].rfind("/5=", 0), 0u);
    EXPECT_NEAR(std::stod(heard[0].substr(3)), local.tm_hour + local.tm_min / 100.0, 0.011) << heard[0];
    EXPECT_EQ(heard[1], "B636");
    EXPECT_EQ(heard[2], "B636");
    EXPECT_EQ(heard[3], "B057");
    EXPECT_TRUE(test::Recorder::get().wait_log(" * dgt-serial: clock sent (", 2000));
}

TEST_F(DgtNet, PortMissingThenVanishingAndComingBack)
{
    const std::string link = dir_.file("line");
    const uint16_t net = mbcore::add_network("dgt-serial", [&](network_t *n) {
        EXPECT_TRUE(ok(network_set(n, "port", link.c_str(), (char *)nullptr)));
    });
    const uint16_t a = test::add_device(net, "A", "A");
    auto read57 = [&] {
        Batch batch(net);
        return batch.read(a, "57").run()[0];
    };
    const auto missing = read57();
    EXPECT_EQ(test::cls(missing.result), NCERR_IO);
    EXPECT_TRUE(test::Recorder::get().wait_log("No such file or directory", 2000));

    std::filesystem::create_symlink(sim_->path(), link);
    auto r = read57();
    EXPECT_TRUE(ok(r.result)) << ncerr_get_string(r.result);
    EXPECT_DOUBLE_EQ(r.value, 5.25);

    sim_->vanish();
    EXPECT_FALSE(ok(read57().result));
    sim_ = std::make_unique<dgttest::Line>(script);
    ASSERT_TRUE(sim_->ready());
    std::filesystem::remove(link);
    std::filesystem::create_symlink(sim_->path(), link);
    r = read57();
    EXPECT_TRUE(ok(r.result)) << ncerr_get_string(r.result);
    EXPECT_DOUBLE_EQ(r.value, 5.25);
    EXPECT_TRUE(test::Recorder::get().wait_log("dgt-serial: link restored to " + link, 2000));
}

TEST_F(DgtNet, StopCutsABatchWaitingOnASilentDevice)
{
    const uint16_t net = add();
    const uint16_t silent = test::add_device(net, "Silent", "Q");
    const auto cut = mbcore::stop_during_batch(net, silent, 20, [&] { return sim_->wait_heard(1); });
    ASSERT_TRUE(cut.waited);
    EXPECT_LT(cut.stop_seconds, 1.5);
    ASSERT_EQ(cut.results.size(), 20u);
    for (const auto &r : cut.results)
        EXPECT_EQ(test::cls(r.result), NCERR_ABORTED);
    EXPECT_EQ(sim_->heard().size(), 1u);
}

} // namespace
