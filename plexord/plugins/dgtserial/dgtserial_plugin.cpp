// The "dgt-serial" network type: LCC1200 controllers on one serial line. A
// device's address is its department letter, or "/" for a device whose
// writes are broadcasts to every controller; an item is a setpoint number.
//
// The three flags of the type:
// - enable_co2: setpoint 636 is the CO2 reading. Cleared, 636 is never put
//   on the line (lines without sensors would time out on it) and fails at
//   once; set, it is read like any setpoint.
// - co2_one_off_error: a failed CO2 read is repeated once in the same batch
//   before its failure counts, for controllers whose CO2 answer fails now
//   and then.
// - enable_sync_clock: with clock_setpoint above 0, the PC's local time of
//   day (hours + minutes / 100) is broadcast to that setpoint at the first
//   batch after a start and at the first batch of every new hour, before the
//   batch's own requests.
#include "serial_network.h"

#include "buslink.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

// The type's own status codes, beside the driver's (0 to 11, 999) and the
// base's (from 1000).
enum : int {
    ST_BAD_SETPOINT = 100,
    ST_BROADCAST_READ = 101,
    ST_CO2_DISABLED = 102,
};

constexpr unsigned co2_setpoint = 636;
constexpr int baud_rates[] = {1200, 2400, 4800, 9600, 19200, 38400};

const char *status_text(int status)
{
    switch (status) {
    case ST_BAD_SETPOINT: return "The item must be a setpoint number from 1 to 999";
    case ST_BROADCAST_READ: return "The broadcast device cannot be read";
    case ST_CO2_DISABLED: return "CO2 scanning is not enabled";
    default: break;
    }
    if (const char *text = serialnet::base_status_text(status))
        return text;
    return dgtserial_get_errmsg(status);
}

int result_class(int status)
{
    switch (status) {
    case DGTSERIAL_SUCCESS: return PXP_OK;
    case DGTSERIAL_E_TIMEOUT: return PXP_FAIL_TIMEOUT;
    case DGTSERIAL_E_UNAVAILABLE: return PXP_FAIL_UNKNOWN_SETPOINT;
    default: return PXP_FAIL_DRIVER;
    }
}

// "1" to "999", digits only.
bool parse_setpoint(const char *text, unsigned &number)
{
    const std::size_t n = std::strlen(text);
    if (n == 0 || n > 3)
        return false;
    unsigned value = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    if (value < 1)
        return false;
    number = value;
    return true;
}

// A department letter in either case, upper-cased; 0 for the broadcast
// device "/"; -1 for anything else.
int parse_department(const char *text)
{
    if (std::strcmp(text, "/") == 0)
        return 0;
    if (std::strlen(text) != 1)
        return -1;
    const char c = text[0];
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 'A';
    if (c >= 'A' && c <= 'Z')
        return c;
    return -1;
}

struct LineFree {
    void operator()(dgtserial_t *line) const { dgtserial_delete(line); }
};

class DgtNetwork : public serialnet::Network {
public:
    explicit DgtNetwork(const pxp_host_t *host) : Network(host, "dgt-serial"), line_(dgtserial_new())
    {
        if (!line_)
            throw std::bad_alloc();
    }

protected:
    int param_integer(const std::string &key, int *value) override
    {
        if (int *p = integer(key)) {
            *value = *p;
            return 0;
        }
        return serialnet::ST_UNKNOWN_PARAM;
    }

    int set_param_integer(const std::string &key, int value) override
    {
        int *p = integer(key);
        if (!p)
            return serialnet::ST_UNKNOWN_PARAM;
        bool valid = false;
        if (key == "baudrate")
            valid = std::find(std::begin(baud_rates), std::end(baud_rates), value) != std::end(baud_rates);
        else if (key == "clock_setpoint")
            valid = value >= 0 && value <= 999;
        else
            valid = value == 0 || value == 1;
        if (!valid)
            return serialnet::ST_BAD_VALUE;
        *p = value;
        return 0;
    }

    void started() override
    {
        clock_sent_ = false;
        clock_warned_ = false;
    }

