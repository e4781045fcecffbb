// Device I/O through the request queue against the db plug-in.
#include <atomic>
#include <ctime>
#include <future>

#include <gtest/gtest.h>

#include "db_clock.h"
#include "support.h"

using namespace test;

namespace {

class PlexordIo : public ::testing::Test {
protected:
    void SetUp() override
    {
        write_file(dir.file("sp.ini"), "[boiler]\nT1=21.5\nT1:db=7\nMODE=2\nTEXT=warm\n[pump]\nP=3\n");
        session = std::make_unique<Session>(dir.path());
        net = add_db_network("Plant", "sp.ini");
        boiler = add_device(net, "Boiler", "boiler");
        pump = add_device(net, "Pump", "pump");
    }
    TempDir dir;
    std::unique_ptr<Session> session;
    uint16_t net = 0, boiler = 0, pump = 0;
};

} // namespace

TEST_F(PlexordIo, ReadsWritesAndPersists)
{
    double v = 0;
    ASSERT_TRUE(ok(read_float(boiler, "T1", "", v)));
    EXPECT_DOUBLE_EQ(v, 21.5);
    ASSERT_TRUE(ok(read_float(boiler, "T1", "db", v)));
    EXPECT_DOUBLE_EQ(v, 7);
    long i = 0;
    ASSERT_TRUE(ok(read_int(boiler, "T1", nullptr, i)));
    EXPECT_EQ(i, 22); // rounded

    // Writing creates the setpoint; the file is rewritten at once.
    EXPECT_TRUE(ok(write_float(pump, "NEW", "x", 0.1)));
    EXPECT_TRUE(ok(write_int(pump, "P", "", 12)));
    ASSERT_TRUE(ok(read_float(pump, "NEW", "x", v)));
    EXPECT_DOUBLE_EQ(v, 0.1);
    std::string file = read_file(dir.file("sp.ini"));
    EXPECT_NE(file.find("NEW:x=0.1"), std::string::npos) << file;
    EXPECT_NE(file.find("P=12"), std::string::npos) << file;
}

TEST_F(PlexordIo, EachItemHasItsOwnResult)
{
    network_t *n = networkmgr_fetch_network(net, 1000);
    ASSERT_NE(n, nullptr);
    network_reset_request(n);
    network_queue_read_float(n, boiler, "T1", "");
    network_queue_read_float(n, boiler, "MISSING", "");
    network_queue_read_float(n, 999, "T1", "");     // no such device
    network_queue_read_float(n, boiler, "TEXT", ""); // not a number
    network_queue_write_float(n, pump, "P", "", 4);
    ncerr_t flush = network_flush(n);
    EXPECT_FALSE(ok(flush));
    EXPECT_EQ(cls(flush), NCERR_UNKNOWN_SETPOINT); // the first failure
    double v = -1;
    EXPECT_TRUE(ok(network_result_float(n, boiler, "T1", "", &v)));
    EXPECT_DOUBLE_EQ(v, 21.5);
    ncerr_t r = network_result_float(n, boiler, "MISSING", nullptr, &v);
    EXPECT_EQ(cls(r), NCERR_UNKNOWN_SETPOINT);
    EXPECT_EQ(r.detail, 1);
    EXPECT_NE(std::string(ncerr_get_string(r)).find("unknown setpoint"), std::string::npos);
    EXPECT_EQ(cls(network_result_float(n, 999, "T1", "", &v)), NCERR_NO_DEVICE);
    EXPECT_EQ(cls(network_result_float(n, boiler, "TEXT", "", &v)), NCERR_DRIVER);
    EXPECT_TRUE(ok(network_result_float(n, pump, "P", "", &v)));
    EXPECT_DOUBLE_EQ(v, 4);
    // Never queued: the value is left alone.
    v = 123;
    EXPECT_EQ(cls(network_result_float(n, boiler, "T2", "", &v)), NCERR_NOT_QUEUED);
    EXPECT_EQ(v, 123);
    // A reset empties the queue.
    network_reset_request(n);
    EXPECT_TRUE(ok(network_flush(n)));
    EXPECT_EQ(cls(network_result_float(n, boiler, "T1", "", &v)), NCERR_NOT_QUEUED);
    networkmgr_drop_network(n);
}

