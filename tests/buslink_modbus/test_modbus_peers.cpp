// The engine against an independent MODBUS implementation: Debian's pymodbus
// serving TCP on 127.0.0.1 and RTU through a socat pseudo-terminal pair.
#include "support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

bool coil(unsigned a) { return a % 3 == 0; }
bool input(unsigned a) { return a % 2 == 1; }
unsigned short holding(unsigned a, unsigned unit) { return static_cast<unsigned short>(a * 7 + unit); }

class modbus_peers : public testing::Test {
protected:
    void SetUp() override
    {
        if (!mbtest::have_pymodbus())
            GTEST_SKIP() << "/usr/bin/python3 cannot import pymodbus (python3-pymodbus, python3-serial-asyncio)";
    }

    // Reads of every kind on both units; checks every value against the
    // server's formulas.
    void read_everything(modbus_base_t *m)
    {
        cl_stats_t stats;
        cl_stats_init(&stats, 0);
        modbus_query_reset(m);
        for (unsigned short a = 0; a < 20; ++a)
            modbus_query_read(m, 0, 1, MODBUS_COIL, a);
        for (unsigned short a = 0; a < 10; ++a)
            modbus_query_read(m, 0, 1, MODBUS_DISCRETE_INPUT, a);
        // Two runs that the optimiser joins into one request.
        for (unsigned short a = 20; a < 30; ++a)
            modbus_query_read_holding_register(m, 0, 1, a);
        for (unsigned short a = 10; a < 20; ++a)
            modbus_query_read_holding_register(m, 0, 1, a);
        modbus_query_read_holding_register(m, 0, 2, 6);
        modbus_query_read_holding_register(m, 0, 2, 5);
        for (unsigned short a = 100; a < 105; ++a)
            modbus_query_read_input_register(m, 0, 1, a);
        modbus_query_optimize(m);
        ASSERT_EQ(modbus_query_flush(m, &stats), 0);
        EXPECT_EQ(stats.out_packets, 5u);
        EXPECT_EQ(stats.in_packets, 5u);

        for (unsigned short a = 0; a < 20; ++a)
            EXPECT_EQ(modbus_result_coil(m, 0, 1, a), coil(a) ? 1 : 2) << a;
        for (unsigned short a = 0; a < 10; ++a)
            EXPECT_EQ(modbus_result_discrete_input(m, 0, 1, a), input(a) ? 1 : 2) << a;
        unsigned short value = 0;
        for (unsigned short a = 10; a < 30; ++a) {
            EXPECT_EQ(modbus_result_holding_register(m, 0, 1, a, &value), 0);
            EXPECT_EQ(value, holding(a, 1)) << a;
        }
        EXPECT_EQ(modbus_query_result(m, 0, 2, MODBUS_HOLDING_REGISTER, 6, &value), 0);
        EXPECT_EQ(value, holding(6, 2));
        for (unsigned short a = 100; a < 105; ++a) {
            EXPECT_EQ(modbus_result_input_register(m, 0, 1, a, &value), 0);
            EXPECT_EQ(value, 1000 + a);
        }
    }

    // Writes of both writable kinds, read back in the next round; then an
    // address the server does not have.
    void write_and_read_back(modbus_base_t *m)
    {
        modbus_query_reset(m);
        modbus_query_write_coil(m, 0, 1, 7, 1);
        for (unsigned short a = 30; a < 40; ++a)
            modbus_query_write(m, 0, 1, MODBUS_COIL, a, a % 2 == 0);
        modbus_query_write_holding_register(m, 0, 1, 50, 0xBEEF);
        for (unsigned short a = 60; a < 65; ++a)
            modbus_query_write_holding_register(m, 0, 2, a, static_cast<unsigned short>(0x7E00 + a));
        modbus_query_write(m, 0, 1, MODBUS_INPUT_REGISTER, 3, 1);
        EXPECT_EQ(modbus_query_flush(m, nullptr), BUSLINK_E_READ_ONLY);
        EXPECT_EQ(modbus_result_coil(m, 0, 1, 7), BUSLINK_SUCCESS_TRUE);

        modbus_query_reset(m);
        modbus_query_read_coil(m, 0, 1, 7);
        for (unsigned short a = 30; a < 40; ++a)
            modbus_query_read_coil(m, 0, 1, a);
        modbus_query_read_holding_register(m, 0, 1, 50);
        for (unsigned short a = 60; a < 65; ++a)
            modbus_query_read_holding_register(m, 0, 2, a);
        modbus_query_read_holding_register(m, 0, 1, 999);
        modbus_query_read_holding_register(m, 0, 1, 1000);
        EXPECT_EQ(modbus_query_flush(m, nullptr), BUSLINK_E_EX_ILLEGAL_ADDRESS);
        EXPECT_EQ(modbus_result_coil(m, 0, 1, 7), BUSLINK_SUCCESS_TRUE);
        for (unsigned short a = 30; a < 40; ++a)
            EXPECT_EQ(modbus_result_coil(m, 0, 1, a), a % 2 == 0 ? 1 : 2) << a;
        unsigned short value = 0;
        EXPECT_EQ(modbus_result_holding_register(m, 0, 1, 50, &value), 0);
        EXPECT_EQ(value, 0xBEEF);
        for (unsigned short a = 60; a < 65; ++a) {
            EXPECT_EQ(modbus_result_holding_register(m, 0, 2, a, &value), 0);
            EXPECT_EQ(value, 0x7E00 + a);
        }
        // 999-1000 is one request that reaches past the server's end.
        EXPECT_EQ(modbus_result_holding_register(m, 0, 1, 999, &value), BUSLINK_E_EX_ILLEGAL_ADDRESS);
        modbus_query_reset(m);
        modbus_query_read_holding_register(m, 0, 1, 999);
        EXPECT_EQ(modbus_query_flush(m, nullptr), 0);
    }

