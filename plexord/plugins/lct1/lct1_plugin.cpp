// The "lct1" network type: LCT-1 transmitters on one serial line. A device's
// address is its node (0 to 15); an item is a named parameter of the
// transmitter, a calibration point ("calib_raw1" ... "calib_weight2") or
// "reset".
#include "lct1_calibration.h"
#include "serial_network.h"

#include "buslink.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <strings.h>

namespace {

using lct1net::Calibrations;
using lct1net::Points;

// Codes of this type beside the driver's (0 to 11) and the base's.
enum : int { ST_POINT_NOT_SET = 100 };

enum class Item { named, read_only, point, reset, unknown };

struct ItemInfo {
    const char *name;
    Item kind;
};

constexpr ItemInfo kItems[] = {
    {"value", Item::named},        {"weight", Item::read_only}, {"status", Item::named},
    {"version", Item::read_only},  {"filter", Item::named},     {"integ", Item::named},
    {"r1func", Item::named},       {"r2func", Item::named},     {"r3func", Item::named},
    {"r1low", Item::named},        {"r2low", Item::named},      {"r3low", Item::named},
    {"r1high", Item::named},       {"r2high", Item::named},     {"r3high", Item::named},
    {"calib_raw1", Item::point},   {"calib_weight1", Item::point}, {"calib_raw2", Item::point},
    {"calib_weight2", Item::point}, {"reset", Item::reset},
};

Item item_kind(const char *name)
{
    for (const ItemInfo &item : kItems)
        if (strcasecmp(item.name, name) == 0)
            return item.kind;
    return Item::unknown;
}

// The transmitter answers raw readings; "value" is one, not a setting.
bool writable(const char *name, Item kind)
{
    return kind == Item::named && strcasecmp(name, "value") != 0;
}

// Index of a calibration point item: raw1, weight1, raw2, weight2.
int point_index(const char *name)
{
    static const char *const names[] = {"calib_raw1", "calib_weight1", "calib_raw2", "calib_weight2"};
    for (int i = 0; i < 4; ++i)
        if (strcasecmp(names[i], name) == 0)
            return i;
    return -1;
}

void fail(pxp_request_t &r, int result, int status)
{
    r.result = result;
    r.status = status;
}

void succeed(pxp_request_t &r)
{
    r.result = PXP_OK;
    r.status = 0;
}

void put_value(pxp_request_t &r, double value)
{
    r.fvalue = value;
    r.ivalue = static_cast<int64_t>(std::llround(value));
}

// The request's value as a whole number, when it is one within int range.
bool int_value(const pxp_request_t &r, int &value)
{
    double v = r.kind == PXP_FLOAT ? std::round(r.fvalue) : static_cast<double>(r.ivalue);
    if (r.kind != PXP_FLOAT && (r.ivalue < INT_MIN || r.ivalue > INT_MAX))
        return false;
    if (!std::isfinite(v) || v < INT_MIN || v > INT_MAX)
        return false;
    value = static_cast<int>(v);
    return true;
}

bool weight_value(const pxp_request_t &r, double &value)
{
    value = r.kind == PXP_FLOAT ? r.fvalue : static_cast<double>(r.ivalue);
    return std::isfinite(value);
}

struct LineDeleter {
    void operator()(lct1_t *line) const { lct1_delete(line); }
};

class Lct1Network : public serialnet::Network {
public:
    explicit Lct1Network(const pxp_host_t *host) : Network(host, "lct1"), line_(lct1_new())
    {
        if (!line_)
            throw std::bad_alloc();
    }

protected:
    int param_text(const std::string &key, const char **value) override
    {
        if (key != "calibration")
            return serialnet::ST_UNKNOWN_PARAM;
        *value = calibration_text_.c_str();
        return 0;
    }

    int param_integer(const std::string &key, int *value) override
    {
        if (key != "checksum")
            return serialnet::ST_UNKNOWN_PARAM;
        *value = checksum_ ? 1 : 0;
        return 0;
    }

    int set_param_text(const std::string &key, const char *value) override
    {
        if (key != "calibration")
            return serialnet::ST_UNKNOWN_PARAM;
        auto parsed = lct1net::parse_calibrations(value ? value : "");
        if (!parsed)
            return serialnet::ST_BAD_VALUE;
        calibrations_ = std::move(*parsed);
        for (auto &p : partial_)
            p = Partial{};
        for (const auto &[node, points] : calibrations_)
            partial_[node] = Partial{points, 0xF};
        calibration_text_ = lct1net::format_calibrations(calibrations_);
        apply_calibrations();
        return 0;
    }

    int set_param_integer(const std::string &key, int value) override
    {
        if (key != "checksum")
            return serialnet::ST_UNKNOWN_PARAM;
        if (value != 0 && value != 1)
            return serialnet::ST_BAD_VALUE;
        checksum_ = value == 1;
        return 0;
    }

    void started() override
    {
        lct1_set_checksum(line_.get(), checksum_ ? 1 : 0);
        apply_calibrations();
    }

    int open_link(std::string &why) override
    {
        if (lct1_connect(line_.get(), port().c_str()) == 0)
            return 0;
        // The last error names the failure; the return value only its step.
        const int status = lct1_get_last_error(line_.get());
        why = lct1_error_string(status);
        const char *system = lct1_get_system_error(line_.get());
        if (system && *system)
            why += std::string(": ") + system;
        return status;
    }

