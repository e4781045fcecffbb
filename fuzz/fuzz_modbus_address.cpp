// Address notation comes from configuration files and operators.
#include "buslink.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    int kind = -1;
    unsigned short address = 0;
    const int rc = modbus_decode_address(text.c_str(), &kind, &address);
    if (rc != 0 && rc != BUSLINK_E_ILLEGAL_ITEM)
        __builtin_trap();
    if (rc != 0)
        return 0;
    const std::string s = text.c_str();
    if (kind < MODBUS_COIL || kind > MODBUS_INPUT_REGISTER || s.size() > 6)
        __builtin_trap();
    if (s.size() < 6 && (kind != MODBUS_HOLDING_REGISTER || std::strtoul(("0" + s).c_str(), nullptr, 10) != address))
        __builtin_trap();
    if (s.size() == 6 && (s[1] == 'x' || s[1] == 'X') && std::strtoul(s.c_str() + 2, nullptr, 16) != address)
        __builtin_trap();
    return 0;
}
