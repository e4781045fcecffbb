// The "sl3" network type: setpoints served by the SuperLink program through
// files in a shared folder, by buslink's SuperLink exchange. A device's
// address is its department letter (empty for none); an item is the
// setpoint name and its flag the setpoint number.
#include <atomic>
#include <charconv>
#include <cmath>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "buslink.h"
#include "plexord_plugin_ops.h"

namespace {

// The plug-in's own status codes, above the driver's (0 to 9).
enum Status : int {
    ST_UNKNOWN_PARAM = 1000,
    ST_NO_PATH,
    ST_FLAG,
    ST_TIMEOUT,
    ST_ADDRESS,
    ST_NUMBER,
    ST_VALUE,
    ST_ABORTED,
    ST_NO_MEMORY,
    ST_END
};

const char *const kTexts[] = {
    "Unknown parameter",
    "No folder shared with the SuperLink program",
    "The network number must not be negative",
    "The time-out must be between 1 and 3600 seconds",
    "A device's address is one department letter, or empty",
    "The flag must be the setpoint number",
    "The value cannot be written exactly",
    "Stopped while the request waited",
    "Out of memory",
};

const char *status_text(int status)
{
    if (status >= ST_UNKNOWN_PARAM && status < ST_END)
        return kTexts[status - ST_UNKNOWN_PARAM];
    return slcom_error_string(status);
}

constexpr int kMaxTimeout = 3600;
// Integers beyond this lose digits in a double.
constexpr double kExactLimit = 9007199254740992.0;

int result_class(int status)
{
    switch (status) {
    case SLCOM_SUCCESS: return PXP_OK;
    case SLCOM_E_NO_RESPONSE: return PXP_FAIL_TIMEOUT;
    case SLCOM_E_NOT_HANDLED: return PXP_FAIL_UNKNOWN_SETPOINT;
    case SLCOM_E_OPEN:
    case SLCOM_E_RENAME:
    case SLCOM_E_NO_RESULT: return PXP_FAIL_IO;
    case SLCOM_E_BAD_REQUEST:
    case ST_ADDRESS:
    case ST_NUMBER:
    case ST_VALUE: return PXP_FAIL_INVALID;
    case ST_ABORTED: return PXP_FAIL_ABORTED;
    default: return PXP_FAIL_DRIVER;
    }
}

void set_result(pxp_request_t &r, int status)
{
    r.result = result_class(status);
    r.status = status;
}

// The setpoint of a request, or the status that refuses it.
struct Setpoint {
    char department = 0;
    int number = 0;
    int status = 0;
};

Setpoint setpoint_of(const pxp_request_t &r)
{
    Setpoint p;
    const std::string_view address = r.address;
    if (address.size() > 1) {
        p.status = ST_ADDRESS;
        return p;
    }
    p.department = address.empty() ? 0 : address[0];
    const std::string_view flag = r.flag;
    const auto [end, ec] = std::from_chars(flag.data(), flag.data() + flag.size(), p.number);
    if (flag.empty() || ec != std::errc() || end != flag.data() + flag.size())
        p.status = ST_NUMBER;
    return p;
}

class Network {
public:
    explicit Network(const pxp_host_t *host) : host_(host), sl_(slcom_new())
    {
        if (!sl_)
            throw std::bad_alloc();
    }
    ~Network() { slcom_delete(sl_); }
    Network(const Network &) = delete;
    Network &operator=(const Network &) = delete;

    int get_text(const std::string &key, const char **value)
    {
        if (key != "path")
            return ST_UNKNOWN_PARAM;
        *value = path_.c_str();
        return 0;
    }
    int get_integer(const std::string &key, int *value)
    {
        if (key == "flag")
            *value = flag_;
        else if (key == "timeout")
            *value = timeout_;
        else
            return ST_UNKNOWN_PARAM;
        return 0;
    }
    int set_text(const std::string &key, const char *value)
    {
        if (key != "path")
            return ST_UNKNOWN_PARAM;
        path_ = value ? value : "";
        return 0;
    }
    int set_integer(const std::string &key, int value)
    {
        if (key == "flag") {
            if (value < 0)
                return ST_FLAG;
            flag_ = value;
        } else if (key == "timeout") {
            if (value < 1 || value > kMaxTimeout)
                return ST_TIMEOUT;
            timeout_ = value;
        } else {
            return ST_UNKNOWN_PARAM;
        }
        return 0;
    }

