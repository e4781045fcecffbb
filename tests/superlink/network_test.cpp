// The "sl3" network type through the core, against the simulated SuperLink
// program: parameters, a batch of reads and writes in one exchange, a
// program that stops answering, and a stop that cuts the wait.
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "modbus_session.h"
#include "sl_sim.h"
#include "support.h"

using mbcore::Batch;
using mbcore::failure;
using test::ok;

namespace {

const char *const kScript = R"({"departments": {"A": {"T:5": 21.26, "P:12": 0}, "": {"T:7": 2.5, "Q:1": 0}}})";

struct Params {
    std::string path = "?";
    int flag = -9, timeout = -9;
};

Params params_of(uint16_t id)
{
    Params p;
    network_t *n = networkmgr_fetch_network(id, 1000);
    const char *path = nullptr;
    EXPECT_TRUE(ok(network_get(n, "path", &path, "flag", &p.flag, "timeout", &p.timeout, (char *)nullptr)));
    p.path = path ? path : "(null)";
    networkmgr_drop_network(n);
    return p;
}

int count_log(const std::string &part)
{
    int count = 0;
    for (const std::string &line : test::Recorder::get().log_lines())
        count += line.find(part) != std::string::npos;
    return count;
}

class SuperLinkNetwork : public testing::Test {
protected:
    void SetUp() override
    {
        session_ = std::make_unique<test::Session>(dir_.path());
        ASSERT_TRUE(plexord_has_network_type("sl3"));
        test::Recorder::get().clear();
    }
    std::unique_ptr<sltest::Program> program()
    {
        auto p = std::make_unique<sltest::Program>(folder(), 3, kScript, dir_.file("record.json"));
        EXPECT_TRUE(p->ready()) << "superlink_program.py did not start";
        return p;
    }
    std::string folder() const { return dir_.file("share"); }

    test::TempDir dir_;
    std::unique_ptr<test::Session> session_;
};

} // namespace

TEST_F(SuperLinkNetwork, ParametersAndABatchInOneExchange)
{
    network_t *n = plexord_create_network("sl3");
    ASSERT_NE(n, nullptr);
    const char *path = nullptr;
    int flag = 0, timeout = 0;
    EXPECT_TRUE(ok(network_get(n, "path", &path, "flag", &flag, "timeout", &timeout, (char *)nullptr)));
    EXPECT_STREQ(path, "");
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(timeout, 5);
    for (int bad : {0, -1, 3601})
        EXPECT_FALSE(ok(network_set(n, "timeout", bad, (char *)nullptr))) << bad;
    EXPECT_FALSE(ok(network_set(n, "flag", -1, (char *)nullptr)));
    EXPECT_TRUE(ok(network_set(n, "name", "Plant", "path", folder().c_str(), "flag", 3, "timeout", 2,
                               (char *)nullptr)));
    ASSERT_TRUE(ok(networkmgr_add_network(n)));
    const uint16_t net = network_get_id(n);
    const Params p = params_of(net);
    EXPECT_EQ(p.path, folder());
    EXPECT_EQ(p.flag, 3);
    EXPECT_EQ(p.timeout, 2);

    std::filesystem::create_directory(folder());
    auto sim = program();
    const uint16_t a = test::add_device(net, "Dept A", "A");
    const uint16_t none = test::add_device(net, "No dept", "");
    const uint16_t bad = test::add_device(net, "Two letters", "AB");

    Batch b(net);
    b.read(a, "T", "5")
        .write_int(a, "P", "12", 42)
        .read_int(none, "T", "7")
        .write(none, "Q", "1", 7.5)
        .read(a, "X", "9")
        .read(bad, "T", "5")
        .read(a, "T", "x")
        .write(a, "T", "5", 1e300);
    auto r = b.run();
    ASSERT_EQ(r.size(), 8u);
    EXPECT_TRUE(ok(r[0].result)) << ncerr_get_string(r[0].result);
    EXPECT_EQ(r[0].value, 21.26);
    EXPECT_TRUE(ok(r[1].result)) << ncerr_get_string(r[1].result);
    EXPECT_TRUE(ok(r[2].result)) << ncerr_get_string(r[2].result);
    EXPECT_EQ(r[2].ivalue, 2); // 2.5 rounds down
    EXPECT_TRUE(ok(r[3].result)) << ncerr_get_string(r[3].result);
    EXPECT_EQ(failure(r[4].result), "6/5");
    EXPECT_EQ(failure(r[5].result), "8/1004");
    EXPECT_EQ(failure(r[6].result), "8/1005");
    EXPECT_EQ(failure(r[7].result), "8/1006");
    EXPECT_EQ(sim->requests(), "T:A05 | P:A12=42.0 | T:07 | Q:01=7.5 | X:A09\n");

    // The program goes away: each batch times out, the outage is logged
    // once, and its end when the program is back.
    sim->kill();
    for (int i = 0; i < 2; ++i) {
        Batch c(net);
        c.read(a, "T", "5");
        r = c.run();
        EXPECT_EQ(failure(r[0].result), "5/1");
    }
    EXPECT_EQ(count_log("no exchange with the SuperLink program"), 1);
    sim = program();
    Batch d(net);
    d.read(a, "T", "5");
    r = d.run();
    EXPECT_TRUE(ok(r[0].result)) << ncerr_get_string(r[0].result);
    EXPECT_EQ(r[0].value, 21.26);
    EXPECT_TRUE(test::Recorder::get().wait_log("answers again"));
}

TEST_F(SuperLinkNetwork, AStopCutsTheWaitAndAFolderIsNeeded)
{
    const uint16_t net = mbcore::add_network("sl3", [&](network_t *n) {
        // Relative: in the configuration folder.
        EXPECT_TRUE(ok(network_set(n, "name", "Silent", "path", "share", "flag", 3, "timeout", 60,
                                   (char *)nullptr)));
    });
    std::filesystem::create_directory(folder());
    const uint16_t a = test::add_device(net, "Dept A", "A");

    std::vector<mbcore::Result> r;
    std::thread flush([&] {
        Batch b(net);
        b.read(a, "T", "5");
        r = b.run();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto t0 = std::chrono::steady_clock::now();
    network_t *n = networkmgr_fetch_network(net, 1000);
    ASSERT_NE(n, nullptr);
    network_stop(n);
    networkmgr_drop_network(n);
    flush.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(test::cls(r[0].result), NCERR_ABORTED) << ncerr_get_string(r[0].result);
    // What the stopped exchange left behind is gone.
    EXPECT_TRUE(std::filesystem::is_empty(folder()));

    // Started again, it answers; without a folder it does not start.
    auto sim = program();
    n = networkmgr_fetch_network(net, 1000);
    EXPECT_TRUE(ok(network_start(n)));
    networkmgr_drop_network(n);
    Batch c(net);
    c.read(a, "T", "5");
    r = c.run();
    EXPECT_TRUE(ok(r[0].result)) << ncerr_get_string(r[0].result);

    n = networkmgr_fetch_network(net, 1000);
    EXPECT_TRUE(ok(network_set(n, "path", "", (char *)nullptr)));
    EXPECT_FALSE(ok(network_restart(n)));
    networkmgr_drop_network(n);
    EXPECT_TRUE(test::Recorder::get().wait_log("No folder shared with the SuperLink program"));
}
