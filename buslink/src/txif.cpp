#include "txif.h"

#include "core.h"
#include "platform/ftd2xx.h"
#include "platform/posix_serial.h"
#include "serial.h"

#include <atomic>
#include <cerrno>
#include <new>

#include <termios.h>

namespace {

namespace tx = buslink::txif;
using tx::Transport;

std::atomic<const txif_usb_driver_t *> usb_driver{nullptr};

unsigned wire_length(const unsigned char *packet)
{
    return tx::header_size + tx::payload_length(packet) + tx::trailer_size;
}

class UsbTransport : public Transport {
public:
    UsbTransport(const txif_usb_driver_t &driver, int vendor, int product, int timeout, int wake_fd)
        : ft_(driver), vendor_(vendor), product_(product), timeout_(timeout), wake_fd_(wake_fd)
    {
    }
    ~UsbTransport() override { close(); }

    int connect() override
    {
        close();
        if (cut())
            return TXIF_E_NO_CONNECTION;
        unsigned count = 0;
        if (ft_.list_devices(vendor_, product_, &count) != 0)
            return TXIF_E_DEVICE_LIST;
        if (count == 0)
            return TXIF_E_NOT_FOUND;
        if (ft_.open(vendor_, product_, 0, &handle_) != 0 || !handle_) {
            handle_ = nullptr;
            return TXIF_E_INIT;
        }
        if (ft_.set_wakeup)
            ft_.set_wakeup(handle_, wake_fd_);
        // A failed step closes the device again; the next send or read
        // starts over (a reconnect from here could loop forever).
        if (ft_.purge(handle_, buslink::ftd2xx::FT_PURGE_RX | buslink::ftd2xx::FT_PURGE_TX) != 0) {
            close();
            return TXIF_E_PURGE;
        }
        if (ft_.set_baud_rate(handle_, tx::usb_baud) != 0) {
            close();
            return TXIF_E_BAUDRATE;
        }
        if (ft_.set_timeouts(handle_, static_cast<unsigned>(timeout_), static_cast<unsigned>(timeout_)) != 0) {
            close();
            return TXIF_E_INIT;
        }
        connected_ = true;
        return TXIF_SUCCESS;
    }

    int disconnect() override
    {
        close();
        return TXIF_SUCCESS;
    }

    int purge() override
    {
        if (!ready(false))
            return TXIF_E_NO_CONNECTION;
        if (ft_.purge(handle_, buslink::ftd2xx::FT_PURGE_RX | buslink::ftd2xx::FT_PURGE_TX) != 0)
            return failed(TXIF_E_PURGE);
        return TXIF_SUCCESS;
    }

    int send(unsigned char *packet) override
    {
        if (!ready(false))
            return TXIF_E_NO_CONNECTION;
        const unsigned size = wire_length(packet);
        unsigned written = 0;
        if (ft_.write(handle_, packet, size, &written) != 0)
            return failed(TXIF_E_SEND);
        return written < size ? TXIF_E_SEND : TXIF_SUCCESS;
    }

    int read(unsigned char *packet) override
    {
        if (!ready(true))
            return TXIF_E_NO_CONNECTION;
        unsigned got = 0;
        if (ft_.read(handle_, packet, tx::header_size, &got) != 0)
            return failed(TXIF_E_READ);
        if (got < tx::header_size)
            return TXIF_E_TIMEOUT;
        if (tx::payload_length(packet) > tx::max_payload)
            return TXIF_E_DATA_FORMAT;
        unsigned more = 0;
        const unsigned rest = wire_length(packet) - tx::header_size;
        if (ft_.read(handle_, packet + tx::header_size, rest, &more) != 0)
            return failed(TXIF_E_READ);
        return tx::check_packet(packet, tx::header_size + more, TXIF_E_TIMEOUT);
    }

    void set_timeout(int ms) override
    {
        timeout_ = ms;
        if (connected_)
            ft_.set_timeouts(handle_, static_cast<unsigned>(ms), static_cast<unsigned>(ms));
    }

    bool up() const override { return connected_; }

private:
    bool cut() const { return buslink::posix::readable_now(wake_fd_); }

    void close()
    {
        if (handle_)
            ft_.close(handle_);
        handle_ = nullptr;
        connected_ = false;
    }