    int start()
    {
        if (path_.empty())
            return ST_NO_PATH;
        // A relative folder is the configuration folder's.
        std::string folder = path_;
        if (folder[0] != '/' && host_ && host_->config_dir && *host_->config_dir)
            folder = std::string(host_->config_dir) + "/" + folder;
        aborted_ = false;
        slcom_clear_abort(sl_);
        slcom_reset(sl_);
        slcom_set_values(sl_, folder.c_str(), flag_);
        slcom_set_timeout(sl_, timeout_);
        return 0;
    }
    void stop()
    {
        slcom_reset(sl_);
        failing_ = false;
    }
    // From any thread: the wait in flight ends, and every later one until
    // the next start.
    void abort()
    {
        aborted_ = true;
        slcom_abort(sl_);
    }
    int perform(pxp_request_t *requests, int count);

private:
    void log(const std::string &line) const
    {
        if (host_ && host_->log)
            host_->log(host_->ctx, line.c_str());
    }
    std::string where() const { return std::string(slcom_get_compath(sl_)) + " (network " + std::to_string(flag_) + ")"; }

    const pxp_host_t *host_;
    slcom_t *sl_;
    std::string path_;
    int flag_ = 1;
    int timeout_ = 5;
    bool failing_ = false; // the last exchange failed, and was logged
    std::atomic<bool> aborted_{false};
};

int Network::perform(pxp_request_t *requests, int count)
{
    std::vector<int> queued;
    slcom_reset(sl_);
    for (int i = 0; i < count; ++i) {
        pxp_request_t &r = requests[i];
        const Setpoint p = setpoint_of(r);
        int st = p.status;
        if (st == 0 && r.op == PXP_WRITE) {
            const double value = r.kind == PXP_INTEGER ? static_cast<double>(r.ivalue) : r.fvalue;
            if (!std::isfinite(value) || std::fabs(value) > kExactLimit)
                st = ST_VALUE;
            else
                st = slcom_write(sl_, r.item, p.number, p.department, value);
        } else if (st == 0) {
            st = slcom_request(sl_, r.item, p.number, p.department);
        }
        if (st == 0)
            queued.push_back(i);
        else
            set_result(r, st);
    }
    if (queued.empty())
        return 0;

    // One exchange for the whole batch (more than one request file only
    // when it exceeds the driver's batch size).
    const int st = aborted_ ? static_cast<int>(ST_ABORTED) : slcom_flush(sl_);
    if (st != 0 && aborted_) {
        for (int i : queued)
            set_result(requests[i], ST_ABORTED);
        slcom_reset(sl_);
        return 0;
    }
    if (st != 0) {
        if (!failing_) {
            // Once per outage: a batch that keeps failing does not fill the log.
            log(std::string(" ! sl3: no exchange with the SuperLink program in ") + where() + ": " +
                status_text(st) + "; tried again at every batch");
            failing_ = true;
        }
        for (int i : queued)
            set_result(requests[i], st);
        slcom_reset(sl_);
        return 0;
    }
    if (failing_) {
        log(" * sl3: the SuperLink program answers again in " + where());
        failing_ = false;
    }
    for (int i : queued) {
        pxp_request_t &r = requests[i];
        const Setpoint p = setpoint_of(r);
        int rs;
        if (r.kind == PXP_INTEGER) {
            int n = 0;
            rs = slcom_result_int(sl_, r.item, p.number, p.department, &n);
            if (rs == 0 && r.op == PXP_READ)
                r.ivalue = n;
        } else {
            double v = 0;
            rs = slcom_result(sl_, r.item, p.number, p.department, &v);
            if (rs == 0 && r.op == PXP_READ)
                r.fvalue = v;
        }
        set_result(r, rs);
    }
    slcom_reset(sl_);
    return 0;
}

// In the order the console's setup dialog writes them.
const pxp_param_t kParams[] = {
    {"path", PXP_PARAM_TEXT},
    {"flag", PXP_PARAM_INTEGER},
    {"timeout", PXP_PARAM_INTEGER},
};

// No connect: there is no link to make, and a folder on a network share is
// best not touched before the first batch.
const pxp_type_t kType = pxp::make_type<Network, ST_NO_MEMORY, false>("sl3", "Superlink 3", kParams,
                                                                     static_cast<int>(std::size(kParams)), status_text);

} // namespace

extern "C" PXP_EXPORT const pxp_plugin_t *plexord_plugin_describe(void)
{
    static const pxp_type_t *const types[] = {&kType};
    static const pxp_plugin_t plugin = {PXP_ABI_VERSION, "superlink", 1, types};
    return &plugin;
}
