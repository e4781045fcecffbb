// Type names and DirectNET flags come from configuration files; the hex dump
// sees every byte a device sends.
#include "buslink.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *sink = std::fopen("/dev/null", "w");

    const std::string text(reinterpret_cast<const char *>(data), size);
    const int type = cl_string_to_type(text.c_str(), -1);
    if (type != -1 && (type < CL_TYPE_U8 || type > CL_TYPE_BCD32))
        __builtin_trap();
    const int flag_type = cl_dnet_flag_to_type(text.c_str(), -1);
    if (flag_type != -1 && (flag_type < CL_TYPE_U8 || flag_type > CL_TYPE_BCD32))
        __builtin_trap();
    cl_type_to_string(type);

    const int indent = size ? data[0] % 80 : 0;
    buslink_print_hexm(sink, data, static_cast<int>(size), indent);
    return 0;
}
