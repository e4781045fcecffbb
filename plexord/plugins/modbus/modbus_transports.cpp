// The three MODBUS network types over their buslink transports, and their
// tables for the core.
#include <algorithm>
#include <iterator>
#include <new>

#include "modbus_network.h"

namespace mbplug {

namespace {

constexpr int kDefaultTimeoutMs = 800; // the transports' own default
// A connect needs a round trip more than an answer; never cut it too short.
constexpr int kMinConnectMs = 1000;

// Stores a value its check let through; the check's status.
int assign(int &field, int value, int status)
{
    if (status == 0)
        field = value;
    return status;
}

class RtuNetwork : public Network {
public:
    explicit RtuNetwork(const pxp_host_t *host) : Network(host, "modbus/rtu"), rtu_(modbus_rtu_new())
    {
        if (!rtu_)
            throw std::bad_alloc();
    }
    ~RtuNetwork() override { modbus_rtu_delete(rtu_); }

    int get_text(const std::string &key, const char **value) override { return serial_.get_text(key, value); }
    int get_integer(const std::string &key, int *value) override
    {
        if (key == "max_gap")
            return get_common(key, value);
        if (key != "timeout")
            return serial_.get_integer(key, value);
        *value = timeout_;
        return 0;
    }
    int set_text(const std::string &key, const char *value) override { return serial_.set_text(key, value); }
    int set_integer(const std::string &key, int value) override
    {
        if (key == "max_gap")
            return set_common(key, value);
        if (key != "timeout")
            return serial_.set_integer(key, value);
        return assign(timeout_, value, check_timeout(value));
    }

protected:
    modbus_base_t *base() override { return reinterpret_cast<modbus_base_t *>(rtu_); }
    void configure() override { modbus_rtu_set_response_timeout(rtu_, timeout_); }
    int open_link() override
    {
        cl_serial_t *port = serial_.open();
        if (!port)
            return BUSLINK_E_NO_CONNECTION;
        const int st = modbus_rtu_connect(rtu_, port);
        if (st != 0)
            cl_serial_free(port); // not taken
        return st;
    }
    void close_link() override { modbus_rtu_disconnect(rtu_); }
    void abort_transport() override { modbus_rtu_abort(rtu_); }
    void clear_abort() override { modbus_rtu_clear_abort(rtu_); }
    int parse_node(const char *address, Node &out) const override
    {
        return parse_unit_id(address, 1, 247, out) ? 0 : ST_UNIT;
    }
    std::string link_name() const override { return serial_.describe(); }

private:
    modbus_rtu_t *rtu_;
    SerialSettings serial_;
    int timeout_ = kDefaultTimeoutMs;
};

class TcpNetwork : public Network {
public:
    explicit TcpNetwork(const pxp_host_t *host) : Network(host, "modbus/tcp"), tcp_(modbus_tcp_new())
    {
        if (!tcp_)
            throw std::bad_alloc();
    }
    ~TcpNetwork() override { modbus_tcp_delete(tcp_); }

