// The "txif" network type: ARCNET controllers through the TXIF adapter, on
// USB by default or, when "port" names one, on that RS-232 port. A device's
// address is its ARCNET network and node ("network:node", or the node alone
// for network 0); an item is a setpoint identifier and its flag the value
// type ("u8", "i8", "u16", "i16", "u32", "i32", "f"; "" is "f").
//
// Each device's writes go out before its reads, each in batch order, in
// packets of at most eleven entries. A NAK fails every item of its packet.
// "timeout" (ms) takes effect at the next batch, as the setup dialog does
// not restart the network.
#include "serial_network.h"

#include "buslink.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace {

// The type's own status codes, beside the driver's (0 and below) and the
// base's (from 1000).
enum : int {
    ST_BAD_SETPOINT = 100,
    ST_BAD_TYPE = 101,
};

const char *status_text(int status)
{
    switch (status) {
    case ST_BAD_SETPOINT: return "The item must be a setpoint identifier from 0 to 4294967295";
    case ST_BAD_TYPE: return "The flag must be a value type: u8, i8, u16, i16, u32, i32 or f";
    default: break;
    }
    if (const char *text = serialnet::base_status_text(status))
        return text;
    return txif_get_error_string(status);
}

int result_class(int status)
{
    switch (status) {
    case TXIF_SUCCESS:
        return PXP_OK;
    case TXIF_E_TIMEOUT:
    case TXIF_E_NAK_REMOTE_TIMEOUT:
        return PXP_FAIL_TIMEOUT;
    case TXIF_E_NAK_SETPOINT:
        return PXP_FAIL_UNKNOWN_SETPOINT;
    case TXIF_E_NETWORK:
    case TXIF_E_NODE:
    case TXIF_E_NAK_NETWORK:
    case TXIF_E_NAK_NODE:
        return PXP_FAIL_INVALID;
    case TXIF_E_NO_CONNECTION:
    case TXIF_E_SEND:
    case TXIF_E_PURGE:
    case TXIF_E_READ:
    case TXIF_E_INCOMPLETE:
        return PXP_FAIL_IO;
    default:
        return PXP_FAIL_DRIVER;
    }
}

template <class T>
bool parse_whole(const char *begin, const char *end, T &value)
{
    const auto [p, ec] = std::from_chars(begin, end, value);
    return begin != end && ec == std::errc() && p == end;
}

// "network:node" or "node" (network 0), decimal.
bool parse_address(const char *text, int &network, unsigned &node)
{
    const char *end = text + std::strlen(text);
    const char *colon = std::strchr(text, ':');
    unsigned net = 0;
    if (colon && (!parse_whole(text, colon, net) || net > 255))
        return false;
    if (!parse_whole(colon ? colon + 1 : text, end, node))
        return false;
    network = static_cast<int>(net);
    return true;
}

// The packet's value type for a type name of the library; 0 for none.
int packet_type(const char *flag)
{
    if (!*flag)
        return TXIF_TYPE_FLOAT;
    switch (cl_string_to_type(flag, 0)) {
    case 1: return TXIF_TYPE_U8;
    case 2: return TXIF_TYPE_S8;
    case 3: return TXIF_TYPE_U16;
    case 4: return TXIF_TYPE_S16;
    case 5: return TXIF_TYPE_U32;
    case 6: return TXIF_TYPE_S32;
    case 7: return TXIF_TYPE_FLOAT;
    default: return 0;
    }
}

// Whether the value fits the type; a float for an integer type is
// truncated first. Out-of-range values are refused rather than cut.
bool value_fits(int type, const pxp_request_t &r)
{
    const bool integer = r.kind == PXP_INTEGER;
    if (type == TXIF_TYPE_FLOAT)
        return integer || (std::isfinite(r.fvalue) && std::fabs(r.fvalue) <= FLT_MAX);
    if (!integer && !std::isfinite(r.fvalue))
        return false;
    const double v = integer ? static_cast<double>(r.ivalue) : std::trunc(r.fvalue);
    switch (type) {
    case TXIF_TYPE_S8: return v >= -128 && v <= 127;
    case TXIF_TYPE_U8: return v >= 0 && v <= 255;
    case TXIF_TYPE_S16: return v >= -32768 && v <= 32767;
    case TXIF_TYPE_U16: return v >= 0 && v <= 65535;
    case TXIF_TYPE_S32: return v >= -2147483648.0 && v <= 2147483647.0;
    default: return v >= 0 && v <= 4294967295.0;
    }
}