    // Connected, after connecting first when it was not and may reconnect.
    bool ready(bool announce)
    {
        if (cut())
            return false;
        if (!connected_) {
            if (announce)
                buslink_oprintf("not connected. connecting\n");
            if (reconnect_)
                connect();
        }
        return connected_;
    }

    // After a driver failure the device is opened afresh, so that one that
    // was unplugged and came back is used again; a cut is no failure.
    int failed(int status)
    {
        if (cut())
            return TXIF_E_NO_CONNECTION;
        connect();
        return status;
    }

    const txif_usb_driver_t ft_;
    int vendor_, product_;
    int timeout_;
    int wake_fd_;
    bool reconnect_ = true;
    bool connected_ = false;
    txif_ft_handle_t handle_ = nullptr;
};

struct PortFree {
    void operator()(cl_serial_t *port) const { cl_serial_free(port); }
};

class SerialTransport : public Transport {
public:
    SerialTransport(std::string name, int timeout, int wake_fd)
        : name_(std::move(name)), timeout_(timeout), wake_fd_(wake_fd)
    {
    }

    int connect() override
    {
        port_.reset(cl_serial_open(name_.c_str(), 38400, CL_PARITY_NONE, CL_STOPBITS_ONE, CL_DATABITS_8));
        if (!port_)
            return TXIF_E_OPEN;
        buslink_serial_set_wakeup(port_.get(), wake_fd_);
        return TXIF_SUCCESS;
    }

    int disconnect() override
    {
        port_.reset();
        return TXIF_SUCCESS;
    }

    int purge() override
    {
        if (!up())
            return TXIF_E_NO_CONNECTION;
        cl_serial_t *port = port_.get();
        tcdrain(port->handle);
        tcflush(port->handle, TCIOFLUSH);
        tcdrain(port->handle);
        port->has_lookahead = 0;
        return TXIF_SUCCESS;
    }

    int send(unsigned char *packet) override
    {
        if (!up() || buslink_serial_cut(port_.get()))
            return TXIF_E_NO_CONNECTION;
        const int size = static_cast<int>(wire_length(packet));
        if (cl_serial_write_all(port_.get(), packet, size) != size)
            return buslink_serial_cut(port_.get()) ? TXIF_E_NO_CONNECTION : TXIF_E_SEND;
        return TXIF_SUCCESS;
    }

    int read(unsigned char *packet) override
    {
        if (!up())
            return TXIF_E_NO_CONNECTION;
        unsigned got = 0;
        int st = collect(packet, got, tx::header_size);
        if (st != TXIF_SUCCESS)
            return st == 1 ? TXIF_E_TIMEOUT : st;
        if (tx::payload_length(packet) > tx::max_payload) {
            // Nothing of it is taken: what is still coming is purged.
            purge();
            return TXIF_E_DATA_FORMAT;
        }
        const unsigned want = wire_length(packet);
        st = collect(packet, got, want);
        if (st < 0)
            return st;
        if (got != want) {
            buslink_eprintf("WARNING: Expected packet length: %u. Received %u.\n", want, got);
            return TXIF_E_INCOMPLETE;
        }
        return tx::check_packet(packet, got, TXIF_E_INCOMPLETE);
    }

    void set_timeout(int ms) override { timeout_ = ms; }

    bool up() const override { return port_ && !buslink_serial_hung_up(port_.get()); }

private:
    // Adds bytes after the `got` already there until `want` have come: 0,
    // 1 when a wait ran out, or TXIF_E_NO_CONNECTION when the port failed
    // or the wait was cut.
    int collect(unsigned char *packet, unsigned &got, unsigned want)
    {
        cl_serial_t *port = port_.get();
        while (got < want) {
            const int ready = cl_serial_wait_for_data(port, timeout_);
            if (ready == 0)
                return 1;
            const int n = ready > 0 ? cl_serial_read_available(port, packet + got, static_cast<int>(want - got)) : -1;
            if (n <= 0)
                return TXIF_E_NO_CONNECTION;
            got += static_cast<unsigned>(n);
        }
        return TXIF_SUCCESS;
    }

    std::string name_;
    int timeout_;
    int wake_fd_;
    std::unique_ptr<cl_serial_t, PortFree> port_;
};

Transport *transport_of(txif_t *adapter)
{
    return adapter ? adapter->transport.get() : nullptr;
}

} // namespace