    int get_text(const std::string &key, const char **value) override
    {
        if (key != "address")
            return ST_UNKNOWN_PARAM;
        *value = address_.c_str();
        return 0;
    }
    int get_integer(const std::string &key, int *value) override
    {
        if (key == "port")
            *value = port_;
        else if (key == "timeout")
            *value = timeout_;
        else if (key == "window")
            *value = window_;
        else
            return get_common(key, value);
        return 0;
    }
    int set_text(const std::string &key, const char *value) override
    {
        if (key != "address")
            return ST_UNKNOWN_PARAM;
        if (!value || !*value)
            return ST_NO_HOST;
        address_ = value;
        return 0;
    }
    int set_integer(const std::string &key, int value) override
    {
        if (key == "port")
            return assign(port_, value, check_tcp_port(value));
        if (key == "timeout")
            return assign(timeout_, value, check_timeout(value));
        if (key == "window")
            return assign(window_, value, check_window(value));
        return set_common(key, value);
    }

protected:
    modbus_base_t *base() override { return reinterpret_cast<modbus_base_t *>(tcp_); }
    void configure() override { modbus_tcp_set_response_timeout(tcp_, timeout_); }
    int open_link() override
    {
        return modbus_tcp_connect(tcp_, address_.c_str(), port_, std::max(timeout_, kMinConnectMs));
    }
    void close_link() override { modbus_tcp_disconnect(tcp_); }
    void abort_transport() override { modbus_tcp_abort(tcp_); }
    void clear_abort() override { modbus_tcp_clear_abort(tcp_); }
    bool link_up() const override { return modbus_tcp_is_connected(tcp_) != 0; }
    int window() const override { return window_; }
    int window_fallback() const override { return modbus_tcp_window_fallback(tcp_); }
    void reset_window() override { modbus_tcp_reset_window(tcp_); }
    // Gateways and many devices on TCP answer to unit 0 or 255 as well.
    int parse_node(const char *address, Node &out) const override
    {
        return parse_unit_id(address, 0, 255, out) ? 0 : ST_TCP_UNIT;
    }
    std::string link_name() const override { return address_ + ":" + std::to_string(port_); }

private:
    modbus_tcp_t *tcp_;
    std::string address_ = "127.0.0.1";
    int port_ = 502;
    int timeout_ = kDefaultTimeoutMs;
    int window_ = 1; // one request at a time, as every device understands
};

class XbeeNetwork : public Network {
public:
    explicit XbeeNetwork(const pxp_host_t *host) : Network(host, "modbus/xbee"), xbee_(modbus_xbee_new())
    {
        if (!xbee_)
            throw std::bad_alloc();
    }
    ~XbeeNetwork() override { modbus_xbee_delete(xbee_); }

