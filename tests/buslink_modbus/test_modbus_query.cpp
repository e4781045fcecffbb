// The query engine: queueing and merging, the optimiser, the listing, and
// the flush against a slave on the other side of a pseudo-terminal.
#include "modbus_query.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <string>

using mbtest::Answer;
using mbtest::B;
using mbtest::Bytes;

namespace {

class modbus_engine : public testing::Test {
protected:
    void SetUp() override
    {
        rtu_ = modbus_rtu_new();
        ASSERT_NE(rtu_, nullptr);
        m_ = mbtest::base(rtu_);
    }

    void TearDown() override
    {
        slave_.reset();
        modbus_rtu_delete(rtu_);
    }

    // Unit 1 on the line answers from bank_ unless a test scripts otherwise.
    void connect()
    {
        script_ = [this](const Bytes &request) { return bank_answer(request); };
        slave_ = std::make_unique<mbtest::SerialSlave>(pty_, [this](const Bytes &request) {
            std::lock_guard<std::mutex> lock(mutex_);
            return script_(request);
        });
        ASSERT_EQ(modbus_rtu_connect(rtu_, cl_serial_open(pty_.path().c_str(), 38400, CL_PARITY_NONE,
                                                          CL_STOPBITS_ONE, CL_DATABITS_8)),
                  0);
        modbus_rtu_set_response_timeout(rtu_, 200);
    }

    void script(mbtest::Script s)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        script_ = std::move(s);
    }

    Answer bank_answer(const Bytes &request)
    {
        if (request.size() < 4 || request[0] != 1)
            return {};
        return {{0, mbtest::rtu(1, bank_.answer(request.substr(1, request.size() - 3)))}};
    }

    std::string listing()
    {
        char *text = nullptr;
        std::size_t size = 0;
        FILE *stream = open_memstream(&text, &size);
        modbus_query_print(m_, stream);
        std::fclose(stream);
        std::string result(text, size);
        std::free(text);
        return result;
    }

    const modbus_query &read_query(std::size_t i) const { return *m_->reads.at(i); }
    const modbus_query &write_query(std::size_t i) const { return *m_->writes.at(i); }

    modbus_rtu_t *rtu_ = nullptr;
    modbus_base_t *m_ = nullptr;
    mbtest::Pty pty_;
    mbtest::Registers bank_;
    std::mutex mutex_;
    mbtest::Script script_;
    std::unique_ptr<mbtest::SerialSlave> slave_;
};

} // namespace

TEST_F(modbus_engine, ReadsGrowBothWaysWritesOnlyUpward)
{
    modbus_query_t *q = modbus_query_read_holding_register(m_, 0, 1, 10);
    EXPECT_EQ(modbus_query_read_holding_register(m_, 0, 1, 11), q);
    EXPECT_EQ(modbus_query_read_holding_register(m_, 0, 1, 9), q);
    EXPECT_EQ(modbus_query_read_holding_register(m_, 0, 1, 10), q);
    ASSERT_EQ(m_->reads.size(), 1u);
    EXPECT_EQ(q->first, 9);
    EXPECT_EQ(q->quantity, 3);
    EXPECT_EQ(q->status, BUSLINK_E_NOT_FLUSHED);

    // Another node, kind or direction never joins; new queries go in front.
    modbus_query_read(m_, 0, 2, MODBUS_HOLDING_REGISTER, 12);
    modbus_query_read(m_, 1, 1, MODBUS_HOLDING_REGISTER, 12);
    modbus_query_read(m_, 0, 1, MODBUS_INPUT_REGISTER, 12);
    EXPECT_EQ(modbus_query_read(m_, 0, 1, 5, 12), BUSLINK_E_ILLEGAL_ITEM);
    EXPECT_EQ(modbus_query_read(m_, 0, 1, 0, 12), BUSLINK_E_ILLEGAL_ITEM);
    ASSERT_EQ(m_->reads.size(), 4u);
    EXPECT_EQ(read_query(0).kind, MODBUS_INPUT_REGISTER);
    EXPECT_EQ(read_query(3).quantity, 3);

    modbus_query_write_holding_register(m_, 0, 1, 10, 100);
    modbus_query_write_holding_register(m_, 0, 1, 9, 90);
    modbus_query_write_holding_register(m_, 0, 1, 11, 110);
    ASSERT_EQ(m_->writes.size(), 2u);
    EXPECT_EQ(write_query(0).first, 9);
    EXPECT_EQ(write_query(1).first, 10);
    EXPECT_EQ(write_query(1).quantity, 2);

    // Address 0 has no lower neighbour, 65535 no upper one.
    modbus_query_t *low = modbus_query_read_coil(m_, 0, 1, 0);
    EXPECT_EQ(modbus_query_read_coil(m_, 0, 1, 65535)->first, 65535);
    EXPECT_EQ(low->quantity, 1);
}

