#include "lct1.h"

#include "core.h"
#include "platform/posix_serial.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>

#include <poll.h>
#include <strings.h>
#include <termios.h>
#include <unistd.h>

namespace posix = buslink::posix;
namespace wire = buslink::lct1;

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

void close_port(lct1 &line)
{
    if (line.fd >= 0) {
        ::close(line.fd);
        line.fd = -1;
    }
}

// An answer that came too late, or more than was asked for, must not pass
// for the answer to the next message.
void discard_input(const lct1 &line)
{
    char scrap[64];
    int err = 0;
    while (posix::read_buffered(line.fd, scrap, sizeof scrap, err) > 0) {
    }
}

// Writes the whole message within the write time-outs (constant plus a
// multiplier per byte); false with err set when it could not.
bool write_message(const lct1 &line, const std::string &message, int &err)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(
        wire::total_constant_ms + wire::total_multiplier_ms * static_cast<int>(message.size()));
    const int wake_fd = line.wakeup.fd();
    std::size_t done = 0;
    while (done < message.size()) {
        if (posix::readable_now(wake_fd)) {
            err = ECANCELED;
            return false;
        }
        const ssize_t n = ::write(line.fd, message.data() + done, message.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            err = errno;
            return false;
        }
        const int wait = remaining_ms(deadline);
        if (wait == 0) {
            err = ETIMEDOUT;
            return false;
        }
        pollfd p[2] = {{line.fd, POLLOUT, 0}, {wake_fd, POLLIN, 0}};
        if (::poll(p, 2, wait) < 0 && errno != EINTR) {
            err = errno;
            return false;
        }
    }
    return true;
}

// Reads an answer into buffer (answer_capacity bytes): it ends on a silence
// of the interval time-out, on the total time-out, on a full buffer, or as
// soon as the answer's closing parenthesis is in, which saves the silence.
// The byte count, or -1 when a read failed or was cut.
long read_answer(const lct1 &line, char *buffer)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(wire::read_total_ms);
    std::size_t length = 0;
    while (length < wire::answer_capacity) {
        const int left = remaining_ms(deadline);
        const int wait = length == 0 ? left : std::min(left, wire::interval_ms);
        unsigned char byte = 0;
        int err = 0;
        const int got = posix::read_byte(line.fd, wait, byte, err, line.wakeup.fd());
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        buffer[length++] = static_cast<char>(byte);
        const long more = posix::read_buffered(line.fd, buffer + length, wire::answer_capacity - length, err);
        if (more < 0)
            return -1;
        length += static_cast<std::size_t>(more);
        if (wire::complete_length(std::string_view(buffer, length)) != 0)
            break;
    }
    return static_cast<long>(length);
}

int exchange(lct1 &line, int node, int message, const char *data)
{
    if (node < 0 || node > wire::max_node)
        return LCT1_E_NODE;
    if (line.wakeup.fired())
        return LCT1_E_NO_RESPONSE;
    if (line.fd < 0)
        return LCT1_E_NO_ACCESS;
    if (message < 0 || message > 99)
        return LCT1_E_MESSAGE_NUMBER;
    const std::string text = wire::format_message(node, message, data, line.checksum);
    if (text.empty())
        return LCT1_E_SETPOINT; // data too long for a message

    discard_input(line);
    int err = 0;
    if (!write_message(line, text, err))
        return err == ECANCELED ? LCT1_E_NO_RESPONSE : LCT1_E_NO_ACCESS;

    char buffer[wire::answer_capacity];
    const long length = read_answer(line, buffer);
    if (length <= 0)
        return LCT1_E_NO_RESPONSE;

    wire::Answer answer;
    switch (wire::parse_answer(std::string_view(buffer, static_cast<std::size_t>(length)), line.checksum, answer)) {
    case wire::Parse::no_open: return LCT1_E_PARENTHESIS;
    case wire::Parse::bad_node: return LCT1_E_NODE;
    case wire::Parse::bad_message: return LCT1_E_MESSAGE_NUMBER;
    case wire::Parse::no_close:
        buslink_oprintf("Ingen avslutande parantes ')'\n");
        return LCT1_E_PARENTHESIS;
    case wire::Parse::bad_checksum: return LCT1_E_CHECKSUM;
    case wire::Parse::ok: break;
    }
    line.answer = answer;
    if (answer.message == 99)
        return LCT1_E_ERROR_MESSAGE;
    // Another node's answer on a shared line is not this node's reading.
    if (answer.message != message || answer.node != node)
        return LCT1_E_MISMATCH;
    return LCT1_SUCCESS;
}

enum class Field { six, four, first, second, third, fourth };

