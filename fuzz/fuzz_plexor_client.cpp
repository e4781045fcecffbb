// The remote-server client's readers see every byte a server sends: the
// first input byte picks the exchange (device list, flush of a fixed set of
// requests, client information), the rest is the server's side of it.
#include "plexor.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace px = buslink::plexor;

namespace {

px::Request make(uint16_t device, char type, unsigned char operation, const char *name, const char *qualifier)
{
    px::Request r;
    r.device = device;
    r.type = type;
    r.operation = operation;
    r.name = name;
    r.qualifier = qualifier;
    if (type == 'S') {
        r.length = 8;
        if (operation == px::OP_WRITE)
            r.buffer.emplace(8, 0x55);
    }
    return r;
}

bool starts_with_header(const std::vector<unsigned char> &out, unsigned char command)
{
    return out.size() >= 3 && out[0] == px::SOH && out[1] == command && out[2] == px::ETB;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    px::warning_stream = nullptr;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    px::MemoryChannel ch(data + 1, size - 1);
    switch (data[0] % 3) {
    case 0: {
        px::DeviceList devices;
        const int rc = px::exchange_devicelist(ch, devices);
        if (rc != 0 && rc != PLEXOR_E_READ && rc != PLEXOR_E_NOT_ACKNOWLEDGED && rc != PLEXOR_E_UNEXPECTED_RESPONSE)
            __builtin_trap();
        int n = 0;
        for (const plexor_device *d = devices.first(); d; d = d->next, ++n)
            if (!d->name || d->name->size() >= px::device_string_max || !d->description ||
                d->description->size() >= px::device_string_max || d->hardware.size() >= px::device_string_max)
                __builtin_trap();
        if (n != devices.count() || !starts_with_header(ch.written, px::CMD_DEVICELIST))
            __builtin_trap();
        break;
    }
    case 1: {
        std::vector<px::Request> requests{
            make(5, 'I', px::OP_READ, "a", "q"),  make(2, 'F', px::OP_WRITE, "b", ""),
            make(5, 'S', px::OP_READ, "c", ""),   make(5, 'F', px::OP_READ, "e", ""),
            make(2, 'S', px::OP_WRITE, "s", "x"), make(5, 'I', px::OP_WRITE, "a", "q"),
        };
        const int rc = px::exchange_flush(ch, requests, px::CMD_FLUSH);
        if (rc != 0 && rc != PLEXOR_E_READ && rc != PLEXOR_E_NOT_ACKNOWLEDGED && rc != PLEXOR_E_INVALID_TYPE &&
            rc != PLEXOR_E_UNEXPECTED_RESPONSE)
            __builtin_trap();
        if (requests.size() != 6 || !starts_with_header(ch.written, px::CMD_FLUSH))
            __builtin_trap();
        for (std::size_t i = 1; i < requests.size(); ++i)
            if (requests[i - 1].device > requests[i].device && ch.written.size() > 3)
                __builtin_trap();
        for (const px::Request &r : requests)
            if (r.buffer && r.buffer->size() > PLEXOR_MAX_BUFFER_ANSWER)
                __builtin_trap();
        if (rc == 0 && ch.written.back() != px::EOT)
            __builtin_trap();
        break;
    }
    default: {
        const int rc = px::exchange_client_info(ch, "fuzz");
        if (rc != 0 && rc != PLEXOR_E_READ && rc != PLEXOR_E_NOT_ACKNOWLEDGED && rc != PLEXOR_E_UNEXPECTED_RESPONSE)
            __builtin_trap();
        break;
    }
    }
    return 0;
}
