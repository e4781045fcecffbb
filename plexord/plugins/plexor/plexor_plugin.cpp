// The "plexor" network type: the devices of another Plexord server, reached
// through buslink's remote-server client. A device's address is the remote
// device's name; an item and its flag go as setpoint name and qualifier.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <limits>
#include <new>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "buslink.h"
#include "plexord_plugin_ops.h"

namespace {

// The plug-in's own status codes, above the client's (0 to 19).
enum Status : int {
    ST_UNKNOWN_PARAM = 1000,
    ST_PORT,
    ST_NO_HOST,
    ST_ABORTED,
    ST_NO_MEMORY,
    ST_RANGE,
    ST_END
};

const char *const kTexts[] = {
    "Unknown parameter",
    "The server port must be between 1 and 65535",
    "No server address",
    "Stopped while the request waited",
    "Out of memory",
    "The value does not fit in the 32 bits of the remote server's integers",
};

const char *status_text(int status)
{
    if (status >= ST_UNKNOWN_PARAM && status < ST_END)
        return kTexts[status - ST_UNKNOWN_PARAM];
    return plexor_error_string(status);
}

// Each wait for the remote server (connect, every send, every receive). The
// remote performs a flush on its own devices before it answers, so this is
// longer than a field-bus time-out, but still bounds the console's wait.
constexpr int kTimeoutMs = 10000;
constexpr int kDefaultPort = 7878;

// The core's failure class for a client status of a single request.
int result_class(int status)
{
    switch (status) {
    case PLEXOR_SUCCESS: return PXP_OK;
    case PLEXOR_E_NO_DEVICE: return 2; // the core's "no such device"
    case PLEXOR_E_NO_ACCESS: return PXP_FAIL_ACCESS_DENIED;
    case ST_ABORTED: return PXP_FAIL_ABORTED;
    case ST_RANGE: return PXP_FAIL_INVALID;
    default: return PXP_FAIL_DRIVER;
    }
}

void set_result(pxp_request_t &r, int status)
{
    r.result = result_class(status);
    r.status = status;
}

class Network {
public:
    explicit Network(const pxp_host_t *host) : host_(host), client_(plexor_new())
    {
        if (!client_)
            throw std::bad_alloc();
    }
    ~Network() { plexor_delete(client_); }
    Network(const Network &) = delete;
    Network &operator=(const Network &) = delete;

    int get_text(const std::string &key, const char **value)
    {
        const std::string *field = text_field(key);
        if (!field)
            return ST_UNKNOWN_PARAM;
        *value = field->c_str();
        return 0;
    }
    int get_integer(const std::string &key, int *value)
    {
        if (key != "port")
            return ST_UNKNOWN_PARAM;
        *value = port_;
        return 0;
    }
    int set_text(const std::string &key, const char *value)
    {
        std::string *field = text_field(key);
        if (!field)
            return ST_UNKNOWN_PARAM;
        if (field == &address_ && (!value || !*value))
            return ST_NO_HOST;
        *field = value ? value : "";
        return 0;
    }
    int set_integer(const std::string &key, int value)
    {
        if (key != "port")
            return ST_UNKNOWN_PARAM;
        if (value < 1 || value > 65535)
            return ST_PORT;
        port_ = value;
        return 0;
    }

    int start()
    {
        aborted_ = false;
        plexor_clear_abort(client_);
        plexor_set_timeout(client_, kTimeoutMs);
        return 0;
    }
    void stop()
    {
        plexor_disconnect(client_);
        plexor_reset(client_);
        failing_ = false;
        restoring_ = false;
    }
    // From any thread: the wait in flight ends, and every later one until
    // the next start.
    void abort()
    {
        aborted_ = true;
        plexor_abort(client_);
    }
    void connect_now()
    {
        if (!plexor_has_connection(client_))
            connect();
    }
    int perform(pxp_request_t *requests, int count);

private:
    std::string *text_field(const std::string &key)
    {
        if (key == "address")
            return &address_;
        if (key == "username")
            return &username_;
        if (key == "password")
            return &password_;
        return nullptr;
    }
    std::string where() const { return address_ + ":" + std::to_string(port_); }
    void log(const std::string &line) const
    {
        if (host_ && host_->log)
            host_->log(host_->ctx, line.c_str());
    }
    int connect();
    void lost(int status);
    void run_round(pxp_request_t *requests, const std::vector<int> &round, bool &fresh);