    std::unique_ptr<mbtest::Child> server_;
};

} // namespace

TEST_F(modbus_peers, TcpReadsAndWritesEveryKind)
{
    const std::string port = mbtest::start_modbus_server(server_, {"--tcp", "0"});
    ASSERT_FALSE(port.empty()) << "pymodbus TCP server did not start";
    ASSERT_TRUE(mbtest::wait_for_port(std::stoi(port), 5000));

    modbus_tcp_t *tcp = modbus_tcp_new();
    ASSERT_EQ(modbus_tcp_connect(tcp, "127.0.0.1", std::stoi(port), 2000), 0);
    read_everything(mbtest::base(tcp));
    write_and_read_back(mbtest::base(tcp));
    modbus_tcp_delete(tcp);
}

TEST_F(modbus_peers, TcpServerThatDisappearsMidRoundAndComesBack)
{
    const std::string port = mbtest::start_modbus_server(server_, {"--tcp", "0", "--exit-after", "2"});
    ASSERT_FALSE(port.empty()) << "pymodbus TCP server did not start";
    ASSERT_TRUE(mbtest::wait_for_port(std::stoi(port), 5000));

    modbus_tcp_t *tcp = modbus_tcp_new();
    modbus_tcp_set_response_timeout(tcp, 1000);
    ASSERT_EQ(modbus_tcp_connect(tcp, "127.0.0.1", std::stoi(port), 2000), 0);
    modbus_base_t *m = mbtest::base(tcp);
    for (unsigned unit = 1; unit <= 2; ++unit)
        for (unsigned short a : {0, 100, 200})
            modbus_query_read_holding_register(m, 0, unit, a);
    modbus_query_optimize(m);
    EXPECT_EQ(modbus_query_flush(m, nullptr), BUSLINK_E_NO_CONNECTION);
    int ok = 0;
    int lost = 0;
    for (unsigned unit = 1; unit <= 2; ++unit) {
        for (unsigned short a : {0, 100, 200}) {
            unsigned short value = 0;
            const int rc = modbus_result_holding_register(m, 0, unit, a, &value);
            ok += rc == 0;
            lost += rc == BUSLINK_E_NO_CONNECTION || rc == BUSLINK_E_NO_RESPONSE;
            if (rc == 0) {
                EXPECT_EQ(value, holding(a, unit));
            }
        }
    }
    EXPECT_EQ(ok, 2);
    EXPECT_EQ(lost, 4);
    EXPECT_EQ(modbus_tcp_is_connected(tcp), 0);

    server_.reset();
    ASSERT_EQ(mbtest::start_modbus_server(server_, {"--tcp", port}), port);
    ASSERT_TRUE(mbtest::wait_for_port(std::stoi(port), 5000));
    ASSERT_EQ(modbus_tcp_connect(tcp, "127.0.0.1", std::stoi(port), 2000), 0);
    EXPECT_EQ(modbus_query_flush(m, nullptr), 0);
    modbus_tcp_delete(tcp);
}

TEST_F(modbus_peers, RtuReadsAndWritesThroughAPseudoTerminalPair)
{
    mbtest::PtyPair ptys;
    ASSERT_TRUE(ptys.started()) << "socat gave no pseudo-terminals";
    ASSERT_EQ(mbtest::start_modbus_server(server_, {"--rtu", ptys.path(0), "--baud", "38400"}), "0")
        << "pymodbus RTU server did not start";

    modbus_rtu_t *rtu = modbus_rtu_new();
    ASSERT_EQ(modbus_rtu_connect(rtu, cl_serial_open(ptys.path(1).c_str(), 38400, CL_PARITY_NONE, CL_STOPBITS_ONE,
                                                     CL_DATABITS_8)),
              0);
    read_everything(mbtest::base(rtu));
    write_and_read_back(mbtest::base(rtu));

    // Nobody answers for unit 9.
    modbus_rtu_set_response_timeout(rtu, 300);
    modbus_query_reset(mbtest::base(rtu));
    modbus_query_read_holding_register(mbtest::base(rtu), 0, 9, 1);
    EXPECT_EQ(modbus_query_flush(mbtest::base(rtu), nullptr), BUSLINK_E_NO_RESPONSE);
    modbus_rtu_delete(rtu);
}
