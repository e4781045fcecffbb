// The "txif" network type through the core, against the simulated adapter.
#include "fake_chip.h"
#include "txif_sim.h"
#include "modbus_session.h"
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

using mbcore::Batch;
using mbcore::failure;
using test::ok;
using Clock = std::chrono::steady_clock;

namespace {

const char *const script = R"({
  "networks": {"0": {"12": {"100": 5, "101": {"value": 2.5, "type": 7}, "102": {"value": -1, "type": 3},
                            "103": 0},
                     "20": {"1": 1}, "30": {"1": 1}},
               "1": {"70000": {"7": 4000000000}}},
  "misbehave": [{"do": "nak", "code": 7, "always": true, "node": 20},
                {"do": "silent", "always": true, "node": 30}]})";

double seconds_since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

class TxifNet : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim_->ready()); }

    uint16_t add(const std::string &port, int timeout = 500)
    {
        return mbcore::add_network("txif", [&](network_t *n) {
            EXPECT_TRUE(ok(network_set(n, "port", port.c_str(), "timeout", timeout, (char *)nullptr)));
        });
    }

    test::TempDir dir_;
    std::unique_ptr<txiftest::Adapter> sim_ = std::make_unique<txiftest::Adapter>(script);
    test::Session session_{dir_.path()};
};

TEST(TxifNetParams, DefaultsRoundTripAndRefusedValues)
{
    test::TempDir dir;
    {
        test::Session session(dir.path());
        ASSERT_TRUE(plexord_has_network_type("txif"));
        network_t *n = plexord_create_network("txif");
        ASSERT_NE(n, nullptr);
        const char *port = nullptr;
        int timeout = 0;
        EXPECT_TRUE(ok(network_get(n, "port", &port, "timeout", &timeout, (char *)nullptr)));
        EXPECT_STREQ(port, "");
        EXPECT_EQ(timeout, 2500);
        EXPECT_TRUE(ok(network_set(n, "name", "Barn", "port", "ttyUSB3", "timeout", 700, (char *)nullptr)));
        for (int refused : {0, -5, 600001})
            EXPECT_EQ(test::cls(network_set(n, "timeout", refused, (char *)nullptr)), NCERR_INVALID) << refused;
        EXPECT_TRUE(ok(networkmgr_add_network(n)));
        session.finish();
    }
    test::Session session(dir.path());
    networkmgr_iterate_start();
    const uint16_t id = networkmgr_iterate_get_next();
    networkmgr_iterate_end();
    network_t *n = networkmgr_fetch_network(id, 1000);
    ASSERT_NE(n, nullptr);
    const char *port = nullptr;
    int timeout = 0;
    EXPECT_TRUE(ok(network_get(n, "port", &port, "timeout", &timeout, (char *)nullptr)));
    EXPECT_STREQ(port, "ttyUSB3");
    EXPECT_EQ(timeout, 700);
    EXPECT_STREQ(network_get_name(n), "Barn");
    // Back to USB.
    EXPECT_TRUE(ok(network_set(n, "port", "", (char *)nullptr)));
    networkmgr_drop_network(n);
}

TEST_F(TxifNet, ReadsWritesNaksAndRefusals)
{
    const uint16_t net = add(sim_->path());
    const uint16_t a = test::add_device(net, "A", "12");
    const uint16_t b = test::add_device(net, "B", "1:70000");
    const uint16_t nak = test::add_device(net, "Nak", "0:20");
    const uint16_t unknown = test::add_device(net, "Unknown", "0:13");
    const uint16_t bad_net = test::add_device(net, "BadNet", "2:5");
    const uint16_t bad = test::add_device(net, "Bad", "1:x");

    Batch batch(net);
    const auto r = batch.read(a, "101")
                       .read_int(a, "102", "i16")
                       .read_int(b, "7", "u32")
                       .write(a, "101", "f", 6.5)
                       .write_int(a, "100", "u16", 65535)
                       .read_int(a, "100", "u16")
                       .read(a, "999")
                       .read(nak, "1", "i16")
                       .read(unknown, "1")
                       .read(bad_net, "1")
                       .read(bad, "1")
                       .read(a, "abc")
                       .read(a, "100", "f64")
                       .write_int(a, "103", "u8", 256)
                       .write(a, "103", "i16", 1e9)
                       .write_int(a, "998", "i16", 1)
                       .run();
    ASSERT_EQ(r.size(), 16u);
    EXPECT_TRUE(ok(r[0].result));
    EXPECT_DOUBLE_EQ(r[0].value, 6.5); // written before the read
    EXPECT_TRUE(ok(r[1].result));
    EXPECT_EQ(r[1].ivalue, -1);
    EXPECT_TRUE(ok(r[2].result));
    EXPECT_EQ(r[2].ivalue, 4000000000L);
    EXPECT_TRUE(ok(r[3].result) && ok(r[4].result));
    EXPECT_TRUE(ok(r[5].result));
    EXPECT_EQ(r[5].ivalue, 65535);
    EXPECT_EQ(failure(r[6].result), "6/-106");
    EXPECT_EQ(failure(r[7].result), "9/-107");
    EXPECT_EQ(failure(r[8].result), "5/-104");
    EXPECT_EQ(failure(r[9].result), "8/-8");
    EXPECT_EQ(failure(r[10].result), "8/1004");
    EXPECT_EQ(failure(r[11].result), "6/100");
    EXPECT_EQ(failure(r[12].result), "8/101");
    EXPECT_EQ(failure(r[13].result), "8/1003");
    EXPECT_EQ(failure(r[14].result), "8/1003");
    EXPECT_EQ(failure(r[15].result), "6/-106"); // refused in the write's answer
    EXPECT_NE(std::string(ncerr_get_string(r[7].result)).find("Generic error"), std::string::npos);

    // Packets of at most eleven entries: 23 reads go in three.
    const std::size_t before = sim_->heard().size();
    Batch many(net);
    for (int i = 0; i < 23; ++i)
        many.read(a, "100", "u16");
    for (const auto &x : many.run())
        EXPECT_TRUE(ok(x.result));
    const auto heard = sim_->heard();
    ASSERT_EQ(heard.size(), before + 3);
    // Header, network and node, 8 bytes an entry, trailer: in hex digits.
    EXPECT_EQ(heard[before].raw.size(), 2 * (8 + 11 * 8 + 3));
    EXPECT_EQ(heard[before + 2].raw.size(), 2 * (8 + 1 * 8 + 3));
}

