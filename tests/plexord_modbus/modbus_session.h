// Batches through the core's request queue, as the console sends them, for
// the tests of the MODBUS plug-ins.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "plexord.h"

namespace mbcore {

// A network of the type with the parameters `configure` sets, handed to the
// manager (so started when the core is). Its id, 0 when it was not created.
uint16_t add_network(const char *type, const std::function<void(network_t *)> &configure);

struct Result {
    ncerr_t result;
    double value = 0; // of float items
    long ivalue = 0;  // of integer items
};

// One flush of the queued items on a fetched handle of the network.
class Batch {
public:
    explicit Batch(uint16_t network);
    ~Batch();
    Batch(const Batch &) = delete;
    Batch &operator=(const Batch &) = delete;

    Batch &read(uint16_t device, const char *item, const char *flag = "");
    Batch &read_int(uint16_t device, const char *item, const char *flag = "");
    Batch &write(uint16_t device, const char *item, const char *flag, double value);
    Batch &write_int(uint16_t device, const char *item, const char *flag, long value);
    // Flushes; the result of every item, in queue order.
    std::vector<Result> run();
    ncerr_t flushed() const { return flushed_; }

private:
    struct Queued {
        uint16_t device;
        std::string item, flag;
        bool integer;
    };
    network_t *net_;
    std::vector<Queued> queued_;
    ncerr_t flushed_{};
};

// A batch of reads of the items "1" to "count" of a device that does not
// answer, and network_stop once `waiting` says the first is on the line.
struct CutBatch {
    bool waited = false;      // what `waiting` said
    double stop_seconds = 0;  // how long network_stop took
    std::vector<Result> results;
};
CutBatch stop_during_batch(uint16_t network, uint16_t device, int count, const std::function<bool()> &waiting);

// "class/detail" of a result, e.g. "11/204" for a read-only failure, so
// that a failure and its driver status compare in one expectation.
std::string failure(ncerr_t r);

} // namespace mbcore
