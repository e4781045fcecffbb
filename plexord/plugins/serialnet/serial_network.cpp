#include "serial_network.h"

#include <charconv>
#include <cstring>

namespace serialnet {

const char *base_status_text(int status)
{
    switch (status) {
    case ST_ABORTED:
        return "Stopped while the request was pending";
    case ST_UNKNOWN_PARAM:
        return "Unknown parameter";
    case ST_NO_PORT_NAME:
        return "A serial port name is needed";
    case ST_BAD_VALUE:
        return "Value out of range";
    case ST_BAD_ADDRESS:
        return "Device address out of range";
    case ST_INTERNAL:
        return "Internal error";
    case ST_NOT_DONE:
        return "Not performed";
    default:
        return nullptr;
    }
}

bool parse_node(const char *text, int lo, int hi, int &node)
{
    if (!text || !*text)
        return false;
    const char *end = text + std::strlen(text);
    int value = 0;
    const auto [p, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || p != end || value < lo || value > hi)
        return false;
    node = value;
    return true;
}

Network::Network(const pxp_host_t *host, const char *type_key, const char *default_port, bool port_optional)
    : host_(host), key_(type_key), port_(default_port ? default_port : ""), port_optional_(port_optional)
{
}

int Network::param_text(const std::string &, const char **)
{
    return ST_UNKNOWN_PARAM;
}

int Network::param_integer(const std::string &, int *)
{
    return ST_UNKNOWN_PARAM;
}

int Network::set_param_text(const std::string &, const char *)
{
    return ST_UNKNOWN_PARAM;
}

int Network::set_param_integer(const std::string &, int)
{
    return ST_UNKNOWN_PARAM;
}

int Network::get_text(const char *key, const char **value)
{
    if (!key || !value)
        return ST_UNKNOWN_PARAM;
    if (std::strcmp(key, "port") == 0) {
        *value = port_.c_str();
        return 0;
    }
    return param_text(key, value);
}

int Network::get_integer(const char *key, int *value)
{
    if (!key || !value)
        return ST_UNKNOWN_PARAM;
    return param_integer(key, value);
}

int Network::set_text(const char *key, const char *value)
{
    if (!key)
        return ST_UNKNOWN_PARAM;
    if (std::strcmp(key, "port") == 0) {
        if ((!value || !*value) && !port_optional_)
            return ST_NO_PORT_NAME;
        port_ = value ? value : "";
        return 0;
    }
    return set_param_text(key, value);
}

int Network::set_integer(const char *key, int value)
{
    if (!key)
        return ST_UNKNOWN_PARAM;
    return set_param_integer(key, value);
}

void Network::log(const std::string &line) const
{
    if (host_ && host_->log)
        host_->log(host_->ctx, line.c_str());
}

int Network::connect()
{
    std::string why;
    const int st = aborted_ ? ST_ABORTED : open_link(why);
    if (st == 0) {
        linked_ = true;
        log(std::string(" * ") + key_ + ": " + (restoring_ ? "link restored to " : "connected to ") + link_name());
        failing_ = false;
        restoring_ = false;
        return 0;
    }
    if (aborted_)
        return ST_ABORTED; // a stop cut it: nothing to tell the operator
    restoring_ = true;
    if (!failing_) {
        // Once per outage: a batch that keeps failing does not fill the log.
        log(std::string(" ! ") + key_ + ": no link to " + link_name() + " (" + why +
            "); tried again at every request");
        failing_ = true;
    }
    return st;
}

void Network::disconnect(const std::string &why)
{
    close_link();
    linked_ = false;
    restoring_ = true;
    log(std::string(" ! ") + key_ + ": link to " + link_name() + " lost (" + why + ")");
}

int Network::start()
{
    aborted_ = false;
    clear_abort();
    started();
    return 0;
}

void Network::stop()
{
    if (linked_)
        close_link();
    linked_ = false;
    failing_ = false;
    restoring_ = false;
}

void Network::connect_now()
{
    if (!linked_)
        connect();
}

void Network::abort()
{
    aborted_ = true;
    abort_transport();
}

int Network::perform(pxp_request_t *requests, int count)
{
    if (!requests || count <= 0)
        return 0;
    for (int i = 0; i < count; ++i) {
        requests[i].result = PXP_FAIL_DRIVER;
        requests[i].status = ST_NOT_DONE;
    }
    auto fail_all = [&](int result, int status) {
        for (int i = 0; i < count; ++i) {
            requests[i].result = result;
            requests[i].status = status;
        }
        return 0;
    };
    if (aborted_)
        return fail_all(PXP_FAIL_ABORTED, ST_ABORTED);
    // An adapter unplugged and plugged in again while idle shows here: the
    // port is opened afresh before the batch rather than failing it.
    if (linked_ && !link_up())
        disconnect("the port is gone");
    if (!linked_) {
        if (const int st = connect())
            return fail_all(st == ST_ABORTED ? PXP_FAIL_ABORTED : PXP_FAIL_IO, st);
    }
    run_batch(requests, count);
    if (aborted_) {
        // A cut exchange may have left half an answer behind; closed here,
        // on the thread that uses the port, and quietly: a stop is no outage.
        close_link();
        linked_ = false;
        for (int i = 0; i < count; ++i)
            if (requests[i].result != PXP_OK) {
                requests[i].result = PXP_FAIL_ABORTED;
                requests[i].status = ST_ABORTED;
            }
        return 0;
    }
    if (!link_up())
        disconnect("the port is gone");
    return 0;
}

} // namespace serialnet