TEST_F(modbus_engine, GrowthStopsAtTheRequestLimits)
{
    for (int a = 0; a < 116; ++a)
        modbus_query_read_holding_register(m_, 0, 1, static_cast<unsigned short>(a));
    ASSERT_EQ(m_->reads.size(), 2u);
    EXPECT_EQ(read_query(1).quantity, 115);
    EXPECT_EQ(read_query(1).buffer.size(), 230u);
    EXPECT_EQ(read_query(0).first, 115);
    // Growing downward stops at the same size.
    for (int a = 1000; a > 884; --a)
        modbus_query_read_input_register(m_, 0, 1, static_cast<unsigned short>(a));
    EXPECT_EQ(read_query(0).first, 885);
    EXPECT_EQ(read_query(1).quantity, 115);

    for (int a = 0; a < 2000; ++a)
        modbus_query_write_coil(m_, 0, 1, static_cast<unsigned short>(a), a % 3 == 0);
    ASSERT_EQ(m_->writes.size(), 2u);
    EXPECT_EQ(write_query(1).quantity, 1841); // 7 x 263: the first multiple of 7 past 1840
    EXPECT_GE(write_query(1).buffer.size(), 231u);
    EXPECT_EQ(write_query(0).first, 1841);
    EXPECT_EQ(write_query(0).quantity, 159);
}

TEST_F(modbus_engine, OptimiserSortsAndJoinsAdjacentHoldingRegisters)
{
    // Queued so that 0-99 and 100-123 end up as two queries.
    for (int a = 100; a <= 123; ++a)
        modbus_query_read_holding_register(m_, 0, 1, static_cast<unsigned short>(a));
    for (int a = 0; a <= 99; ++a)
        modbus_query_read_holding_register(m_, 0, 1, static_cast<unsigned short>(a));
    for (int a = 100; a <= 124; ++a)
        modbus_query_read_holding_register(m_, 0, 2, static_cast<unsigned short>(a));
    for (int a = 0; a <= 99; ++a)
        modbus_query_read_holding_register(m_, 0, 2, static_cast<unsigned short>(a));
    // Input registers and coils meet end to start too, but are left alone.
    modbus_query_read_input_register(m_, 0, 1, 6);
    modbus_query_read_input_register(m_, 0, 1, 4);
    modbus_query_read_input_register(m_, 0, 1, 5);
    modbus_query_read_coil(m_, 7, 0, 3);
    ASSERT_EQ(m_->reads.size(), 7u);

    modbus_query_optimize(m_);
    ASSERT_EQ(m_->reads.size(), 6u);
    EXPECT_EQ(listing(), "Write queries: none\n"
                         "Read queries:\n"
                         " #1  node: 0:1, first: 3x0000, qty: 124, bufsz: 248, status: 205\n"
                         " #2  node: 0:1, first: 4x0004, qty: 2, bufsz: 8, status: 205\n"
                         " #3  node: 0:1, first: 4x0006, qty: 1, bufsz: 8, status: 205\n"
                         " #4  node: 0:2, first: 3x0000, qty: 100, bufsz: 200, status: 205\n"
                         " #5  node: 0:2, first: 3x0064, qty: 25, bufsz: 50, status: 205\n"
                         " #6  node: 7:0, first: 1x0003, qty: 1, bufsz: 8, status: 205\n"
                         "Pool: 0 queries\n");
}