    const pxp_host_t *host_;
    plexor_client_t *client_;
    std::string address_ = "127.0.0.1";
    std::string username_;
    std::string password_;
    int port_ = kDefaultPort;
    bool failing_ = false;   // the last try to connect failed, and was logged
    bool restoring_ = false; // the link was lost since it was last made
    std::atomic<bool> aborted_{false};
};

// Login and a fresh copy of the remote device list: 0 or a client status.
int Network::connect()
{
    if (aborted_)
        return ST_ABORTED;
    plexor_disconnect(client_); // a socket kept from a failed attempt
    int st = plexor_connect(client_, address_.c_str(), port_, username_.c_str(), password_.c_str());
    if (st == 0)
        st = plexor_sync_devicelist(client_);
    if (aborted_) {
        plexor_disconnect(client_);
        return ST_ABORTED; // a stop cut it: nothing to tell the operator
    }
    if (st != 0) {
        plexor_disconnect(client_);
        if (!failing_) {
            // Once per outage: a batch that keeps failing does not fill the log.
            log(" ! plexor: no link to " + where() + " (" + status_text(st) + "); tried again at every request");
            failing_ = true;
        }
        restoring_ = true;
        return st;
    }
    log(std::string(" * plexor: ") + (restoring_ ? "link restored to " : "connected to ") + where() + ", " +
        std::to_string(plexor_get_device_count(client_)) + " devices");
    failing_ = false;
    restoring_ = false;
    return 0;
}

void Network::lost(int status)
{
    plexor_disconnect(client_);
    restoring_ = true;
    if (!aborted_)
        log(" ! plexor: link to " + where() + " lost (" + status_text(status) + ")");
}

// One flush of requests whose setpoints differ: the client matches an
// answer to its requests by device, value type, name and qualifier, not by
// operation, so a setpoint twice in one flush would get one answer for both.
void Network::run_round(pxp_request_t *requests, const std::vector<int> &round, bool &fresh)
{
    for (int attempt = 0;; ++attempt) {
        plexor_reset(client_);
        if (!plexor_has_connection(client_)) {
            const int st = connect();
            if (st != 0) {
                for (int i : round)
                    set_result(requests[i], st);
                return;
            }
            fresh = true;
        }
        std::vector<int> queued;
        bool synced = false;
        for (int i : round) {
            pxp_request_t &r = requests[i];
            // Integers go as integers: a float on the wire has 24 bits of
            // mantissa and would change larger values.
            auto queue = [&] {
                const bool integer = r.kind == PXP_INTEGER;
                if (r.op == PXP_READ)
                    return integer ? plexor_request_integer(client_, r.address, r.item, r.flag)
                                   : plexor_request_float(client_, r.address, r.item, r.flag);
                if (!integer)
                    return plexor_write_float(client_, r.address, r.item, r.flag, r.fvalue);
                if (r.ivalue < std::numeric_limits<int32_t>::min() || r.ivalue > std::numeric_limits<int32_t>::max())
                    return static_cast<int>(ST_RANGE);
                return plexor_write_integer(client_, r.address, r.item, r.flag, static_cast<int>(r.ivalue));
            };
            int st = queue();
            if (st == PLEXOR_E_NO_DEVICE && !synced) {
                // The remote list may have grown since the login: look once more.
                synced = true;
                const int sync = plexor_sync_devicelist(client_);
                if (sync != 0) {
                    for (int j : round)
                        set_result(requests[j], aborted_ ? ST_ABORTED : sync);
                    lost(sync);
                    return;
                }
                st = queue();
            }
            if (st == 0)
                queued.push_back(i);
            else
                set_result(r, st);
        }
        if (queued.empty())
            return;

        const int st = plexor_flush(client_);
        if (st != 0 && aborted_) {
            plexor_disconnect(client_);
            for (int i : queued)
                set_result(requests[i], ST_ABORTED);
            return;
        }
        if (st != 0) {
            // Whatever broke the exchange, the stream may be out of step.
            const bool gone = !plexor_has_connection(client_);
            lost(st);
            // A link that went while idle (the server restarted) shows only
            // now: one new link, and the batch again.
            if (gone && !fresh && attempt == 0)
                continue;
        }
        for (int i : queued) {
            pxp_request_t &r = requests[i];
            double f = 0;
            int n = 0;
            const int rs = r.kind == PXP_INTEGER ? plexor_result_integer(client_, r.address, r.item, r.flag, &n)
                                                 : plexor_result_float(client_, r.address, r.item, r.flag, &f);
            // Answers that never came are the flush's failure.
            set_result(r, st != 0 && rs == PLEXOR_E_NOT_PROCESSED ? st : rs);
            if (rs != 0 || r.op != PXP_READ)
                continue;
            if (r.kind == PXP_FLOAT)
                r.fvalue = f;
            else
                r.ivalue = n;
        }
        return;
    }
}

int Network::perform(pxp_request_t *requests, int count)
{
    using Key = std::tuple<std::string, std::string, std::string>;
    std::vector<int> pending;
    for (int i = 0; i < count; ++i) {
        set_result(requests[i], PLEXOR_E_NOT_PROCESSED);
        pending.push_back(i);
    }
    // Usually one round; a setpoint named again waits for the next one, so
    // a write and a read of it come in their order with their own answers.
    bool fresh = false;
    while (!pending.empty()) {
        if (aborted_) {
            for (int i : pending)
                set_result(requests[i], ST_ABORTED);
            break;
        }
        std::set<Key> seen;
        std::vector<int> round, later;
        for (int i : pending) {
            const pxp_request_t &r = requests[i];
            (seen.insert(Key(r.address, r.item, r.flag)).second ? round : later).push_back(i);
        }
        run_round(requests, round, fresh);
        pending.swap(later);
    }
    plexor_reset(client_);
    return 0;
}

// In the order the console's setup dialog writes them.
const pxp_param_t kParams[] = {
    {"address", PXP_PARAM_TEXT},
    {"password", PXP_PARAM_SECRET},
    {"port", PXP_PARAM_INTEGER},
    {"username", PXP_PARAM_TEXT},
};

const pxp_type_t kType = pxp::make_type<Network, ST_NO_MEMORY, true>("plexor", "Plexord", kParams,
                                                                     static_cast<int>(std::size(kParams)), status_text);

} // namespace

extern "C" PXP_EXPORT const pxp_plugin_t *plexord_plugin_describe(void)
{
    static const pxp_type_t *const types[] = {&kType};
    static const pxp_plugin_t plugin = {PXP_ABI_VERSION, "plexor", 1, types};
    return &plugin;
}
