// The "directnet" network type: a device is a PLC node (0 to 89) on the
// line, its documentation file names its nicknames, and an item is a
// DirectNET reference or nickname whose flag names the value type.
#include "serial_network.h"

#include "buslink.h"

#include <cstdint>
#include <climits>
#include <map>
#include <new>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

constexpr int kMaxNode = 89;

bool valid_speed(int baud)
{
    switch (baud) {
    case 300: case 600: case 1200: case 2400: case 4800: case 9600: case 19200: case 38400:
        return true;
    default:
        return false;
    }
}

// A type name ("u16", "bcd32", "f") first, then DirectNET flag letters
// ("DB", "B", "R"); nothing known leaves the driver's rule for type 0.
int value_type(const char *flag)
{
    if (!flag || !*flag)
        return 0;
    const int type = cl_string_to_type(flag, -1);
    return type >= 0 ? type : cl_dnet_flag_to_type(flag, 0);
}

// An integer read as the type means it: signed types sign-extended, floats
// truncated toward zero by the driver.
int64_t integer_value(int type, unsigned raw)
{
    switch (type) {
    case 1: case 3: case 5: return raw;
    case 2: return static_cast<int8_t>(raw);
    case 4: return static_cast<int16_t>(raw);
    default: return static_cast<int32_t>(raw);
    }
}

// Toward zero, saturated; NaN reads as 0.
int64_t to_integer(double v)
{
    if (!(v == v))
        return 0;
    if (v <= -9.2e18)
        return INT64_MIN;
    if (v >= 9.2e18)
        return INT64_MAX;
    return static_cast<int64_t>(v);
}

void settle(pxp_request_t &r, int status)
{
    r.status = status;
    switch (status) {
    case DNETIO_SUCCESS: r.result = PXP_OK; break;
    case DNETIO_E_HANDSHAKE:
    case DNETIO_E_NO_RESPONSE: r.result = PXP_FAIL_TIMEOUT; break;
    case DNETIO_E_UNAVAILABLE_ITEM: r.result = PXP_FAIL_UNKNOWN_SETPOINT; break;
    case DNETIO_E_UNSUPPORTED_TYPE: r.result = PXP_FAIL_INVALID; break;
    default: r.result = PXP_FAIL_DRIVER; break;
    }
}

const char *status_text(int status)
{
    const char *base = serialnet::base_status_text(status);
    return base ? base : dnetio_error_string(status);
}

class DnetNetwork : public serialnet::Network {
public:
    explicit DnetNetwork(const pxp_host_t *host) : Network(host, "directnet"), client_(dnetio_new())
    {
        if (!client_)
            throw std::bad_alloc();
    }
    ~DnetNetwork() override { dnetio_delete(client_); }

protected:
    int param_integer(const std::string &key, int *value) override
    {
        if (int *p = field(key)) {
            *value = *p;
            return 0;
        }
        return serialnet::ST_UNKNOWN_PARAM;
    }

    int set_param_integer(const std::string &key, int value) override
    {
        int *p = field(key);
        if (!p)
            return serialnet::ST_UNKNOWN_PARAM;
        const bool ok = key == "speed"      ? valid_speed(value)
                        : key == "parity"   ? value >= 1 && value <= 3
                        : key == "stopbit"  ? value == 1 || value == 2
                        : key == "databits" ? value == 7 || value == 8
                                            : true; // any mode; only HEX exchanges
        if (!ok)
            return serialnet::ST_BAD_VALUE;
        *p = value;
        return 0;
    }

    void started() override
    {
        if (mode_ != DNETIO_MODE_HEX)
            log(" ! directnet: mode " + std::to_string(mode_) +
                " is not supported, only HEX mode (2) works; every request will fail");
    }

    int open_link(std::string &why) override
    {
        if (dnetio_set_values(client_, port().c_str(), speed_, parity_, stopbit_, databits_, mode_) == 0)
            return 0;
        const int st = dnetio_get_last_error(client_);
        why = dnetio_error_string(st);
        if ((st == DNETIO_E_OPEN || st == DNETIO_E_SETTINGS) && *dnetio_get_system_error(client_))
            why += std::string(": ") + dnetio_get_system_error(client_);
        return st;
    }

    void close_link() override { dnetio_disconnect(client_); }
    bool link_up() const override { return dnetio_is_connected(client_) != 0; }
    void abort_transport() override { dnetio_abort(client_); }
    void clear_abort() override { dnetio_clear_abort(client_); }

    std::string link_name() const override
    {
        const char parity = parity_ == 1 ? 'O' : parity_ == 2 ? 'N' : 'E';
        return port() + " (" + std::to_string(speed_) + " " + std::to_string(databits_) + parity +
               std::to_string(stopbit_) + ")";
    }

