// One batch of reads and writes through buslink's query engine, the same
// for every transport.
#ifndef PLEXORD_MODBUS_BATCH_H
#define PLEXORD_MODBUS_BATCH_H

#include <cstddef>
#include <functional>
#include <set>
#include <tuple>
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
    int gap = -1; // a filler read: the gap it bridges; its result is dropped
};

// Gaps between reads that a device refused to be read through (exception 2
// for a bridged query), per node and kind: they are not bridged again.
class GapMemory {
public:
    struct Span {
        uint32_t link, unit;
        int kind;
        long first, end;
        auto key() const { return std::tie(link, unit, kind, first, end); }
        bool operator<(const Span &o) const { return key() < o.key(); }
    };
    // True when the span meets one remembered; always once the memory is
    // full, so that a device with ever new holes costs no more retries.
    bool blocked(const Span &s) const;
    void remember(const Span &s);
    void clear() { spans_.clear(); }

private:
    static constexpr std::size_t kCapacity = 4096;
    std::set<Span> spans_;
};

// How a batch may go beyond one request per run of neighbouring items.
struct Reach {
    int max_gap = 0;             // registers (bits) of a gap read through
    GapMemory *gaps = nullptr;   // where refused gaps are kept; none: no bridging
    int window = 1;              // requests outstanding at once (TCP)
};

// Queues every item, optimises and flushes once, and gives each item the
// status of its own registers. A read and a write of the same register go
// in two flushes, so that a write's status is never taken from the read.
// Items of a merged query that the device refused with "illegal data
// address" are then tried again one by one, so that a missing register
// fails alone. `aborted` is asked before each flush; items that were not
// flushed when it says yes get ST_ABORTED. With reach.max_gap, reads of one
// node and kind at most that far apart are read in one query through
// filler reads of the registers between them.
void flush_work(modbus_base_t *m, const std::vector<Work *> &work, const std::function<bool()> &aborted,
                const Reach &reach = {});

// The failure class (PXP_FAIL_*) of a status other than 0.
int failure_class(int status);

// Fills in the request from its work: result, status and a value read.
void finish(Work &w);

} // namespace mbplug

#endif
