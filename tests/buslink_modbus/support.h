// What the engine's tests add to the shared MODBUS peers: access to the
// query header of a transport object, and an owning serial-port pointer.
#pragma once

#include "buslink.h"
#include "modbus_peers.h"

#include <memory>

namespace mbtest {

template <typename T>
modbus_base_t *base(T *transport)
{
    // Every transport object begins with the query header.
    return reinterpret_cast<modbus_base_t *>(transport);
}

struct PortFree {
    void operator()(cl_serial_t *p) const { cl_serial_free(p); }
};
using PortPtr = std::unique_ptr<cl_serial_t, PortFree>;

} // namespace mbtest
