// The XBee transport against a simulated local module on a pseudo-terminal:
// transparent and API modes, AT commands, transmit status and the remote
// MODBUS slaves behind it.
#include "modbus_xbee.h"
#include "support.h"
#include "xbee_module.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using mbtest::B;
using mbtest::Bytes;

namespace {

using mbtest::be;
using Module = mbtest::XbeeModule;

class modbus_xbee_module : public testing::Test {
protected:
    void start(Module::Options options)
    {
        module_ = std::make_unique<Module>(pty_, std::move(options));
        for (unsigned a = 0; a < 8; ++a) {
            module_->remotes[remote_].holding[a] = static_cast<uint16_t>(0x100 + a);
            module_->remotes[short_remote_].holding[a] = static_cast<uint16_t>(0x200 + a);
            module_->remotes[other_].holding[a] = 0xDEAD;
        }
        x_ = modbus_xbee_new();
    }

    void TearDown() override
    {
        modbus_xbee_delete(x_);
        x_ = nullptr;
        module_.reset();
    }

    int setup()
    {
        return modbus_xbee_setup(x_, cl_serial_open(pty_.path().c_str(), 38400, CL_PARITY_NONE, CL_STOPBITS_ONE,
                                                    CL_DATABITS_8),
                                 0x3332, 0x0001, 0x000C);
    }

    // Reads holding registers 0-2 of a node; the flush status.
    int read_three(uint32_t link, uint32_t unit, std::vector<unsigned short> &values)
    {
        modbus_base_t *m = modbus_xbee_get_base(x_);
        modbus_query_reset(m);
        for (unsigned short a = 0; a < 3; ++a)
            modbus_query_read_holding_register(m, link, unit, a);
        const int rc = modbus_query_flush(m, nullptr);
        values.assign(3, 0);
        for (unsigned short a = 0; a < 3; ++a)
            modbus_result_holding_register(m, link, unit, a, &values[a]);
        return rc;
    }

    const uint64_t remote_ = 0x0013A20040506070ull;
    const uint64_t other_ = 0x0013A20040506071ull;
    const uint64_t short_remote_ = 0x0002;
    mbtest::Pty pty_;
    std::unique_ptr<Module> module_;
    modbus_xbee_t *x_ = nullptr;
};

} // namespace

TEST_F(modbus_xbee_module, Series2InApiMode1IsSwitchedAndReadsByLongAddress)
{
    start(Module::with_hv(0x1944, 1));
    EXPECT_EQ(modbus_xbee_setup(x_, nullptr, 1, 2, 3), BUSLINK_E_NO_CONNECTION);
    EXPECT_EQ(modbus_xbee_is_connected(x_), 0);
    EXPECT_EQ(modbus_xbee_get_series(x_), 0);
    ASSERT_EQ(setup(), 0);
    EXPECT_NE(modbus_xbee_is_connected(x_), 0);
    EXPECT_EQ(module_->commands(), (std::vector<std::string>{"AP", "AP:02", "HV", "ID:3332"}));
    EXPECT_EQ(x_->series, 20);
    EXPECT_EQ(modbus_xbee_get_series(x_), 20);
    EXPECT_EQ(x_->short_addresses, 0);

    std::vector<unsigned short> values;
    ASSERT_EQ(read_three(0x0013A200, 0x40506070, values), 0);
    EXPECT_EQ(values, (std::vector<unsigned short>{0x100, 0x101, 0x102}));

    // Values that need escaping on the way out.
    modbus_base_t *m = modbus_xbee_get_base(x_);
    modbus_query_reset(m);
    modbus_query_write_holding_register(m, 0x0013A200, 0x40506070, 4, 0x7E7D);
    modbus_query_write_holding_register(m, 0x0013A200, 0x40506070, 5, 0x1113);
    ASSERT_EQ(modbus_query_flush(m, nullptr), 0);
    EXPECT_EQ(module_->remotes[remote_].holding[4], 0x7E7D);
    EXPECT_EQ(module_->remotes[remote_].holding[5], 0x1113);

    modbus_xbee_disconnect(x_);
    EXPECT_EQ(modbus_xbee_is_connected(x_), 0);
    EXPECT_EQ(read_three(0x0013A200, 0x40506070, values), BUSLINK_E_NO_CONNECTION);
}