    void run_batch(pxp_request_t *requests, int count) override
    {
        struct Queued {
            pxp_request_t *r;
            int node, type;
        };
        std::vector<Queued> queued;
        for (int i = 0; i < count; ++i) {
            pxp_request_t &r = requests[i];
            int node = 0;
            if (!serialnet::parse_node(r.address, 0, kMaxNode, node)) {
                r.result = PXP_FAIL_INVALID;
                r.status = serialnet::ST_BAD_ADDRESS;
                continue;
            }
            load_nicknames(node, r.doc_path);
            const int type = value_type(r.flag);
            int st = 0;
            if (r.op == PXP_READ) {
                st = dnetio_request(client_, node, r.item, type);
            } else if (r.kind == PXP_FLOAT) {
                st = dnetio_write_float(client_, node, r.item, type, r.fvalue);
            } else if (type == 7 || type == 8) {
                // Any integer goes into a float, beyond the 32 bits of an int too.
                st = dnetio_write_float(client_, node, r.item, type, static_cast<double>(r.ivalue));
            } else if (r.ivalue < INT32_MIN || r.ivalue > static_cast<int64_t>(UINT32_MAX)) {
                r.result = PXP_FAIL_INVALID;
                r.status = serialnet::ST_BAD_VALUE;
                continue;
            } else {
                // Values above INT32_MAX keep their low 32 bits, which is what a u32 sends.
                st = dnetio_write_integer(client_, node, r.item, type, static_cast<int>(static_cast<uint32_t>(r.ivalue)));
            }
            if (st != 0) {
                settle(r, st);
                continue;
            }
            queued.push_back({&r, node, type});
        }
        if (!queued.empty())
            dnetio_flush(client_);
        for (const Queued &q : queued) {
            pxp_request_t &r = *q.r;
            if (r.op == PXP_READ && (r.kind == PXP_FLOAT || q.type == 7 || q.type == 8)) {
                // A float read as an integer keeps values beyond the 32 bits of the driver's integer.
                double v = 0;
                settle(r, dnetio_result_float(client_, q.node, r.item, q.type, &v));
                if (r.result == PXP_OK && r.kind == PXP_FLOAT)
                    r.fvalue = v;
                else if (r.result == PXP_OK)
                    r.ivalue = to_integer(v);
            } else {
                unsigned v = 0;
                settle(r, dnetio_result_integer(client_, q.node, r.item, q.type, &v));
                if (r.op == PXP_READ && r.result == PXP_OK)
                    r.ivalue = integer_value(q.type, v);
            }
        }
        dnetio_reset(client_);
    }

private:
    int *field(const std::string &key)
    {
        if (key == "speed") return &speed_;
        if (key == "parity") return &parity_;
        if (key == "stopbit") return &stopbit_;
        if (key == "databits") return &databits_;
        if (key == "mode") return &mode_;
        return nullptr;
    }

    // The node's nicknames follow its documentation file: loaded again when
    // the path or the file's modification time changed, dropped when the
    // device has none any more.
    void load_nicknames(int node, const char *path)
    {
        Doc now;
        if (path && *path) {
            now.path = path;
            struct stat st {};
            if (::stat(path, &st) == 0)
                now.mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        }
        Doc &loaded = docs_[node];
        if (loaded.path == now.path && loaded.mtime == now.mtime)
            return;
        // An empty file empties the list.
        dnetio_load_documentation(client_, node, now.path.empty() || now.mtime < 0 ? "/dev/null" : now.path.c_str());
        loaded = now;
    }

    struct Doc {
        std::string path;
        int64_t mtime = -1;
    };

    dnetio_t *client_;
    int speed_ = 9600;
    int parity_ = 1;
    int stopbit_ = 1;
    int databits_ = 8;
    int mode_ = DNETIO_MODE_HEX;
    std::map<int, Doc> docs_;
};

const pxp_param_t kParams[] = {
    {"port", PXP_PARAM_TEXT},      {"speed", PXP_PARAM_INTEGER},    {"parity", PXP_PARAM_INTEGER},
    {"stopbit", PXP_PARAM_INTEGER}, {"databits", PXP_PARAM_INTEGER}, {"mode", PXP_PARAM_INTEGER},
};

const pxp_type_t kType = serialnet::make_type<DnetNetwork>("directnet", "DirectNET", kParams, 6, status_text);

} // namespace

extern "C" PXP_EXPORT const pxp_plugin_t *plexord_plugin_describe(void)
{
    static const pxp_type_t *const types[] = {&kType};
    static const pxp_plugin_t plugin = {PXP_ABI_VERSION, "directnet", 1, types};
    return &plugin;
}