    void close_link() override { lct1_disconnect(line_.get()); }
    bool link_up() const override { return lct1_is_connected(line_.get()) != 0; }
    void abort_transport() override { lct1_abort(line_.get()); }
    void clear_abort() override { lct1_clear_abort(line_.get()); }
    std::string link_name() const override { return port() + " (9600 7E1)"; }

    void run_batch(pxp_request_t *requests, int count) override
    {
        for (int i = 0; i < count && !aborted(); ++i)
            perform_one(requests[i]);
    }

private:
    struct Partial {
        Points points;
        unsigned known = 0; // a bit per point: raw1, weight1, raw2, weight2
    };

    void perform_one(pxp_request_t &r)
    {
        int node = 0;
        if (!serialnet::parse_node(r.address, 0, 15, node))
            return fail(r, PXP_FAIL_INVALID, serialnet::ST_BAD_ADDRESS);
        const Item kind = item_kind(r.item);
        switch (kind) {
        case Item::unknown:
            return fail(r, PXP_FAIL_UNKNOWN_SETPOINT, LCT1_E_SETPOINT);
        case Item::point:
            return r.op == PXP_READ ? read_point(r, node) : write_point(r, node);
        case Item::reset:
            if (r.op == PXP_READ)
                return fail(r, PXP_FAIL_INVALID, LCT1_E_SETPOINT);
            finish(r, lct1_extern_reset(line_.get(), node));
            return;
        case Item::named:
        case Item::read_only:
            break;
        }
        if (r.op == PXP_READ) {
            const int value = lct1_read_setp(line_.get(), node, r.item);
            if (finish(r, lct1_get_last_error(line_.get())))
                put_value(r, value);
            return;
        }
        if (!writable(r.item, kind))
            return fail(r, PXP_FAIL_READ_ONLY, LCT1_E_SETPOINT);
        int value = 0;
        if (!int_value(r, value))
            return fail(r, PXP_FAIL_INVALID, serialnet::ST_BAD_VALUE);
        lct1_write_setp(line_.get(), node, r.item, value);
        finish(r, lct1_get_last_error(line_.get()));
    }

    // Maps the driver's status onto the request; true on success.
    static bool finish(pxp_request_t &r, int status)
    {
        switch (status) {
        case LCT1_SUCCESS: succeed(r); return true;
        case LCT1_E_NO_RESPONSE: fail(r, PXP_FAIL_TIMEOUT, status); return false;
        default: fail(r, PXP_FAIL_DRIVER, status); return false;
        }
    }

    void read_point(pxp_request_t &r, int node)
    {
        const int index = point_index(r.item);
        const Partial &p = partial_[node];
        if (!(p.known & (1u << index)))
            return fail(r, PXP_FAIL_INVALID, ST_POINT_NOT_SET);
        const Points &pt = p.points;
        const double values[] = {static_cast<double>(pt.raw1), pt.weight1, static_cast<double>(pt.raw2), pt.weight2};
        put_value(r, values[index]);
        succeed(r);
    }

    void write_point(pxp_request_t &r, int node)
    {
        const int index = point_index(r.item);
        Partial &p = partial_[node];
        int raw = 0;
        double weight = 0.0;
        const bool ok = index % 2 == 0 ? int_value(r, raw) : weight_value(r, weight);
        if (!ok)
            return fail(r, PXP_FAIL_INVALID, serialnet::ST_BAD_VALUE);
        switch (index) {
        case 0: p.points.raw1 = raw; break;
        case 1: p.points.weight1 = weight; break;
        case 2: p.points.raw2 = raw; break;
        default: p.points.weight2 = weight; break;
        }
        p.known |= 1u << index;
        if (p.known == 0xF) {
            // Recorded so that the calibration survives a restart.
            calibrations_[node] = p.points;
            calibration_text_ = lct1net::format_calibrations(calibrations_);
            apply_calibrations();
        }
        succeed(r);
    }

    // A node without a calibration reads raw (factor 1, offset 0).
    void apply_calibrations()
    {
        for (int node = 0; node <= 15; ++node) {
            const auto it = calibrations_.find(node);
            if (it == calibrations_.end()) {
                lct1_set_calib(line_.get(), node, 0, 0.0, 1, 1.0);
                continue;
            }
            const Points &p = it->second;
            lct1_set_calib(line_.get(), node, p.raw1, p.weight1, p.raw2, p.weight2);
        }
    }

    std::unique_ptr<lct1_t, LineDeleter> line_;
    bool checksum_ = true;
    Calibrations calibrations_;
    Partial partial_[16];
    std::string calibration_text_;
};

const char *status_text(int status)
{
    if (const char *text = serialnet::base_status_text(status))
        return text;
    if (status == ST_POINT_NOT_SET)
        return "Calibration point not set";
    return lct1_error_string(status);
}

const pxp_param_t kParams[] = {
    {"port", PXP_PARAM_TEXT},
    {"checksum", PXP_PARAM_FLAG},
    {"calibration", PXP_PARAM_TEXT},
};

const pxp_type_t kType = serialnet::make_type<Lct1Network>("lct1", "LCT-1", kParams, 3, status_text);

} // namespace

extern "C" PXP_EXPORT const pxp_plugin_t *plexord_plugin_describe(void)
{
    static const pxp_type_t *const types[] = {&kType};
    static const pxp_plugin_t plugin = {PXP_ABI_VERSION, "lct1", 1, types};
    return &plugin;
}