struct AdapterFree {
    void operator()(txif_t *a) const { txif_free(a); }
};

class TxifNetwork : public serialnet::Network {
public:
    explicit TxifNetwork(const pxp_host_t *host) : Network(host, "txif", "", true), adapter_(txif_new())
    {
        if (!adapter_)
            throw std::bad_alloc();
    }

protected:
    int param_integer(const std::string &key, int *value) override
    {
        if (key != "timeout")
            return serialnet::ST_UNKNOWN_PARAM;
        *value = timeout_;
        return 0;
    }

    int set_param_integer(const std::string &key, int value) override
    {
        if (key != "timeout")
            return serialnet::ST_UNKNOWN_PARAM;
        if (value < 1 || value > 600000)
            return serialnet::ST_BAD_VALUE;
        timeout_ = value;
        return 0;
    }

    int open_link(std::string &why) override
    {
        txif_t *a = adapter_.get();
        txif_set_timeout(a, timeout_);
        const int st = port().empty() ? txif_connect_usb(a, -1, -1) : txif_connect_serial(a, port().c_str());
        if (st == TXIF_SUCCESS)
            return 0;
        why = txif_get_error_string(st);
        if (!port().empty() && *txif_get_system_error(a))
            why += std::string(": ") + txif_get_system_error(a);
        return st;
    }
    void close_link() override { txif_disconnect(adapter_.get()); }
    bool link_up() const override { return txif_is_connected(adapter_.get()) != 0; }
    void abort_transport() override { txif_abort(adapter_.get()); }
    void clear_abort() override { txif_clear_abort(adapter_.get()); }
    std::string link_name() const override
    {
        return port().empty() ? std::string("the USB adapter") : port() + " (38400 8N1)";
    }

    void run_batch(pxp_request_t *requests, int count) override
    {
        txif_set_timeout(adapter_.get(), timeout_);
        std::vector<Item> items;
        std::vector<std::pair<int, unsigned>> devices;
        for (int i = 0; i < count; ++i) {
            Item item{i, 0, 0, 0, 0};
            if (!prepare(requests[i], item))
                continue;
            items.push_back(item);
            const std::pair<int, unsigned> device{item.network, item.node};
            if (std::find(devices.begin(), devices.end(), device) == devices.end())
                devices.push_back(device);
        }
        for (const auto &device : devices)
            for (int op : {PXP_WRITE, PXP_READ}) {
                std::vector<const Item *> packet;
                for (const Item &item : items) {
                    if (item.network != device.first || item.node != device.second || requests[item.index].op != op)
                        continue;
                    packet.push_back(&item);
                    if (packet.size() == TXIF_PACKET_ENTRIES) {
                        exchange(requests, packet, op);
                        packet.clear();
                    }
                }
                if (!packet.empty())
                    exchange(requests, packet, op);
                if (aborted())
                    return;
            }
    }

private:
    struct Item {
        int index;
        int network;
        unsigned node;
        unsigned id;
        int type;
    };

    static void set(pxp_request_t &r, int status)
    {
        r.result = result_class(status);
        r.status = status;
    }

    static bool prepare(pxp_request_t &r, Item &item)
    {
        if (!parse_address(r.address, item.network, item.node)) {
            r.result = PXP_FAIL_INVALID;
            r.status = serialnet::ST_BAD_ADDRESS;
            return false;
        }
        const char *end = r.item + std::strlen(r.item);
        if (!parse_whole(r.item, end, item.id)) {
            r.result = PXP_FAIL_UNKNOWN_SETPOINT;
            r.status = ST_BAD_SETPOINT;
            return false;
        }
        if (!(item.type = packet_type(r.flag))) {
            r.result = PXP_FAIL_INVALID;
            r.status = ST_BAD_TYPE;
            return false;
        }
        if (r.op == PXP_WRITE && !value_fits(item.type, r)) {
            r.result = PXP_FAIL_INVALID;
            r.status = serialnet::ST_BAD_VALUE;
            return false;
        }
        return true;
    }

