// The XBee transport against a simulated local module on a pseudo-terminal:
// transparent and API modes, AT commands, transmit status and the remote
// MODBUS slaves behind it.
#include "modbus_xbee.h"
#include "support.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <poll.h>
#include <unistd.h>

using mbtest::B;
using mbtest::Bytes;

namespace {

uint64_t get_be(const Bytes &b, std::size_t at, std::size_t n)
{
    uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i)
        v = v << 8 | static_cast<unsigned char>(b[at + i]);
    return v;
}

Bytes be(uint64_t v, std::size_t n)
{
    Bytes b;
    for (std::size_t i = n; i-- > 0;)
        b.push_back(static_cast<char>(v >> (8 * i)));
    return b;
}

// The local module and, behind it, the remote modules that answer MODBUS.
class Module {
public:
    struct Options {
        unsigned hv = 0x1944;
        int api_mode = 2; // 0: transparent
        unsigned char delivery = 0;
        Bytes before_answer; // frames (escaped) sent ahead of each answer
        bool answer = true;
        bool corrupt_answer = false;
    };

    static Options with_hv(unsigned hv, int api_mode = 2)
    {
        Options o;
        o.hv = hv;
        o.api_mode = api_mode;
        return o;
    }

    Module(const mbtest::Pty &pty, Options options) : pty_(pty), options_(std::move(options))
    {
        thread_ = std::thread([this] { run(); });
    }

    ~Module()
    {
        stop_ = true;
        thread_.join();
    }

    std::vector<std::string> commands() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return commands_;
    }

    // Remote modules by 64-bit address (16-bit ones as 0:address).
    std::map<uint64_t, mbtest::Registers> remotes;
    std::vector<int> frame_ids;

    static Bytes frame(const Bytes &data)
    {
        Bytes body = be(data.size(), 2) + data;
        unsigned sum = 0;
        for (unsigned char c : data)
            sum += c;
        body.push_back(static_cast<char>(0xFF - (sum & 0xFF)));
        Bytes wire = "\x7E";
        for (unsigned char c : body) {
            if (c == 0x7E || c == 0x7D || c == 0x11 || c == 0x13) {
                wire.push_back('\x7D');
                wire.push_back(static_cast<char>(c ^ 0x20));
            } else {
                wire.push_back(static_cast<char>(c));
            }
        }
        return wire;
    }

private:
    void record(std::string text)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back(std::move(text));
    }

    void run()
    {
        Bytes in;
        while (!stop_) {
            const Bytes got = pty_.read_burst(20, 2);
            in += got;
            if (options_.api_mode == 0)
                transparent(in);
            Bytes data;
            while (options_.api_mode != 0 && take_frame(in, data))
                api(data);
        }
    }

    void transparent(Bytes &in)
    {
        if (!command_mode_) {
            const std::size_t at = in.find("+++");
            if (at == Bytes::npos)
                return;
            in.erase(0, at + 3);
            command_mode_ = true;
            record("+++");
            pty_.write("OK\r");
        }
        for (std::size_t eol; command_mode_ && (eol = in.find('\r')) != Bytes::npos;) {
            const std::string line = in.substr(0, eol);
            in.erase(0, eol + 1);
            record(line);
            if (line == "ATAP2")
                ap_ = 2;
            pty_.write("OK\r");
            if (line == "ATCN") {
                command_mode_ = false;
                options_.api_mode = ap_;
            }
        }
    }

    // Frame data of the next whole frame in the stream, unescaped.
    static bool take_frame(Bytes &in, Bytes &data)
    {
        const std::size_t start = in.find('\x7E');
        if (start == Bytes::npos) {
            in.clear();
            return false;
        }
        Bytes plain;
        for (std::size_t i = start + 1; i < in.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(in[i]);
            if (c == 0x7D) {
                if (++i == in.size())
                    return false;
                c = static_cast<unsigned char>(in[i] ^ 0x20);
            }
            plain.push_back(static_cast<char>(c));
            if (plain.size() >= 2 && plain.size() == get_be(plain, 0, 2) + 3) {
                data = plain.substr(2, plain.size() - 3);
                in.erase(0, i + 1);
                return true;
            }
        }
        return false;
    }

    void api(const Bytes &data)
    {
        const unsigned char type = static_cast<unsigned char>(data[0]);
        const char id = data[1];
        if (type == 0x08) {
            const std::string command = data.substr(2, 2);
            const Bytes param = data.substr(4);
            Bytes value;
            if (command == "AP" && param.empty())
                value = Bytes(1, static_cast<char>(options_.api_mode));
            else if (command == "AP")
                options_.api_mode = param[0];
            else if (command == "HV")
                value = be(options_.hv, 2);
            std::string text = command;
            if (!param.empty())
                text += ":";
            for (unsigned char c : param)
                text += hex(c);
            record(text);
            pty_.write(frame(Bytes("\x88") + id + command + '\0' + value));
            return;
        }
        frame_ids.push_back(static_cast<unsigned char>(id));
        const bool series2 = type == 0x10;
        uint64_t to = 0;
        Bytes payload;
        if (type == 0x00) {
            to = get_be(data, 2, 8);
            payload = data.substr(11);
        } else if (type == 0x01) {
            to = get_be(data, 2, 2);
            payload = data.substr(5);
        } else {
            to = get_be(data, 2, 8);
            payload = data.substr(14);
        }
        pty_.write(frame(series2 ? Bytes("\x8B") + id + B("\xFF\xFE\x00") + static_cast<char>(options_.delivery) + '\0'
                                 : Bytes("\x89") + id + static_cast<char>(options_.delivery)));
        if (!options_.answer || options_.delivery != 0 || !remotes.count(to) || payload.substr(0, 2) != "MB")
            return;
        const Bytes reply = "MB" + remotes[to].answer(payload.substr(2));
        Bytes answer;
        if (type == 0x00)
            answer = "\x80" + be(to, 8) + B("\x28\x00") + reply;
        else if (type == 0x01)
            answer = "\x81" + be(to, 2) + B("\x28\x00") + reply;
        else
            answer = "\x90" + be(to, 8) + B("\x12\x34\x01") + reply;
        Bytes wire = frame(answer);
        if (options_.corrupt_answer)
            wire[wire.size() - 1] ^= 0x01;
        pty_.write(options_.before_answer + wire);
    }

    static std::string hex(unsigned char c)
    {
        static const char digits[] = "0123456789ABCDEF";
        return {digits[c >> 4], digits[c & 15]};
    }

    const mbtest::Pty &pty_;
    Options options_;
    bool command_mode_ = false;
    int ap_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::string> commands_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

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
    ASSERT_EQ(setup(), 0);
    EXPECT_NE(modbus_xbee_is_connected(x_), 0);
    EXPECT_EQ(module_->commands(), (std::vector<std::string>{"AP", "AP:02", "HV", "ID:3332"}));
    EXPECT_EQ(x_->series, 20);
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
