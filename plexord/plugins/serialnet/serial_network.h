// A network of controllers on one serial line: what the serial network types
// share. The port is opened on the worker thread (never by start), a failure
// to open it is logged once per outage with the driver's text and tried again
// at every batch, a port that vanished is reopened, and a stop cuts the
// exchange in flight.
#ifndef PLEXORD_SERIAL_NETWORK_H
#define PLEXORD_SERIAL_NETWORK_H

#include <atomic>
#include <string>

#include "plexord_plugin_ops.h"

namespace serialnet {

// The base's status codes; each type keeps its own codes below 1000.
enum : int {
    ST_ABORTED = 1000,
    ST_UNKNOWN_PARAM = 1001,
    ST_NO_PORT_NAME = 1002,
    ST_BAD_VALUE = 1003,
    ST_BAD_ADDRESS = 1004,
    ST_INTERNAL = 1005,
    ST_NOT_DONE = 1006
};

// Text of a base code; null for any other code.
const char *base_status_text(int status);

// Decimal device address from lo to hi, nothing else around it.
bool parse_node(const char *text, int lo, int hi, int &node);

class Network {
public:
    // A type whose port is optional (another link when none is named) gives
    // "" as its default and lets "" be set.
    Network(const pxp_host_t *host, const char *type_key, const char *default_port = "COM1",
            bool port_optional = false);
    virtual ~Network() = default;
    Network(const Network &) = delete;
    Network &operator=(const Network &) = delete;

    // "port" is the base's; every other key goes to the type's own handlers.
    int get_text(const char *key, const char **value);
    int get_integer(const char *key, int *value);
    int set_text(const char *key, const char *value);
    int set_integer(const char *key, int value);

    // Records the parameters only; returns at once.
    int start();
    void stop();
    // On the worker thread, right after start.
    void connect_now();
    int perform(pxp_request_t *requests, int count);
    // From any thread: the open or exchange in flight ends at once, and so
    // does every later one until the next start.
    void abort();

    const std::string &port() const { return port_; }

protected:
    virtual int param_text(const std::string &key, const char **value);
    virtual int param_integer(const std::string &key, int *value);
    virtual int set_param_text(const std::string &key, const char *value);
    virtual int set_param_integer(const std::string &key, int value);
    // After the parameters were recorded by a start.
    virtual void started() {}

    // Opens the port: 0, or the driver's status with `why` the operator's
    // text for it (the driver's message and the system's reason).
    virtual int open_link(std::string &why) = 0;
    virtual void close_link() = 0;
    // False once the port is closed or its line vanished.
    virtual bool link_up() const = 0;
    // Cut the driver's waits (from any thread), and let them wait again.
    virtual void abort_transport() = 0;
    virtual void clear_abort() = 0;
    // For log lines, e.g. "ttyUSB0 (9600 8O1)".
    virtual std::string link_name() const { return port_; }
    // Performs the batch on an open port, filling in each request.
    virtual void run_batch(pxp_request_t *requests, int count) = 0;

    void log(const std::string &line) const;
    bool aborted() const { return aborted_; }
    const pxp_host_t *host() const { return host_; }
    const char *key() const { return key_; }

private:
    int connect();
    void disconnect(const std::string &why);

    const pxp_host_t *host_;
    const char *key_;
    std::string port_;
    bool port_optional_;
    bool linked_ = false;
    bool failing_ = false;   // the last try to open failed, and was logged
    bool restoring_ = false; // the port was lost or never opened since the start
    std::atomic<bool> aborted_{false};
};

// The table of operations for a type whose network objects are T, made as
// `new T(host)`.
template <class T>
pxp_type_t make_type(const char *key, const char *label, const pxp_param_t *params, int param_count,
                     const char *(*status_text)(int))
{
    return pxp::make_type<T, ST_INTERNAL, true>(key, label, params, param_count, status_text);
}

} // namespace serialnet

#endif