TEST_F(PlexordIo, SameItemQueuedTwiceAnswersInOrder)
{
    network_t *n = networkmgr_fetch_network(net, 1000);
    network_reset_request(n);
    network_queue_write_float(n, boiler, "A", "", 1);
    network_queue_read_float(n, boiler, "A", "");
    network_queue_write_float(n, boiler, "A", "", 2);
    EXPECT_TRUE(ok(network_flush(n)));
    double v = 0;
    network_result_float(n, boiler, "A", "", &v);
    EXPECT_EQ(v, 1);
    network_result_float(n, boiler, "A", "", &v);
    EXPECT_EQ(v, 1);
    network_result_float(n, boiler, "A", "", &v);
    EXPECT_EQ(v, 2);
    networkmgr_drop_network(n);
}

TEST_F(PlexordIo, DeviceOfAnotherNetworkIsNotReachedThroughThisOne)
{
    uint16_t other = add_db_network("Other", "other.ini");
    uint16_t dev = add_device(other, "Elsewhere", "boiler");
    network_t *n = networkmgr_fetch_network(net, 1000);
    network_reset_request(n);
    network_queue_read_float(n, dev, "T1", "");
    EXPECT_EQ(cls(network_flush(n)), NCERR_NO_DEVICE);
    networkmgr_drop_network(n);
    // A device without an address is refused by the plug-in.
    uint16_t bare = add_device(net, "Bare", "");
    double v;
    EXPECT_EQ(cls(read_float(bare, "T1", "", v)), NCERR_INVALID);
}

TEST_F(PlexordIo, StoppedOrRemovedNetworkFailsEveryItem)
{
    network_t *n = networkmgr_fetch_network(net, 1000);
    ASSERT_TRUE(ok(network_stop(n)));
    EXPECT_FALSE(network_is_started(n));
    network_reset_request(n);
    network_queue_read_float(n, boiler, "T1", "");
    network_queue_write_float(n, pump, "P", "", 1);
    EXPECT_EQ(cls(network_flush(n)), NCERR_NOT_STARTED);
    double v;
    EXPECT_EQ(cls(network_result_float(n, boiler, "T1", "", &v)), NCERR_NOT_STARTED);
    EXPECT_EQ(cls(network_result_float(n, pump, "P", "", &v)), NCERR_NOT_STARTED);
    ASSERT_TRUE(ok(network_start(n)));
    networkmgr_drop_network(n);
    EXPECT_TRUE(ok(read_float(boiler, "T1", "", v)));

    // The devices stay after their network is gone; their I/O fails.
    ASSERT_TRUE(ok(networkmgr_remove_network(net)));
    EXPECT_EQ(networkmgr_fetch_network(net, 10), nullptr);
    device_t *d = devicemgr_fetch_device(boiler, 0);
    ASSERT_NE(d, nullptr);
    devicemgr_drop_device(d);
    EXPECT_EQ(cls(read_float(boiler, "T1", "", v)), NCERR_NO_NETWORK);
}

