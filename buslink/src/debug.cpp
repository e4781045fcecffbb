#include "debug.h"

namespace {
// Written once by the console before any driver thread runs, hence no lock.
int debug_level = 1;
} // namespace

extern "C" {

BUSLINK_API int buslink_set_debug_level(int level)
{
    debug_level = level;
    return debug_level;
}

BUSLINK_API int buslink_get_debug_level(void)
{
    return debug_level;
}

} // extern "C"
