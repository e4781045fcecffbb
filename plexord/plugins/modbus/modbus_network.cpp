#include "modbus_network.h"

namespace mbplug {

namespace {

// Statuses after which the link is closed and made again.
bool link_lost(int status)
{
    return status == BUSLINK_E_READ || status == BUSLINK_E_WRITE || status == BUSLINK_E_NO_CONNECTION ||
           status == BUSLINK_E_INVALID_PORT;
}

// What an item that was waiting, or not yet sent, reports when a stop cut
// the batch: it did not fail on its own.
bool cut_by_abort(int status)
{
    return link_lost(status) || status == BUSLINK_E_NOT_FLUSHED || status == BUSLINK_E_NO_RESPONSE ||
           status == BUSLINK_E_TIMEOUT;
}

} // namespace

int check_baudrate(int value)
{
    // The rates cl_serial_open sets; the console also offers others.
    switch (value) {
    case 1200:
    case 2400:
    case 4800:
    case 9600:
    case 19200:
    case 38400: return 0;
    default: return ST_BAUDRATE;
    }
}

int check_parity(int value)
{
    return value == CL_PARITY_EVEN || value == CL_PARITY_ODD || value == CL_PARITY_NONE ? 0 : ST_PARITY;
}

int check_stopbits(int value)
{
    return value == CL_STOPBITS_ONE || value == CL_STOPBITS_TWO ? 0 : ST_STOPBITS;
}

int check_databits(int value)
{
    return value == CL_DATABITS_7 || value == CL_DATABITS_8 ? 0 : ST_DATABITS;
}

int check_tcp_port(int value)
{
    return value >= 1 && value <= 65535 ? 0 : ST_TCP_PORT;
}

int check_timeout(int value)
{
    return value >= 10 && value <= 60000 ? 0 : ST_TIMEOUT;
}

int check_pan_id(int value)
{
    return value >= 0 && value <= 0xFFFF ? 0 : ST_PAN_ID;
}

int check_channel(int value)
{
    return value >= 0x0B && value <= 0x1A ? 0 : ST_CHANNEL;
}

int check_own_address(int value)
{
    return value >= 0 && value <= 0xFFFF ? 0 : ST_OWN_ADDRESS;
}

int check_max_gap(int value)
{
    return value >= 0 && value <= 1000 ? 0 : ST_MAX_GAP;
}

int check_window(int value)
{
    return value >= 1 && value <= 32 ? 0 : ST_WINDOW;
}

std::string SerialSettings::describe() const
{
    static const char parities[] = "EON";
    return port + " (" + std::to_string(baudrate) + " " + (databits == CL_DATABITS_7 ? "7" : "8") +
           parities[parity] + (stopbits == CL_STOPBITS_TWO ? "2" : "1") + ")";
}

cl_serial_t *SerialSettings::open() const
{
    return cl_serial_open(port.c_str(), baudrate, parity, stopbits, databits);
}

int SerialSettings::get_text(const std::string &key, const char **value) const
{
    if (key != "port")
        return ST_UNKNOWN_PARAM;
    *value = port.c_str();
    return 0;
}

int SerialSettings::get_integer(const std::string &key, int *value) const
{
    if (key == "baudrate")
        *value = baudrate;
    else if (key == "parity")
        *value = parity;
    else if (key == "stopbits")
        *value = stopbits;
    else if (key == "databits")
        *value = databits;
    else
        return ST_UNKNOWN_PARAM;
    return 0;
}

int SerialSettings::set_text(const std::string &key, const char *value)
{
    if (key != "port")
        return ST_UNKNOWN_PARAM;
    if (!value || !*value)
        return ST_NO_PORT_NAME;
    port = value;
    return 0;
}

int SerialSettings::set_integer(const std::string &key, int value)
{
    int *field = nullptr;
    int st = 0;
    if (key == "baudrate") {
        field = &baudrate;
        st = check_baudrate(value);
    } else if (key == "parity") {
        field = &parity;
        st = check_parity(value);
    } else if (key == "stopbits") {
        field = &stopbits;
        st = check_stopbits(value);
    } else if (key == "databits") {
        field = &databits;
        st = check_databits(value);
    } else {
        return ST_UNKNOWN_PARAM;
    }
    if (st == 0)
        *field = value;
    return st;
}

Network::Network(const pxp_host_t *host, const char *type_key) : host_(host), key_(type_key) {}

int Network::get_common(const std::string &key, int *value) const
{
    if (key != "max_gap")
        return ST_UNKNOWN_PARAM;
    *value = max_gap_;
    return 0;
}

int Network::set_common(const std::string &key, int value)
{
    if (key != "max_gap")
        return ST_UNKNOWN_PARAM;
    const int st = check_max_gap(value);
    if (st == 0)
        max_gap_ = value;
    return st;
}

void Network::report_fallback()
{
    const int why = window_fallback();
    if (why == 0 || fallback_logged_)
        return;
    fallback_logged_ = true;
    const char *what = why == MODBUS_WINDOW_OUT_OF_ORDER ? "answered out of order"
                       : why == MODBUS_WINDOW_DROPPED    ? "left a request unanswered"
                                                         : "closed the connection";
    log(std::string(" ! ") + key_ + ": " + link_name() + " " + what + " with " + std::to_string(window()) +
        " requests allowed at once; one request at a time from now on, until the network is restarted");
}

void Network::log(const std::string &line) const
{
    if (host_ && host_->log)
        host_->log(host_->ctx, line.c_str());
}

int Network::connect()
{
    const int st = aborted_ ? ST_ABORTED : open_link();
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
        log(std::string(" ! ") + key_ + ": no link to " + link_name() + " (" + status_text(st) +
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
    configure();
    // A device changed or mended since gets its chance again.
    reset_window();
    fallback_logged_ = false;
    gaps_.clear();
    return 0;
}

void Network::link_now()
{
    if (!linked_)
        connect();
}

void Network::abort()
{
    aborted_ = true;
    abort_transport();
}

void Network::stop()
{
    if (linked_)
        close_link();
    linked_ = false;
    failing_ = false;
    restoring_ = false;
}

int Network::prepare(Work &w)
{
    const pxp_request_t &r = *w.req;
    if (int st = parse_node(r.address, w.node))
        return st;
    if (int st = parse_item(r.item, r.flag, w.item))
        return st;
    if (r.op != PXP_WRITE)
        return 0;
    if (is_read_only(w.item.kind))
        return BUSLINK_E_READ_ONLY;
    return encode_value(w.item.vt, r.kind == PXP_FLOAT, r.ivalue, r.fvalue, w.words);
}

bool Network::cut_off()
{
    if (!aborted_)
        return false;
    // A cut exchange may have left half an answer behind. Closed here, on
    // the thread that uses the link, and quietly: a stop is no outage.
    if (linked_)
        close_link();
    linked_ = false;
    return true;
}

void Network::run_group(const std::vector<Work *> &group, bool short_addresses)
{
    auto aborted = [this] { return aborted_.load(); };
    if (linked_ && !link_up())
        disconnect("closed");
    bool fresh = false;
    if (!linked_) {
        const int st = connect();
        if (st != 0) {
            for (Work *w : group)
                w->status = st;
            return;
        }
        fresh = true;
    }
    if (const int st = addressing_status(short_addresses)) {
        for (Work *w : group)
            w->status = st;
        return;
    }
    select_addressing(short_addresses);
    const Reach reach{max_gap_, &gaps_, window()};
    const int fallback_before = window_fallback();
    flush_work(base(), group, aborted, reach);
    if (cut_off())
        return;
    report_fallback();
    // A device that closed the connection for requests sent ahead gets them
    // again one at a time, as they would have gone without a window.
    if (fallback_before == 0 && window_fallback() == MODBUS_WINDOW_CLOSED)
        fresh = false;

    std::vector<Work *> lost;
    for (Work *w : group)
        if (link_lost(w->status))
            lost.push_back(w);
    if (lost.empty())
        return;
    disconnect(status_text(lost.front()->status));
    // A link that went while idle (a server restarted, an adapter plugged
    // in again) shows only now: one new link, and the failed items again.
    if (fresh)
        return;
    if (const int st = connect()) {
        for (Work *w : lost)
            w->status = st;
        return;
    }
    select_addressing(short_addresses);
    flush_work(base(), lost, aborted, reach);
    if (cut_off())
        return;
    for (const Work *w : lost)
        if (link_lost(w->status)) {
            disconnect(status_text(w->status));
            break;
        }
}

int Network::perform(pxp_request_t *requests, int count)
{
    std::vector<Work> work(static_cast<std::size_t>(count > 0 ? count : 0));
    for (std::size_t i = 0; i < work.size(); ++i) {
        work[i].req = &requests[i];
        if (const int st = aborted_ ? ST_ABORTED : prepare(work[i]))
            work[i].status = st;
    }
    // XBee modules are reached by 16-bit or by 64-bit addresses, one kind
    // at a time; the other transports have only the first group.
    for (bool short_addresses : {false, true}) {
        std::vector<Work *> group;
        for (Work &w : work)
            if (w.status == BUSLINK_E_NOT_FLUSHED && w.node.short_address == short_addresses)
                group.push_back(&w);
        if (!group.empty())
            run_group(group, short_addresses);
    }
    if (aborted_)
        for (Work &w : work)
            if (cut_by_abort(w.status))
                w.status = ST_ABORTED;
    for (Work &w : work)
        finish(w);
    return 0;
}

} // namespace mbplug
