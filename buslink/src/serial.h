// Serial port object and the port operations every serial driver uses; the
// exported functions are declared in buslink.h.
#pragma once

#include "buslink.h"

// "Error %d: " and the system's text for an errno value, on the heap; the
// caller frees it. Drivers that open ports themselves report with it.
char *buslink_system_error_text(int err);
