// The scan list: its entries, what of a reading is published, and the scan
// threads reading through the network queues.
#include <gtest/gtest.h>

#include <tuple>

#include "scan.h"
#include "support.h"

using namespace test;

TEST(ScanList, EntriesAndProblems)
{
    using P = std::tuple<std::string, std::string, double>;
    struct Case {
        const char *text;
        std::vector<P> want;
        size_t problems;
    } cases[] = {
        {"", {}, 0},
        {"  ", {}, 0},
        {"PV", {{"PV", "", 0}}, 0},
        {" PV:F / 0.5 , SP1", {{"PV", "F", 0.5}, {"SP1", "", 0}}, 0},
        {"A/0, B:x:y", {{"A", "", 0}, {"B", "x:y", 0}}, 0},
        {"PV,,SP1", {{"PV", "", 0}, {"SP1", "", 0}}, 1},
        {"PV,", {{"PV", "", 0}}, 1},
        {"PV/-1, PV/abc, PV/nan, PV/inf, PV/, :F, /2, P\x01V", {}, 8},
        {"OK/1e3, BAD/1e999", {{"OK", "", 1000}}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<std::string> problems;
        std::vector<plexord::ScanPoint> got = plexord::parse_scan_list(c.text, problems);
        std::vector<P> flat;
        for (const auto &p : got)
            flat.emplace_back(p.item, p.flag, p.deadband);
        EXPECT_EQ(flat, c.want);
        EXPECT_EQ(problems.size(), c.problems);
        for (const std::string &why : problems)
            EXPECT_NE(why.find("scan entry \""), std::string::npos) << why;
    }
}

TEST(ScanList, PublishesChangesStatusAndKeepAlive)
{
    const ncerr_t good{NCERR_OK, 0}, timeout{NCERR_TIMEOUT, 0}, timeout2{NCERR_TIMEOUT, 7};
    struct Step {
        double value;
        ncerr_t result;
        bool published;
    };
    struct Case {
        const char *name;
        double deadband;
        unsigned keepalive;
        std::vector<Step> steps;
    } cases[] = {
        // A slow drift is published once it adds up beyond the deadband.
        {"deadband", 0.5, 0,
         {{10, good, true}, {10.3, good, false}, {10.6, good, true}, {10.9, good, false}, {11.2, good, true},
          {10.6, good, true}, {10.6, good, false}}},
        {"any change", 0, 0, {{1, good, true}, {1, good, false}, {1.0001, good, true}, {1.0001, good, false}}},
        {"keep-alive", 0, 3,
         {{5, good, true}, {5, good, false}, {5, good, false}, {5, good, true}, {5, good, false}, {6, good, true},
          {6, good, false}}},
        {"status", 100, 0,
         {{5, good, true}, {0, timeout, true}, {0, timeout, false}, {0, timeout2, true}, {5, good, true},
          {5, good, false}}},
        {"failure kept alive", 0, 2, {{0, timeout, true}, {0, timeout, false}, {0, timeout, true}}},
    };
    for (const Case &c : cases) {
        plexord::ScanState s;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step &st = c.steps[i];
            EXPECT_EQ(plexord::scan_publish(s, st.value, st.result, c.deadband, c.keepalive), st.published)
                << c.name << ", step " << i;
        }
    }
}

namespace {

// Scan events of the core: read requests and results of no client.
std::vector<Event> scan_events(uint16_t network, const std::vector<Event> &all = Recorder::get().events())
{
    std::vector<Event> out;
    for (const Event &e : all)
        if ((e.type == NCEVENT_READ_REQUEST || e.type == NCEVENT_READ_RESULT) && e.client == 0 &&
            e.network == network)
            out.push_back(e);
    return out;
}

size_t count_results(const std::vector<Event> &all, uint16_t network, const std::string &item)
{
    size_t n = 0;
    for (const Event &e : scan_events(network, all))
        n += e.type == NCEVENT_READ_RESULT && e.item == item;
    return n;
}

} // namespace