    int get_text(const std::string &key, const char **value) override { return serial_.get_text(key, value); }
    int get_integer(const std::string &key, int *value) override
    {
        if (key == "pan_id")
            *value = pan_id_;
        else if (key == "channel")
            *value = channel_;
        else if (key == "own_address")
            *value = own_address_;
        else if (key == "max_gap")
            return get_common(key, value);
        else
            return serial_.get_integer(key, value);
        return 0;
    }
    int set_text(const std::string &key, const char *value) override { return serial_.set_text(key, value); }
    int set_integer(const std::string &key, int value) override
    {
        if (key == "pan_id")
            return assign(pan_id_, value, check_pan_id(value));
        if (key == "channel")
            return assign(channel_, value, check_channel(value));
        if (key == "own_address")
            return assign(own_address_, value, check_own_address(value));
        if (key == "max_gap")
            return set_common(key, value);
        return serial_.set_integer(key, value);
    }

protected:
    modbus_base_t *base() override { return modbus_xbee_get_base(xbee_); }
    int open_link() override
    {
        cl_serial_t *port = serial_.open();
        if (!port)
            return BUSLINK_E_NO_CONNECTION;
        const int st = modbus_xbee_setup(xbee_, port, static_cast<unsigned short>(pan_id_),
                                         static_cast<unsigned short>(own_address_),
                                         static_cast<unsigned short>(channel_));
        // The transport keeps the port even when the set-up fails; let it
        // go, so that the next batch opens it and sets the module up afresh.
        if (st != 0)
            modbus_xbee_disconnect(xbee_);
        return st;
    }
    void close_link() override { modbus_xbee_disconnect(xbee_); }
    void abort_transport() override { modbus_xbee_abort(xbee_); }
    void clear_abort() override { modbus_xbee_clear_abort(xbee_); }
    bool link_up() const override { return modbus_xbee_is_connected(xbee_) != 0; }
    int parse_node(const char *address, Node &out) const override
    {
        return parse_xbee_address(address, out) ? 0 : ST_XBEE_ADDRESS;
    }
    void select_addressing(bool short_addresses) override
    {
        modbus_xbee_use_short_addresses(xbee_, short_addresses ? 1 : 0);
    }
    // A series 2 module has no 16-bit addresses: its set-up switched them
    // off, and a request so addressed would only time out.
    int addressing_status(bool short_addresses) const override
    {
        return short_addresses && modbus_xbee_get_series(xbee_) >= 20 ? ST_XBEE_SHORT_ON_SERIES2 : 0;
    }
    std::string link_name() const override { return "the XBee module on " + serial_.describe(); }

private:
    modbus_xbee_t *xbee_;
    SerialSettings serial_;
    // The modules' factory settings.
    int pan_id_ = 0x3332;
    int channel_ = 0x0C;
    int own_address_ = 0;
};

// ---- the operations the core calls ----------------------------------------

Network *net(void *object)
{
    return static_cast<Network *>(object);
}

template <class N> void *create(const pxp_host_t *host)
{
    try {
        return static_cast<Network *>(new N(host));
    } catch (...) {
        return nullptr;
    }
}

void destroy(void *object)
{
    delete net(object);
}

int get_text(void *object, const char *key, const char **value)
{
    try {
        return net(object)->get_text(key, value);
    } catch (...) {
        return ST_NO_MEMORY;
    }
}

int get_integer(void *object, const char *key, int *value)
{
    try {
        return net(object)->get_integer(key, value);
    } catch (...) {
        return ST_NO_MEMORY;
    }
}

int set_text(void *object, const char *key, const char *value)
{
    try {
        return net(object)->set_text(key, value);
    } catch (...) {
        return ST_NO_MEMORY;
    }
}

int set_integer(void *object, const char *key, int value)
{
    try {
        return net(object)->set_integer(key, value);
    } catch (...) {
        return ST_NO_MEMORY;
    }
}

int start(void *object)
{
    try {
        return net(object)->start();
    } catch (...) {
        return ST_NO_MEMORY;
    }
}

void stop(void *object)
{
    net(object)->stop();
}

int perform(void *object, pxp_request_t *requests, int count)
{
    try {
        return net(object)->perform(requests, count);
    } catch (...) {
        return ST_NO_MEMORY;
    }
}

void abort_batch(void *object)
{
    net(object)->abort();
}

void connect_now(void *object)
{
    try {
        net(object)->link_now();
    } catch (...) {
        // The next batch tries again.
    }
}

const char *text_of(int status)
{
    return status_text(status);
}

pxp_type_t make_type(const char *key, const char *label, const pxp_param_t *params, int count,
                     void *(*create_fn)(const pxp_host_t *))
{
    return pxp_type_t{key,         label,       params, count, create_fn, destroy,     get_text, get_integer,
                      set_text,    set_integer, start,  stop,  perform,   abort_batch, text_of,  connect_now};
}

// In the order the console's setup dialogs write them.
const pxp_param_t kRtuParams[] = {
    {"port", PXP_PARAM_TEXT},     {"baudrate", PXP_PARAM_INTEGER}, {"parity", PXP_PARAM_INTEGER},
    {"stopbits", PXP_PARAM_INTEGER}, {"databits", PXP_PARAM_INTEGER}, {"timeout", PXP_PARAM_INTEGER},
    {"max_gap", PXP_PARAM_INTEGER},
};

const pxp_param_t kTcpParams[] = {
    {"address", PXP_PARAM_TEXT},
    {"port", PXP_PARAM_INTEGER},
    {"timeout", PXP_PARAM_INTEGER},
    {"max_gap", PXP_PARAM_INTEGER},
    {"window", PXP_PARAM_INTEGER},
};

const pxp_param_t kXbeeParams[] = {
    {"port", PXP_PARAM_TEXT},        {"baudrate", PXP_PARAM_INTEGER}, {"parity", PXP_PARAM_INTEGER},
    {"stopbits", PXP_PARAM_INTEGER}, {"databits", PXP_PARAM_INTEGER}, {"pan_id", PXP_PARAM_INTEGER},
    {"channel", PXP_PARAM_INTEGER},  {"own_address", PXP_PARAM_INTEGER}, {"max_gap", PXP_PARAM_INTEGER},
};

} // namespace

const pxp_type_t *rtu_type()
{
    static const pxp_type_t type = make_type("modbus/rtu", "MODBUS/RTU", kRtuParams,
                                             static_cast<int>(std::size(kRtuParams)), create<RtuNetwork>);
    return &type;
}

const pxp_type_t *tcp_type()
{
    static const pxp_type_t type = make_type("modbus/tcp", "MODBUS/TCP", kTcpParams,
                                             static_cast<int>(std::size(kTcpParams)), create<TcpNetwork>);
    return &type;
}

const pxp_type_t *xbee_type()
{
    static const pxp_type_t type = make_type("modbus/xbee", "MODBUS/XBee", kXbeeParams,
                                             static_cast<int>(std::size(kXbeeParams)), create<XbeeNetwork>);
    return &type;
}

} // namespace mbplug