    static int add(unsigned char *packet, const pxp_request_t &r, const Item &item)
    {
        if (r.op == PXP_READ)
            return txif_packet_add_setp_request(packet, item.id, item.type);
        if (r.kind == PXP_FLOAT)
            return txif_packet_add_setp_value_f(packet, item.id, item.type, static_cast<float>(r.fvalue));
        if (item.type == TXIF_TYPE_FLOAT)
            return txif_packet_add_setp_value_f(packet, item.id, item.type, static_cast<float>(r.ivalue));
        // The value's low 32 bits, so that a u32 above INT_MAX goes as it is.
        return txif_packet_add_setp_value_i(packet, item.id, item.type,
                                            static_cast<int>(static_cast<uint32_t>(r.ivalue)));
    }

    // One packet: purge, send, read, and each item's share of the answer.
    void exchange(pxp_request_t *requests, const std::vector<const Item *> &packet, int op)
    {
        unsigned char out[TXIF_PACKET_SIZE] = {}, in[TXIF_PACKET_SIZE] = {};
        txif_t *a = adapter_.get();
        const Item &first = *packet.front();
        int st = op == PXP_WRITE ? txif_init_packet_FUN20_WRITE(out, first.network, first.node)
                                 : txif_init_packet_FUN10_READ(out, first.network, first.node);
        for (std::size_t k = 0; st == TXIF_SUCCESS && k < packet.size(); ++k)
            st = add(out, requests[packet[k]->index], *packet[k]);
        if (st == TXIF_SUCCESS)
            st = txif_purge_buffers(a);
        if (st == TXIF_SUCCESS)
            st = txif_send_packet(a, out);
        if (st == TXIF_SUCCESS)
            st = txif_read_packet(a, in);
        if (st == TXIF_SUCCESS && txif_packet_get_funcode(in) == TXIF_FUN255_NAK)
            st = txif_get_nak_error(in);
        else if (st == TXIF_SUCCESS && txif_packet_get_funcode(in) != TXIF_FUN110_READ_ANSWER)
            st = TXIF_E_FUNCTION;
        for (std::size_t k = 0; k < packet.size(); ++k) {
            pxp_request_t &r = requests[packet[k]->index];
            set(r, st == TXIF_SUCCESS ? take(in, static_cast<int>(k), r, *packet[k]) : st);
        }
    }

    // Answer entry k for the item: its status, and for a read its value.
    static int take(const unsigned char *in, int k, pxp_request_t &r, const Item &item)
    {
        unsigned id = 0;
        int entry = 0;
        double value = 0;
        if (item.type == TXIF_TYPE_FLOAT) {
            float f = 0;
            entry = txif_get_nth_setp_value_f(in, k, &id, &f);
            value = f;
        } else {
            int i = 0;
            entry = txif_get_nth_setp_value_i(in, k, &id, &i);
            value = item.type == TXIF_TYPE_U32 ? static_cast<double>(static_cast<uint32_t>(i)) : i;
        }
        if (entry < 0)
            return entry;
        // Entries answer in the request's order; another one is no answer.
        if (id != item.id)
            return TXIF_E_NOT_IN_PACKET;
        if (entry > 0)
            return txif_nak_to_error(entry);
        if (r.op == PXP_READ) {
            r.fvalue = value;
            r.ivalue = static_cast<int64_t>(std::isfinite(value) ? std::trunc(value) : 0);
        }
        return TXIF_SUCCESS;
    }

    std::unique_ptr<txif_t, AdapterFree> adapter_;
    int timeout_ = 2500;
};

const pxp_param_t params[] = {
    {"port", PXP_PARAM_TEXT},
    {"timeout", PXP_PARAM_INTEGER},
};

const pxp_type_t type =
    serialnet::make_type<TxifNetwork>("txif", "TXIF", params, static_cast<int>(std::size(params)), status_text);

} // namespace

extern "C" PXP_EXPORT const pxp_plugin_t *plexord_plugin_describe(void)
{
    static const pxp_type_t *const types[] = {&type};
    static const pxp_plugin_t plugin = {PXP_ABI_VERSION, "txif", 1, types};
    return &plugin;
}