TEST_F(modbus_xbee_module, Series1FromTransparentModeUsesShortAddresses)
{
    start(Module::with_hv(0x1744, 0));
    ASSERT_EQ(setup(), 0);
    EXPECT_EQ(module_->commands(), (std::vector<std::string>{"+++", "ATAP2", "ATCN", "HV", "CH:000C", "MY:0001",
                                                             "MM:02", "ID:3332"}));
    EXPECT_EQ(x_->series, 10);
    EXPECT_EQ(x_->short_addresses, 1);
    std::vector<unsigned short> values;
    ASSERT_EQ(read_three(0, 2, values), 0);
    EXPECT_EQ(values, (std::vector<unsigned short>{0x200, 0x201, 0x202}));

    // Long addresses on series 1 go out as 64-bit transmit requests.
    modbus_xbee_use_short_addresses(x_, 0);
    ASSERT_EQ(read_three(0x0013A200, 0x40506070, values), 0);
    EXPECT_EQ(values[2], 0x102);
}

TEST_F(modbus_xbee_module, UnknownModelWorksAsSeries1)
{
    start(Module::with_hv(0x2A01));
    testing::internal::CaptureStderr();
    ASSERT_EQ(setup(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Warning: unknown XBee model. Defaulting to series 1.\n");
    EXPECT_EQ(x_->series, 10);
    EXPECT_EQ(module_->commands().size(), 6u);
}

TEST_F(modbus_xbee_module, AnswersFromOtherNodesOrWithoutTheMarkerAreSkipped)
{
    Module::Options options;
    options.before_answer = Module::frame("\x90" + be(0x0013A20040506071ull, 8) + B("\x12\x34\x01MB\x03\x02\xDE\xAD")) +
                            Module::frame("\x90" + be(0x0013A20040506070ull, 8) + B("\x12\x34\x01XX\x03\x02\xDE\xAD")) +
                            Module::frame(B("\x8A\x02"));
    start(options);
    ASSERT_EQ(setup(), 0);
    std::vector<unsigned short> values;
    ASSERT_EQ(read_three(0x0013A200, 0x40506070, values), 0);
    EXPECT_EQ(values, (std::vector<unsigned short>{0x100, 0x101, 0x102}));

    // Exceptions come back as their statuses.
    modbus_base_t *m = modbus_xbee_get_base(x_);
    modbus_query_reset(m);
    modbus_query_read_holding_register(m, 0x0013A200, 0x40506070, 200);
    EXPECT_EQ(modbus_query_flush(m, nullptr), BUSLINK_E_EX_ILLEGAL_ADDRESS);
}

TEST_F(modbus_xbee_module, DeliveryFailuresTimeOutsAndBadChecksums)
{
    std::vector<unsigned short> values;
    Module::Options options;
    {
        options.delivery = 0x21;
        start(options);
        ASSERT_EQ(setup(), 0);
        EXPECT_EQ(read_three(0x0013A200, 0x40506070, values), BUSLINK_E_NOT_DELIVERED);
        TearDown();
    }
    {
        options.delivery = 0;
        options.answer = false;
        start(options);
        ASSERT_EQ(setup(), 0);
        x_->response_timeout_ms = 200;
        EXPECT_EQ(read_three(0x0013A200, 0x40506070, values), BUSLINK_E_TIMEOUT);
        // A node nobody answers for: its answer never comes either.
        EXPECT_EQ(read_three(1, 2, values), BUSLINK_E_TIMEOUT);
        TearDown();
    }
    options.answer = true;
    options.corrupt_answer = true;
    start(options);
    ASSERT_EQ(setup(), 0);
    EXPECT_EQ(read_three(0x0013A200, 0x40506070, values), BUSLINK_E_CHECKSUM);
}

TEST_F(modbus_xbee_module, FrameIdentifiersSkipZero)
{
    start(Module::Options());
    ASSERT_EQ(setup(), 0);
    x_->frame_id = 254;
    unsigned char message[MODBUS_MESSAGE_BUFFER_SIZE];
    unsigned length = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(modbus_xbee_send_frame(x_, 0x0013A200, 0x40506070, "\x03\x00\x00\x00\x01", 5, nullptr), 0);
        ASSERT_EQ(modbus_xbee_read_frame(x_, 0x0013A200, 0x40506070, message, &length), 0);
        EXPECT_EQ(Bytes(reinterpret_cast<char *>(message), length), B("\x03\x02\x01\x00"));
    }
    EXPECT_EQ(module_->frame_ids, (std::vector<int>{255, 1, 2}));
}
