#include "platform/ftd2xx.h"

#include "platform/wakeup.h"

#include <algorithm>
#include <chrono>
#include <new>

#include <ftdi.h>

namespace buslink::ftd2xx {

namespace {

// USB transfers wait at most this long at a time, so that a cut or the
// caller's time-out is noticed soon.
constexpr int slice_ms = 50;

struct Device {
    ftdi_context *ctx = nullptr;
    unsigned read_ms = 2500;
    unsigned write_ms = 2500;
    int wake_fd = -1;
};

Device *device(txif_ft_handle_t handle)
{
    auto *d = static_cast<Device *>(handle);
    return d && d->ctx ? d : nullptr;
}

using Clock = std::chrono::steady_clock;

int left_ms(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

unsigned long FT_ListDevices(int vendor, int product, unsigned *count)
{
    if (!count)
        return FT_INVALID_PARAMETER;
    *count = 0;
    // No USB bus (libusb cannot start) fails here, without waiting.
    ftdi_context *ctx = ftdi_new();
    if (!ctx)
        return FT_OTHER_ERROR;
    ftdi_device_list *list = nullptr;
    const int found = ftdi_usb_find_all(ctx, &list, vendor, product);
    ftdi_list_free(&list);
    ftdi_free(ctx);
    if (found < 0)
        return FT_IO_ERROR;
    *count = static_cast<unsigned>(found);
    return FT_OK;
}

unsigned long FT_Open(int vendor, int product, int index, txif_ft_handle_t *handle)
{
    if (!handle || index < 0)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    auto *d = new (std::nothrow) Device();
    if (!d)
        return FT_INSUFFICIENT_RESOURCES;
    d->ctx = ftdi_new();
    if (!d->ctx || ftdi_usb_open_desc_index(d->ctx, vendor, product, nullptr, nullptr,
                                            static_cast<unsigned>(index)) != 0) {
        if (d->ctx)
            ftdi_free(d->ctx);
        delete d;
        return FT_DEVICE_NOT_FOUND;
    }
    *handle = d;
    return FT_OK;
}

unsigned long FT_Close(txif_ft_handle_t handle)
{
    Device *d = device(handle);
    if (!d)
        return FT_INVALID_HANDLE;
    ftdi_usb_close(d->ctx);
    ftdi_free(d->ctx);
    delete d;
    return FT_OK;
}

unsigned long FT_Read(txif_ft_handle_t handle, void *buffer, unsigned size, unsigned *got)
{
    Device *d = device(handle);
    if (!d || !got || (size && !buffer))
        return FT_INVALID_HANDLE;
    *got = 0;
    auto *bytes = static_cast<unsigned char *>(buffer);
    const auto deadline = Clock::now() + std::chrono::milliseconds(d->read_ms);
    while (*got < size) {
        if (posix::readable_now(d->wake_fd))
            return FT_IO_ERROR;
        d->ctx->usb_read_timeout = std::max(1, std::min(slice_ms, left_ms(deadline)));
        const int n = ftdi_read_data(d->ctx, bytes + *got, static_cast<int>(size - *got));
        if (n < 0)
            return FT_IO_ERROR;
        *got += static_cast<unsigned>(n);
        if (n == 0 && left_ms(deadline) == 0)
            break;
    }
    return FT_OK;
}

unsigned long FT_Write(txif_ft_handle_t handle, const void *buffer, unsigned size, unsigned *written)
{
    Device *d = device(handle);
    if (!d || !written || (size && !buffer))
        return FT_INVALID_HANDLE;
    *written = 0;
    if (posix::readable_now(d->wake_fd))
        return FT_IO_ERROR;
    d->ctx->usb_write_timeout = static_cast<int>(std::max(1u, d->write_ms));
    const int n = ftdi_write_data(d->ctx, static_cast<const unsigned char *>(buffer), static_cast<int>(size));
    if (n < 0)
        return FT_IO_ERROR;
    *written = static_cast<unsigned>(n);
    return FT_OK;
}

unsigned long FT_SetBaudRate(txif_ft_handle_t handle, unsigned baud)
{
    Device *d = device(handle);
    if (!d)
        return FT_INVALID_HANDLE;
    return ftdi_set_baudrate(d->ctx, static_cast<int>(baud)) == 0 ? FT_OK : FT_INVALID_BAUD_RATE;
}

unsigned long FT_Purge(txif_ft_handle_t handle, unsigned mask)
{
    Device *d = device(handle);
    if (!d)
        return FT_INVALID_HANDLE;
    if ((mask & FT_PURGE_RX) && ftdi_tciflush(d->ctx) != 0)
        return FT_IO_ERROR;
    if ((mask & FT_PURGE_TX) && ftdi_tcoflush(d->ctx) != 0)
        return FT_IO_ERROR;
    return FT_OK;
}

unsigned long FT_SetTimeouts(txif_ft_handle_t handle, unsigned read_ms, unsigned write_ms)
{
    Device *d = device(handle);
    if (!d)
        return FT_INVALID_HANDLE;
    d->read_ms = read_ms;
    d->write_ms = write_ms;
    return FT_OK;
}

void FT_SetWakeup(txif_ft_handle_t handle, int wake_fd)
{
    if (Device *d = device(handle))
        d->wake_fd = wake_fd;
}

const txif_usb_driver_t &libftdi_driver()
{
    static const txif_usb_driver_t table = {FT_ListDevices, FT_Open,  FT_Close,       FT_Read,      FT_Write,
                                            FT_SetBaudRate, FT_Purge, FT_SetTimeouts, FT_SetWakeup};
    return table;
}

} // namespace buslink::ftd2xx