TEST_F(PlexordIo, StoppingDuringASlowFlushDoesNotHang)
{
    network_t *n = networkmgr_fetch_network(net, 1000);
    network_stop(n);
    network_set(n, "delay", 30000, (char *)nullptr);
    network_start(n);
    network_reset_request(n);
    network_queue_read_float(n, boiler, "T1", "");
    auto start = std::chrono::steady_clock::now();
    auto flush = std::async(std::launch::async, [&] { return network_flush(n); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    network_t *other = networkmgr_fetch_network(net, 1000);
    network_stop(other);
    networkmgr_drop_network(other);
    ASSERT_EQ(flush.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(cls(flush.get()), NCERR_ABORTED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    networkmgr_drop_network(n);
}

TEST_F(PlexordIo, DelayIsObserved)
{
    network_t *n = networkmgr_fetch_network(net, 1000);
    network_stop(n);
    EXPECT_TRUE(ok(network_set(n, "delay", 150, (char *)nullptr)));
    EXPECT_FALSE(ok(network_set(n, "delay", 60001, (char *)nullptr))); // the plug-in's range
    int delay = 0;
    network_get(n, "delay", &delay, (char *)nullptr);
    EXPECT_EQ(delay, 150);
    network_start(n);
    networkmgr_drop_network(n);
    auto t0 = std::chrono::steady_clock::now();
    double v;
    EXPECT_TRUE(ok(read_float(boiler, "T1", "", v)));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));
}

TEST_F(PlexordIo, EnforcedCacheAnswersYoungReads)
{
    device_t *d = devicemgr_fetch_device(boiler, 1);
    EXPECT_FALSE(device_cache_is_enforced(d));
    device_cache_enforce(d, 1, 60);
    EXPECT_TRUE(device_cache_is_enforced(d));
    EXPECT_EQ(device_get_max_cache_age(d), 60);
    devicemgr_drop_device(d);
    double v = 0;
    ASSERT_TRUE(ok(read_float(boiler, "T1", "", v)));
    // With the network stopped, only the cache can answer.
    network_t *n = networkmgr_fetch_network(net, 1000);
    network_stop(n);
    EXPECT_TRUE(ok(read_float(boiler, "T1", "", v)));
    EXPECT_DOUBLE_EQ(v, 21.5);
    EXPECT_EQ(cls(read_float(boiler, "MODE", "", v)), NCERR_NOT_STARTED); // never read
    EXPECT_EQ(cls(read_float(pump, "P", "", v)), NCERR_NOT_STARTED);       // cache not enforced
    // Age 0 means never young enough.
    d = devicemgr_fetch_device(boiler, 1);
    device_cache_enforce(d, 1, 0);
    devicemgr_drop_device(d);
    EXPECT_EQ(cls(read_float(boiler, "T1", "", v)), NCERR_NOT_STARTED);
    network_start(n);
    networkmgr_drop_network(n);
}

TEST_F(PlexordIo, ParametersByKey)
{
    network_t *n = networkmgr_fetch_network(net, 1000);
    char *name = nullptr, *file = nullptr;
    int delay = -1, untouched = 42;
    ncerr_t r = network_get(n, "filename", &file, "name", &name, "delay", &delay, "baudrate", &untouched,
                            (char *)nullptr);
    EXPECT_EQ(cls(r), NCERR_INVALID); // "baudrate" is not a db parameter
    EXPECT_STREQ(name, "Plant");
    EXPECT_STREQ(file, "sp.ini");
    EXPECT_EQ(delay, 0);
    EXPECT_EQ(untouched, 42);
    EXPECT_STREQ(network_get_name(n), "Plant");
    EXPECT_STREQ(network_get_type(n), "db");
    EXPECT_EQ(network_get_param_count(n), 3);
    EXPECT_STREQ(network_get_param_key(n, 0), "name");
    EXPECT_STREQ(network_get_param_key(n, 1), "filename");
    EXPECT_STREQ(network_get_param_key(n, 2), "delay");
    EXPECT_EQ(network_get_param_kind(n, "delay"), NETWORK_PARAM_INTEGER);
    EXPECT_EQ(network_get_param_kind(n, "port"), 0);

    // An unknown key stops the list; what came before it is applied.
    r = network_set(n, "name", "Changed", "port", "COM1", "filename", "x.ini", (char *)nullptr);
    EXPECT_EQ(cls(r), NCERR_INVALID);
    EXPECT_STREQ(network_get_name(n), "Changed");
    network_get(n, "filename", &file, (char *)nullptr);
    EXPECT_STREQ(file, "sp.ini");

    // Set while running: kept, and applied at the restart.
    EXPECT_TRUE(ok(network_set(n, "filename", "other.ini", (char *)nullptr)));
    network_get(n, "filename", &file, (char *)nullptr);
    EXPECT_STREQ(file, "other.ini");
    EXPECT_TRUE(ok(network_restart(n)));
    networkmgr_drop_network(n);
    double v;
    EXPECT_EQ(cls(read_float(boiler, "T1", "", v)), NCERR_UNKNOWN_SETPOINT);
}

TEST_F(PlexordIo, MalformedSetpointFileStopsTheNetworkFromStarting)
{
    write_file(dir.file("bad.ini"), "[boiler]\nT1=1\nthis line is no setpoint\n");
    network_t *n = plexord_create_network("db");
    network_set(n, "filename", "bad.ini", (char *)nullptr);
    networkmgr_add_network(n);
    ncerr_t r = network_start(n);
    EXPECT_EQ(cls(r), NCERR_DRIVER);
    EXPECT_FALSE(network_is_started(n));
    EXPECT_TRUE(Recorder::get().wait_log("bad.ini:3"));
    EXPECT_EQ(read_file(dir.file("bad.ini")), "[boiler]\nT1=1\nthis line is no setpoint\n");
}

TEST_F(PlexordIo, DeviceClock)
{
    // 5 March 2024, 14:07 local time.
    const long packed = 5 + 3 * 32 + 54 * 512 + 847L * 65536;
    ASSERT_EQ(packed, 55536741);
    ASSERT_TRUE(ok(write_int(boiler, "V7775", "DB", packed)));
    const char *items[] = {"V7766", "V7767", "V7770", "V7771", "V7772", "V7773", "V7774"};
    long got[7] = {};
    network_t *n = networkmgr_fetch_network(net, 1000);
    network_reset_request(n);
    for (const char *it : items)
        network_queue_read_integer(n, boiler, it, nullptr);
    ASSERT_TRUE(ok(network_flush(n)));
    for (int i = 0; i < 7; ++i)
        EXPECT_TRUE(ok(network_result_integer(n, boiler, items[i], nullptr, &got[i])));
    networkmgr_drop_network(n);
    EXPECT_LE(got[0], 5); // seconds run on from 0
    EXPECT_EQ(got[1], 7);
    EXPECT_EQ(got[2], 14);
    EXPECT_EQ(got[3], 2); // a Tuesday
    EXPECT_EQ(got[4], 5);
    EXPECT_EQ(got[5], 3);
    EXPECT_EQ(got[6], 2024);

    // Date alone keeps the time; time alone keeps the date.
    ASSERT_TRUE(ok(write_int(boiler, "V7775", "B", 31 + 12 * 32 + 30 * 512)));
    ASSERT_TRUE(ok(write_int(boiler, "V7776", "B", 1439)));
    long v = 0;
    read_int(boiler, "V7774", nullptr, v);
    EXPECT_EQ(v, 2000);
    read_int(boiler, "V7773", nullptr, v);
    EXPECT_EQ(v, 12);
    read_int(boiler, "V7770", nullptr, v);
    EXPECT_EQ(v, 23);
    read_int(boiler, "V7767", nullptr, v);
    EXPECT_EQ(v, 59);
    // The other device's clock was not touched, and the offset is in the file.
    read_int(pump, "V7774", nullptr, v);
    EXPECT_GE(v, 2024);
    EXPECT_NE(read_file(dir.file("sp.ini")).find("[@clock]"), std::string::npos);

    // Refused: a read-only item, an impossible date, a wrong flag.
    EXPECT_EQ(cls(write_int(boiler, "V7766", "", 3)), NCERR_READ_ONLY);
    EXPECT_EQ(cls(write_int(boiler, "V7775", "B", 31 + 4 * 32 + 54 * 512)), NCERR_INVALID); // 31 April
    EXPECT_EQ(cls(write_int(boiler, "V7775", "B", 1 + 13 * 32 + 54 * 512)), NCERR_INVALID); // month 13
    EXPECT_EQ(cls(write_int(boiler, "V7776", "B", 1440)), NCERR_INVALID);
    EXPECT_EQ(cls(write_int(boiler, "V7776", "DB", 10)), NCERR_INVALID);
}

TEST(PlexordDbClock, Packing)
{
    EXPECT_EQ(dbclock::pack_date(2024, 3, 5), 27749);
    EXPECT_EQ(dbclock::pack_date_time(2024, 3, 5, 14, 7), 55536741);
    EXPECT_EQ(dbclock::item_of("v7776"), dbclock::SET_TIME);
    EXPECT_EQ(dbclock::item_of("V7777"), -1);
    EXPECT_EQ(dbclock::item_of("V776"), -1);

    struct tm f {};
    f.tm_year = 2024 - 1900;
    f.tm_mon = 1;
    f.tm_mday = 28;
    f.tm_hour = 10;
    f.tm_isdst = -1;
    int64_t t = mktime(&f), out = 0;
    // 29 February exists in 2024, not in 2023.
    EXPECT_EQ(dbclock::write(dbclock::SET_DATE, "B", dbclock::pack_date(2024, 2, 29), t, out), dbclock::OK);
    EXPECT_EQ(dbclock::write(dbclock::SET_DATE, "B", dbclock::pack_date(2023, 2, 29), t, out), dbclock::BAD_VALUE);
    EXPECT_EQ(dbclock::write(dbclock::SET_DATE, "B", dbclock::pack_date(2024, 1, 0), t, out), dbclock::BAD_VALUE);
    EXPECT_EQ(dbclock::write(dbclock::SET_DATE, "B", -1, t, out), dbclock::BAD_VALUE);
    EXPECT_EQ(dbclock::write(dbclock::SET_DATE, "X", 0, t, out), dbclock::BAD_FLAG);
    EXPECT_EQ(dbclock::write(dbclock::YEAR, "", 2024, t, out), dbclock::READ_ONLY);
    int64_t v = 0;
    EXPECT_EQ(dbclock::read(dbclock::SET_TIME, "B", t, v), dbclock::OK);
    EXPECT_EQ(v, 600);
    EXPECT_EQ(dbclock::read(dbclock::SET_DATE, "B", t, v), dbclock::OK);
    EXPECT_EQ(v, dbclock::pack_date(2024, 2, 28));
}