    int open_link(std::string &why) override
    {
        if (dgtserial_connect(line_.get(), port().c_str(), baudrate_) == 0)
            return 0;
        why = std::string(dgtserial_get_errmsg(DGTSERIAL_E_DISCONNECTED)) + ": " +
              dgtserial_get_system_error(line_.get());
        return DGTSERIAL_E_DISCONNECTED;
    }
    void close_link() override { dgtserial_disconnect(line_.get()); }
    bool link_up() const override { return dgtserial_is_connected(line_.get()) != 0; }
    void abort_transport() override { dgtserial_abort(line_.get()); }
    void clear_abort() override { dgtserial_clear_abort(line_.get()); }
    std::string link_name() const override { return port() + " (" + std::to_string(baudrate_) + " 7E2)"; }

    void run_batch(pxp_request_t *requests, int count) override
    {
        sync_clock();
        std::vector<Slot> slots(static_cast<std::size_t>(count));
        dgtserial_t *line = line_.get();
        dgtserial_new_request(line);
        // The driver exchanges the newest first: queued backwards, the line
        // sees each kind of request in batch order.
        for (int i = count - 1; i >= 0; --i) {
            Slot &s = slots[static_cast<std::size_t>(i)];
            s = prepare(requests[i]);
            if (s.queued && !(requests[i].op == PXP_READ && read_queued(requests, slots, i)))
                queue(requests[i], s);
        }
        dgtserial_flush(line);
        for (int i = 0; i < count; ++i)
            if (slots[static_cast<std::size_t>(i)].queued)
                collect(requests[i], slots[static_cast<std::size_t>(i)]);
        if (co2_one_off_error_)
            retry_co2(requests, slots);
    }

private:
    struct Slot {
        bool queued = false;
        char department = 0; // 0 for a broadcast
        unsigned number = 0;
    };

    int *integer(const std::string &key)
    {
        if (key == "baudrate")
            return &baudrate_;
        if (key == "clock_setpoint")
            return &clock_setpoint_;
        if (key == "enable_sync_clock")
            return &enable_sync_clock_;
        if (key == "enable_co2")
            return &enable_co2_;
        if (key == "co2_one_off_error")
            return &co2_one_off_error_;
        return nullptr;
    }

    // A setpoint read twice in a batch goes on the line once; both take
    // its result.
    static bool read_queued(const pxp_request_t *requests, const std::vector<Slot> &slots, int i)
    {
        const Slot &s = slots[static_cast<std::size_t>(i)];
        for (std::size_t j = static_cast<std::size_t>(i) + 1; j < slots.size(); ++j)
            if (slots[j].queued && requests[j].op == PXP_READ && slots[j].department == s.department &&
                slots[j].number == s.number)
                return true;
        return false;
    }

    static void fail(pxp_request_t &r, int result, int status)
    {
        r.result = result;
        r.status = status;
    }

    // Checks a request; those that may go on the line come back queued.
    Slot prepare(pxp_request_t &r) const
    {
        Slot s;
        const int department = parse_department(r.address);
        if (department < 0) {
            fail(r, PXP_FAIL_INVALID, serialnet::ST_BAD_ADDRESS);
            return s;
        }
        if (department == 0 && r.op == PXP_READ) {
            fail(r, PXP_FAIL_UNKNOWN_SETPOINT, ST_BROADCAST_READ);
            return s;
        }
        if (!parse_setpoint(r.item, s.number)) {
            fail(r, PXP_FAIL_UNKNOWN_SETPOINT, ST_BAD_SETPOINT);
            return s;
        }
        if (s.number == co2_setpoint && !enable_co2_) {
            fail(r, PXP_FAIL_UNKNOWN_SETPOINT, ST_CO2_DISABLED);
            return s;
        }
        if (r.op == PXP_WRITE) {
            const bool integer = r.kind == PXP_INTEGER;
            // Neither a non-number nor an integer the controllers cannot
            // take may go on the line.
            if (integer ? (r.ivalue < -2147483647 - 1 || r.ivalue > 2147483647) : !std::isfinite(r.fvalue)) {
                fail(r, PXP_FAIL_INVALID, serialnet::ST_BAD_VALUE);
                return s;
            }
        }
        s.department = static_cast<char>(department);
        s.queued = true;
        return s;
    }

    void queue(const pxp_request_t &r, const Slot &s)
    {
        dgtserial_t *line = line_.get();
        if (r.op == PXP_READ)
            dgtserial_queue_read(line, s.department, s.number);
        else if (s.department == 0)
            dgtserial_queue_broadcast(line, s.number,
                                      r.kind == PXP_INTEGER ? static_cast<double>(r.ivalue) : r.fvalue);
        else if (r.kind == PXP_INTEGER)
            dgtserial_queue_write_int(line, s.department, s.number, static_cast<int>(r.ivalue));
        else
            dgtserial_queue_write(line, s.department, s.number, r.fvalue);
    }