TEST_F(modbus_engine, ResetPoolsRecordsAndTheirBuffersForTheNextRound)
{
    modbus_query_write(m_, 0, 1, MODBUS_COIL, 8, 1);
    modbus_query_write(m_, 0, 1, MODBUS_INPUT_REGISTER, 3, 7);
    modbus_query_write(m_, 0, 1, 9, 3, 7);
    for (int a = 0; a < 40; ++a)
        modbus_query_read_holding_register(m_, 0, 1, static_cast<unsigned short>(a));
    EXPECT_EQ(listing(), "Write queries:\n"
                         " #1  node: 0:1, first: 2x0003, qty: 1, bufsz: 8, status: 205\n"
                         " #2  node: 0:1, first: 1x0008, qty: 1, bufsz: 8, status: 205\n"
                         "Read queries:\n"
                         " #1  node: 0:1, first: 3x0000, qty: 40, bufsz: 80, status: 205\n"
                         "Pool: 0 queries\n");
    const modbus_query *big = &read_query(0);

    modbus_query_reset(m_);
    EXPECT_EQ(listing(), "Write queries: none\nRead queries: none\nPool: 3 queries\n");
    EXPECT_EQ(modbus_result_holding_register(m_, 0, 1, 5, nullptr), BUSLINK_E_ITEM_NOT_IN_QUERY);

    // Every record comes back from the pool; the big buffer is kept.
    bool reused_big = false;
    for (unsigned short a : {10, 20, 30}) {
        const modbus_query *q = modbus_query_read_input_register(m_, 0, 1, a);
        reused_big = reused_big || q == big;
        if (q == big) {
            EXPECT_EQ(q->buffer.size(), 80u);
        }
        EXPECT_EQ(q->status, BUSLINK_E_NOT_FLUSHED);
    }
    EXPECT_TRUE(reused_big);
    EXPECT_EQ(m_->pool.size(), 0u);

    modbus_queries_delete(m_);
    EXPECT_EQ(listing(), "Write queries: none\nRead queries: none\nPool: 0 queries\n");
}

TEST_F(modbus_engine, ResultsBeforeTheFlushAndForUnknownItems)
{
    modbus_query_read_coil(m_, 0, 1, 4);
    unsigned short value = 77;
    EXPECT_EQ(modbus_result_coil(m_, 0, 1, 4), BUSLINK_E_NOT_FLUSHED);
    EXPECT_EQ(modbus_result_coil(m_, 0, 1, 5), BUSLINK_E_ITEM_NOT_IN_QUERY);
    EXPECT_EQ(modbus_result_coil(m_, 0, 2, 4), BUSLINK_E_ITEM_NOT_IN_QUERY);
    EXPECT_EQ(modbus_result_discrete_input(m_, 0, 1, 4), BUSLINK_E_ITEM_NOT_IN_QUERY);
    EXPECT_EQ(modbus_query_result(m_, 0, 1, MODBUS_COIL, 4, &value), BUSLINK_E_NOT_FLUSHED);
    EXPECT_EQ(modbus_query_result(m_, 0, 1, 7, 4, &value), BUSLINK_E_ILLEGAL_ITEM);
    EXPECT_EQ(modbus_result_input_register(m_, 0, 1, 4, &value), BUSLINK_E_ITEM_NOT_IN_QUERY);
    EXPECT_EQ(value, 77);
    // Without a port every query fails alike.
    EXPECT_EQ(modbus_query_flush(m_, nullptr), BUSLINK_E_NO_CONNECTION);
    EXPECT_EQ(modbus_result_coil(m_, 0, 1, 4), BUSLINK_E_NO_CONNECTION);
}