extern "C" {

BUSLINK_API void txif_set_usb_driver(const txif_usb_driver_t *driver)
{
    usb_driver = driver;
}

BUSLINK_API txif_t *txif_new(void)
{
    auto *adapter = new (std::nothrow) txif();
    if (adapter && !adapter->wakeup.valid()) {
        delete adapter;
        return nullptr;
    }
    return adapter;
}

BUSLINK_API void txif_free(txif_t *adapter)
{
    delete adapter;
}

BUSLINK_API int txif_connect_usb(txif_t *adapter, int vendor, int product)
{
    if (!adapter)
        return TXIF_E_NO_CONNECTION;
    adapter->transport.reset();
    const txif_usb_driver_t *driver = usb_driver.load();
    try {
        // The adapter's time-out from the start, so that reconnects use it too.
        adapter->transport = std::make_unique<UsbTransport>(
            driver ? *driver : buslink::ftd2xx::libftdi_driver(), vendor == -1 ? tx::default_vendor : vendor,
            product == -1 ? tx::default_product : product, adapter->timeout, adapter->wakeup.fd());
    } catch (...) {
        return TXIF_E_INIT;
    }
    return adapter->transport->connect();
}

BUSLINK_API int txif_connect_serial(txif_t *adapter, const char *port)
{
    if (!adapter)
        return TXIF_E_OPEN;
    adapter->transport.reset();
    adapter->system_error.clear();
    try {
        adapter->transport =
            std::make_unique<SerialTransport>(port ? port : "", adapter->timeout, adapter->wakeup.fd());
    } catch (...) {
        return TXIF_E_OPEN;
    }
    errno = 0;
    if (adapter->transport->connect() == TXIF_SUCCESS)
        return TXIF_SUCCESS;
    // The failed system call's errno survives the open's clean-up.
    const int err = errno;
    try {
        adapter->system_error = err ? buslink::posix::error_text(err) : "the port's settings were refused";
    } catch (...) {
    }
    buslink_eprintf("txif_transport_rs232_connect: Unable to open serial port (%s)\n", adapter->system_error.c_str());
    return TXIF_E_OPEN;
}

BUSLINK_API int txif_disconnect(txif_t *adapter)
{
    Transport *t = transport_of(adapter);
    return t ? t->disconnect() : TXIF_SUCCESS;
}

BUSLINK_API int txif_is_connected(const txif_t *adapter)
{
    return adapter && adapter->transport && adapter->transport->up() ? 1 : 0;
}

BUSLINK_API const char *txif_get_system_error(const txif_t *adapter)
{
    return adapter ? adapter->system_error.c_str() : "";
}

BUSLINK_API void txif_set_timeout(txif_t *adapter, int milliseconds)
{
    if (!adapter)
        return;
    adapter->timeout = milliseconds;
    if (Transport *t = transport_of(adapter))
        t->set_timeout(milliseconds);
}

BUSLINK_API int txif_get_timeout(const txif_t *adapter)
{
    return adapter ? adapter->timeout : 0;
}

BUSLINK_API int txif_send_packet(txif_t *adapter, unsigned char *packet)
{
    Transport *t = transport_of(adapter);
    if (!t)
        return TXIF_E_NO_CONNECTION;
    // The trailer goes right behind the payload: a length that does not fit
    // a packet buffer is never sent.
    if (!packet || tx::payload_length(packet) > tx::max_payload)
        return TXIF_E_DATA_FORMAT;
    tx::fill_trailer(packet);
    return t->send(packet);
}

BUSLINK_API int txif_read_packet(txif_t *adapter, unsigned char *packet)
{
    Transport *t = transport_of(adapter);
    if (!t)
        return TXIF_E_NO_CONNECTION;
    if (!packet)
        return TXIF_E_DATA_FORMAT;
    return t->read(packet);
}

BUSLINK_API int txif_purge_buffers(txif_t *adapter)
{
    Transport *t = transport_of(adapter);
    return t ? t->purge() : TXIF_E_NO_CONNECTION;
}

BUSLINK_API void txif_abort(txif_t *adapter)
{
    if (adapter)
        adapter->wakeup.fire();
}

BUSLINK_API void txif_clear_abort(txif_t *adapter)
{
    if (adapter)
        adapter->wakeup.clear();
}

} // extern "C"