struct Param {
    const char *name;
    int message;
    Field field;
};

constexpr Param params[] = {
    {"value", 60, Field::six},    {"weight", 60, Field::six},   {"status", 1, Field::first},
    {"version", 2, Field::four},  {"filter", 10, Field::first}, {"integ", 10, Field::second},
    {"r1func", 50, Field::second}, {"r2func", 50, Field::third}, {"r3func", 50, Field::fourth},
    {"r1low", 30, Field::six},    {"r2low", 31, Field::six},    {"r3low", 32, Field::six},
    {"r1high", 33, Field::six},   {"r2high", 34, Field::six},   {"r3high", 35, Field::six},
};

const Param *find_param(const char *name)
{
    if (!name)
        return nullptr;
    for (const Param &param : params)
        if (strcasecmp(param.name, name) == 0)
            return &param;
    return nullptr;
}

// Where a field starts in the data.
std::size_t field_index(Field field)
{
    switch (field) {
    case Field::second: return 1;
    case Field::third: return 2;
    case Field::fourth: return 3;
    default: return 0;
    }
}

int decode(const Param &param, const wire::Answer &answer)
{
    // By the message's length: a NUL on the line is one more wrong digit.
    const std::string_view text(answer.data, static_cast<std::size_t>(std::max(0, wire::data_length(answer.message))));
    const std::size_t at = field_index(param.field);
    const std::size_t count = param.field == Field::six ? 6 : param.field == Field::four ? 4 : 1;
    if (text.size() < at + count)
        return -1;
    return static_cast<int>(wire::decode_digits(text.substr(at, count)));
}

char value_char(int value)
{
    return value >= 0 && value <= 15 ? wire::hex_digit(value) : 'x';
}