TEST_F(modbus_engine, FlushWritesFirstThenReadsAndKeepsEveryResult)
{
    for (unsigned a = 0; a < 40; ++a) {
        bank_.coils[a] = a % 3 == 0;
        bank_.inputs[a] = a % 2 == 1;
        bank_.holding[a] = static_cast<uint16_t>(0xA000 + a);
        bank_.input_registers[a] = static_cast<uint16_t>(0x0100 * a);
    }
    connect();

    modbus_query_write_coil(m_, 0, 1, 3, 1);                 // function 5
    for (unsigned short a = 20; a < 30; ++a)                 // function 15
        modbus_query_write_coil(m_, 0, 1, a, a % 2);
    modbus_query_write_holding_register(m_, 0, 1, 7, 0x1234); // function 6
    modbus_query_write(m_, 0, 1, MODBUS_HOLDING_REGISTER, 30, 0xBEEF);
    modbus_query_write(m_, 0, 1, MODBUS_HOLDING_REGISTER, 31, 0x0102); // function 16
    modbus_query_write(m_, 0, 1, MODBUS_DISCRETE_INPUT, 2, 1);         // read-only
    for (unsigned short a = 0; a < 10; ++a)
        modbus_query_read(m_, 0, 1, MODBUS_COIL, a);
    modbus_query_read(m_, 0, 1, MODBUS_DISCRETE_INPUT, 5);
    for (unsigned short a = 7; a <= 9; ++a)
        modbus_query_read_holding_register(m_, 0, 1, a);
    modbus_query_read_input_register(m_, 0, 1, 39);

    EXPECT_EQ(modbus_query_flush(m_, nullptr), BUSLINK_E_READ_ONLY);
    // Each list runs from its front, writes before reads; nothing is sent
    // for the read-only write.
    EXPECT_EQ(bank_.functions, (std::vector<int>{16, 6, 15, 5, 4, 3, 2, 1}));

    EXPECT_TRUE(bank_.coils[3]);
    for (unsigned a = 20; a < 30; ++a)
        EXPECT_EQ(bank_.coils[a], a % 2 == 1) << a;
    EXPECT_EQ(bank_.holding[30], 0xBEEF);
    EXPECT_EQ(bank_.holding[31], 0x0102);
    EXPECT_EQ(modbus_result_discrete_input(m_, 0, 1, 2), BUSLINK_E_READ_ONLY);

    for (unsigned short a = 0; a < 10; ++a)
        EXPECT_EQ(modbus_result_coil(m_, 0, 1, a), a == 3 || a % 3 == 0 ? 1 : 2) << a;
    EXPECT_EQ(modbus_result_discrete_input(m_, 0, 1, 5), BUSLINK_SUCCESS_TRUE);
    unsigned short value = 0;
    EXPECT_EQ(modbus_query_result(m_, 0, 1, MODBUS_DISCRETE_INPUT, 5, &value), 0);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(modbus_query_result(m_, 0, 1, MODBUS_COIL, 1, &value), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(modbus_result_holding_register(m_, 0, 1, 7, &value), 0);
    EXPECT_EQ(value, 0x1234);
    EXPECT_EQ(modbus_query_result(m_, 0, 1, MODBUS_HOLDING_REGISTER, 9, &value), 0);
    EXPECT_EQ(value, 0xA009);
    EXPECT_EQ(modbus_result_input_register(m_, 0, 1, 39, &value), 0);
    EXPECT_EQ(value, 0x2700);
    // A written register that is not read gives back the value written.
    EXPECT_EQ(modbus_result_holding_register(m_, 0, 1, 30, &value), 0);
    EXPECT_EQ(value, 0xBEEF);
}

TEST_F(modbus_engine, ResponsesAreCheckedAgainstTheRequest)
{
    connect();
    struct Case {
        const char *what;
        Bytes answer; // the message for a read of holding registers 0-1
        int status;
    };
    const Case cases[] = {
        {"good", B("\x03\x04\x00\x01\x00\x02"), 0},
        {"byte count other than 2 x quantity", B("\x03\x02\x00\x01"), BUSLINK_E_UNEXPECTED_DATA},
        {"a data byte missing", B("\x03\x04\x00\x01\x00"), BUSLINK_E_SHORT_RESPONSE},
        {"function code alone", B("\x03"), BUSLINK_E_SHORT_RESPONSE},
        {"another function", B("\x04\x04\x00\x01\x00\x02"), BUSLINK_E_UNEXPECTED_RESPONSE},
        {"exception", B("\x83\x02"), BUSLINK_E_EX_ILLEGAL_ADDRESS},
    };
    for (const Case &c : cases) {
        script([&](const Bytes &) { return Answer{{0, mbtest::rtu(1, c.answer)}}; });
        modbus_query_reset(m_);
        modbus_query_read_holding_register(m_, 0, 1, 0);
        modbus_query_read_holding_register(m_, 0, 1, 1);
        EXPECT_EQ(modbus_query_flush(m_, nullptr), c.status) << c.what;
    }
    unsigned short value = 0;
    EXPECT_EQ(modbus_result_holding_register(m_, 0, 1, 1, &value), BUSLINK_E_EX_ILLEGAL_ADDRESS);

    // Bits: fewer data bytes than the quantity needs leave items unanswered.
    script([&](const Bytes &) { return Answer{{0, mbtest::rtu(1, B("\x01\x01\xFF"))}}; });
    modbus_query_reset(m_);
    for (unsigned short a = 0; a < 9; ++a)
        modbus_query_read_coil(m_, 0, 1, a);
    EXPECT_EQ(modbus_query_flush(m_, nullptr), BUSLINK_E_UNEXPECTED_DATA);

    // Writes must be echoed in full.
    const std::pair<Bytes, int> write_answers[] = {{B("\x06\x00\x05\x00\x2B"), BUSLINK_E_UNEXPECTED_DATA},
                                                   {B("\x06\x00\x05\x00"), BUSLINK_E_SHORT_RESPONSE},
                                                   {B("\x06\x00\x05\x00\x2A"), 0}};
    for (const auto &write_answer : write_answers) {
        const Bytes frame = mbtest::rtu(1, write_answer.first);
        script([frame](const Bytes &) { return Answer{{0, frame}}; });
        modbus_query_reset(m_);
        modbus_query_write_holding_register(m_, 0, 1, 5, 42);
        EXPECT_EQ(modbus_query_flush(m_, nullptr), write_answer.second);
    }
}

TEST_F(modbus_engine, FlushReportsTheLastFailureAndTriesEveryQuery)
{
    bank_.holding[1] = 11;
    connect();
    modbus_query_read_holding_register(m_, 0, 1, 1);
    modbus_query_read_holding_register(m_, 0, 1, 5); // not in the bank
    modbus_query_read_holding_register(m_, 0, 9, 1); // nobody answers unit 9
    modbus_query_optimize(m_);
    EXPECT_EQ(modbus_query_flush(m_, nullptr), BUSLINK_E_NO_RESPONSE);
    unsigned short value = 0;
    EXPECT_EQ(modbus_result_holding_register(m_, 0, 1, 1, &value), 0);
    EXPECT_EQ(value, 11);
    EXPECT_EQ(modbus_result_holding_register(m_, 0, 1, 5, &value), BUSLINK_E_EX_ILLEGAL_ADDRESS);
    EXPECT_EQ(modbus_result_holding_register(m_, 0, 9, 1, &value), BUSLINK_E_NO_RESPONSE);
}

TEST_F(modbus_engine, TheLastValueQueuedForAnAddressIsTheOneTheDeviceEndsWith)
{
    for (unsigned a = 0; a < 24; ++a) {
        bank_.holding[a] = 0;
        bank_.coils[a] = false;
    }
    connect();

    // Register 12 = 111, 11 = 222, 12 = 333: the query grown downward from
    // 11 must not carry 12 past the older query that holds it.
    modbus_query_write_holding_register(m_, 0, 1, 12, 111);
    modbus_query_write_holding_register(m_, 0, 1, 11, 222);
    modbus_query_write_holding_register(m_, 0, 1, 12, 333);
    EXPECT_EQ(modbus_query_flush(m_, nullptr), 0);
    EXPECT_EQ(bank_.holding[11], 222);
    EXPECT_EQ(bank_.holding[12], 333);
    modbus_query_reset(m_);

    // Random rounds of 16-bit, 32-bit (two registers) and coil writes in
    // any order; every address must end with its last value.
    std::mt19937 random(20261208);
    for (int round = 0; round < 15; ++round) {
        SCOPED_TRACE(round);
        std::map<unsigned, uint16_t> registers;
        std::map<unsigned, bool> coils;
        const int writes = 2 + static_cast<int>(random() % 10);
        for (int i = 0; i < writes; ++i) {
            const auto a = static_cast<unsigned short>(random() % 20);
            const auto value = static_cast<uint16_t>(random());
            switch (random() % 3) {
            case 0:
                modbus_query_write_holding_register(m_, 0, 1, a, value);
                registers[a] = value;
                break;
            case 1:
                modbus_query_write_holding_register(m_, 0, 1, a, value);
                modbus_query_write_holding_register(m_, 0, 1, static_cast<unsigned short>(a + 1),
                                                    static_cast<uint16_t>(~value));
                registers[a] = value;
                registers[a + 1] = static_cast<uint16_t>(~value);
                break;
            default:
                modbus_query_write_coil(m_, 0, 1, a, value & 1);
                coils[a] = value & 1;
                break;
            }
        }
        ASSERT_EQ(modbus_query_flush(m_, nullptr), 0);
        for (const auto &[a, v] : registers)
            EXPECT_EQ(bank_.holding[a], v) << "register " << a;
        for (const auto &[a, on] : coils)
            EXPECT_EQ(bank_.coils[a], on) << "coil " << a;
        modbus_query_reset(m_);
    }
}