    void collect(pxp_request_t &r, const Slot &s)
    {
        dgtserial_t *line = line_.get();
        int status = 0;
        if (r.op == PXP_READ && r.kind == PXP_INTEGER) {
            int value = 0;
            status = dgtserial_result_int(line, s.department, s.number, &value);
            if (status == DGTSERIAL_SUCCESS)
                r.ivalue = value;
        } else {
            double value = 0;
            status = dgtserial_result(line, s.department, s.number, &value);
            if (status == DGTSERIAL_SUCCESS && r.op == PXP_READ)
                r.fvalue = value;
        }
        fail(r, result_class(status), status);
    }

    // One more round for the CO2 reads that failed.
    void retry_co2(pxp_request_t *requests, const std::vector<Slot> &slots)
    {
        std::vector<std::size_t> again;
        for (std::size_t i = 0; i < slots.size(); ++i)
            if (slots[i].queued && slots[i].number == co2_setpoint && requests[i].op == PXP_READ &&
                requests[i].result != PXP_OK)
                again.push_back(i);
        if (again.empty() || aborted())
            return;
        dgtserial_new_request(line_.get());
        for (auto it = again.rbegin(); it != again.rend(); ++it)
            if (std::none_of(again.rbegin(), it, [&](std::size_t j) {
                    return slots[j].department == slots[*it].department;
                }))
                queue(requests[*it], slots[*it]);
        dgtserial_flush(line_.get());
        for (std::size_t i : again)
            collect(requests[i], slots[i]);
    }

    void sync_clock()
    {
        if (!enable_sync_clock_)
            return;
        if (clock_setpoint_ <= 0) {
            if (!clock_warned_)
                log(" ! dgt-serial: clock synchronization needs clock_setpoint");
            clock_warned_ = true;
            return;
        }
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        if (!localtime_r(&now, &local))
            return;
        const long hour = (local.tm_year * 400L + local.tm_yday) * 24 + local.tm_hour;
        if (clock_sent_ && hour == clock_hour_)
            return;
        const double value = local.tm_hour + local.tm_min / 100.0;
        dgtserial_t *line = line_.get();
        dgtserial_new_request(line);
        dgtserial_queue_broadcast(line, static_cast<unsigned>(clock_setpoint_), value);
        dgtserial_flush(line);
        const int status = dgtserial_result(line, 0, static_cast<unsigned>(clock_setpoint_), nullptr);
        char text[96];
        if (status == DGTSERIAL_SUCCESS) {
            std::snprintf(text, sizeof text, " * dgt-serial: clock sent (%d.%02d)", local.tm_hour, local.tm_min);
            clock_sent_ = true;
            clock_hour_ = hour;
        } else {
            // Tried again at the next batch.
            std::snprintf(text, sizeof text, " ! dgt-serial: clock not sent (%s)", dgtserial_get_errmsg(status));
        }
        if (!aborted())
            log(text);
    }

    std::unique_ptr<dgtserial_t, LineFree> line_;
    int baudrate_ = 9600;
    int clock_setpoint_ = 0;
    int enable_sync_clock_ = 0;
    int enable_co2_ = 0;
    int co2_one_off_error_ = 0;
    bool clock_sent_ = false;
    bool clock_warned_ = false;
    long clock_hour_ = 0;
};

const pxp_param_t params[] = {
    {"port", PXP_PARAM_TEXT},
    {"baudrate", PXP_PARAM_INTEGER},
    {"clock_setpoint", PXP_PARAM_INTEGER},
    {"enable_sync_clock", PXP_PARAM_FLAG},
    {"enable_co2", PXP_PARAM_FLAG},
    {"co2_one_off_error", PXP_PARAM_FLAG},
};

const pxp_type_t type = serialnet::make_type<DgtNetwork>("dgt-serial", "DGT serial", params,
                                                         static_cast<int>(std::size(params)), status_text);

} // namespace

extern "C" PXP_EXPORT const pxp_plugin_t *plexord_plugin_describe(void)
{
    static const pxp_type_t *const types[] = {&type};
    static const pxp_plugin_t plugin = {PXP_ABI_VERSION, "dgt-serial", 1, types};
    return &plugin;
}