int to_int(double value)
{
    if (value >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (value <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(value);
}

bool is_name(const Param &param, const char *name)
{
    return std::strcmp(param.name, name) == 0;
}

// The data a write of the parameter sends, or the status why it cannot be
// written; filter and integ need the current setting first (an exchange).
int write_data(lct1 &line, int node, const Param &param, int value, std::string &data)
{
    if (is_name(param, "status")) {
        data = {value_char(value), '0'};
    } else if (param.message == 10) {
        const int rc = lct1_exec(&line, node, 10, nullptr);
        if (rc != LCT1_SUCCESS)
            return rc;
        data.assign(line.answer.data, 2); // message 10 carries two, NULs and all
        data[field_index(param.field)] = value_char(value);
    } else if (param.message == 50) {
        data = "0999";
        data[field_index(param.field)] = value_char(value);
    } else if (param.message >= 30 && param.message <= 35) {
        char digits[8];
        if (value < 0)
            std::memcpy(digits, "xxxxxx", 7);
        else
            std::snprintf(digits, sizeof digits, "%06d", value % 1000000);
        data = digits;
    } else {
        return LCT1_E_SETPOINT;
    }
    return LCT1_SUCCESS;
}

} // namespace

lct1::lct1()
{
    for (int node = 0; node <= wire::max_node; ++node) {
        offset[node] = 0.0;
        factor[node] = 1.0;
    }
}

lct1::~lct1()
{
    close_port(*this);
}

extern "C" {

BUSLINK_API lct1_t *lct1_new(void)
{
    auto *line = new (std::nothrow) lct1();
    if (line && !line->wakeup.valid()) {
        delete line;
        return nullptr;
    }
    return line;
}

BUSLINK_API void lct1_delete(lct1_t *line)
{
    delete line;
}

BUSLINK_API int lct1_connect(lct1_t *line, const char *port)
{
    if (!line)
        return LCT1_E_NO_ACCESS;
    close_port(*line);
    line->system_error.clear();
    termios settings{};
    int err = 0;
    posix::UniqueFd fd = posix::open_tty(posix::device_path(port), settings, err);
    if (!fd) {
        line->system_error = posix::error_text(err);
        // Opened, but not a line whose settings can be read.
        line->last_error = err == ENOTTY ? LCT1_E_COMSTATE : LCT1_E_NO_ACCESS;
        return line->last_error;
    }
    posix::make_raw_line(settings, 9600, 0, 0, 0);
    err = posix::apply_line(fd.get(), settings);
    if (err != 0) {
        // The return value names the step; the last error its text.
        line->system_error = posix::error_text(err);
        line->last_error = LCT1_E_COMSTATE;
        return 3;
    }
    line->fd = fd.release();
    line->last_error = LCT1_SUCCESS;
    return LCT1_SUCCESS;
}

BUSLINK_API void lct1_disconnect(lct1_t *line)
{
    if (line)
        close_port(*line);
}

BUSLINK_API int lct1_is_connected(const lct1_t *line)
{
    return line && line->fd >= 0 && !posix::hung_up(line->fd) ? 1 : 0;
}

BUSLINK_API int lct1_get_last_error(const lct1_t *line)
{
    return line ? line->last_error : LCT1_E_NO_ACCESS;
}

BUSLINK_API const char *lct1_get_system_error(const lct1_t *line)
{
    return line ? line->system_error.c_str() : "";
}

BUSLINK_API void lct1_set_checksum(lct1_t *line, int flag)
{
    if (line)
        line->checksum = flag != 0;
}

BUSLINK_API int lct1_exec(lct1_t *line, int node, int message, const char *data)
{
    if (!line)
        return LCT1_E_NO_ACCESS;
    line->answer = {};
    line->last_error = exchange(*line, node, message, data);
    return line->last_error;
}

BUSLINK_API int lct1_get_answer_node(const lct1_t *line)
{
    return line ? line->answer.node : -1;
}

BUSLINK_API int lct1_get_answer_message(const lct1_t *line)
{
    return line ? line->answer.message : 0;
}

BUSLINK_API const char *lct1_get_answer_data(const lct1_t *line)
{
    return line ? line->answer.data : "";
}

BUSLINK_API int lct1_extern_reset(lct1_t *line, int node)
{
    if (!line)
        return LCT1_E_NO_ACCESS;
    const int rc = lct1_exec(line, node, 3, nullptr);
    // The transmitter may reset before it answers; but a cut exchange sent
    // nothing and is no reset.
    if (rc == LCT1_E_NO_RESPONSE && !line->wakeup.fired())
        line->last_error = LCT1_SUCCESS;
    return line->last_error;
}

BUSLINK_API int lct1_read_setp(lct1_t *line, int node, const char *name)
{
    if (!line)
        return -1;
    const Param *param = find_param(name);
    if (!param) {
        line->last_error = LCT1_E_SETPOINT;
        return -1;
    }
    if (lct1_exec(line, node, param->message, nullptr) != LCT1_SUCCESS)
        return -1;
    const int raw = decode(*param, line->answer);
    if (!is_name(*param, "weight"))
        return raw;
    const int index = node; // exec checked the node
    return to_int(std::trunc(raw * line->factor[index] + line->offset[index]));
}

BUSLINK_API int lct1_write_setp(lct1_t *line, int node, const char *name, int value)
{
    if (!line)
        return -1;
    const Param *param = find_param(name);
    if (!param) {
        line->last_error = LCT1_E_SETPOINT;
        return -1;
    }
    std::string data;
    if (const int rc = write_data(*line, node, *param, value, data); rc != LCT1_SUCCESS) {
        line->last_error = rc;
        return -1;
    }
    if (lct1_exec(line, node, param->message, data.c_str()) != LCT1_SUCCESS)
        return -1;
    return decode(*param, line->answer);
}

BUSLINK_API void lct1_set_calib(lct1_t *line, int node, int raw1, double weight1, int raw2, double weight2)
{
    if (!line || node < 0 || node > wire::max_node || raw1 == raw2)
        return;
    const double factor = (weight2 - weight1) / (static_cast<double>(raw2) - static_cast<double>(raw1));
    const double offset = weight1 - raw1 * factor;
    if (!std::isfinite(factor) || !std::isfinite(offset))
        return;
    line->factor[node] = factor;
    line->offset[node] = offset;
}

BUSLINK_API void lct1_abort(lct1_t *line)
{
    if (line)
        line->wakeup.fire();
}

BUSLINK_API void lct1_clear_abort(lct1_t *line)
{
    if (line)
        line->wakeup.clear();
}

BUSLINK_API const char *lct1_error_string(int code)
{
    switch (code) {
    case LCT1_SUCCESS: return "Success";
    case LCT1_E_NO_ACCESS: return "No access";
    case LCT1_E_COMSTATE: return "Comstate failed";
    case LCT1_E_TIMEOUTS: return "Set timeouts failed";
    case LCT1_E_CHECKSUM: return "Checksum error";
    case LCT1_E_PARENTHESIS: return "Missing paranthesis";
    case LCT1_E_NODE: return "Illegal node number";
    case LCT1_E_ERROR_MESSAGE: return "Error message from LCT-1";
    case LCT1_E_MISMATCH: return "Sent and received messages does not match";
    case LCT1_E_NO_RESPONSE: return "No response";
    case LCT1_E_MESSAGE_NUMBER: return "Illegal message number";
    case LCT1_E_SETPOINT: return "Illegal setpoint";
    default: return "Unknown error";
    }
}

} // extern "C"
