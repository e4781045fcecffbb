#include "fake_chip.h"

#include <algorithm>
#include <cstring>

namespace txiftest {

FakeChip chip;

namespace {

int handle_token;

unsigned long fake_list(int, int, unsigned *count)
{
    ++chip.lists;
    *count = chip.present ? 1 : 0;
    return 0;
}

unsigned long fake_open(int vendor, int product, int index, txif_ft_handle_t *h)
{
    if (!chip.present || index != 0)
        return 2;
    ++chip.opens;
    chip.vendor = vendor;
    chip.product = product;
    *h = &handle_token;
    return 0;
}

unsigned long fake_close(txif_ft_handle_t)
{
    ++chip.closes;
    return 0;
}

unsigned long fake_read(txif_ft_handle_t, void *buffer, unsigned size, unsigned *got)
{
    if (chip.fail_read || !chip.present)
        return 4;
    *got = std::min<unsigned>(size, static_cast<unsigned>(chip.input.size()));
    std::memcpy(buffer, chip.input.data(), *got);
    chip.input.erase(0, *got);
    return 0;
}

unsigned long fake_write(txif_ft_handle_t, const void *buffer, unsigned size, unsigned *written)
{
    if (chip.fail_write || !chip.present)
        return 4;
    const std::string bytes(static_cast<const char *>(buffer), size);
    chip.output += bytes;
    if (chip.answer)
        chip.input += chip.answer(bytes);
    *written = size;
    return 0;
}

unsigned long fake_baud(txif_ft_handle_t, unsigned baud)
{
    chip.baud = baud;
    return chip.fail_baud ? 7 : 0;
}

unsigned long fake_purge(txif_ft_handle_t, unsigned mask)
{
    if (chip.fail_purge || !chip.present || mask != 3)
        return 4;
    chip.input.clear();
    return 0;
}

unsigned long fake_timeouts(txif_ft_handle_t, unsigned read_ms, unsigned)
{
    chip.read_ms = read_ms;
    return 0;
}

} // namespace

const txif_usb_driver_t fake_driver = {fake_list,  fake_open, fake_close,    fake_read, fake_write,
                                       fake_baud, fake_purge, fake_timeouts, nullptr};

} // namespace txiftest
