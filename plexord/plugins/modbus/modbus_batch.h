// One batch of reads and writes through buslink's query engine, the same
// for every transport.
#ifndef PLEXORD_MODBUS_BATCH_H
#define PLEXORD_MODBUS_BATCH_H

#include <functional>
#include <vector>

#include "buslink.h"
#include "modbus_values.h"
#include "plexord_plugin.h"

namespace mbplug {

// A request that passed its checks, on its way through the engine.
struct Work {
    pxp_request_t *req = nullptr;
    Node node;
    Item item;
    uint16_t words[4] = {}; // in: the value to write; out: the registers read
    int status = BUSLINK_E_NOT_FLUSHED;
};

// Queues every item, optimises and flushes once, and gives each item the
// status of its own registers. A read and a write of the same register go
// in two flushes, so that a write's status is never taken from the read.
// Items of a merged query that the device refused with "illegal data
// address" are then tried again one by one, so that a missing register
// fails alone. `aborted` is asked before each flush; items that were not
// flushed when it says yes get ST_ABORTED.
void flush_work(modbus_base_t *m, const std::vector<Work *> &work, const std::function<bool()> &aborted);

// The failure class (PXP_FAIL_*) of a status other than 0.
int failure_class(int status);

// Fills in the request from its work: result, status and a value read.
void finish(Work &w);

} // namespace mbplug

#endif