TEST_F(TxifNet, SilentVanishedAndBack)
{
    const std::string link = dir_.file("adapter");
    std::filesystem::create_symlink(sim_->path(), link);
    const uint16_t net = add(link, 300);
    const uint16_t a = test::add_device(net, "A", "12");
    const uint16_t silent = test::add_device(net, "Silent", "30");
    auto read = [&](uint16_t device) {
        Batch batch(net);
        return batch.read(device, "1").read(a, "101").run();
    };
    auto r = read(silent);
    EXPECT_EQ(failure(r[0].result), "5/-16");
    EXPECT_TRUE(ok(r[1].result)) << ncerr_get_string(r[1].result);

    sim_->vanish();
    EXPECT_FALSE(ok(read(a)[1].result));
    sim_ = std::make_unique<txiftest::Adapter>(script);
    ASSERT_TRUE(sim_->ready());
    std::filesystem::remove(link);
    std::filesystem::create_symlink(sim_->path(), link);
    r = read(a);
    EXPECT_TRUE(ok(r[1].result)) << ncerr_get_string(r[1].result);
    EXPECT_DOUBLE_EQ(r[1].value, 2.5);
    EXPECT_TRUE(test::Recorder::get().wait_log("txif: link restored to", 2000));
}

TEST_F(TxifNet, StopCutsABatchWaitingOnASilentDevice)
{
    const uint16_t net = add(sim_->path(), 5000);
    const uint16_t silent = test::add_device(net, "Silent", "30");
    const auto cut = mbcore::stop_during_batch(net, silent, 20, [&] { return sim_->wait_heard(1); });
    ASSERT_TRUE(cut.waited);
    EXPECT_LT(cut.stop_seconds, 1.5);
    ASSERT_EQ(cut.results.size(), 20u);
    for (const auto &r : cut.results)
        EXPECT_EQ(test::cls(r.result), NCERR_ABORTED);
    EXPECT_EQ(sim_->heard().size(), 1u);
}

TEST_F(TxifNet, UsbWithoutAdapterFailsEveryBatchQuickly)
{
    const uint16_t net = add("");
    const uint16_t a = test::add_device(net, "A", "12");
    const auto start = Clock::now();
    for (int i = 0; i < 2; ++i) {
        Batch batch(net);
        const auto r = batch.read(a, "100").run();
        EXPECT_EQ(test::cls(r[0].result), NCERR_IO);
    }
    EXPECT_LT(seconds_since(start), 5.0);
    EXPECT_TRUE(test::Recorder::get().wait_log("txif: no link to the USB adapter", 2000));
}

TEST(TxifNetUsb, UnpluggedAdapterIsReopenedAtTheNextBatch)
{
    using txiftest::chip;
    chip = txiftest::FakeChip{};
    // Every read entry is answered with 42 of its type.
    chip.answer = [](const std::string &w) {
        std::string entries;
        for (std::size_t at = 8; w[0] == 10 && at + 8 <= w.size() - 3; at += 8)
            entries += w.substr(at, 5) + std::string("\0\x2a\0\0\0", 5);
        return txiftest::packet(110, entries);
    };
    txif_set_usb_driver(&txiftest::fake_driver);
    test::TempDir dir;
    test::Session session(dir.path());
    const uint16_t net = mbcore::add_network("txif", [](network_t *) {});
    const uint16_t a = test::add_device(net, "A", "3:12");
    const uint16_t b = test::add_device(net, "B", "12");
    auto read = [&] {
        Batch batch(net);
        return batch.read_int(a, "5", "i16").read_int(b, "6", "u8").run();
    };
    auto r = read();
    EXPECT_EQ(failure(r[0].result), "8/-8");
    EXPECT_TRUE(ok(r[1].result)) << ncerr_get_string(r[1].result);
    EXPECT_EQ(r[1].ivalue, 42);
    chip.present = false;
    EXPECT_EQ(test::cls(read()[1].result), NCERR_IO);
    EXPECT_TRUE(test::Recorder::get().wait_log("txif: link to the USB adapter lost", 2000));
    chip.present = true;
    r = read();
    EXPECT_TRUE(ok(r[1].result)) << ncerr_get_string(r[1].result);
    EXPECT_TRUE(test::Recorder::get().wait_log("txif: link restored to the USB adapter", 2000));
    session.finish();
    EXPECT_EQ(chip.opens, chip.closes);
    txif_set_usb_driver(nullptr);
}

} // namespace
