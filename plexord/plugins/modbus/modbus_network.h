// A MODBUS network of the server core: its parameters, its link to the
// devices (kept open between batches, made again when it is lost) and the
// batches it performs. The three transports differ only in their link and
// their device addresses.
#ifndef PLEXORD_MODBUS_NETWORK_H
#define PLEXORD_MODBUS_NETWORK_H

#include <atomic>
#include <string>
#include <vector>

#include "buslink.h"
#include "modbus_batch.h"
#include "plexord_plugin.h"

namespace mbplug {

// Parameter checks: 0, or the status a refused value gets.
int check_baudrate(int value);
int check_parity(int value);
int check_stopbits(int value);
int check_databits(int value);
int check_tcp_port(int value);
int check_timeout(int value);
int check_pan_id(int value);
int check_channel(int value);
int check_own_address(int value);
int check_max_gap(int value);
int check_window(int value);

// A serial line in the codes of the console, which are those of
// cl_serial_open: parity 0 even, 1 odd, 2 none; stop bits 0 one, 2 two;
// data bits 0 seven, 1 eight.
struct SerialSettings {
    std::string port = "ttyUSB0";
    int baudrate = 9600;
    int parity = CL_PARITY_NONE;
    int stopbits = CL_STOPBITS_ONE;
    int databits = CL_DATABITS_8;

    // For log lines: "ttyUSB0 (9600 8N1)".
    std::string describe() const;
    cl_serial_t *open() const;
    // 0, a refusal, or ST_UNKNOWN_PARAM for a key that is not a line setting.
    int get_text(const std::string &key, const char **value) const;
    int get_integer(const std::string &key, int *value) const;
    int set_text(const std::string &key, const char *value);
    int set_integer(const std::string &key, int value);
};

class Network {
public:
    Network(const pxp_host_t *host, const char *type_key);
    virtual ~Network() = default;
    Network(const Network &) = delete;
    Network &operator=(const Network &) = delete;

    virtual int get_text(const std::string &key, const char **value) = 0;
    virtual int get_integer(const std::string &key, int *value) = 0;
    virtual int set_text(const std::string &key, const char *value) = 0;
    virtual int set_integer(const std::string &key, int value) = 0;

    // Records the parameters only: the link is made on the worker thread,
    // by link_now or the next batch, and never fails the start.
    int start();
    void stop();
    // On the worker thread, right after start.
    void link_now();
    int perform(pxp_request_t *requests, int count);
    // From any thread: the connect or batch in flight ends at once, and so
    // does every later one until the next start.
    void abort();

protected:
    // The parameters every MODBUS type has ("max_gap"): 0, a refusal, or
    // ST_UNKNOWN_PARAM for another key.
    int get_common(const std::string &key, int *value) const;
    int set_common(const std::string &key, int value);

    virtual modbus_base_t *base() = 0;
    // Requests the link may have outstanding at once, and why it went down
    // to one (0: it has not); the reason is forgotten at start.
    virtual int window() const { return 1; }
    virtual int window_fallback() const { return 0; }
    virtual void reset_window() {}
    // Hands the parameters to the transport before it is used.
    virtual void configure() {}
    virtual int open_link() = 0;
    virtual void close_link() = 0;
    // Cut the transport's waits (from any thread), and let them wait again.
    virtual void abort_transport() = 0;
    virtual void clear_abort() = 0;
    // False when the transport knows its link went (a closed socket).
    virtual bool link_up() const { return true; }
    // 0, or the status a device address that does not fit gets.
    virtual int parse_node(const char *address, Node &out) const = 0;
    virtual void select_addressing(bool short_addresses) { (void)short_addresses; }
    // With the link made: 0, or the status every item of a group addressed
    // so gets, unsent, because the link cannot reach such addresses.
    virtual int addressing_status(bool short_addresses) const
    {
        (void)short_addresses;
        return 0;
    }
    virtual std::string link_name() const = 0;

private:
    int prepare(Work &w);
    int connect();
    void disconnect(const std::string &why);
    // After a flush: true when a stop cut it, with the link closed.
    bool cut_off();
    void run_group(const std::vector<Work *> &group, bool short_addresses);
    void log(const std::string &line) const;
    void report_fallback();

    const pxp_host_t *host_;
    const char *key_;
    bool linked_ = false;
    bool failing_ = false;   // the last try to link failed, and was logged
    bool restoring_ = false; // the link was lost or never made since the start
    bool fallback_logged_ = false;
    int max_gap_ = 0;
    GapMemory gaps_;
    std::atomic<bool> aborted_{false};
};

const pxp_type_t *rtu_type();
const pxp_type_t *tcp_type();
const pxp_type_t *xbee_type();

} // namespace mbplug

#endif
