// The eight functions of the FTDI chip's driver that the TXIF adapter uses,
// over libftdi1. Statuses follow the driver's: FT_OK is success.
#pragma once

#include "buslink.h"

namespace buslink::ftd2xx {

enum : unsigned long {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_OTHER_ERROR = 18
};

enum : unsigned { FT_PURGE_RX = 1, FT_PURGE_TX = 2 };

unsigned long FT_ListDevices(int vendor, int product, unsigned *count);
unsigned long FT_Open(int vendor, int product, int index, txif_ft_handle_t *handle);
unsigned long FT_Close(txif_ft_handle_t handle);
// Returns when size bytes came or the read time-out ran out (got tells).
unsigned long FT_Read(txif_ft_handle_t handle, void *buffer, unsigned size, unsigned *got);
unsigned long FT_Write(txif_ft_handle_t handle, const void *buffer, unsigned size, unsigned *written);
unsigned long FT_SetBaudRate(txif_ft_handle_t handle, unsigned baud);
unsigned long FT_Purge(txif_ft_handle_t handle, unsigned mask);
unsigned long FT_SetTimeouts(txif_ft_handle_t handle, unsigned read_ms, unsigned write_ms);
void FT_SetWakeup(txif_ft_handle_t handle, int wake_fd);

// The table of the functions above.
const txif_usb_driver_t &libftdi_driver();

} // namespace buslink::ftd2xx
