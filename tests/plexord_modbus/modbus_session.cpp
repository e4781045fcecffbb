#include "modbus_session.h"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace mbcore {

uint16_t add_network(const char *type, const std::function<void(network_t *)> &configure)
{
    network_t *n = plexord_create_network(type);
    EXPECT_NE(n, nullptr) << type;
    if (!n)
        return 0;
    configure(n);
    EXPECT_EQ(networkmgr_add_network(n).code, NCERR_OK);
    return network_get_id(n);
}

Batch::Batch(uint16_t network) : net_(networkmgr_fetch_network(network, 1000))
{
    EXPECT_NE(net_, nullptr);
    network_reset_request(net_);
}

Batch::~Batch()
{
    networkmgr_drop_network(net_);
}

Batch &Batch::read(uint16_t device, const char *item, const char *flag)
{
    network_queue_read_float(net_, device, item, flag);
    queued_.push_back({device, item, flag, false});
    return *this;
}

Batch &Batch::read_int(uint16_t device, const char *item, const char *flag)
{
    network_queue_read_integer(net_, device, item, flag);
    queued_.push_back({device, item, flag, true});
    return *this;
}

Batch &Batch::write(uint16_t device, const char *item, const char *flag, double value)
{
    network_queue_write_float(net_, device, item, flag, value);
    queued_.push_back({device, item, flag, false});
    return *this;
}

Batch &Batch::write_int(uint16_t device, const char *item, const char *flag, long value)
{
    network_queue_write_integer(net_, device, item, flag, value);
    queued_.push_back({device, item, flag, true});
    return *this;
}

std::vector<Result> Batch::run()
{
    flushed_ = network_flush(net_);
    std::vector<Result> results;
    for (const Queued &q : queued_) {
        Result r{};
        r.result = q.integer ? network_result_integer(net_, q.device, q.item.c_str(), q.flag.c_str(), &r.ivalue)
                             : network_result_float(net_, q.device, q.item.c_str(), q.flag.c_str(), &r.value);
        results.push_back(r);
    }
    return results;
}

std::string failure(ncerr_t r)
{
    return std::to_string(r.code & 0xff) + "/" + std::to_string(r.detail);
}

CutBatch stop_during_batch(uint16_t network, uint16_t device, int count, const std::function<bool()> &waiting)
{
    CutBatch cut;
    std::thread flush([&] {
        Batch batch(network);
        for (int i = 1; i <= count; ++i)
            batch.read(device, std::to_string(i).c_str());
        cut.results = batch.run();
    });
    cut.waited = waiting();
    network_t *h = networkmgr_fetch_network(network, 1000);
    const auto start = std::chrono::steady_clock::now();
    network_stop(h);
    cut.stop_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    networkmgr_drop_network(h);
    flush.join();
    return cut;
}

} // namespace mbcore