TEST(Scan, BatchesPerNetworkKeepsTheFileAndLogsASlowNetworkOnce)
{
    TempDir dir;
    write_file(dir.file("fast.ini"), "[a]\nPV=1\nT:F=2\n[b]\nPV=3\n");
    write_file(dir.file("slow.ini"), "[s]\nPV=4\n");
    const std::string scan_a = "PV, T:F/0.5, BAD/-1";
    write_file(dir.file("plexord.ini"),
               "[network.1]\ntype=db\nname=Fast\np.filename=fast.ini\np.delay=0\n"
               "[network.2]\ntype=db\nname=Slow\np.filename=slow.ini\np.delay=400\n"
               "[device.1]\nnetwork=1\nname=A\naddress=a\nscan=" + scan_a + "\nscan_interval=50\n"
               "[device.2]\nnetwork=1\nname=B\naddress=b\nscan=PV, MISSING\nscan_interval=50\nscan_keepalive=4\n"
               "[device.3]\nnetwork=2\nname=S\naddress=s\nscan=PV\nscan_interval=100\n"
               "[device.4]\nnetwork=1\nname=Idle\naddress=b\nscan=PV\n");
    Session session(dir.path());

    // The bad entry is named with its line and left out; the rest is scanned.
    EXPECT_TRUE(Recorder::get().wait_log("plexord.ini:15: device 1: scan entry \"BAD/-1\""));
    EXPECT_TRUE(Recorder::get().wait_log("plexord.ini:34: device 4 has a scan list but no scan_interval"));
    // Three passes of the slow network, the fast one scanning meanwhile.
    ASSERT_TRUE(
        Recorder::get().wait([](const std::vector<Event> &ev) { return count_results(ev, 2, "PV") >= 3; }, 10000));

    std::vector<Event> fast = scan_events(1);
    // A pass is one batch: all four requests of both devices before any result.
    ASSERT_GE(fast.size(), 8u);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(fast[i].type, NCEVENT_READ_REQUEST) << i;
    std::vector<std::pair<uint16_t, std::string>> first;
    for (size_t i = 4; i < 8; ++i) {
        EXPECT_EQ(fast[i].type, NCEVENT_READ_RESULT) << i;
        first.emplace_back(fast[i].device, fast[i].item);
    }
    EXPECT_EQ(first, (std::vector<std::pair<uint16_t, std::string>>{{1, "PV"}, {1, "T"}, {2, "PV"}, {2, "MISSING"}}));
    EXPECT_TRUE(ok(fast[4].result));
    EXPECT_EQ(fast[4].value, 1);
    EXPECT_EQ(fast[5].value, 2);
    EXPECT_EQ(fast[5].flag, "F");
    EXPECT_EQ(cls(fast[7].result), NCERR_UNKNOWN_SETPOINT);
    for (const Event &e : fast)
        EXPECT_NE(e.device, 4) << "a device without an interval was scanned";

    // The slow network held up only itself: the fast one went on while a
    // slow read was in flight.
    std::vector<Event> all = Recorder::get().events();
    size_t slow_req = 0, slow_res = 0, fast_between = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i].network == 2 && all[i].type == NCEVENT_READ_REQUEST && !slow_req)
            slow_req = i + 1;
        if (all[i].network == 2 && all[i].type == NCEVENT_READ_RESULT && !slow_res)
            slow_res = i + 1;
        if (slow_req && !slow_res && all[i].network == 1 && all[i].type == NCEVENT_READ_RESULT)
            ++fast_between;
    }
    EXPECT_GE(fast_between, 8u);

    size_t slow_lines = 0;
    for (const std::string &l : Recorder::get().log_lines())
        slow_lines += l.find("Scan of network 2") != std::string::npos;
    EXPECT_EQ(slow_lines, 1u);

    session.finish();
    std::string saved = read_file(dir.file("plexord.ini"));
    EXPECT_NE(saved.find("scan=" + scan_a), std::string::npos) << saved;
    EXPECT_NE(saved.find("scan_keepalive=4"), std::string::npos) << saved;
}

TEST(Scan, DemoPlantIsScannedWithoutSetUp)
{
    TempDir dir;
    Session session(dir.path(), PLEXORD_INIT_FAST_HASH);
    // Setpoints no demo task touches: only the scan reads them.
    for (const char *item : {"V3000", "PV"}) {
        EXPECT_TRUE(Recorder::get().wait(
            [&](const std::vector<Event> &ev) {
                for (const Event &e : ev)
                    if (e.type == NCEVENT_READ_RESULT && e.client == 0 && e.item == item && ok(e.result))
                        return true;
                return false;
            },
            6000))
            << item;
    }
}
