// Serial port object and the port operations every serial driver uses; the
// exported functions are declared in buslink.h.
#pragma once

#include "buslink.h"

// "Error %d: " and the system's text for an errno value, on the heap; the
// caller frees it. Drivers that open ports themselves report with it.
char *buslink_system_error_text(int err);

// Lets another thread cut the port's waits: while wake_fd (an eventfd or
// pipe of the port's owner, -1 for none) is readable, waits and writes on
// the port fail at once. Only ports made by cl_serial_open carry one.
void buslink_serial_set_wakeup(cl_serial_t *port, int wake_fd);
// True when the port's waits are cut.
bool buslink_serial_cut(const cl_serial_t *port);
// True when the port is not open or its line is gone (see posix::hung_up).
bool buslink_serial_hung_up(const cl_serial_t *port);
// Sleeps timeout_ms, ending early when the port's waits are cut; false then.
bool buslink_serial_pause(const cl_serial_t *port, int timeout_ms);
