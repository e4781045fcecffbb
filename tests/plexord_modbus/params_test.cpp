// The MODBUS network types as the core and the console see them: their
// parameters, defaults and refusals, and the configuration file.
#include <string>

#include <gtest/gtest.h>

#include "modbus_values.h"
#include "support.h"

using namespace test;

namespace {

struct Serial {
    std::string port;
    int baudrate = -1, parity = -1, stopbits = -1, databits = -1;
};

Serial serial_of(network_t *n)
{
    Serial s;
    char *port = nullptr;
    EXPECT_TRUE(ok(network_get(n, "port", &port, "baudrate", &s.baudrate, "parity", &s.parity, "stopbits",
                               &s.stopbits, "databits", &s.databits, (char *)nullptr)));
    s.port = port ? port : "";
    return s;
}

int integer(network_t *n, const char *key)
{
    int v = -1;
    EXPECT_TRUE(ok(network_get(n, key, &v, (char *)nullptr))) << key;
    return v;
}

std::string text(network_t *n, const char *key)
{
    char *v = nullptr;
    EXPECT_TRUE(ok(network_get(n, key, &v, (char *)nullptr))) << key;
    return v ? v : "";
}

// A refused integer: the class, the plug-in's status and its text.
void expect_refused(network_t *n, const char *key, int value, int status)
{
    const int before = integer(n, key);
    const ncerr_t r = network_set(n, key, value, (char *)nullptr);
    EXPECT_EQ(cls(r), NCERR_INVALID) << key << "=" << value;
    EXPECT_EQ(r.detail, status) << key << "=" << value;
    EXPECT_NE(std::string(ncerr_get_string(r)).find(std::string(network_get_type(n)) + ": "), std::string::npos)
        << ncerr_get_string(r);
    EXPECT_EQ(integer(n, key), before) << key;
}

} // namespace

TEST(ModbusParams, TypesAndTheirDefaults)
{
    TempDir dir;
    Session session(dir.path());
    for (const char *key : {"modbus/rtu", "modbus/tcp", "modbus/xbee"})
        EXPECT_TRUE(plexord_has_network_type(key)) << key;
    std::string labels;
    for (int i = 0; i < plexord_get_network_type_count(); ++i)
        labels += std::string(plexord_get_network_type_label(i)) + ";";
    EXPECT_NE(labels.find("MODBUS/RTU;MODBUS/TCP;MODBUS/XBee;"), std::string::npos) << labels;

    network_t *rtu = plexord_create_network("modbus/rtu");
    ASSERT_NE(rtu, nullptr);
    const Serial s = serial_of(rtu);
    EXPECT_EQ(s.port, "ttyUSB0");
    EXPECT_EQ(s.baudrate, 9600);
    EXPECT_EQ(s.parity, 2);   // none
    EXPECT_EQ(s.stopbits, 0); // one
    EXPECT_EQ(s.databits, 1); // eight
    EXPECT_EQ(integer(rtu, "timeout"), 800);
    EXPECT_EQ(network_get_param_kind(rtu, "port"), NETWORK_PARAM_TEXT);

    network_t *tcp = plexord_create_network("modbus/tcp");
    ASSERT_NE(tcp, nullptr);
    EXPECT_EQ(text(tcp, "address"), "127.0.0.1");
    EXPECT_EQ(integer(tcp, "port"), 502);
    EXPECT_EQ(integer(tcp, "timeout"), 800);
    EXPECT_EQ(network_get_param_kind(tcp, "port"), NETWORK_PARAM_INTEGER);
    EXPECT_EQ(network_get_param_kind(tcp, "baudrate"), 0);

    network_t *xbee = plexord_create_network("modbus/xbee");
    ASSERT_NE(xbee, nullptr);
    EXPECT_EQ(serial_of(xbee).baudrate, 9600);
    EXPECT_EQ(integer(xbee, "pan_id"), 0x3332);
    EXPECT_EQ(integer(xbee, "channel"), 0x0C);
    EXPECT_EQ(integer(xbee, "own_address"), 0);

    // Reading through gaps and requests in flight are off until asked for.
    for (network_t *n : {rtu, tcp, xbee})
        EXPECT_EQ(integer(n, "max_gap"), 0) << network_get_type(n);
    EXPECT_EQ(integer(tcp, "window"), 1);
    EXPECT_EQ(network_get_param_kind(rtu, "window"), 0);
}

TEST(ModbusParams, ValuesOutsideTheLineAndAddressRangesAreRefused)
{
    TempDir dir;
    Session session(dir.path());
    network_t *rtu = plexord_create_network("modbus/rtu");
    network_t *tcp = plexord_create_network("modbus/tcp");
    network_t *xbee = plexord_create_network("modbus/xbee");
    ASSERT_TRUE(rtu && tcp && xbee);

    // The console offers 300 to 115200; the serial port sets 1200 to 38400.
    expect_refused(rtu, "baudrate", 115200, mbplug::ST_BAUDRATE);
    expect_refused(rtu, "baudrate", 300, mbplug::ST_BAUDRATE);
    expect_refused(rtu, "parity", 3, mbplug::ST_PARITY);
    expect_refused(rtu, "stopbits", 1, mbplug::ST_STOPBITS);
    expect_refused(rtu, "databits", 8, mbplug::ST_DATABITS);
    expect_refused(rtu, "timeout", 5, mbplug::ST_TIMEOUT);
    expect_refused(tcp, "port", 0, mbplug::ST_TCP_PORT);
    expect_refused(tcp, "port", 65536, mbplug::ST_TCP_PORT);
    expect_refused(xbee, "channel", 0x0A, mbplug::ST_CHANNEL);
    expect_refused(xbee, "pan_id", 0x10000, mbplug::ST_PAN_ID);
    expect_refused(xbee, "stopbits", 1, mbplug::ST_STOPBITS);
    for (network_t *n : {rtu, tcp, xbee}) {
        expect_refused(n, "max_gap", -1, mbplug::ST_MAX_GAP);
        expect_refused(n, "max_gap", 1001, mbplug::ST_MAX_GAP);
    }
    expect_refused(tcp, "window", 0, mbplug::ST_WINDOW);
    expect_refused(tcp, "window", 33, mbplug::ST_WINDOW);

    ncerr_t r = network_set(rtu, "port", "", (char *)nullptr);
    EXPECT_EQ(r.detail, mbplug::ST_NO_PORT_NAME);
    EXPECT_EQ(text(rtu, "port"), "ttyUSB0");
    r = network_set(tcp, "address", "", (char *)nullptr);
    EXPECT_EQ(r.detail, mbplug::ST_NO_HOST);
    EXPECT_EQ(std::string(ncerr_get_string(r)),
              "Invalid argument (modbus/tcp: No host address, code " + std::to_string(mbplug::ST_NO_HOST) + ")");

    // Even parity, two stop bits and seven data bits are lines too.
    EXPECT_TRUE(ok(network_set(rtu, "name", "Line", "port", "COM3", "baudrate", 1200, "parity", 0, "stopbits", 2,
                               "databits", 0, (char *)nullptr)));
    const Serial s = serial_of(rtu);
    EXPECT_EQ(s.port, "COM3");
    EXPECT_EQ(s.baudrate + s.parity + s.stopbits + s.databits, 1202);
}

TEST(ModbusParams, SurviveASaveAndAReload)
{
    TempDir dir;
    uint16_t ids[3] = {};
    {
        // Never started: no line is opened and nothing leaves the machine.
        Session session(dir.path(), PLEXORD_INIT_NO_DEMO | PLEXORD_INIT_FAST_HASH, false);
        network_t *rtu = plexord_create_network("modbus/rtu");
        ASSERT_TRUE(ok(network_set(rtu, "name", "Boilers", "port", "/dev/ttyACM3", "baudrate", 19200, "parity", 1,
                                   "stopbits", 2, "databits", 0, "timeout", 250, (char *)nullptr)));
        network_t *tcp = plexord_create_network("modbus/tcp");
        ASSERT_TRUE(ok(network_set(tcp, "name", "Gateway", "address", "localhost", "port", 1502, "timeout", 1500,
                                   "max_gap", 8, "window", 4, (char *)nullptr)));
        network_t *xbee = plexord_create_network("modbus/xbee");
        ASSERT_TRUE(ok(network_set(xbee, "name", "Radio", "port", "COM2", "baudrate", 38400, "pan_id", 0x1234,
                                   "channel", 0x0F, "own_address", 7, "max_gap", 1000, (char *)nullptr)));
        int i = 0;
        for (network_t *n : {rtu, tcp, xbee}) {
            networkmgr_add_network(n);
            ids[i++] = network_get_id(n);
        }
        session.finish();
    }
    const std::string file = read_file(dir.file("plexord.ini"));
    EXPECT_NE(file.find("p.baudrate=19200"), std::string::npos) << file;
    EXPECT_NE(file.find("p.pan_id=4660"), std::string::npos) << file;

    Session session(dir.path(), PLEXORD_INIT_NO_DEMO | PLEXORD_INIT_FAST_HASH, false);
    ASSERT_EQ(networkmgr_get_network_count(), 3);
    network_t *rtu = networkmgr_fetch_network(ids[0], 1000);
    ASSERT_NE(rtu, nullptr);
    EXPECT_STREQ(network_get_type(rtu), "modbus/rtu");
    EXPECT_STREQ(network_get_name(rtu), "Boilers");
    const Serial s = serial_of(rtu);
    EXPECT_EQ(s.port, "/dev/ttyACM3");
    EXPECT_EQ(s.baudrate, 19200);
    EXPECT_EQ(s.parity, 1);
    EXPECT_EQ(s.stopbits, 2);
    EXPECT_EQ(s.databits, 0);
    EXPECT_EQ(integer(rtu, "timeout"), 250);
    networkmgr_drop_network(rtu);

    network_t *tcp = networkmgr_fetch_network(ids[1], 1000);
    ASSERT_NE(tcp, nullptr);
    EXPECT_EQ(text(tcp, "address"), "localhost");
    EXPECT_EQ(integer(tcp, "port"), 1502);
    EXPECT_EQ(integer(tcp, "timeout"), 1500);
    EXPECT_EQ(integer(tcp, "max_gap"), 8);
    EXPECT_EQ(integer(tcp, "window"), 4);
    networkmgr_drop_network(tcp);

    network_t *xbee = networkmgr_fetch_network(ids[2], 1000);
    ASSERT_NE(xbee, nullptr);
    EXPECT_EQ(serial_of(xbee).port, "COM2");
    EXPECT_EQ(serial_of(xbee).baudrate, 38400);
    EXPECT_EQ(integer(xbee, "pan_id"), 0x1234);
    EXPECT_EQ(integer(xbee, "channel"), 0x0F);
    EXPECT_EQ(integer(xbee, "own_address"), 7);
    EXPECT_EQ(integer(xbee, "max_gap"), 1000);
    networkmgr_drop_network(xbee);
    EXPECT_EQ(plexord_config_is_dirty(), 0);
}
